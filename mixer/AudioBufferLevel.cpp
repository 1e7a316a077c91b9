// AudioBuffer: attenuation in whole decibels, linear fades in decibels, and
// the in-place level routines the buffer switch applies to the section it is
// about to play.
#include <algorithm>
#include <cmath>
#include <limits>

#include "mixer/AudioBuffer.h"

namespace {

// Shifting stops at 16 bits; deeper multiples of 6 dB go through the gain.
constexpr uint32_t kMaxShiftDb = 96;

}  // namespace

double AudioBuffer::GainFromDb(double attenuationDb) {
    // Full scale is 32767: the gain is 10^(-A/20) measured against it.
    const double reference = 20.0 / std::log(10.0) * std::log(32767.0);
    return std::pow(10.0, (reference - attenuationDb) * 0.05) * 3.051850947599719e-05;
}

// Sets a fixed level without touching the fade state. Called with the lock held.
void AudioBuffer::ApplyLevel(uint32_t attenuationDb) {
    if (attenuationDb == 0) {
        dwAttenuation = 0;
        nBitShift = 16;
    } else if (attenuationDb % 6 == 0 && attenuationDb <= kMaxShiftDb) {
        dwAttenuation = 0;
        nBitShift = 16 - static_cast<int32_t>(attenuationDb / 6);
    } else {
        nBitShift = 16;
        dwAttenuation = attenuationDb;
        dGain = GainFromDb(attenuationDb);
    }
}

void AudioBuffer::SetAttenuation(uint32_t attenuationDb) {
    std::lock_guard<std::mutex> lock(hMutex);
    bFadeActive = false;
    bFadeDone = false;
    ApplyLevel(attenuationDb);
}

void AudioBuffer::ProgramFade(uint32_t targetDb, uint32_t ms) {
    std::lock_guard<std::mutex> lock(hMutex);
    double distance = 0.0;
    bool downward = false;
    if (!bFadeActive || targetDb != 0) {
        // A fade towards a level always starts from full level.
        dFadeLevel = 0.0;
        distance = targetDb;
    } else if (bFadeDone) {
        distance = dwFadeTarget;
        downward = true;
    } else {
        // Back from a running fade: the steps cover the whole decibels, and
        // the level goes on from where it is.
        distance = std::max(0.0, std::floor(dFadeLevel));
        downward = true;
    }

    uint32_t steps = 0;
    if (dMsPerSwitch > 0.0) {
        const double n = std::floor(ms / dMsPerSwitch);
        steps = n >= static_cast<double>(std::numeric_limits<uint32_t>::max())
                    ? std::numeric_limits<uint32_t>::max()
                    : static_cast<uint32_t>(n);
    }
    dwFadeSteps = steps;
    dwFadeTarget = targetDb;
    dFadeStep = steps != 0 ? distance / steps : 0.0;
    if (downward) {
        dFadeStep = -dFadeStep;
    }
    bFadeActive = true;
    bFadeDone = false;
}

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::SetProgrammedAttenuation() {
    if (!bFadeActive || bFadeDone) {
        return;
    }
    if (dwFadeSteps == 1) {
        dwFadeSteps = 0;
        if (dwFadeTarget == 0) {
            nBitShift = 16;
            dwAttenuation = 0;
            bFadeActive = false;
            bFadeDone = false;
            return;
        }
    }
    if (dwFadeSteps == 0) {
        ApplyLevel(dwFadeTarget);
        bFadeDone = true;
        dFadeLevel = dwFadeTarget;
        return;
    }
    dFadeLevel += dFadeStep;
    nBitShift = 16;
    dwAttenuation = 1;
    dGain = GainFromDb(dFadeLevel);
    --dwFadeSteps;
}

namespace {

void MultiplyInPlace(int16_t* __restrict samples, uint32_t count, double gain) {
    for (uint32_t i = 0; i < count; ++i) {
        // Clamped before narrowing: a gain a hair above one must not carry
        // -32768 out of range.
        const double scaled = std::clamp(samples[i] * gain, -32768.0, 32767.0);
        samples[i] = static_cast<int16_t>(scaled);
    }
}

void ShiftInPlace(int16_t* __restrict samples, uint32_t count, uint32_t shift) {
    for (uint32_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(samples[i] >> shift);
    }
}

}  // namespace

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::ApplyAttenuation(uint32_t bytes) {
    const uint32_t count = bytes / 2;
    const auto room = static_cast<uint32_t>(pBufferEnd - pPlayCursor);
    if (room >= count) {
        MultiplyInPlace(pPlayCursor, count, dGain);
        return;
    }
    MultiplyInPlace(pPlayCursor, room, dGain);
    if (bLooping) {
        // A ring shorter than one switch is read more than once in it, but
        // each sample is treated only once.
        const auto before = static_cast<uint32_t>(pPlayCursor - pBufferStart);
        MultiplyInPlace(pBufferStart, std::min(count - room, before), dGain);
    }
}

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::ApplyBitShiftMono(uint32_t bytes, uint32_t shift) {
    if (!bLooping && pPlayCursor >= pBufferEnd) {
        return;
    }
    const uint32_t count = bytes / 2;
    const auto room = static_cast<uint32_t>(pBufferEnd - pPlayCursor);
    if (room >= count) {
        ShiftInPlace(pPlayCursor, count, shift);
        return;
    }
    ShiftInPlace(pPlayCursor, room, shift);
    if (bLooping) {
        const auto before = static_cast<uint32_t>(pPlayCursor - pBufferStart);
        ShiftInPlace(pBufferStart, std::min(count - room, before), shift);
    }
}

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::ApplyBitShiftStereo(uint32_t bytes, uint32_t shift) {
    // A frame is two samples treated alike, so the section is shifted as a
    // run of samples; a trailing half frame before the end is included, as
    // it lies inside the section.
    ApplyBitShiftMono(bytes, shift);
}
