#include "Apps.h"

#include <cstdio>

#include "Diagnose.h"
#include "Entry.h"
#include "platform/crypt/ProviderRegistry.h"
#include "platform/keylink/Pkcs11KeyLinks.h"
#include "platform/pkcs11/Pkcs11.h"
#include "platform/store/SqliteStoreApi.h"

namespace quorlin::cardtool {

namespace {

using nlohmann::json;

json OrNull(const std::string& text) {
    return text.empty() ? json(nullptr) : json(text);
}

json ModuleReport(const crypt::ProviderInfo& info,
                  const std::vector<store::StoredCertificate>& entries) {
    json out{{"provider", info.name},
             {"file", info.file},
             {"named", info.pkcs11Module},
             {"path", nullptr},
             {"trusted", false},
             {"untrusted_why", nullptr},
             {"loads", false},
             {"load_error", nullptr},
             {"tokens", json::array()},
             {"entries", entries.size()},
             {"entries_on_tokens", nullptr}};
    const std::string path = pkcs11::ResolveModulePath(info.pkcs11Module);
    if (path.empty()) {
        out["untrusted_why"] = info.pkcs11Module + " is not found";
        return out;
    }
    out["path"] = path;
    if (const auto why = pkcs11::UntrustedReason(path, keylink::AllowedModuleOwner(info))) {
        out["untrusted_why"] = *why;
    } else {
        out["trusted"] = true;
        pkcs11::Module module(path);
        out["loads"] = module.Loaded();
        if (!module.Loaded()) {
            out["load_error"] = module.Error();
        } else {
            for (const pkcs11::TokenInfo& token : module.Tokens()) {
                out["tokens"].push_back(token.label);
            }
            int held = 0;
            for (const store::StoredCertificate& e : entries) {
                std::string reason;
                held += module.FindCertificate(e.der, reason) ? 1 : 0;
            }
            out["entries_on_tokens"] = held;
        }
    }
    const pkcs11::P11KitState p11 = pkcs11::InspectP11Kit(path);
    out["p11kit"] = {{"configured_in", OrNull(p11.configuredIn)},
                     {"user_config_ignored", p11.userConfigIgnored},
                     {"ignored_why", OrNull(p11.ignoredWhy)}};
    return out;
}

std::string Text(const json& value) {
    return value.is_string() ? certview::Printable(value.get<std::string>()) : value.dump();
}

}  // namespace

json AppsReport() {
    const crypt::ProviderRegistry registry;
    store::SqliteStoreApi store;
    const std::vector<store::StoredCertificate> entries =
        store.List().value_or(std::vector<store::StoredCertificate>{});
    json modules = json::array();
    for (const crypt::ProviderInfo& info : registry.All()) {
        if (!info.pkcs11Module.empty()) {
            modules.push_back(ModuleReport(info, entries));
        }
    }
    return modules;
}

std::vector<std::string> AppsProblems(const json& m) {
    std::vector<std::string> out;
    const std::string who = "the PKCS#11 module of " + Text(m["provider"]);
    if (!m["trusted"]) {
        out.push_back(who + " is not loaded: " + Text(m["untrusted_why"]));
    } else if (!m["loads"]) {
        out.push_back(who + " does not load: " + Text(m["load_error"]));
    }
    const json& p11 = m["p11kit"];
    if (p11.is_object() && p11["configured_in"].is_null() && !p11["user_config_ignored"]) {
        out.push_back(who + " is not known to p11-kit: register the card's certificates again");
    }
    return out;
}

int Apps(const Options& options, bool remove) {
    if (remove) {
        std::string text;
        bool ok = true;
        const auto removed = pkcs11::RemoveQuorlinModules();
        for (const auto& [file, why] : removed) {
            text += why.empty() ? "removed " + certview::Printable(file) + "\n"
                                : "cannot remove " + certview::Printable(file) + ": " + why + "\n";
            ok = ok && why.empty();
        }
        text += removed.empty() ? "nothing of Quorlin's to remove\n" : "";
        text += "the store's entries stay (quorlin-certstore remove removes them)\n";
        return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && ok ? kExitOk
                                                                                     : kExitFailure;
    }
    const json modules = AppsReport();
    std::string text;
    bool problems = false;
    for (const json& m : modules) {
        text += "provider " + Text(m["provider"]) + " (" + Text(m["file"]) + ")\n";
        text += "  module: " + (m["path"].is_null() ? Text(m["named"]) : Text(m["path"])) + "\n";
        text += "  trusted: " +
                (m["trusted"] ? std::string("yes") : "no, " + Text(m["untrusted_why"])) + "\n";
        if (m["trusted"]) {
            text +=
                "  loads: " + (m["loads"] ? std::string("yes") : "no, " + Text(m["load_error"])) +
                "\n";
        }
        if (m["loads"]) {
            std::string tokens;
            for (const json& t : m["tokens"]) {
                tokens += (tokens.empty() ? "" : ", ") + Text(t);
            }
            text += "  tokens: " + (tokens.empty() ? std::string("none") : tokens) + "\n";
            text += "  store entries on its tokens: " + m["entries_on_tokens"].dump() + " of " +
                    m["entries"].dump() + "\n";
        }
        const json& p11 = m["p11kit"];
        if (p11.is_object()) {
            text += "  p11-kit: " +
                    (!p11["configured_in"].is_null() ? "configured in " + Text(p11["configured_in"])
                     : p11["user_config_ignored"]
                         ? "user configuration ignored (" + Text(p11["ignored_why"]) + ")"
                         : std::string("not configured")) +
                    "\n";
        }
        problems = problems || !AppsProblems(m).empty();
    }
    if (modules.empty()) {
        text = "no provider file names a PKCS#11 module\n";
    }
    const bool printed = [&] {
        const std::string out = options.json ? JsonText(modules) : text;
        return std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
    }();
    std::fflush(stdout);
    for (const json& m : modules) {
        for (const std::string& p : AppsProblems(m)) {
            Say(p);
        }
    }
    return printed && !problems ? kExitOk : kExitFailure;
}

}  // namespace quorlin::cardtool
