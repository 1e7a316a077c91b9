#include "diag/DebugLog.h"

#include <sys/time.h>

#include <cstdio>
#include <string>

DebugLog::DebugLog(const char* current, const char* previous, const char* oldest, bool engineLog)
    : names_{current, previous, oldest}, engineLog_(engineLog) {}

DebugLog::~DebugLog() {
    std::lock_guard guard(lock_);
    if (file_) std::fclose(file_);
}

void DebugLog::Open(const char* directory) {
    std::lock_guard guard(lock_);
    if (file_) {
        // Callers close first; an open log is closed rather than leaked.
        std::fclose(file_);
        file_ = nullptr;
    }
    std::string dir = directory ? directory : "";
    // A name that begins with '/' is meant to follow a directory; without one
    // it goes to the working directory, not to the root.
    if (dir.empty() && names_[0][0] == '/') dir = ".";
    const std::string current = dir + names_[0];
    const std::string previous = dir + names_[1];
    const std::string oldest = dir + names_[2];

    // Each step runs whether or not the one before found its file.
    std::remove(oldest.c_str());
    std::rename(previous.c_str(), oldest.c_str());
    std::rename(current.c_str(), previous.c_str());

    file_ = std::fopen(current.c_str(), "w");
    if (!file_) return;

    Put("Debug log\n\nDate: ", false);
    WriteDate();
    Put("- Time started: ", false);
    WriteTime();
    Put("\n", false);
}

void DebugLog::Close() {
    std::lock_guard guard(lock_);
    if (!file_) return;
    Put("\n\nShutting down debug logging system...\nDate: ", false);
    WriteDate();
    Put("- Time: ", false);
    WriteTime();
    if (engineLog_) Put("Goodbye, and may all your code compile!\n", false);
    std::fflush(file_);
    std::fclose(file_);
    file_ = nullptr;
}

bool DebugLog::IsOpen() {
    std::lock_guard guard(lock_);
    return file_ != nullptr;
}

void DebugLog::Put(const std::string& piece, bool flush) {
    std::lock_guard guard(lock_);
    if (!file_) return;
    std::fwrite(piece.data(), 1, piece.size(), file_);
    if (flush) std::fflush(file_);
}

void DebugLog::WriteLine(const char* text) {
    Put(std::string(text ? text : "") + "\n", true);
}

void DebugLog::Write(const char* text) {
    if (text) Put(text, false);
}

void DebugLog::WriteValue(const char* label, int32_t value) {
    Put(std::string(label ? label : "") + ": " + std::to_string(value) + "\n", true);
}

void DebugLog::WriteValueDash(const char* label, int32_t value) {
    Put(std::string(label ? label : "") + ": " + std::to_string(value) + " - ", true);
}

void DebugLog::WriteTwoValues(const char* label1, int32_t value1, const char* label2,
                              int32_t value2) {
    Put(std::string(label1 ? label1 : "") + ": " + std::to_string(value1) + ", " +
            (label2 ? label2 : "") + ": " + std::to_string(value2) + "\n",
        true);
}

void DebugLog::WriteDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    Put(FormatDate(local), false);
}

void DebugLog::WriteTime() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm local{};
    const std::time_t seconds = tv.tv_sec;
    localtime_r(&seconds, &local);
    Put(FormatTime(local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(tv.tv_usec / 1000)),
        false);
}

void DebugLog::EngineLog(const char* text, bool appendTime) {
    if (text) Write(text);
    if (appendTime) WriteTime();
}

std::string DebugLog::FormatDate(const std::tm& local) {
    // strftime's %A and %B follow LC_TIME; name the days and months in the C
    // locale's English whatever the process's locale is.
    static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    char text[64];
    const int day = local.tm_wday >= 0 && local.tm_wday < 7 ? local.tm_wday : 0;
    const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
    std::snprintf(text, sizeof text, "%s, %s/%02d/%04d ", kDays[day], kMonths[month], local.tm_mday,
                  local.tm_year + 1900);
    return text;
}

std::string DebugLog::FormatTime(int hours, int minutes, int seconds, int millis) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d %03d\n", hours, minutes, seconds, millis);
    return text;
}

DebugLog& MixerDebugLog() {
    static DebugLog log("/OstinatoDbg.Log", "/OstinatoDbg1.Log", "/OstinatoDbg2.Log", false);
    return log;
}

DebugLog& EngineDebugLog() {
    static DebugLog log("SarabandeDbg.Log", "SarabandeDbg1.Log", "SarabandeDbg2.Log", true);
    return log;
}

void EngineLog(const char* text, bool appendTime) {
    EngineDebugLog().EngineLog(text, appendTime);
}
