#include "drivers/VirtualCard.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "diag/DebugLog.h"
#include "drivers/DriverAnswers.h"

namespace drivers {

namespace {

constexpr uint64_t kNsPerSecond = 1000000000ull;
// Further behind than this (a stopped debugger, a suspended machine) the
// clock starts a new schedule instead of firing a burst of switches.
constexpr uint64_t kMaxLateNs = 200000000ull;

uint64_t NowNs() noexcept {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

// Nanoseconds taken by `frames` frames, exactly to the nanosecond and without
// overflow for any realistic run: the schedule is derived from the frame
// count each time, so rounding never accumulates into drift.
uint64_t FramesToNs(uint64_t frames, uint32_t rate) noexcept {
    return frames / rate * kNsPerSecond + frames % rate * kNsPerSecond / rate;
}

}  // namespace

VirtualCard::VirtualCard(const VirtualCardSettings& settings)
    : bFixedSettings_(true), settings_(settings) {}

VirtualCard::~VirtualCard() {
    stop();
    if (bBuffersCreated_) {
        disposeBuffers();
    }
    recording_.Close();
}

void VirtualCard::Release() {
    delete this;
}

ASIOBool VirtualCard::init(void* /*sysHandle*/) {
    if (bInitialised_) {
        return ASIOTrue;
    }
    error_.Clear();
    std::string error;
    if (!bFixedSettings_ && !VirtualCardSettingsFromEnvironment(&settings_, &error)) {
        error_.Set(error.c_str());
        return ASIOFalse;
    }
    // Range checks also cover settings handed in directly.
    VirtualCardSettings checked;
    const std::string rate = std::to_string(settings_.dwSampleRate);
    const std::string frames = std::to_string(settings_.dwBufferFrames);
    const char* format = settings_.sampleType == ASIOSTInt16LSB   ? "int16"
                         : settings_.sampleType == ASIOSTInt32LSB ? "int32"
                                                                  : "?";
    if (!ParseVirtualCardSettings(rate.c_str(), frames.c_str(), format,
                                  settings_.recordPath.c_str(), &checked, &error)) {
        error_.Set(error.c_str());
        return ASIOFalse;
    }
    // An unwritable recording path is found now, not after the music started.
    if (!settings_.recordPath.empty() && !recording_.Create(settings_.recordPath, &error)) {
        error_.Set(error.c_str());
        return ASIOFalse;
    }
    bInitialised_ = true;
    return ASIOTrue;
}

void VirtualCard::getDriverName(char* name) {
    CopyText(name, kAsioDriverNameBytes, "Virtual Card");
}

int32_t VirtualCard::getDriverVersion() {
    return 1;
}

void VirtualCard::getErrorMessage(char* string) {
    error_.CopyTo(string);
}

ASIOError VirtualCard::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    if (!bInitialised_) {
        return ASE_NotPresent;
    }
    Answer(numInputChannels, 0);
    Answer(numOutputChannels, kChannels);
    return ASE_OK;
}

ASIOError VirtualCard::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    if (!bInitialised_) {
        return ASE_NotPresent;
    }
    // The half being played is the whole output delay of a double buffer.
    Answer(inputLatency, 0);
    Answer(outputLatency, static_cast<int32_t>(settings_.dwBufferFrames));
    return ASE_OK;
}

ASIOError VirtualCard::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                     int32_t* granularity) {
    if (!bInitialised_) {
        return ASE_NotPresent;
    }
    // One size only: the one the settings chose.
    AnswerBufferSize(minSize, maxSize, preferredSize, granularity, settings_.dwBufferFrames);
    return ASE_OK;
}

ASIOError VirtualCard::canSampleRate(ASIOSampleRate sampleRate) {
    if (!bInitialised_) {
        return ASE_NotPresent;
    }
    if (IsWholeRate(sampleRate, VirtualCardSettings::kMinRate, VirtualCardSettings::kMaxRate)) {
        return ASE_OK;
    }
    return ASE_NoClock;
}

ASIOError VirtualCard::getSampleRate(ASIOSampleRate* sampleRate) {
    if (!bInitialised_) {
        return ASE_NotPresent;
    }
    return AnswerSampleRate(sampleRate, settings_.dwSampleRate);
}

ASIOError VirtualCard::setSampleRate(ASIOSampleRate sampleRate) {
    ASIOError result = canSampleRate(sampleRate);
    if (result != ASE_OK) {
        return result;
    }
    if (sampleRate == settings_.dwSampleRate) {
        return ASE_OK;
    }
    // The recording's header and the clock's schedule hold the rate from
    // createBuffers on.
    if (bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    settings_.dwSampleRate = static_cast<uint32_t>(sampleRate);
    return ASE_OK;
}

ASIOError VirtualCard::getChannelInfo(ASIOChannelInfo* info) {
    if (!bInitialised_) {
        return ASE_NotPresent;
    }
    if (!AsksAboutOutput(info, kChannels)) {
        return ASE_InvalidParameter;
    }
    AnswerOutputInfo(info, bChannelActive_[info->channel], settings_.sampleType);
    return ASE_OK;
}

ASIOError VirtualCard::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                     int32_t bufferSize, ASIOCallbacks* callbacks) {
    if (!bInitialised_) {
        return ASE_NotPresent;
    }
    if (bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    if (const ASIOError refused = CheckBufferRequest(
            bufferInfos, numChannels, bufferSize, callbacks, kChannels, settings_.dwBufferFrames);
        refused != ASE_OK) {
        return refused;
    }

    const size_t halfBytes = static_cast<size_t>(bufferSize) * BytesPerSample();
    pBuffers_.reset(new (std::nothrow) uint8_t[halfBytes * 2 * static_cast<size_t>(numChannels)]());
    if (!pBuffers_) {
        return ASE_NoMemory;
    }
    std::memset(channelHalves_, 0, sizeof channelHalves_);
    for (int32_t k = 0; k < numChannels; ++k) {
        const int32_t c = bufferInfos[k].channelNum;
        for (int h = 0; h < 2; ++h) {
            uint8_t* half = pBuffers_.get() + (static_cast<size_t>(k) * 2 + h) * halfBytes;
            bufferInfos[k].buffers[h] = half;
            channelHalves_[h][c] = half;
        }
        bChannelActive_[c] = true;
    }
    callbacks_ = *callbacks;

    if (recording_.IsOpen()) {
        std::string error;
        if (!recording_.Begin(kChannels, settings_.dwSampleRate, BytesPerSample(),
                              settings_.dwBufferFrames, &error)) {
            error_.Set(error.c_str());
            MixerDebugLog().WriteLine(("VirtualCard: " + error).c_str());
            // Play on without a recording rather than refuse to play.
            recording_.Close();
        } else {
            bRecordingBegun_ = true;
        }
    }
    bBuffersCreated_ = true;
    return ASE_OK;
}

ASIOError VirtualCard::disposeBuffers() {
    if (!bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    stop();
    if (bRecordingBegun_) {
        recording_.Close();
        bRecordingBegun_ = false;
    }
    bBuffersCreated_ = false;
    std::memset(bChannelActive_, 0, sizeof bChannelActive_);
    std::memset(channelHalves_, 0, sizeof channelHalves_);
    pBuffers_.reset();
    return ASE_OK;
}

ASIOError VirtualCard::outputReady() {
    // The card takes a half when bufferSwitch returns; no extra signal needed.
    return ASE_NotPresent;
}

ASIOError VirtualCard::start() {
    if (!bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    if (clock_.joinable()) {
        return ASE_OK;
    }
    switches_.store(0, std::memory_order_relaxed);
    resyncs_.store(0, std::memory_order_relaxed);
    bRunning_.store(true, std::memory_order_release);
    try {
        clock_ = std::thread(&VirtualCard::RunClock, this);
    } catch (const std::system_error&) {
        bRunning_.store(false);
        error_.Set("Cannot start the virtual card's clock thread");
        return ASE_HWMalfunction;
    }
    // Real-time priority when the system grants it; the clock keeps its
    // schedule either way, only with more jitter.
    sched_param param = {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (pthread_setschedparam(clock_.native_handle(), SCHED_FIFO, &param) != 0) {
        MixerDebugLog().WriteLine("VirtualCard: clock thread runs without real-time priority");
    }
    return ASE_OK;
}

ASIOError VirtualCard::stop() {
    if (!clock_.joinable()) {
        return ASE_OK;
    }
    // The clock sees the flag at its next deadline, at most one period away.
    bRunning_.store(false, std::memory_order_release);
    clock_.join();
    const uint32_t resyncs = resyncs_.load(std::memory_order_relaxed);
    if (resyncs != 0) {
        MixerDebugLog().WriteValue(
            "VirtualCard: clock fell behind and restarted its schedule, times", resyncs);
    }
    // Everything played so far is on disk, with the right sizes in the header.
    if (bRecordingBegun_) {
        recording_.Flush();
    }
    return ASE_OK;
}

void VirtualCard::RunClock() noexcept {
    // Runs on the driver's thread: no allocation, no logging.
    const uint32_t rate = settings_.dwSampleRate;
    const uint64_t frames = settings_.dwBufferFrames;
    uint64_t origin = NowNs();
    uint64_t period = 0;
    int32_t half = 0;
    while (bRunning_.load(std::memory_order_acquire)) {
        callbacks_.bufferSwitch(half, ASIOFalse);
        if (bRecordingBegun_) {
            recording_.Push(channelHalves_[half]);
        }
        switches_.fetch_add(1, std::memory_order_relaxed);
        half ^= 1;
        ++period;

        // Absolute deadlines from one origin: a late wake-up shortens the
        // next wait instead of shifting every later switch.
        uint64_t deadline = origin + FramesToNs(period * frames, rate);
        const uint64_t now = NowNs();
        if (now > deadline + kMaxLateNs) {
            resyncs_.fetch_add(1, std::memory_order_relaxed);
            origin = now;
            period = 0;
            deadline = now;
        }
        timespec wake;
        wake.tv_sec = static_cast<time_t>(deadline / kNsPerSecond);
        wake.tv_nsec = static_cast<decltype(wake.tv_nsec)>(deadline % kNsPerSecond);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
        }
    }
}

}  // namespace drivers
