// AudioBuffer: attenuation in whole decibels and linear fades in decibels.
// The level is applied by the fills as they convert (AudioBufferMix.cpp);
// the sample memory is never changed by it.
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "mixer/AudioBuffer.h"

namespace {

// Shifting stops at 16 bits; deeper multiples of 6 dB go through the gain.
constexpr uint32_t kMaxShiftDb = 96;

bool IsShift(uint32_t attenuationDb) {
    return attenuationDb % 6 == 0 && attenuationDb <= kMaxShiftDb;
}

}  // namespace

double AudioBuffer::GainFromDb(double attenuationDb) {
    // Full scale is 32767: the gain is 10^(-A/20) measured against it.
    const double reference = 20.0 / std::log(10.0) * std::log(32767.0);
    return std::pow(10.0, (reference - attenuationDb) * 0.05) * 3.051850947599719e-05;
}

// Called with the lock held.
void AudioBuffer::ApplyLevel(uint32_t attenuationDb, double gain) {
    if (attenuationDb == 0) {
        dwAttenuation = 0;
        nBitShift = 16;
    } else if (IsShift(attenuationDb)) {
        dwAttenuation = 0;
        nBitShift = 16 - static_cast<int32_t>(attenuationDb / 6);
    } else {
        nBitShift = 16;
        dwAttenuation = attenuationDb;
        dGain = gain;
    }
}

void AudioBuffer::SetAttenuation(uint32_t attenuationDb) {
    // The power is worked out before the lock: the buffer switch waits for
    // whatever holds it.
    const double gain = GainFromDb(attenuationDb);
    std::lock_guard lock(hMutex);
    bFadeActive = false;
    bFadeDone = false;
    bStopAfterFade = false;
    ApplyLevel(attenuationDb, gain);
}

namespace {

uint32_t FadeSteps(uint32_t ms, double msPerSwitch) {
    if (!(msPerSwitch > 0.0)) return 0;
    const double n = std::floor(ms / msPerSwitch);
    return n >= static_cast<double>(std::numeric_limits<uint32_t>::max())
               ? std::numeric_limits<uint32_t>::max()
               : static_cast<uint32_t>(n);
}

}  // namespace

void AudioBuffer::ProgramFade(uint32_t targetDb, uint32_t ms) {
    std::lock_guard lock(hMutex);
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
    const uint32_t steps = FadeSteps(ms, dMsPerSwitch);
    dwFadeSteps = steps;
    dwFadeTarget = targetDb;
    dFadeStep = steps != 0 ? distance / steps : 0.0;
    if (downward) {
        dFadeStep = -dFadeStep;
    }
    bFadeActive = true;
    bFadeDone = false;
    bStopAfterFade = false;
}

// Called with the lock held.
double AudioBuffer::CurrentAttenuationLocked() const {
    if (bFadeActive) return dFadeLevel;
    if (dwAttenuation != 0) return dwAttenuation;
    return (16 - nBitShift) * 6.0;
}

double AudioBuffer::CurrentAttenuation() {
    std::lock_guard lock(hMutex);
    return CurrentAttenuationLocked();
}

void AudioBuffer::FadeTo(uint32_t targetDb, uint32_t ms, bool stopAtEnd) {
    const double floorDb = kFadeFloorDb;
    const double silenceDb = kSilenceDb;
    std::lock_guard lock(hMutex);
    const double current = std::min(CurrentAttenuationLocked(), silenceDb);
    // Down to silence: to the floor, or no lower than the level already is,
    // and then off. Up from below the floor: from the floor, since nothing
    // below it is heard.
    const double reach = targetDb >= kSilenceDb ? std::max(floorDb, current) : targetDb;
    const double from = targetDb >= kSilenceDb ? current : std::min(current, std::max(reach, floorDb));
    const uint32_t steps = FadeSteps(ms, dMsPerSwitch);
    dFadeLevel = from;
    dwFadeSteps = steps;
    dwFadeTarget = targetDb;
    dFadeStep = steps != 0 ? (reach - from) / steps : 0.0;
    bFadeActive = true;
    bFadeDone = false;
    bStopAfterFade = stopAtEnd;
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
        ApplyLevel(dwFadeTarget, IsShift(dwFadeTarget) ? dGain : GainFromDb(dwFadeTarget));
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
