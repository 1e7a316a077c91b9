#include "engine/Sarabande.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

#include "diag/DebugLog.h"
#include "engine/ChannelStream.h"
#include "mixer/AsioHost.h"
#include "mixer/AudioBuffer.h"
#include "streams/ChannelControl.h"

namespace {

// The file must exist and be larger than 1024 bytes: anything smaller cannot
// hold a header and a block worth playing. Otherwise the reason goes to `why`.
// The whole size counts: a file of more than 4 GiB whose low 32 bits are
// small is not small.
bool IsUsableFile(const char* path, char* why, size_t size) {
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno == ENOENT)
            std::snprintf(why, size, "missing (no such file)");
        else
            std::snprintf(why, size, "cannot be read (%s)", std::strerror(errno));
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > 1024u) return true;
    std::snprintf(why, size, "too small (%lld bytes; a file must be larger than 1024 bytes)",
                  static_cast<long long>(st.st_size));
    return false;
}

int32_t MsSince(uint32_t start) {
    return static_cast<int32_t>(platform::TimeGetTime() - start);
}

}  // namespace

Sarabande::Sarabande(int32_t nDevice, DeviceListSink* pDevices)
    : nRequestedDevice(nDevice), pDeviceList(pDevices) {
    for (auto& state : states) state.store(CHANNEL_FREE, std::memory_order_relaxed);
    EngineDebugLog().Open(nullptr);
    EngineDebugLog().WriteLine("Timer initialized");
}

Sarabande::~Sarabande() {
    if (!bCloseDone) Close();
}

void Sarabande::LogText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    EngineLog(text, false);
}

void Sarabande::RefuseLoad(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(szLoadError, sizeof szLoadError, format, args);
    va_end(args);
}

void Sarabande::LogTextWithTime(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    EngineLog(text, true);
}

const char* Sarabande::PathOf(const ChannelStream* stream) const {
    return stream ? stream->GetFileName() : "";
}

int32_t Sarabande::ChannelState(int32_t channel) const {
    if (channel < 0 || channel >= kNumChannels) return CHANNEL_FREE;
    return states[channel].load(std::memory_order_acquire);
}

bool Sarabande::IsChannelLoaded(int32_t channel) const {
    if (channel < 0 || channel >= kNumChannels) return false;
    return states[channel].load(std::memory_order_acquire) >= CHANNEL_LOADED &&
           slots[channel] != nullptr;
}

void Sarabande::ReleaseChannel(ChannelStream* stream) {
    if (!stream) return;
    const int32_t channel = stream->GetChannel();
    delete stream;
    if (channel >= 0 && channel < kNumChannels) {
        slots[channel] = nullptr;
        states[channel].store(CHANNEL_FREE, std::memory_order_release);
    }
}

int32_t Sarabande::Init(void* hWnd, PairLabelSink* pOutputList, const char* pCurPath) {
    if (!pCurPath) {
        EngineLog("No pCurPath!", false);
        bClosing = true;
        return SARABANDE_INIT_FAILED;
    }
    if (!hWnd) {
        EngineLog("No hwnd!", false);
        bClosing = true;
        return SARABANDE_INIT_FAILED;
    }

    bMixerStarted = true;
    if (ASIOInitDrivers(pDeviceList, nRequestedDevice)) {
        if (!ASIOSetupBuffers(hWnd, pOutputList)) {
            ASIOShutdown();
            bMixerStarted = false;
            return SARABANDE_INIT_FAILED;
        }
    }
    // Without a driver the engine goes on: files can still be chosen, and
    // every load fails when its sound buffer is created.

    bool made = hWakeEvent.IsValid() && hFlushDone.IsValid();
    for (auto& event : hNotifyEvents) {
        if (!made) break;
        event.reset(new (std::nothrow) platform::Event());
        made = event && event->IsValid();
    }
    for (auto* host : {&hPositionEvent, &hStartPlayEvent, &hClosedChannelEvent}) {
        if (!made) break;
        host->reset(new (std::nothrow) platform::Event());
        made = *host && (*host)->IsValid();
    }
    if (made) {
        bThreadRunning = true;
        try {
            eventThread = std::thread(&Sarabande::EventThreadProc, this);
        } catch (const std::system_error&) {
            bThreadRunning = false;
            made = false;
        }
    }
    if (!made) {
        for (auto& event : hNotifyEvents) event.reset();
        hPositionEvent.reset();
        hStartPlayEvent.reset();
        hClosedChannelEvent.reset();
        EngineLog("Couldn't create all the mutex and event handles!\n", false);
        bClosing = true;
        return SARABANDE_INIT_FAILED;
    }
    EngineLog("Success: Create mutex and event handles!\n", false);
    return 0;
}

int32_t Sarabande::LoadChannel(int32_t channel) {
    if (channel >= kNumChannels) {
        RefuseLoad("there is no such channel");
        return SARABANDE_BAD_CHANNEL;
    }
    if (channel >= 0) {
        if (states[channel].load() != CHANNEL_FREE || slots[channel]) {
            LogText("Error - Load failed - channel %d in use!\n\n", channel);
            RefuseLoad("the channel is in use");
            return SARABANDE_CHANNEL_IN_USE;
        }
        return channel;
    }
    for (int32_t i = 0; i < kNumChannels; ++i)
        if (states[i].load() == CHANNEL_FREE && !slots[i]) return i;

    EngineLog("LoadChannel: Couldn't find a vacant channel to load file!\n", false);
    int32_t oldest = -1;
    for (int32_t i = 0; i < kNumChannels; ++i) {
        if (slots[i] && (oldest < 0 || slots[i]->GetLoadId() < slots[oldest]->GetLoadId()))
            oldest = i;
    }
    if (oldest < 0) {
        RefuseLoad("no channel is free");
        return SARABANDE_NO_VACANT_CHANNEL;
    }

    std::lock_guard<std::mutex> lock(channelMutexes[oldest]);
    states[oldest].store(CHANNEL_CLOSING);
    LogText("Closed Instantly ID: %" PRIu32 ", file: %s\n", slots[oldest]->GetLoadId(),
            PathOf(slots[oldest]));
    ReleaseChannel(slots[oldest]);
    return oldest;
}

int32_t Sarabande::LoadFile(int32_t channel, const char* path) {
    LogTextWithTime("\nLoading file: %s on channel %d at ", path ? path : "", channel);
    szLoadError[0] = '\0';
    int32_t fileCheck = 0;
    if (!path) {
        RefuseLoad("no file was given");
        fileCheck = SARABANDE_NO_PATH;
    } else if (!IsUsableFile(path, szLoadError, sizeof szLoadError)) {
        LogText("Refused: %s\n", szLoadError);
        fileCheck = SARABANDE_UNUSABLE_FILE;
    }
    // Letting the engine choose may evict the oldest load: a load that cannot
    // even find its file must not close a channel that plays.
    if (channel < 0 && fileCheck != 0) return fileCheck;
    const int32_t index = LoadChannel(channel);
    if (index < 0) return index;
    if (fileCheck != 0) return fileCheck;

    std::unique_lock<std::mutex> lock(channelMutexes[index]);
    // After Close, or when Init did not make the channel's event, there is no
    // device and no event thread to play the channel on.
    if (bClosing || !hNotifyEvents[index]) {
        EngineLog("Error - Failed to create audio stream\n\n", false);
        RefuseLoad(bClosing ? "the engine is closed" : "no device is open");
        return SARABANDE_BUILD_FAILED;
    }
    states[index].store(CHANNEL_LOADING);
    const uint32_t start = platform::TimeGetTime();

    auto* stream = new (std::nothrow) ChannelStream(index, path, dwLoadCounter++);
    if (!stream || !stream->IsOpened()) {
        RefuseLoad("%s", stream ? stream->GetFailure() : "not enough memory");
        LogText("Refused: %s\n", szLoadError);
        delete stream;
        LogText("Error - Failed to open file: %s\n\n", path);
        states[index].store(CHANNEL_FREE);
        return SARABANDE_OPEN_FAILED;
    }
    LogText("Opened file: %s, destined for channel %" PRId32 " in %" PRId32 " ms\n", path, index,
            MsSince(start));

    const PipelineParams params{hNotifyEvents[index].get(),
                                states,
                                &ASIOCreateSoundBuffer,
                                &ASIOReleaseSoundBuffer,
                                &EngineLog,
                                ASIOGetDeviceRate(),
                                bConvertRates};
    const uint32_t buildStart = platform::TimeGetTime();
    int32_t result;
    if (stream->Build(params)) {
        slots[index] = stream;
        nLevelDb[index] = 0;
        bMuted[index] = false;
        bFadeStops[index] = false;
        states[index].store(CHANNEL_LOADED);
        LogText("Stream created in %" PRId32 " ms.\n\n", MsSince(buildStart));
        result = index;
    } else {
        RefuseLoad("%s", stream->GetFailure());
        delete stream;
        EngineLog("Error - Failed to create audio stream\n\n", false);
        states[index].store(CHANNEL_FREE);
        result = SARABANDE_BUILD_FAILED;
    }
    ++wFilesOpened;
    LogText("Files loaded: %" PRId32 "\n", static_cast<int32_t>(wFilesOpened));
    return result;
}

int32_t Sarabande::PlayChannel(int32_t channel) {
    const uint32_t start = platform::TimeGetTime();
    if (!IsChannelLoaded(channel)) return SARABANDE_BAD_CHANNEL;
    std::unique_lock<std::mutex> lock(channelMutexes[channel]);
    if (bClosing) return 0;
    ChannelStream* stream = slots[channel];
    if (states[channel].load() != CHANNEL_LOADED || !stream) {
        lock.unlock();
        LogText("Error - Play channel %d failed: Channel != CHANNEL_LOADED!\n\n", channel);
        return SARABANDE_WRONG_STATE;
    }
    states[channel].store(CHANNEL_STARTING);
    LogTextWithTime("\nRequest to play file: %s on channel %d at ", PathOf(stream), channel);
    if (!stream->GetControl()->PlayIfIdle()) {
        EngineLog("Error - Play command failed!\n\n", false);
        ReleaseChannel(stream);
        return SARABANDE_PLAY_FAILED;
    }
    states[channel].store(CHANNEL_PLAYING);
    lock.unlock();
    LogText("Playing now. Time in this function: %" PRId32 " ms\n\n", MsSince(start));
    return 0;
}

int32_t Sarabande::ReStartChannel(int32_t channel) {
    const uint32_t start = platform::TimeGetTime();
    if (!IsChannelLoaded(channel)) return SARABANDE_BAD_CHANNEL;
    if (states[channel].load() != CHANNEL_PLAYING) return 0;
    LogTextWithTime("\nRequest to ReStart on channel %d at ", channel);

    const char* failure = nullptr;
    int32_t result = 0;
    {
        std::lock_guard<std::mutex> lock(channelMutexes[channel]);
        // A channel that a fade has stopped is over, as one whose file ended.
        if (bClosing || EndFadedChannel(channel)) return 0;
        const int32_t state = states[channel].load();
        ChannelStream* stream = slots[channel];
        if (state < CHANNEL_PLAYING) {
            failure = "Error - ReStartChannel failed - Channel not playing!\n\n";
        } else if (!stream) {
            failure = "Error - ReStartChannel failed - Channel not loaded!\n\n";
            result = SARABANDE_WRONG_STATE;
        } else if (state == CHANNEL_CLOSING) {
            failure = "Error - ReStartChannel failed - Channel already closing!\n\n";
            result = SARABANDE_WRONG_STATE;
        } else if (stream->SetPosition(0, true) == -1) {
            failure = "Error - ReStartChannel failed - DirectSound error!\n\n";
            result = SARABANDE_RESTART_FAILED;
        }
    }
    if (failure) {
        EngineLog(failure, false);
        return result;
    }
    // The path is read again after the lock: only this thread empties slots.
    LogTextWithTime("\nReStartChannel on file: %s in %" PRId32 " ms at ", PathOf(slots[channel]),
                    MsSince(start));
    EngineLog("\n", false);
    return 0;
}

int32_t Sarabande::SetPosition(int32_t channel, int32_t block) {
    if (block < 0) return SARABANDE_NEGATIVE_BLOCK;
    if (!IsChannelLoaded(channel)) {
        EngineLog("SetPosition - invalid channel or not loaded.\n\n", false);
        return SARABANDE_BAD_CHANNEL;
    }
    int32_t result;
    int32_t playing;
    {
        std::lock_guard<std::mutex> lock(channelMutexes[channel]);
        if (bClosing) return 0;
        ChannelStream* stream = slots[channel];
        EndFadedChannel(channel);
        const int32_t state = states[channel].load();
        const bool resume = state == CHANNEL_PLAYING || state == CHANNEL_CLOSING;
        result = stream->SetPosition(block, resume);
        // A stopped channel comes back at 0 dB with no fade; a channel with
        // a level of its own gets it again.
        if (!resume && result != -1) {
            bFadeStops[channel] = false;
            if (nLevelDb[channel] != 0 || bMuted[channel]) ApplyChannelLevel(channel);
        }
        playing = stream->GetNextBlock() - 3;
    }
    LogText("\nSetPosition nBlockNum: %d\n", result);
    return result == -1 ? playing : result;
}

int32_t Sarabande::CloseChannelInstantly(int32_t channel) {
    const uint32_t start = platform::TimeGetTime();
    if (!IsChannelLoaded(channel)) {
        EngineLog("Error - CloseChannelInstantly failed - Sound not loaded!\n\n", false);
        return SARABANDE_WRONG_STATE;
    }
    LogTextWithTime("\nRequest to CloseChannelInstantly on channel %d at ", channel);
    {
        std::lock_guard<std::mutex> lock(channelMutexes[channel]);
        if (bClosing) return 0;
        ChannelStream* stream = slots[channel];
        if (!stream) {
            EngineLog("Error - CloseChannelInstantly failed: pAudioStream == NULL!\n\n", false);
            return SARABANDE_WRONG_STATE;
        }
        states[channel].store(CHANNEL_CLOSING);
        LogText("Closed Instantly file: %s ", PathOf(stream));
        ReleaseChannel(stream);
    }
    LogTextWithTime("in %" PRId32 " ms at ", MsSince(start));
    EngineLog("\n", false);
    return 0;
}

int32_t Sarabande::SetChannelLoop(int32_t channel, bool bLoop) {
    if (!IsChannelLoaded(channel)) {
        EngineLog("SetChannelLoop - invalid channel or not loaded.\n\n", false);
        return SARABANDE_BAD_CHANNEL;
    }
    {
        std::lock_guard<std::mutex> lock(channelMutexes[channel]);
        if (bClosing) return 0;
        slots[channel]->SetLooping(bLoop);
    }
    LogText("\nSetChannelLoop on channel %d: %s\n", channel, bLoop ? "on" : "off");
    return 0;
}

int32_t Sarabande::GetChannelPosition(int32_t channel, int64_t* frames, int64_t* lengthFrames,
                                      uint32_t* rate) {
    if (frames) *frames = 0;
    if (lengthFrames) *lengthFrames = 0;
    if (rate) *rate = 0;
    if (RefuseUnloaded(channel, "GetChannelPosition")) return SARABANDE_BAD_CHANNEL;
    std::lock_guard<std::mutex> lock(channelMutexes[channel]);
    const ChannelStream* stream = slots[channel];
    if (bClosing || !stream) return 0;
    if (frames) *frames = stream->GetPositionFrames();
    if (lengthFrames) *lengthFrames = stream->GetLengthFrames();
    if (rate) *rate = stream->GetFileRate();
    return 0;
}

bool Sarabande::IsChannelLooping(int32_t channel) {
    if (!IsChannelLoaded(channel)) return false;
    std::lock_guard<std::mutex> lock(channelMutexes[channel]);
    return !bClosing && slots[channel] && slots[channel]->IsLooping();
}

std::string Sarabande::GetChannelPath(int32_t channel) {
    if (!IsChannelLoaded(channel)) return {};
    std::lock_guard<std::mutex> lock(channelMutexes[channel]);
    return bClosing ? std::string() : std::string(PathOf(slots[channel]));
}

int32_t Sarabande::GetChannelStatus(int32_t channel) {
    LogText("\nChecking status on channel %d ", channel);
    if (channel < 0 || channel >= kNumChannels) {
        LogText("- Bad channel ID: %d\n", channel);
        return SARABANDE_BAD_CHANNEL;
    }
    // Only this thread fills or empties slots, so a state without a stream can
    // be repaired without the lock.
    if (states[channel].load() != CHANNEL_FREE && !slots[channel]) {
        states[channel].store(CHANNEL_FREE);
        EngineLog("Loaded channel had no stream!", false);
    }
    // A buffer that a fade stopped has signalled the event thread, which may
    // not have got to it yet.
    const ChannelStream* stream = slots[channel];
    if (stream && stream->GetAudioBuffer()->StoppedByFade()) {
        std::lock_guard<std::mutex> lock(channelMutexes[channel]);
        if (!bClosing) EndFadedChannel(channel);
    }
    const int32_t state = states[channel].load();
    LogText("- Status: %d\n", state);
    return state;
}

bool Sarabande::RefuseUnloaded(int32_t channel, const char* command) {
    if (IsChannelLoaded(channel)) return false;
    // Formatted apart from `text`: the meter may be read on any thread.
    char line[96];
    std::snprintf(line, sizeof line, "Error - %s failed - channel %d not loaded!\n\n", command,
                  channel);
    EngineLog(line, false);
    return true;
}

int32_t Sarabande::PauseChannel(int32_t channel) {
    if (RefuseUnloaded(channel, "PauseChannel")) return SARABANDE_BAD_CHANNEL;
    std::lock_guard<std::mutex> lock(channelMutexes[channel]);
    if (bClosing) return 0;
    EndFadedChannel(channel);
    ChannelStream* stream = slots[channel];
    const int32_t state = states[channel].load();
    if (!stream || (state != CHANNEL_PLAYING && state != CHANNEL_CLOSING)) {
        LogText("Error - PauseChannel failed - channel %d not playing!\n\n", channel);
        return SARABANDE_WRONG_STATE;
    }
    // The buffer stops between two switches; its cursor, its notification
    // and its fade wait there.
    stream->GetControl()->Pause();
    states[channel].store(CHANNEL_LOADED);
    LogTextWithTime("\nPaused file: %s on channel %d at ", PathOf(stream), channel);
    return 0;
}

int32_t Sarabande::PlayChannels(const int32_t* channels, int32_t count) {
    const uint32_t start = platform::TimeGetTime();
    if (count < 0 || (count > 0 && !channels)) {
        LogText("Error - PlayChannels failed - no list of %d channels!\n\n", count);
        return SARABANDE_BAD_CHANNEL;
    }
    bool listed[kNumChannels] = {};
    for (int32_t i = 0; i < count; ++i) {
        if (RefuseUnloaded(channels[i], "PlayChannels")) return SARABANDE_BAD_CHANNEL;
        listed[channels[i]] = true;
    }
    // Several channel mutexes are held at once, as only Close does besides:
    // both take them in index order, so neither can wait for one that the
    // other holds while holding a higher one. The event thread holds one at
    // a time and takes nothing else meanwhile but the mixer's locks, which
    // come after every channel mutex here too.
    std::unique_lock<std::mutex> locks[kNumChannels];
    for (int32_t i = 0; i < kNumChannels; ++i)
        if (listed[i]) locks[i] = std::unique_lock<std::mutex>(channelMutexes[i]);
    if (bClosing) return 0;

    void* buffers[kNumChannels];
    int32_t armed[kNumChannels];
    int32_t n = 0;
    for (int32_t i = 0; i < kNumChannels; ++i) {
        if (!listed[i]) continue;
        ChannelStream* stream = slots[i];
        if (states[i].load() != CHANNEL_LOADED || !stream) {
            LogText("Error - Play channel %d failed: Channel != CHANNEL_LOADED!\n\n", i);
            continue;
        }
        states[i].store(CHANNEL_STARTING);
        LogTextWithTime("\nRequest to play file: %s on channel %d at ", PathOf(stream), i);
        if (!stream->ArmToPlay()) {
            EngineLog("Error - Play command failed!\n\n", false);
            ReleaseChannel(stream);
            continue;
        }
        buffers[n] = stream->GetAudioBuffer();
        armed[n++] = i;
    }
    // False only without an output stage, where no channel could have loaded.
    (void)ASIOPlayTogether(buffers, n);
    for (int32_t k = 0; k < n; ++k) states[armed[k]].store(CHANNEL_PLAYING);
    LogText("Playing %d channels together now. Time in this function: %" PRId32 " ms\n\n", n,
            MsSince(start));
    return n;
}

void Sarabande::Close() {
    EngineDebugLog().WriteLine("Entered Sarabande::Close");
    if (bCloseDone) {
        EngineDebugLog().Close();
        return;
    }
    bCloseDone = true;
    bClosing = true;
    bThreadRunning = false;

    // The thread must be gone before any event it waits on, or the engine
    // itself, goes away. A thread inside a refill finishes it first.
    if (eventThread.joinable()) {
        hWakeEvent.Set();
        eventThread.join();
    }

    for (int32_t i = 0; i < kNumChannels; ++i) {
        channelMutexes[i].lock();
        if (slots[i] && slots[i]->GetControl()) slots[i]->GetControl()->Pause();
    }
    for (int32_t i = 0; i < kNumChannels; ++i) ReleaseChannel(slots[i]);
    for (int32_t i = 0; i < kNumChannels; ++i) channelMutexes[i].unlock();
    // Every sound buffer that could signal them is gone.
    for (auto& event : hNotifyEvents) event.reset();

    if (bMixerStarted) ASIOShutdown();
    EngineDebugLog().Close();
}
