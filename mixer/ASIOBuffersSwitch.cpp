// The driver's callbacks: the buffer switch and the driver's messages.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "mixer/ASIOBuffers.h"
#include "mixer/AudioBuffer.h"
#include "mixer/KernelClones.h"

namespace {

// The largest magnitude among `count` output samples, in units of 2^-31 of
// full scale.
template <class Out>
CANTABILE_KERNEL uint32_t PeakOf(const Out* __restrict samples, uint32_t count) {
    int32_t high = 0;
    int32_t low = 0;
    for (uint32_t i = 0; i < count; ++i) {
        high = std::max<int32_t>(high, samples[i]);
        low = std::min<int32_t>(low, samples[i]);
    }
    const uint32_t peak = std::max(static_cast<uint32_t>(high), 0u - static_cast<uint32_t>(low));
    return sizeof(Out) == 2 ? peak << 16 : peak;
}

}  // namespace

// Runs on the driver's thread: no allocation, no logging.
void ASIOBuffers::Meter(int32_t channel, uint32_t peak) noexcept {
    const auto held =
        static_cast<uint32_t>((peaks[channel].load(std::memory_order_relaxed) * peakFall) >> 32);
    peaks[channel].store(std::max(peak, held), std::memory_order_relaxed);
}

float ASIOBuffers::OutputPeak(int32_t channel) const {
    if (channel < 0 || channel >= kMaxOutputChannels) return 0.0f;
    return static_cast<float>(peaks[channel].load(std::memory_order_relaxed) / 2147483648.0);
}

// Runs on the driver's thread: no allocation, no logging.
template <bool Is16>
void ASIOBuffers::BufferSwitch(int32_t index) noexcept {
    cBufs.fetch_add(1, std::memory_order_relaxed);
    // A driver names half 0 or 1; anything else is taken as half 1 rather
    // than read past the two halves.
    const int half = index == 0 ? 0 : 1;
    const auto frames = static_cast<uint32_t>(bufferSize);
    bool written[kMaxStereoPairs] = {};
    {
        std::lock_guard guard(hBufferMutex);
        for (int32_t i = 0; i < numStereoPairs; ++i) {
            AudioBuffer* buffer = StereoAudioBuffers[i];
            if (!buffer || !buffer->IsPlaying()) continue;
            const int32_t o = buffer->GetOwner();
            // What matters is the buffer's own pair, not the slot's index;
            // CreateSoundBuffer already refuses an unusable pair.
            if (o < 0 || o >= numStereoPairs || !bStereoPairActive[o]) continue;
            void* left = bufferInfos[2 * o].buffers[half];
            void* right = bufferInfos[2 * o + 1].buffers[half];
            if constexpr (Is16) {
                ProcessAudioBuffer16Bits(buffer, static_cast<int16_t*>(left),
                                         static_cast<int16_t*>(right));
            } else {
                ProcessAudioBuffer32Bits(buffer, static_cast<int32_t*>(left),
                                         static_cast<int32_t*>(right),
                                         static_cast<int32_t>(bufferSizeBytes));
            }
            written[o] = true;
        }
        for (int32_t j = 0; j < numStereoPairs; ++j) {
            if (!bStereoPairActive[j]) continue;
            void* left = bufferInfos[2 * j].buffers[half];
            void* right = bufferInfos[2 * j + 1].buffers[half];
            if (!written[j]) {
                std::memset(left, 0, bufferSizeBytes);
                std::memset(right, 0, bufferSizeBytes);
                Meter(2 * j, 0);
                Meter(2 * j + 1, 0);
            } else if constexpr (Is16) {
                Meter(2 * j, PeakOf(static_cast<const int16_t*>(left), frames));
                Meter(2 * j + 1, PeakOf(static_cast<const int16_t*>(right), frames));
            } else {
                Meter(2 * j, PeakOf(static_cast<const int32_t*>(left), frames));
                Meter(2 * j + 1, PeakOf(static_cast<const int32_t*>(right), frames));
            }
        }
    }
    if (bOutputReady) driver->outputReady();
}

// Runs on the driver's thread: no allocation, no logging.
void ASIOBuffers::OnBufferSwitch16Bits(int32_t index, ASIOBool) noexcept {
    if (ASIOBuffers* self = pLiveOutput.load(std::memory_order_acquire))
        self->BufferSwitch<true>(index);
}

// Runs on the driver's thread: no allocation, no logging.
void ASIOBuffers::OnBufferSwitch32Bits(int32_t index, ASIOBool) noexcept {
    if (ASIOBuffers* self = pLiveOutput.load(std::memory_order_acquire))
        self->BufferSwitch<false>(index);
}

// Runs on the driver's thread: no allocation, no logging.
// The device keeps playing at whatever rate it now has; nothing here follows it.
void ASIOBuffers::OnSampleRateDidChange(ASIOSampleRate) noexcept {}

// Runs on the driver's thread: no allocation, no logging.
// Answers only. A reset request is declined and nothing is reopened here; it
// is kept as the sign of a lost device, which the host reports.
int32_t ASIOBuffers::OnAsioMessage(int32_t selector, int32_t value, void*, double*) noexcept {
    switch (selector) {
        case kAsioSelectorSupported:
            switch (value) {
                case kAsioEngineVersion:
                case kAsioResetRequest:
                case kAsioResyncRequest:
                case kAsioLatenciesChanged:
                case kAsioSupportsTimeInfo:
                case kAsioSupportsTimeCode:
                case kAsioSupportsInputMonitor:
                    return 1;
                default:
                    return 0;
            }
        case kAsioEngineVersion:
            return 2;
        case kAsioResetRequest:
            bDeviceLost.store(true, std::memory_order_release);
            return 0;
        case kAsioResyncRequest:
        case kAsioLatenciesChanged:
            return 1;
        default:
            return 0;
    }
}
