// The checks every driver makes on a host's buffer request, before it
// allocates anything: what is refused, and which answer wins when a request
// is wrong in more than one way.
#include <gtest/gtest.h>

#include "drivers/DriverAnswers.h"

namespace {

using drivers::CheckBufferRequest;

void OnSwitch(int32_t, ASIOBool) {}

// Four outputs asked for in reverse order, entry `entry` changed to ask for
// `channel` (or an input). A driver claiming more outputs than the check can
// track is refused, not read past its table; only the entries counted are
// looked at; the size is judged after the count and before the channels.
TEST(BufferRequest, RefusesWhatIsNotASetOfDistinctOutputs) {
    const struct {
        const char* name;
        int32_t numChannels, bufferSize, outputs, entry, channel;
        bool input;
        ASIOError expected;
    } cases[] = {
        {"all four", 4, 256, 4, 0, 3, false, ASE_OK},
        {"one", 1, 256, 4, 0, 3, false, ASE_OK},
        {"no channel", 0, 256, 4, 0, 3, false, ASE_InvalidParameter},
        {"negative count", -1, 256, 4, 0, 3, false, ASE_InvalidParameter},
        {"more than the outputs", 5, 256, 4, 0, 3, false, ASE_InvalidParameter},
        {"too many outputs", 2, 256, drivers::kMaxOutputs + 1, 0, 3, false, ASE_InvalidParameter},
        {"channel -1", 2, 256, 4, 1, -1, false, ASE_InvalidParameter},
        {"channel 4", 2, 256, 4, 1, 4, false, ASE_InvalidParameter},
        {"channel 1000", 2, 256, 4, 1, 1000, false, ASE_InvalidParameter},
        {"an input", 1, 256, 4, 0, 3, true, ASE_InvalidParameter},
        {"a duplicate", 3, 256, 4, 2, 3, false, ASE_InvalidParameter},
        {"a duplicate not counted", 2, 256, 4, 2, 3, false, ASE_OK},
        {"size and duplicate", 2, 128, 4, 1, 3, false, ASE_InvalidMode},
        {"size and count", 9, 128, 4, 0, 3, false, ASE_InvalidParameter},
    };
    ASIOCallbacks callbacks = {};
    callbacks.bufferSwitch = OnSwitch;
    for (const auto& c : cases) {
        ASIOBufferInfo infos[4];
        for (int32_t k = 0; k < 4; ++k) infos[k] = {ASIOFalse, 3 - k, {}};
        infos[c.entry].channelNum = c.channel;
        infos[c.entry].isInput = c.input ? ASIOTrue : ASIOFalse;
        EXPECT_EQ(
            CheckBufferRequest(infos, c.numChannels, c.bufferSize, &callbacks, c.outputs, 256),
            c.expected)
            << c.name;
    }
    ASIOBufferInfo infos[1] = {{ASIOFalse, 0, {}}};
    ASIOCallbacks noSwitch = {};
    EXPECT_EQ(CheckBufferRequest(infos, 1, 256, &noSwitch, 4, 256), ASE_InvalidParameter);
    EXPECT_EQ(CheckBufferRequest(infos, 1, 256, nullptr, 4, 256), ASE_InvalidParameter);
    EXPECT_EQ(CheckBufferRequest(nullptr, 1, 256, &callbacks, 4, 256), ASE_InvalidParameter);
}

}  // namespace
