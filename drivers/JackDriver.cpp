#include "drivers/JackDriver.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "diag/DebugLog.h"
#include "drivers/DriverAnswers.h"
#include "platform/Event.h"

namespace drivers {

namespace {

// A callback still inside the host's code after this long is worth a line in
// the log; it is waited for all the same.
constexpr uint32_t kCallbackLeaveMs = 2000;

}  // namespace

JackDriver::JackDriver() {
    const char* connect = std::getenv("CANTABILE_JACK_CONNECT");
    bConnect_ = connect == nullptr || std::strcmp(connect, "none") != 0;
}

JackDriver::~JackDriver() {
    stop();
    if (bBuffersCreated_) {
        disposeBuffers();
    }
    if (client_ != nullptr) {
        // Also after the server died: closing then only frees our side.
        jack_client_close(client_);
        client_ = nullptr;
    }
}

void JackDriver::Release() {
    delete this;
}

ASIOBool JackDriver::init(void* /*sysHandle*/) {
    if (client_ != nullptr) {
        return ASIOTrue;
    }
    error_.Clear();
    jack_status_t status = static_cast<jack_status_t>(0);
    // Never start a server behind the user's back: a server of the wrong
    // configuration would be worse than a clear failure.
    client_ = jack_client_open("Cantabile", JackNoStartServer, &status);
    if (client_ == nullptr) {
        if ((status & JackServerFailed) != 0 || (status & JackServerError) != 0) {
            error_.Set("No JACK server answers: start jackd (or PipeWire's JACK service) first");
        } else {
            error_.Set("JACK refused the client (status 0x%x)", static_cast<unsigned>(status));
        }
        return ASIOFalse;
    }
    jack_on_shutdown(client_, &JackDriver::OnShutdown, this);
    if (jack_set_process_callback(client_, &JackDriver::OnProcess, this) != 0) {
        error_.Set("JACK refused the process callback");
        jack_client_close(client_);
        client_ = nullptr;
        return ASIOFalse;
    }
    for (int32_t c = 0; c < kChannels; ++c) {
        char port[16];
        std::snprintf(port, sizeof port, "out_%d", static_cast<int>(c + 1));
        ports_[c] = jack_port_register(client_, port, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (ports_[c] == nullptr) {
            error_.Set("JACK refused the output port %s", port);
            jack_client_close(client_);
            client_ = nullptr;
            return ASIOFalse;
        }
        std::snprintf(channelNames_[c], sizeof channelNames_[c], "%s", port);
    }
    dwSampleRate_ = jack_get_sample_rate(client_);
    dwBufferFrames_ = jack_get_buffer_size(client_);

    // The channel names say where each output will sound: the physical port
    // it is going to be connected to (its short name when the full one does
    // not fit in 31 characters).
    if (bConnect_) {
        const char** playback = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsPhysical | JackPortIsInput);
        for (int32_t c = 0; playback != nullptr && c < kChannels && playback[c] != nullptr; ++c) {
            physical_[c] = playback[c];
            const char* shown = playback[c];
            const char* colon = std::strchr(shown, ':');
            if (std::strlen(shown) > 31 && colon != nullptr) {
                shown = colon + 1;
            }
            CopyText(channelNames_[c], sizeof channelNames_[c], shown);
        }
        jack_free(playback);
    }
    return ASIOTrue;
}

void JackDriver::getDriverName(char* name) {
    CopyText(name, kAsioDriverNameBytes, "JACK");
}

int32_t JackDriver::getDriverVersion() {
    return 1;
}

void JackDriver::getErrorMessage(char* string) {
    // Once the server is gone that is the reason for whatever fails next.
    if (bServerGone_.load()) {
        CopyText(string, kAsioErrorMessageBytes, "the JACK server went away");
    } else {
        error_.CopyTo(string);
    }
}

ASIOError JackDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    if (client_ == nullptr) {
        return ASE_NotPresent;
    }
    Answer(numInputChannels, 0);
    Answer(numOutputChannels, kChannels);
    return ASE_OK;
}

ASIOError JackDriver::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    if (client_ == nullptr) {
        return ASE_NotPresent;
    }
    Answer(inputLatency, 0);
    // Half i is emitted in the period it is filled: one period of our own.
    Answer(outputLatency, static_cast<int32_t>(dwBufferFrames_));
    return ASE_OK;
}

ASIOError JackDriver::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                    int32_t* granularity) {
    if (client_ == nullptr) {
        return ASE_NotPresent;
    }
    // The server's period is the only size: a half is one period.
    AnswerBufferSize(minSize, maxSize, preferredSize, granularity, dwBufferFrames_);
    return ASE_OK;
}

ASIOError JackDriver::canSampleRate(ASIOSampleRate sampleRate) {
    if (client_ == nullptr) {
        return ASE_NotPresent;
    }
    // The server owns the rate.
    return sampleRate == dwSampleRate_ ? ASE_OK : ASE_NoClock;
}

ASIOError JackDriver::getSampleRate(ASIOSampleRate* sampleRate) {
    if (client_ == nullptr) {
        return ASE_NotPresent;
    }
    return AnswerSampleRate(sampleRate, dwSampleRate_);
}

ASIOError JackDriver::setSampleRate(ASIOSampleRate sampleRate) {
    return canSampleRate(sampleRate);
}

ASIOError JackDriver::getChannelInfo(ASIOChannelInfo* info) {
    if (client_ == nullptr) {
        return ASE_NotPresent;
    }
    if (!AsksAboutOutput(info, kChannels)) {
        return ASE_InvalidParameter;
    }
    const int32_t c = info->channel;
    AnswerOutputInfo(info, bChannelActive_[c], ASIOSTInt32LSB, channelNames_[c]);
    return ASE_OK;
}

ASIOError JackDriver::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                    int32_t bufferSize, ASIOCallbacks* callbacks) {
    if (client_ == nullptr) {
        return ASE_NotPresent;
    }
    if (bServerGone_.load()) {
        error_.Set("The JACK server has gone away");
        return ASE_HWMalfunction;
    }
    if (bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    if (const ASIOError refused = CheckBufferRequest(bufferInfos, numChannels, bufferSize,
                                                     callbacks, kChannels, dwBufferFrames_);
        refused != ASE_OK) {
        return refused;
    }
    const size_t half = dwBufferFrames_;
    pBuffers_.reset(new (std::nothrow) int32_t[half * 2 * static_cast<size_t>(numChannels)]());
    if (!pBuffers_) {
        return ASE_NoMemory;
    }
    for (int32_t k = 0; k < numChannels; ++k) {
        const int32_t c = bufferInfos[k].channelNum;
        for (int h = 0; h < 2; ++h) {
            int32_t* p = pBuffers_.get() + (static_cast<size_t>(k) * 2 + h) * half;
            bufferInfos[k].buffers[h] = p;
            channelHalves_[h][c] = p;
        }
        bChannelActive_[c] = true;
    }
    callbacks_ = *callbacks;
    pAsioMessage_.store(callbacks->asioMessage);
    bBuffersCreated_ = true;

    // The process callback runs from activation on; until start it plays silence.
    if (jack_activate(client_) != 0) {
        error_.Set("JACK refused to activate the client");
        disposeBuffers();
        return ASE_HWMalfunction;
    }
    bActivated_ = true;
    ConnectPorts();
    return ASE_OK;
}

void JackDriver::ConnectPorts() {
    for (int32_t c = 0; c < kChannels; ++c) {
        if (physical_[c].empty()) {
            continue;
        }
        const int result = jack_connect(client_, jack_port_name(ports_[c]), physical_[c].c_str());
        if (result != 0 && result != EEXIST) {
            std::string line = "JackDriver: cannot connect " +
                               std::string(jack_port_name(ports_[c])) + " to " + physical_[c];
            MixerDebugLog().WriteLine(line.c_str());
        }
    }
}

ASIOError JackDriver::disposeBuffers() {
    if (!bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    stop();
    if (bActivated_) {
        // After a shutdown the client must make no more server calls; the
        // callback has stopped anyway.
        if (!bServerGone_.load()) {
            jack_deactivate(client_);
        }
        bActivated_ = false;
    }
    // Once deactivated no callback reads the halves; after a shutdown wait
    // for a callback that may still be on its way out.
    WaitForCallbackToLeave();
    bBuffersCreated_ = false;
    pAsioMessage_.store(nullptr);
    std::memset(bChannelActive_, 0, sizeof bChannelActive_);
    std::memset(channelHalves_, 0, sizeof channelHalves_);
    pBuffers_.reset();
    return ASE_OK;
}

ASIOError JackDriver::outputReady() {
    return ASE_NotPresent;
}

ASIOError JackDriver::start() {
    if (!bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    if (bServerGone_.load()) {
        error_.Set("The JACK server has gone away");
        return ASE_HWMalfunction;
    }
    if (!bRunning_.load()) {
        nextHalf_ = 0;
        bRunning_.store(true);
    }
    return ASE_OK;
}

ASIOError JackDriver::stop() {
    bRunning_.store(false);
    WaitForCallbackToLeave();
    return ASE_OK;
}

void JackDriver::WaitForCallbackToLeave() {
    // Pairs with Process: either the callback sees bRunning_ false, or this
    // sees it inside and waits until it is out (both sides sequentially
    // consistent). The callback runs only our own code, which always returns,
    // also after the server died; returning before it has would let the host
    // free what it is still using.
    const uint32_t begin = platform::TimeGetTime();
    bool logged = false;
    while (bInCallback_.load()) {
        if (!logged && platform::TimeGetTime() - begin > kCallbackLeaveMs) {
            MixerDebugLog().WriteLine("JackDriver: the process callback is slow to return");
            logged = true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

int JackDriver::OnProcess(jack_nframes_t frames, void* arg) noexcept {
    // Runs on the driver's thread: no allocation, no logging.
    static_cast<JackDriver*>(arg)->Process(frames);
    return 0;
}

void JackDriver::Process(jack_nframes_t frames) noexcept {
    // Runs on the driver's thread: no allocation, no logging.
    bInCallback_.store(true);
    // A server that changed its period since createBuffers gets silence:
    // the halves hold a different number of frames.
    const bool run = bRunning_.load() && frames == dwBufferFrames_;
    int32_t half = 0;
    if (run) {
        half = nextHalf_;
        callbacks_.bufferSwitch(half, ASIOTrue);
    }
    for (int32_t c = 0; c < kChannels; ++c) {
        auto* out = static_cast<float*>(jack_port_get_buffer(ports_[c], frames));
        if (out == nullptr) {
            continue;
        }
        const int32_t* in = run ? channelHalves_[half][c] : nullptr;
        if (in == nullptr) {
            std::memset(out, 0, sizeof(float) * frames);
            continue;
        }
        for (jack_nframes_t f = 0; f < frames; ++f) {
            out[f] = static_cast<float>(in[f]) / 2147483648.0f;
        }
    }
    if (run) {
        nextHalf_ = half ^ 1;
    }
    bInCallback_.store(false);
}

void JackDriver::OnShutdown(void* arg) noexcept {
    // Runs on a JACK thread: the server is gone, no JACK call may follow.
    // No allocation, no logging: the host learns of the loss through its
    // reset request and asks for the reason on its own thread.
    auto* self = static_cast<JackDriver*>(arg);
    self->bServerGone_.store(true);
    self->bRunning_.store(false);
    if (const auto message = self->pAsioMessage_.load()) {
        message(kAsioResetRequest, 0, nullptr, nullptr);
    }
}

}  // namespace drivers
