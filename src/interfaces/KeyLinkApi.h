#pragma once
// Where other programs find a registered certificate's key: the provider's PKCS#11 module
// and the RFC 7512 URIs of the certificate and of its private key on the token. The core
// asks for the link after a certificate reached the store; the platform finds it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorlin::keylink {

struct Pkcs11Link {
    std::string module;          // the module's absolute path
    std::string certificateUri;  // pkcs11:...;type=cert
    std::string keyUri;          // pkcs11:...;type=private
};

class KeyLinkApi {
  public:
    virtual ~KeyLinkApi() = default;

    // Whether the provider's file names a PKCS#11 module: nothing is linked for one that
    // does not, and nothing is said.
    virtual bool NamesModule(const std::string& provider) = 0;
    // The certificate's object on a token of the provider's module, found without logging
    // in; nullopt, and why in reason, when the module cannot be loaded or no token holds it.
    virtual std::optional<Pkcs11Link> Find(const std::string& provider,
                                           std::span<const std::uint8_t> der,
                                           std::string& reason) = 0;
    // Makes the provider's module known to the programs that look for modules: a line for
    // each place (p11-kit's configuration, ...) saying what was done there or why not, and
    // whether that place now has it, or rightly never will.
    struct Announcement {
        bool ok = false;
        std::string line;
    };
    virtual std::vector<Announcement> Announce(const std::string& provider) = 0;
    // Done: every module loaded is finalised and released.
    virtual void Finish() = 0;
};

}  // namespace quorlin::keylink
