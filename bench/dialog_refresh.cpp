// What the dialog's show column costs its thread: twelve rows playing on the
// virtual card under the offscreen platform, the CPU time of the dialog's
// thread over a run with the column's ten-a-second refresh (times, meters and
// their repaints), against the same run with that refresh stopped.
//
//   bench_dialog_refresh [SECONDS]   (default 10 per run)
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
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
    while (wall.elapsed() < seconds * 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    const double cpu = ThreadCpuSeconds() - cpu0;
    return cpu / (static_cast<double>(wall.elapsed()) / 1000.0);
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
        // Longer than both runs, looped anyway: every row plays throughout.
        WavLayout layout;
        const std::vector<uint8_t> wav = MakeWav(layout, PatternPcm(layout, 44100 * 30));
        for (int32_t k = 0; k < kNumChannels; ++k) {
            const std::string path = dir.File("row" + std::to_string(k) + ".wav");
            if (!WriteBytes(path, wav) || dlg.Engine()->LoadFile(k, path.c_str()) != k) {
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
        std::printf("dialog thread, column stopped:            %.2f %% of a core\n", 100.0 * without);
        std::printf("the column's own share:                    %.2f %% of a core\n",
                    100.0 * (withColumn - without));
        status = playing == kNumChannels ? 0 : 1;
        dlg.done(0);
    }
    ASIOSetDriverSource(nullptr);
    return status;
}
