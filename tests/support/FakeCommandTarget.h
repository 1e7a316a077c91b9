// A command target for tests and fuzzing: records each operation as a line
// with engine channels ("level 1 -6"), answers with a status snapshot the
// test sets, and fails every operation with failWith when that is set.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "control/CommandTarget.h"

class FakeCommandTarget : public control::CommandTarget {
  public:
    using Result = control::Result;

    std::vector<std::string> calls;
    std::string failWith;
    control::StatusSnapshot status;

    Result Load(int32_t k, const std::string& path) override { return Call("load", k, path); }
    Result Unload(int32_t k) override { return Call("unload", k); }
    Result Play(int32_t k) override { return Call("play", k); }
    Result Stop(int32_t k) override { return Call("stop", k); }
    Result Restart(int32_t k) override { return Call("restart", k); }
    Result SetPosition(int32_t k, double s) override { return Call("position", k, s); }
    Result SetLevel(int32_t k, double db) override { return Call("level", k, db); }
    Result Fade(int32_t k, double db, int32_t ms) override { return Call("fade", k, db, ms); }
    Result SetLoop(int32_t k, bool on) override { return Call("loop", k, on); }
    Result Go() override { return Call("go"); }
    Result Pause() override { return Call("pause"); }
    Result Resume() override { return Call("resume"); }
    Result FadeAll(int32_t ms) override { return Call("fadeall", ms); }
    Result UnloadAll() override { return Call("unloadall"); }
    Result Quit() override { return Call("quit"); }
    control::StatusSnapshot Status() override { return status; }

  private:
    template <typename... Args>
    Result Call(const char* name, Args... args) {
        std::ostringstream call;
        call << name;
        ((call << ' ' << args), ...);
        calls.push_back(call.str());
        return failWith.empty() ? Result::Ok() : Result::Fail(failWith);
    }
};
