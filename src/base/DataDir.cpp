#include "base/DataDir.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace quorlin::base {

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home == '/') {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return {};
}

std::string UserDataDir() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && *data == '/') {
        return data;
    }
    const std::string home = HomeDir();
    return home.empty() ? std::string() : home + "/.local/share";
}

std::string ProgramShareDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path dir = fs::read_symlink("/proc/self/exe", ec).parent_path();
    for (int up = 0; up < 2 && !ec && dir.has_relative_path(); ++up) {
        dir = dir.parent_path();
        std::error_code absent;
        if (fs::is_directory(dir / "share" / "quorlin", absent)) {
            return (dir / "share").string();
        }
    }
    return {};
}

}  // namespace quorlin::base
