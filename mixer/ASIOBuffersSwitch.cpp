// The driver's callbacks: the buffer switch and the driver's messages.
#include <cstring>

#include "mixer/ASIOBuffers.h"
#include "mixer/AudioBuffer.h"

// Runs on the driver's thread: no allocation, no logging.
template <bool Is16>
void ASIOBuffers::BufferSwitch(int32_t index) noexcept {
    cBufs.fetch_add(1, std::memory_order_relaxed);
    // A driver names half 0 or 1; anything else is taken as half 1 rather
    // than read past the two halves.
    const int half = index == 0 ? 0 : 1;
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
            if (!bStereoPairActive[j] || written[j]) continue;
            std::memset(bufferInfos[2 * j].buffers[half], 0, bufferSizeBytes);
            std::memset(bufferInfos[2 * j + 1].buffers[half], 0, bufferSizeBytes);
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
// Answers only; a reset request is declined and nothing is reopened.
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
        case kAsioResyncRequest:
        case kAsioLatenciesChanged:
            return 1;
        default:
            return 0;
    }
}
