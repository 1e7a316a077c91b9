// The sound-buffer interface that the rest of the program sees, and the
// record a creator fills to obtain a buffer from the output stage.
#pragma once

#include <cstdint>

// Handed by pointer to the AudioBuffer constructor, which copies it.
struct BufferDescription {
    uint32_t dwBufferBytes;    // sample memory in bytes; rounded down to even
    uint32_t dwSamplesPerSec;  // rate of the buffered audio; decides only bLoRes
    int32_t nChannels;         // above 1 means interleaved stereo, otherwise mono
    int32_t nOwner;            // output pair 0..11: outputs 2*nOwner and 2*nOwner+1
};

// Notification modes, the last argument of SetNotify.
constexpr uint32_t NOTIFY_NONE = 0;
constexpr uint32_t NOTIFY_AT_END = 1;
constexpr uint32_t NOTIFY_ONCE = 2;
constexpr uint32_t NOTIFY_PERIODIC = 3;

// Lock modes, the last argument of Lock.
constexpr uint32_t LOCK_AT_OFFSET = 0;
constexpr uint32_t LOCK_FROM_PLAY_CURSOR = 1;
constexpr uint32_t LOCK_ENTIRE_BUFFER = 2;

// Positions and lengths are byte counts from the start of the sample memory
// and always even. The slot order of these operations is part of the
// interface and must not change.
class SoundBufferBase {
  public:
    SoundBufferBase(const SoundBufferBase&) = delete;
    SoundBufferBase& operator=(const SoundBufferBase&) = delete;

    virtual bool GetAudioPosition(uint32_t* pos) = 0;
    [[nodiscard]] virtual bool SetAudioPosition(uint32_t pos) = 0;
    // `event` is a platform::Event*, owned by the caller. 0 when armed, -1 for
    // a null event, -2 for a mode other than 1, 2 or 3.
    virtual int32_t SetNotify(void* event, uint32_t bytes, uint32_t mode) = 0;
    virtual void CancelNotify() = 0;
    virtual void SetAttenuation(uint32_t attenuationDb) = 0;
    [[nodiscard]] virtual bool Lock(uint32_t offset, uint32_t bytes, void** first,
                                    uint32_t* firstBytes, void** second, uint32_t* secondBytes,
                                    uint32_t mode) = 0;
    virtual void Unlock() = 0;
    virtual bool Play(bool looping) = 0;
    virtual void Stop() = 0;
    virtual bool IsPlaying() = 0;
    virtual uint32_t GetPrimaryBufSizeBytes() = 0;
    virtual uint32_t GetPrimaryBufferSampleSize() = 0;
    virtual void ProgramFade(uint32_t targetDb, uint32_t ms) = 0;

  protected:
    SoundBufferBase() = default;
    // Buffers are destroyed as AudioBuffer by the output stage, never through
    // this interface, so the destructor is neither public nor virtual.
    ~SoundBufferBase() = default;
};
