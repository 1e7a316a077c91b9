// Small helpers shared by the drivers: bounded text copies into the host's
// buffers, and the error text every driver keeps for getErrorMessage.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "mixer/asio/Asio.h"

namespace drivers {

// Copies src into dst of `size` bytes, cut if needed, always terminated.
inline void CopyText(char* dst, size_t size, const char* src) noexcept {
    if (dst == nullptr || size == 0) {
        return;
    }
    if (src == nullptr) {
        src = "";
    }
    size_t n = std::strlen(src);
    if (n >= size) {
        n = size - 1;
    }
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// The last failure of a driver, as getErrorMessage hands it out. The host
// asks for it after init failed; it is written and read on the host's thread.
class ErrorText {
  public:
    template <typename... Args>
    void Set(const char* format, Args... args) noexcept {
        if constexpr (sizeof...(Args) == 0) {
            CopyText(text_, sizeof text_, format);
        } else {
            std::snprintf(text_, sizeof text_, format, args...);
        }
    }
    void Clear() noexcept { text_[0] = '\0'; }
    const char* Get() const noexcept { return text_; }
    // The host passes 256 bytes; a driver writes at most 124 there.
    void CopyTo(char* dst) const noexcept { CopyText(dst, kAsioErrorMessageBytes, text_); }

  private:
    char text_[kAsioErrorMessageBytes] = "";
};

}  // namespace drivers
