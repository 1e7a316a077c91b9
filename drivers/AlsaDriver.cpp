#include "drivers/AlsaDriver.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "diag/DebugLog.h"
#include "drivers/DriverAnswers.h"

namespace drivers {

namespace {

// How long the period thread waits for room before it looks at the stop
// flag again: a stalled device must not make stop hang.
constexpr int kWaitMs = 100;

// Keeps a hardware-parameter record for the length of a scope.
struct HwParams {
    snd_pcm_hw_params_t* p = nullptr;
    HwParams() { snd_pcm_hw_params_malloc(&p); }
    ~HwParams() { snd_pcm_hw_params_free(p); }
};

}  // namespace

std::vector<AlsaDevice> ListAlsaPlaybackDevices() {
    std::vector<AlsaDevice> devices;
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        char ctlName[32];
        std::snprintf(ctlName, sizeof ctlName, "hw:%d", card);
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, ctlName, 0) != 0) {
            continue;
        }
        snd_ctl_card_info_t* cardInfo = nullptr;
        snd_pcm_info_t* pcmInfo = nullptr;
        snd_ctl_card_info_malloc(&cardInfo);
        snd_pcm_info_malloc(&pcmInfo);
        const bool named = snd_ctl_card_info(ctl, cardInfo) == 0;
        const char* cardName = named ? snd_ctl_card_info_get_name(cardInfo) : "";
        // The card's id ("PCH", "USB") stays with the card when plugging
        // another one in renumbers them; the number is the fallback.
        const std::string cardId = named ? snd_ctl_card_info_get_id(cardInfo) : "";
        int device = -1;
        while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
            snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
            snd_pcm_info_set_subdevice(pcmInfo, 0);
            snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_PLAYBACK);
            if (snd_ctl_pcm_info(ctl, pcmInfo) != 0) {
                continue;  // no playback on this device
            }
            AlsaDevice found;
            found.card = card;
            found.device = device;
            found.pcmName = cardId.empty()
                                ? "hw:" + std::to_string(card) + "," + std::to_string(device)
                                : "hw:CARD=" + cardId + ",DEV=" + std::to_string(device);
            found.description = std::string(cardName) + ": " + snd_pcm_info_get_name(pcmInfo);
            devices.push_back(found);
        }
        snd_pcm_info_free(pcmInfo);
        snd_ctl_card_info_free(cardInfo);
        snd_ctl_close(ctl);
    }
    return devices;
}

AlsaDriver::AlsaDriver(std::string pcmName) : pcmName_(std::move(pcmName)) {}

AlsaDriver::~AlsaDriver() {
    stop();
    if (bBuffersCreated_) {
        disposeBuffers();
    }
    if (pcm_ != nullptr) {
        snd_pcm_close(pcm_);
    }
}

void AlsaDriver::Release() {
    delete this;
}

ASIOBool AlsaDriver::init(void* /*sysHandle*/) {
    if (pcm_ != nullptr) {
        return ASIOTrue;
    }
    error_.Clear();
    // Opened without blocking, so that a device in use fails at once with
    // EBUSY instead of waiting until its owner lets go.
    int err = snd_pcm_open(&pcm_, pcmName_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) {
        pcm_ = nullptr;
        if (err == -EBUSY) {
            error_.Set("ALSA device %s is busy: another program is using it", pcmName_.c_str());
        } else {
            error_.Set("Cannot open ALSA device %s: %s", pcmName_.c_str(), snd_strerror(err));
        }
        return ASIOFalse;
    }
    if (!Configure(kDefaultRate)) {
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
        return ASIOFalse;
    }
    return ASIOTrue;
}

bool AlsaDriver::Configure(uint32_t rate) {
    HwParams hw;
    if (hw.p == nullptr || snd_pcm_hw_params_any(pcm_, hw.p) < 0) {
        error_.Set("ALSA device %s offers no playback configuration", pcmName_.c_str());
        return false;
    }
    if (snd_pcm_hw_params_set_access(pcm_, hw.p, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
        error_.Set("ALSA device %s does not take interleaved samples", pcmName_.c_str());
        return false;
    }
    if (snd_pcm_hw_params_set_format(pcm_, hw.p, SND_PCM_FORMAT_S32_LE) == 0) {
        sampleType_ = ASIOSTInt32LSB;
    } else if (snd_pcm_hw_params_set_format(pcm_, hw.p, SND_PCM_FORMAT_S16_LE) == 0) {
        sampleType_ = ASIOSTInt16LSB;
    } else {
        error_.Set("ALSA device %s takes neither S32_LE nor S16_LE samples", pcmName_.c_str());
        return false;
    }
    unsigned channels = 0;
    snd_pcm_hw_params_get_channels_max(hw.p, &channels);
    if (channels > kMaxChannels) {
        channels = kMaxChannels;
    }
    if (snd_pcm_hw_params_set_channels_near(pcm_, hw.p, &channels) < 0 || channels == 0 ||
        channels > kMaxChannels) {
        error_.Set("ALSA device %s offers no channel count from 1 to 24", pcmName_.c_str());
        return false;
    }
    unsigned actualRate = rate;
    if (snd_pcm_hw_params_set_rate_near(pcm_, hw.p, &actualRate, nullptr) < 0) {
        error_.Set("ALSA device %s refuses the rate %u Hz", pcmName_.c_str(), rate);
        return false;
    }
    snd_pcm_uframes_t period = kPreferredFrames;
    snd_pcm_hw_params_set_period_size_near(pcm_, hw.p, &period, nullptr);
    // Three periods in the device: one playing, one queued, one being written.
    unsigned periods = 3;
    snd_pcm_hw_params_set_periods_near(pcm_, hw.p, &periods, nullptr);
    const int err = snd_pcm_hw_params(pcm_, hw.p);
    if (err < 0) {
        error_.Set("ALSA device %s refused its configuration: %s", pcmName_.c_str(),
                   snd_strerror(err));
        return false;
    }
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_hw_params_get_period_size(hw.p, &period, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw.p, &bufferFrames);
    snd_pcm_hw_params_get_rate(hw.p, &actualRate, nullptr);

    // Start playing once the device buffer is full; wake when a period is free.
    snd_pcm_sw_params_t* sw = nullptr;
    if (snd_pcm_sw_params_malloc(&sw) == 0) {
        snd_pcm_sw_params_current(pcm_, sw);
        snd_pcm_sw_params_set_start_threshold(pcm_, sw, bufferFrames);
        snd_pcm_sw_params_set_avail_min(pcm_, sw, period);
        snd_pcm_sw_params(pcm_, sw);
        snd_pcm_sw_params_free(sw);
    }
    nChannels_ = static_cast<int32_t>(channels);
    dwSampleRate_ = actualRate;
    dwBufferFrames_ = static_cast<uint32_t>(period);
    dwDeviceBufferFrames_ = static_cast<uint32_t>(bufferFrames);
    return true;
}

void AlsaDriver::getDriverName(char* name) {
    CopyText(name, kAsioDriverNameBytes, "ALSA");
}

int32_t AlsaDriver::getDriverVersion() {
    return 1;
}

void AlsaDriver::getErrorMessage(char* string) {
    // A device lost while playing: the period thread kept only the code.
    if (const int err = failure_.load(); err != 0) {
        error_.Set("the ALSA device %s failed: %s", pcmName_.c_str(), snd_strerror(err));
    }
    error_.CopyTo(string);
}

ASIOError AlsaDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    if (pcm_ == nullptr) {
        return ASE_NotPresent;
    }
    Answer(numInputChannels, 0);
    Answer(numOutputChannels, nChannels_);
    return ASE_OK;
}

ASIOError AlsaDriver::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    if (pcm_ == nullptr) {
        return ASE_NotPresent;
    }
    Answer(inputLatency, 0);
    // A half is written into the device's buffer, which is played in full.
    Answer(outputLatency, static_cast<int32_t>(dwDeviceBufferFrames_));
    return ASE_OK;
}

ASIOError AlsaDriver::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                    int32_t* granularity) {
    if (pcm_ == nullptr) {
        return ASE_NotPresent;
    }
    // The device's period is the only size.
    AnswerBufferSize(minSize, maxSize, preferredSize, granularity, dwBufferFrames_);
    return ASE_OK;
}

ASIOError AlsaDriver::canSampleRate(ASIOSampleRate sampleRate) {
    if (pcm_ == nullptr) {
        return ASE_NotPresent;
    }
    if (sampleRate == dwSampleRate_) {
        return ASE_OK;
    }
    if (!IsWholeRate(sampleRate, 1, 1e6)) {
        return ASE_NoClock;
    }
    HwParams hw;
    if (hw.p == nullptr || snd_pcm_hw_params_any(pcm_, hw.p) < 0) {
        return ASE_NoClock;
    }
    return snd_pcm_hw_params_test_rate(pcm_, hw.p, static_cast<unsigned>(sampleRate), 0) == 0
               ? ASE_OK
               : ASE_NoClock;
}

ASIOError AlsaDriver::getSampleRate(ASIOSampleRate* sampleRate) {
    if (pcm_ == nullptr) {
        return ASE_NotPresent;
    }
    return AnswerSampleRate(sampleRate, dwSampleRate_);
}

ASIOError AlsaDriver::setSampleRate(ASIOSampleRate sampleRate) {
    const ASIOError result = canSampleRate(sampleRate);
    if (result != ASE_OK || sampleRate == dwSampleRate_) {
        return result;
    }
    // The halves are sized for the period the device chose at this rate.
    if (bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    snd_pcm_hw_free(pcm_);
    if (!Configure(static_cast<uint32_t>(sampleRate))) {
        // Leave the device as usable as it was.
        if (!Configure(dwSampleRate_)) {
            return ASE_HWMalfunction;
        }
        return ASE_NoClock;
    }
    return ASE_OK;
}

ASIOError AlsaDriver::getChannelInfo(ASIOChannelInfo* info) {
    if (pcm_ == nullptr) {
        return ASE_NotPresent;
    }
    if (!AsksAboutOutput(info, nChannels_)) {
        return ASE_InvalidParameter;
    }
    AnswerOutputInfo(info, bChannelActive_[info->channel], sampleType_);
    return ASE_OK;
}

ASIOError AlsaDriver::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                    int32_t bufferSize, ASIOCallbacks* callbacks) {
    if (pcm_ == nullptr) {
        return ASE_NotPresent;
    }
    if (bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    if (const ASIOError refused = CheckBufferRequest(bufferInfos, numChannels, bufferSize,
                                                     callbacks, nChannels_, dwBufferFrames_);
        refused != ASE_OK) {
        return refused;
    }
    const size_t halfBytes = dwBufferFrames_ * SampleBytes();
    pBuffers_.reset(new (std::nothrow) uint8_t[halfBytes * 2 * static_cast<size_t>(numChannels)]());
    pInterleaved_.reset(new (std::nothrow) uint8_t[halfBytes * static_cast<size_t>(nChannels_)]());
    if (!pBuffers_ || !pInterleaved_) {
        pBuffers_.reset();
        pInterleaved_.reset();
        return ASE_NoMemory;
    }
    for (int32_t k = 0; k < numChannels; ++k) {
        const int32_t c = bufferInfos[k].channelNum;
        for (int h = 0; h < 2; ++h) {
            uint8_t* p = pBuffers_.get() + (static_cast<size_t>(k) * 2 + h) * halfBytes;
            bufferInfos[k].buffers[h] = p;
            channelHalves_[h][c] = p;
        }
        bChannelActive_[c] = true;
    }
    callbacks_ = *callbacks;
    bBuffersCreated_ = true;
    return ASE_OK;
}

ASIOError AlsaDriver::disposeBuffers() {
    if (!bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    stop();
    bBuffersCreated_ = false;
    std::memset(bChannelActive_, 0, sizeof bChannelActive_);
    std::memset(channelHalves_, 0, sizeof channelHalves_);
    pBuffers_.reset();
    pInterleaved_.reset();
    return ASE_OK;
}

ASIOError AlsaDriver::outputReady() {
    return ASE_NotPresent;
}

ASIOError AlsaDriver::start() {
    if (!bBuffersCreated_) {
        return ASE_InvalidMode;
    }
    if (thread_.joinable()) {
        return ASE_OK;
    }
    const int err = snd_pcm_prepare(pcm_);
    if (err < 0) {
        error_.Set("ALSA device %s cannot start: %s", pcmName_.c_str(), snd_strerror(err));
        return ASE_HWMalfunction;
    }
    underruns_.store(0);
    failure_.store(0);
    bRunning_.store(true);
    try {
        thread_ = std::thread(&AlsaDriver::RunPeriods, this);
    } catch (const std::system_error&) {
        bRunning_.store(false);
        error_.Set("Cannot start the ALSA driver's thread");
        return ASE_HWMalfunction;
    }
    sched_param param = {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &param) != 0) {
        MixerDebugLog().WriteLine("AlsaDriver: period thread runs without real-time priority");
    }
    return ASE_OK;
}

ASIOError AlsaDriver::stop() {
    if (!thread_.joinable()) {
        return ASE_OK;
    }
    bRunning_.store(false);
    thread_.join();
    snd_pcm_drop(pcm_);
    if (underruns_.load() != 0) {
        MixerDebugLog().WriteValue("AlsaDriver: underruns recovered",
                                   static_cast<int32_t>(underruns_.load()));
    }
    if (failure_.load() != 0) {
        std::string line =
            "AlsaDriver: playback stopped: " + std::string(snd_strerror(failure_.load()));
        MixerDebugLog().WriteLine(line.c_str());
    }
    return ASE_OK;
}

void AlsaDriver::Interleave(int32_t half) noexcept {
    // Runs on the driver's thread: no allocation, no logging.
    const size_t sampleBytes = SampleBytes();
    const size_t frameBytes = sampleBytes * static_cast<size_t>(nChannels_);
    for (int32_t c = 0; c < nChannels_; ++c) {
        uint8_t* dst = pInterleaved_.get() + static_cast<size_t>(c) * sampleBytes;
        const uint8_t* src = channelHalves_[half][c];
        for (uint32_t f = 0; f < dwBufferFrames_; ++f, dst += frameBytes) {
            if (src == nullptr) {
                std::memset(dst, 0, sampleBytes);
            } else {
                std::memcpy(dst, src + f * sampleBytes, sampleBytes);
            }
        }
    }
}

void AlsaDriver::RunPeriods() noexcept {
    // Runs on the driver's thread: no allocation, no logging.
    const size_t frameBytes = SampleBytes() * static_cast<size_t>(nChannels_);
    int32_t half = 0;
    while (bRunning_.load()) {
        callbacks_.bufferSwitch(half, ASIOFalse);
        Interleave(half);
        half ^= 1;
        snd_pcm_uframes_t written = 0;
        while (written < dwBufferFrames_ && bRunning_.load()) {
            const snd_pcm_sframes_t n = snd_pcm_writei(
                pcm_, pInterleaved_.get() + written * frameBytes, dwBufferFrames_ - written);
            if (n >= 0) {
                written += static_cast<snd_pcm_uframes_t>(n);
            } else if (n == -EAGAIN) {
                snd_pcm_wait(pcm_, kWaitMs);
            } else {
                // An underrun (EPIPE) or a suspend (ESTRPIPE): recover and
                // write the rest of the period.
                const int err = snd_pcm_recover(pcm_, static_cast<int>(n), 1);
                if (err < 0) {
                    // Beyond recovery (unplugged, say): the host is asked for
                    // a reset and reopens the device on its own thread.
                    failure_.store(err);
                    bRunning_.store(false);
                    if (callbacks_.asioMessage != nullptr) {
                        callbacks_.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
                    }
                    return;
                }
                underruns_.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
}

}  // namespace drivers
