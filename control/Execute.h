// The one function every command runs through, whichever way it arrived, and
// the request a transport hands to the front end's thread.
#pragma once

#include <functional>

#include "control/Command.h"
#include "control/CommandTarget.h"
#include "control/Reply.h"

namespace control {

// A command and where its reply goes. reply may be called on any thread and
// must not block for long (the OSC server's sends never wait).
struct Request {
    Command command;
    std::function<void(const Reply&)> reply;
};

// Runs the command against the target on the caller's thread. A target's
// reason is prefixed with the command's name. subscribe and unsubscribe are
// the OSC server's own; anywhere else they are refused.
Reply Execute(const Command& command, CommandTarget& target);

}  // namespace control
