// Remote commands in the dialog: each does what EngineTarget does on the
// engine, and then the dialog shows it, so that a row loaded, levelled or
// unloaded over OSC or by a show file looks as if the operator had done it.
#pragma once

#include <string>

#include "control/EngineTarget.h"

class CPlayerDlg;

class DialogTarget final : public control::EngineTarget {
  public:
    DialogTarget(CPlayerDlg& dlg, Sarabande& engine, std::string device, std::string baseDir);

    control::Result Load(int32_t channel, const std::string& path) override;
    control::Result Unload(int32_t channel) override;
    control::Result Play(int32_t channel) override;
    control::Result Stop(int32_t channel) override;
    control::Result Restart(int32_t channel) override;
    control::Result SetLevel(int32_t channel, double db) override;
    control::Result Fade(int32_t channel, double targetDb, int32_t ms) override;
    control::Result SetLoop(int32_t channel, bool on) override;
    control::Result Go() override;
    control::Result Pause() override;
    control::Result Resume() override;
    control::Result UnloadAll() override;
    // The dialog is ended by its operator only.
    control::Result Quit() override;

  private:
    // Shows row k as the engine now has it and passes the result on.
    control::Result Row(int32_t channel, control::Result result);
    control::Result Transport(control::Result result);

    CPlayerDlg& dlg;
};
