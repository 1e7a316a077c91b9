// What a front end implements so that remote commands reach its engine, and
// the status snapshot it hands back. Execute calls these on the front end's
// own thread, one at a time; nothing here runs on the OSC thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "control/Command.h"

namespace control {

// The outcome of one operation: done, or refused with a reason for the
// sender ("not loaded", "no such file").
struct [[nodiscard]] Result {
    bool ok = true;
    std::string error;

    static Result Ok() { return {}; }
    static Result Fail(std::string reason) { return {false, std::move(reason)}; }
};

enum class ChannelState : uint8_t {
    Empty,    // no file
    Loaded,   // loaded, not started
    Playing,  // started (it sounds while the device runs)
    Stopped,  // frozen by stop, where it was
    Ended,    // played to its end
};

const char* StateName(ChannelState state);

struct ChannelStatus {
    ChannelState state = ChannelState::Empty;
    std::string file;      // as loaded; empty when Empty
    double elapsed = 0.0;  // seconds from the start of the file
    double total = 0.0;    // seconds, the file's length
    double levelDb = 0.0;  // the level now, 0 down to kSilenceDb (during a fade, where it is)
    bool loop = false;
    float peak[2] = {0.0f, 0.0f};  // left, right: recent peak, 0 to 1 of full scale
};

struct StatusSnapshot {
    std::array<ChannelStatus, kRows> channels;  // by engine channel
    std::string device;                         // the driver's name
    bool running = false;                       // the device is started (not paused)
};

// Channels are engine channels, 0 to 11, already checked; numbers are
// finite and within the ranges Command.h gives. An operation that cannot be
// done returns Fail with a short reason and changes nothing.
class CommandTarget {
  public:
    virtual ~CommandTarget() = default;

    // Closes whatever the channel holds first. path may be relative (to the
    // front end's working directory).
    virtual Result Load(int32_t channel, const std::string& path) = 0;
    virtual Result Unload(int32_t channel) = 0;
    // Starts a loaded channel; it sounds while the device runs.
    virtual Result Play(int32_t channel) = 0;
    // Freezes the channel where it is; Play continues from there.
    virtual Result Stop(int32_t channel) = 0;
    // Back to the start, playing.
    virtual Result Restart(int32_t channel) = 0;
    virtual Result SetPosition(int32_t channel, double seconds) = 0;
    virtual Result SetLevel(int32_t channel, double db) = 0;
    // From the level now to targetDb over ms.
    virtual Result Fade(int32_t channel, double targetDb, int32_t ms) = 0;
    virtual Result SetLoop(int32_t channel, bool on) = 0;
    // Starts every loaded channel at one buffer switch, and the device.
    virtual Result Go() = 0;
    // Stops and starts the device; channels keep their places.
    virtual Result Pause() = 0;
    virtual Result Resume() = 0;
    // Fades every playing channel to silence over ms, then stops it.
    virtual Result FadeAll(int32_t ms) = 0;
    virtual Result UnloadAll() = 0;
    // Asks the front end to end (after the reply has gone out).
    virtual Result Quit() = 0;

    virtual StatusSnapshot Status() = 0;
};

}  // namespace control
