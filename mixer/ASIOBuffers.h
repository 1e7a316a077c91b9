// The output stage: the connection to one opened driver. It forms the card's
// stereo output pairs, owns the driver's double buffers and the twelve
// sound-buffer slots, and on every buffer switch lets each playing sound
// buffer write its pair and silences the usable pairs nobody wrote.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "mixer/asio/Asio.h"
#include "platform/PiMutex.h"

class AudioBuffer;

// Receives the labels of the card's stereo output pairs, in pair order. The
// dialog's hidden pair list and the command line implement it.
class PairLabelSink {
  public:
    virtual ~PairLabelSink() = default;
    virtual void AddLabel(const char* label) = 0;
};

class ASIOBuffers {
  public:
    static constexpr int32_t kMaxOutputChannels = 24;
    static constexpr int32_t kMaxStereoPairs = 12;
    static constexpr int32_t kMaxSoundBuffers = 12;

    // Discovers the driver's output channels and pairs them; see InitSuccess.
    // hWnd goes to the driver's init; windowTitle (may be null) is logged;
    // pairList and driver may be null. At most one output stage lives at a
    // time: the driver's callbacks carry no context and reach the live one.
    ASIOBuffers(void* hWnd, const char* windowTitle, PairLabelSink* pairList, IASIO* driver);
    // Stops the driver, disposes its buffers, deletes the remaining sound
    // buffers. The driver itself stays open: the driver list owns it.
    ~ASIOBuffers();
    ASIOBuffers(const ASIOBuffers&) = delete;
    ASIOBuffers& operator=(const ASIOBuffers&) = delete;

    // The driver initialised, it has an output channel, and the sample type
    // of output channel 0 is 16-bit or 32-bit little-endian integer.
    bool InitSuccess() const { return bInitSuccess; }

    // Has the driver create the double buffers of every output pair.
    [[nodiscard]] bool CreatePrimaryBuffers();

    [[nodiscard]] bool SetSampleRate(uint32_t hz);
    // Whole hertz; 0 when the driver cannot tell.
    uint32_t GetSampleRate();
    // The rate last read from the driver, in whole hertz, without asking it
    // again and without logging; 0 when not known.
    uint32_t KnownSampleRate() const;
    // The buffer size in sample frames (and logs a latency in milliseconds).
    uint32_t GetLatency();
    // There is no meter event; always null.
    void* GetVUMeterEventHandle();
    // Kept for the library's interface; has no effect.
    void SetAttenuationLevel(int32_t level);

    // `description` points to a BufferDescription whose nOwner is one of the
    // card's pairs; the result is the new AudioBuffer (whose only base,
    // SoundBufferBase, sits at the same address) in the next free slot, or null.
    // `sampleBits` is the width of the buffer's samples in memory, 16 or 32.
    [[nodiscard]] void* CreateSoundBuffer(void* description, uint32_t sampleBits = 16);
    // Deletes a buffer from CreateSoundBuffer and closes the hole it leaves.
    void ReleaseSoundBuffer(void* buffer);
    // Sets every given buffer playing as a ring between two buffer switches,
    // so that all of them begin in the same switch. Null entries are skipped.
    void PlayTogether(AudioBuffer* const* buffers, int32_t count);

    // The driver's callbacks.
    static void OnBufferSwitch16Bits(int32_t index, ASIOBool directProcess) noexcept;
    static void OnBufferSwitch32Bits(int32_t index, ASIOBool directProcess) noexcept;
    static void OnSampleRateDidChange(ASIOSampleRate rate) noexcept;
    static int32_t OnAsioMessage(int32_t selector, int32_t value, void* message,
                                 double* opt) noexcept;

    // True once the driver has asked for a reset since the live output stage
    // was made: its device is gone and plays no more.
    static bool DeviceLost() { return bDeviceLost.load(std::memory_order_acquire); }

    // What the host and the tests read back.
    int32_t NumStereoPairs() const { return numStereoPairs; }
    bool IsPairActive(int32_t pair) const;
    bool Is16Bits() const { return b16Bits; }
    bool OutputReady() const { return bOutputReady; }
    int32_t BufferSize() const { return bufferSize; }
    int32_t SampleType() const { return sampleType; }
    uint32_t BufferSizeBytes() const { return bufferSizeBytes; }
    int32_t BufferSwitchCount() const { return cBufs.load(std::memory_order_relaxed); }
    int16_t CountAudioBuffers();
    // The buffer in a slot, or null.
    AudioBuffer* SlotBuffer(int32_t slot);

    // The meter of one output channel (0..23): the peak of what the recent
    // buffer switches wrote there, as a fraction of full scale, holding the
    // loudest and falling by 20 dB in 1.5 s. Read without a lock.
    float OutputPeak(int32_t channel) const;

  private:
    void DiscoverChannels(void* hWnd, const char* windowTitle, PairLabelSink* pairList);
    void ShowSampleType(int32_t type);
    static std::string PairLabel(const std::string& left, const std::string& right);
    void CompactSlots(int32_t n);
    template <bool Is16>
    void BufferSwitch(int32_t index) noexcept;
    void Meter(int32_t channel, uint32_t peak) noexcept;

    // The one live output stage, which the driver's callbacks reach. Written
    // on the application's thread before the driver gets the callbacks and
    // after it has been stopped; read by the callbacks on the driver's thread.
    static std::atomic<ASIOBuffers*> pLiveOutput;
    // Set by OnAsioMessage on a reset request (driver's thread); cleared when
    // an output stage is made; read by the host on the application's thread.
    static std::atomic<bool> bDeviceLost;

    bool b16Bits = false;
    bool bInitSuccess = false;
    bool bBuffersCreated = false;
    int16_t countAudioBuffers = 0;  // guarded by hBufferMutex
    int32_t bufferSize = 0;
    int32_t sampleType = 0;
    ASIOSampleRate sampleRate = 0.0;

    // Written before the driver starts; read by the buffer switch.
    bool bOutputReady = false;
    int32_t numStereoPairs = 0;
    uint32_t bufferSizeBytes = 0;
    IASIO* driver = nullptr;
    bool bStereoPairActive[kMaxStereoPairs] = {};
    // Every half of both channels of the pair exists: only such a pair is
    // ever written, whatever else the driver says about it.
    bool bPairHasBuffers[kMaxStereoPairs] = {};
    ASIOChannelInfo channelInfos[kMaxOutputChannels] = {};
    ASIOBufferInfo bufferInfos[kMaxOutputChannels] = {};
    ASIOCallbacks asioCallbacks = {};

    // Written by the buffer switch alone; read after the driver stopped.
    std::atomic<int32_t> cBufs{0};

    // The meters, in units of 2^-31 of full scale: written by the buffer
    // switch alone, read by any thread. The fall per switch (a 32-bit
    // fraction) is fixed before the driver starts.
    std::atomic<uint32_t> peaks[kMaxOutputChannels] = {};
    uint64_t peakFall = 0;

    // Guards StereoAudioBuffers and countAudioBuffers: held by the buffer
    // switch (driver's thread) for the whole switch, and briefly by
    // CreateSoundBuffer and ReleaseSoundBuffer (engine and application
    // threads). It lends the driver's priority to whoever holds it.
    platform::PiMutex hBufferMutex;
    AudioBuffer* StereoAudioBuffers[kMaxSoundBuffers] = {};
};
