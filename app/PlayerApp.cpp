#include "app/PlayerApp.h"

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "app/PlayerDlg.h"
#include "app/StartupTiming.h"
#include "mixer/AsioHost.h"

CPlayerApp::Options CPlayerApp::ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (!argv[i]) continue;
        if (std::strcmp(argv[i], "--timing") == 0)
            options.bTiming = true;
        else if (std::strcmp(argv[i], "--workdir") == 0 && i + 1 < argc)
            options.workDir = argv[++i];
        else if (std::strncmp(argv[i], "--workdir=", 10) == 0)
            options.workDir = argv[i] + 10;
    }
    return options;
}

bool CPlayerApp::InitInstance(const Options& options) {
    // The mixer looks the drivers up here for as long as the dialog lives.
    ASIOSetDriverSource(&drivers_);
    {
        CPlayerDlg dlg;
        QApplication::setWindowIcon(dlg.Icon());
        if (options.bTiming) {
            const double mainMs = options.dMainMs;
            dlg.SetFirstPaintHandler([mainMs] {
                const double paintMs = startup::BootClockMs();
                const std::string line =
                    startup::FormatTimingLine(startup::ProcessStartMs(), mainMs, paintMs);
                std::fputs(line.c_str(), stdout);
                std::fflush(stdout);
            });
        }
        dlg.exec();
    }
    ASIOSetDriverSource(nullptr);
    return false;
}
