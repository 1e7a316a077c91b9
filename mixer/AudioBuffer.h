// An in-memory sound buffer that behaves like a secondary buffer of a
// streaming sound interface. Its owner writes 16-bit PCM straight into the
// sample memory through Lock; on every buffer switch the output stage has it
// write one device buffer half into the output pair it owns.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "mixer/SoundBuffer.h"

class AudioBuffer;

// The buffer-switch handlers' entry points. `bytes` is the byte length of each
// 32-bit output buffer.
// Runs on the driver's thread: no allocation, no logging.
void ProcessAudioBuffer32Bits(AudioBuffer* buffer, int32_t* left, int32_t* right, int32_t bytes);
// Runs on the driver's thread: no allocation, no logging.
void ProcessAudioBuffer16Bits(AudioBuffer* buffer, int16_t* left, int16_t* right);

class AudioBuffer final : public SoundBufferBase {
  public:
    // `frames` is the device buffer half in frames, `deviceRate` the device
    // rate in whole Hz, `b16Bits` the device's 16-bit output flag. A buffer
    // whose lock or memory could not be made reports InitSuccess false.
    AudioBuffer(BufferDescription* desc, uint32_t frames, uint32_t deviceRate, bool b16Bits);
    // Waits for a running fill to finish.
    ~AudioBuffer();
    AudioBuffer(const AudioBuffer&) = delete;
    AudioBuffer& operator=(const AudioBuffer&) = delete;

    [[nodiscard]] bool InitSuccess() const { return pPlayCursor != nullptr; }
    int32_t GetOwner() const { return nOwner; }

    bool GetAudioPosition(uint32_t* pos) override;
    [[nodiscard]] bool SetAudioPosition(uint32_t pos) override;
    int32_t SetNotify(void* event, uint32_t bytes, uint32_t mode) override;
    void CancelNotify() override;
    void SetAttenuation(uint32_t attenuationDb) override;
    [[nodiscard]] bool Lock(uint32_t offset, uint32_t bytes, void** first, uint32_t* firstBytes,
                            void** second, uint32_t* secondBytes, uint32_t mode) override;
    void Unlock() override;
    bool Play(bool looping) override;
    void Stop() override;
    bool IsPlaying() override;
    uint32_t GetPrimaryBufSizeBytes() override;
    uint32_t GetPrimaryBufferSampleSize() override;
    void ProgramFade(uint32_t targetDb, uint32_t ms) override;

    // Both called by ProcessBuffers with the lock held.
    void CheckNotify();
    void SetProgrammedAttenuation();

  private:
    friend void ProcessAudioBuffer32Bits(AudioBuffer*, int32_t*, int32_t*, int32_t);
    friend void ProcessAudioBuffer16Bits(AudioBuffer*, int16_t*, int16_t*);

    using Fill32 = void (AudioBuffer::*)(int32_t*, int32_t*, int32_t, uint32_t);
    using Fill16 = void (AudioBuffer::*)(int16_t*, int16_t*);
    // Indexed by FillIndex(): stereo, then looping, then lo-res.
    static const Fill32 kFills32[8];
    static const Fill16 kFills16[8];
    uint32_t FillIndex() const {
        return (bStereo ? 4u : 0u) | (bLooping ? 2u : 0u) | (bLoRes ? 1u : 0u);
    }

    void ProcessBuffers(int32_t* left, int32_t* right, int32_t bytes);
    void ProcessBuffers(int16_t* left, int16_t* right);

    // 32-bit output, each sample shifted left by `shift`; `bytes` per output.
    void FillBufferPair(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    void FillBufferPairLoRes(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    void FillStreaming(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    void FillStreamingLoRes(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    void FillBufferPairMono(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    void FillBufferPairMonoLoRes(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    void FillStreamingMono(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    void FillStreamingMonoLoRes(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    // 16-bit output, copied; dwOutputBytes16 per output.
    void FillBufferPair16Bits(int16_t* left, int16_t* right);
    void FillBufferPairLoRes16Bits(int16_t* left, int16_t* right);
    void FillStreaming16Bits(int16_t* left, int16_t* right);
    void FillStreamingLoRes16Bits(int16_t* left, int16_t* right);
    void FillBufferPairMono16Bits(int16_t* left, int16_t* right);
    void FillBufferPairMonoLoRes16Bits(int16_t* left, int16_t* right);
    void FillStreamingMono16Bits(int16_t* left, int16_t* right);
    void FillStreamingMonoLoRes16Bits(int16_t* left, int16_t* right);

    // Shared bodies of the fills, one per play mode; see AudioBufferMix.cpp.
    template <class Kernel, class Out>
    void FillOnce(Out* left, Out* right, Kernel kernel);
    template <class Kernel, class Out>
    void FillRing(Out* left, Out* right, Kernel kernel);

    void ApplyAttenuation(uint32_t bytes);
    void ApplyBitShiftMono(uint32_t bytes, uint32_t shift);
    void ApplyBitShiftStereo(uint32_t bytes, uint32_t shift);
    void ApplyLevel(uint32_t attenuationDb);
    static double GainFromDb(double attenuationDb);

    // Written by Play/Stop under the lock; read without it by the output
    // stage's buffer switch (IsPlaying) and by the owner.
    std::atomic<bool> bIsPlaying{false};
    // The members below, up to the notification state, are written by the
    // owner's operations and read by the buffer switch, both under hMutex,
    // unless noted otherwise.
    bool bLooping = false;
    bool bStereo = false;  // fixed at construction
    bool bLoRes = false;   // fixed at construction
    bool b16Bits = false;  // fixed at construction
    bool bFadeActive = false;
    bool bFadeDone = false;
    int16_t* pPlayCursor = nullptr;
    int16_t* pBufferStart = nullptr;  // owned; fixed at construction
    int16_t* pBufferEnd = nullptr;    // fixed at construction
    int32_t nOwner = 0;               // fixed at construction
    std::mutex hMutex;
    int32_t nBitShift = 16;
    uint32_t dwAttenuation = 0;
    uint32_t dwPrimaryBufferSampleSize = 0;  // fixed at construction
    uint32_t dwPrimaryBufSizeBytes = 0;      // fixed at construction
    uint32_t dwOutputBytes16 = 0;            // fixed at construction
    uint32_t dwBytesPerSwitch = 0;           // fixed at construction
    uint32_t dwFadeSteps = 0;
    uint32_t dwFadeTarget = 0;
    BufferDescription desc{};  // fixed at construction
    uint32_t dwNotifyMode = NOTIFY_NONE;
    uint32_t dwNotifyCount = 0;
    uint32_t dwNotifyBytes = 0;
    void* hNotifyEvent = nullptr;  // a platform::Event*, the caller's
    double dGain = 1.0;
    double dFadeStep = 0.0;
    double dFadeLevel = 0.0;
    double dMsPerSwitch = 0.0;  // fixed at construction
};
