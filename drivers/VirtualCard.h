// The virtual card: a complete driver with no device behind it. It offers 24
// outputs, paces buffer switches in real time with a clock thread of its own,
// and can record every output into a multichannel WAV file. It lets the
// whole program run, and be checked bit for bit, on a machine without sound
// hardware, and it is the smallest driver to start from when writing a new one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "drivers/DriverText.h"
#include "drivers/VirtualCardSettings.h"
#include "drivers/WavRecording.h"
#include "mixer/asio/Asio.h"

namespace drivers {

class VirtualCard final : public IASIO {
  public:
    static constexpr int32_t kChannels = 24;

    // Settings are read from the environment by init.
    VirtualCard() = default;
    // Fixed settings; the environment is not consulted.
    explicit VirtualCard(const VirtualCardSettings& settings);

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

    // Buffer switches since start (read on any thread).
    uint64_t SwitchCount() const { return switches_.load(std::memory_order_relaxed); }

  private:
    ~VirtualCard() override;

    void RunClock() noexcept;
    uint32_t BytesPerSample() const { return settings_.sampleType == ASIOSTInt16LSB ? 2 : 4; }

    bool bFixedSettings_ = false;
    bool bInitialised_ = false;
    VirtualCardSettings settings_;
    ErrorText error_;

    // Both halves of every output channel, one block, zeroed at creation.
    std::unique_ptr<uint8_t[]> pBuffers_;
    bool bBuffersCreated_ = false;
    bool bChannelActive_[kChannels] = {};
    // Half h of channel c, or null for a channel the host did not ask for;
    // the layout the recording reads.
    const void* channelHalves_[2][kChannels] = {};
    ASIOCallbacks callbacks_ = {};

    WavRecording recording_;
    bool bRecordingBegun_ = false;

    // Set by start and stop (host's thread), read by the clock thread.
    std::atomic<bool> bRunning_{false};
    // Written by the clock thread; read by anyone.
    std::atomic<uint64_t> switches_{0};
    // Times the clock fell so far behind that it started a new schedule;
    // written by the clock thread, logged by stop.
    std::atomic<uint32_t> resyncs_{0};
    std::thread clock_;
};

}  // namespace drivers
