#include "base/DataDir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace quorlin::base {

namespace {

std::vector<char> PasswdBuffer() {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    return std::vector<char>(size > 0 ? static_cast<std::size_t>(size) : 16384);
}

}  // namespace

std::string UserName(uid_t uid) {
    std::vector<char> buffer = PasswdBuffer();
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && found->pw_name[0] != '\0') {
        return found->pw_name;
    }
    return std::to_string(uid);
}

std::optional<ForeignDirectory> ForeignDirectoryOnTheWay(const std::string& dir,
                                                         const std::string& home) {
    namespace fs = std::filesystem;
    fs::path base = fs::path(home).lexically_normal();
    if (!base.has_filename() && base != base.root_path()) {
        base = base.parent_path();  // "/home/alice/"
    }
    // A home of / would make every path one within it.
    if (dir.empty() || !base.is_absolute() || base == base.root_path()) {
        return std::nullopt;
    }
    const fs::path relative = fs::path(dir).lexically_normal().lexically_relative(base);
    if (relative.empty() || *relative.begin() == ".." || relative == ".") {
        return std::nullopt;
    }
    fs::path at = base;
    for (const fs::path& part : relative) {
        if (part.empty() || part == ".") {
            continue;  // a trailing separator
        }
        at /= part;
        struct stat st {};
        if (::stat(at.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                return std::nullopt;  // left to what then uses it to fail on
            }
            struct stat top {};
            if (::stat(base.c_str(), &top) == 0 && top.st_uid != ::geteuid()) {
                return ForeignDirectory{base.string(), UserName(top.st_uid)};
            }
            return std::nullopt;
        }
        if (st.st_uid != ::geteuid()) {
            return ForeignDirectory{at.string(), UserName(st.st_uid)};
        }
    }
    return std::nullopt;
}

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home == '/') {
        return home;
    }
    std::vector<char> buffer = PasswdBuffer();
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
