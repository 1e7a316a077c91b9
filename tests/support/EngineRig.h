// The engine on a card, as every test that plays it shares it: a working
// directory of its own, a fake card behind the mixer's host functions, the
// engine itself, and what a pair should receive from a pattern file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/FakeDriverSource.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

// Collects what a stream writes through its log function.
inline std::string& CapturedLog() {
    static std::string text;
    return text;
}
inline void CaptureLog(const char* text, bool appendTime) {
    if (text) CapturedLog() += text;
    if (appendTime) CapturedLog() += "<time>\n";
}

// What a stereo pair received, frame by frame, as 32-bit values (16-bit
// output is widened the same way the file's samples are compared).
struct PairCapture {
    std::vector<int32_t> left, right;

    void Take(const FakeDriver& driver, int32_t pair, int32_t half, bool b16Bits) {
        for (int32_t f = 0; f < driver.CreatedSize(); ++f) {
            left.push_back(b16Bits ? driver.Sample16(2 * pair, half, f)
                                   : driver.Sample32(2 * pair, half, f));
            right.push_back(b16Bits ? driver.Sample16(2 * pair + 1, half, f)
                                    : driver.Sample32(2 * pair + 1, half, f));
        }
    }
};

// The value a file sample takes on the card: shifted to the top of a 32-bit
// word, or copied to a 16-bit one.
inline int32_t OnCard(int16_t sample, bool b16Bits) {
    return b16Bits
               ? sample
               : static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(sample)) << 16);
}

// What a pattern file of `frames` frames should sound like on a pair from
// `firstFrame` on: each source frame `repeat` times (2 for a lo-res file),
// mono on both sides.
inline void ExpectedPair(uint32_t frames, uint16_t channels, int repeat, bool b16Bits,
                         uint32_t firstFrame, std::vector<int32_t>& left,
                         std::vector<int32_t>& right) {
    for (uint32_t f = firstFrame; f < frames; ++f) {
        const int32_t l = OnCard(PatternSample(f * channels), b16Bits);
        const int32_t r = channels > 1 ? OnCard(PatternSample(f * channels + 1), b16Bits) : l;
        for (int k = 0; k < repeat; ++k) {
            left.push_back(l);
            right.push_back(r);
        }
    }
}

// The capture from `at` on holds these frames, then, with `silenceAfter`,
// nothing but zeros.
inline void ExpectFrames(const PairCapture& got, size_t at, const std::vector<int32_t>& left,
                         const std::vector<int32_t>& right, bool silenceAfter = true) {
    ASSERT_GE(got.left.size(), at + left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(got.left[at + i], left[i]) << "frame " << at + i;
        ASSERT_EQ(got.right[at + i], right[i]) << "frame " << at + i;
    }
    for (size_t i = at + left.size(); silenceAfter && i < got.left.size(); ++i) {
        ASSERT_EQ(got.left[i], 0) << "frame " << i;
        ASSERT_EQ(got.right[i], 0) << "frame " << i;
    }
}

// The same for frames [first, end) of a stereo pattern file on a 32-bit card.
inline void ExpectPattern(const PairCapture& got, size_t at, uint32_t first, uint32_t end,
                          bool silenceAfter = true) {
    std::vector<int32_t> left, right;
    ExpectedPair(end, 2, 1, false, first, left, right);
    ExpectFrames(got, at, left, right, silenceAfter);
}

// A file sample that never changes, for StereoWav.
inline std::function<int32_t(uint32_t)> Constant(int16_t value) {
    return [value](uint32_t) { return value; };
}

// One test's world: its temporary working directory (the engine's log and
// "ASIOConfig.txt" land there), a fake card with 24 outputs listed as the
// only installed driver, and an engine once Open has made it.
struct EngineRig {
    explicit EngineRig(ASIOSampleType type = ASIOSTInt32LSB, int32_t frames = 64,
                       double rate = 48000.0)
        : cd(dir.path()), driver(24, type) {
        driver.preferredSize = frames;
        driver.rate = rate;
        source.Add("Fake Card", &driver);
        ASIOSetDriverSource(&source);
    }
    ~EngineRig() {
        engine.reset();
        ASIOSetDriverSource(nullptr);
    }

    // Makes the engine and starts it; Init's result.
    int32_t Open() {
        engine = std::make_unique<Sarabande>(-1, nullptr);
        return engine->Init(&hwnd, nullptr, dir.path().c_str());
    }

    // Switches the card `n` times, each time waiting until the engine has
    // served every notification; pair `pair` is read into `capture` if given.
    void Switch(int32_t n, PairCapture* capture = nullptr, int32_t pair = 0, bool b16 = false) {
        for (int32_t i = 0; i < n; ++i) {
            driver.Switch(half);
            EXPECT_TRUE(!engine || engine->FlushNotifications());
            if (capture) capture->Take(driver, pair, half, b16);
            half ^= 1;
        }
    }

    // Writes a pattern WAV file and returns its path.
    std::string Wav(const std::string& name, const WavLayout& layout, uint32_t frames) const {
        const std::string path = dir.File(name);
        EXPECT_TRUE(WriteBytes(path, MakeWav(layout, PatternPcm(layout, frames))));
        return path;
    }

    // Writes a 16-bit stereo WAV file whose frame f is (left(f), right(f)).
    std::string StereoWav(const std::string& name, uint32_t rate, uint32_t frames,
                          const std::function<int32_t(uint32_t)>& left,
                          const std::function<int32_t(uint32_t)>& right,
                          std::optional<WavCue> cue = std::nullopt) const {
        const WavLayout layout{.nSamplesPerSec = rate, .cue = cue};
        std::vector<int32_t> samples;
        for (uint32_t f = 0; f < frames; ++f)
            samples.insert(samples.end(), {left(f) * 65536, right(f) * 65536});
        const std::string path = dir.File(name);
        EXPECT_TRUE(WriteBytes(path, MakeWav(layout, EncodeSamples(layout, samples))));
        return path;
    }

    // The engine's log, complete once the engine has closed. A time stamp
    // always ends a line that says what happened then.
    std::string Log() const {
        const std::string text = ReadWholeFile(dir.File("SarabandeDbg.Log"));
        EXPECT_FALSE(std::regex_search(text, std::regex("(^|\n)\\d\\d:\\d\\d:\\d\\d \\d{3}\n")))
            << "a time stamp alone on a line";
        return text;
    }

    TempDir dir;
    ScopedChdir cd;
    FakeDriver driver;
    FakeDriverSource source;
    int hwnd = 0;  // stands in for the window handle
    int32_t half = 0;
    std::unique_ptr<Sarabande> engine;
};
