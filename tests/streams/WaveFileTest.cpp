#include <gtest/gtest.h>

#include <cstring>
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

WavLayout Stereo44() {
    return WavLayout{};
}

WavLayout Mono22() {
    WavLayout layout;
    layout.nChannels = 1;
    layout.nSamplesPerSec = 22050;
    return layout;
}

WavChunk Filler(const char* id, size_t bytes, uint8_t value = 0) {
    return WavChunk{id, std::vector<uint8_t>(bytes, value)};
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
    EXPECT_EQ(p.wave->cueIn, 0);
    EXPECT_EQ(p.wave->cueOut, 0);
    EXPECT_EQ(p.wave->nNextBlock, 0);
    const WAVEFORMATEX* f = p.wave->GetFormat();
    EXPECT_EQ(f->wFormatTag, 1);
    EXPECT_EQ(f->nChannels, c.layout.nChannels);
    EXPECT_EQ(f->nSamplesPerSec, c.layout.nSamplesPerSec);
    // A zero byte rate is taken as block align x rate.
    const uint32_t avg = c.layout.AvgBytesPerSec();
    EXPECT_EQ(f->nAvgBytesPerSec, avg ? avg : c.layout.BlockAlign() * c.layout.nSamplesPerSec);
    EXPECT_EQ(p.wave->DerivedAvgBytesPerSec(), avg == 0);
    EXPECT_EQ(f->nBlockAlign, c.layout.BlockAlign());
    EXPECT_EQ(f->wBitsPerSample, 16);
    EXPECT_EQ(f->cbSize, 0);
}

WavLayout WithCbSize() {
    WavLayout l;
    l.bWithCbSize = true;
    return l;
}

WavLayout WithList() {
    WavLayout l;
    l.extraChunks.push_back(Filler("LIST", 26, 'x'));
    return l;
}

WavLayout Rate(uint32_t rate) {
    WavLayout l;
    l.nSamplesPerSec = rate;
    return l;
}

WavLayout Avg(uint32_t avg) {
    WavLayout l;
    l.nAvgBytesPerSec = avg;
    return l;
}

// The last place the data id may begin.
WavLayout DataIdAt2084() {
    WavLayout l = Mono22();
    l.extraChunks.push_back(Filler("JUNK", 2084 - 36 - 8));
    return l;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, AcceptedHeader,
    testing::Values(AcceptCase{"Canonical", Stereo44(), 44, 4608, 18432},
                    AcceptCase{"FormatWithCbSize", WithCbSize(), 46, 4608, 18432},
                    AcceptCase{"ListBeforeData", WithList(), 44 + 8 + 26, 4608, 18432},
                    AcceptCase{"Rate22050", Rate(22050), 44, 2304, 9216},
                    AcceptCase{"Rate32000", Rate(32000), 44, 2304, 9216},
                    AcceptCase{"Rate48000", Rate(48000), 44, 4608, 18432},
                    AcceptCase{"Mono22050", Mono22(), 44, 2304, 4608},
                    AcceptCase{"DataIdAtLastOffset", DataIdAt2084(), 2084 + 8, 2304, 4608},
                    AcceptCase{"AvgBytesZero", Avg(0), 44, 4608, 18432}),
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

std::vector<uint8_t> Format(uint16_t tag, uint16_t bits, uint32_t rate = 44100,
                            uint16_t channels = 2) {
    WavLayout l;
    l.wFormatTag = tag;
    l.wBitsPerSample = bits;
    l.nSamplesPerSec = rate;
    l.nChannels = channels;
    if (bits < 8) l.nBlockAlign = 1024;  // compressed formats
    return MakeWav(l, std::vector<uint8_t>(4096, 1));
}

std::vector<uint8_t> Edited(WavLayout l,
                            std::vector<uint8_t> payload = std::vector<uint8_t>(4096, 1)) {
    return MakeWav(l, payload);
}

WavLayout Align(uint16_t align) {
    WavLayout l;
    l.nBlockAlign = align;
    l.nAvgBytesPerSec = 176400;  // not derived from the block size: only that is wrong
    return l;
}

// Block align x rate, which stands in for a zero byte rate, beyond 32 bits.
WavLayout AvgAlignRate() {
    WavLayout l = Avg(0);
    l.nBlockAlign = 0xFFFF;
    l.nSamplesPerSec = 65600;
    return l;
}

WavLayout DataIdAt2086() {
    WavLayout l = Mono22();
    l.extraChunks.push_back(Filler("JUNK", 2086 - 36 - 8));
    return l;
}

WavLayout SizeField(uint32_t size) {
    WavLayout l;
    l.dataSizeField = size;
    return l;
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
    const std::vector<uint8_t> real = MakeWav(Stereo44(), PatternPcm(Stereo44(), 100));
    out.insert(out.end(), real.begin() + 12, real.end());
    return out;
}

std::vector<uint8_t> Canonical() {
    return MakeWav(Stereo44(), PatternPcm(Stereo44(), 100));
}

std::vector<uint8_t> NotRiff() {
    std::vector<uint8_t> b = Canonical();
    std::memcpy(b.data(), "RIFX", 4);
    return b;
}

std::vector<uint8_t> Prefix(size_t n) {
    std::vector<uint8_t> b = Canonical();
    b.resize(n);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, RefusedHeader,
    testing::Values(
        RefuseCase{"EightBit", Format(1, 8), "8-bit samples; only 16-bit PCM is played"},
        RefuseCase{"TwentyFourBit", Format(1, 24), "24-bit samples; only 16-bit PCM is played"},
        RefuseCase{"Float", Format(3, 32), "not PCM (format 3); only 16-bit PCM is played"},
        RefuseCase{"MsAdpcm", Format(2, 4), "not PCM (format 2); only 16-bit PCM is played"},
        RefuseCase{"ImaAdpcm", Format(17, 4), "not PCM (format 17); only 16-bit PCM is played"},
        RefuseCase{"Mp3", Format(85, 0), "not PCM (format 85); only 16-bit PCM is played"},
        RefuseCase{"Rate11025", Format(1, 16, 11025), "11025 Hz; 22050 Hz or more is played"},
        RefuseCase{"Rate22049", Format(1, 16, 22049), "22049 Hz; 22050 Hz or more is played"},
        RefuseCase{"NotRiff", NotRiff(), "not a WAV file (no RIFF header)"},
        RefuseCase{"FormatNotFirst", FormatNotFirst(),
                   "not PCM (format 0); only 16-bit PCM is played"},
        RefuseCase{"DataIdPastSearch", Edited(DataIdAt2086()), "no data chunk"},
        RefuseCase{"DataSizeZero", Edited(SizeField(0)), "an empty data chunk"},
        RefuseCase{"BlockAlignZero", Edited(Align(0)), "a broken format chunk"},
        RefuseCase{"ChannelsZero", Format(1, 16, 44100, 0), "a broken format chunk"},
        RefuseCase{"ThreeChannels", Format(1, 16, 44100, 3),
                   "3 channels: a channel plays a mono or stereo file"},
        RefuseCase{"AvgBytesZeroAndAlignTimesRateOverflows", Edited(AvgAlignRate()),
                   "a broken format chunk"},
        RefuseCase{"ChannelsTimesRateOverflows", Format(1, 16, 0xFFFFFFF0u, 2),
                   "a broken format chunk"},
        RefuseCase{"Empty", {}, "too short for a WAV header"},
        RefuseCase{"ShorterThanTheFormat", Prefix(35), "too short for a WAV header"},
        RefuseCase{"DataIdWithoutSize", Prefix(40), "no data chunk"},
        RefuseCase{"SizeWithoutPayload", Prefix(44), "an empty data chunk"}),
    [](const testing::TestParamInfo<RefuseCase>& info) { return info.param.name; });

TEST(WaveFileParse, EveryTruncationIsRefusedOrKeptInsideTheBytes) {
    WavLayout l = Mono22();
    l.cue = WavCue{1, 2};
    l.extraChunks.push_back(Filler("LIST", 30, 'q'));
    const std::vector<uint8_t> whole = MakeWav(l, PatternPcm(l, 5000));
    for (size_t n = 0; n <= whole.size(); n += (n < 200 ? 1 : 997)) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        const Parsed p = ParseBytes(part);
        if (!p.ok) continue;
        EXPECT_LE(p.DataOffset() + p.wave->GetDataSize(), n) << n;
        const uint8_t* block = nullptr;
        bool end = false;
        for (int32_t i = 0; i < p.wave->GetBlockCount() + 2; ++i) {
            const uint32_t got = p.wave->Fetch(&block, 1, &end);
            if (got) {
                EXPECT_LE(static_cast<size_t>(block - p.bytes.get()) + got, n);
            }
        }
    }
}

TEST(WaveFileParse, DataIdInsideAnEarlierChunkWins) {
    WavLayout l = Mono22();
    std::vector<uint8_t> text = {'I', 'N', 'F', 'O', 'd', 'a', 't', 'a', 8, 0, 0, 0};
    text.resize(40, 'z');
    l.extraChunks.push_back(WavChunk{"LIST", text});
    const Parsed p = ParseBytes(MakeWav(l, PatternPcm(l, 5000)));
    ASSERT_TRUE(p.ok);
    // "data" stands 4 bytes into the LIST payload, which begins at 44.
    EXPECT_EQ(p.DataOffset(), 44u + 4 + 8);
    EXPECT_EQ(p.wave->GetDataSize(), 8u);
}

TEST(WaveFileParse, CueChunkRightBeforeTheDataSetsTheRange) {
    WavLayout l = Mono22();
    l.cue = WavCue{2, 5};
    const Parsed p = ParseBytes(MakeWav(l, PatternPcm(l, 2304 * 8)));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.wave->cueIn, 2);
    EXPECT_EQ(p.wave->cueOut, 5);
    EXPECT_EQ(p.wave->nNextBlock, 2);
    EXPECT_EQ(p.wave->GetReader()->GetCurrentBlock(), 2);
    EXPECT_EQ(p.wave->GetPlayLength(), 3u * 4608);
    // 13824 bytes at 22050 mono 16-bit: 313.47 ms.
    EXPECT_EQ(p.wave->SongPlayTime, 313u);
}

TEST(WaveFileParse, CueInAloneShortensThePlayLength) {
    WavLayout l = Mono22();
    l.cue = WavCue{3, 0};
    const Parsed p = ParseBytes(MakeWav(l, PatternPcm(l, 2304 * 8 + 10)));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.wave->GetPlayLength(), (2304u * 8 + 10) * 2 - 3 * 4608);
}

TEST(WaveFileParse, CueChunkNotRightBeforeTheDataIsIgnored) {
    std::vector<uint8_t> cue;
    PutU32(cue, 0);
    PutU32(cue, 2);
    PutU32(cue, 5);
    WavLayout another = Mono22();  // another chunk between the cue and the data
    another.extraChunks = {WavChunk{"cue ", cue}, Filler("JUNK", 4)};
    WavLayout longer = Mono22();  // a cue chunk of another size
    std::vector<uint8_t> cue16 = cue;
    PutU32(cue16, 0);
    longer.extraChunks = {WavChunk{"cue ", cue16}};
    for (const WavLayout& l : {another, longer}) {
        const Parsed p = ParseBytes(MakeWav(l, PatternPcm(l, 2304 * 8)));
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.wave->cueIn, 0);
        EXPECT_EQ(p.wave->cueOut, 0);
        EXPECT_EQ(p.wave->GetPlayLength(), p.wave->GetDataSize());
    }
}

TEST(WaveFileFetch, DataSizeBeyondTheFileIsCutAndTheLastBlockIsPartial) {
    WavLayout l = Mono22();
    l.dataSizeField = 0x7FFFFFFF;
    const std::vector<uint8_t> payload = PatternPcm(l, 2304 * 2 + 100);
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
    // Past the last block: nothing.
    EXPECT_EQ(p.wave->Fetch(&block, 1, &end), 0u);
    EXPECT_EQ(block, nullptr);
}

TEST(WaveFileFetch, ExactMultipleHasNoPartialBlockAndEndsOnTheLastFullOne) {
    WavLayout l = Mono22();
    const Parsed p = ParseBytes(MakeWav(l, PatternPcm(l, 2304 * 3)));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.wave->GetBlockCount(), 3);
    const uint8_t* block = nullptr;
    bool end = false;
    EXPECT_EQ(p.wave->Fetch(&block, 4, &end),
              3u * 4608);  // more than remain: the rest, and the end
    EXPECT_TRUE(end);
}

TEST(BlockReaderTest, SeekOutsideTheDataLeavesTheReaderWhereItWas) {
    std::vector<uint8_t> data(4608 * 3);
    BlockReader reader(data.data(), static_cast<uint32_t>(data.size()), 2, 22050);
    const uint8_t* block = nullptr;
    bool last = true;
    EXPECT_TRUE(reader.Seek(&block, &last, 1));
    EXPECT_FALSE(last);
    EXPECT_EQ(block, data.data() + 4608);
    EXPECT_TRUE(reader.Seek(nullptr, &last, 2));
    EXPECT_TRUE(last);
    for (int32_t bad : {-1, 3, INT32_MAX, INT32_MIN}) {
        EXPECT_FALSE(reader.Seek(&block, &last, bad));
        EXPECT_EQ(block, nullptr);
        EXPECT_FALSE(last);
        EXPECT_EQ(reader.GetCurrentBlock(), 2);
    }
}

struct SeekCase {
    int32_t blocks;
    int32_t cueIn;
    int32_t cueOut;
    int32_t request;
    int32_t expected;
};

class WaveFileSeek : public testing::TestWithParam<SeekCase> {};

TEST_P(WaveFileSeek, ClampsAndMovesTheReaderWithNextBlock) {
    const SeekCase& c = GetParam();
    WavLayout l = Mono22();
    if (c.cueIn || c.cueOut) l.cue = WavCue{c.cueIn, c.cueOut};
    const Parsed p = ParseBytes(MakeWav(l, PatternPcm(l, 2304 * static_cast<uint32_t>(c.blocks))));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.wave->Seek(c.request), c.expected);
    EXPECT_EQ(p.wave->nNextBlock, c.expected);
    if (c.expected >= 0 && c.expected < c.blocks) {
        EXPECT_EQ(p.wave->GetReader()->GetCurrentBlock(), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clamps, WaveFileSeek,
    testing::Values(SeekCase{20, 0, 0, 7, 7},            // inside
                    SeekCase{20, 0, 0, 20, 16},          // at the end: last four blocks
                    SeekCase{20, 0, 0, 1000, 16},        // far past it
                    SeekCase{20, 0, 12, 12, 8},          // at the cue-out
                    SeekCase{20, 0, 12, 11, 11},         // just before it
                    SeekCase{20, 3, 12, 1, 3},           // before the cue-in
                    SeekCase{20, 3, 12, -5, 3},          // negative
                    SeekCase{20, 10, 12, 50, 10},        // cue-out - 4 is before the cue-in
                    SeekCase{3, 0, 0, 5, 0},             // fewer than four blocks
                    SeekCase{20, 0, INT32_MIN, 5, 5}));  // a cue-out below the cue-in is none

}  // namespace
