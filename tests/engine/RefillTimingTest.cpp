// How long a refill takes: a whole 44100 Hz stereo file is played through
// the engine on the fake card, and the refill time of every notification is
// read back from the "PT: " lines of the engine's log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/Sarabande.h"
#include "tests/engine/EngineRig.h"

namespace {

// One refill is logged, with its time, for every block heard over a whole
// file. The times are printed, not judged: speed belongs to the benchmarks.
TEST(RefillTiming, OneTimedRefillForEveryBlockOfAWholeFile) {
    EngineRig rig(ASIOSTInt32LSB, 512, 44100.0);  // the file's rate: played mapped
    const uint32_t blocks = 200;                  // about 21 s of audio
    const std::string path = rig.Wav("long.wav", WavLayout{}, 4608 * blocks);
    std::vector<int32_t> refills;
    {
        Sarabande engine(-1, nullptr);
        ASSERT_EQ(engine.Init(&rig.hwnd, nullptr, rig.dir.path().c_str()), 0);
        ASSERT_EQ(engine.LoadFile(0, path.c_str()), 0);
        ASSERT_EQ(engine.PlayChannel(0), 0);
        for (int i = 0;
             i < 9 * static_cast<int>(blocks + 8) && engine.ChannelState(0) != CHANNEL_TERMINATED;
             ++i) {
            rig.driver.Switch(i & 1);
            ASSERT_TRUE(engine.FlushNotifications());
        }
        EXPECT_EQ(engine.ChannelState(0), CHANNEL_TERMINATED);
        engine.Close();
    }
    const std::string log = rig.Log();
    for (size_t at = log.find("PT: "); at != std::string::npos; at = log.find("PT: ", at + 4))
        refills.push_back(std::atoi(log.c_str() + at + 4));
    ASSERT_EQ(refills.size(), blocks);  // one per block heard
    std::sort(refills.begin(), refills.end());
    const int32_t median = refills[refills.size() / 2];
    const int32_t worst = refills.back();
    std::printf("refills: %zu, median %d ms, worst %d ms\n", refills.size(), median, worst);
    RecordProperty("RefillMedianMs", median);
    RecordProperty("RefillWorstMs", worst);
}

}  // namespace
