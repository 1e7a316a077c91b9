// The answers to commands, and everything the player sends to a controller,
// formatted in one place: as text lines for the control stream and as OSC
// messages for the OSC server.
//
// Every command is answered by exactly one "ok" or "error: REASON" line, or
// one /cantabile/ok NAME or /cantabile/error REASON message, after whatever
// data it asked for. status sends first, one per channel and then the device:
//   text  channel K STATE ELAPSED TOTAL LEVEL LOOP "FILE"
//         device "NAME" running|paused
//   OSC   /cantabile/status  i K  s STATE  s FILE  f ELAPSED  f TOTAL  f LEVEL  i LOOP
//         /cantabile/device  s NAME  i RUNNING
// Subscribers receive /cantabile/state (K STATE FILE LEVEL LOOP) and
// /cantabile/device on every change, and /cantabile/position (K ELAPSED
// TOTAL) and /cantabile/meter (K LEFT RIGHT, peaks 0 to 1) for every loaded
// channel with each published snapshot.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "control/Command.h"
#include "control/CommandTarget.h"
#include "control/OscMessage.h"

namespace control {

struct Reply {
    bool ok = true;
    std::string verb;   // the command answered, when known
    std::string error;  // when !ok: why
    std::optional<StatusSnapshot> status;

    static Reply Done(Verb verb) { return {true, VerbName(verb), {}, std::nullopt}; }
    static Reply Refused(std::string reason) {
        return {false, {}, std::move(reason), std::nullopt};
    }
};

// The reply as text lines, each ending in '\n'.
std::string ReplyText(const Reply& reply);
std::vector<OscMessage> ReplyOsc(const Reply& reply);

// What subscribers receive; channel is the engine channel.
OscMessage StateMessage(int32_t channel, const ChannelStatus& status);
OscMessage PositionMessage(int32_t channel, const ChannelStatus& status);
OscMessage MeterMessage(int32_t channel, const ChannelStatus& status);
OscMessage DeviceMessage(const StatusSnapshot& snapshot);

}  // namespace control
