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

// The most outputs a driver here may offer: a buffer request is checked
// against a fixed table of this size, so nothing is allocated for it.
inline constexpr int32_t kMaxOutputs = 64;

// Checks a host's buffer request against a driver with `outputs` output
// channels (at most kMaxOutputs) and the single buffer size `frames`: a
// malformed request first, then the size, then each channel, which must be
// one of the outputs and asked for only once. ASE_OK when it may be served.
[[nodiscard]] inline ASIOError CheckBufferRequest(const ASIOBufferInfo* bufferInfos,
                                                  int32_t numChannels, int32_t bufferSize,
                                                  const ASIOCallbacks* callbacks, int32_t outputs,
                                                  uint32_t frames) noexcept {
    if (bufferInfos == nullptr || callbacks == nullptr || callbacks->bufferSwitch == nullptr ||
        numChannels <= 0 || numChannels > outputs || outputs > kMaxOutputs) {
        return ASE_InvalidParameter;
    }
    if (bufferSize != static_cast<int32_t>(frames)) {
        return ASE_InvalidMode;
    }
    bool wanted[kMaxOutputs] = {};
    for (int32_t k = 0; k < numChannels; ++k) {
        const int32_t c = bufferInfos[k].channelNum;
        if (bufferInfos[k].isInput != ASIOFalse || c < 0 || c >= outputs || wanted[c]) {
            return ASE_InvalidParameter;
        }
        wanted[c] = true;
    }
    return ASE_OK;
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
