#pragma once
// The installed providers: one small key=value file per provider under quorlin/providers/
// in the XDG data directories. The first directory that names a provider wins, so a
// user's own file overrides the system's.
//
//   name=Morvex CSP Enterprise
//   type=1
//   aid=A0 00 00 01 72 95 01 03
//   aid=...

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorlin::crypt {

struct ProviderInfo {
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::vector<std::uint8_t>> aids;  // in the order to try them
    std::string file;
};

class ProviderRegistry {
  public:
    // Searches the directories of the environment (XDG_DATA_HOME, then XDG_DATA_DIRS).
    ProviderRegistry();
    // Searches <dir>/quorlin/providers for each of dataDirs, in order.
    explicit ProviderRegistry(std::vector<std::string> dataDirs);

    // Provider names compare without regard to ASCII case, as on the platform.
    std::optional<ProviderInfo> Find(const std::string& name) const;
    const std::vector<std::string>& DataDirs() const { return m_dataDirs; }

    static std::vector<std::string> DataDirsFromEnvironment();
    // Nullopt when the text is no valid provider file.
    static std::optional<ProviderInfo> Parse(const std::string& text);

  private:
    std::vector<std::string> m_dataDirs;
};

}  // namespace quorlin::crypt
