// A command target for tests and fuzzing: records each operation as a line
// with engine channels ("level 1 -6"), answers with a status snapshot the
// test sets, and fails every operation with failWith when that is set.
#pragma once

#include <cstdio>
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
    Result SetPosition(int32_t k, double s) override { return Call("position", k, Num(s)); }
    Result SetLevel(int32_t k, double db) override { return Call("level", k, Num(db)); }
    Result Fade(int32_t k, double db, int32_t ms) override {
        return Call("fade", k, Num(db) + " " + std::to_string(ms));
    }
    Result SetLoop(int32_t k, bool on) override { return Call("loop", k, on ? "1" : "0"); }
    Result Go() override { return Call("go"); }
    Result Pause() override { return Call("pause"); }
    Result Resume() override { return Call("resume"); }
    Result FadeAll(int32_t ms) override { return Call("fadeall", -1, std::to_string(ms)); }
    Result UnloadAll() override { return Call("unloadall"); }
    Result Quit() override { return Call("quit"); }
    control::StatusSnapshot Status() override { return status; }

  private:
    static std::string Num(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return text;
    }
    Result Call(const char* name, int32_t k = -1, const std::string& rest = "") {
        std::string call = name;
        if (k >= 0) call += " " + std::to_string(k);
        if (!rest.empty()) call += " " + rest;
        calls.push_back(call);
        return failWith.empty() ? Result::Ok() : Result::Fail(failWith);
    }
};
