// Every fill against a slow reference that states the conversion rules frame
// by frame, across memory width, output width, channels, play mode, rate,
// frame count, cursor position and level; the memory is never changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mixer/AudioBuffer.h"

namespace {

constexpr uint32_t kDeviceRate = 44100;
constexpr int32_t kSentinel = 0x5A5A5A5A;

enum class Cursor { Start, Middle, ExactEnd, Straddle };

struct FillCase {
    bool wide;  // 32-bit memory
    bool out16;
    bool stereo;
    bool looping;
    bool loRes;
    uint32_t frames;
    Cursor cursor;
    uint32_t attenuationDb;
};

std::string Name(const FillCase& c) {
    static const char* const kCursor[] = {"Start", "Middle", "ExactEnd", "Straddle"};
    return std::string(c.wide ? "Mem32" : "Mem16") + (c.out16 ? "Out16" : "Out32") +
           (c.stereo ? "Stereo" : "Mono") + (c.looping ? "Ring" : "Once") +
           (c.loRes ? "LoRes" : "Full") + "F" + std::to_string(c.frames) +
           kCursor[static_cast<int>(c.cursor)] + "A" + std::to_string(c.attenuationDb);
}

// The level rules: a multiple of 6 dB shifts, anything else multiplies by
// 10^((20 log10(32767) - A) / 20) / 32767 and truncates towards zero.
double Gain(uint32_t db) {
    const double reference = 20.0 / std::log(10.0) * std::log(32767.0);
    return std::pow(10.0, (reference - db) * 0.05) * 3.051850947599719e-05;
}

// The output for one memory sample, as a 32-bit value; for 32-bit memory on
// 16-bit output, the exact value before the dither (compared within a step).
int64_t Expected(int32_t s, const FillCase& c) {
    const uint32_t db = c.attenuationDb;
    const bool shift = db % 6 == 0;
    if (!c.wide) {
        const int64_t v =
            shift ? s : static_cast<int64_t>(std::clamp(s * Gain(db), -32768.0, 32767.0));
        if (c.out16) return shift ? v >> (db / 6) : v;
        return shift ? v * (int64_t{1} << (16 - db / 6)) : v * 65536;
    }
    const int64_t v =
        shift ? int64_t{s} >> (db / 6)
              : static_cast<int64_t>(std::clamp(s * Gain(db), -2147483648.0, 2147483647.0));
    return v;
}

// The model: the memory as samples, a cursor in samples, and one switch.
struct Reference {
    std::vector<int32_t> memory;
    size_t cursor = 0;
    FillCase c{};

    void Switch(std::vector<int64_t>& left, std::vector<int64_t>& right) {
        const size_t spf = c.stereo ? 2 : 1;
        const size_t end = memory.size();
        left.assign(c.frames, 0);
        right.assign(c.frames, 0);
        size_t pos = cursor;
        size_t lastFrame = SIZE_MAX;
        for (uint32_t o = 0; o < c.frames; ++o) {
            const uint32_t k = c.loRes ? o / 2 : o;
            if (k != lastFrame) {
                if (lastFrame != SIZE_MAX) pos += spf;
                lastFrame = k;
                if (c.looping && pos + spf > end) pos = 0;
            }
            if (pos + spf > end) continue;  // a once buffer that ran out: silence
            left[o] = Expected(memory[pos], c);
            right[o] = Expected(memory[pos + spf - 1], c);
        }
        if (c.frames != 0) pos = pos + spf <= end ? pos + spf : end;
        if (c.looping && pos >= end) pos = 0;
        cursor = pos;
    }
};

std::vector<int32_t> MakeSamples(size_t count, bool wide) {
    std::vector<int32_t> samples(count);
    uint32_t seed = 12345;
    for (auto& s : samples) {
        seed = seed * 1103515245u + 12345u;
        s = wide ? static_cast<int32_t>(seed ^ (seed << 7)) : static_cast<int16_t>(seed >> 16);
    }
    samples[0] = wide ? INT32_MIN : -32768;
    samples[1] = wide ? INT32_MAX : 32767;
    samples[2] = -1;
    return samples;
}

// Two switches of one case.
void RunCase(const FillCase& c) {
    SCOPED_TRACE(Name(c));
    const uint32_t spf = c.stereo ? 2 : 1;
    const uint32_t bytesPerSample = c.wide ? 4 : 2;
    const uint32_t sourceFrames = c.loRes ? (c.frames + 1) / 2 : c.frames;
    // An odd number of frames, two switches and a bit: not a multiple of anything.
    const uint32_t bufferFrames = 2 * sourceFrames + 3;

    BufferDescription desc{bufferFrames * spf * bytesPerSample,
                           c.loRes ? kDeviceRate / 2 : kDeviceRate, c.stereo ? 2 : 1, 3};
    AudioBuffer buffer(&desc, c.frames, kDeviceRate, c.out16, c.wide ? 32 : 16);
    ASSERT_TRUE(buffer.InitSuccess());

    Reference ref;
    ref.c = c;
    ref.memory = MakeSamples(bufferFrames * spf, c.wide);
    void* p = nullptr;
    uint32_t n = 0;
    ASSERT_TRUE(buffer.Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER));
    ASSERT_EQ(n, desc.dwBufferBytes);
    auto* bytes = static_cast<uint8_t*>(p);
    for (size_t i = 0; i < ref.memory.size(); ++i) {
        if (c.wide) {
            std::memcpy(bytes + 4 * i, &ref.memory[i], 4);
        } else {
            const auto s = static_cast<int16_t>(ref.memory[i]);
            std::memcpy(bytes + 2 * i, &s, 2);
        }
    }
    const std::vector<uint8_t> written(bytes, bytes + n);

    const uint32_t starts[] = {0, bufferFrames / 2, bufferFrames - sourceFrames,
                               bufferFrames - sourceFrames + 2};
    const uint32_t startFrame = starts[static_cast<int>(c.cursor)];
    ASSERT_TRUE(buffer.SetAudioPosition(startFrame * spf * bytesPerSample));
    ref.cursor = startFrame * spf;
    buffer.SetAttenuation(c.attenuationDb);
    buffer.Play(c.looping);

    for (int sw = 0; sw < 2; ++sw) {
        SCOPED_TRACE("switch " + std::to_string(sw));
        std::vector<int64_t> wantL, wantR;
        ref.Switch(wantL, wantR);
        std::vector<int64_t> gotL(c.frames), gotR(c.frames);
        if (c.out16) {
            std::vector<int16_t> l(c.frames + 4, static_cast<int16_t>(kSentinel)), r = l;
            ProcessAudioBuffer16Bits(&buffer, l.data(), r.data());
            ASSERT_EQ(l.back(), static_cast<int16_t>(kSentinel)) << "wrote past the left output";
            ASSERT_EQ(r.back(), static_cast<int16_t>(kSentinel)) << "wrote past the right output";
            std::copy_n(l.begin(), c.frames, gotL.begin());
            std::copy_n(r.begin(), c.frames, gotR.begin());
        } else {
            std::vector<int32_t> l(c.frames + 4, kSentinel), r = l;
            ProcessAudioBuffer32Bits(&buffer, l.data(), r.data(),
                                     static_cast<int32_t>(c.frames * 4));
            ASSERT_EQ(l.back(), kSentinel) << "wrote past the left output";
            ASSERT_EQ(r.back(), kSentinel) << "wrote past the right output";
            std::copy_n(l.begin(), c.frames, gotL.begin());
            std::copy_n(r.begin(), c.frames, gotR.begin());
        }
        if (c.wide && c.out16) {
            // Dithered: within one step of the exact value.
            for (uint32_t i = 0; i < c.frames; ++i) {
                ASSERT_LE(std::abs(gotL[i] - wantL[i] / 65536.0), 1.5) << "left " << i;
                ASSERT_LE(std::abs(gotR[i] - wantR[i] / 65536.0), 1.5) << "right " << i;
            }
        } else {
            ASSERT_EQ(gotL, wantL);
            ASSERT_EQ(gotR, wantR);
        }
        uint32_t pos = 0;
        ASSERT_TRUE(buffer.GetAudioPosition(&pos));
        ASSERT_EQ(pos, ref.cursor * bytesPerSample);
        ASSERT_EQ(std::vector<uint8_t>(bytes, bytes + n), written)
            << "the level changed the memory";
    }
}

TEST(AudioBufferFill, EveryRoutineMatchesTheReferenceAndLeavesTheMemory) {
    for (bool wide : {false, true})
        for (bool out16 : {false, true})
            for (bool stereo : {false, true})
                for (bool looping : {false, true})
                    for (bool loRes : {false, true})
                        for (uint32_t frames : {7u, 8u})
                            for (Cursor cursor : {Cursor::Start, Cursor::Middle, Cursor::ExactEnd,
                                                  Cursor::Straddle})
                                for (uint32_t db : {0u, 12u, 7u, 20u}) {
                                    RunCase(
                                        {wide, out16, stereo, looping, loRes, frames, cursor, db});
                                    if (HasFatalFailure()) return;
                                }
}

}  // namespace
