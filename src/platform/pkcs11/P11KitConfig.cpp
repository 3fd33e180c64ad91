// p11-kit's module configuration read by hand, by the rules p11-kit 0.24 follows. Asking
// libp11-kit (p11_kit_modules_load) would load every configured module into this process,
// running code that UntrustedReason never judged, and would leave out the modules
// enabled only in other programs (enable-in), which are configured all the same.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "base/AtomicFile.h"
#include "base/DataDir.h"
#include "platform/pkcs11/Pkcs11.h"

namespace quorlin::pkcs11 {

namespace {

constexpr const char* kMark = "# Written by Quorlin";

std::string Trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// pkcs11.conf(5): "name: value" lines; '#' starts a comment line only.
std::map<std::string, std::string> ReadSettings(const std::string& file) {
    std::map<std::string, std::string> settings;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        const auto colon = line.find(':');
        if (line.empty() || line.front() == '#' || colon == std::string::npos) {
            continue;
        }
        settings[Trim(line.substr(0, colon))] = Trim(line.substr(colon + 1));
    }
    return settings;
}

// Config name (the file name less ".module") to file; a later directory's file of the
// same name replaces an earlier one's. p11-kit skips hidden files and directories.
void AddModuleFiles(const std::string& dir, std::map<std::string, std::string>& files) {
    if (dir.empty()) {
        return;
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.front() == '.' || entry.is_directory(ec) || !entry.exists(ec)) {
            continue;
        }
        const std::string suffix = ".module";
        const bool module = name.size() > suffix.size() && name.ends_with(suffix);
        files[module ? name.substr(0, name.size() - suffix.size()) : name] = entry.path().string();
    }
}

std::string RealPath(const std::string& path) {
    std::error_code ec;
    const auto real = std::filesystem::canonical(path, ec);
    return ec ? std::string() : real.string();
}

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool IsOurs(const std::string& file) {
    std::ifstream in(file);
    std::string first;
    return std::getline(in, first) && first.starts_with(kMark);
}

// mkdir -p of what is missing of dir below home, each made 0700 whatever the umask.
bool MakeDirectoriesBelow(const std::string& dir, const std::string& home, std::string& reason) {
    namespace fs = std::filesystem;
    const fs::path base = fs::path(home).lexically_normal();
    const fs::path relative = fs::path(dir).lexically_normal().lexically_relative(base);
    fs::path at = base;
    for (const fs::path& part : relative) {
        if (part.empty() || part == ".") {
            continue;
        }
        at /= part;
        if (::mkdir(at.c_str(), 0700) == 0) {
            if (::chmod(at.c_str(), 0700) != 0) {
                reason = "cannot make " + at.string() + ": " + std::strerror(errno);
                return false;
            }
        } else if (errno != EEXIST) {
            reason = "cannot make " + at.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

P11KitPaths PathsForThisUser() {
    P11KitPaths paths;
    paths.packageModules = QUORLIN_P11_PACKAGE_MODULES;
    paths.systemModules = QUORLIN_P11_SYSTEM_DIR "/modules";
    paths.systemConfig = QUORLIN_P11_SYSTEM_DIR "/pkcs11.conf";
    paths.home = base::HomeDir();
    paths.root = ::getuid() == 0 || ::geteuid() == 0;
    std::string config = EnvOrEmpty("XDG_CONFIG_HOME");
    if (config.empty()) {
        const std::string home = EnvOrEmpty("HOME");
        config = (home.empty() ? paths.home : home) + "/.config";
    }
    paths.userModules = config + "/pkcs11/modules";
    paths.userConfig = config + "/pkcs11/pkcs11.conf";
    return paths;
}

P11KitState InspectP11Kit(const std::string& modulePath, const P11KitPaths& paths) {
    P11KitState state;
    std::string mode = "merge";
    if (const auto system = ReadSettings(paths.systemConfig); system.contains("user-config")) {
        mode = system.at("user-config");
        if (mode == "none") {
            state.ignoredWhy = "user-config: none in " + paths.systemConfig;
        }
    }
    if (paths.root) {
        mode = "none";
        state.ignoredWhy = "root";
    } else if (mode != "none") {
        // The user's own pkcs11.conf may turn the user's modules off, or the system's.
        if (const auto user = ReadSettings(paths.userConfig); user.contains("user-config")) {
            mode = user.at("user-config");
            if (mode == "none") {
                state.ignoredWhy = "user-config: none in " + paths.userConfig;
            }
        }
    }
    state.userConfigIgnored = mode == "none";

    std::map<std::string, std::string> files;
    if (mode != "only") {
        AddModuleFiles(paths.packageModules, files);
        AddModuleFiles(paths.systemModules, files);
    }
    if (mode != "none") {
        AddModuleFiles(paths.userModules, files);
    }
    const std::string wanted = RealPath(modulePath);
    if (wanted.empty()) {
        return state;
    }
    for (const auto& [name, file] : files) {
        const auto settings = ReadSettings(file);
        const auto module = settings.find("module");
        if (module != settings.end() && !module->second.empty() &&
            RealPath(ResolveModulePath(module->second)) == wanted) {
            state.configuredIn = file;
            break;
        }
    }
    return state;
}

P11KitState InspectP11Kit(const std::string& modulePath) {
    return InspectP11Kit(modulePath, PathsForThisUser());
}

std::string ModuleFileName(const std::string& providerName) {
    std::string name;
    for (const char c : providerName) {
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9')) {
            name += lower;
        } else if (!name.empty() && name.back() != '-') {
            name += '-';
        }
    }
    while (!name.empty() && name.back() == '-') {
        name.pop_back();
    }
    return "quorlin-" + (name.empty() ? std::string("provider") : name) + ".module";
}

P11KitOutcome MakeKnownToP11Kit(const std::string& providerName, const std::string& modulePath,
                                const P11KitPaths& paths) {
    using Kind = P11KitOutcome::Kind;
    const P11KitState state = InspectP11Kit(modulePath, paths);
    if (!state.configuredIn.empty()) {
        return {Kind::AlreadyConfigured, state.configuredIn, {}};
    }
    if (state.userConfigIgnored) {
        return {state.ignoredWhy == "root" ? Kind::IgnoredForRoot : Kind::IgnoredByConfig,
                {},
                state.ignoredWhy};
    }
    const std::string file = paths.userModules + "/" + ModuleFileName(providerName);
    if (modulePath.empty() || modulePath.front() != '/' ||
        modulePath.find('\n') != std::string::npos) {
        return {Kind::Failed, file, "not an absolute path: " + modulePath};
    }
    if (paths.userModules.empty() || paths.userModules.front() != '/') {
        return {Kind::Failed, file, "the configuration directory is not absolute"};
    }
    if (const auto foreign = base::ForeignDirectoryOnTheWay(paths.userModules, paths.home)) {
        return {Kind::Failed, file, foreign->path + " belongs to " + foreign->owner};
    }
    std::string reason;
    struct stat st {};
    if (::stat(paths.userModules.c_str(), &st) != 0) {
        const auto relative =
            std::filesystem::path(paths.userModules).lexically_relative(paths.home);
        if (paths.home.empty() || relative.empty() || *relative.begin() == "..") {
            return {Kind::Failed, file, paths.userModules + " does not exist"};
        }
        if (!MakeDirectoriesBelow(paths.userModules, paths.home, reason)) {
            return {Kind::Failed, file, reason};
        }
    }
    if (::lstat(file.c_str(), &st) == 0 && !IsOurs(file)) {
        return {Kind::Failed, file, file + " was not written by Quorlin"};
    }
    const std::string text = std::string(kMark) + " for p11-kit: the card provider's module\n" +
                             "module: " + modulePath + "\n";
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (const int err = base::WriteFileAtomically(file, bytes); err != 0) {
        return {Kind::Failed, file, std::strerror(err)};
    }
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const bool modeSet = fd >= 0 && ::fchmod(fd, 0644) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!modeSet) {
        return {Kind::Failed, file, std::string("cannot set its mode: ") + std::strerror(errno)};
    }
    return {Kind::Added, file, {}};
}

P11KitOutcome MakeKnownToP11Kit(const std::string& providerName, const std::string& modulePath) {
    return MakeKnownToP11Kit(providerName, modulePath, PathsForThisUser());
}

std::vector<std::pair<std::string, std::string>> RemoveQuorlinModules(const P11KitPaths& paths) {
    std::vector<std::pair<std::string, std::string>> removed;
    std::error_code ec;
    const auto foreign = base::ForeignDirectoryOnTheWay(paths.userModules, paths.home);
    for (const auto& entry : std::filesystem::directory_iterator(paths.userModules, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("quorlin-") || !name.ends_with(".module")) {
            continue;
        }
        const std::string file = entry.path().string();
        struct stat st {};
        if (foreign) {
            removed.emplace_back(file, foreign->path + " belongs to " + foreign->owner);
        } else if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            removed.emplace_back(file, "not a regular file");
        } else if (!IsOurs(file)) {
            removed.emplace_back(file, "not written by Quorlin");
        } else if (::unlink(file.c_str()) != 0) {
            removed.emplace_back(file, std::strerror(errno));
        } else {
            removed.emplace_back(file, "");
        }
    }
    return removed;
}

std::vector<std::pair<std::string, std::string>> RemoveQuorlinModules() {
    return RemoveQuorlinModules(PathsForThisUser());
}

}  // namespace quorlin::pkcs11
