#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <tuple>

#include "base/DataDir.h"
#include "platform/nss/Nss.h"

namespace quorlin::nss {
namespace {

struct IniProfile {
    std::string name;
    std::string path;
    bool relative = true;  // Firefox's own default when IsRelative= is absent
};

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) {
        return "";
    }
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The [ProfileN] sections only: [Install...] and [General] name no database of their own.
std::vector<IniProfile> ParseProfiles(const std::string& text) {
    std::vector<IniProfile> out;
    bool inProfile = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (!line.empty() && line.front() == '[') {
            inProfile = line.rfind("[Profile", 0) == 0;
            if (inProfile) {
                out.push_back({});
            }
            continue;
        }
        const auto eq = line.find('=');
        if (!inProfile || eq == std::string::npos) {
            continue;
        }
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        if (key == "Name") {
            out.back().name = value;
        } else if (key == "Path") {
            out.back().path = value;
        } else if (key == "IsRelative") {
            out.back().relative = value != "0";
        }
    }
    return out;
}

}  // namespace

std::vector<Database> Discover(
    const std::string& home, const std::string& xdgDataHome,
    const std::function<std::optional<std::string>(const std::string&)>& readFile,
    const std::function<bool(const std::string&)>& exists) {
    std::vector<Database> out;
    const std::string legacy = home + "/.pki/nssdb";
    const std::string dataHome =
        !xdgDataHome.empty() && xdgDataHome.front() == '/' ? xdgDataHome : home + "/.local/share";
    out.push_back(
        {Program::Shared, "", exists(legacy) ? legacy : dataHome + "/pki/nssdb", "", false});

    const std::pair<Program, std::string> inis[] = {
        {Program::Firefox, home + "/.mozilla/firefox"},
        {Program::Firefox, home + "/.config/mozilla/firefox"},
        {Program::Thunderbird, home + "/.thunderbird"},
    };
    for (const auto& [program, iniDir] : inis) {
        const auto text = readFile(iniDir + "/profiles.ini");
        if (!text) {
            continue;
        }
        for (const IniProfile& p : ParseProfiles(*text)) {
            if (p.path.empty()) {
                continue;
            }
            const bool relative = p.relative && p.path.front() != '/';
            const std::string dir = relative ? iniDir + "/" + p.path : p.path;
            out.push_back({program, p.name, dir, "", !exists(dir)});
        }
    }

    const std::tuple<Program, std::string, const char*> copies[] = {
        {Program::Firefox, home + "/snap/firefox", "snap"},
        {Program::Firefox, home + "/.var/app/org.mozilla.firefox", "flatpak"},
        {Program::Thunderbird, home + "/snap/thunderbird", "snap"},
        {Program::Thunderbird, home + "/.var/app/org.mozilla.Thunderbird", "flatpak"},
    };
    for (const auto& [program, dir, kind] : copies) {
        if (exists(dir)) {
            out.push_back({program, "", dir, kind, false});
        }
    }
    return out;
}

std::vector<Database> DiscoverForThisUser() {
    const char* xdg = getenv("XDG_DATA_HOME");
    return Discover(
        base::HomeDir(), xdg != nullptr ? xdg : "",
        [](const std::string& path) -> std::optional<std::string> {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                return std::nullopt;
            }
            return std::string(std::istreambuf_iterator<char>(in), {});
        },
        [](const std::string& path) {
            struct stat st {};
            return stat(path.c_str(), &st) == 0;
        });
}

std::string DisplayName(const Database& db) {
    if (db.program == Program::Shared) {
        return "nss shared database (" + db.dir + ")";
    }
    const std::string program = db.program == Program::Firefox ? "firefox" : "thunderbird";
    return program + " (" + (db.notHandled.empty() ? db.profile : db.notHandled) + ")";
}

}  // namespace quorlin::nss
