#include "tests/support/FakeDriver.h"

#include <algorithm>
#include <cstring>

FakeDriver::FakeDriver(int32_t outputs, ASIOSampleType type) {
    for (int32_t i = 0; i < outputs; ++i)
        channels.push_back({"Out " + std::to_string(i + 1), 0, type});
}

FakeDriver::~FakeDriver() = default;

ASIOBool FakeDriver::init(void* sysHandle) {
    ++initCalls;
    lastSysHandle = sysHandle;
    return initResult ? ASIOTrue : ASIOFalse;
}

void FakeDriver::getDriverName(char* name) {
    std::strncpy(name, "Fake Driver", kAsioDriverNameBytes - 1);
}

void FakeDriver::getErrorMessage(char* string) {
    std::strncpy(string, errorText.c_str(), kAsioErrorMessageBytes - 1);
    string[kAsioErrorMessageBytes - 1] = '\0';
}

ASIOError FakeDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    *numInputChannels = 2;
    *numOutputChannels = static_cast<int32_t>(channels.size());
    return ASE_OK;
}

ASIOError FakeDriver::getLatencies(int32_t* in, int32_t* out) {
    *in = 100;
    *out = 200;
    return ASE_OK;
}

ASIOError FakeDriver::getBufferSize(int32_t* minS, int32_t* maxS, int32_t* preferred,
                                    int32_t* gran) {
    *minS = minSize;
    *maxS = maxSize;
    *preferred = preferredSize;
    *gran = granularity;
    return ASE_OK;
}

ASIOError FakeDriver::getSampleRate(ASIOSampleRate* sampleRate) {
    if (getSampleRateResult != ASE_OK) return getSampleRateResult;
    *sampleRate = rate;
    return ASE_OK;
}

ASIOError FakeDriver::setSampleRate(ASIOSampleRate sampleRate) {
    if (setSampleRateResult != ASE_OK) return setSampleRateResult;
    rate = sampleRate;
    return ASE_OK;
}

ASIOError FakeDriver::getChannelInfo(ASIOChannelInfo* info) {
    ++getChannelInfoCalls;
    const int32_t ch = info->channel;
    if (failingChannelInfo.count(ch) || info->isInput || ch < 0 ||
        ch >= static_cast<int32_t>(channels.size()))
        return ASE_InvalidParameter;
    const FakeChannel& c = channels[ch];
    info->isActive = c.active;
    info->channelGroup = c.group;
    info->type = c.type;
    if (c.unterminatedName) {
        std::memset(info->name, 'N', sizeof info->name);
        std::memcpy(info->name, c.name.data(), std::min(c.name.size(), sizeof info->name));
    } else {
        std::strncpy(info->name, c.name.c_str(), sizeof info->name - 1);
        info->name[sizeof info->name - 1] = '\0';
    }
    return ASE_OK;
}

// What a sample of each type takes, as a real card's buffers hold it.
size_t FakeDriver::BytesPerSample(ASIOSampleType type) {
    if (type == ASIOSTInt16LSB || type == ASIOSTInt16MSB) return 2;
    if (type == ASIOSTInt24LSB || type == ASIOSTInt24MSB) return 3;
    return type == ASIOSTFloat64LSB || type == ASIOSTFloat64MSB ? 8 : 4;
}

ASIOError FakeDriver::createBuffers(ASIOBufferInfo* infos, int32_t numChannels, int32_t bufferSize,
                                    ASIOCallbacks* callbacks) {
    ++createBuffersCalls;
    if (createBuffersResult != ASE_OK) return createBuffersResult;
    const auto count = static_cast<int32_t>(channels.size());
    for (int32_t i = 0; i < numChannels; ++i)
        if (infos[i].isInput || infos[i].channelNum < 0 || infos[i].channelNum >= count)
            return ASE_InvalidParameter;
    createdChannels_ = numChannels;
    createdSize_ = bufferSize;
    callbacks_ = callbacks;
    memory_.clear();
    halves_.assign(static_cast<size_t>(2 * count), nullptr);
    halfBytes_.assign(static_cast<size_t>(count), 0);
    for (int32_t i = 0; i < numChannels; ++i) {
        const int32_t ch = infos[i].channelNum;
        // Each half its own allocation of exactly its bytes, so that a write
        // past it is caught under AddressSanitizer.
        const size_t bytes = static_cast<size_t>(bufferSize) * BytesPerSample(channels[ch].type);
        halfBytes_[static_cast<size_t>(ch)] = bytes;
        for (int half = 0; half < 2; ++half) {
            void* p = nullptr;
            if (!(half == 1 && nullHalfChannels.count(ch))) {
                memory_.emplace_back(new uint8_t[bytes]);
                p = memory_.back().get();
            }
            infos[i].buffers[half] = p;
            halves_[static_cast<size_t>(2 * ch + half)] = p;
        }
    }
    Scribble(0x55);
    return ASE_OK;
}

ASIOError FakeDriver::disposeBuffers() {
    ++disposeCalls;
    callbacks_ = nullptr;
    memory_.clear();
    halves_.clear();
    halfBytes_.clear();
    createdChannels_ = 0;
    return ASE_OK;
}

void FakeDriver::Switch(int32_t index) {
    if (callbacks_ && callbacks_->bufferSwitch) callbacks_->bufferSwitch(index, ASIOTrue);
}

int32_t FakeDriver::Message(int32_t selector, int32_t value) {
    if (!callbacks_ || !callbacks_->asioMessage) return -1;
    return callbacks_->asioMessage(selector, value, nullptr, nullptr);
}

void* FakeDriver::Half(int32_t channel, int32_t half) const {
    const size_t i = static_cast<size_t>(2 * channel + half);
    if (channel < 0 || half < 0 || half > 1 || i >= halves_.size()) return nullptr;
    return halves_[i];
}

int32_t FakeDriver::Sample32(int32_t channel, int32_t half, int32_t frame) const {
    auto* p = static_cast<const int32_t*>(Half(channel, half));
    return p ? p[frame] : 0;
}

int16_t FakeDriver::Sample16(int32_t channel, int32_t half, int32_t frame) const {
    auto* p = static_cast<const int16_t*>(Half(channel, half));
    return p ? p[frame] : 0;
}

void FakeDriver::Scribble(uint8_t byte) {
    for (size_t i = 0; i < halves_.size(); ++i)
        if (halves_[i]) std::memset(halves_[i], byte, halfBytes_[i / 2]);
}
