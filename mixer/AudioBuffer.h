// An in-memory sound buffer that behaves like a secondary buffer of a
// streaming sound interface. Its owner writes PCM straight into the sample
// memory through Lock; on every buffer switch the output stage has it write
// one device buffer half into the output pair it owns, at the buffer's level.
//
// The sample memory holds 16-bit samples, or, for sources above 16 bits,
// 32-bit samples (a 24-bit sample s as s << 8, a float x as x * 2^31).
#pragma once

#include <atomic>
#include <cstdint>

#include "mixer/SoundBuffer.h"
#include "platform/PiMutex.h"

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
    // rate in whole Hz, `b16Bits` the device's 16-bit output flag,
    // `sampleBits` the width of a sample in memory, 16 or 32 (anything else
    // leaves the buffer unusable). A buffer whose memory could not be made
    // reports InitSuccess false.
    AudioBuffer(BufferDescription* desc, uint32_t frames, uint32_t deviceRate, bool b16Bits,
                uint32_t sampleBits = 16);
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

    // A fade from wherever the level is now (a fixed attenuation, or the
    // point a fade has reached) to targetDb over ms, in the same steps as
    // ProgramFade. A target of kSilenceDb fades to kFadeFloorDb and then
    // silences. With stopAtEnd the buffer stops itself in the switch that
    // reaches the target and signals the event of its last SetNotify once,
    // armed or not, so that its owner learns of it.
    void FadeTo(uint32_t targetDb, uint32_t ms, bool stopAtEnd);
    // The attenuation in dB the next switch starts from: the fixed level, or
    // the point a fade has reached.
    double CurrentAttenuation();
    // True once a FadeTo with stopAtEnd has stopped the buffer; cleared by Play.
    bool StoppedByFade() const { return bStoppedByFade.load(std::memory_order_acquire); }
    uint32_t SampleBits() const { return dwSampleBits; }

    // Both called by ProcessBuffers with the lock held.
    void CheckNotify();
    void SetProgrammedAttenuation();

  private:
    friend void ProcessAudioBuffer32Bits(AudioBuffer*, int32_t*, int32_t*, int32_t);
    friend void ProcessAudioBuffer16Bits(AudioBuffer*, int16_t*, int16_t*);

    using Fill32 = void (AudioBuffer::*)(int32_t*, int32_t*, int32_t, uint32_t);
    using Fill16 = void (AudioBuffer::*)(int16_t*, int16_t*);
    // Indexed by FillIndex(): stereo, then looping, then lo-res. The first
    // two serve 16-bit memory, the Wide ones 32-bit memory.
    static const Fill32 kFills32[8];
    static const Fill16 kFills16[8];
    static const Fill32 kWideFills32[8];
    static const Fill16 kWideFills16[8];
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

    // The fills of 32-bit memory, one instance per table entry.
    template <bool Looping, bool Stereo, bool LoRes>
    void FillWide(int32_t* left, int32_t* right, int32_t bytes, uint32_t shift);
    template <bool Looping, bool Stereo, bool LoRes>
    void FillWide16Bits(int16_t* left, int16_t* right);

    // Every fill: the play-mode body around the kernel that the memory, the
    // output and the level call for; see AudioBufferMix.cpp.
    template <bool Looping, bool Stereo, bool LoRes, class Mem, class Out>
    void Fill(Out* left, Out* right, uint32_t shift);
    template <class Kernel, class Out>
    void FillOnce(Out* left, Out* right, Kernel kernel);
    template <class Kernel, class Out>
    void FillRing(Out* left, Out* right, Kernel kernel);

    // Sets a fixed level without touching the fade state; `gain` is
    // GainFromDb(attenuationDb), worked out before the lock is taken.
    void ApplyLevel(uint32_t attenuationDb, double gain);
    void StopAfterFade();
    static double GainFromDb(double attenuationDb);
    double CurrentAttenuationLocked() const;

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
    bool bStopAfterFade = false;
    int16_t* pPlayCursor = nullptr;
    int16_t* pBufferStart = nullptr;  // owned; fixed at construction
    int16_t* pBufferEnd = nullptr;    // fixed at construction
    int32_t nOwner = 0;               // fixed at construction
    uint32_t dwSampleBits = 16;       // fixed at construction
    platform::PiMutex hMutex;
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
    // The state of the dither that reduces 32-bit memory to 16-bit output;
    // the driver's thread alone uses it.
    uint32_t dwDitherState = 0x9E3779B9u;
    // Set by the driver's thread when a fade stopped the buffer, cleared by Play.
    std::atomic<bool> bStoppedByFade{false};
};

// An attenuation at which every sample width plays zeros: the gain is below
// one step of 32-bit memory. A fade to it fades to kFadeFloorDb, inaudible,
// and then silences, rather than spend most of its time below hearing.
constexpr uint32_t kSilenceDb = 200;
constexpr uint32_t kFadeFloorDb = 80;
