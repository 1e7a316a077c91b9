// Twelve channels loaded, played, paused, restarted, repositioned, levelled,
// faded and closed at random while a driver thread switches the card every
// few hundred microseconds. Meant for ThreadSanitizer: no race, deadlock or
// leak, and every command answers with one of its codes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/EngineRig.h"

namespace {

int StressSeconds() {
    const char* text = std::getenv("CANTABILE_STRESS_SECONDS");
    const int seconds = text ? std::atoi(text) : 0;
#if defined(__SANITIZE_THREAD__)
    return seconds > 0 ? seconds : 20;
#else
    return seconds > 0 ? seconds : 3;
#endif
}

TEST(EngineStress, TwelveChannelsUnderRandomCommandsWhileTheCardSwitches) {
    EngineRig rig(ASIOSTInt32LSB, 256);
    std::vector<std::string> files;
    for (int i = 0; i < 4; ++i) {
        const WavLayout layout{.nChannels = static_cast<uint16_t>(1 + i % 2),
                               .nSamplesPerSec = i < 2 ? 44100u : 22050u};
        files.push_back(rig.Wav("f" + std::to_string(i) + ".wav", layout, 4608 * (3 + 4 * i)));
    }
    ASSERT_EQ(rig.Open(), 0);
    Sarabande& engine = *rig.engine;
    ASSERT_TRUE(ASIOStartPlay());

    std::atomic<bool> stop{false};
    std::atomic<int64_t> switches{0};
    std::thread card([&] {
        for (int32_t half = 0; !stop.load(); half ^= 1) {
            rig.driver.Switch(half);
            switches.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });

    std::mt19937 random(12345);
    int32_t channel = 0;
    float left = 0.0f, right = 0.0f;
    const auto any = [&](int32_t n) { return static_cast<int32_t>(random() % n); };
    const std::function<int32_t()> commands[] = {
        [&] { return engine.LoadFile(channel, files[any(4)].c_str()); },
        [&] { return engine.PlayChannel(channel); },
        [&] { return engine.ReStartChannel(channel); },
        [&] { return engine.SetPosition(channel, any(30) - 2); },
        [&] { return engine.CloseChannelInstantly(channel); },
        [&] { return engine.GetChannelStatus(channel); },
        [&] { return engine.FadeChannel(channel, -any(90), any(30), any(2)); },
        [&] { return engine.SetChannelMute(channel, any(2)); },
        [&] { return engine.SetChannelLevel(channel, -any(30)); },
        [&] { return engine.PauseChannel(channel); },
        [&] { return engine.GetChannelMeter(channel, &left, &right); },
        [&] {
            const int32_t list[] = {channel, any(12)};
            return engine.PlayChannels(list, 2);
        },
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(any(5)));  // let them play
            return 0;
        },
    };
    // A channel, a state, a block or a count; else one of the engine's codes.
    const std::set<int32_t> codes{
        SARABANDE_CHANNEL_IN_USE, SARABANDE_RESTART_FAILED, SARABANDE_OPEN_FAILED,
        SARABANDE_WRONG_STATE,    SARABANDE_BAD_CHANNEL,    SARABANDE_PLAY_FAILED,
        SARABANDE_NEGATIVE_BLOCK, SARABANDE_UNUSABLE_FILE,  SARABANDE_BUILD_FAILED};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(StressSeconds());
    int64_t count = 0;
    for (; std::chrono::steady_clock::now() < end; ++count) {
        channel = any(14) - 1;  // -1..12
        const size_t which = random() % std::size(commands);
        const int32_t result = commands[which]();
        EXPECT_TRUE((result >= 0 && result < 32) || codes.count(result))
            << "command " << which << " on channel " << channel << ": " << result;
    }
    // A fake card has no thread of its own to stop at shutdown: stop ours first.
    stop.store(true);
    card.join();
    engine.Close();
    EXPECT_GT(switches.load(), 100);
    EXPECT_GT(count, 100);
    for (int32_t ch = 0; ch < kNumChannels; ++ch) EXPECT_EQ(engine.ChannelState(ch), CHANNEL_FREE);
}

}  // namespace
