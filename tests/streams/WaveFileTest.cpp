#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <memory>
#include <vector>

#include "streams/WaveFile.h"
#include "tests/support/WavWriter.h"

namespace {

// Parses bytes held in an exact-size heap copy, so that a read past the end
// shows up under the address sanitizer.
struct Parsed {
    std::unique_ptr<uint8_t[]> bytes;
    std::unique_ptr<WaveFile> wave;
    bool ok = false;
    uint32_t DataOffset() const { return static_cast<uint32_t>(wave->GetData() - bytes.get()); }
};

Parsed ParseBytes(const std::vector<uint8_t>& in) {
    Parsed p;
    p.bytes.reset(new uint8_t[in.size() ? in.size() : 1]);
    if (!in.empty()) std::memcpy(p.bytes.get(), in.data(), in.size());
    p.wave = std::make_unique<WaveFile>(p.bytes.get(), static_cast<uint32_t>(in.size()), "t.wav");
    p.ok = p.wave->Parse();
    return p;
}

const WavLayout kMono22{.nChannels = 1, .nSamplesPerSec = 22050};

WavChunk Filler(const char* id, size_t bytes, uint8_t value = 0) {
    return WavChunk{id, std::vector<uint8_t>(bytes, value)};
}

// The mono 22050 Hz layout with a JUNK chunk that puts the data id at `offset`.
WavLayout DataIdAt(uint32_t offset) {
    WavLayout l = kMono22;
    l.extraChunks.push_back(Filler("JUNK", offset - 36 - 8));
    return l;
}

struct AcceptCase {
    const char* name;
    WavLayout layout;
    uint32_t dataOffset;  // of the payload
    uint32_t framesPerBlock;
    uint32_t blockSize;
};

class AcceptedHeader : public testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptedHeader, FindsTheDataAndTheBlockGeometry) {
    const AcceptCase& c = GetParam();
    const Parsed p = ParseBytes(MakeWav(c.layout, PatternPcm(c.layout, 10000)));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.DataOffset(), c.dataOffset);
    EXPECT_EQ(p.wave->GetDataSize(), 10000u * c.layout.BlockAlign());
    EXPECT_EQ(p.wave->GetReader()->GetFramesPerBlock(), c.framesPerBlock);
    EXPECT_EQ(p.wave->GetBlockSize(), c.blockSize);
    EXPECT_EQ(p.wave->GetBlockCount(),
              static_cast<int32_t>((10000 + c.framesPerBlock - 1) / c.framesPerBlock));
    // A zero byte rate is taken as block align x rate.
    const uint32_t avg = c.layout.AvgBytesPerSec();
    EXPECT_EQ(p.wave->GetFormat()->nAvgBytesPerSec,
              avg ? avg : c.layout.BlockAlign() * c.layout.nSamplesPerSec);
    EXPECT_EQ(p.wave->DerivedAvgBytesPerSec(), avg == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, AcceptedHeader,
    testing::Values(
        AcceptCase{"Canonical", {}, 44, 4608, 18432},
        AcceptCase{"FormatWithCbSize", {.bWithCbSize = true}, 46, 4608, 18432},
        AcceptCase{
            "ListBeforeData", {.extraChunks = {Filler("LIST", 26, 'x')}}, 44 + 8 + 26, 4608, 18432},
        AcceptCase{"Rate32000", {.nSamplesPerSec = 32000}, 44, 2304, 9216},
        AcceptCase{"Mono22050", kMono22, 44, 2304, 4608},
        AcceptCase{"DataIdAtLastOffset", DataIdAt(2084), 2084 + 8, 2304, 4608},
        AcceptCase{"AvgBytesZero", {.nAvgBytesPerSec = 0}, 44, 4608, 18432}),
    [](const testing::TestParamInfo<AcceptCase>& info) { return info.param.name; });

struct RefuseCase {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* reason;  // the words a user is shown
};

class RefusedHeader : public testing::TestWithParam<RefuseCase> {};

TEST_P(RefusedHeader, IsRefusedWithItsReason) {
    const Parsed p = ParseBytes(GetParam().bytes);
    EXPECT_FALSE(p.ok);
    EXPECT_STREQ(p.wave->RefusalReason(), GetParam().reason);
}

std::vector<uint8_t> Edited(const WavLayout& l) {
    return MakeWav(l, std::vector<uint8_t>(4096, 1));
}

std::vector<uint8_t> Format(uint16_t tag, uint16_t bits, uint32_t rate = 44100,
                            uint16_t channels = 2) {
    return Edited(
        {.wFormatTag = tag, .nChannels = channels, .nSamplesPerSec = rate, .wBitsPerSample = bits});
}

// A JUNK chunk first: offset 20 holds zeros, whatever follows.
std::vector<uint8_t> FormatNotFirst() {
    std::vector<uint8_t> out;
    PutId(out, "RIFF");
    PutU32(out, 0);
    PutId(out, "WAVE");
    PutId(out, "JUNK");
    PutU32(out, 16);
    out.resize(out.size() + 16, 0);
    const std::vector<uint8_t> real = MakeWav({}, PatternPcm({}, 100));
    out.insert(out.end(), real.begin() + 12, real.end());
    return out;
}

// The first `n` bytes of a canonical file, with `id` as its first four.
std::vector<uint8_t> Canonical(size_t n = SIZE_MAX, const char* id = "RIFF") {
    std::vector<uint8_t> b = MakeWav({}, PatternPcm({}, 100));
    std::memcpy(b.data(), id, 4);
    b.resize(std::min(n, b.size()));
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, RefusedHeader,
    testing::Values(
        RefuseCase{"EightBit", Format(1, 8), "8-bit samples; only 16-bit PCM is played"},
        RefuseCase{"Float", Format(3, 32), "not PCM (format 3); only 16-bit PCM is played"},
        RefuseCase{"Rate22049", Format(1, 16, 22049), "22049 Hz; 22050 Hz or more is played"},
        RefuseCase{"NotRiff", Canonical(SIZE_MAX, "RIFX"), "not a WAV file (no RIFF header)"},
        RefuseCase{"FormatNotFirst", FormatNotFirst(),
                   "not PCM (format 0); only 16-bit PCM is played"},
        RefuseCase{"DataIdPastSearch", Edited(DataIdAt(2086)), "no data chunk"},
        RefuseCase{"DataSizeZero", Edited({.dataSizeField = 0}), "an empty data chunk"},
        RefuseCase{"BlockAlignZero", Edited({.nBlockAlign = 0, .nAvgBytesPerSec = 176400}),
                   "a broken format chunk"},
        RefuseCase{"ChannelsZero", Format(1, 16, 44100, 0), "a broken format chunk"},
        RefuseCase{"ThreeChannels", Format(1, 16, 44100, 3),
                   "3 channels: a channel plays a mono or stereo file"},
        RefuseCase{"AvgBytesZeroAndAlignTimesRateOverflows",
                   Edited({.nSamplesPerSec = 65600, .nBlockAlign = 0xFFFF, .nAvgBytesPerSec = 0}),
                   "a broken format chunk"},
        RefuseCase{"ChannelsTimesRateOverflows", Format(1, 16, 0xFFFFFFF0u, 2),
                   "a broken format chunk"},
        RefuseCase{"ShorterThanTheFormat", Canonical(35), "too short for a WAV header"},
        RefuseCase{"DataIdWithoutSize", Canonical(40), "no data chunk"},
        RefuseCase{"SizeWithoutPayload", Canonical(44), "an empty data chunk"}),
    [](const testing::TestParamInfo<RefuseCase>& info) { return info.param.name; });

// Every truncation, the last bytes of the data one by one among them.
TEST(WaveFileParse, EveryTruncationIsRefusedOrKeptInsideTheBytes) {
    WavLayout l = kMono22;
    l.cue = WavCue{1, 2};
    l.extraChunks.push_back(Filler("LIST", 30, 'q'));
    const std::vector<uint8_t> whole = MakeWav(l, PatternPcm(l, 5000));
    for (size_t n = 0; n <= whole.size(); n += (n < 200 || n + 200 > whole.size() ? 1 : 997)) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        const Parsed p = ParseBytes(part);
        if (!p.ok) continue;
        EXPECT_LE(p.DataOffset() + p.wave->GetDataSize(), n) << n;
        const uint8_t* block = nullptr;
        bool end = false;
        for (int32_t i = 0; i < p.wave->GetBlockCount() + 2; ++i) {
            const uint32_t got = p.wave->Fetch(&block, 1, &end);
            EXPECT_TRUE(!got || static_cast<size_t>(block - p.bytes.get()) + got <= n) << i;
        }
    }
}

// A cue chunk counts only right before the data and at its own size: one
// that is not right before it, or of another size, leaves the whole file.
TEST(WaveFileParse, ACueChunkAwayFromTheDataOrOfAnotherSizeLeavesTheWholeFile) {
    std::vector<uint8_t> cue;
    for (uint32_t word : {0u, 2u, 5u}) PutU32(cue, word);
    std::vector<uint8_t> cue16 = cue;
    PutU32(cue16, 0);
    const uint32_t frames = 2304 * 8 + 10;
    const std::vector<WavChunk> placements[] = {{WavChunk{"cue ", cue}, Filler("JUNK", 4)},
                                                {WavChunk{"cue ", cue16}}};
    for (const auto& chunks : placements) {
        WavLayout l = kMono22;
        l.extraChunks = chunks;
        const Parsed p = ParseBytes(MakeWav(l, PatternPcm(l, frames)));
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(std::make_pair(p.wave->cueIn, p.wave->cueOut), std::make_pair(0, 0));
        EXPECT_EQ(p.wave->nNextBlock, 0);
        EXPECT_EQ(p.wave->GetReader()->GetCurrentBlock(), 0);
        EXPECT_EQ(p.wave->GetPlayLength(), frames * 2);
    }
}

// A data size beyond the file, by a little or by far, is cut to the file and
// the last block is partial; an exact multiple ends on its last full block.
TEST(WaveFileFetch, DataSizeBeyondTheFileIsCutAndTheLastBlockIsPartial) {
    std::vector<uint8_t> payload = PatternPcm(kMono22, 2304 * 2 + 100);
    std::memcpy(payload.data() + 8, "data", 4);  // samples that spell the id: the first one wins
    for (const uint32_t declared : {static_cast<uint32_t>(payload.size()) + 1, 0x7FFFFFFFu}) {
        WavLayout l = kMono22;
        l.dataSizeField = declared;
        const Parsed p = ParseBytes(MakeWav(l, payload));
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.wave->GetDataSize(), payload.size());
        EXPECT_EQ(p.wave->GetBlockCount(), 3);
        const uint8_t* block = nullptr;
        bool end = true;
        EXPECT_EQ(p.wave->Fetch(&block, 2, &end), 2u * 4608);
        EXPECT_FALSE(end);
        EXPECT_EQ(block, p.wave->GetData());
        EXPECT_EQ(p.wave->Fetch(&block, 1, &end), 200u);
        EXPECT_TRUE(end);
        EXPECT_EQ(block, p.wave->GetData() + 2 * 4608);
        EXPECT_EQ(p.wave->Fetch(&block, 1, &end), 0u);  // past the last block: nothing
        EXPECT_EQ(block, nullptr);
    }
    const Parsed p = ParseBytes(MakeWav(kMono22, PatternPcm(kMono22, 2304 * 3)));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.wave->GetBlockCount(), 3);
    const uint8_t* block = nullptr;
    bool end = false;
    EXPECT_EQ(p.wave->Fetch(&block, 4, &end), 3u * 4608);  // more than remain: the rest
    EXPECT_TRUE(end);
    BlockReader reader(p.wave->GetData(), 3 * 4608, 2, 22050);  // and outside the data, nothing
    EXPECT_TRUE(reader.Seek(&block, &end, 2) && end && block == p.wave->GetData() + 2 * 4608);
    EXPECT_FALSE(reader.Seek(&block, &end, 3) || end || block || reader.GetCurrentBlock() != 2);
}

struct SeekCase {
    int32_t blocks, cueIn, cueOut, request, expected;
};

class WaveFileSeek : public testing::TestWithParam<SeekCase> {};

TEST_P(WaveFileSeek, ClampsAndMovesTheReaderWithNextBlock) {
    const SeekCase& c = GetParam();
    WavLayout l = kMono22;
    if (c.cueIn || c.cueOut) l.cue = WavCue{c.cueIn, c.cueOut};
    const Parsed p = ParseBytes(MakeWav(l, PatternPcm(l, 2304 * static_cast<uint32_t>(c.blocks))));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.wave->Seek(c.request), c.expected);
    EXPECT_EQ(p.wave->nNextBlock, c.expected);
    EXPECT_EQ(p.wave->GetReader()->GetCurrentBlock(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Clamps, WaveFileSeek,
    testing::Values(SeekCase{20, 0, 0, 7, 7},            // inside
                    SeekCase{20, 0, 0, 20, 16},          // at the end: last four blocks
                    SeekCase{20, 0, 12, 12, 8},          // at the cue-out
                    SeekCase{20, 0, 12, 11, 11},         // just before it
                    SeekCase{20, 3, 12, 1, 3},           // before the cue-in
                    SeekCase{20, 10, 12, 50, 10},        // cue-out - 4 is before the cue-in
                    SeekCase{3, 0, 0, 5, 0},             // fewer than four blocks
                    SeekCase{20, 0, INT32_MIN, 5, 5}));  // a cue-out below the cue-in is none

}  // namespace
