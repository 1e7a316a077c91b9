// Every fill routine against a slow reference that states the conversion
// rules frame by frame, across output width, channels, play mode, rate,
// frame count, cursor position and level.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mixer/AudioBuffer.h"

namespace {

constexpr uint32_t kDeviceRate = 44100;
constexpr int32_t kSentinel = 0x5A5A5A5A;

enum class Cursor { Start, Middle, ExactEnd, Straddle };

struct FillCase {
    bool b16Bits;
    bool bStereo;
    bool bLooping;
    bool bLoRes;
    uint32_t frames;
    Cursor cursor;
    uint32_t attenuationDb;  // 0 or a multiple of 6: the shift path
};

std::string CaseName(const testing::TestParamInfo<FillCase>& info) {
    const FillCase& c = info.param;
    static const char* const kCursor[] = {"Start", "Middle", "ExactEnd", "Straddle"};
    return std::string(c.b16Bits ? "Out16" : "Out32") + (c.bStereo ? "Stereo" : "Mono") +
           (c.bLooping ? "Ring" : "Once") + (c.bLoRes ? "LoRes" : "Full") + "F" +
           std::to_string(c.frames) + kCursor[static_cast<int>(c.cursor)] + "A" +
           std::to_string(c.attenuationDb);
}

// The model: sample memory, a cursor in samples, and the rules.
struct Reference {
    std::vector<int16_t> memory;
    size_t cursor = 0;
    bool bStereo = false;
    bool bLooping = false;
    bool bLoRes = false;
    uint32_t frames = 0;
    uint32_t shift = 16;  // 32-bit output
    uint32_t divide = 0;  // 16-bit output: right shift applied before copying

    int32_t Convert32(int16_t s) const {
        return static_cast<int32_t>(int64_t{s} * (int64_t{1} << shift));
    }

    // One switch: fills `left` and `right` with `frames` values (as int32).
    void Switch(std::vector<int32_t>& left, std::vector<int32_t>& right, bool out16) {
        const size_t spf = bStereo ? 2 : 1;
        const size_t end = memory.size();
        left.assign(frames, 0);
        right.assign(frames, 0);
        size_t pos = cursor;
        size_t lastFrame = SIZE_MAX;
        std::vector<size_t> played;
        for (uint32_t o = 0; o < frames; ++o) {
            const uint32_t k = bLoRes ? o / 2 : o;
            if (k != lastFrame) {
                if (lastFrame != SIZE_MAX) {
                    pos += spf;
                }
                lastFrame = k;
                if (bLooping && pos + spf > end) {
                    pos = 0;
                }
            }
            if (pos + spf > end) {
                continue;  // a once buffer that ran out: silence
            }
            if (played.empty() || played.back() != pos) {
                played.push_back(pos);
            }
            int16_t l = memory[pos];
            int16_t r = memory[pos + spf - 1];
            if (out16) {
                l = static_cast<int16_t>(l >> divide);
                r = static_cast<int16_t>(r >> divide);
                left[o] = l;
                right[o] = r;
            } else {
                left[o] = Convert32(l);
                right[o] = Convert32(r);
            }
        }
        if (frames != 0 && pos + spf <= end) {
            pos += spf;
        } else if (frames != 0) {
            pos = end;
        }
        if (bLooping && pos >= end) {
            pos = 0;
        }
        cursor = pos;
        // 16-bit output is attenuated in the memory itself, each played
        // sample once.
        if (out16) {
            for (size_t at : played) {
                for (size_t i = at; i < at + spf; ++i) {
                    memory[i] = static_cast<int16_t>(memory[i] >> divide);
                }
            }
        }
    }
};

std::vector<int16_t> MakeSamples(size_t count) {
    std::vector<int16_t> samples(count);
    uint32_t seed = 12345;
    for (auto& s : samples) {
        seed = seed * 1103515245u + 12345u;
        s = static_cast<int16_t>(seed >> 16);
    }
    samples[0] = -32768;
    samples[1] = 32767;
    samples[2] = -1;
    return samples;
}

class AudioBufferFillMatrix : public testing::TestWithParam<FillCase> {};

TEST_P(AudioBufferFillMatrix, MatchesReferenceOverTwoSwitches) {
    const FillCase c = GetParam();
    const uint32_t spf = c.bStereo ? 2 : 1;
    const uint32_t sourceFrames = c.bLoRes ? (c.frames + 1) / 2 : c.frames;
    // An odd number of frames, two switches and a bit: not a multiple of anything.
    const uint32_t bufferFrames = 2 * sourceFrames + 3;

    BufferDescription desc{bufferFrames * spf * 2, c.bLoRes ? kDeviceRate / 2 : kDeviceRate,
                           c.bStereo ? 2 : 1, 3};
    AudioBuffer buffer(&desc, c.frames, kDeviceRate, c.b16Bits);
    ASSERT_TRUE(buffer.InitSuccess());

    Reference ref;
    ref.memory = MakeSamples(bufferFrames * spf);
    ref.bStereo = c.bStereo;
    ref.bLooping = c.bLooping;
    ref.bLoRes = c.bLoRes;
    ref.frames = c.frames;
    ref.shift = 16 - c.attenuationDb / 6;
    ref.divide = c.attenuationDb / 6;

    void* p = nullptr;
    uint32_t n = 0;
    ASSERT_TRUE(buffer.Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER));
    ASSERT_EQ(n, bufferFrames * spf * 2);
    std::copy(ref.memory.begin(), ref.memory.end(), static_cast<int16_t*>(p));

    uint32_t startFrame = 0;
    switch (c.cursor) {
        case Cursor::Start:
            startFrame = 0;
            break;
        case Cursor::Middle:
            startFrame = bufferFrames / 2;
            break;
        case Cursor::ExactEnd:
            startFrame = bufferFrames - sourceFrames;
            break;
        case Cursor::Straddle:
            startFrame = bufferFrames - sourceFrames + 2;
            break;
    }
    ASSERT_TRUE(buffer.SetAudioPosition(startFrame * spf * 2));
    ref.cursor = startFrame * spf;
    buffer.SetAttenuation(c.attenuationDb);
    buffer.Play(c.bLooping);

    for (int sw = 0; sw < 2; ++sw) {
        SCOPED_TRACE("switch " + std::to_string(sw));
        std::vector<int32_t> wantL, wantR;
        ref.Switch(wantL, wantR, c.b16Bits);
        std::vector<int32_t> gotL(c.frames), gotR(c.frames);
        if (c.b16Bits) {
            std::vector<int16_t> l(c.frames + 4, static_cast<int16_t>(kSentinel));
            std::vector<int16_t> r(c.frames + 4, static_cast<int16_t>(kSentinel));
            ProcessAudioBuffer16Bits(&buffer, l.data(), r.data());
            for (uint32_t i = 0; i < c.frames; ++i) {
                gotL[i] = l[i];
                gotR[i] = r[i];
            }
            for (uint32_t i = c.frames; i < c.frames + 4; ++i) {
                ASSERT_EQ(l[i], static_cast<int16_t>(kSentinel)) << "wrote past the left output";
                ASSERT_EQ(r[i], static_cast<int16_t>(kSentinel)) << "wrote past the right output";
            }
        } else {
            std::vector<int32_t> l(c.frames + 4, kSentinel), r(c.frames + 4, kSentinel);
            ProcessAudioBuffer32Bits(&buffer, l.data(), r.data(),
                                     static_cast<int32_t>(c.frames * 4));
            std::copy(l.begin(), l.begin() + c.frames, gotL.begin());
            std::copy(r.begin(), r.begin() + c.frames, gotR.begin());
            for (uint32_t i = c.frames; i < c.frames + 4; ++i) {
                ASSERT_EQ(l[i], kSentinel) << "wrote past the left output";
                ASSERT_EQ(r[i], kSentinel) << "wrote past the right output";
            }
        }
        EXPECT_EQ(gotL, wantL);
        EXPECT_EQ(gotR, wantR);
        uint32_t pos = 0;
        ASSERT_TRUE(buffer.GetAudioPosition(&pos));
        EXPECT_EQ(pos, ref.cursor * 2);
        const auto* memory = static_cast<const int16_t*>(p);
        EXPECT_EQ(std::vector<int16_t>(memory, memory + ref.memory.size()), ref.memory);
    }
}

std::vector<FillCase> AllCases() {
    std::vector<FillCase> cases;
    for (bool b16 : {false, true})
        for (bool stereo : {false, true})
            for (bool looping : {false, true})
                for (bool lores : {false, true})
                    for (uint32_t frames : {7u, 8u})
                        for (Cursor cursor :
                             {Cursor::Start, Cursor::Middle, Cursor::ExactEnd, Cursor::Straddle})
                            for (uint32_t db : {0u, 12u})
                                cases.push_back({b16, stereo, looping, lores, frames, cursor, db});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllRoutines, AudioBufferFillMatrix, testing::ValuesIn(AllCases()),
                         CaseName);

}  // namespace
