// Random command sequences against the engine on the fake card: loads of a
// few prepared files (some broken), plays, restarts, positions, closes and
// buffer switches in any order, each byte one step. Every command must
// answer with a code, and nothing may read or write out of bounds.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/FakeDriverSource.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

namespace {

struct World {
    TempDir dir;
    ScopedChdir cd{dir.path()};
    std::vector<std::string> files;

    World() {
        auto add = [&](const char* name, const std::vector<uint8_t>& bytes) {
            files.push_back(dir.File(name));
            WriteBytes(files.back(), bytes);
        };
        WavLayout stereo;
        add("stereo.wav", MakeWav(stereo, PatternPcm(stereo, 4608 * 9)));
        WavLayout lowMono;
        lowMono.nChannels = 1;
        lowMono.nSamplesPerSec = 22050;
        add("low-mono.wav", MakeWav(lowMono, PatternPcm(lowMono, 2304 * 7)));
        WavLayout cued;
        cued.cue = WavCue{2, 5};
        add("cued.wav", MakeWav(cued, PatternPcm(cued, 4608 * 8)));
        add("two-blocks.wav", MakeWav(stereo, PatternPcm(stereo, 4608 * 2)));
        WavLayout truncated;
        truncated.dataSizeField = 4608 * 4 * 20;
        add("truncated.wav", MakeWav(truncated, PatternPcm(truncated, 4608 * 3)));
        WavLayout adpcm;
        adpcm.wFormatTag = 2;
        add("adpcm.wav", MakeWav(adpcm, PatternPcm(adpcm, 4608 * 3)));
        add("tiny.wav", MakeWav(stereo, PatternPcm(stereo, 100)));
        files.push_back(dir.File("missing.wav"));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    FakeDriver driver(24, size > 0 && (data[0] & 1) ? ASIOSTInt16LSB : ASIOSTInt32LSB);
    driver.preferredSize = size > 1 ? 32 << (data[1] % 4) : 64;
    FakeDriverSource source;
    source.Add("Fake Card", &driver);
    ASIOSetDriverSource(&source);
    int hwnd = 0;
    {
        Sarabande engine(-1, nullptr);
        if (engine.Init(&hwnd, nullptr, world.dir.path().c_str()) == 0) {
            bool started = false;
            int32_t half = 0;
            for (size_t i = 2; i < size; ++i) {
                const uint8_t byte = data[i];
                const int32_t channel = static_cast<int32_t>(byte >> 4) - 2;  // -2..13
                switch (byte & 0x0F) {
                    case 0:
                    case 1: {
                        const size_t pick = (i + 1 < size ? data[++i] : 0) % world.files.size();
                        engine.LoadFile(channel, world.files[pick].c_str());
                        break;
                    }
                    case 2:
                        engine.PlayChannel(channel);
                        break;
                    case 3:
                        engine.ReStartChannel(channel);
                        break;
                    case 4: {
                        const int32_t block = i + 1 < size ? static_cast<int8_t>(data[++i]) : 0;
                        engine.SetPosition(channel, block);
                        break;
                    }
                    case 5:
                        engine.CloseChannelInstantly(channel);
                        break;
                    case 6:
                        engine.GetChannelStatus(channel);
                        break;
                    case 7:
                        if (started) {
                            ASIOStopPlay();
                        } else {
                            (void)ASIOStartPlay();
                        }
                        started = !started;
                        break;
                    case 8:
                        engine.FlushNotifications(1000);
                        break;
                    default:
                        // Buffer switches, the most common step: one to eight of
                        // them, then the refills they asked for.
                        for (int32_t n = 0; n <= (byte >> 5); ++n) {
                            driver.Switch(half);
                            half ^= 1;
                        }
                        engine.FlushNotifications(1000);
                        break;
                }
            }
        }
        engine.Close();
    }
    ASIOSetDriverSource(nullptr);
    return 0;
}
