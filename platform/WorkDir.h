// Where a front end keeps "ASIOConfig.txt" and the debug logs: the working
// directory, or one given with --workdir.
#pragma once

#include <string>

namespace platform {

// Makes `dir` the working directory, creating it and its parents when they
// are missing. A leading "~/" stands for $HOME, for launchers that start the
// program without a shell (a desktop entry). False, with a sentence for the
// user in *error, when that fails.
[[nodiscard]] bool EnterWorkDir(const std::string& dir, std::string* error);

// `path` made absolute against the present working directory (unchanged when
// it already is, or when that directory cannot be read).
std::string AbsolutePath(const std::string& path);

}  // namespace platform
