// cantabile-play: the command-line front end. It drives the same engine and
// host functions as the dialog, and adds no audio logic of its own.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/DemoSet.h"
#include "cli/Options.h"
#include "cli/Player.h"
#include "drivers/BuiltinDrivers.h"
#include "drivers/VirtualCardSettings.h"
#include "engine/ChannelStates.h"
#include "mixer/AsioDriverList.h"
#include "mixer/AsioHost.h"
#include "platform/WorkDir.h"

namespace {

using cli::kExitOk;
using cli::kExitUsage;

int UsageError(const std::string& message) {
    std::fprintf(stderr, "cantabile-play: %s\nTry 'cantabile-play --help'.\n", message.c_str());
    return kExitUsage;
}

struct DriverEntry {
    int32_t nNumber;
    std::string name;
};

// The drivers as the mixer numbers them: only it knows which entries count.
std::vector<DriverEntry> ListDrivers(DriverSource* source) {
    AsioDriverList list(source);
    std::vector<DriverEntry> entries;
    for (int32_t i = 0; i < list.DriverCount(); ++i) {
        char name[AsioDriverList::kNameBytes] = {};
        if (list.DriverDescription(i, name, sizeof name) != 0) {
            name[0] = '\0';
        }
        entries.push_back({i, name});
    }
    return entries;
}

// A number, or a case-insensitive prefix of exactly one name (an exact name
// wins over longer names that begin with it).
bool ResolveDevice(const std::string& wanted, const std::vector<DriverEntry>& drivers,
                   int32_t* number, std::string* error) {
    bool bDigits = !wanted.empty();
    for (const char c : wanted) bDigits = bDigits && c >= '0' && c <= '9';
    if (bDigits) {
        const unsigned long value =
            wanted.size() <= 3 ? std::strtoul(wanted.c_str(), nullptr, 10) : 1000;
        if (value >= drivers.size()) {
            *error = "there is no driver number " + wanted + " (see --list-devices)";
            return false;
        }
        *number = static_cast<int32_t>(value);
        return true;
    }
    std::vector<int32_t> matches;
    for (const DriverEntry& entry : drivers) {
        if (strcasecmp(entry.name.c_str(), wanted.c_str()) == 0) {
            *number = entry.nNumber;
            return true;
        }
        if (strncasecmp(entry.name.c_str(), wanted.c_str(), wanted.size()) == 0) {
            matches.push_back(entry.nNumber);
        }
    }
    if (matches.size() == 1) {
        *number = matches[0];
        return true;
    }
    *error = matches.empty()
                 ? "no driver's name begins with \"" + wanted + "\" (see --list-devices)"
                 : "\"" + wanted + "\" names more than one driver (see --list-devices)";
    return false;
}

int32_t VirtualCardNumber(drivers::BuiltinDrivers* source) {
    DriverClassId wanted;
    if (!ParseDriverClassId(drivers::kVirtualCardClassId, &wanted)) return -1;
    int32_t number = 0;
    for (const InstalledDriver& entry : source->Enumerate()) {
        if (!entry.hasClsid || entry.libraryPath.empty()) continue;
        DriverClassId id;
        if (ParseDriverClassId(entry.clsid.c_str(), &id) && id == wanted) return number;
        ++number;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Options options;
    std::string error;
    if (!cli::ParseOptions(argc, argv, &options, &error)) {
        return UsageError(error);
    }
    if (options.bHelp) {
        std::fputs(cli::UsageText(), stdout);
        return kExitOk;
    }
    if (options.bVersion) {
        std::printf("cantabile-play 1.0\n");
        return kExitOk;
    }

    // Every path on the command line means what it meant where the player
    // was started; only the configuration file and the logs move.
    std::string startDir = platform::AbsolutePath(".");
    if (startDir.ends_with("/.")) startDir.resize(startDir.size() - 2);
    if (!options.workDir.empty()) {
        if (!options.showPath.empty()) options.showPath = platform::AbsolutePath(options.showPath);
        if (!options.saveShowPath.empty())
            options.saveShowPath = platform::AbsolutePath(options.saveShowPath);
        for (std::string& path : options.files) path = platform::AbsolutePath(path);
        for (cli::ChannelFile& file : options.channels)
            file.path = platform::AbsolutePath(file.path);
        if (!options.recordPath.empty())
            options.recordPath = platform::AbsolutePath(options.recordPath);
        options.demoDir = platform::AbsolutePath(options.demoDir);
        if (!platform::EnterWorkDir(options.workDir, &error)) {
            std::fprintf(stderr, "cantabile-play: %s\n", error.c_str());
            return cli::kExitDriver;
        }
    }

    drivers::BuiltinDrivers source;
    ASIOSetDriverSource(&source);
    const std::vector<DriverEntry> drivers = ListDrivers(&source);
    if (options.bListDevices) {
        for (const DriverEntry& entry : drivers) {
            std::printf("%2d  %s\n", entry.nNumber, entry.name.c_str());
        }
        return kExitOk;
    }

    cli::PlayPlan plan;
    static_cast<cli::PlaySettings&>(plan) = options;
    plan.startDir = startDir;

    if (options.bDemo) {
        std::vector<std::string> paths;
        if (!cli::WriteDemoSet(options.demoDir, &paths, &error)) {
            std::fprintf(stderr, "cantabile-play: cannot write the demo: %s\n", error.c_str());
            return cli::kExitFile;
        }
        options.files = paths;
        if (options.recordPath.empty()) {
            options.recordPath = options.demoDir + "/recording.wav";
        }
        std::printf("demo: %zu files in %s, recording to %s\n", paths.size(),
                    options.demoDir.c_str(), options.recordPath.c_str());
    }

    // The virtual card reads its settings from the environment when the
    // engine opens it; check them here so that a typo is an argument error.
    drivers::VirtualCardSettings settings;
    if (!drivers::ParseVirtualCardSettings(options.rate.c_str(), options.frames.c_str(),
                                           options.format.c_str(), options.recordPath.c_str(),
                                           &settings, &error)) {
        const size_t at = error.find(" must");
        const char* flag = error.rfind("CANTABILE_VC_RATE", 0) == 0     ? "--rate"
                           : error.rfind("CANTABILE_VC_FRAMES", 0) == 0 ? "--frames"
                                                                        : "--format";
        return UsageError(std::string(flag) +
                          (at == std::string::npos ? " is wrong" : error.substr(at)));
    }
    if (!options.rate.empty()) setenv("CANTABILE_VC_RATE", options.rate.c_str(), 1);
    if (!options.frames.empty()) setenv("CANTABILE_VC_FRAMES", options.frames.c_str(), 1);
    if (!options.format.empty()) setenv("CANTABILE_VC_FORMAT", options.format.c_str(), 1);

    if (!options.device.empty() && !ResolveDevice(options.device, drivers, &plan.nDevice, &error)) {
        return UsageError(error);
    }
    const int32_t virtualCard = VirtualCardNumber(&source);
    if (!options.recordPath.empty()) {
        if (virtualCard < 0) {
            return UsageError("--record needs the virtual card, and it is not in the driver list");
        }
        if (!options.device.empty() && plan.nDevice != virtualCard) {
            return UsageError(
                "--record plays through the virtual card; --device names another driver");
        }
        plan.nDevice = virtualCard;
        setenv("CANTABILE_VC_RECORD", options.recordPath.c_str(), 1);
    }
    // Settings left in the environment would otherwise only show up as a
    // driver that does not open.
    if (plan.nDevice >= 0 && plan.nDevice == virtualCard &&
        !drivers::VirtualCardSettingsFromEnvironment(&settings, &error)) {
        return UsageError(error);
    }

    // --channel first, then the free files on the channels left, from 0 up.
    bool bTaken[kNumChannels] = {};
    for (const cli::ChannelFile& file : options.channels) {
        bTaken[file.nChannel] = true;
        plan.files.push_back(file);
    }
    int32_t next = 0;
    for (const std::string& path : options.files) {
        while (next < kNumChannels && bTaken[next]) ++next;
        // A file beyond the twelfth channel is reported, not evicting another.
        plan.files.push_back({next < kNumChannels ? next : -1, path});
        if (next < kNumChannels) bTaken[next] = true;
    }

    const int status = cli::RunPlayer(plan);
    ASIOSetDriverSource(nullptr);
    return status;
}
