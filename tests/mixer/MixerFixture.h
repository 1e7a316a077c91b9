// Shared by the output-stage tests: a temporary working directory holding
// the mixer's debug log, and small helpers to make and play sound buffers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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
