// The command target over the real engine and the mixer's host functions,
// shared by both front ends: every remote command does here what the front
// ends' own controls do. A front end that keeps a view of the channels (the
// dialog's rows) subclasses it, calls the operation it overrides and then
// brings its view up to date.
//
// Everything runs on the front end's thread, the one that owns the engine.
#pragma once

#include <cstdint>
#include <string>

#include "control/CommandTarget.h"

class Sarabande;

namespace control {

class EngineTarget : public CommandTarget {
  public:
    // engine: initialised by the front end, outliving the target. device:
    // the driver's name for the status. baseDir: what a relative path is
    // relative to ("" for the working directory).
    EngineTarget(Sarabande& engine, std::string device, std::string baseDir = {});

    Result Load(int32_t channel, const std::string& path) override;
    Result Unload(int32_t channel) override;
    // A loaded or stopped channel starts (a stopped one where it stopped),
    // an ended one from its beginning; a playing one plays on.
    Result Play(int32_t channel) override;
    Result Stop(int32_t channel) override;
    Result Restart(int32_t channel) override;
    // To the block that holds that time of the file (4608 of its frames a
    // block, 2304 below 44100 Hz), clamped by the engine; where it landed is
    // the channel's elapsed time in the status.
    Result SetPosition(int32_t channel, double seconds) override;
    // Whole dB (rounded); kSilenceDb and below is the engine's silence.
    Result SetLevel(int32_t channel, double db) override;
    Result Fade(int32_t channel, double targetDb, int32_t ms) override;
    Result SetLoop(int32_t channel, bool on) override;
    Result Go() override;
    Result Pause() override;
    Result Resume() override;
    Result FadeAll(int32_t ms) override;
    Result UnloadAll() override;
    Result Quit() override;
    StatusSnapshot Status() override;

    // Set by Quit: the front end ends once the reply has gone out.
    bool QuitRequested() const { return bQuit; }
    void SetDeviceName(std::string device) { deviceName = std::move(device); }

  protected:
    Sarabande& Engine() { return engine; }

  private:
    Result Started(int32_t channel);

    Sarabande& engine;
    std::string deviceName;
    std::string base;
    // Channels frozen by Stop, told apart from those never started: the
    // engine keeps both CHANNEL_LOADED.
    bool bStopped[kRows] = {};
    bool bQuit = false;
};

// The engine's level for a command's level: whole dB, kSilenceDb and below
// the engine's silence.
int32_t EngineLevel(double db);

}  // namespace control
