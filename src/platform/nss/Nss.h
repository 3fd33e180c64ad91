#pragma once
// The NSS databases of browsers and mail programs, and the card vendor's PKCS#11 module
// listed in them. Every change goes through NSS's own modutil and certutil, run as child
// processes: pkcs11.txt is never edited here.

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorlin::nss {

enum class Program { Firefox, Thunderbird, Shared };

struct Database {
    Program program;
    std::string profile;     // the profile's Name= from profiles.ini; "" for the shared one
    std::string dir;         // the database directory, without NSS's "sql:"
    std::string notHandled;  // "snap" or "flatpak": the host module cannot serve that copy
    bool missing = false;    // listed in profiles.ini but not on disk
};

// The databases of the user with home HOME: the shared one (~/.pki/nssdb when it exists,
// else $XDG_DATA_HOME/pki/nssdb, by default ~/.local/share/pki/nssdb), each Firefox and
// Thunderbird profile in their profiles.ini files, and Snap and Flatpak copies as
// notHandled entries. Pure: files are seen only through readFile and exists.
std::vector<Database> Discover(
    const std::string& home, const std::string& xdgDataHome,
    const std::function<std::optional<std::string>(const std::string&)>& readFile,
    const std::function<bool(const std::string&)>& exists);
std::vector<Database> DiscoverForThisUser();

struct DbState {
    bool listed = false;      // some module's library is modulePath, after links
    std::string listedAs;     // that module's name
    std::string cannotWrite;  // why it may not be written; empty when it may
    bool inUse = false;       // its program holds the profile lock
};
DbState Inspect(const Database& db, const std::string& modulePath);

struct AddOutcome {
    enum class Kind { Added, AlreadyThere, NotHandled, Failed } kind;
    std::string reason;
    bool inUse = false;
};
// Adds modulePath as "Quorlin: PROVIDER NAME", unless the library is listed under any name.
// The shared database is made when it does not exist yet.
AddOutcome AddModule(const Database& db, const std::string& providerName,
                     const std::string& modulePath);

// Removes every module named "Quorlin: ..." and no other: each name with "" when removed,
// or with why it could not be; one pair with an empty name when the list could not be read.
std::vector<std::pair<std::string, std::string>> RemoveQuorlinModules(const Database& db);

// "firefox (PROFILE)", "thunderbird (PROFILE)", "nss shared database (PATH)".
std::string DisplayName(const Database& db);

// The module name Quorlin gives a provider's module.
std::string ModuleName(const std::string& providerName);

// modutil -list's modules, name and library, as listed.
std::vector<std::pair<std::string, std::string>> ParseModuleList(const std::string& output);

}  // namespace quorlin::nss
