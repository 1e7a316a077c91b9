// Random datagrams into the OSC server's handler: through liblo's reader,
// the command checks, a fake target, the reply writer and, once something
// has subscribed, the publishing of a snapshot. Every packet must be
// answered or refused without reading or writing out of bounds.
#include <netinet/in.h>

#include <cstdint>

#include "control/Execute.h"
#include "control/OscServer.h"
#include "tests/support/FakeCommandTarget.h"

namespace {

FakeCommandTarget& Target() {
    static FakeCommandTarget target = [] {
        FakeCommandTarget t;
        t.status.device = "Fake card";
        t.status.channels[2] = {control::ChannelState::Playing, "/s/a.wav", 1, 4, -6, true, {}};
        return t;
    }();
    return target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Not started: replies are built but go nowhere.
    static control::OscServer server([](control::Request&& request) {
        request.reply(control::Execute(request.command, Target()));
        return true;
    });
    control::Peer from;
    from.address.ss_family = AF_INET;
    from.length = sizeof(sockaddr_in);
    Target().calls.clear();
    server.HandlePacket(data, size, from);
    if (server.SubscriberCount() > 0) server.Publish(Target().status);
    return 0;
}
