// The checks every driver makes on a host's buffer request, before it
// allocates anything: what is refused, and which answer wins when a request
// is wrong in more than one way.
#include <gtest/gtest.h>

#include <functional>

#include "drivers/DriverAnswers.h"

namespace {

using drivers::CheckBufferRequest;

void OnSwitch(int32_t, ASIOBool) {}

TEST(BufferRequest, RefusesWhatIsNotASetOfDistinctOutputs) {
    struct Request {
        ASIOBufferInfo infos[4] = {};
        ASIOCallbacks callbacks = {};
        int32_t numChannels = 4, bufferSize = 256, outputs = 4;
    };
    const struct {
        const char* name;
        std::function<void(Request&)> change;
        ASIOError expected;
    } cases[] = {
        {"all four", [](Request&) {}, ASE_OK},
        {"one", [](Request& r) { r.numChannels = 1; }, ASE_OK},
        {"out of order",
         [](Request& r) { std::swap(r.infos[0].channelNum, r.infos[3].channelNum); }, ASE_OK},
        {"no channel", [](Request& r) { r.numChannels = 0; }, ASE_InvalidParameter},
        {"negative count", [](Request& r) { r.numChannels = -1; }, ASE_InvalidParameter},
        {"more than the outputs", [](Request& r) { r.numChannels = 5; }, ASE_InvalidParameter},
        {"no switch", [](Request& r) { r.callbacks.bufferSwitch = nullptr; }, ASE_InvalidParameter},
        // A driver claiming more outputs than the check can track is refused,
        // not read past its table.
        {"too many outputs", [](Request& r) { r.outputs = drivers::kMaxOutputs + 1; },
         ASE_InvalidParameter},
        {"channel -1", [](Request& r) { r.infos[1].channelNum = -1; }, ASE_InvalidParameter},
        {"channel 4", [](Request& r) { r.infos[1].channelNum = 4; }, ASE_InvalidParameter},
        {"an input", [](Request& r) { r.infos[0].isInput = ASIOTrue; }, ASE_InvalidParameter},
        {"a duplicate", [](Request& r) { r.infos[2].channelNum = 0; }, ASE_InvalidParameter},
        // Only the entries counted are looked at.
        {"a duplicate not counted",
         [](Request& r) {
             r.infos[2].channelNum = 0;
             r.numChannels = 2;
         },
         ASE_OK},
        // The size is judged after the shape and before the channels.
        {"size and duplicate",
         [](Request& r) {
             r.infos[1].channelNum = 0;
             r.bufferSize = 128;
         },
         ASE_InvalidMode},
        {"size and count",
         [](Request& r) {
             r.numChannels = 9;
             r.bufferSize = 128;
         },
         ASE_InvalidParameter},
    };
    for (const auto& c : cases) {
        Request r;
        r.callbacks.bufferSwitch = OnSwitch;
        for (int32_t k = 0; k < 4; ++k) r.infos[k] = {ASIOFalse, k, {}};
        c.change(r);
        EXPECT_EQ(
            CheckBufferRequest(r.infos, r.numChannels, r.bufferSize, &r.callbacks, r.outputs, 256),
            c.expected)
            << c.name;
    }
    Request r;
    r.callbacks.bufferSwitch = OnSwitch;
    EXPECT_EQ(CheckBufferRequest(nullptr, 2, 256, &r.callbacks, 4, 256), ASE_InvalidParameter);
    EXPECT_EQ(CheckBufferRequest(r.infos, 2, 256, nullptr, 4, 256), ASE_InvalidParameter);
}

}  // namespace
