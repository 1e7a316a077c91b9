// The rotating plain-text debug log. Two instances exist: the mixer's
// ("/OstinatoDbg.Log" in a given directory) and the engine's
// ("SarabandeDbg.Log" in the working directory). Always on; a log whose file
// cannot be created ignores every write.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

class DebugLog {
  public:
    // The three file names: current, previous and oldest.
    DebugLog(const char* current, const char* previous, const char* oldest, bool engineLog);
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    // Rotates the three files, creates the current one in `directory` (the
    // names are appended to it unchanged; null or "" means the working
    // directory) and writes the header.
    void Open(const char* directory);
    void Close();
    bool IsOpen();

    void WriteLine(const char* text);
    void Write(const char* text);
    void WriteValue(const char* label, int32_t value);
    void WriteValueDash(const char* label, int32_t value);
    void WriteTwoValues(const char* label1, int32_t value1, const char* label2, int32_t value2);
    void WriteDate();
    void WriteTime();
    // Write(text) unless text is null, then WriteTime() if appendTime.
    void EngineLog(const char* text, bool appendTime);

    // "%A, %B/%d/%Y " in the C locale, at most 63 characters.
    static std::string FormatDate(const std::tm& local);
    // "hh:mm:ss mmm\n".
    static std::string FormatTime(int hours, int minutes, int seconds, int millis);

  private:
    void Put(const std::string& piece, bool flush);

    const char* names_[3];
    const bool engineLog_;
    std::recursive_mutex lock_;
    std::FILE* file_ = nullptr;  // written under lock_ by whichever thread logs
};

// The mixer library's log and the engine's log: one of each per process.
DebugLog& MixerDebugLog();
DebugLog& EngineDebugLog();

// The engine's log function, handed down to every object of a channel's
// pipeline. Callers put their own line ends into their texts.
using LogFunction = void (*)(const char* text, bool appendTime);
void EngineLog(const char* text, bool appendTime);
