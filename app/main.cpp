// cantabile: the main dialog. Options: --timing prints how long the window
// took to appear; --workdir DIR keeps "ASIOConfig.txt" and the logs in DIR
// (made if missing; the desktop entry names ~/.local/state/cantabile).
#include <QApplication>
#include <cstdio>
#include <string>

#include "app/PlayerApp.h"
#include "app/StartupTiming.h"
#include "platform/WorkDir.h"

int main(int argc, char** argv) {
    CPlayerApp::Options options = CPlayerApp::ParseOptions(argc, argv);
    options.dMainMs = startup::BootClockMs();
    std::string error;
    if (!options.workDir.empty() && !platform::EnterWorkDir(options.workDir, &error)) {
        std::fprintf(stderr, "cantabile: %s\n", error.c_str());
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName("Cantabile");
    QApplication::setDesktopFileName("cantabile");
    CPlayerApp theApp;
    theApp.InitInstance(options);
    return 0;
}
