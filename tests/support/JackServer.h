// A private JACK server on the dummy backend for tests and benchmarks: no
// sound card, no real-time privileges, 24 playback ports and no capture.
// Clients of this process find it through JACK_DEFAULT_SERVER, which Start
// sets and the destructor clears.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class JackServer {
  public:
    // bRealtime lets the server (and through it its clients' process
    // threads) use real-time scheduling where the system allows it; tests
    // run without, so that they behave alike everywhere.
    JackServer(std::string jackd, std::string name, uint32_t sampleRate = 48000,
               uint32_t periodFrames = 256, bool bRealtime = false);
    // Ends a running server (SIGTERM, then SIGKILL after 5 s) and clears
    // JACK_DEFAULT_SERVER.
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // The jackd executable on PATH (or in /usr/bin), empty when there is none.
    static std::string FindJackd();

    // A server name for one test case. The same case always gets the same
    // name: a server killed without its goodbye leaves its entry in JACK's
    // shared registry, and only a later server of the same name takes that
    // entry back instead of filling the registry up run after run. Short
    // enough for the socket paths JACK builds from it.
    static std::string NameFor(const std::string& suite, const std::string& testCase);

    // Spawns jackd, points JACK_DEFAULT_SERVER at it and waits (up to 10 s)
    // until a probe client can open. False when it cannot be spawned or never
    // answers. May be called again after Kill: the same name comes back.
    [[nodiscard]] bool Start();

    // Sends `signal` and reaps the server (SIGKILL after 5 s). Nothing when
    // it does not run.
    void Kill(int signal);

  private:
    std::string jackd_;
    std::string name_;
    uint32_t dwSampleRate_;
    uint32_t dwPeriodFrames_;
    bool bRealtime_;
    pid_t pid_ = -1;
};
