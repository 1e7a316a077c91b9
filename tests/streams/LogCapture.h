// Collects what a decode stream writes through its log function.
#pragma once

#include <string>

inline std::string& CapturedLog() {
    static std::string text;
    return text;
}

inline void CaptureLog(const char* text, bool appendTime) {
    if (text) CapturedLog() += text;
    if (appendTime) CapturedLog() += "<time>\n";
}
