// A fresh temporary directory for one test, removed with everything in it.
// Tests write only inside one of these.
#pragma once

#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Makes a directory the working directory for its lifetime (the engine's log
// and "ASIOConfig.txt" live in the working directory).
class ScopedChdir {
  public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

  private:
    std::string previous_;
};

std::string ReadWholeFile(const std::string& path);
