#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "streams/DecodeStream.h"
#include "tests/streams/LogCapture.h"
#include "tests/support/WavWriter.h"

namespace {

WavLayout Mono22() {
    WavLayout layout;
    layout.nChannels = 1;
    layout.nSamplesPerSec = 22050;
    return layout;
}

constexpr uint32_t kMonoBlock = 4608;  // 2304 frames of 2 bytes

// A decode stream over bytes kept alive by the fixture.
class DecodeStreamTest : public testing::Test {
  protected:
    void SetUp() override { CapturedLog().clear(); }

    DecodeStream& Make(const WavLayout& layout, uint32_t frames) {
        file_ = MakeWav(layout, PatternPcm(layout, frames));
        auto wave = std::make_unique<WaveFile>(file_.data(), static_cast<uint32_t>(file_.size()),
                                               "song.wav");
        EXPECT_TRUE(wave->Parse());
        wave_ = wave.get();
        stream_ = std::make_unique<DecodeStream>(std::move(wave), CaptureLog);
        EXPECT_TRUE(stream_->IsReady());
        CapturedLog().clear();
        return *stream_;
    }

    // The file's data bytes from block `block` on, `bytes` long, zeros past the data.
    std::vector<uint8_t> Expected(int32_t block, uint32_t blocks, uint32_t validBlocks) const {
        std::vector<uint8_t> out(blocks * stream_->cbDstBufSize, 0);
        const uint64_t from = static_cast<uint64_t>(block) * stream_->cbDstBufSize;
        uint64_t n = static_cast<uint64_t>(validBlocks) * stream_->cbDstBufSize;
        if (from + n > wave_->GetDataSize()) n = wave_->GetDataSize() - from;
        std::memcpy(out.data(), wave_->GetData() + from, n);
        return out;
    }

    std::vector<uint8_t> Deliver(uint32_t blocks, bool* end) {
        std::vector<uint8_t> out(blocks * stream_->cbDstBufSize, 0xEE);
        EXPECT_EQ(stream_->GetDecodedData(out.data(), static_cast<uint32_t>(out.size()),
                                          static_cast<int32_t>(blocks), end),
                  out.size());
        return out;
    }

    std::vector<uint8_t> file_;
    WaveFile* wave_ = nullptr;
    std::unique_ptr<DecodeStream> stream_;
};

TEST_F(DecodeStreamTest, StereoAt44100HasTheRingFiguresAndDescribesItself) {
    CapturedLog().clear();
    WavLayout layout;  // 44100 Hz stereo, 176400 bytes a second
    file_ = MakeWav(layout, PatternPcm(layout, 4608 * 10));
    auto wave =
        std::make_unique<WaveFile>(file_.data(), static_cast<uint32_t>(file_.size()), "song.wav");
    ASSERT_TRUE(wave->Parse());
    DecodeStream stream(std::move(wave), CaptureLog);
    ASSERT_TRUE(stream.IsReady());
    EXPECT_EQ(stream.cbDstBufSize, 18432u);
    EXPECT_EQ(stream.BufferSize, 73728u);
    EXPECT_EQ(stream.BufferPlayTime, 418u);
    EXPECT_EQ(stream.DstBufSizePlayTime, 104u);
    EXPECT_EQ(stream.dwBytesPerSec, 176400u);
    EXPECT_EQ(stream.SongPlayTime, 1044u);  // 184320 bytes
    EXPECT_EQ(stream.dwCuedMilisecs, 0u);
    EXPECT_EQ(
        CapturedLog(),
        "Prepare stream success!\n"
        "Format: PCM\n"
        "Src: bitrate: 1411 Kbits, AvgBytesPerSec: 176400, SrcReadSize: 18432, BlockAlign: 4\n"
        "Output: nChannels: 2, nSamplesPerSec: 44100, wBitsPerSample: 16, dwBytesPerSec: 176400\n"
        "BufferSize: 73728, BufferPlayTime: 418 ms, cbDstBufSize: 18432, DstBufSizePlayTime: 104 "
        "ms\n"
        "SongPlayTime: 0 Minutes, 1 Seconds [1044 ms], dwCuedMilisecs: 0, Cue out block: 10\n");
}

std::string SongLine(const std::string& log) {
    const size_t at = log.find("SongPlayTime: ");
    return at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
}

TEST_F(DecodeStreamTest, WholeSecondsRoundUpFrom501Milliseconds) {
    struct Case {
        uint32_t frames;  // stereo 44100: 176.4 bytes a ms
        const char* line;
    };
    for (const Case& c : {Case{66150, "0 Minutes, 1 Seconds [1500 ms]"},
                          Case{66195, "0 Minutes, 2 Seconds [1501 ms]"},
                          Case{44100 * 61 + 22050, "1 Minutes, 1 Seconds [61500 ms]"},
                          Case{44100 * 59 + 22100, "1 Minutes, 0 Seconds [59501 ms]"}}) {
        CapturedLog().clear();
        WavLayout layout;
        std::vector<uint8_t> bytes = MakeWav(layout, PatternPcm(layout, c.frames));
        auto wave = std::make_unique<WaveFile>(bytes.data(), static_cast<uint32_t>(bytes.size()));
        ASSERT_TRUE(wave->Parse());
        DecodeStream stream(std::move(wave), CaptureLog);
        EXPECT_EQ(SongLine(CapturedLog()).substr(14, std::strlen(c.line)), c.line);
    }
}

TEST_F(DecodeStreamTest, CueFiguresAppearInTheDescription) {
    struct Case {
        WavCue cue;
        uint32_t blocks;
        const char* line;
    };
    // Blocks of 104.4898 ms at 44100 bytes a second. The cued milliseconds are
    // the float block length times the cue-in, in float: 2550 blocks make
    // 266449 ms there (266448 in double).
    for (const Case& c : {Case{{10, 20},
                               30,
                               "SongPlayTime: 0 Minutes, 1 Seconds [1044 ms], dwCuedMilisecs: "
                               "1044, Cue out block: 20"},
                          Case{{2550, 0},
                               2551,
                               "SongPlayTime: 0 Minutes, 0 Seconds [104 ms], dwCuedMilisecs: "
                               "266449, Cue out block: 2551"}}) {
        WavLayout layout = Mono22();
        layout.cue = c.cue;
        file_ = MakeWav(layout, PatternPcm(layout, 2304 * c.blocks));
        auto wave = std::make_unique<WaveFile>(file_.data(), static_cast<uint32_t>(file_.size()));
        ASSERT_TRUE(wave->Parse());
        CapturedLog().clear();
        DecodeStream stream(std::move(wave), CaptureLog);
        EXPECT_EQ(SongLine(CapturedLog()), c.line);
    }
}

TEST_F(DecodeStreamTest, StreamOverAnUnparsedFileIsNotReady) {
    std::vector<uint8_t> junk(100, 0);
    DecodeStream stream(std::make_unique<WaveFile>(junk.data(), 100u), CaptureLog);
    EXPECT_FALSE(stream.IsReady());
    EXPECT_EQ(CapturedLog(), "");
    // Used anyway, it plays silence rather than reading through a missing format.
    std::vector<uint8_t> out(64, 0xEE);
    bool end = false;
    EXPECT_EQ(stream.GetDecodedData(out.data(), 64, 1, &end), 64u);
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0));
    EXPECT_TRUE(end);
}

TEST_F(DecodeStreamTest, BlocksComeInOrderAndTheTailIsPaddedWithZeros) {
    DecodeStream& s = Make(Mono22(), 2304 * 6 + 100);  // 6 full blocks and a partial one
    bool end = true;
    EXPECT_EQ(Deliver(4, &end), Expected(0, 4, 4));
    EXPECT_FALSE(end);
    EXPECT_EQ(wave_->nNextBlock, 4);
    EXPECT_EQ(CapturedLog(), "B 0, DLU: 18432, ");

    // 2 full blocks and a partial one remain: data, then zeros to the end.
    CapturedLog().clear();
    EXPECT_EQ(Deliver(4, &end), Expected(4, 4, 3));
    EXPECT_TRUE(end);
    EXPECT_EQ(wave_->nNextBlock, 8);
    EXPECT_EQ(CapturedLog(),
              "B 4, DLU: 9416, \nPCMFetchData - found file EOF! - bytes remaining: 9416\n\n");

    // The end flag stays up until cleared.
    bool again = false;
    Deliver(1, &again);
    EXPECT_TRUE(again);
    s.ClearEndFlag();
    EXPECT_FALSE(s.GetEndFlag());
}

TEST_F(DecodeStreamTest, EndIsRaisedWithTheLastFullBlock) {
    Make(Mono22(), 2304 * 5);
    bool end = true;
    Deliver(4, &end);
    EXPECT_FALSE(end);
    CapturedLog().clear();
    EXPECT_EQ(Deliver(1, &end), Expected(4, 1, 1));
    EXPECT_TRUE(end);
    EXPECT_EQ(CapturedLog(),
              "B 4, DLU: 4608, \nPCMFetchData - found file EOF! - bytes remaining: 4608\n\n");
    // Past the data: silence, logged as a read of nothing.
    CapturedLog().clear();
    EXPECT_EQ(Deliver(1, &end), std::vector<uint8_t>(kMonoBlock, 0));
    EXPECT_EQ(wave_->nNextBlock, 6);
    EXPECT_EQ(CapturedLog(),
              "B 5, \nPCMFetchData - srcreadsize <= 0, nNextBlock: 5\n\nDLU: 0, "
              "\nPCMFetchData - found file EOF! - bytes remaining: 0\n\n");
}

TEST_F(DecodeStreamTest, CueOutStopsDeliveryAtItsBlock) {
    WavLayout layout = Mono22();
    layout.cue = WavCue{0, 100};
    DecodeStream& s = Make(layout, 2304 * 104);
    EXPECT_EQ(wave_->Seek(98), 98);
    bool end = false;
    EXPECT_EQ(Deliver(4, &end), Expected(98, 4, 2));
    EXPECT_TRUE(end);
    EXPECT_EQ(wave_->nNextBlock, 100);
    EXPECT_EQ(CapturedLog(),
              "B 98, DLU: 9216, \nPCMFetchData - found file EOF! - bytes remaining: 9216\n\n");

    s.ClearEndFlag();
    CapturedLog().clear();
    EXPECT_EQ(Deliver(1, &end), std::vector<uint8_t>(kMonoBlock, 0));
    EXPECT_TRUE(end);
    EXPECT_EQ(wave_->nNextBlock, 100);
    EXPECT_EQ(CapturedLog(),
              "B 100, \nPCMFetchData - srcreadsize <= 0, nNextBlock: 100\n\nDLU: 0, "
              "\nPCMFetchData - found file EOF! - bytes remaining: 0\n\n");
}

TEST_F(DecodeStreamTest, RequestEndingExactlyAtTheCueOutIsDeliveredWhole) {
    WavLayout layout = Mono22();
    layout.cue = WavCue{0, 8};
    Make(layout, 2304 * 12);
    EXPECT_EQ(wave_->Seek(4), 4);
    bool end = true;
    EXPECT_EQ(Deliver(4, &end), Expected(4, 4, 4));
    EXPECT_FALSE(end);
    EXPECT_EQ(wave_->nNextBlock, 8);
}

TEST_F(DecodeStreamTest, BlockAboveTheEndIsASkip) {
    Make(Mono22(), 2304 * 5);
    wave_->nNextBlock = 9;
    bool end = false;
    EXPECT_EQ(Deliver(2, &end), std::vector<uint8_t>(2 * kMonoBlock, 0));
    EXPECT_TRUE(end);
    EXPECT_EQ(wave_->nNextBlock, 11);
    EXPECT_EQ(CapturedLog(),
              "B 9, \nGetDecodedData: Cue out was not detected earlier - must be a skip!\n");
}

TEST_F(DecodeStreamTest, BlockBeforeTheCueInIsMovedUpToIt) {
    WavLayout layout = Mono22();
    layout.cue = WavCue{2, 0};
    Make(layout, 2304 * 8);
    EXPECT_EQ(wave_->nNextBlock, 2);
    wave_->nNextBlock = 0;
    bool end = true;
    EXPECT_EQ(Deliver(1, &end), Expected(2, 1, 1));
    EXPECT_EQ(wave_->nNextBlock, 3);
    EXPECT_EQ(CapturedLog(), "B 0, \nGetDecodedData: nNextBlock < cueIn!\n\nDLU: 4608, ");
}

TEST_F(DecodeStreamTest, BytesShortOfAFrameAfterTheLastBlockDoNotOverrunIt) {
    // Two whole blocks and one stray byte: the reader's last fetch reports a
    // block and a byte, but only the block's bytes may be written.
    WavLayout layout = Mono22();
    std::vector<uint8_t> payload = PatternPcm(layout, 2304 * 2);
    payload.push_back(0x5A);
    file_ = MakeWav(layout, payload);
    auto wave = std::make_unique<WaveFile>(file_.data(), static_cast<uint32_t>(file_.size()));
    ASSERT_TRUE(wave->Parse());
    ASSERT_EQ(wave->GetBlockCount(), 2);
    DecodeStream stream(std::move(wave), CaptureLog);
    std::vector<uint8_t> out(3 * kMonoBlock, 0xEE);
    bool end = false;
    stream.GetDecodedData(out.data(), kMonoBlock, 1, &end);
    EXPECT_FALSE(end);
    stream.GetDecodedData(out.data() + kMonoBlock, kMonoBlock, 1, &end);
    EXPECT_TRUE(end);
    EXPECT_EQ(std::memcmp(out.data(), payload.data(), 2 * kMonoBlock), 0);
    EXPECT_EQ(out[2 * kMonoBlock], 0xEE);
}

TEST_F(DecodeStreamTest, NeverWritesPastTheBytesGiven) {
    Make(Mono22(), 2304 * 8);
    // A caller that asks for more blocks than its bytes hold gets only its bytes.
    std::vector<uint8_t> out(kMonoBlock + 16, 0xEE);
    stream_->GetDecodedData(out.data(), kMonoBlock, 4, nullptr);
    for (size_t i = kMonoBlock; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
}

}  // namespace
