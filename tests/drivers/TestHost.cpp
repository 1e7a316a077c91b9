#include "tests/drivers/TestHost.h"

#include <time.h>

#include <gtest/gtest.h>

#include <cstring>

namespace testhost {

Host* Host::current = nullptr;

int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string ErrorOf(IASIO* driver) {
    char text[kAsioTextBytes];
    std::memset(text, 'x', sizeof text);
    driver->getErrorMessage(text);
    EXPECT_LT(strnlen(text, sizeof text), static_cast<size_t>(kAsioErrorMessageBytes));
    return std::string(text, strnlen(text, sizeof text));
}

namespace {

void OnBufferSwitch(int32_t index, ASIOBool /*directProcess*/) {
    Host* host = Host::current;
    const int64_t n = host->periods.load(std::memory_order_relaxed);
    if (index != n % 2) {
        host->wrongHalves.fetch_add(1);
    }
    for (int32_t c = 0; c < host->channels; ++c) {
        void* half = host->infos[c].buffers[index & 1];
        for (int32_t f = 0; f < host->frames; ++f) {
            if (host->type == ASIOSTInt16LSB) {
                static_cast<int16_t*>(half)[f] = Pattern16(c, n, f);
            } else {
                static_cast<int32_t*>(half)[f] = Pattern32(c, n, f);
            }
        }
    }
    host->periods.store(n + 1, std::memory_order_release);
}

int32_t OnAsioMessage(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest && Host::current) Host::current->resetRequests.fetch_add(1);
    return 0;
}

}  // namespace

Host::Host() {
    callbacks.bufferSwitch = OnBufferSwitch;
    callbacks.sampleRateDidChange = [](ASIOSampleRate) {};
    callbacks.asioMessage = OnAsioMessage;
    current = this;
}

Host::~Host() {
    current = nullptr;
}

ASIOError Host::CreateBuffers(IASIO* driver, int32_t channelCount, int32_t bufferFrames,
                              ASIOSampleType sampleType) {
    type = sampleType;
    frames = bufferFrames;
    channels = channelCount < kMaxChannels ? channelCount : kMaxChannels;
    // A count beyond our records still reaches the driver, which must refuse it.
    for (int32_t c = 0; c < channelCount && c < kMaxChannels; ++c) {
        infos[c].isInput = ASIOFalse;
        infos[c].channelNum = c;
        infos[c].buffers[0] = infos[c].buffers[1] = nullptr;
    }
    return driver->createBuffers(infos, channelCount, bufferFrames, &callbacks);
}

}  // namespace testhost
