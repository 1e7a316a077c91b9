// What the dialog's show column costs its thread: twelve rows playing on the
// virtual card under the offscreen platform, the CPU time of the dialog's
// thread over a run with the column's ten-a-second refresh (times, meters and
// their repaints), against the same run with that refresh stopped.
//
//   bench_dialog_refresh [SECONDS]   (default 10 per run)
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/PlayerDlg.h"
#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

namespace {

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The share of one core the dialog's thread used over `seconds` of play.
double RunShare(int seconds) {
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = ThreadCpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = ThreadCpuSeconds() - cpu0;
    return cpu / (static_cast<double>(wall.elapsed()) / 1000.0);
}

// A 440 Hz stereo tone at 44100 Hz whose loudness swells and fades `hz` times
// a second, as 16-bit little-endian PCM.
std::vector<uint8_t> SwellingTone(uint32_t frames, double hz) {
    std::vector<uint8_t> pcm;
    pcm.reserve(frames * 4);
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = i / 44100.0;
        const double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * hz * t);
        const auto sample = static_cast<int16_t>(30000 * envelope * std::sin(2 * M_PI * 440 * t));
        for (int side = 0; side < 2; ++side) {
            pcm.push_back(static_cast<uint8_t>(sample & 0xFF));
            pcm.push_back(static_cast<uint8_t>((sample >> 8) & 0xFF));
        }
    }
    return pcm;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    TempDir dir;
    ScopedChdir chdir(dir.path());
    if (!WriteBytes(dir.File("ASIOConfig.txt"), {'2'})) return 1;
    drivers::BuiltinDrivers builtin{std::vector<drivers::AlsaDevice>{}};
    ASIOSetDriverSource(&builtin);
    int status = 0;
    {
        CPlayerDlg dlg;
        dlg.SetFileChooser([&](QWidget*) { return QString(); });
        dlg.show();
        // Looped: every row plays throughout. Each swells and fades at its own
        // pace, so that every meter moves on every refresh.
        WavLayout layout;
        for (int32_t k = 0; k < kNumChannels; ++k) {
            const std::string path = dir.File("row" + std::to_string(k) + ".wav");
            if (!WriteBytes(path, MakeWav(layout, SwellingTone(44100 * 8, 0.3 + 0.1 * k))) ||
                dlg.Engine()->LoadFile(k, path.c_str()) != k) {
                std::fprintf(stderr, "row %d did not load\n", k + 1);
                return 1;
            }
            dlg.Engine()->SetChannelLoop(k, true);
        }
        dlg.OnPlayPause();
        RunShare(1);  // settle

        const double withColumn = RunShare(seconds);
        auto* timer = dlg.findChild<QTimer*>("columnWatch");
        if (!timer) return 1;
        timer->stop();
        const double without = RunShare(seconds);
        int playing = 0;
        for (int32_t k = 0; k < kNumChannels; ++k)
            playing += dlg.Engine()->GetChannelStatus(k) == CHANNEL_PLAYING;
        std::printf("rows playing: %d; %d s each run\n", playing, seconds);
        std::printf("dialog thread, column refreshed at 10 Hz: %.2f %% of a core\n",
                    100.0 * withColumn);
        std::printf("dialog thread, column stopped:            %.2f %% of a core\n",
                    100.0 * without);
        std::printf("the column's own share:                    %.2f %% of a core\n",
                    100.0 * (withColumn - without));
        status = playing == kNumChannels ? 0 : 1;
        dlg.done(0);
    }
    ASIOSetDriverSource(nullptr);
    return status;
}
