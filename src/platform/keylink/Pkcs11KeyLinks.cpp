#include "platform/keylink/Pkcs11KeyLinks.h"

#include <unistd.h>

#include "base/DataDir.h"
#include "platform/nss/Nss.h"
#include "platform/pkcs11/Pkcs11.h"

namespace quorlin::keylink {

uid_t AllowedModuleOwner(const crypt::ProviderInfo& provider) {
    const std::string home = base::HomeDir();
    const bool own = !home.empty() && provider.file.rfind(home + "/", 0) == 0;
    return own ? ::getuid() : 0;
}

ProviderModule OpenProviderModule(const crypt::ProviderInfo& provider) {
    ProviderModule out;
    out.path = pkcs11::ResolveModulePath(provider.pkcs11Module);
    if (out.path.empty()) {
        out.problem = "the module " + provider.pkcs11Module + " is not found";
        return out;
    }
    if (const auto untrusted = pkcs11::UntrustedReason(out.path, AllowedModuleOwner(provider))) {
        out.problem = *untrusted;
        return out;
    }
    out.trusted = true;
    auto module = std::make_shared<pkcs11::Module>(out.path);
    if (!module->Loaded()) {
        out.loadError = module->Error();
        out.problem = "the module cannot be loaded: " + out.loadError;
        return out;
    }
    out.module = std::move(module);
    return out;
}

namespace {

KeyLinkApi::Announcement P11KitLine(const pkcs11::P11KitOutcome& outcome) {
    using Kind = pkcs11::P11KitOutcome::Kind;
    switch (outcome.kind) {
        case Kind::Added:
            return {true, "p11-kit: added " + outcome.file};
        case Kind::AlreadyConfigured:
            return {true, "p11-kit: already configured in " + outcome.file};
        case Kind::IgnoredForRoot:
            return {true, "p11-kit: ignored for root"};
        case Kind::IgnoredByConfig:
            return {true, "p11-kit: ignored: its configuration reads no user configuration"};
        case Kind::Failed:
            break;
    }
    return {false, "p11-kit: failed: " + outcome.reason};
}

KeyLinkApi::Announcement NssLine(const nss::Database& db, const nss::AddOutcome& outcome) {
    const std::string name = nss::DisplayName(db) + ": ";
    if (db.missing) {
        // Listed by its program but not there: nothing that could use the module.
        return {true, name + "skipped, not on disk (" + db.dir + ")"};
    }
    using Kind = nss::AddOutcome::Kind;
    switch (outcome.kind) {
        case Kind::Added:
            return {true, name + "added" +
                              (outcome.inUse ? "; the program sees it at its next start" : "")};
        case Kind::AlreadyThere:
            return {true, name + "already there"};
        case Kind::NotHandled:
            return {false, name + "not handled (" + db.notHandled + ")"};
        case Kind::Failed:
            break;
    }
    return {false, name + "failed: " + outcome.reason};
}

}  // namespace

Pkcs11KeyLinks::Pkcs11KeyLinks(crypt::ProviderRegistry registry)
    : m_registry(std::move(registry)) {}

Pkcs11KeyLinks::~Pkcs11KeyLinks() = default;

bool Pkcs11KeyLinks::NamesModule(const std::string& provider) {
    const std::optional<crypt::ProviderInfo> info = m_registry.Find(provider);
    return info && !info->pkcs11Module.empty();
}

ProviderModule& Pkcs11KeyLinks::Open(const std::string& provider) {
    auto it = m_open.find(provider);
    if (it == m_open.end()) {
        const std::optional<crypt::ProviderInfo> info = m_registry.Find(provider);
        ProviderModule opened;
        if (info && !info->pkcs11Module.empty()) {
            opened = OpenProviderModule(*info);
        } else {
            opened.problem = "the provider names no PKCS#11 module";
        }
        it = m_open.emplace(provider, std::move(opened)).first;
    }
    return it->second;
}

std::optional<Pkcs11Link> Pkcs11KeyLinks::Find(const std::string& provider,
                                               std::span<const std::uint8_t> der,
                                               std::string& reason) {
    ProviderModule& m = Open(provider);
    if (!m.module) {
        reason = m.problem;
        return std::nullopt;
    }
    const std::optional<pkcs11::FoundCertificate> found = m.module->FindCertificate(der, reason);
    if (!found) {
        return std::nullopt;
    }
    return Pkcs11Link{m.path, found->certificateUri, found->keyUri};
}

std::vector<KeyLinkApi::Announcement> Pkcs11KeyLinks::Announce(const std::string& provider) {
    ProviderModule& m = Open(provider);
    if (!m.module) {
        // A module that may not or cannot be loaded is not handed on to other programs.
        return {{false, "p11-kit: failed: " + m.problem}};
    }
    std::vector<Announcement> out{P11KitLine(pkcs11::MakeKnownToP11Kit(provider, m.path))};
    for (const nss::Database& db : nss::DiscoverForThisUser()) {
        out.push_back(NssLine(db, db.missing
                                      ? nss::AddOutcome{nss::AddOutcome::Kind::Failed, "", false}
                                      : nss::AddModule(db, provider, m.path)));
    }
    return out;
}

void Pkcs11KeyLinks::Finish() {
    m_open.clear();
}

}  // namespace quorlin::keylink
