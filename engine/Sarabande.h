// Sarabande, the channel engine: twelve channels, one WAV file each, each
// playing on its own stereo output pair. The engine opens the output device
// through the mixer's host functions, loads, plays, restarts, repositions and
// closes channels on the application's thread, and refills every playing
// channel from its own event thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/ChannelStates.h"
#include "platform/Event.h"

class ChannelStream;
class DeviceListSink;
class PairLabelSink;

// Results of the engine's commands. A command returns 0 (done, or nothing to
// do because the engine is closing), a channel or block number, or one of
// these.
constexpr int32_t SARABANDE_CHANNEL_IN_USE = -3;  // LoadChannel: the requested channel is taken
constexpr int32_t SARABANDE_INIT_FAILED = -4;     // Init
constexpr int32_t SARABANDE_RESTART_FAILED = -5;  // ReStartChannel: repositioning failed
constexpr int32_t SARABANDE_OPEN_FAILED = -7;     // the file could not be opened and mapped
constexpr int32_t SARABANDE_NO_PATH = -14;        // LoadFile without a path
constexpr int32_t SARABANDE_WRONG_STATE = -16;  // no stream, or not in the state the command needs
constexpr int32_t SARABANDE_BAD_CHANNEL = -17;  // bad channel index, or channel not loaded
constexpr int32_t SARABANDE_PLAY_FAILED = -18;  // PlayChannel failed; the channel was released
constexpr int32_t SARABANDE_NEGATIVE_BLOCK = -27;  // SetPosition with a negative block
constexpr int32_t SARABANDE_NO_VACANT_CHANNEL = -29;
constexpr int32_t SARABANDE_UNUSABLE_FILE = -35;  // missing, or not larger than 1024 bytes
constexpr int32_t SARABANDE_BUILD_FAILED = -38;   // the pipeline could not be built
constexpr int32_t SARABANDE_BAD_LEVEL = -40;      // a level or fade target above 0 dB
constexpr int32_t SARABANDE_BAD_TIME = -41;       // a negative fade time

// The lowest level a channel can be set to: silence. Levels below it are
// taken as it.
constexpr int32_t kChannelSilenceDb = -200;

class Sarabande {
  public:
    // nDevice: the driver to open, or -1 for the one "ASIOConfig.txt" names.
    // pDeviceList receives the installed drivers' names (may be null). Opens
    // the engine's debug log in the working directory.
    Sarabande(int32_t nDevice, DeviceListSink* pDeviceList);
    // Closes the engine if the host has not, so that the event thread never
    // outlives it.
    ~Sarabande();
    Sarabande(const Sarabande&) = delete;
    Sarabande& operator=(const Sarabande&) = delete;

    // Opens the driver and the output stage (the pair labels go into
    // pOutputList, which may be null) and starts the event thread. hWnd is
    // handed to the driver as its system handle and must not be null, nor
    // pCurPath (the application's working directory). 0 or -4. When the
    // driver cannot be opened Init still returns 0; every load then fails.
    [[nodiscard]] int32_t Init(void* hWnd, PairLabelSink* pOutputList, const char* pCurPath);

    // channel 0..11, or negative to let the engine choose (evicting the
    // oldest load when all twelve are taken). The channel used, or a code.
    int32_t LoadFile(int32_t channel, const char* path);
    // Why the last LoadFile refused its file, in words for the user ("too
    // small (900 bytes; ...)", "8-bit samples; ..."); "" after a load that
    // succeeded. Written where each refusal is decided: here, and by the
    // channel's pipeline for what the file holds. Application's thread.
    const char* GetLoadError() const { return szLoadError; }
    // Whether the files loaded from now on at a rate other than the device's
    // (or half of it) are converted to the device's rate; on by default. Off,
    // every file plays at its own rate, as the mapped path always has.
    void SetConvertRates(bool bConvert) { bConvertRates = bConvert; }
    // The channel a load would use, or a code; used by LoadFile.
    int32_t LoadChannel(int32_t channel);
    // CHANNEL_LOADED -> CHANNEL_PLAYING. The device is started separately
    // (ASIOStartPlay).
    int32_t PlayChannel(int32_t channel);
    // A playing channel back to block 0, still playing; 0 when not playing.
    int32_t ReStartChannel(int32_t channel);
    // The block actually set (clamped to the file), or a code.
    int32_t SetPosition(int32_t channel, int32_t block);
    int32_t CloseChannelInstantly(int32_t channel);
    // Loops the channel's range (cue-in to cue-out, or the whole file) with
    // no gap from the next refill on, or lets it play on to its end. 0, or
    // -17 for a bad index or a channel not loaded.
    int32_t SetChannelLoop(int32_t channel, bool bLoop);
    // The channel's state (CHANNEL_...), or -17 for a bad index.
    int32_t GetChannelStatus(int32_t channel);
    // Where the channel is in its own file, whatever the other channels do:
    // the frame under its play cursor counted from the first frame of the
    // audio, and (each pointer may be null) the file's length in frames and
    // its rate, both in the file's own time. Checks the channel as
    // PlayChannel does and holds its mutex; logs only a refusal. 0 or -17
    // (and zeros).
    int32_t GetChannelPosition(int32_t channel, int64_t* frames, int64_t* lengthFrames = nullptr,
                               uint32_t* rate = nullptr);
    // Whether the channel loops, and the full path its file was opened with;
    // false and "" for a bad index or a channel not loaded. No logging.
    bool IsChannelLooping(int32_t channel);
    std::string GetChannelPath(int32_t channel);
    // Stops and frees every channel, ends the event thread and shuts the
    // mixer down. A second Close only closes the debug log.
    void Close();

    // Show control. Each command checks the channel as PlayChannel does (-17
    // for a bad index or a channel not loaded), holds the channel's mutex,
    // returns 0 when the engine is closing, and logs a line. Levels are
    // whole dB: 0 is full level, -6 half the amplitude; kChannelSilenceDb
    // (-200) and anything below it is silence.

    // Sets the channel's level at the next buffer switch, cancelling a fade.
    // The engine remembers it: a SetPosition that stops the channel keeps
    // it, a mute keeps it; a new load starts at 0 dB. 0, -17, or -40 for a
    // level above 0 dB.
    int32_t SetChannelLevel(int32_t channel, int32_t levelDb);
    // Silences the channel, or gives it its level back, without forgetting
    // the level. A channel muted during a fade that stops it stops at the
    // next switch: nothing more of it would be heard. 0 or -17.
    int32_t SetChannelMute(int32_t channel, bool on);
    // The level as set, the mute, and the level the next switch plays at (dB,
    // moving during a fade; kChannelSilenceDb when silent). Any pointer may
    // be null. 0 or -17; logs only a refusal.
    int32_t GetChannelLevel(int32_t channel, int32_t* levelDb, bool* muted = nullptr,
                            double* currentDb = nullptr);
    // Fades from wherever the level is to targetDb over ms milliseconds; the
    // target is reached at the end of the buffer switch in which ms has
    // passed. Without stopAtEnd the target becomes the channel's level. With
    // it the channel stops in the switch that reaches the target and becomes
    // CHANNEL_TERMINATED, keeping the level it had before the fade (a muted
    // channel stops at the next switch). 0, -17, -40 for a target above
    // 0 dB, -41 for a negative time.
    int32_t FadeChannel(int32_t channel, int32_t targetDb, int32_t ms, bool stopAtEnd);
    // Freezes a playing (or closing) channel where it is: it becomes
    // CHANNEL_LOADED and PlayChannel or PlayChannels resumes it at the same
    // frame. 0, -17, or -16 when it is not playing.
    int32_t PauseChannel(int32_t channel);
    // Starts every listed channel that is CHANNEL_LOADED so that all begin in
    // the same buffer switch, also while the device runs. A channel listed
    // twice counts once; one in another state is skipped with
    // PlayChannel's line. The number of channels set playing, or -17 (and
    // nothing started) when the list is missing or names a channel that is
    // not loaded.
    int32_t PlayChannels(const int32_t* channels, int32_t count);
    // The meter of the channel's pair: the recent peak of each side after
    // the level, as a fraction of full scale. Takes no lock, for readers at
    // display rate; logs only a refusal. 0, or -17 (and zeros) for a bad
    // index or a pair the device lacks.
    int32_t GetChannelMeter(int32_t channel, float* left, float* right);

    // Index 0..11, state CHANNEL_LOADED or above, and a stream in the slot.
    bool IsChannelLoaded(int32_t channel) const;

    // The state table entry, read without the channel's lock (no logging, no
    // repair); CHANNEL_FREE for a bad index.
    int32_t ChannelState(int32_t channel) const;

    // Host events. Each is signalled after its value has been stored. They
    // exist from a successful Init until the engine is destroyed (null
    // before); Close leaves them in place so that a waiting host never holds
    // a dangling pointer.
    platform::Event* GetPositionEvent() const { return hPositionEvent.get(); }
    // The block now playing on the channel refilled last.
    int32_t GetPositionValue() const { return nPositionValue.load(std::memory_order_acquire); }
    platform::Event* GetStartPlayEvent() const { return hStartPlayEvent.get(); }
    int32_t GetStartPlayValue() const { return nStartPlayValue.load(std::memory_order_acquire); }
    platform::Event* GetClosedChannelEvent() const { return hClosedChannelEvent.get(); }
    int32_t GetClosedChannelIndex() const { return nClosedChannel.load(std::memory_order_acquire); }

    // Returns once the event thread has served every notification that was
    // signalled before the call (false on time-out, or when no thread runs).
    // For hosts and tests that drive the device by hand and need each refill
    // done before the next buffer switch.
    bool FlushNotifications(int timeoutMs = 5000);

  private:
    static void EventThreadProc(Sarabande* engine);
    void OnChannelEvent(int32_t index);
    void ReleaseChannel(ChannelStream* stream);
    [[gnu::format(printf, 2, 3)]] void LogText(const char* format, ...);
    [[gnu::format(printf, 2, 3)]] void LogTextWithTime(const char* format, ...);
    [[gnu::format(printf, 2, 3)]] void RefuseLoad(const char* format, ...);
    const char* PathOf(const ChannelStream* stream) const;
    bool RefuseUnloaded(int32_t channel, const char* command);
    void ApplyChannelLevel(int32_t channel);
    bool EndFadedChannel(int32_t channel);

    // Slots are filled and emptied only on the application's thread, under
    // the channel's mutex; the event thread reads them under that mutex.
    ChannelStream* slots[kNumChannels] = {};

    // Created by Init. The host events are signalled by the event thread and
    // waited on by the host.
    std::unique_ptr<platform::Event> hPositionEvent;
    std::unique_ptr<platform::Event> hStartPlayEvent;
    std::unique_ptr<platform::Event> hClosedChannelEvent;
    // Signalled by the driver's thread through the sound buffers, waited on by
    // the event thread; destroyed by Close after the thread has been joined.
    std::unique_ptr<platform::Event> hNotifyEvents[kNumChannels];
    // Set by Close (to end the thread) and by FlushNotifications.
    platform::Event hWakeEvent;
    platform::Event hFlushDone;  // set by the event thread, waited on by FlushNotifications
    std::mutex flushLock;        // one FlushNotifications at a time
    std::atomic<bool> bFlushRequested{false};

    std::mutex channelMutexes[kNumChannels];

    // Each channel's level as its commands set it (dB, 0 down to
    // kChannelSilenceDb), its mute, and whether the fade programmed last
    // stops it. Per load; used under the channel's mutex.
    int32_t nLevelDb[kNumChannels] = {};
    bool bMuted[kNumChannels] = {};
    bool bFadeStops[kNumChannels] = {};

    uint32_t dwLoadCounter = 0;  // application's thread only
    bool bConvertRates = true;   // application's thread only
    int32_t nRequestedDevice;
    DeviceListSink* pDeviceList;

    // Written by the commands (application's thread) and by the stream
    // buffers (application's and event thread) under the channel's mutex;
    // read without it by GetChannelStatus, IsChannelLoaded and the host.
    std::atomic<int32_t> states[kNumChannels];

    // Written by the event thread, read by the host after the event.
    std::atomic<int32_t> nPositionValue{0};
    std::atomic<int32_t> nStartPlayValue{0};
    std::atomic<int32_t> nClosedChannel{0};

    // closing and threadRunning are written by the application's thread and
    // read by the event thread without a lock.
    std::atomic<bool> bClosing{false};
    std::atomic<bool> bThreadRunning{false};
    bool bMixerStarted = false;  // ASIOInitDrivers was called: Close shuts the mixer down
    bool bCloseDone = false;     // Close has run once
    std::thread eventThread;

    // Application's thread only: the count of opened files (wraps at 16 bits)
    // and the text every command formats its messages into. The text has room
    // for a message around any path the system can open; longer ones are cut.
    uint16_t wFilesOpened = 0;
    char text[4352] = {};
    char szLoadError[256] = {};
};
