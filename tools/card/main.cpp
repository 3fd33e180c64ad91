// quorlin-card: the card from the command line, for scripts and help desks.

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Cli.h"
#include "Diagnose.h"
#include "Entry.h"
#include "ExportFiles.h"
#include "Session.h"
#include "applet/Applet.h"
#include "applet/Cp950.h"
#include "applet/DirectoryWalk.h"
#include "applet/Pin.h"
#include "base/AtomicFile.h"
#include "base/Hex.h"
#include "base/PrivateMemory.h"
#include "base/Secret.h"
#include "interfaces/CertDetails.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "platform/x509/OpenSslCertDetails.h"
#include "registration/Registration.h"

namespace {

using namespace quorlin;
using namespace quorlin::cardtool;
using nlohmann::json;

std::string Hex(std::span<const std::uint8_t> bytes, bool spaced) {
    std::string out;
    for (std::uint8_t b : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, spaced && !out.empty() ? " %02X" : "%02X", b);
        out += two;
    }
    return out;
}

// Card text (code page 950) up to its first zero byte, as UTF-8.
std::string CardText(std::span<const std::uint8_t> bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return applet::Cp950ToUtf8(bytes.data(), static_cast<std::size_t>(end - bytes.begin()));
}

// Writes text to stdout; false (and the caller exits 1) when it cannot.
bool Print(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

int Readers(const Options& options) {
    int status = kExitOk;
    auto service = Service::Open(options, status);
    if (!service) {
        return status;
    }
    if (service->Context() == 0) {
        return kExitFailure;
    }
    const json out = ProbeReaders(*service);
    std::string text;
    for (const json& r : out) {
        text += r["reader"].get<std::string>() + "\n  " + CardWords(r) + "\n";
    }
    return Print(options.json ? out.dump(2) + "\n" : text) ? kExitOk : kExitFailure;
}

// The walk's reports as entries of the list: one per row the dialog would show.
class Listing : public applet::WalkObserver {
  public:
    json entries = json::array();
    std::vector<std::vector<std::uint8_t>> certificates;  // per entry, empty when none
    std::vector<std::string> records;                     // the container records
    bool failed = false;

    void DirectoryUnselectable(bool) override {
        Fail("the certificate directory cannot be selected");
    }
    void DirectoryRead(applet::ReadEnd end, std::size_t) override {
        if (end != applet::ReadEnd::Complete) {
            Fail("the certificate directory could not be read whole");
        }
    }
    void CertificateFileUnselectable(const applet::WalkedContainer& c, std::int32_t) override {
        Add(c, nullptr)["error"] = "the certificate file cannot be selected";
        failed = true;
    }
    void ContainerWithoutCertificate(const applet::WalkedContainer& c) override { Add(c, nullptr); }
    void CertificateListed(const applet::WalkedContainer& c) override { Add(c, &c.keyInfo); }
    void CertificateRead(const applet::WalkedContainer&, applet::ReadEnd end,
                         std::span<const std::uint8_t> bytes) override {
        json& entry = entries.back();
        if (end != applet::ReadEnd::Complete) {
            entry["error"] = "the certificate could not be read whole";
            failed = true;
        }
        if (end == applet::ReadEnd::FirstFailed) {
            return;
        }
        certificates.back().assign(bytes.begin(), bytes.end());
        const std::optional<x509::CertDetails> d = x509::DecodeCertDetails(bytes);
        if (!d) {
            entry["error"] = "the certificate does not decode";
            failed = true;
            return;
        }
        entry["certificate"] = {{"subject", d->subject},
                                {"issuer", d->issuer},
                                {"serial", x509::SerialText(*d)},
                                {"not_before", x509::IsoUtcText(d->notBefore)},
                                {"not_after", x509::IsoUtcText(d->notAfter)},
                                {"sha1", Hex(d->sha1, false)},
                                {"sha256", Hex(d->sha256, false)},
                                {"key", x509::KeyAlgorithmText(*d)}};
        notAfter.back() = d->notAfter;
    }

    std::vector<std::optional<std::int64_t>> notAfter;

  private:
    void Fail(const std::string& problem) {
        Say(problem);
        failed = true;
    }
    json& Add(const applet::WalkedContainer& c, const std::span<const std::uint8_t>* keyInfo) {
        const std::uint8_t file[2] = {c.file.high, c.file.low};
        const std::optional<applet::ContainerKeys> keys = applet::KeysOf(c.lookup);
        json entry{
            {"file", Hex(file, false)},
            {"container", CardText(c.record)},
            {"start", nullptr},
            {"expiry", nullptr},
            {"keys", keys ? json{{"signature", keys->signature}, {"exchange", keys->exchange}}
                          : json(nullptr)},
            {"certificate", nullptr}};
        if (keyInfo != nullptr) {
            entry["start"] =
                CardText(keyInfo->subspan(applet::kKeyInfoStartDate, applet::kDateLength));
            entry["expiry"] =
                CardText(keyInfo->subspan(applet::kKeyInfoExpiryDate, applet::kDateLength));
        }
        entries.push_back(entry);
        certificates.emplace_back();
        records.emplace_back(c.record.begin(), c.record.end());
        notAfter.emplace_back();
        return entries.back();
    }
};

// A value for the terminal: the card's texts may hold anything, control characters too.
std::string Field(const json& value) {
    return value.is_string() ? certview::Printable(value.get<std::string>()) : "-";
}

// Each certificate read, a file each in dir; false when any could not be written.
bool ExportCertificates(const Listing& listing, const std::string& dir, bool der) {
    std::fflush(stdout);  // the listing before the messages, on a terminal
    bool ok = true;
    int written = 0;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
        const json& e = listing.entries[i];
        if (e["certificate"].is_null()) {
            continue;
        }
        const std::vector<std::uint8_t>& bytes = listing.certificates[i];
        const std::string pem = der ? std::string() : x509::PemText(bytes);
        const std::string path =
            dir + "/" + exportfiles::FileNameOf(Field(e["file"]) + "-" + Field(e["container"])) +
            (der ? ".der" : ".pem");
        const int error = base::WriteFileAtomically(
            path, der ? std::span<const std::uint8_t>(bytes)
                      : std::span(reinterpret_cast<const std::uint8_t*>(pem.data()), pem.size()));
        if (error != 0) {
            Say(certview::Printable(path) + ": " + std::strerror(error));
            ok = false;
            continue;
        }
        ++written;
    }
    Say("wrote " + std::to_string(written) + " certificate" + (written == 1 ? "" : "s") + " to " +
        certview::Printable(dir));
    return ok;
}

int Certs(const Options& options, std::optional<int> expiresWithin, const std::string& exportDir,
          bool der) {
    int status = kExitOk;
    const std::unique_ptr<Service> service = OpenOnReader(options, status);
    if (!service) {
        return status;
    }
    // Before the PIN is asked for: a directory refused costs no log-in.
    if (!exportDir.empty()) {
        if (const auto problem = exportfiles::PrepareOutputDirectory(exportDir)) {
            Say(certview::Printable(exportDir) + ": " + *problem);
            return kExitFailure;
        }
    }
    std::optional<applet::CardPin> pin;
    if (const std::optional<int> failed = AskPin(options, "PIN", true, pin)) {
        return *failed;
    }
    Listing listing;
    {
        CardConnection connection(*service, service->Reader());
        if (const std::optional<int> failed = LogIn(*service, connection, *pin)) {
            return *failed;
        }
        applet::WalkDirectory(connection.Channel(), listing);
    }
    std::string text;
    std::size_t width[3] = {4, 9, 7};
    for (const json& e : listing.entries) {
        width[0] = std::max(width[0], certview::DisplayWidth(Field(e["file"])));
        width[1] = std::max(width[1], certview::DisplayWidth(Field(e["container"])));
        width[2] = std::max(width[2], certview::DisplayWidth(Field(e["expiry"])));
    }
    const auto pad = [&](const std::string& cell, std::size_t column) {
        return cell + std::string(width[column] - certview::DisplayWidth(cell) + 2, ' ');
    };
    const auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                          const std::string& d) {
        text += pad(a, 0) + pad(b, 1) + pad(c, 2) + d + "\n";
    };
    line("FILE", "CONTAINER", "EXPIRES", "SUBJECT");
    for (const json& e : listing.entries) {
        line(Field(e["file"]), Field(e["container"]), Field(e["expiry"]),
             e["certificate"].is_null() ? (e.contains("error") ? "(" + Field(e["error"]) + ")"
                                                               : std::string("(no certificate)"))
                                        : Field(e["certificate"]["subject"]));
    }
    if (!Print(options.json ? listing.entries.dump(2) + "\n" : text)) {
        return kExitFailure;
    }
    if (!exportDir.empty() && !ExportCertificates(listing, exportDir, der)) {
        return kExitFailure;
    }
    if (listing.failed) {
        return kExitFailure;
    }
    if (expiresWithin) {
        const std::int64_t limit =
            static_cast<std::int64_t>(std::time(nullptr)) + std::int64_t{*expiresWithin} * 86400;
        bool expiring = false;
        for (std::size_t i = 0; i < listing.entries.size(); ++i) {
            if (listing.notAfter[i] && *listing.notAfter[i] <= limit) {
                Say(Field(listing.entries[i]["file"]) + " " +
                    Field(listing.entries[i]["container"]) + " expires " +
                    Field(listing.entries[i]["certificate"]["not_after"]));
                expiring = true;
            }
        }
        return expiring ? kExitExpiring : kExitOk;
    }
    return kExitOk;
}

int ChangePin(const Options& options) {
    int status = kExitOk;
    const std::unique_ptr<Service> service = OpenOnReader(options, status);
    if (!service) {
        return status;
    }
    // Every PIN is asked for and checked before the card hears a command.
    std::optional<applet::CardPin> pin;
    std::optional<applet::CardPin> newPin;
    std::optional<applet::CardPin> confirm;
    for (auto [prompt, check, target] : {std::tuple{"PIN", true, &pin},
                                         {"new PIN", true, &newPin},
                                         {"new PIN again", false, &confirm}}) {
        if (const std::optional<int> failed = AskPin(options, prompt, check, *target)) {
            return *failed;
        }
    }
    if (newPin->size() > applet::kPaddedPinLength) {
        Say("the new PIN is longer than 16 bytes");
        return kExitFailure;
    }
    if (!(*newPin == *confirm)) {
        Say("the new PIN and its confirmation differ");
        return kExitFailure;
    }
    CardConnection connection(*service, service->Reader());
    if (const std::optional<int> failed = LogIn(*service, connection, *pin)) {
        return *failed;
    }
    if (applet::SelectFile(connection.Channel(), applet::kPinFile) != 0) {
        Say("the card's PIN file cannot be selected; the PIN is unchanged");
        return kExitFailure;
    }
    std::int32_t result = 0;
    {
        const applet::PaddedPinBuffer padded(newPin->data(), newPin->size());
        result = applet::WriteRecord(connection.Channel(), applet::kPinRecord, padded.bytes);
    }
    if (result != 0) {
        Say("the card did not take the new PIN");
        return kExitFailure;
    }
    return Print("PIN changed.\n") ? kExitOk : kExitFailure;
}

// The routine's reports as lines: one per certificate, with the failure's call and text.
class RegistrationLines : public registration::Observer {
  public:
    std::vector<std::string> lines;
    std::string lastFailure;
    bool allAdded = true;
    void StepFailed(registration::Step step, std::uint32_t code) override {
        static const char* const kCalls[] = {"the provider probe",
                                             "the container's provider context",
                                             "opening the store",
                                             "the container's key",
                                             "memory",
                                             "the key-provider property",
                                             "adding to the store"};
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
        lastFailure = std::string(kCalls[static_cast<int>(step)]) + " failed (" + hex + ")";
        if (step == registration::Step::ProbeProvider) {
            Say(lastFailure);
            allAdded = false;
        }
    }
    void CertificateDone(std::size_t, registration::Outcome outcome) override {
        switch (outcome) {
            case registration::Outcome::Added:
                lines.emplace_back("added");
                return;
            case registration::Outcome::NoKey:
                lines.emplace_back("no key");
                break;
            case registration::Outcome::Failed:
                lines.push_back("failed: " + lastFailure);
                break;
            case registration::Outcome::NotTried:
                lines.emplace_back("failed: not tried after the failure above");
                break;
        }
        allAdded = false;
    }
};

int Register(const Options& options, const std::string& storeName) {
    int status = kExitOk;
    const std::unique_ptr<Service> service = OpenOnReader(options, status);
    if (!service) {
        return status;
    }
    std::optional<applet::CardPin> pin;
    if (const std::optional<int> failed = AskPin(options, "PIN", true, pin)) {
        return *failed;
    }
    Listing listing;
    std::string provider;
    {
        CardConnection connection(*service, service->Reader());
        if (const std::optional<int> failed = LogIn(*service, connection, *pin, &provider)) {
            return *failed;
        }
        applet::WalkDirectory(connection.Channel(), listing);
        // The provider opens its own connection and selects the applet again; the session
        // that verified the PIN ends here, on the card too.
        if (const std::uint32_t rv = connection.End(); rv != pcsc::kSuccess) {
            Say("cannot end the card session: " + ServiceText(service->Pcsc(), rv));
            return kExitFailure;
        }
    }
    x509::OpenSslCertApi certApi;
    std::vector<const x509::CertContext*> contexts;
    std::vector<registration::CardCertificate> certs;
    // A line per certificate listed, in the card's order: one that could not be read or
    // decoded fails here, the rest as the registration says.
    std::vector<std::string> lineOf(listing.entries.size());
    std::vector<std::size_t> entryOf;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
        const std::vector<std::uint8_t>& der = listing.certificates[i];
        const x509::CertContext* cert =
            der.empty() ? nullptr
                        : certApi.CertCreateCertificateContext(
                              x509::kX509AsnEncoding | x509::kPkcs7AsnEncoding, der.data(),
                              static_cast<std::uint32_t>(der.size()));
        if (cert == nullptr) {
            if (listing.entries[i].contains("error")) {
                lineOf[i] = "failed: " + Field(listing.entries[i]["error"]);
            }
            continue;
        }
        contexts.push_back(cert);
        certs.push_back({cert, std::span<const std::uint8_t, registration::kContainerNameSize>(
                                   reinterpret_cast<const std::uint8_t*>(listing.records[i].data()),
                                   registration::kContainerNameSize)});
        entryOf.push_back(i);
    }
    crypt::CardCryptApi crypt(service->Pcsc());
    store::SqliteStoreApi store;
    std::u16string storeW(storeName.begin(), storeName.end());
    RegistrationLines report;
    const std::optional<int> added =
        registration::RegisterCertificates(crypt, store, provider, certs, storeW.c_str(), report);
    for (std::size_t k = 0; k < report.lines.size() && k < entryOf.size(); ++k) {
        lineOf[entryOf[k]] = report.lines[k];
    }
    std::string text;
    for (std::size_t i = 0; i < lineOf.size(); ++i) {
        if (!lineOf[i].empty()) {
            text += Field(listing.entries[i]["file"]) + " " +
                    Field(listing.entries[i]["container"]) + ": " + lineOf[i] + "\n";
        }
    }
    for (const x509::CertContext* cert : contexts) {
        certApi.CertFreeCertificateContext(cert);
    }
    if (!Print(text)) {
        return kExitFailure;
    }
    return added && report.allAdded && !listing.failed && !certs.empty() ? kExitOk : kExitFailure;
}

int Run(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");  // the terminal's columns, for the listing's widths
    CLI::App app("The card from the command line: its readers, certificates and PIN.",
                 "quorlin-card");
    quorlin::cli::AddVersion(app);
    app.require_subcommand(1);
    Options options;
    app.add_option("-r,--reader", options.reader,
                   "The reader: its name, or its 0-based index in the service's list")
        ->option_text("NAME|INDEX");
    app.add_option("--trace", options.trace, "Trace the run to FILE, as quorlin --trace does")
        ->option_text("FILE");
    app.add_option("--pin-fd", options.pinFd,
                   "Read each PIN asked for as a line from descriptor N instead of the terminal")
        ->option_text("N")
        ->check(CLI::NonNegativeNumber);

    CLI::App* readers = app.add_subcommand("readers", "List the readers and the cards in them");
    readers->add_flag("--json", options.json, "JSON for scripts");
    CLI::App* certs = app.add_subcommand("certs", "Log in and list the card's certificates");
    certs->add_flag("--json", options.json, "JSON for scripts");
    std::optional<int> expiresWithin;
    certs
        ->add_option("--expires-within", expiresWithin,
                     "Exit 3 when a certificate has expired or expires within DAYS")
        ->option_text("DAYS")
        ->check(CLI::NonNegativeNumber);
    std::string exportDir;
    bool der = false;
    certs
        ->add_option("--export", exportDir,
                     "Also write each certificate to DIR as FILE-CONTAINER.pem (DIR made 0700 "
                     "when missing)")
        ->option_text("DIR");
    certs->add_flag("--der", der, "With --export: DER files (.der) instead of PEM");
    CLI::App* diagnose = app.add_subcommand(
        "diagnose", "Report the service, readers, card, providers and store; no PIN asked");
    diagnose->add_flag("--json", options.json, "JSON for scripts");
    CLI::App* changePin = app.add_subcommand("change-pin", "Change the card's PIN");
    CLI::App* reg = app.add_subcommand("register", "Log in and register the card's certificates");
    std::string storeName = "MY";
    reg->add_option("--store", storeName, "The store to register into (default MY)")
        ->option_text("NAME");
    // `help COMMAND`, as git and the other tools of a terminal have it.
    CLI::App* help = app.add_subcommand("help", "Print the help of a command");
    std::string helpOn;
    help->add_option("command", helpOn, "The command")->option_text("COMMAND");
    for (CLI::App* sub : {readers, certs, diagnose, changePin, reg}) {
        sub->fallthrough();
    }
    if (const std::optional<int> exit = quorlin::cli::Parse(app, argc, argv)) {
        return *exit;
    }
    if (help->parsed()) {
        CLI::App* about = helpOn.empty() ? &app : nullptr;
        for (CLI::App* sub : app.get_subcommands({})) {
            about = sub->get_name() == helpOn ? sub : about;
        }
        if (about == nullptr) {
            return quorlin::cli::UsageError(app, "no command " + certview::Printable(helpOn));
        }
        return Print(about->help()) ? kExitOk : kExitFailure;
    }
    if (readers->parsed()) {
        return Readers(options);
    }
    if (certs->parsed()) {
        if (der && exportDir.empty()) {
            return quorlin::cli::UsageError(app, "--der goes with --export DIR");
        }
        return Certs(options, expiresWithin, exportDir, der);
    }
    if (diagnose->parsed()) {
        return Diagnose(options);
    }
    if (changePin->parsed()) {
        return ChangePin(options);
    }
    return Register(options, storeName);
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything reads a PIN: no core file, no other process of the user attached.
    if (const int error = quorlin::base::KeepMemoryPrivate(); error != 0) {
        quorlin::cardtool::Say("cannot keep the PIN out of core files");
    }
    return quorlin::cli::Finish("quorlin-card", Run(argc, argv));
}
