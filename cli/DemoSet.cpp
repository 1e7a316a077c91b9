#include "cli/DemoSet.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cli/WaveWriter.h"

namespace cli {

namespace {

constexpr double kPi = 3.14159265358979323846;

enum class Signal { Tone, SweepUp, SweepDown, Chord, Pulses };

struct DemoFile {
    const char* name;
    uint16_t channels;
    uint32_t rate;
    double seconds;
    Signal left;
    double leftHz;
    Signal right;  // ignored for mono files
    double rightHz;
    bool bCue;
};

// Every file differs from the others in rate, layout or content, so that a
// recording with one file on the wrong pair, or a pair missing, shows.
constexpr DemoFile kDemoFiles[] = {
    {"01-tone-440-stereo-44k.wav", 2, 44100, 2.0, Signal::Tone, 440.0, Signal::Tone, 554.37, false},
    {"02-sweep-up-mono-48k.wav", 1, 48000, 3.0, Signal::SweepUp, 0.0, Signal::Tone, 0.0, false},
    {"03-tone-330-stereo-22k.wav", 2, 22050, 2.5, Signal::Tone, 330.0, Signal::Tone, 392.0, false},
    {"04-sweep-down-mono-22k.wav", 1, 22050, 4.0, Signal::SweepDown, 0.0, Signal::Tone, 0.0, false},
    {"05-chord-stereo-48k-cued.wav", 2, 48000, 3.0, Signal::Chord, 261.63, Signal::Chord, 293.66,
     true},
    {"06-sweeps-stereo-44k.wav", 2, 44100, 3.5, Signal::SweepUp, 0.0, Signal::SweepDown, 0.0,
     false},
    {"07-tone-1k-mono-44k.wav", 1, 44100, 2.0, Signal::Tone, 1000.0, Signal::Tone, 0.0, false},
    {"08-pulses-stereo-48k.wav", 2, 48000, 2.5, Signal::Pulses, 4.0, Signal::Pulses, 5.0, false},
};

// A logarithmic sweep between lowHz and highHz over the whole file, by the
// phase integral so that it has no clicks.
double SweepPhase(double t, double seconds, double fromHz, double toHz) {
    const double k = std::log(toHz / fromHz) / seconds;
    return 2.0 * kPi * fromHz * (std::exp(k * t) - 1.0) / k;
}

double Sample(Signal signal, double hz, double t, double seconds) {
    switch (signal) {
        case Signal::Tone:
            return 0.5 * std::sin(2.0 * kPi * hz * t);
        case Signal::SweepUp:
            return 0.5 * std::sin(SweepPhase(t, seconds, 100.0, 6000.0));
        case Signal::SweepDown:
            return 0.5 * std::sin(SweepPhase(t, seconds, 6000.0, 100.0));
        case Signal::Chord:
            return 0.2 * (std::sin(2.0 * kPi * hz * t) + std::sin(2.0 * kPi * hz * 1.25 * t) +
                          std::sin(2.0 * kPi * hz * 1.5 * t));
        case Signal::Pulses: {
            // A short decaying burst `hz` times a second.
            const double since = std::fmod(t, 1.0 / hz);
            return since < 0.02
                       ? 0.7 * std::exp(-since * 200.0) * std::sin(2.0 * kPi * 2000.0 * since)
                       : 0.0;
        }
    }
    return 0.0;
}

int16_t ToPcm(double v) {
    const double scaled = std::lround(v * 32767.0);
    return static_cast<int16_t>(scaled > 32767.0 ? 32767 : scaled < -32768.0 ? -32768 : scaled);
}

std::vector<int16_t> Render(const DemoFile& file) {
    const auto frames = static_cast<uint32_t>(file.seconds * file.rate);
    std::vector<int16_t> samples;
    samples.reserve(size_t{frames} * file.channels);
    // A fade of 10 ms at both ends keeps the speakers from clicking.
    const double fade = 0.01;
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / file.rate;
        double gain = 1.0;
        if (t < fade) gain = t / fade;
        if (file.seconds - t < fade) gain = (file.seconds - t) / fade;
        samples.push_back(ToPcm(gain * Sample(file.left, file.leftHz, t, file.seconds)));
        if (file.channels == 2) {
            samples.push_back(ToPcm(gain * Sample(file.right, file.rightHz, t, file.seconds)));
        }
    }
    return samples;
}

bool MakeDirectories(const std::string& dir, std::string* error) {
    std::string partial;
    size_t at = 0;
    while (at != std::string::npos) {
        at = dir.find('/', at + 1);
        partial = dir.substr(0, at);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = partial + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat info = {};
    if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = dir + ": not a directory";
        return false;
    }
    return true;
}

}  // namespace

bool WriteDemoSet(const std::string& dir, std::vector<std::string>* paths, std::string* error) {
    if (!MakeDirectories(dir, error)) {
        return false;
    }
    paths->clear();
    for (const DemoFile& file : kDemoFiles) {
        const std::string path = dir + "/" + file.name;
        // 3 s at 48000 Hz is 31 full blocks and a part: play blocks 2 to 27.
        const WaveCue cue{2, 28};
        if (!WriteWave16(path, file.channels, file.rate, Render(file), file.bCue ? &cue : nullptr,
                         error)) {
            return false;
        }
        paths->push_back(path);
    }
    return true;
}

}  // namespace cli
