#include "platform/crypt/ProviderRegistry.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "base/DataDir.h"
#include "base/Hex.h"

namespace quorlin::crypt {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxFileSize = 16 * 1024;
constexpr std::size_t kMaxFiles = 256;
constexpr std::size_t kMaxAids = 16;
constexpr std::size_t kMinAidLength = 5;  // ISO/IEC 7816-4: RID of 5 bytes
constexpr std::size_t kMaxAidLength = 16;

std::string Trim(const std::string& s) {
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    auto begin = std::find_if(s.begin(), s.end(), notSpace);
    auto end = std::find_if(s.rbegin(), s.rend(), notSpace).base();
    return begin < end ? std::string(begin, end) : std::string();
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::optional<std::vector<std::uint8_t>> ParseAid(const std::string& text) {
    auto aid = base::HexParse(text, " :");
    if (!aid || aid->size() < kMinAidLength || aid->size() > kMaxAidLength) {
        return std::nullopt;
    }
    return aid;
}

void SplitPaths(const std::string& list, std::vector<std::string>& out) {
    std::stringstream in(list);
    std::string dir;
    while (std::getline(in, dir, ':')) {
        // Relative entries are not valid in these variables and are skipped.
        if (!dir.empty() && dir.front() == '/' &&
            std::find(out.begin(), out.end(), dir) == out.end()) {
            out.push_back(dir);
        }
    }
}

std::optional<std::string> ReadSmallFile(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec) || fs::file_size(path, ec) > kMaxFileSize || ec) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text;
    text.resize(kMaxFileSize + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    const std::size_t n = static_cast<std::size_t>(in.gcount());
    if (n > kMaxFileSize) {
        return std::nullopt;
    }
    text.resize(n);
    return text;
}

}  // namespace

ProviderRegistry::ProviderRegistry() : m_searchDirs(SearchDirsFromEnvironment()) {}

ProviderRegistry::ProviderRegistry(std::vector<std::string> searchDirs)
    : m_searchDirs(std::move(searchDirs)) {}

std::vector<std::string> ProviderRegistry::SearchDirs(const base::Environment& env,
                                                      const std::string& home,
                                                      const std::string& programShare) {
    const auto userDir = [&](const char* name, const char* underHome) {
        std::string dir = base::Variable(env, name);
        return dir.starts_with('/') ? dir : home.empty() ? std::string() : home + underHome;
    };
    const auto systemDirs = [&](const char* name, const char* fallback) {
        const std::string dirs = base::Variable(env, name);
        return dirs.empty() ? std::string(fallback) : dirs;
    };
    // User before system; within each, configuration (an administrator's or the user's
    // choice) before data (what packages install).
    std::vector<std::string> dirs;
    SplitPaths(userDir("XDG_CONFIG_HOME", "/.config"), dirs);
    SplitPaths(userDir("XDG_DATA_HOME", "/.local/share"), dirs);
    SplitPaths(systemDirs("XDG_CONFIG_DIRS", "/etc/xdg"), dirs);
    SplitPaths(systemDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share"), dirs);
    SplitPaths(programShare, dirs);
    return dirs;
}

std::vector<std::string> ProviderRegistry::SearchDirsFromEnvironment() {
    return SearchDirs(base::ProcessEnvironment, base::HomeDir(), base::ProgramShareDir());
}

std::optional<ProviderInfo> ProviderRegistry::Parse(const std::string& text) {
    ProviderInfo info;
    bool haveType = false;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            return std::nullopt;
        }
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        if (key == "name") {
            info.name = value;
        } else if (key == "type") {
            if (value.empty() || value.size() > 9 ||
                !std::all_of(value.begin(), value.end(),
                             [](unsigned char c) { return std::isdigit(c); })) {
                return std::nullopt;
            }
            info.type = static_cast<std::uint32_t>(std::stoul(value));
            haveType = true;
        } else if (key == "aid") {
            auto aid = ParseAid(value);
            if (!aid || info.aids.size() >= kMaxAids) {
                return std::nullopt;
            }
            info.aids.push_back(*aid);
        }
        // Other keys are left for later versions.
    }
    if (info.name.empty() || !haveType) {
        return std::nullopt;
    }
    return info;
}

std::optional<ProviderInfo> ProviderRegistry::Find(const std::string& name) const {
    for (const std::string& dir : m_searchDirs) {
        const fs::path providers = fs::path(dir) / "quorlin" / "providers";
        std::error_code ec;
        fs::directory_iterator it(providers, ec);
        if (ec) {
            continue;
        }
        // A fixed order, whatever order the directory lists its files in.
        std::vector<fs::path> files;
        for (; it != fs::directory_iterator() && files.size() < kMaxFiles; it.increment(ec)) {
            if (ec) {
                break;
            }
            if (it->path().extension() == ".conf") {
                files.push_back(it->path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            auto text = ReadSmallFile(file);
            if (!text) {
                continue;
            }
            auto info = Parse(*text);
            if (info && EqualNoCase(info->name, name)) {
                info->file = file.string();
                return info;
            }
        }
    }
    return std::nullopt;
}

}  // namespace quorlin::crypt
