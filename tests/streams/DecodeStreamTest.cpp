#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "streams/DecodeStream.h"
#include "streams/SoundFile.h"
#include "streams/SoundFileStream.h"
#include "tests/support/EngineRig.h"

namespace {

WavLayout Mono22(WavCue cue = {}) {
    WavLayout layout{.nChannels = 1, .nSamplesPerSec = 22050};
    if (cue.nCueIn || cue.nCueOut) layout.cue = cue;
    return layout;
}

constexpr uint32_t kMonoBlock = 4608;  // 2304 frames of 2 bytes

// A decode stream over bytes it keeps alive.
struct Decoder {
    Decoder(const WavLayout& layout, uint32_t frames)
        : Decoder(MakeWav(layout, PatternPcm(layout, frames))) {}
    explicit Decoder(std::vector<uint8_t> bytes) : file(std::move(bytes)) {
        auto parsed =
            std::make_unique<WaveFile>(file.data(), static_cast<uint32_t>(file.size()), "song.wav");
        EXPECT_TRUE(parsed->Parse());
        wave = parsed.get();
        CapturedLog().clear();
        stream = std::make_unique<DecodeStream>(std::move(parsed), CaptureLog);
        EXPECT_TRUE(stream->IsReady());
    }
    // `blocks` blocks from the stream, in a buffer of exactly their size.
    std::vector<uint8_t> Deliver(uint32_t blocks, bool* end) {
        std::vector<uint8_t> out(blocks * stream->cbDstBufSize, 0xEE);
        EXPECT_EQ(stream->GetDecodedData(out.data(), static_cast<uint32_t>(out.size()),
                                         static_cast<int32_t>(blocks), end),
                  out.size());
        return out;
    }
    // The file's data from block `block` on, `valid` blocks of it at most,
    // then zeros to `blocks` blocks.
    std::vector<uint8_t> Expected(int32_t block, uint32_t blocks, uint32_t valid) const {
        std::vector<uint8_t> out(blocks * stream->cbDstBufSize, 0);
        const uint64_t from = static_cast<uint64_t>(block) * stream->cbDstBufSize;
        uint64_t n = static_cast<uint64_t>(valid) * stream->cbDstBufSize;
        if (from + n > wave->GetDataSize()) n = wave->GetDataSize() - from;
        if (n) std::memcpy(out.data(), wave->GetData() + from, n);
        return out;
    }

    std::vector<uint8_t> file;
    WaveFile* wave = nullptr;
    std::unique_ptr<DecodeStream> stream;
};

// Whole seconds round up from 501 ms; the cued milliseconds are the float
// block length times the cue-in, in float: 2550 blocks of 104.4898 ms make
// 266449 ms there (266448 in double).
TEST(DecodeStreamTest, TheSongLineRoundsSecondsAndCountsTheCuedTime) {
    const struct {
        WavLayout layout;
        uint32_t frames;
        const char* line;
    } cases[] = {
        {WavLayout{}, 66150, "0 Minutes, 1 Seconds [1500 ms], dwCuedMilisecs: 0"},
        {WavLayout{}, 66195, "0 Minutes, 2 Seconds [1501 ms]"},
        {WavLayout{}, 44100 * 59 + 22100, "1 Minutes, 0 Seconds [59501 ms]"},
        {Mono22({10, 20}), 2304 * 30,
         "0 Minutes, 1 Seconds [1044 ms], dwCuedMilisecs: 1044, Cue out block: 20\n"},
        {Mono22({2550, 0}), 2304 * 2551,
         "0 Minutes, 0 Seconds [104 ms], dwCuedMilisecs: 266449, Cue out block: 2551\n"},
    };
    for (const auto& c : cases) {
        Decoder d(c.layout, c.frames);
        EXPECT_NE(CapturedLog().find(std::string("SongPlayTime: ") + c.line), std::string::npos)
            << c.line << "\n"
            << CapturedLog();
    }
}

// One delivery after a seek (or a block set by hand, the reader left where it
// was) and some blocks delivered before: the bytes, the end flag, the next
// block and the log.
struct Delivery {
    const char* name;
    int32_t cueIn, cueOut;
    uint32_t frames;
    int32_t seek;  // -1: none
    int32_t set;   // -1: none; else nNextBlock by hand
    uint32_t before, blocks;
    int32_t dataBlock;
    uint32_t validBlocks;
    bool end;
    int32_t next;
    std::string log;
};

const std::string kEof = "\nPCMFetchData - found file EOF! - bytes remaining: ";
const std::string kNothing = "\nPCMFetchData - srcreadsize <= 0, nNextBlock: ";

const Delivery kDeliveries[] = {
    {"TailPaddedWithZeros", 0, 0, 2304 * 6 + 100, -1, -1, 4, 4, 4, 3, true, 8,
     "B 4, DLU: 9416, " + kEof + "9416\n\n"},
    {"PastTheData", 0, 0, 2304 * 5, -1, -1, 5, 1, 0, 0, true, 6,
     "B 5, " + kNothing + "5\n\nDLU: 0, " + kEof + "0\n\n"},
    {"AtTheCueOut", 0, 100, 2304 * 104, 98, -1, 4, 1, 0, 0, true, 100,
     "B 100, " + kNothing + "100\n\nDLU: 0, " + kEof + "0\n\n"},
    {"EndingExactlyAtTheCueOut", 0, 8, 2304 * 12, 4, -1, 0, 4, 4, 4, false, 8, "B 4, DLU: 18432, "},
    {"AboveTheEndIsASkip", 0, 0, 2304 * 5, -1, 9, 0, 2, 0, 0, true, 11,
     "B 9, \nGetDecodedData: Cue out was not detected earlier - must be a skip!\n"},
    {"BeforeTheCueInMovesUpToIt", 2, 0, 2304 * 8, -1, 0, 0, 1, 2, 1, false, 3,
     "B 0, \nGetDecodedData: nNextBlock < cueIn!\n\nDLU: 4608, "},
};

class Deliveries : public testing::TestWithParam<Delivery> {};

TEST_P(Deliveries, BringTheirBlocksEndFlagAndLog) {
    const Delivery& c = GetParam();
    Decoder d(Mono22({c.cueIn, c.cueOut}), c.frames);
    EXPECT_TRUE(c.seek < 0 || d.wave->Seek(c.seek) == c.seek) << c.seek;
    if (c.set >= 0) d.wave->nNextBlock = c.set;
    bool end = !c.end;
    if (c.before) d.Deliver(c.before, &end);
    CapturedLog().clear();
    EXPECT_EQ(d.Deliver(c.blocks, &end), d.Expected(c.dataBlock, c.blocks, c.validBlocks));
    EXPECT_EQ(end, c.end);
    EXPECT_EQ(d.wave->nNextBlock, c.next);
    EXPECT_EQ(CapturedLog(), c.log);
    // The end flag stays up until cleared.
    EXPECT_EQ(d.stream->GetEndFlag(), c.end);
    d.stream->ClearEndFlag();
    EXPECT_FALSE(d.stream->GetEndFlag());
}

INSTANTIATE_TEST_SUITE_P(Blocks, Deliveries, testing::ValuesIn(kDeliveries),
                         [](const auto& info) { return std::string(info.param.name); });

// A loop turned on after whole blocks went out goes on from the next block,
// frame by frame, round the file with no seam and no end. Turned off, the
// file ends, and is played out once the ring holds only the silence after it.
TEST(DecodeStreamTest, ALoopTurnedOnMidwayGoesOnWithoutASeamAndTurnedOffPlaysOut) {
    Decoder d(Mono22(), 2304 * 2 + 100);
    bool end = true;
    EXPECT_EQ(d.Deliver(1, &end), d.Expected(0, 1, 1));
    EXPECT_EQ(CapturedLog().find("Loop, "), std::string::npos);
    d.stream->SetLooping(true);
    const uint8_t* data = d.wave->GetData();
    std::vector<uint8_t> expected(data + kMonoBlock, data + d.wave->GetDataSize());
    expected.insert(expected.end(), data, data + 2 * kMonoBlock - expected.size());
    EXPECT_EQ(d.Deliver(2, &end), expected);
    EXPECT_FALSE(end);
    EXPECT_NE(CapturedLog().find("Loop, "), std::string::npos);  // where it came round
    d.stream->SetLooping(false);
    for (int i = 0; i < 3 && !end; ++i) d.Deliver(1, &end);
    ASSERT_TRUE(end);
    std::vector<uint8_t> silence(kMonoBlock);
    int silent = 0;
    for (; silent < 8 && !d.stream->PlayedOut(); ++silent) d.stream->DeliverSilence(silence.data());
    EXPECT_EQ(silent, 4);
}

// Two whole blocks and one stray byte: the reader's last fetch reports a
// block and a byte, but only the block's bytes may be written; nor does a
// caller that asks for more blocks than its bytes hold get more than them.
TEST(DecodeStreamTest, NeverWritesPastTheBytesGiven) {
    WavLayout layout = Mono22();
    std::vector<uint8_t> payload = PatternPcm(layout, 2304 * 2);
    payload.push_back(0x5A);
    Decoder d(MakeWav(layout, payload));
    ASSERT_EQ(d.wave->GetBlockCount(), 2);
    std::vector<uint8_t> out(3 * kMonoBlock, 0xEE);
    bool end = false;
    d.stream->GetDecodedData(out.data(), kMonoBlock, 1, &end);
    EXPECT_FALSE(end);
    d.stream->GetDecodedData(out.data() + kMonoBlock, kMonoBlock, 1, &end);
    EXPECT_TRUE(end);
    EXPECT_EQ(std::memcmp(out.data(), payload.data(), 2 * kMonoBlock), 0);
    EXPECT_EQ(out[2 * kMonoBlock], 0xEE);

    Decoder longer(Mono22(), 2304 * 8);
    std::vector<uint8_t> small(kMonoBlock + 16, 0xEE);
    longer.stream->GetDecodedData(small.data(), kMonoBlock, 4, nullptr);
    for (size_t i = kMonoBlock; i < small.size(); ++i) ASSERT_EQ(small[i], 0xEE) << i;
}

}  // namespace

// Float samples reach 32-bit memory rounded to full scale, held to its range;
// NaN is silence.
TEST(SoundFileTest, FloatSamplesAreRoundedHeldToTheRangeAndNaNIsSilent) {
    const float in[] = {std::nanf(""), 0.25f, 2.0f, -3.0f};
    const auto* raw = reinterpret_cast<const uint8_t*>(in);
    const std::vector<uint8_t> bytes =
        MakeWav({.wFormatTag = 3, .nChannels = 1, .wBitsPerSample = 32}, {raw, raw + sizeof in});
    SoundFile file;
    ASSERT_TRUE(file.OpenBytes(bytes.data(), bytes.size())) << file.GetRefusal();
    int32_t out[4] = {7, 7, 7, 7};
    ASSERT_EQ(file.ReadInt(out, 4), 4u);
    EXPECT_EQ(std::vector<int32_t>(out, out + 4),
              (std::vector<int32_t>{0, 1 << 29, INT32_MAX, INT32_MIN}));
}

TEST(SoundFileTest, AFileNeverOpenedReadsNothing) {
    SoundFile f;
    EXPECT_EQ(f.ReadShort(nullptr, 4) + f.ReadInt(nullptr, 4) + f.ReadFloat(nullptr, 4), 0u);
    EXPECT_FALSE(f.OpenBytes(reinterpret_cast<const uint8_t*>("R"), 1));
    EXPECT_STRNE(f.GetRefusal(), "an empty file");  // a byte is not nothing
}

// A converted loop's next frame stays in its range while the converter holds a seam.
TEST(SoundFileStreamTest, AConvertedLoopReportsItsFramesWithinTheRangeAcrossTheSeams) {
    const WavLayout layout{.nChannels = 1};
    for (const int64_t frames : {3000, 7}) {  // and a loop shorter than the lag
        const std::vector<uint8_t> bytes = MakeWav(layout, PatternPcm(layout, frames));
        SoundFileStream stream(bytes.data(), bytes.size(), "loop.wav", 48000, true, nullptr);
        ASSERT_TRUE(stream.IsReady());
        stream.SetLooping(true);
        std::vector<uint8_t> block(stream.cbDstBufSize);
        for (int i = 0; i < 40; ++i) {
            stream.GetDecodedData(block.data(), stream.cbDstBufSize, 1, nullptr);
            ASSERT_TRUE(stream.NextFrame() >= 0 && stream.NextFrame() < frames) << frames;
        }
    }
}
