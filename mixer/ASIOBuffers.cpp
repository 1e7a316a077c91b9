#include "mixer/ASIOBuffers.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <cstring>
#include <string>

#include "diag/DebugLog.h"
#include "mixer/AudioBuffer.h"

std::atomic<ASIOBuffers*> ASIOBuffers::pLiveOutput{nullptr};
std::atomic<bool> ASIOBuffers::bDeviceLost{};

namespace {

// The largest buffer half we accept from a driver, in frames: far beyond any
// real card, and small enough that the byte counts stay in 32 bits.
constexpr int32_t kMaxBufferFrames = 1 << 20;

int32_t WholePart(double value) {
    if (!(value == value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(value);
}

std::string CommandLine() {
    std::string line;
    if (std::FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
        char chunk[256];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) line.append(chunk, got);
        std::fclose(f);
    }
    for (char& c : line)
        if (c == '\0') c = ' ';
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// A driver need not terminate a name that fills the whole field.
std::string ChannelName(const ASIOChannelInfo& info) {
    return std::string(info.name, strnlen(info.name, sizeof info.name));
}

}  // namespace

// Channels named like 'Analog 1' and 'Analog 2' are labelled 'Analog 1 / 2';
// any other two names are joined whole. After a single digit 9 the next
// number is written in full ('Out 9 / 10').
std::string ASIOBuffers::PairLabel(const std::string& left, const std::string& right) {
    const size_t n = left.size();
    if (n >= 2 && left[n - 1] >= '0' && left[n - 1] <= '9' && left[n - 2] == ' ') {
        const char digit = left[n - 1];
        return left + " / " +
               (digit == '9' ? std::string("10") : std::string(1, static_cast<char>(digit + 1)));
    }
    return left + " / " + right;
}

ASIOBuffers::ASIOBuffers(void* hWnd, const char* windowTitle, PairLabelSink* pairList, IASIO* drv)
    : driver(drv) {
    bDeviceLost.store(false, std::memory_order_release);
    if (!driver) return;
    // hBufferMutex is a std::mutex, whose construction cannot fail.
    DiscoverChannels(hWnd, windowTitle, pairList);
}

void ASIOBuffers::DiscoverChannels(void* hWnd, const char* windowTitle, PairLabelSink* pairList) {
    DebugLog& log = MixerDebugLog();
    const std::string title = std::string(windowTitle ? windowTitle : "").substr(0, 255);
    log.WriteLine(title.c_str());
    log.WriteLine(CommandLine().c_str());

    if (driver->init(hWnd) == ASIOFalse) {
        char text[kAsioTextBytes] = {};
        driver->getErrorMessage(text);
        text[kAsioTextBytes - 1] = '\0';
        log.WriteLine("ASIO init failed!");
        log.WriteLine(text);
        return;
    }

    char name[kAsioTextBytes] = {};
    driver->getDriverName(name);
    name[kAsioTextBytes - 1] = '\0';
    log.WriteLine(name);
    log.WriteValue("lnDrvrVer", driver->getDriverVersion());

    int32_t numInputs = 0, numOutputs = 0;
    driver->getChannels(&numInputs, &numOutputs);
    log.WriteTwoValues("numInputChannels", numInputs, "numOutputChannels", numOutputs);
    if (numOutputs > kMaxOutputChannels) numOutputs = kMaxOutputChannels;

    int32_t inputLatency = 0, outputLatency = 0;
    driver->getLatencies(&inputLatency, &outputLatency);
    log.WriteTwoValues("inputLatency", inputLatency, "outputLatency", outputLatency);

    int32_t minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &preferredSize, &granularity);
    bufferSize = preferredSize;
    log.WriteTwoValues("minSize", minSize, "maxSize", maxSize);
    log.WriteTwoValues("preferredSize", preferredSize, "granularity", granularity);

    driver->getSampleRate(&sampleRate);
    log.WriteValue("sampleRate", WholePart(sampleRate));

    log.WriteLine("Channels available...");
    int32_t counted = 0;
    int32_t firstGroup = 0;
    bool pending = false;
    std::string pendingName;
    for (int32_t ch = 0; ch < numOutputs; ++ch) {
        ASIOChannelInfo info{};
        info.channel = ch;
        info.isInput = ASIOFalse;
        driver->getChannelInfo(&info);
        if (ch == 0) {
            firstGroup = info.channelGroup;
            sampleType = info.type;
        } else if (info.channelGroup != firstGroup) {
            continue;
        }
        // The buffers are asked for by channel number: when groups interleave,
        // the k-th counted channel need not be channel k.
        bufferInfos[counted].channelNum = ch;
        ++counted;
        const std::string channelName = ChannelName(info);
        if (!pending) {
            pending = true;
            pendingName = channelName;
        } else {
            const std::string label = PairLabel(pendingName, channelName);
            if (pairList) pairList->AddLabel(label.c_str());
            ++numStereoPairs;
            pending = false;
        }
        log.WriteValueDash("Channel", ch);
        log.WriteValueDash("Group", info.channelGroup);
        log.Write(channelName.c_str());
        log.Write(", ");
        ShowSampleType(info.type);
    }

    if (counted == 0) {
        log.WriteLine("There don't seem to be any analog I/O channels!");
        return;
    }
    log.WriteValue("Num first group output channels", counted);
    log.Write("First group output ");
    ShowSampleType(sampleType);
    if (sampleType != ASIOSTInt16LSB && sampleType != ASIOSTInt32LSB) {
        log.WriteLine("Can't support sound card's internal format!");
        return;
    }

    bInitSuccess = true;
    log.WriteValue("Hardware stereo channels", numStereoPairs);

    if (driver->outputReady() == ASE_OK) {
        bOutputReady = true;
        log.WriteLine("bOutputReady = true");
    } else {
        bOutputReady = false;
        log.WriteLine("bOutputReady = false");
    }

    asioCallbacks.bufferSwitch =
        sampleType == ASIOSTInt16LSB ? OnBufferSwitch16Bits : OnBufferSwitch32Bits;
    asioCallbacks.sampleRateDidChange = OnSampleRateDidChange;
    asioCallbacks.asioMessage = OnAsioMessage;
    asioCallbacks.bufferSwitchTimeInfo = nullptr;
    pLiveOutput.store(this, std::memory_order_release);
}

bool ASIOBuffers::CreatePrimaryBuffers() {
    if (!driver || !bInitSuccess) return false;
    if (bufferSize <= 0 || bufferSize > kMaxBufferFrames) {
        MixerDebugLog().WriteValue("Error CreatePrimaryBuffers - unusable preferredSize",
                                   bufferSize);
        return false;
    }
    const int32_t n = 2 * numStereoPairs;
    for (int32_t k = 0; k < n; ++k) {
        // channelNum is the channel that discovery counted k-th.
        bufferInfos[k].isInput = ASIOFalse;
        bufferInfos[k].buffers[0] = nullptr;
        bufferInfos[k].buffers[1] = nullptr;
    }
    if (driver->createBuffers(bufferInfos, n, bufferSize, &asioCallbacks) != ASE_OK) return false;
    // From here the driver holds buffers for us, whatever the channels say
    // below: dispose them at destruction even when no channel is active.
    bBuffersCreated = true;

    for (int32_t p = 0; p < numStereoPairs; ++p) {
        const ASIOBufferInfo& l = bufferInfos[2 * p];
        const ASIOBufferInfo& r = bufferInfos[2 * p + 1];
        bPairHasBuffers[p] = l.buffers[0] && l.buffers[1] && r.buffers[0] && r.buffers[1];
        if (!bPairHasBuffers[p])
            MixerDebugLog().WriteValue("Error CreatePrimaryBuffers - no buffers for pair", p);
    }

    // A pair is written whole on every switch, each channel with samples of
    // the stage's type: it is usable only when both of its channels are
    // active and of that type (a narrower left channel would be overrun).
    bool anyActive = false;
    bool usable[kMaxOutputChannels] = {};
    for (int32_t k = 0; k < n; ++k) {
        ASIOChannelInfo& info = channelInfos[k];
        info = ASIOChannelInfo{};
        info.channel = bufferInfos[k].channelNum;
        info.isInput = bufferInfos[k].isInput;
        if (driver->getChannelInfo(&info) != ASE_OK || info.isActive != ASIOTrue) continue;
        anyActive = true;
        if (info.type != sampleType)
            info.isActive = ASIOFalse;
        else
            usable[k] = true;
    }
    if (!anyActive) return false;
    for (int32_t p = 0; p < numStereoPairs; ++p) {
        bStereoPairActive[p] = usable[2 * p] && usable[2 * p + 1] && bPairHasBuffers[p];
        if (bPairHasBuffers[p] && !bStereoPairActive[p])
            MixerDebugLog().WriteValue("Error CreatePrimaryBuffers - pair not usable", p);
    }

    b16Bits = sampleType == ASIOSTInt16LSB;
    bufferSizeBytes = static_cast<uint32_t>(bufferSize) * (b16Bits ? 2u : 4u);
    // The meters fall by 20 dB in 1.5 s: by 10^(-t / 1.5) over a switch of t
    // seconds. A rate the driver could not tell is taken as 48 kHz.
    const double rate = sampleRate >= 1000.0 && sampleRate <= 1e7 ? sampleRate : 48000.0;
    const double fall = std::pow(10.0, -(bufferSize / rate) / 1.5);
    peakFall = static_cast<uint64_t>(std::min(fall, 1.0 - 1e-9) * 4294967296.0);

    for (int32_t p = 0; p < numStereoPairs; ++p) {
        if (!bStereoPairActive[p]) continue;
        for (int32_t k = 2 * p; k <= 2 * p + 1; ++k) {
            std::memset(bufferInfos[k].buffers[0], 0, bufferSizeBytes);
            if (bufferInfos[k].buffers[1] != bufferInfos[k].buffers[0])
                std::memset(bufferInfos[k].buffers[1], 0, bufferSizeBytes);
        }
    }
    return true;
}

bool ASIOBuffers::IsPairActive(int32_t pair) const {
    return pair >= 0 && pair < kMaxStereoPairs && bStereoPairActive[pair];
}

void ASIOBuffers::ShowSampleType(int32_t type) {
    static const struct {
        int32_t value;
        const char* name;
    } kNames[] = {
        {ASIOSTInt16MSB, "ASIOSTInt16MSB"},     {ASIOSTInt24MSB, "ASIOSTInt24MSB"},
        {ASIOSTInt32MSB, "ASIOSTInt32MSB"},     {ASIOSTFloat32MSB, "ASIOSTFloat32MSB"},
        {ASIOSTFloat64MSB, "ASIOSTFloat64MSB"}, {ASIOSTInt32MSB16, "ASIOSTInt32MSB16"},
        {ASIOSTInt32MSB18, "ASIOSTInt32MSB18"}, {ASIOSTInt32MSB20, "ASIOSTInt32MSB20"},
        {ASIOSTInt32MSB24, "ASIOSTInt32MSB24"}, {ASIOSTInt16LSB, "ASIOSTInt16LSB"},
        {ASIOSTInt24LSB, "ASIOSTInt24LSB"},     {ASIOSTInt32LSB, "ASIOSTInt32LSB"},
        {ASIOSTFloat32LSB, "ASIOSTFloat32LSB"}, {ASIOSTFloat64LSB, "ASIOSTFloat64LSB"},
        {ASIOSTInt32LSB16, "ASIOSTInt32LSB16"}, {ASIOSTInt32LSB18, "ASIOSTInt32LSB18"},
        {ASIOSTInt32LSB20, "ASIOSTInt32LSB20"}, {ASIOSTInt32LSB24, "ASIOSTInt32LSB24"},
    };
    const char* name = "Unknown format";
    for (const auto& entry : kNames)
        if (entry.value == type) name = entry.name;
    MixerDebugLog().Write("ASIO sample type: ");
    MixerDebugLog().WriteLine(name);
}

bool ASIOBuffers::SetSampleRate(uint32_t hz) {
    if (!driver) return false;
    DebugLog& log = MixerDebugLog();
    const ASIOSampleRate rate = static_cast<double>(hz);
    const int32_t shown = static_cast<int32_t>(hz);
    const ASIOError can = driver->canSampleRate(rate);
    if (can == ASE_NoClock) {
        log.WriteLine("Failed: SetSampleRate");
        log.WriteLine("Ensure you don't have 'Rate Locked' set in the sound card's control panel,");
        log.WriteValue("...or perhaps requested sample rate is not supported", shown);
        return false;
    }
    if (can == ASE_NotPresent) {
        log.WriteLine("Can't set requested sample rate: No external clock I/O");
        return false;
    }
    if (driver->setSampleRate(rate) != 0) {
        log.WriteValue("Couldn't set sound card to requested sample rate", shown);
        log.WriteLine("Ensure you don't have 'Rate Locked' set in the sound card's control panel.");
        return false;
    }
    ASIOSampleRate readBack = sampleRate;
    if (driver->getSampleRate(&readBack) == ASE_OK) sampleRate = readBack;
    log.WriteValue("Set sample rate", WholePart(sampleRate));
    return true;
}

uint32_t ASIOBuffers::GetSampleRate() {
    if (!driver) return 0;
    DebugLog& log = MixerDebugLog();
    ASIOSampleRate rate = sampleRate;
    const ASIOError result = driver->getSampleRate(&rate);
    if (result == ASE_OK) {
        sampleRate = rate;
        const int32_t whole = WholePart(sampleRate);
        log.WriteValue("Sample rate", whole);
        return whole > 0 ? static_cast<uint32_t>(whole) : 0;
    }
    if (result == ASE_NotPresent)
        log.WriteLine("Failed: GetSampleRate - No external clock I/O");
    else
        log.WriteLine("Failed: function GetSampleRate - Reason unknown");
    log.WriteValue("Last known sample rate", WholePart(sampleRate));
    return 0;
}

uint32_t ASIOBuffers::KnownSampleRate() const {
    return sampleRate >= 1.0 && sampleRate < 4294967295.0 ? static_cast<uint32_t>(sampleRate) : 0;
}

uint32_t ASIOBuffers::GetLatency() {
    const float msPerFrame = 0.022675738f;
    MixerDebugLog().WriteValue("Latency ms",
                               WholePart(static_cast<double>(bufferSize * msPerFrame)));
    return static_cast<uint32_t>(bufferSize);
}

void* ASIOBuffers::GetVUMeterEventHandle() {
    return nullptr;
}

void ASIOBuffers::SetAttenuationLevel(int32_t) {}

ASIOBuffers::~ASIOBuffers() {
    MixerDebugLog().WriteValue("cBufs", cBufs.load(std::memory_order_relaxed));
    if (driver) {
        driver->stop();
        if (bBuffersCreated) driver->disposeBuffers();
    }
    // No buffer switch runs any more: the driver has been stopped.
    ASIOBuffers* self = this;
    pLiveOutput.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);

    std::lock_guard guard(hBufferMutex);
    for (AudioBuffer* slot : StereoAudioBuffers) delete slot;
}
