#include "platform/crypt/ProviderRegistry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <sstream>
#include <system_error>

#include "base/DataDir.h"
#include "base/Hex.h"
#include "base/Utf8.h"

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

// A value or key as a reason quotes it: at most 40 bytes of it, never half a character.
std::string Excerpt(const std::string& text) {
    constexpr std::size_t kMax = 40;
    return text.size() <= kMax ? text : text.substr(0, base::Utf8Prefix(text, kMax, kMax)) + "...";
}

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

// The file's text; nullopt with the reason in problem. Opened without waiting, so that a
// FIFO in a file's place cannot hold the program up.
std::optional<std::string> ReadSmallFile(const fs::path& path, std::string& problem) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        struct stat link {};
        problem = error == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)
                      ? "dangling link"
                      : "cannot be read: " + ErrnoText(error);
        return std::nullopt;
    }
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        problem = "cannot be read: " + ErrnoText(errno);
    } else if (S_ISDIR(st.st_mode)) {
        problem = "is a directory";
    } else if (!S_ISREG(st.st_mode)) {
        problem = "is not a regular file";
    } else {
        // Read to one byte past the limit: the size may change under us.
        text.resize(kMaxFileSize + 1);
        std::size_t n = 0;
        while (n < text.size()) {
            const ssize_t got = ::read(fd, text.data() + n, text.size() - n);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                problem = "cannot be read: " + ErrnoText(errno);
                break;
            }
            if (got == 0) {
                break;
            }
            n += static_cast<std::size_t>(got);
        }
        if (problem.empty() && n > kMaxFileSize) {
            problem = "is larger than " + std::to_string(kMaxFileSize) + " bytes";
        }
        text.resize(n);
    }
    ::close(fd);
    if (!problem.empty()) {
        return std::nullopt;
    }
    return text;
}

using Visitor = std::function<bool(const std::string& file, std::optional<ProviderInfo> info,
                                   const std::string& problem)>;

// Each *.conf of the directories' quorlin/providers in the order read, until visit says
// enough. A file that cannot be used comes without info, with why; so does a providers
// directory that cannot be listed whole, under its own path. A missing one is no problem.
void Visit(const std::vector<std::string>& searchDirs, const Visitor& visit) {
    for (const std::string& dir : searchDirs) {
        const fs::path providers = fs::path(dir) / "quorlin" / "providers";
        std::error_code ec;
        fs::directory_iterator it(providers, ec);
        if (ec) {
            const bool absent =
                ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
            if (!absent &&
                visit(providers.string(), std::nullopt, "cannot be read: " + ec.message())) {
                return;
            }
            continue;
        }
        // A fixed order, whatever order the directory lists its files in.
        std::vector<fs::path> files;
        std::string listing;
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec) {
                listing = "cannot be read: " + ec.message();
                break;
            }
            if (it->path().extension() != ".conf") {
                continue;
            }
            if (files.size() == kMaxFiles) {
                listing = "holds more than " + std::to_string(kMaxFiles) +
                          " provider files; the rest are not read";
                break;
            }
            files.push_back(it->path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::string problem;
            std::optional<ProviderInfo> info;
            if (const auto text = ReadSmallFile(file, problem)) {
                info = ProviderRegistry::Parse(*text, &problem);
            }
            if (info) {
                info->file = file.string();
            }
            if (visit(file.string(), std::move(info), problem)) {
                return;
            }
        }
        if (!listing.empty() && visit(providers.string(), std::nullopt, listing)) {
            return;
        }
    }
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

std::optional<ProviderInfo> ProviderRegistry::Parse(const std::string& text, std::string* problem) {
    const auto refuse = [problem](std::string reason) -> std::optional<ProviderInfo> {
        if (problem != nullptr) {
            *problem = std::move(reason);
        }
        return std::nullopt;
    };
    ProviderInfo info;
    bool haveType = false;
    // Other keys are left for later versions; but where the file lacks a key it needs, the
    // first of them is the likely misspelling.
    std::string unknownKey;
    std::stringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = Trim(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::string where = " on line " + std::to_string(number);
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            return refuse("no '='" + where);
        }
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        if (key == "name") {
            info.name = value;
        } else if (key == "type") {
            if (value.empty() || !std::all_of(value.begin(), value.end(),
                                              [](unsigned char c) { return std::isdigit(c); })) {
                return refuse("type is not a number: " + Excerpt(value));
            }
            if (value.size() > 9) {
                return refuse("type is too large: " + Excerpt(value));
            }
            info.type = static_cast<std::uint32_t>(std::stoul(value));
            haveType = true;
        } else if (key == "aid") {
            if (info.aids.size() >= kMaxAids) {
                return refuse("more than " + std::to_string(kMaxAids) + " aids");
            }
            auto aid = ParseAid(value);
            if (!aid) {
                return refuse("aid is not " + std::to_string(kMinAidLength) + " to " +
                              std::to_string(kMaxAidLength) + " hex bytes" + where + ": " +
                              Excerpt(value));
            }
            info.aids.push_back(*aid);
        } else if (key == "pkcs11_module") {
            // Absolute, or a bare file name for p11-kit's module directory: a relative path
            // would depend on the directory the program happens to run in.
            if (value.empty() || (value.front() != '/' && value.find('/') != std::string::npos)) {
                return refuse("pkcs11_module is neither an absolute path nor a file name" + where +
                              ": " + Excerpt(value));
            }
            info.pkcs11Module = value;
        } else if (unknownKey.empty()) {
            unknownKey = "unknown key '" + Excerpt(key) + "'" + where;
        }
    }
    if (info.name.empty() || !haveType) {
        return refuse(!unknownKey.empty() ? unknownKey : info.name.empty() ? "no name" : "no type");
    }
    return info;
}

std::optional<ProviderInfo> ProviderRegistry::Find(const std::string& name) const {
    std::optional<ProviderInfo> found;
    Visit(m_searchDirs,
          [&](const std::string&, std::optional<ProviderInfo> info, const std::string&) {
              if (info && EqualNoCase(info->name, name)) {
                  found = std::move(info);
                  return true;
              }
              return false;
          });
    return found;
}

std::vector<ProviderInfo> ProviderRegistry::All() const {
    std::vector<ProviderInfo> winners;
    Visit(m_searchDirs,
          [&](const std::string&, std::optional<ProviderInfo> info, const std::string&) {
              if (info && std::none_of(winners.begin(), winners.end(), [&](const ProviderInfo& w) {
                      return EqualNoCase(w.name, info->name);
                  })) {
                  winners.push_back(std::move(*info));
              }
              return false;
          });
    return winners;
}

std::vector<ProviderProblem> ProviderRegistry::Problems() const {
    std::vector<ProviderProblem> problems;
    Visit(m_searchDirs, [&](const std::string& file, const std::optional<ProviderInfo>& info,
                            const std::string& problem) {
        if (!info) {
            problems.push_back({file, problem});
        }
        return false;
    });
    return problems;
}

}  // namespace quorlin::crypt
