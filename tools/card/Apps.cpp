#include "Apps.h"

#include <cstdio>

#include "Diagnose.h"
#include "Entry.h"
#include "platform/crypt/ProviderRegistry.h"
#include "platform/keylink/Pkcs11KeyLinks.h"
#include "platform/nss/Nss.h"
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
             {"entries_on_tokens", nullptr},
             {"nss", json::array()},
             {"p11kit", nullptr}};
    const keylink::ProviderModule m = keylink::OpenProviderModule(info);
    if (m.path.empty()) {
        out["untrusted_why"] = info.pkcs11Module + " is not found";
        return out;
    }
    const std::string& path = m.path;
    out["path"] = path;
    out["trusted"] = m.trusted;
    out["loads"] = m.module != nullptr;
    if (!m.trusted) {
        out["untrusted_why"] = m.problem;
    } else if (!m.module) {
        out["load_error"] = m.loadError;
    } else {
        for (const pkcs11::TokenInfo& token : m.module->Tokens()) {
            out["tokens"].push_back(token.label);
        }
        int held = 0;
        for (const store::StoredCertificate& e : entries) {
            std::string reason;
            held += m.module->FindCertificate(e.der, reason) ? 1 : 0;
        }
        out["entries_on_tokens"] = held;
    }
    for (const nss::Database& db : nss::DiscoverForThisUser()) {
        json d{{"name", nss::DisplayName(db)}, {"dir", db.dir},   {"listed_as", nullptr},
               {"cannot_write", nullptr},      {"in_use", false}, {"not_handled", nullptr},
               {"missing", db.missing}};
        if (!db.notHandled.empty()) {
            d["not_handled"] = db.notHandled;
        } else if (!db.missing) {
            const nss::DbState state = nss::Inspect(db, path);
            d["listed_as"] = state.listed ? json(state.listedAs) : json(nullptr);
            d["cannot_write"] = OrNull(state.cannotWrite);
            d["in_use"] = state.inUse;
        }
        out["nss"].push_back(d);
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
    for (const json& d : m["nss"]) {
        if (!d["missing"] && d["listed_as"].is_null()) {
            out.push_back(who + " is missing from " + Text(d["name"]));
        }
    }
    return out;
}

int Apps(const Options& options, bool remove) {
    if (remove) {
        std::string text;
        bool ok = true;
        auto removed = pkcs11::RemoveQuorlinModules();
        for (const nss::Database& db : nss::DiscoverForThisUser()) {
            if (db.notHandled.empty() && !db.missing) {
                for (const auto& [name, why] : nss::RemoveQuorlinModules(db)) {
                    removed.push_back({"\"" + name + "\" from " + nss::DisplayName(db), why});
                }
            }
        }
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
        for (const json& d : m["nss"]) {
            text +=
                "  " + Text(d["name"]) + ": " +
                (d["missing"]                   ? std::string("not on disk")
                 : d["not_handled"].is_string() ? "not handled (" + Text(d["not_handled"]) + ")"
                 : d["listed_as"].is_string()   ? "listed as \"" + Text(d["listed_as"]) + "\""
                                                : std::string("not listed")) +
                (d["cannot_write"].is_string() ? "; cannot be written: " + Text(d["cannot_write"])
                                               : "") +
                (d["in_use"] ? "; in use" : "") + "\n";
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
