// The application object: it names the drivers the mixer may open, runs the
// main dialog modally, and ends the program when the dialog closes.
#pragma once

#include <QString>
#include <string>

#include "drivers/BuiltinDrivers.h"

class CPlayerApp {
  public:
    struct Options {
        bool bTiming = false;  // print how long the window took to appear
        double dMainMs = 0.0;  // when main() began, on the boot clock
        std::string workDir;   // --workdir DIR: the configuration file and the logs
    };

    // Recognises --timing and --workdir DIR; anything else is left to Qt.
    static Options ParseOptions(int argc, char** argv);

    // Runs the main dialog and returns false: there is no message loop after
    // it, so the program ends. A QApplication must exist.
    bool InitInstance(const Options& options);

  private:
    drivers::BuiltinDrivers drivers_;
};
