#pragma once
// The card vendor's PKCS#11 module as other programs meet it: loaded through libp11-kit
// (the module's certificate objects and the RFC 7512 URIs of them and their keys), and
// p11-kit's module configuration, which decides which modules NSS and the rest load.
// Quorlin never implements a module itself.

#include <p11-kit/pkcs11.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quorlin::pkcs11 {

// The module a provider file names: an absolute path as it is; a bare file name in
// p11-kit's module directory. Empty when neither (a relative path with a slash, empty text).
std::string ResolveModulePath(const std::string& name);

// Why a module may not be loaded (loading a library runs its code), or nullopt when it
// may: a regular file owned by root or allowedOwner and writable by no one else, reached
// only through directories and links alike, up to /. Sticky directories count as
// writable: anyone may still put a name of their own there.
std::optional<std::string> UntrustedReason(const std::string& path, uid_t allowedOwner);

struct TokenInfo {
    std::string label;
    std::string manufacturer;
    std::string model;
    std::string serial;
};

struct FoundCertificate {
    std::string certificateUri;  // pkcs11:...;type=cert
    std::string keyUri;          // pkcs11:...;type=private, same token and id
    std::string tokenLabel;
};

// A module loaded and initialised through libp11-kit; finalised and released by the
// destructor. Loading does not check trust: callers ask UntrustedReason first.
class Module {
  public:
    explicit Module(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    bool Loaded() const { return m_initialised; }
    const std::string& Error() const { return m_error; }  // why not loaded, in words

    // The initialised tokens present; empty when the slot list cannot be had.
    std::vector<TokenInfo> Tokens();
    // The certificate object whose CKA_VALUE is der, on any initialised token, in a read-only
    // session without logging in. nullopt and why in reason otherwise ("no token holds this
    // certificate", "the certificate on TOKEN has no CKA_ID", or the failed call and its
    // PKCS#11 error name).
    std::optional<FoundCertificate> FindCertificate(std::span<const std::uint8_t> der,
                                                    std::string& reason);

  private:
    CK_FUNCTION_LIST* m_module = nullptr;
    bool m_initialised = false;
    std::string m_error;
};

// A PKCS#11 return value's name, e.g. "CKR_PIN_INCORRECT"; hex for one not known here.
std::string ErrorName(unsigned long rv);

// Where p11-kit 0.24 looks for module configuration, for one user.
struct P11KitPaths {
    std::string packageModules;  // a package's (/usr/share/p11-kit/modules)
    std::string systemModules;   // the administrator's (/etc/pkcs11/modules)
    std::string systemConfig;    // /etc/pkcs11/pkcs11.conf
    std::string userModules;     // $XDG_CONFIG_HOME/pkcs11/modules, else ~/.config/...
    std::string userConfig;      // the same directory's pkcs11.conf
    std::string home;            // the user's home, within which directories may be made
    bool root = false;           // p11-kit reads no user configuration for root
};
// As p11-kit reads them for the user running this: a non-empty XDG_CONFIG_HOME, else a
// non-empty HOME's .config, else the password database's home's.
P11KitPaths PathsForThisUser();

struct P11KitState {
    std::string configuredIn;  // the .module file under which p11-kit loads the module
    bool userConfigIgnored = false;
    std::string ignoredWhy;  // "root", or "user-config: none in FILE"
};
P11KitState InspectP11Kit(const std::string& modulePath);
P11KitState InspectP11Kit(const std::string& modulePath, const P11KitPaths& paths);

struct P11KitOutcome {
    enum class Kind { Added, AlreadyConfigured, IgnoredForRoot, IgnoredByConfig, Failed } kind;
    std::string file;    // the file written, or the one that names the module already
    std::string reason;  // for Failed
};
// Unless p11-kit already loads modulePath for this user, writes
// <user modules>/quorlin-NAME.module (NAME: providerName in lower case, [a-z0-9-] only)
// naming it, atomically, mode 0644; missing directories are made 0700, only below a home
// of the user's own. Writes nothing where p11-kit would not read it (root, user-config:
// none), and says so.
P11KitOutcome MakeKnownToP11Kit(const std::string& providerName, const std::string& modulePath);
P11KitOutcome MakeKnownToP11Kit(const std::string& providerName, const std::string& modulePath,
                                const P11KitPaths& paths);
// The file name MakeKnownToP11Kit gives a provider's module, e.g. "quorlin-morvex-csp.module".
std::string ModuleFileName(const std::string& providerName);

// Removes the quorlin-*.module files Quorlin wrote (their first line says so) from the
// user's module directory: each file's path, and "" when removed, else why not.
std::vector<std::pair<std::string, std::string>> RemoveQuorlinModules();
std::vector<std::pair<std::string, std::string>> RemoveQuorlinModules(const P11KitPaths& paths);

}  // namespace quorlin::pkcs11
