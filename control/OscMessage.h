// OSC messages as values, and their bytes through liblo: the one place that
// turns packets into commands and replies into packets, shared by the OSC
// server and its fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "control/Command.h"

namespace control {

// Every address the player answers to or sends from begins with this.
constexpr std::string_view kOscPrefix = "/cantabile/";

using OscValue = std::variant<int32_t, float, std::string>;

struct OscMessage {
    std::string path;
    std::vector<OscValue> args;
};

// One received datagram: a message /cantabile/NAME whose arguments are
// numbers (i, f, d, h, T, F) or strings (s, S), built into a command.
// Bundles are refused, as is anything liblo cannot read.
Parsed ParseOscPacket(const uint8_t* data, size_t size);

// The message's bytes, or none when liblo cannot build them.
std::vector<uint8_t> SerialiseOsc(const OscMessage& message);

}  // namespace control
