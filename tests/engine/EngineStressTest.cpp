// Twelve channels loaded, played, paused, restarted, repositioned, levelled,
// faded and closed in a random order from the test's thread while a driver
// thread switches the card every few hundred microseconds. Meant for ThreadSanitizer: no race, no
// deadlock, no leak, and every command answers with one of its codes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/Sarabande.h"
#include "tests/support/EngineRig.h"

#if defined(__SANITIZE_THREAD__)
#define CANTABILE_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CANTABILE_UNDER_TSAN 1
#endif
#endif

namespace {

int StressSeconds() {
    if (const char* text = std::getenv("CANTABILE_STRESS_SECONDS")) {
        const int seconds = std::atoi(text);
        if (seconds > 0) return seconds;
    }
#ifdef CANTABILE_UNDER_TSAN
    return 20;
#else
    return 3;
#endif
}

TEST(EngineStress, TwelveChannelsUnderRandomCommandsWhileTheCardSwitches) {
    EngineRig rig(ASIOSTInt32LSB, 256);
    std::vector<std::string> files;
    for (int i = 0; i < 4; ++i) {
        WavLayout layout;
        layout.nChannels = static_cast<uint16_t>(1 + i % 2);
        layout.nSamplesPerSec = i < 2 ? 44100 : 22050;
        files.push_back(rig.Wav("f" + std::to_string(i) + ".wav", layout, 4608 * (3 + 4 * i)));
    }

    Sarabande engine(-1, nullptr);
    ASSERT_EQ(engine.Init(&rig.hwnd, nullptr, rig.dir.path().c_str()), 0);
    ASSERT_TRUE(ASIOStartPlay());

    std::atomic<bool> stop{false};
    std::atomic<int64_t> switches{0};
    std::thread card([&] {
        int32_t half = 0;
        while (!stop.load()) {
            rig.driver.Switch(half);
            half ^= 1;
            switches.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });

    const std::set<int32_t> loadCodes{SARABANDE_CHANNEL_IN_USE, SARABANDE_UNUSABLE_FILE,
                                      SARABANDE_BUILD_FAILED, SARABANDE_OPEN_FAILED};
    const std::set<int32_t> commandCodes{0, SARABANDE_WRONG_STATE, SARABANDE_BAD_CHANNEL,
                                         SARABANDE_PLAY_FAILED, SARABANDE_RESTART_FAILED};
    std::mt19937 random(12345);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(StressSeconds());
    int64_t commands = 0;
    while (std::chrono::steady_clock::now() < end) {
        const int32_t channel = static_cast<int32_t>(random() % 14) - 1;  // -1..12
        const std::string& file = files[random() % files.size()];
        int32_t result = 0;
        switch (random() % 10) {
            case 0:
                result = engine.LoadFile(channel, file.c_str());
                EXPECT_TRUE(result == channel || (channel < 0 && result >= 0 && result < 12) ||
                            loadCodes.count(result) ||
                            (channel >= 12 && result == SARABANDE_BAD_CHANNEL))
                    << result;
                break;
            case 1:
                result = engine.PlayChannel(channel);
                EXPECT_TRUE(commandCodes.count(result)) << result;
                break;
            case 2:
                result = engine.ReStartChannel(channel);
                EXPECT_TRUE(commandCodes.count(result)) << result;
                break;
            case 3: {
                const int32_t block = static_cast<int32_t>(random() % 30) - 2;
                result = engine.SetPosition(channel, block);
                EXPECT_TRUE(result >= 0 || result == SARABANDE_BAD_CHANNEL ||
                            result == SARABANDE_NEGATIVE_BLOCK)
                    << result;
                break;
            }
            case 4:
                result = engine.CloseChannelInstantly(channel);
                EXPECT_TRUE(result == 0 || result == SARABANDE_WRONG_STATE) << result;
                break;
            case 5:
                result = engine.GetChannelStatus(channel);
                EXPECT_TRUE(
                    (result >= CHANNEL_FREE && result <= CHANNEL_TERMINATED && result != 5) ||
                    result == SARABANDE_BAD_CHANNEL)
                    << result;
                break;
            case 6:
                result = random() % 2
                             ? engine.FadeChannel(channel, -static_cast<int32_t>(random() % 90),
                                                  static_cast<int32_t>(random() % 30), random() % 2)
                         : random() % 2 ? engine.SetChannelMute(channel, random() % 2)
                                        : engine.SetChannelLevel(
                                              channel, -static_cast<int32_t>(random() % 30));
                EXPECT_TRUE(result == 0 || result == SARABANDE_BAD_CHANNEL) << result;
                break;
            case 7:
                result = engine.PauseChannel(channel);
                EXPECT_TRUE(commandCodes.count(result)) << result;
                break;
            case 8: {
                const int32_t list[] = {channel, static_cast<int32_t>(random() % 12)};
                float left = 0.0f, right = 0.0f;
                engine.GetChannelMeter(channel, &left, &right);
                result = engine.PlayChannels(list, 2);
                EXPECT_TRUE(result <= 2 && (result >= 0 || result == SARABANDE_BAD_CHANNEL));
                break;
            }
            default:
                // Let the channels play for a while.
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 5));
                break;
        }
        ++commands;
    }
    // A fake card has no thread of its own to stop at shutdown: stop ours first.
    stop.store(true);
    card.join();
    engine.Close();
    EXPECT_GT(switches.load(), 100);
    EXPECT_GT(commands, 100);
    for (int32_t ch = 0; ch < kNumChannels; ++ch) EXPECT_EQ(engine.ChannelState(ch), CHANNEL_FREE);
}

}  // namespace
