// AudioBuffer: construction, positions, Lock, play state and notifications.
#include "mixer/AudioBuffer.h"

#include <cstring>
#include <mutex>
#include <new>

#include "platform/Event.h"

AudioBuffer::AudioBuffer(BufferDescription* description, uint32_t frames, uint32_t deviceRate,
                         bool bOutput16Bits, uint32_t sampleBits)
    : b16Bits(bOutput16Bits),
      dwSampleBits(sampleBits),
      dwPrimaryBufferSampleSize(frames),
      dwPrimaryBufSizeBytes(frames * (bOutput16Bits ? 2u : 4u)),
      dwOutputBytes16(frames * 2u),
      dMsPerSwitch(deviceRate != 0 ? static_cast<double>(frames) * 1000.0 / deviceRate : 0.0) {
    if (description == nullptr || (sampleBits != 16 && sampleBits != 32)) {
        return;
    }
    desc = *description;
    nOwner = desc.nOwner;
    bStereo = desc.nChannels > 1;
    bLoRes = desc.dwSamplesPerSec <= deviceRate / 2;

    const uint32_t size = desc.dwBufferBytes & ~1u;
    // A buffer with no memory could never be played; leave it unusable
    // rather than hand out an empty region.
    if (size == 0) {
        return;
    }
    // Raw storage, so that the fills may read it as 16-bit or as 32-bit
    // samples; cleared so that a buffer played before its owner wrote it is
    // silent rather than noise.
    void* memory = ::operator new[](size, std::nothrow);
    if (memory == nullptr) {
        return;
    }
    std::memset(memory, 0, size);
    pBufferStart = static_cast<int16_t*>(memory);
    pPlayCursor = pBufferStart;
    pBufferEnd = pBufferStart + size / 2;

    // A lo-res switch with an odd frame count writes its last source frame
    // once, so it consumes the rounded-up half; this keeps every position on
    // a whole frame.
    const uint32_t frameBytes = (bStereo ? 2u : 1u) * (sampleBits / 8u);
    const uint32_t sourceFrames = bLoRes ? frames / 2 + (frames & 1u) : frames;
    dwBytesPerSwitch = sourceFrames * frameBytes;
}

AudioBuffer::~AudioBuffer() {
    int16_t* memory;
    {
        // Waits for a fill that is still running; the memory is freed after
        // the lock, which is never held longer than a fill.
        std::lock_guard lock(hMutex);
        memory = pBufferStart;
        pBufferStart = nullptr;
        pBufferEnd = nullptr;
        pPlayCursor = nullptr;
    }
    ::operator delete[](memory);
}

bool AudioBuffer::GetAudioPosition(uint32_t* pos) {
    if (pos == nullptr) {
        return false;
    }
    std::lock_guard lock(hMutex);
    *pos = pPlayCursor != nullptr ? static_cast<uint32_t>(pPlayCursor - pBufferStart) * 2u : 0u;
    return true;
}

bool AudioBuffer::SetAudioPosition(uint32_t pos) {
    if (pBufferStart == nullptr) {
        return false;
    }
    const uint32_t size = static_cast<uint32_t>(pBufferEnd - pBufferStart) * 2u;
    // A position never splits a sample of the memory.
    const uint32_t target = pos & ~(dwSampleBits / 8u - 1u);
    if (pos != 0 && target >= size) {
        return false;
    }
    std::lock_guard lock(hMutex);
    pPlayCursor = pBufferStart + target / 2;
    return true;
}

int32_t AudioBuffer::SetNotify(void* event, uint32_t bytes, uint32_t mode) {
    if (event == nullptr) {
        return -1;
    }
    if (mode != NOTIFY_AT_END && mode != NOTIFY_ONCE && mode != NOTIFY_PERIODIC) {
        return -2;
    }
    std::lock_guard lock(hMutex);
    hNotifyEvent = event;
    dwNotifyMode = mode;
    dwNotifyBytes = bytes;
    dwNotifyCount = 0;
    return 0;
}

void AudioBuffer::CancelNotify() {
    std::lock_guard lock(hMutex);
    dwNotifyMode = NOTIFY_NONE;
}

bool AudioBuffer::Lock(uint32_t offset, uint32_t bytes, void** first, uint32_t* firstBytes,
                       void** second, uint32_t* secondBytes, uint32_t mode) {
    if (first == nullptr || firstBytes == nullptr) {
        return false;
    }
    *first = nullptr;
    *firstBytes = 0;
    if (second != nullptr) {
        *second = nullptr;
        if (secondBytes != nullptr) {
            *secondBytes = 0;
        }
    }
    if (pBufferStart == nullptr) {
        return false;
    }

    std::lock_guard lock(hMutex);
    const uint32_t size = static_cast<uint32_t>(pBufferEnd - pBufferStart) * 2u;
    const uint32_t cursorOffset = static_cast<uint32_t>(pPlayCursor - pBufferStart) * 2u;
    uint32_t firstOffset = 0;

    switch (mode) {
        case LOCK_ENTIRE_BUFFER:
            pPlayCursor = pBufferStart;
            *first = pBufferStart;
            *firstBytes = size;
            return true;
        case LOCK_AT_OFFSET: {
            firstOffset = offset & ~1u;
            // An offset at or past the end names no memory at all.
            if (firstOffset >= size) {
                return false;
            }
            // Playback is about to read at the cursor: the owner may not
            // write over it. Starting exactly at the cursor is allowed.
            const uint64_t firstEnd = uint64_t{firstOffset} + (bytes & ~1u);
            if (cursorOffset > firstOffset && cursorOffset < firstEnd) {
                return false;
            }
            break;
        }
        case LOCK_FROM_PLAY_CURSOR:
            // The region runs from the cursor; its wrapped part may reach
            // back up to the cursor but not past it.
            firstOffset = cursorOffset;
            break;
        default:
            return false;
    }

    const uint32_t room = size - firstOffset;
    *first = pBufferStart + firstOffset / 2;
    if (bytes <= room) {
        *firstBytes = bytes;
        return true;
    }
    *firstBytes = room;
    if (second == nullptr || secondBytes == nullptr) {
        return false;
    }
    const uint32_t wrapped = bytes - room;
    // The unrounded length is checked as well: an odd count one past a
    // cursor at the very end would reach past the memory.
    if ((wrapped & ~1u) > cursorOffset || wrapped > size) {
        return false;
    }
    *second = pBufferStart;
    *secondBytes = wrapped;
    return true;
}

void AudioBuffer::Unlock() {}

bool AudioBuffer::Play(bool looping) {
    std::lock_guard lock(hMutex);
    bLooping = looping;
    bStoppedByFade.store(false, std::memory_order_relaxed);
    bIsPlaying.store(true, std::memory_order_relaxed);
    return true;
}

void AudioBuffer::Stop() {
    std::lock_guard lock(hMutex);
    bIsPlaying.store(false, std::memory_order_relaxed);
}

bool AudioBuffer::IsPlaying() {
    return bIsPlaying.load(std::memory_order_relaxed);
}

uint32_t AudioBuffer::GetPrimaryBufSizeBytes() {
    return dwPrimaryBufSizeBytes;
}

uint32_t AudioBuffer::GetPrimaryBufferSampleSize() {
    return dwPrimaryBufferSampleSize;
}

// Runs on the driver's thread: no allocation, no logging.
void AudioBuffer::CheckNotify() {
    switch (dwNotifyMode) {
        case NOTIFY_ONCE:
        case NOTIFY_PERIODIC:
            // A finished one-shot buffer still counts: the owner's timing
            // relies on one switch's worth per switch.
            dwNotifyCount += dwBytesPerSwitch;
            if (dwNotifyCount < dwNotifyBytes) {
                return;
            }
            static_cast<platform::Event*>(hNotifyEvent)->Set();
            if (dwNotifyMode == NOTIFY_ONCE) {
                dwNotifyMode = NOTIFY_NONE;
            } else {
                // The excess carries over, but never a whole distance: with a
                // distance below one switch the count would otherwise grow
                // until it wraps and a signal is lost. One signal a switch
                // is all a switch can give.
                dwNotifyCount = dwNotifyBytes != 0 ? dwNotifyCount % dwNotifyBytes : 0;
            }
            return;
        case NOTIFY_AT_END:
            if (pPlayCursor < pBufferEnd) {
                return;
            }
            static_cast<platform::Event*>(hNotifyEvent)->Set();
            dwNotifyMode = NOTIFY_NONE;
            return;
        default:
            return;
    }
}
