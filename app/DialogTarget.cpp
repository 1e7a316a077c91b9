#include "app/DialogTarget.h"

#include "app/PlayerDlg.h"

using control::Result;

DialogTarget::DialogTarget(CPlayerDlg& dlg, Sarabande& engine, std::string device,
                           std::string baseDir)
    : EngineTarget(engine, std::move(device), std::move(baseDir)), dlg(dlg) {}

Result DialogTarget::Row(int32_t channel, Result result) {
    dlg.ShowRow(channel);
    return result;
}

Result DialogTarget::Transport(Result result) {
    dlg.ShowTransport();
    return result;
}

Result DialogTarget::Load(int32_t channel, const std::string& path) {
    Result result = EngineTarget::Load(channel, path);
    dlg.ShowRow(channel);
    if (!result.ok) dlg.ReportRefusal(channel, path, result.error);
    return result;
}

Result DialogTarget::Unload(int32_t channel) {
    return Row(channel, EngineTarget::Unload(channel));
}

// A play that fails releases the channel: the row shows that too.
Result DialogTarget::Play(int32_t channel) {
    return Row(channel, EngineTarget::Play(channel));
}

Result DialogTarget::Stop(int32_t channel) {
    return Row(channel, EngineTarget::Stop(channel));
}

Result DialogTarget::Restart(int32_t channel) {
    return Row(channel, EngineTarget::Restart(channel));
}

Result DialogTarget::SetLevel(int32_t channel, double db) {
    return Row(channel, EngineTarget::SetLevel(channel, db));
}

Result DialogTarget::Fade(int32_t channel, double targetDb, int32_t ms) {
    return Row(channel, EngineTarget::Fade(channel, targetDb, ms));
}

Result DialogTarget::SetLoop(int32_t channel, bool on) {
    return Row(channel, EngineTarget::SetLoop(channel, on));
}

Result DialogTarget::Go() {
    if (dlg.DeviceLost()) return Result::Fail("the device was lost; pick one in the dialog");
    Result result = EngineTarget::Go();
    for (int32_t k = 0; k < control::kRows; ++k) dlg.ShowRow(k);
    return Transport(std::move(result));
}

Result DialogTarget::Pause() {
    return Transport(EngineTarget::Pause());
}

Result DialogTarget::Resume() {
    if (dlg.DeviceLost()) return Result::Fail("the device was lost; pick one in the dialog");
    return Transport(EngineTarget::Resume());
}

Result DialogTarget::UnloadAll() {
    Result result = EngineTarget::UnloadAll();
    for (int32_t k = 0; k < control::kRows; ++k) dlg.ShowRow(k);
    return result;
}

Result DialogTarget::Quit() {
    return Result::Fail("the dialog is closed by its operator");
}
