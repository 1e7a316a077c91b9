// The JACK driver: a client named "Cantabile" with 24 output ports out_1 to
// out_24. JACK pulls a period at a time, so the driver calls bufferSwitch(i)
// inside JACK's process callback, converts half i to float into the ports in
// that same period and toggles i: the double buffer adds no latency.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "drivers/DriverText.h"
#include "mixer/asio/Asio.h"

namespace drivers {

class JackDriver final : public IASIO {
  public:
    static constexpr int32_t kChannels = 24;

    // CANTABILE_JACK_CONNECT=none leaves the ports unconnected; otherwise
    // they are connected in order to the physical playback ports.
    JackDriver();

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

    // True once the server has gone away (set on a JACK thread).
    bool ServerGone() const { return bServerGone_.load(); }

  private:
    ~JackDriver() override;

    static int OnProcess(jack_nframes_t frames, void* arg) noexcept;
    static void OnShutdown(void* arg) noexcept;
    void Process(jack_nframes_t frames) noexcept;
    // Waits until no process callback is inside the host's code.
    void WaitForCallbackToLeave();
    void ConnectPorts();

    bool bConnect_ = true;
    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[kChannels] = {};
    std::string physical_[kChannels];  // the playback port each output feeds; empty: none
    char channelNames_[kChannels][32] = {};
    uint32_t dwSampleRate_ = 0;
    uint32_t dwBufferFrames_ = 0;
    ErrorText error_;

    std::unique_ptr<int32_t[]> pBuffers_;
    bool bBuffersCreated_ = false;
    bool bActivated_ = false;
    bool bChannelActive_[kChannels] = {};
    // Half h of channel c, or null for a channel the host did not ask for.
    const int32_t* channelHalves_[2][kChannels] = {};
    ASIOCallbacks callbacks_ = {};

    // The host's message callback while buffers exist: set by createBuffers
    // and disposeBuffers (host's thread), read by OnShutdown (a JACK thread),
    // which raises the reset request through it.
    std::atomic<int32_t (*)(int32_t, int32_t, void*, double*)> pAsioMessage_{nullptr};

    // Set by start and stop (host's thread) and by OnShutdown; read by the
    // process callback. Together with bInCallback_ it lets stop know that
    // no switch runs after it returns.
    std::atomic<bool> bRunning_{false};
    // Written by the process callback, read by stop and disposeBuffers.
    std::atomic<bool> bInCallback_{false};
    // Written by OnShutdown (a JACK thread), read on the host's thread.
    std::atomic<bool> bServerGone_{false};
    // The half to switch next: set by start while stopped, then owned by the
    // process callback.
    int32_t nextHalf_ = 0;
};

}  // namespace drivers
