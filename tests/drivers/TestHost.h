// A small host for driver tests: on every buffer switch it fills every output
// channel of half i with a known pattern that names the channel, the period
// and the frame, so a recording of the outputs can be checked sample by sample.
#pragma once

#include <atomic>
#include <cstdint>
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

    static Host* current;

    Host();
    ~Host();
    // Creates buffers for channels 0..channels-1 of the driver.
    [[nodiscard]] ASIOError CreateBuffers(IASIO* driver, int32_t channelCount, int32_t bufferFrames,
                                          ASIOSampleType sampleType);
};

int64_t NowNs();

// A driver released when it goes.
struct DriverDeleter {
    void operator()(IASIO* driver) const { driver->Release(); }
};
using DriverPtr = std::unique_ptr<IASIO, DriverDeleter>;

// The driver's error text; it must end inside the field.
std::string ErrorOf(IASIO* driver);

}  // namespace testhost
