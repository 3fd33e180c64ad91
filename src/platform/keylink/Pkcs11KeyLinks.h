#pragma once
// The registration's link to the card vendor's PKCS#11 module: the module that a provider
// file names (pkcs11_module=), loaded only when trusted, searched for each certificate
// added, and made known to p11-kit for the user.

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "interfaces/KeyLinkApi.h"
#include "platform/crypt/ProviderRegistry.h"

namespace quorlin::pkcs11 {
class Module;
}

namespace quorlin::keylink {

// A provider's module as far as it could be reached: the path, why it may not or did not
// load, and the loaded module.
struct ProviderModule {
    std::string path;     // resolved; empty when the name resolves to none
    std::string problem;  // empty when loaded
    bool trusted = false;
    std::string loadError;  // the module's own words, when trusted but not loaded
    std::shared_ptr<pkcs11::Module> module;
};

// The owner a module may have besides root: the user, for a provider file in the user's
// own home.
uid_t AllowedModuleOwner(const crypt::ProviderInfo& provider);

// Resolves, checks and loads the module the provider names.
ProviderModule OpenProviderModule(const crypt::ProviderInfo& provider);

class Pkcs11KeyLinks : public KeyLinkApi {
  public:
    explicit Pkcs11KeyLinks(crypt::ProviderRegistry registry = crypt::ProviderRegistry());
    ~Pkcs11KeyLinks() override;

    bool NamesModule(const std::string& provider) override;
    std::optional<Pkcs11Link> Find(const std::string& provider, std::span<const std::uint8_t> der,
                                   std::string& reason) override;
    std::vector<Announcement> Announce(const std::string& provider) override;
    void Finish() override;

  private:
    // Opened once per registration, whatever the number of certificates.
    ProviderModule& Open(const std::string& provider);

    crypt::ProviderRegistry m_registry;
    std::map<std::string, ProviderModule> m_open;
};

}  // namespace quorlin::keylink
