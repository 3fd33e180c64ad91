#pragma once
// The installed providers: one small key=value file per provider under quorlin/providers/
// in the XDG configuration and data directories. The first directory that names a provider
// wins, so a user's own file overrides the system's and an administrator's under /etc
// overrides a package's.
//
//   name=Morvex CSP Enterprise
//   type=1
//   aid=A0 00 00 01 72 95 01 03
//   aid=...
//   pkcs11_module=/usr/lib/x86_64-linux-gnu/pkcs11/vendor-pkcs11.so   (optional)

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Environment.h"

namespace quorlin::crypt {

struct ProviderInfo {
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::vector<std::uint8_t>> aids;  // in the order to try them
    std::string pkcs11Module;  // the vendor's PKCS#11 module, as the file names it; may be empty
    std::string file;
};

// A provider file that could not be used, and why in words ("type is not a number: abc").
struct ProviderProblem {
    std::string file;
    std::string reason;
};

class ProviderRegistry {
  public:
    // Searches the directories of the environment (SearchDirsFromEnvironment).
    ProviderRegistry();
    // Searches <dir>/quorlin/providers for each of searchDirs, in order.
    explicit ProviderRegistry(std::vector<std::string> searchDirs);

    // Provider names compare without regard to ASCII case, as on the platform.
    std::optional<ProviderInfo> Find(const std::string& name) const;
    const std::vector<std::string>& Dirs() const { return m_searchDirs; }
    // Each provider as Find gives it (the file that wins for its name), in the order read.
    std::vector<ProviderInfo> All() const;
    // Every *.conf of the search directories that Find passes over as unusable, in the
    // order read; and a providers directory that cannot be listed whole, as its own entry.
    std::vector<ProviderProblem> Problems() const;

    // In the order read: $XDG_CONFIG_HOME, $XDG_DATA_HOME, each of $XDG_CONFIG_DIRS, each
    // of $XDG_DATA_DIRS (with the base-directory defaults), then the program's own share
    // directory unless among them already. Relative entries are skipped, repeats dropped.
    static std::vector<std::string> SearchDirs(const base::Environment& env,
                                               const std::string& home,
                                               const std::string& programShare);
    static std::vector<std::string> SearchDirsFromEnvironment();
    // Nullopt when the text is no valid provider file; problem, when given, then says why.
    static std::optional<ProviderInfo> Parse(const std::string& text,
                                             std::string* problem = nullptr);

  private:
    std::vector<std::string> m_searchDirs;
};

}  // namespace quorlin::crypt
