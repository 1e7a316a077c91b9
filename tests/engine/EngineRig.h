// What the engine tests share: a working directory of their own, a fake
// driver behind the mixer's host functions, and readers of the output pairs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mixer/AsioHost.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/FakeDriverSource.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

// One test's world: its temporary working directory (the engine's log and
// "ASIOConfig.txt" land there) and a fake card with 24 outputs, listed as the
// only installed driver.
struct EngineRig {
    explicit EngineRig(ASIOSampleType type = ASIOSTInt32LSB, int32_t frames = 64,
                       double rate = 48000.0)
        : cd(dir.path()), driver(24, type) {
        driver.preferredSize = frames;
        driver.rate = rate;
        source.Add("Fake Card", &driver);
        ASIOSetDriverSource(&source);
    }
    ~EngineRig() { ASIOSetDriverSource(nullptr); }

    // Writes a pattern WAV file and returns its path.
    std::string Wav(const std::string& name, const WavLayout& layout, uint32_t frames) const {
        const std::string path = dir.File(name);
        EXPECT_TRUE(WriteBytes(path, MakeWav(layout, PatternPcm(layout, frames))));
        return path;
    }

    // Writes a 44100 Hz stereo WAV file whose every frame is (left, right).
    std::string ConstantWav(const std::string& name, int16_t left, int16_t right,
                            uint32_t frames) const {
        std::vector<uint8_t> pcm;
        for (uint32_t f = 0; f < frames; ++f) {
            PutU16(pcm, static_cast<uint16_t>(left));
            PutU16(pcm, static_cast<uint16_t>(right));
        }
        const std::string path = dir.File(name);
        EXPECT_TRUE(WriteBytes(path, MakeWav(WavLayout{}, pcm)));
        return path;
    }

    std::string Log() const { return ReadWholeFile(dir.File("SarabandeDbg.Log")); }

    TempDir dir;
    ScopedChdir cd;
    FakeDriver driver;
    FakeDriverSource source;
    int hwnd = 0;  // stands in for the window handle
};

// What a stereo pair received, frame by frame, as 32-bit values (16-bit
// output is widened the same way the file's samples are compared).
struct PairCapture {
    std::vector<int32_t> left, right;

    void Take(const FakeDriver& driver, int32_t pair, int32_t half, bool b16Bits) {
        const int32_t frames = driver.CreatedSize();
        for (int32_t f = 0; f < frames; ++f) {
            if (b16Bits) {
                left.push_back(driver.Sample16(2 * pair, half, f));
                right.push_back(driver.Sample16(2 * pair + 1, half, f));
            } else {
                left.push_back(driver.Sample32(2 * pair, half, f));
                right.push_back(driver.Sample32(2 * pair + 1, half, f));
            }
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

// What a pattern file of `frames` frames should sound like on a pair: each
// source frame `repeat` times (2 for a lo-res file), mono on both sides.
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
