// cantabile: the main dialog. Options: --timing prints how long the window
// took to appear.
#include <QApplication>

#include "app/PlayerApp.h"
#include "app/StartupTiming.h"

int main(int argc, char** argv) {
    CPlayerApp::Options options = CPlayerApp::ParseOptions(argc, argv);
    options.dMainMs = startup::BootClockMs();
    QApplication application(argc, argv);
    QApplication::setApplicationName("Cantabile");
    QApplication::setDesktopFileName("cantabile");
    CPlayerApp theApp;
    theApp.InitInstance(options);
    return 0;
}
