#include "Diagnose.h"

#include <PCSC/pcsclite.h>

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

// The first problem that keeps the card from being used, with what to do about it.
std::optional<std::string> FirstProblem(const json& report) {
    if (report["service"]["result"] != pcsc::kSuccess) {
        return "No reader service answers: is pcscd installed and running (systemctl status "
               "pcscd.socket)?";
    }
    const json& readers = report["readers"];
    if (readers.empty()) {
        return "No reader is attached: plug in a reader.";
    }
    std::optional<std::string> problem;
    for (const json& r : readers) {
        if (!r["card"]) {
            continue;
        }
        if (r["provider"].is_string()) {
            for (const json& p : report["providers"]) {
                if (p["provider"] == r["provider"] && p["file"].is_null()) {
                    return "The provider file for " + Text(r["provider"]) +
                           " is missing: reinstall the quorlin package.";
                }
            }
            return std::nullopt;
        }
        if (!problem) {
            problem = "The card in " + Text(r["reader"]) +
                      (r["busy"] ? " is held by another program: close it (or the Quorlin "
                                   "dialog) and try again."
                                 : " is of no known kind: check that it is the right card, "
                                   "inserted the right way round.");
        }
    }
    return problem ? problem : "No card in any reader: insert the card.";
}

}  // namespace

json ProbeReaders(Service& service) {
    json out = json::array();
    for (const ReaderState& r : service.Readers()) {
        json entry{{"reader", r.name},    {"card", r.card},      {"atr", base::HexString(r.atr)},
                   {"protocol", nullptr}, {"provider", nullptr}, {"busy", false}};
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
    const auto atr = base::HexParse(r["atr"].get<std::string>());
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
    report["service"] = {{"result", service->ContextResult()},
                         {"text", ServiceText(service->Pcsc(), service->ContextResult())}};
    report["readers"] = answers ? ProbeReaders(*service) : json(nullptr);
    const crypt::ProviderRegistry registry;
    report["providers"] = json::array();
    for (const applet::AppletKind& kind : applet::kAppletKinds) {
        const std::optional<crypt::ProviderInfo> info = registry.Find(kind.provider);
        report["providers"].push_back(
            {{"provider", kind.provider}, {"file", info ? json(info->file) : json(nullptr)}});
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
        {"entries", inspection.entries ? json(*inspection.entries) : json(nullptr)}};
    if (inspection.error != 0) {
        report["store"]["error"] = certview::FailureText(inspection.error);
    }

    std::string text;
    if (options.json) {
        text = report.dump(2) + "\n";
    } else {
        text = "version: " + Text(report["version"]) + "\npcsclite: " + Text(report["pcsclite"]) +
               "\nservice: " + Text(report["service"]["text"]) + "\n";
        for (const json& r : answers ? report["readers"] : json::array()) {
            text += "reader: " + Text(r["reader"]) + "; " + CardWords(r) + "\n";
        }
        for (const json& p : report["providers"]) {
            text += "provider " + Text(p["provider"]) + ": " + Text(p["file"]) + "\n";
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
    // Not the card's problem, so said first: the last line stays the card's.
    if (inspection.state == StoreState::kForeign) {
        Say("The store " + Text(report["store"]["path"]) +
            " is not Quorlin's: move it aside before registering.");
    } else if (inspection.state == StoreState::kUnusable) {
        Say("The store " + Text(report["store"]["path"]) + " cannot be read (" +
            Text(report["store"]["error"]) + "): check its owner and permissions.");
    }
    if (const std::optional<std::string> problem = FirstProblem(report)) {
        Say(*problem);
        return kExitFailure;
    }
    return printed ? kExitOk : kExitFailure;
}

}  // namespace quorlin::cardtool
