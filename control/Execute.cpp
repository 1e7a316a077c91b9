// Execute: a command to the target operation that does it.
#include "control/Execute.h"

namespace control {

namespace {

Result Run(const Command& c, CommandTarget& target) {
    switch (c.verb) {
        case Verb::Load:
            return target.Load(c.channel, c.path);
        case Verb::Unload:
            return target.Unload(c.channel);
        case Verb::Play:
            return target.Play(c.channel);
        case Verb::Stop:
            return target.Stop(c.channel);
        case Verb::Restart:
            return target.Restart(c.channel);
        case Verb::Position:
            return target.SetPosition(c.channel, c.seconds);
        case Verb::Level:
            return target.SetLevel(c.channel, c.db);
        case Verb::Fade:
            return target.Fade(c.channel, c.db, c.ms);
        case Verb::Loop:
            return target.SetLoop(c.channel, c.on);
        case Verb::Go:
            return target.Go();
        case Verb::Pause:
            return target.Pause();
        case Verb::Resume:
            return target.Resume();
        case Verb::FadeAll:
            return target.FadeAll(c.ms);
        case Verb::UnloadAll:
            return target.UnloadAll();
        case Verb::Quit:
            return target.Quit();
        case Verb::Status:
            return Result::Ok();
        case Verb::Subscribe:
        case Verb::Unsubscribe:
            break;
    }
    return Result::Fail("only over OSC");
}

}  // namespace

Reply Execute(const Command& command, CommandTarget& target) {
    const Result result = Run(command, target);
    if (!result.ok) {
        const std::string reason = result.error.empty() ? "failed" : result.error;
        return Reply::Refused(std::string(VerbName(command.verb)) + ": " + reason);
    }
    Reply reply = Reply::Done(command.verb);
    if (command.verb == Verb::Status) reply.status = target.Status();
    return reply;
}

}  // namespace control
