// The twelve sound-buffer slots: occupied from slot 0 without holes.
#include <mutex>
#include <new>

#include "diag/DebugLog.h"
#include "mixer/ASIOBuffers.h"
#include "mixer/AudioBuffer.h"

namespace {

enum class SlotResult { Stored, NoneFree, Occupied };

}  // namespace

void* ASIOBuffers::CreateSoundBuffer(void* description, uint32_t sampleBits) {
    DebugLog& log = MixerDebugLog();
    auto* desc = static_cast<BufferDescription*>(description);
    if (!desc) {
        log.WriteLine("Error CreateSoundBuffer - no description!");
        return nullptr;
    }
    // The buffer switch writes a buffer into its pair's halves: a pair the
    // card does not have, or cannot use, would never play nor notify.
    if (desc->nOwner < 0 || desc->nOwner >= numStereoPairs || !bStereoPairActive[desc->nOwner]) {
        log.WriteValue("Error CreateSoundBuffer - no such output pair! - nOwner", desc->nOwner);
        return nullptr;
    }
    bool full;
    {
        std::lock_guard guard(hBufferMutex);
        full = countAudioBuffers >= kMaxSoundBuffers;
    }
    if (full) {
        log.WriteLine("Error CreateSoundBuffer - No buffers available!");
        return nullptr;
    }

    // Allocated before the slot lock is taken: the buffer switch never waits
    // for an allocation.
    const double wholeRate = sampleRate >= 0.0 && sampleRate < 4294967296.0 ? sampleRate : 0.0;
    auto* buffer =
        new (std::nothrow) AudioBuffer(desc, static_cast<uint32_t>(bufferSize),
                                       static_cast<uint32_t>(wholeRate), b16Bits, sampleBits);
    if (!buffer) {
        log.WriteLine("Error CreateSoundBuffer - create failed!");
        return nullptr;
    }
    if (!buffer->InitSuccess()) {
        log.WriteLine("Error CreateSoundBuffer - Init failed!");
        delete buffer;
        return nullptr;
    }

    // The slot is chosen under the lock, so that a release on another thread
    // cannot compact the slots between the choice and the store.
    SlotResult result;
    int32_t c;
    {
        std::lock_guard guard(hBufferMutex);
        c = countAudioBuffers;
        if (c >= kMaxSoundBuffers) {
            result = SlotResult::NoneFree;
        } else if (StereoAudioBuffers[c]) {
            result = SlotResult::Occupied;
        } else {
            StereoAudioBuffers[c] = buffer;
            ++countAudioBuffers;
            result = SlotResult::Stored;
        }
    }
    if (result == SlotResult::Stored) return buffer;

    // Never seen by the buffer switch, so it may go without the slot lock.
    delete buffer;
    if (result == SlotResult::NoneFree)
        log.WriteLine("Error CreateSoundBuffer - No buffers available!");
    else
        log.WriteValue(
            "Error CreateSoundBuffer - index in StereoAudioBuffers not available! - "
            "countAudioBuffers",
            c);
    return nullptr;
}

void ASIOBuffers::ReleaseSoundBuffer(void* buffer) {
    DebugLog& log = MixerDebugLog();
    if (!buffer) {
        log.WriteLine("ReleaseSoundBuffer - null lpAudioBuffer!");
        return;
    }
    AudioBuffer* unlinked = nullptr;
    int32_t remaining = 0;
    {
        // The pointer is searched for under the lock: a create or release on
        // another thread may be moving the slots.
        std::lock_guard guard(hBufferMutex);
        for (int32_t i = 0; i < kMaxSoundBuffers; ++i) {
            if (StereoAudioBuffers[i] != buffer) continue;
            unlinked = StereoAudioBuffers[i];
            StereoAudioBuffers[i] = nullptr;
            const int32_t oldCount = countAudioBuffers;
            --countAudioBuffers;
            if (countAudioBuffers > 0) CompactSlots(oldCount);
            remaining = countAudioBuffers;
            break;
        }
    }
    if (!unlinked) {
        log.WriteLine("ReleaseSoundBuffer - can't find location of lpAudioBuffer!");
        return;
    }
    // Deleted once unlinked, outside the slot lock: the buffer switch holds
    // that lock for the whole of a switch, so none can still be using the
    // buffer, and none will find it again.
    const int32_t owner = unlinked->GetOwner();
    delete unlinked;
    log.WriteTwoValues("StereoAudioBuffers - Deleted audio buffer Chn", owner, "countAudioBuffers",
                       remaining);
}

// Called with hBufferMutex held. With the single hole a release leaves, every
// later buffer moves down one slot and the buffers keep their order.
void ASIOBuffers::CompactSlots(int32_t n) {
    if (n > kMaxSoundBuffers) n = kMaxSoundBuffers;
    for (int32_t i = 0; i < n; ++i) {
        if (StereoAudioBuffers[i]) continue;
        int32_t j = i + 1;
        while (j < n && !StereoAudioBuffers[j]) ++j;
        if (j >= n) return;
        StereoAudioBuffers[i] = StereoAudioBuffers[j];
        StereoAudioBuffers[j] = nullptr;
    }
}

void ASIOBuffers::PlayTogether(AudioBuffer* const* buffers, int32_t count) {
    // The switch holds the slot lock for the whole of a switch: holding it
    // here puts every start before the same one.
    std::lock_guard guard(hBufferMutex);
    for (int32_t i = 0; i < count; ++i)
        if (buffers[i]) buffers[i]->Play(true);
}

int16_t ASIOBuffers::CountAudioBuffers() {
    std::lock_guard guard(hBufferMutex);
    return countAudioBuffers;
}

AudioBuffer* ASIOBuffers::SlotBuffer(int32_t slot) {
    if (slot < 0 || slot >= kMaxSoundBuffers) return nullptr;
    std::lock_guard guard(hBufferMutex);
    return StereoAudioBuffers[slot];
}
