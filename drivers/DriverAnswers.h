// How the drivers answer the host's questions. Every query hands in
// out-pointers the host may leave null when it does not want that value, and
// every driver here offers outputs only and one buffer size; these helpers
// keep those answers the same in all of them.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "drivers/DriverText.h"
#include "mixer/asio/Asio.h"

namespace drivers {

// Writes value through out when the host asked for it.
inline void Answer(int32_t* out, int32_t value) noexcept {
    if (out != nullptr) {
        *out = value;
    }
}

// The answer of a driver that works with a single buffer size.
inline void AnswerBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                             int32_t* granularity, uint32_t frames) noexcept {
    const auto size = static_cast<int32_t>(frames);
    Answer(minSize, size);
    Answer(maxSize, size);
    Answer(preferredSize, size);
    Answer(granularity, 0);
}

[[nodiscard]] inline ASIOError AnswerSampleRate(ASIOSampleRate* sampleRate,
                                                uint32_t rate) noexcept {
    if (sampleRate == nullptr) {
        return ASE_InvalidParameter;
    }
    *sampleRate = rate;
    return ASE_OK;
}

// A whole number of hertz from min to max. The range is checked before the
// value is taken as an integer: a negative, huge or NaN rate from the host
// must not reach the conversion.
[[nodiscard]] inline bool IsWholeRate(ASIOSampleRate sampleRate, double min, double max) noexcept {
    if (!(sampleRate >= min && sampleRate <= max)) {
        return false;
    }
    return sampleRate == std::floor(sampleRate);
}

// True when info asks about one of a driver's `outputs` output channels.
[[nodiscard]] inline bool AsksAboutOutput(const ASIOChannelInfo* info, int32_t outputs) noexcept {
    return info != nullptr && info->isInput == ASIOFalse && info->channel >= 0 &&
           info->channel < outputs;
}

// Describes the output info asks about (checked by AsksAboutOutput). Without
// a name of its own the channel is called "Out N", counted from 1.
inline void AnswerOutputInfo(ASIOChannelInfo* info, bool bActive, ASIOSampleType type,
                             const char* name = nullptr) noexcept {
    info->isActive = bActive ? ASIOTrue : ASIOFalse;
    info->channelGroup = 0;
    info->type = type;
    if (name != nullptr) {
        CopyText(info->name, sizeof info->name, name);
    } else {
        std::snprintf(info->name, sizeof info->name, "Out %d", static_cast<int>(info->channel + 1));
    }
}

}  // namespace drivers
