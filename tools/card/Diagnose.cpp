#include "Diagnose.h"

#include "Apps.h"

#include <PCSC/pcsclite.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "Entry.h"
#include "applet/Applet.h"
#include "base/Hex.h"
#include "platform/crypt/ProviderRegistry.h"
#include "platform/store/SqliteStoreApi.h"
#include "quorlin/Version.h"

namespace quorlin::cardtool {

namespace {

using nlohmann::json;
using StoreState = store::SqliteStoreApi::State;

const char* StateName(StoreState state) {
    switch (state) {
        case StoreState::kAbsent:
            return "absent";
        case StoreState::kNotSetUp:
            return "not set up";
        case StoreState::kOurs:
            return "quorlin";
        case StoreState::kUnmarked:
            return "before the mark";
        case StoreState::kForeign:
            return "foreign";
        case StoreState::kUnusable:
            break;
    }
    return "unusable";
}

// For the terminal: names from the service and paths from the environment may hold
// control characters.
std::string Text(const json& value) {
    return value.is_string() ? certview::Printable(value.get<std::string>())
           : value.is_null() ? "none"
                             : value.dump();
}

std::string CodeText(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

// Something that keeps the card or the store from being used, and what to do about it.
struct Finding {
    std::string problem;
    std::string remedy;
};

// The first problem with the readers and cards.
std::optional<Finding> CardProblem(const json& report, const crypt::ProviderRegistry& registry) {
    if (report["service"]["result"] != pcsc::kSuccess) {
        return Finding{"No reader service answers.",
                       "Check that pcscd is installed and running (systemctl status "
                       "pcscd.socket)."};
    }
    const json& readers = report["readers"];
    if (readers.empty()) {
        return Finding{"No reader is attached.", "Plug in a reader."};
    }
    std::optional<Finding> problem;
    std::vector<std::string> withCard;
    for (const json& r : readers) {
        if (!r["card"]) {
            continue;
        }
        withCard.push_back(Text(r["reader"]));
        if (r["provider"].is_string()) {
            const std::string provider = r["provider"].get<std::string>();
            const std::optional<crypt::ProviderInfo> info = registry.Find(provider);
            if (!info) {
                return Finding{"No provider file for " + Text(provider) + " could be used.",
                               report["provider_problems"].empty()
                                   ? "Reinstall the quorlin package."
                                   : "Mend or remove the provider file named above."};
            }
            if (const auto aid = AidMissingFrom(provider, *info)) {
                return Finding{"The provider file " + certview::Printable(info->file) +
                                   " does not serve the card in " + Text(r["reader"]) +
                                   ": it names no aid " + base::HexString(*aid, " ") + ".",
                               "Add the line aid=" + base::HexString(*aid, " ") +
                                   " to it, or remove it so that the package's file is used."};
            }
            continue;
        }
        if (!problem) {
            problem =
                r["busy"]
                    ? Finding{"The card in " + Text(r["reader"]) + " is held by another program.",
                              "Close it (or the Quorlin dialog) and try again."}
                    : Finding{"The card in " + Text(r["reader"]) + " is of no known kind.",
                              "Check that it is the right card, inserted the right "
                              "way round."};
        }
    }
    if (problem) {
        return problem;
    }
    if (withCard.empty()) {
        return Finding{"No card in any reader.", "Insert the card."};
    }
    if (withCard.size() > 1) {
        return Finding{
            std::to_string(withCard.size()) + " readers hold a card.",
            "Choose one with -r, e.g. quorlin-card -r '" + withCard.front() + "' certs."};
    }
    return std::nullopt;
}

// The store's problem, if any.
std::optional<Finding> StoreProblem(const store::SqliteStoreApi::Inspection& inspection,
                                    const json& store) {
    if (!inspection.foreignPath.empty()) {
        return Finding{certview::Printable(inspection.foreignPath) + " belongs to " +
                           certview::Printable(inspection.foreignOwner) +
                           ", not to the user running this.",
                       "Run Quorlin as that user, or have an administrator give it back to you "
                       "(chown)."};
    }
    if (inspection.state == StoreState::kForeign) {
        return Finding{"The store " + Text(store["path"]) + " is not Quorlin's.",
                       "Move it aside before registering."};
    }
    if (inspection.state == StoreState::kUnusable) {
        return Finding{
            "The store " + Text(store["path"]) + " cannot be read (" + Text(store["error"]) + ").",
            inspection.error == store::kERevisionMismatch
                ? "Register with the newer version of Quorlin that made it."
                : "Check its owner and permissions."};
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> AidMissingFrom(const std::string& provider,
                                                        const crypt::ProviderInfo& info) {
    for (const applet::AppletKind& kind : applet::kAppletKinds) {
        std::vector<std::uint8_t> aid(kind.aid.begin(), kind.aid.end());
        if (provider == kind.provider &&
            std::find(info.aids.begin(), info.aids.end(), aid) == info.aids.end()) {
            return aid;
        }
    }
    return std::nullopt;
}

std::string JsonText(const json& value) {
    return value.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

void WarnProviderProblems(const crypt::ProviderRegistry& registry) {
    for (const crypt::ProviderProblem& p : registry.Problems()) {
        Say("warning: provider file " + certview::Printable(p.file) + ": " + p.reason);
    }
}

json ProbeReaders(Service& service) {
    json out = json::array();
    for (const ReaderState& r : service.Readers()) {
        json entry{{"reader", r.name},
                   {"card", r.card},
                   {"atr", r.atr.empty() ? json(nullptr) : json(base::HexString(r.atr))},
                   {"protocol", nullptr},
                   {"provider", nullptr},
                   {"busy", false}};
        if (r.card) {
            // Exclusive, so that a card another program holds is only reported busy.
            CardConnection connection(service, r.name);
            if (connection.Result() == pcsc::kESharingViolation) {
                entry["busy"] = true;
            } else if (connection.Result() == pcsc::kSuccess) {
                entry["protocol"] = connection.IsT1() ? "T=1" : "T=0";
                if (const auto provider = SelectApplet(connection.Channel())) {
                    entry["provider"] = *provider;
                }
            }
        }
        out.push_back(entry);
    }
    return out;
}

std::string CardWords(const json& r) {
    if (!r["card"]) {
        return "no card";
    }
    const auto atr =
        r["atr"].is_string() ? base::HexParse(r["atr"].get<std::string>()) : std::nullopt;
    const std::string card =
        "card " + base::HexString(atr.value_or(std::vector<std::uint8_t>{}), " ");
    if (r["busy"]) {
        return card + ", busy (another program holds it)";
    }
    return card + ", " + Text(r["protocol"]) + ", " +
           (r["provider"].is_null() ? std::string("no known applet") : Text(r["provider"]));
}

int Diagnose(const Options& options) {
    int status = kExitOk;
    auto service = Service::Open(options, status);
    if (!service) {
        return status;
    }
    json report{{"version", QUORLIN_VERSION}, {"pcsclite", PCSCLITE_VERSION_NUMBER}};
    const bool answers = service->Context(true) != 0;
    report["service"] = {{"running", answers},
                         {"result", service->ContextResult()},
                         {"code", CodeText(service->ContextResult())},
                         {"text", ServiceText(service->Pcsc(), service->ContextResult())}};
    report["readers"] = answers ? ProbeReaders(*service) : json(nullptr);
    const crypt::ProviderRegistry registry;
    report["providers"] = json::array();
    for (const applet::AppletKind& kind : applet::kAppletKinds) {
        const std::optional<crypt::ProviderInfo> info = registry.Find(kind.provider);
        report["providers"].push_back(
            {{"provider", kind.provider}, {"file", info ? json(info->file) : json(nullptr)}});
    }
    report["provider_problems"] = json::array();
    for (const crypt::ProviderProblem& p : registry.Problems()) {
        report["provider_problems"].push_back({{"file", p.file}, {"reason", p.reason}});
    }
    report["provider_dirs"] = json::array();
    for (const std::string& dir : registry.Dirs()) {
        report["provider_dirs"].push_back(dir + "/quorlin/providers");
    }
    store::SqliteStoreApi store;
    const store::SqliteStoreApi::Inspection inspection = store.Inspect();
    report["store"] = {
        {"path", store.Directory().empty() ? json(nullptr) : json(store.DatabasePath())},
        {"state", StateName(inspection.state)},
        {"entries", inspection.entries ? json(*inspection.entries) : json(nullptr)},
        {"owner", inspection.foreignPath.empty()
                      ? json(nullptr)
                      : json{{"path", inspection.foreignPath}, {"user", inspection.foreignOwner}}}};
    if (inspection.error != 0) {
        report["store"]["error"] = certview::FailureText(inspection.error);
        report["store"]["code"] = CodeText(inspection.error);
    }
    report["apps"] = AppsReport();
    // Not the card's problem, so said first: the last line stays the card's.
    std::vector<Finding> findings;
    for (const json& m : report["apps"]) {
        for (const std::string& p : AppsProblems(m)) {
            findings.push_back(
                {certview::Printable(p) + ".", "Run quorlin-card apps for the details."});
        }
    }
    for (const auto& found :
         {StoreProblem(inspection, report["store"]), CardProblem(report, registry)}) {
        if (found) {
            findings.push_back(*found);
        }
    }
    report["problem"] = findings.empty() ? json(nullptr) : json(findings.front().problem);
    report["remedy"] = findings.empty() ? json(nullptr) : json(findings.front().remedy);

    std::string text;
    if (options.json) {
        text = JsonText(report);
    } else {
        text = "version: " + Text(report["version"]) + "\npcsclite: " + Text(report["pcsclite"]) +
               "\nservice: " +
               (answers ? std::string("running")
                        : "not running (" + Text(report["service"]["text"]) + ")") +
               "\n";
        for (const json& r : answers ? report["readers"] : json::array()) {
            text += "reader: " + Text(r["reader"]) + "; " + CardWords(r) + "\n";
        }
        for (const json& p : report["providers"]) {
            text += "provider " + Text(p["provider"]) + ": " + Text(p["file"]) + "\n";
        }
        for (const json& p : report["provider_problems"]) {
            text += "provider file " + Text(p["file"]) + ": " + Text(p["reason"]) + "\n";
        }
        for (const json& m : report["apps"]) {
            text +=
                "module of " + Text(m["provider"]) + ": " +
                Text(m["path"].is_null() ? m["named"] : m["path"]) + "; " +
                (!m["trusted"] ? "not trusted"
                 : !m["loads"] ? "does not load"
                               : std::to_string(m["tokens"].size()) + " token(s)") +
                "; NSS databases without it: " +
                std::to_string(std::count_if(
                    m["nss"].begin(), m["nss"].end(),
                    [](const json& d) { return !d["missing"] && d["listed_as"].is_null(); })) +
                "; p11-kit: " +
                (!m["p11kit"].is_object() ? std::string("not looked at")
                 : m["p11kit"]["configured_in"].is_string()
                     ? "configured in " + Text(m["p11kit"]["configured_in"])
                 : m["p11kit"]["user_config_ignored"] ? std::string("user configuration ignored")
                                                      : std::string("not configured")) +
                "\n";
        }
        for (const json& dir : report["provider_dirs"]) {
            text += "provider directory: " + Text(dir) + "\n";
        }
        const json& s = report["store"];
        text += "store: " + Text(s["path"]) + "\nstore state: " + Text(s["state"]) +
                (s.contains("error") ? " (" + Text(s["error"]) + ")" : std::string()) +
                "\nstore entries: " + (s["entries"].is_null() ? "unknown" : s["entries"].dump()) +
                "\n";
    }
    const bool printed = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    std::fflush(stdout);
    WarnProviderProblems(registry);
    for (const Finding& f : findings) {
        Say(f.problem + " " + f.remedy);
    }
    return printed && findings.empty() ? kExitOk : kExitFailure;
}

}  // namespace quorlin::cardtool
