// The checks every driver makes on a host's buffer request, before it
// allocates anything: what is refused, and which answer wins when a request
// is wrong in more than one way.
#include <gtest/gtest.h>

#include "drivers/DriverAnswers.h"

namespace {

using drivers::CheckBufferRequest;

void OnSwitch(int32_t, ASIOBool) {}

struct Request {
    ASIOBufferInfo infos[4] = {};
    ASIOCallbacks callbacks = {};

    Request() {
        callbacks.bufferSwitch = OnSwitch;
        for (int32_t k = 0; k < 4; ++k) {
            infos[k].isInput = ASIOFalse;
            infos[k].channelNum = k;
        }
    }
    ASIOError Check(int32_t numChannels, int32_t bufferSize = 256) const {
        return CheckBufferRequest(infos, numChannels, bufferSize, &callbacks, 4, 256);
    }
};

TEST(BufferRequest, TakesDistinctOutputsInAnyOrder) {
    Request r;
    r.infos[0].channelNum = 3;
    r.infos[3].channelNum = 0;
    EXPECT_EQ(r.Check(4), ASE_OK);
    EXPECT_EQ(r.Check(1), ASE_OK);
}

TEST(BufferRequest, RefusesMalformedRequests) {
    Request r;
    EXPECT_EQ(r.Check(0), ASE_InvalidParameter);
    EXPECT_EQ(r.Check(-1), ASE_InvalidParameter);
    EXPECT_EQ(r.Check(5), ASE_InvalidParameter);
    EXPECT_EQ(CheckBufferRequest(nullptr, 2, 256, &r.callbacks, 4, 256), ASE_InvalidParameter);
    EXPECT_EQ(CheckBufferRequest(r.infos, 2, 256, nullptr, 4, 256), ASE_InvalidParameter);
    ASIOCallbacks noSwitch = {};
    EXPECT_EQ(CheckBufferRequest(r.infos, 2, 256, &noSwitch, 4, 256), ASE_InvalidParameter);
    // A driver claiming more outputs than the check can track is refused,
    // not read past its table.
    EXPECT_EQ(CheckBufferRequest(r.infos, 2, 256, &r.callbacks, drivers::kMaxOutputs + 1, 256),
              ASE_InvalidParameter);
}

TEST(BufferRequest, RefusesChannelsThatAreNotFreeOutputs) {
    for (const int32_t bad : {-1, 4, 1000}) {
        Request r;
        r.infos[1].channelNum = bad;
        EXPECT_EQ(r.Check(2), ASE_InvalidParameter) << bad;
    }
    Request duplicate;
    duplicate.infos[2].channelNum = 0;
    EXPECT_EQ(duplicate.Check(3), ASE_InvalidParameter);
    // Only the entries counted are looked at.
    EXPECT_EQ(duplicate.Check(2), ASE_OK);

    Request input;
    input.infos[0].isInput = ASIOTrue;
    EXPECT_EQ(input.Check(1), ASE_InvalidParameter);
}

TEST(BufferRequest, SizeIsJudgedAfterTheShapeAndBeforeTheChannels) {
    Request r;
    r.infos[1].channelNum = 0;  // a duplicate
    EXPECT_EQ(r.Check(2, 128), ASE_InvalidMode);
    EXPECT_EQ(r.Check(9, 128), ASE_InvalidParameter);
    EXPECT_EQ(r.Check(2, 256), ASE_InvalidParameter);
}

}  // namespace
