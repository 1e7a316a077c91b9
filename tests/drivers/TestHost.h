// A small host for driver tests: on every buffer switch it fills every output
// channel of half i with a known pattern that names the channel, the period
// and the frame, so a recording of the outputs can be checked sample by sample.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "mixer/asio/Asio.h"

namespace testhost {

// Exactly representable as a float, so it survives a float conversion, and
// alternating in sign so a sign mistake shows.
inline int32_t Pattern32(int32_t channel, int64_t period, int32_t frame) {
    const int32_t m =
        (channel + 1) * (1 << 18) + static_cast<int32_t>(period % 1024) * 256 + frame % 256;
    return (frame % 2 == 0 ? 1 : -1) * (m << 8);
}

inline int16_t Pattern16(int32_t channel, int64_t period, int32_t frame) {
    const int32_t m = (channel + 1) * 1024 + static_cast<int32_t>(period % 32) * 32 + frame % 32;
    return static_cast<int16_t>(frame % 2 == 0 ? m : -m);
}

// The driver calls back without a context pointer: one host at a time.
struct Host {
    static constexpr int kMaxChannels = 24;
    ASIOSampleType type = ASIOSTInt32LSB;
    int32_t frames = 0;
    int32_t channels = 0;
    ASIOBufferInfo infos[kMaxChannels] = {};
    ASIOCallbacks callbacks = {};
    // Written by the driver's thread, read by the test.
    std::atomic<int64_t> periods{0};
    std::atomic<int64_t> wrongHalves{0};
    std::atomic<int32_t> resetRequests{0};  // the driver's asioMessage(kAsioResetRequest)

    static inline Host* current = nullptr;

    Host() {
        callbacks.bufferSwitch = OnBufferSwitch;
        callbacks.sampleRateDidChange = [](ASIOSampleRate) {};
        callbacks.asioMessage = [](int32_t selector, int32_t, void*, double*) {
            if (selector == kAsioResetRequest && current) current->resetRequests.fetch_add(1);
            return 0;
        };
        current = this;
    }
    ~Host() { current = nullptr; }

    // Creates buffers for channels 0..channels-1 of the driver.
    [[nodiscard]] ASIOError CreateBuffers(IASIO* driver, int32_t channelCount, int32_t bufferFrames,
                                          ASIOSampleType sampleType) {
        type = sampleType;
        frames = bufferFrames;
        channels = std::min(channelCount, kMaxChannels);
        for (int32_t c = 0; c < channels; ++c) infos[c] = {ASIOFalse, c, {nullptr, nullptr}};
        return driver->createBuffers(infos, channelCount, bufferFrames, &callbacks);
    }

    static void OnBufferSwitch(int32_t index, ASIOBool) {
        Host* host = current;
        const int64_t n = host->periods.load(std::memory_order_relaxed);
        if (index != n % 2) host->wrongHalves.fetch_add(1);
        for (int32_t c = 0; c < host->channels; ++c) {
            void* half = host->infos[c].buffers[index & 1];
            for (int32_t f = 0; f < host->frames; ++f)
                if (host->type == ASIOSTInt16LSB)
                    static_cast<int16_t*>(half)[f] = Pattern16(c, n, f);
                else
                    static_cast<int32_t*>(half)[f] = Pattern32(c, n, f);
        }
        host->periods.store(n + 1, std::memory_order_release);
    }
};

inline int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A driver released when it goes.
struct DriverDeleter {
    void operator()(IASIO* driver) const { driver->Release(); }
};
using DriverPtr = std::unique_ptr<IASIO, DriverDeleter>;

// The driver's error text; it must end inside the field.
inline std::string ErrorOf(IASIO* driver) {
    char text[kAsioTextBytes];
    std::memset(text, 'x', sizeof text);
    driver->getErrorMessage(text);
    const size_t length = strnlen(text, sizeof text);
    EXPECT_LT(length, static_cast<size_t>(kAsioErrorMessageBytes));
    return std::string(text, length);
}

}  // namespace testhost
