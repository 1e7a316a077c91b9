// Replies and subscriber messages, as text and as OSC.
#include "control/Reply.h"

#include <cstdio>

namespace control {

namespace {

std::string Address(const char* name) {
    return std::string(kOscPrefix) + name;
}

int32_t Row(int32_t channel) {
    return channel + 1;
}

}  // namespace

const char* StateName(ChannelState state) {
    static const char* const kNames[] = {"empty", "loaded", "playing", "stopped", "ended"};
    return kNames[static_cast<size_t>(state)];
}

std::string ReplyText(const Reply& reply) {
    std::string text;
    if (reply.status) {
        for (int32_t k = 0; k < kRows; ++k) {
            const ChannelStatus& channel = reply.status->channels[k];
            char line[128];
            std::snprintf(line, sizeof line, "channel %d %s %.3f %.3f %.1f %d ", Row(k),
                          StateName(channel.state), channel.elapsed, channel.total, channel.levelDb,
                          channel.loop ? 1 : 0);
            text += line + QuoteText(channel.file) + '\n';
        }
        text += "device " + QuoteText(reply.status->device) +
                (reply.status->running ? " running\n" : " paused\n");
    }
    if (reply.ok) return text + "ok\n";
    // One reply is one line, whatever a reason holds.
    std::string reason = reply.error;
    for (char& ch : reason) {
        if (ch == '\n' || ch == '\r') ch = ' ';
    }
    return text + "error: " + reason + '\n';
}

std::vector<OscMessage> ReplyOsc(const Reply& reply) {
    std::vector<OscMessage> messages;
    if (reply.status) {
        for (int32_t k = 0; k < kRows; ++k) {
            const ChannelStatus& channel = reply.status->channels[k];
            messages.push_back(
                {Address("status"),
                 {Row(k), StateName(channel.state), channel.file,
                  static_cast<float>(channel.elapsed), static_cast<float>(channel.total),
                  static_cast<float>(channel.levelDb), int32_t{channel.loop}}});
        }
        messages.push_back(DeviceMessage(*reply.status));
    }
    if (reply.ok) {
        messages.push_back({Address("ok"), {reply.verb}});
    } else {
        messages.push_back({Address("error"), {reply.error}});
    }
    return messages;
}

OscMessage StateMessage(int32_t channel, const ChannelStatus& status) {
    return {Address("state"),
            {Row(channel), StateName(status.state), status.file, static_cast<float>(status.levelDb),
             int32_t{status.loop}}};
}

OscMessage PositionMessage(int32_t channel, const ChannelStatus& status) {
    return {Address("position"),
            {Row(channel), static_cast<float>(status.elapsed), static_cast<float>(status.total)}};
}

OscMessage MeterMessage(int32_t channel, const ChannelStatus& status) {
    return {Address("meter"), {Row(channel), status.peak[0], status.peak[1]}};
}

OscMessage DeviceMessage(const StatusSnapshot& snapshot) {
    return {Address("device"), {snapshot.device, int32_t{snapshot.running}}};
}

}  // namespace control
