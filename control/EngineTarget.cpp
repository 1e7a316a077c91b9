// Remote commands on the engine and the host functions.
#include "control/EngineTarget.h"

#include <algorithm>
#include <cmath>

#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"

namespace control {

namespace {

const char* NotLoaded() {
    return "not loaded";
}

bool IsPlaying(int32_t state) {
    return state == CHANNEL_STARTING || state == CHANNEL_PLAYING || state == CHANNEL_CLOSING;
}

// What the status calls a level the engine reports below the command range.
double ShownLevel(double db) {
    return std::max(db, kSilenceDb);
}

}  // namespace

int32_t EngineLevel(double db) {
    const long whole = std::lround(db);
    return whole <= kSilenceDb ? kChannelSilenceDb : static_cast<int32_t>(whole);
}

EngineTarget::EngineTarget(Sarabande& engine, std::string device, std::string baseDir)
    : engine(engine), deviceName(std::move(device)), base(std::move(baseDir)) {}

Result EngineTarget::Load(int32_t channel, const std::string& path) {
    const bool relative = !base.empty() && !path.empty() && path[0] != '/';
    const std::string full = relative ? base + "/" + path : path;
    if (engine.IsChannelLoaded(channel)) (void)engine.CloseChannelInstantly(channel);
    bStopped[channel] = false;
    const int32_t result = engine.LoadFile(channel, full.c_str());
    if (result == channel) return Result::Ok();
    const std::string reason = engine.GetLoadError();
    return Result::Fail(reason.empty() ? "refused (code " + std::to_string(result) + ")" : reason);
}

Result EngineTarget::Unload(int32_t channel) {
    if (!engine.IsChannelLoaded(channel)) return Result::Fail(NotLoaded());
    (void)engine.CloseChannelInstantly(channel);
    return Result::Ok();
}

// Starts a loaded channel where it is.
Result EngineTarget::Started(int32_t channel) {
    bStopped[channel] = false;
    return engine.PlayChannel(channel) == 0 ? Result::Ok() : Result::Fail("could not start");
}

Result EngineTarget::Play(int32_t channel) {
    if (!engine.IsChannelLoaded(channel)) return Result::Fail(NotLoaded());
    const int32_t state = engine.ChannelState(channel);
    if (IsPlaying(state)) return Result::Ok();
    // An ended channel plays again from its beginning.
    return state == CHANNEL_TERMINATED ? Restart(channel) : Started(channel);
}

Result EngineTarget::Stop(int32_t channel) {
    if (!engine.IsChannelLoaded(channel)) return Result::Fail(NotLoaded());
    if (engine.PauseChannel(channel) != 0) return Result::Fail("not playing");
    bStopped[channel] = true;
    return Result::Ok();
}

Result EngineTarget::Restart(int32_t channel) {
    if (!engine.IsChannelLoaded(channel)) return Result::Fail(NotLoaded());
    const int32_t state = engine.ChannelState(channel);
    if (state == CHANNEL_PLAYING) {
        return engine.ReStartChannel(channel) == 0 ? Result::Ok()
                                                   : Result::Fail("could not go back to the start");
    }
    // Closing (its end already in the ring), stopped, never started or ended:
    // frozen, taken to block 0, started.
    if (state == CHANNEL_CLOSING) (void)engine.PauseChannel(channel);
    if (engine.SetPosition(channel, 0) < 0) return Result::Fail("could not go back to the start");
    return Started(channel);
}

Result EngineTarget::SetPosition(int32_t channel, double seconds) {
    int64_t frames = 0;
    uint32_t rate = 0;
    if (engine.GetChannelPosition(channel, &frames, nullptr, &rate) != 0) {
        return Result::Fail(NotLoaded());
    }
    const double framesPerBlock = rate >= 44100 ? 4608.0 : 2304.0;
    const double block = std::floor(seconds * rate / framesPerBlock);
    const int32_t result = engine.SetPosition(channel, static_cast<int32_t>(std::min(block, 1e9)));
    return result >= 0 ? Result::Ok() : Result::Fail("could not be positioned");
}

Result EngineTarget::SetLevel(int32_t channel, double db) {
    return engine.SetChannelLevel(channel, EngineLevel(db)) == 0 ? Result::Ok()
                                                                 : Result::Fail(NotLoaded());
}

Result EngineTarget::Fade(int32_t channel, double targetDb, int32_t ms) {
    return engine.FadeChannel(channel, EngineLevel(targetDb), ms, false) == 0
               ? Result::Ok()
               : Result::Fail(NotLoaded());
}

Result EngineTarget::SetLoop(int32_t channel, bool on) {
    return engine.SetChannelLoop(channel, on) == 0 ? Result::Ok() : Result::Fail(NotLoaded());
}

Result EngineTarget::Go() {
    int32_t channels[kRows];
    int32_t count = 0;
    for (int32_t k = 0; k < kRows; ++k) {
        if (engine.IsChannelLoaded(k) && engine.ChannelState(k) == CHANNEL_LOADED) {
            channels[count++] = k;
        }
    }
    // All in one call, so that they begin in the same buffer switch.
    if (engine.PlayChannels(channels, count) < 0) {
        return Result::Fail("the channels could not be started");
    }
    for (bool& stopped : bStopped) stopped = false;
    return Resume();
}

Result EngineTarget::Pause() {
    if (ASIOIsPlaying()) ASIOStopPlay();
    return Result::Ok();
}

Result EngineTarget::Resume() {
    if (ASIOIsPlaying()) return Result::Ok();
    if (!ASIOStartPlay()) {
        const std::string reason = ASIOErrorText();
        return Result::Fail(reason.empty() ? "the device would not start" : reason);
    }
    return Result::Ok();
}

Result EngineTarget::FadeAll(int32_t ms) {
    for (int32_t k = 0; k < kRows; ++k) {
        if (engine.IsChannelLoaded(k) && IsPlaying(engine.ChannelState(k))) {
            (void)engine.FadeChannel(k, kChannelSilenceDb, ms, true);
        }
    }
    return Result::Ok();
}

Result EngineTarget::UnloadAll() {
    for (int32_t k = 0; k < kRows; ++k) {
        if (engine.IsChannelLoaded(k)) (void)engine.CloseChannelInstantly(k);
    }
    return Result::Ok();
}

Result EngineTarget::Quit() {
    bQuit = true;
    return Result::Ok();
}

StatusSnapshot EngineTarget::Status() {
    StatusSnapshot snapshot;
    snapshot.device = deviceName;
    snapshot.running = ASIOIsPlaying() && !ASIODeviceLost();
    for (int32_t k = 0; k < kRows; ++k) {
        ChannelStatus& status = snapshot.channels[k];
        if (!engine.IsChannelLoaded(k)) continue;
        const int32_t state = engine.ChannelState(k);
        status.state = IsPlaying(state)              ? ChannelState::Playing
                       : state == CHANNEL_TERMINATED ? ChannelState::Ended
                       : bStopped[k]                 ? ChannelState::Stopped
                                                     : ChannelState::Loaded;
        status.file = engine.GetChannelPath(k);
        int64_t frames = 0, length = 0;
        uint32_t rate = 0;
        (void)engine.GetChannelPosition(k, &frames, &length, &rate);
        if (rate > 0) {
            status.elapsed = static_cast<double>(frames) / rate;
            status.total = static_cast<double>(length) / rate;
        }
        double current = 0.0;
        (void)engine.GetChannelLevel(k, nullptr, nullptr, &current);
        status.levelDb = ShownLevel(current);
        status.loop = engine.IsChannelLooping(k);
        (void)engine.GetChannelMeter(k, &status.peak[0], &status.peak[1]);
    }
    return snapshot;
}

}  // namespace control
