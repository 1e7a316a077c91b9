// A whole file mapped read-only into memory. Opening reads nothing: pages come
// in as blocks are touched, with a sequential-read hint.
//
// A file that shrinks while it is mapped (another program truncates it during
// playback) would raise SIGBUS on the next touch of a vanished page. Every
// mapping is registered with a process-wide guard that maps zero pages over
// the vanished range instead, so the missing part plays as silence;
// TakeTruncatedFlag() reports it once, to be logged off the signal handler.
#pragma once

#include <cstddef>
#include <cstdint>

class MappedFile {
  public:
    static constexpr uint32_t kPathField = 260;  // 259 characters and the terminating zero

    MappedFile();
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Opens and maps the whole file. The file is open exactly when
    // GetFileSize() is nonzero afterwards; the result says the same. Refused:
    // missing, unreadable, empty, not a regular file, 4 GiB or more. Writes no
    // log line: the caller reports the failure, GetOpenError() says why.
    bool Open(const char* path);
    // Why the last Open failed, in words for the user; "" after a success.
    const char* GetOpenError() const { return pszOpenError; }
    // Unmaps and closes. Closing a closed file does nothing.
    void Close();

    bool IsOpen() const { return dwFileSize != 0; }
    uint32_t GetFileSize() const { return dwFileSize; }
    const uint8_t* GetBase() const { return pBase; }
    // The path the file was opened with, cut to 259 characters; "" when closed
    // before ever opening.
    const char* GetPath() const { return szPath; }

    // True once after the guard found part of this file gone and mapped
    // silence over it. Clears the flag.
    bool TakeTruncatedFlag();

  private:
    char szPath[kPathField];
    int nFileHandle = -1;
    uint32_t dwFileSize = 0;
    const uint8_t* pBase = nullptr;
    int32_t nGuardSlot = -1;        // our entry in the SIGBUS guard's table, -1 when none
    const char* pszOpenError = "";  // a fixed text, or the system's text for an errno
};
