// The ALSA driver: one playback PCM ("default" or a hardware device such as
// "hw:0,3"), as many channels as it offers up to 24, S32_LE (else S16_LE).
// A thread of its own calls bufferSwitch(i), interleaves half i into the
// period it writes, toggles i, and recovers from underruns.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "drivers/DriverText.h"
#include "mixer/asio/Asio.h"

namespace drivers {

// A hardware playback device found at start-up.
struct AlsaDevice {
    int32_t card = 0;
    int32_t device = 0;
    std::string pcmName;      // "hw:CARD=id,DEV=d", or "hw:C,D" for a card without an id
    std::string description;  // card and device names, as ALSA reports them
};

// Every hardware playback PCM, ordered by card and device.
std::vector<AlsaDevice> ListAlsaPlaybackDevices();

class AlsaDriver final : public IASIO {
  public:
    static constexpr int32_t kMaxChannels = 24;
    static constexpr uint32_t kPreferredFrames = 256;
    static constexpr uint32_t kDefaultRate = 48000;

    explicit AlsaDriver(std::string pcmName);

    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    int32_t getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError outputReady() override;
    void Release() override;

    // Underruns recovered since start (read on any thread).
    uint32_t Underruns() const { return underruns_.load(std::memory_order_relaxed); }

  private:
    ~AlsaDriver() override;

    [[nodiscard]] bool Configure(uint32_t rate);
    void RunPeriods() noexcept;
    void Interleave(int32_t half) noexcept;
    size_t SampleBytes() const noexcept { return sampleType_ == ASIOSTInt16LSB ? 2 : 4; }

    std::string pcmName_;
    snd_pcm_t* pcm_ = nullptr;
    ErrorText error_;
    int32_t nChannels_ = 0;
    ASIOSampleType sampleType_ = ASIOSTInt32LSB;
    uint32_t dwSampleRate_ = 0;
    uint32_t dwBufferFrames_ = 0;  // one period of the device
    uint32_t dwDeviceBufferFrames_ = 0;

    std::unique_ptr<uint8_t[]> pBuffers_;      // both halves of every channel asked for
    std::unique_ptr<uint8_t[]> pInterleaved_;  // one period as the device takes it
    bool bBuffersCreated_ = false;
    bool bChannelActive_[kMaxChannels] = {};
    const uint8_t* channelHalves_[2][kMaxChannels] = {};
    ASIOCallbacks callbacks_ = {};

    // Set by start and stop (host's thread), read by the period thread.
    std::atomic<bool> bRunning_{false};
    // Written by the period thread, read by anyone.
    std::atomic<uint32_t> underruns_{0};
    // Written by the period thread when the device fails for good (its
    // error code); read by stop, which logs it, and by getErrorMessage.
    std::atomic<int> failure_{0};
    std::thread thread_;
};

}  // namespace drivers
