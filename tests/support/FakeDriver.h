// A driver that a test drives by hand: every answer is a setting, every call
// is counted, and Switch(i) runs the host's bufferSwitch as the driver's
// thread would. Release() only counts: the test owns the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "mixer/asio/Asio.h"

struct FakeChannel {
    std::string name;
    int32_t group = 0;
    ASIOSampleType type = ASIOSTInt32LSB;
    ASIOBool active = ASIOTrue;
    bool unterminatedName = false;  // fill all 32 bytes of the name, no terminator
};

class FakeDriver final : public IASIO {
  public:
    // `outputs` channels named "Out 1", "Out 2", ..., group 0, of `type`.
    explicit FakeDriver(int32_t outputs = 8, ASIOSampleType type = ASIOSTInt32LSB);
    ~FakeDriver() override;

    // --- what the driver reports ---
    std::vector<FakeChannel> channels;
    int32_t minSize = 32, maxSize = 2048, preferredSize = 64, granularity = -1;
    double rate = 48000.0;

    // --- scripted failures ---
    bool initResult = true;
    std::string errorText = "no card";
    ASIOError createBuffersResult = ASE_OK;
    std::set<int32_t> nullHalfChannels;  // createBuffers leaves half 1 of these null
    ASIOError startResult = ASE_OK;
    ASIOError getSampleRateResult = ASE_OK, canSampleRateResult = ASE_OK,
              setSampleRateResult = ASE_OK;
    std::set<int32_t> failingChannelInfo;  // getChannelInfo fails, record untouched

    // --- driving the host ---
    void Switch(int32_t index);
    int32_t Message(int32_t selector, int32_t value);
    const ASIOCallbacks* Callbacks() const { return callbacks_; }
    // Half `half` of output channel `channel` as the host sees it, or null
    // (also for a channel no buffer was asked for). Its size is the buffer
    // size times the sample size of the channel's declared type.
    void* Half(int32_t channel, int32_t half) const;
    int32_t Sample32(int32_t channel, int32_t half, int32_t frame) const;
    int16_t Sample16(int32_t channel, int32_t half, int32_t frame) const;
    // Fills every half with a pattern, so that a test sees what was written.
    void Scribble(uint8_t byte);
    int32_t CreatedChannels() const { return createdChannels_; }
    int32_t CreatedSize() const { return createdSize_; }

    // --- counters (read after the switching thread has been joined) ---
    std::atomic<int32_t> initCalls{0}, startCalls{0}, stopCalls{0}, disposeCalls{0},
        releaseCalls{0}, createBuffersCalls{0}, getChannelInfoCalls{0};
    void* lastSysHandle = nullptr;

    // IASIO
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    int32_t getDriverVersion() override { return 7; }
    void getErrorMessage(char* string) override;
    ASIOError start() override { return ++startCalls, startResult; }
    ASIOError stop() override { return ++stopCalls, ASE_OK; }
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError getLatencies(int32_t* in, int32_t* out) override;
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate) override { return canSampleRateResult; }
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError outputReady() override { return ASE_OK; }
    void Release() override { ++releaseCalls; }

  private:
    ASIOCallbacks* callbacks_ = nullptr;
    static size_t BytesPerSample(ASIOSampleType type);

    std::vector<std::unique_ptr<uint8_t[]>> memory_;
    std::vector<void*> halves_;      // two per channel, by channel number; null: not created
    std::vector<size_t> halfBytes_;  // per channel: frames x its type's sample size
    int32_t createdChannels_ = 0;
    int32_t createdSize_ = 0;
};
