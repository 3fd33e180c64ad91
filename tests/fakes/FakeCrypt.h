#pragma once
// A provider service in memory: registered provider names, key containers with their
// keys, failure injection per call, and every call recorded with its arguments.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "interfaces/CryptApi.h"

namespace quorlin::test {

struct FakeContainer {
    bool signature = false;
    bool exchange = false;
};

class FakeCrypt : public crypt::CryptApi {
  public:
    std::set<std::string> providers;                  // registered names
    std::map<std::string, FakeContainer> containers;  // by container name
    // Container opens that fail, by container name -> last error.
    std::map<std::string, std::uint32_t> openFailures;
    // Probe failures by provider name -> last error (overrides "not registered").
    std::map<std::string, std::uint32_t> probeFailures;
    // CryptGetUserKey failures by (container, key spec) -> last error.
    std::map<std::pair<std::string, std::uint32_t>, std::uint32_t> keyFailures;

    // One line per call, e.g. "Acquire:<container|null>:<provider>:<type>:<flags hex>".
    std::vector<std::string> calls;
    int openContexts = 0;
    int openKeys = 0;

    bool CryptAcquireContextA(crypt::HCRYPTPROV* prov, const char* container, const char* provider,
                              std::uint32_t provType, std::uint32_t flags) override;
    bool CryptGetUserKey(crypt::HCRYPTPROV prov, std::uint32_t keySpec,
                         crypt::HCRYPTKEY* key) override;
    bool CryptDestroyKey(crypt::HCRYPTKEY key) override;
    bool CryptReleaseContext(crypt::HCRYPTPROV prov, std::uint32_t flags) override;

  private:
    std::map<crypt::HCRYPTPROV, std::string> m_contexts;  // handle -> container ("" = verify)
    std::set<crypt::HCRYPTKEY> m_keys;
    std::uintptr_t m_next = 0x100;
};

}  // namespace quorlin::test
