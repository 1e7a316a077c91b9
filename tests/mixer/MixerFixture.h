// Shared by the output-stage tests: a temporary working directory holding
// the mixer's debug log, and small helpers to make and play sound buffers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "diag/DebugLog.h"
#include "mixer/ASIOBuffers.h"
#include "mixer/AudioBuffer.h"
#include "mixer/SoundBuffer.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/TempDir.h"

class RecordingLabels : public PairLabelSink {
  public:
    void AddLabel(const char* label) override { labels.emplace_back(label); }
    std::vector<std::string> labels;
};

// A memory sample at `db`, as a 32-bit output value; 16-bit output is its top
// half (dithered for 32-bit memory). A set level of a multiple of 6 dB up to 96
// shifts arithmetically; any other level, and every fading one, multiplies by
// the gain measured against 32767 (a hair off 10^(-A/20)) and truncates towards
// zero within the sample's range.
inline int64_t Levelled(int32_t sample, bool wideMemory, double db, bool fading = false) {
    if (!fading && db <= 96 && std::fmod(db, 6.0) == 0) {
        const int shift = static_cast<int>(db) / 6;
        return wideMemory ? int64_t{sample} >> shift
                          : int64_t{sample} * (int64_t{1} << (16 - shift));
    }
    const double reference = 20.0 / std::log(10.0) * std::log(32767.0);
    const double gain = std::pow(10.0, (reference - db) * 0.05) * 3.051850947599719e-05;
    if (wideMemory)
        return static_cast<int64_t>(std::clamp(sample * gain, -2147483648.0, 2147483647.0));
    return static_cast<int64_t>(std::clamp(sample * gain, -32768.0, 32767.0)) * 65536;
}

// The whole sample memory of `b` (the cursor goes back to 0).
inline uint8_t* Memory(AudioBuffer& b, uint32_t* bytes = nullptr) {
    void* p = nullptr;
    uint32_t n = 0;
    EXPECT_TRUE(b.Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER));
    if (bytes != nullptr) *bytes = n;
    return static_cast<uint8_t*>(p);
}

inline uint32_t Position(AudioBuffer& b) {
    uint32_t pos = 0xFFFFFFFF;
    EXPECT_TRUE(b.GetAudioPosition(&pos));
    return pos;
}

// One switch of `b` on each side, from outputs of the buffer's own width
// made four samples too long: the samples past the switch must stay as they
// were.
struct Switched {
    std::vector<int64_t> left, right;
};
inline Switched SwitchOnce(AudioBuffer& b) {
    constexpr int32_t kUntouched = 0x5A5A5A5A;
    const uint32_t frames = b.GetPrimaryBufferSampleSize();
    const auto take = [frames](auto& out) {
        const auto guard = static_cast<std::decay_t<decltype(out.back())>>(kUntouched);
        EXPECT_EQ(std::count(out.begin() + frames, out.end(), guard), 4) << "written past the end";
        return std::vector<int64_t>(out.begin(), out.begin() + frames);
    };
    if (b.GetPrimaryBufSizeBytes() == frames * 2) {
        std::vector<int16_t> l(frames + 4, static_cast<int16_t>(kUntouched)), r = l;
        ProcessAudioBuffer16Bits(&b, l.data(), r.data());
        return {take(l), take(r)};
    }
    std::vector<int32_t> l(frames + 4, kUntouched), r = l;
    ProcessAudioBuffer32Bits(&b, l.data(), r.data(), static_cast<int32_t>(frames * 4));
    return {take(l), take(r)};
}

class MixerFixture : public ::testing::Test {
  protected:
    MixerFixture() : cwd(dir.path()) { MixerDebugLog().Open(dir.path().c_str()); }
    ~MixerFixture() override { MixerDebugLog().Close(); }

    std::string Log() const { return ReadWholeFile(dir.File("OstinatoDbg.Log")); }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

    // A stereo buffer for `pair` holding one frame value repeated, playing
    // as a ring.
    static AudioBuffer* MakePlaying(ASIOBuffers& out, int32_t pair, int16_t left, int16_t right,
                                    uint32_t bytes = 16384) {
        BufferDescription desc{bytes, 48000, 2, pair};
        auto* buffer = static_cast<AudioBuffer*>(out.CreateSoundBuffer(&desc));
        if (!buffer) return nullptr;
        void* first = nullptr;
        void* second = nullptr;
        uint32_t firstBytes = 0, secondBytes = 0;
        if (!buffer->Lock(0, 0, &first, &firstBytes, &second, &secondBytes, LOCK_ENTIRE_BUFFER))
            return nullptr;
        auto* samples = static_cast<int16_t*>(first);
        for (uint32_t i = 0; i + 1 < firstBytes / 2; i += 2) {
            samples[i] = left;
            samples[i + 1] = right;
        }
        buffer->Unlock();
        buffer->Play(true);
        return buffer;
    }

    TempDir dir;
    ScopedChdir cwd;
};
