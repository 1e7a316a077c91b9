#include "platform/WorkDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

bool EnterWorkDir(const std::string& dir, std::string* error) {
    std::string path = dir;
    const char* home = std::getenv("HOME");
    if (path.rfind("~/", 0) == 0 && home != nullptr && *home != '\0')
        path = std::string(home) + path.substr(1);
    // Each parent in turn; one that exists already is fine.
    for (size_t slash = path.find('/', 1); !path.empty(); slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) break;
        if (slash == std::string::npos) break;
    }
    if (path.empty() || chdir(path.c_str()) != 0) {
        *error = "cannot work in " + path + ": " + std::strerror(path.empty() ? ENOENT : errno);
        return false;
    }
    return true;
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::vector<char> cwd(4096, '\0');
    if (getcwd(cwd.data(), cwd.size()) == nullptr) return path;
    return std::string(cwd.data()) + "/" + path;
}

}  // namespace platform
