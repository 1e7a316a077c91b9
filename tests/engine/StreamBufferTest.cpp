// The ring refill of one channel, driven by hand: the test switches the fake
// card, reads whether the channel's event fired, and calls OnNotification with
// a clock it controls, so that on-time, late and catch-up paths are chosen.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "engine/ChannelStates.h"
#include "engine/ChannelStream.h"
#include "platform/Event.h"
#include "streams/ChannelControl.h"
#include "streams/StreamBuffer.h"
#include "streams/WaveFile.h"
#include "tests/support/EngineRig.h"

namespace {

uint32_t gNow = 1000;
uint32_t FakeClock() {
    return gNow;
}

constexpr uint32_t kBlock = 18432;  // 4608 stereo frames
constexpr int32_t kFrames = 64;     // the card's buffer half
constexpr int32_t kSwitchesPerBlock = kBlock / (kFrames * 4);

class StreamBufferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CapturedLog().clear();
        gNow = 1000;
        for (auto& s : states) s = CHANNEL_FREE;
        ASSERT_TRUE(ASIOInitDrivers(nullptr, 0));
        ASSERT_TRUE(ASIOSetupBuffers(&rig.hwnd, nullptr));
    }
    void TearDown() override {
        stream.reset();
        ASIOShutdown();
    }

    // Loads a pattern file of `frames` 44100 Hz stereo frames on channel 0.
    void Load(uint32_t frames, WavLayout layout = WavLayout{}) {
        path = rig.Wav("song.wav", layout, frames);
        stream = std::make_unique<ChannelStream>(0, path.c_str(), 0);
        ASSERT_TRUE(stream->Build(params));
        EXPECT_FALSE(stream->Build(params)) << "a second build changes nothing";
        sb = stream->GetStreamBuffer();
        sb->SetClock(&FakeClock);
        states[0] = CHANNEL_LOADED;
    }
    void Start() {
        ASSERT_TRUE(stream->GetControl()->PlayIfIdle());
        states[0] = CHANNEL_PLAYING;
    }
    // Plays `n` buffer switches into the capture. True when the event fired.
    bool Switch(int32_t n) {
        bool fired = false;
        for (int32_t i = 0; i < n; ++i) {
            rig.driver.Switch(rig.half);
            capture.Take(rig.driver, 0, rig.half, false);
            rig.half ^= 1;
            fired = event.TryWait() || fired;
        }
        return fired;
    }
    // Serves a notification on time after every block until the channel
    // ends or `blocks` have played; OnNotification's last result.
    int32_t PlayOn(int32_t blocks) {
        int32_t result = 0;
        for (int32_t i = 0; i < blocks && result == 0; ++i) {
            EXPECT_TRUE(Switch(kSwitchesPerBlock)) << "block " << i;
            gNow += 104;
            result = sb->OnNotification();
        }
        return result;
    }
    uint32_t Cursor() {
        uint32_t pos = 0;
        sb->GetSoundBuffer()->GetAudioPosition(&pos);
        return pos;
    }
    int32_t NextBlock() { return stream->GetLink()->pWaveFile->nNextBlock; }

    EngineRig rig;
    platform::Event event;
    std::atomic<int32_t> states[kNumChannels];
    PipelineParams params{&event, states, &ASIOCreateSoundBuffer, &ASIOReleaseSoundBuffer,
                          &CaptureLog};
    std::string path;
    std::unique_ptr<ChannelStream> stream;
    StreamBuffer* sb = nullptr;
    PairCapture capture;
};

// The card runs `behind` blocks (and ten switches) past a late refill's block
// end. One or two behind, the refill fills two or three blocks and the file
// goes on without a gap; three behind, the cursor is back at the first slot:
// the ring restarts, and meanwhile the cursor heard the stale start of block 0.
class LateRefills : public StreamBufferTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(LateRefills, CatchUpOrResetAndTheOutputShowsExactlyWhatWasHeard) {
    const int32_t behind = GetParam();
    const uint32_t frames = 4608 * 10;
    Load(frames);
    Start();
    ASSERT_TRUE(Switch(kSwitchesPerBlock));
    Switch(behind * kSwitchesPerBlock + 10);
    gNow += 1000;
    EXPECT_EQ(sb->OnNotification(), 0);
    const std::string& log = CapturedLog();
    EXPECT_NE(log.find("Chn: 0, TSL: 1000, "), std::string::npos);  // since the start
    EXPECT_EQ(log.find("bufs behind: " + std::to_string(behind + 1) + ", ") != std::string::npos,
              behind == 1 || behind == 2);
    EXPECT_EQ(log.find("Had to reset buffer!\n") != std::string::npos, behind == 3);
    EXPECT_EQ(NextBlock(), 5 + behind);
    EXPECT_TRUE(behind != 3 || Cursor() == 0u) << Cursor();
    EXPECT_EQ(PlayOn(12), 8);
    EXPECT_NE(log.find("by bufcount: 1044, "), std::string::npos);  // ten blocks, late or not
    EXPECT_NE(log.find("a-r: " + std::to_string(4 + 104 * behind) + ", "), log.npos);  // grows
    EXPECT_EQ(states[0], CHANNEL_TERMINATED);
    EXPECT_FALSE(sb->IsPlaying());
    Switch(2 * kSwitchesPerBlock);
    if (behind < 3) {
        ExpectPattern(capture, 0, 0, frames);
    } else {
        const uint32_t stale = 4 * 4608;
        ExpectPattern(capture, 0, 0, stale, false);
        ExpectPattern(capture, stale, 0, 10 * kFrames, false);
        ExpectPattern(capture, stale + 10 * kFrames, stale, frames);
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, LateRefills, ::testing::Values(0, 1, 2, 3),
                         [](const auto& info) { return "Behind" + std::to_string(info.param); });

TEST_F(StreamBufferTest, PauseAndPlayMoveTheClockAndLoseOrRepeatNothing) {
    const uint32_t frames = 4608 * 12;
    Load(frames);
    Start();
    Switch(kSwitchesPerBlock / 2);
    gNow += 50;
    sb->Pause();
    EXPECT_FALSE(sb->IsPlaying());
    const uint32_t startBefore = sb->GetStartTime();
    Switch(5);  // a stopped buffer is not played
    capture.left.resize(capture.left.size() - 5 * kFrames);
    capture.right.resize(capture.right.size() - 5 * kFrames);
    EXPECT_EQ(sb->OnNotification(), 0);  // while paused: ignored
    gNow += 3000;
    ASSERT_TRUE(stream->GetControl()->PlayIfIdle());
    EXPECT_EQ(sb->GetStartTime(), startBefore + 3000);
    EXPECT_FALSE(stream->GetControl()->PlayIfIdle());  // already playing: nothing changes
    // The notification armed before the pause goes on counting from there.
    EXPECT_FALSE(Switch(kSwitchesPerBlock - kSwitchesPerBlock / 2 - 1));
    EXPECT_TRUE(Switch(1));
    // Paused before that notification is served: the resume raises it again.
    sb->Pause();
    EXPECT_EQ(sb->OnNotification(), 0);
    EXPECT_FALSE(event.TryWait());
    ASSERT_TRUE(sb->Play());
    EXPECT_TRUE(event.TryWait());
    // Paused right after the refill has armed again: nothing was missed.
    gNow += 104;
    EXPECT_EQ(sb->OnNotification(), 0);
    sb->Pause();
    EXPECT_EQ(sb->OnNotification(), 0);
    ASSERT_TRUE(sb->Play());
    EXPECT_FALSE(event.TryWait());
    ASSERT_TRUE(Switch(kSwitchesPerBlock));
    for (int i = 0; i < 6; ++i) {
        gNow += 104;
        EXPECT_EQ(sb->OnNotification(), 0);
        ASSERT_TRUE(Switch(kSwitchesPerBlock));
    }
    ExpectPattern(capture, 0, 0, static_cast<uint32_t>(capture.left.size()));
}

// Looping once the end is in the ring: closing plays on, paused stays paused.
TEST_F(StreamBufferTest, ALoopTurnedOnWithTheEndInTheRingPlaysOnAndLeavesAPauseAlone) {
    for (const bool paused : {false, true}) {
        Load(4608 * 6);
        capture = PairCapture{};
        Start();
        EXPECT_EQ(PlayOn(2), 0);
        ASSERT_EQ(states[0], CHANNEL_CLOSING);
        if (paused) sb->Pause();
        if (paused) states[0] = CHANNEL_LOADED;
        sb->SetLooping(true);
        EXPECT_EQ(states[0], paused ? CHANNEL_LOADED : CHANNEL_PLAYING) << paused;
        EXPECT_TRUE(!paused || sb->Play());
        states[0] = CHANNEL_PLAYING;
        EXPECT_EQ(PlayOn(8), 0);
        ExpectPattern(capture, 0, 0, 4608 * 6, false);
        ExpectPattern(capture, 4608 * 6, 0, 4608 * 4);
    }
}

TEST_F(StreamBufferTest, AStaleSignalAfterARepositionDoesNotOverwriteUnheardBlocks) {
    const uint32_t frames = 4608 * 20;
    Load(frames);
    Start();
    ASSERT_TRUE(Switch(kSwitchesPerBlock));  // signalled, not yet served
    EXPECT_EQ(sb->SetPosition(10, true), 10);
    EXPECT_EQ(states[0], CHANNEL_PLAYING);
    const size_t at = capture.left.size();
    Switch(3);
    EXPECT_EQ(sb->OnNotification(), 0);  // the old signal
    EXPECT_EQ(NextBlock(), 14);          // nothing was refilled
    EXPECT_FALSE(Switch(kSwitchesPerBlock - 4));
    EXPECT_TRUE(Switch(1));  // still armed for the end of block 10
    EXPECT_EQ(sb->OnNotification(), 0);
    Switch(2 * kSwitchesPerBlock);
    ExpectPattern(capture, at, 10 * 4608,
                  static_cast<uint32_t>(10 * 4608 + capture.left.size() - at));
}

}  // namespace
