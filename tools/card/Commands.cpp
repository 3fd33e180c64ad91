#include "Commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Diagnose.h"
#include "Entry.h"
#include "ExportFiles.h"
#include "applet/Applet.h"
#include "applet/Cp950.h"
#include "applet/DirectoryWalk.h"
#include "applet/Pin.h"
#include "base/AtomicFile.h"
#include "base/Hex.h"
#include "interfaces/CertDetails.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "platform/x509/OpenSslCertDetails.h"
#include "registration/Registration.h"

namespace quorlin::cardtool {

namespace {

using nlohmann::json;

// Writes text to stdout; false (and the caller exits 1) when it cannot.
bool Print(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

// A value for the terminal: the card's texts may hold anything, control characters too.
std::string Field(const json& value) {
    return value.is_string() ? certview::Printable(value.get<std::string>()) : "-";
}

// One row the dialog would show: what scripts read of it, and what the other commands need.
struct Row {
    json entry;
    std::array<std::uint8_t, applet::kContainerRecordSize> record{};
    std::vector<std::uint8_t> der;  // the certificate as read; empty when none
    std::optional<std::int64_t> notAfter;

    // "FILE CONTAINER", as the messages and the export name it.
    std::string Label() const { return Field(entry["file"]) + " " + Field(entry["container"]); }
};

// The walk's reports as rows, in the card's order.
class Listing : public applet::WalkObserver {
  public:
    std::vector<Row> rows;
    bool failed = false;

    json Entries() const {
        json out = json::array();
        for (const Row& r : rows) {
            out.push_back(r.entry);
        }
        return out;
    }

    void DirectoryUnselectable(bool) override {
        Fail("the certificate directory cannot be selected");
    }
    void DirectoryRead(applet::ReadEnd end, std::size_t) override {
        if (end != applet::ReadEnd::Complete) {
            Fail("the certificate directory could not be read whole");
        }
    }
    void CertificateFileUnselectable(const applet::WalkedContainer& c, std::int32_t) override {
        Add(c, false).entry["error"] = "the certificate file cannot be selected";
        failed = true;
    }
    void KeyInfoUnread(const applet::WalkedContainer& c) override {
        Add(c, false).entry["error"] = "the key information could not be read";
        failed = true;
    }
    void ContainerWithoutCertificate(const applet::WalkedContainer& c) override { Add(c, false); }
    void CertificateListed(const applet::WalkedContainer& c) override { Add(c, true); }
    void CertificateRead(const applet::WalkedContainer&, applet::ReadEnd end,
                         std::span<const std::uint8_t> bytes) override {
        Row& row = rows.back();
        if (end != applet::ReadEnd::Complete) {
            row.entry["error"] = "the certificate could not be read whole";
            failed = true;
        }
        if (end == applet::ReadEnd::FirstFailed) {
            return;
        }
        row.der.assign(bytes.begin(), bytes.end());
        const std::optional<x509::CertDetails> d = x509::DecodeCertDetails(bytes);
        if (!d) {
            row.entry["error"] = "the certificate does not decode";
            failed = true;
            return;
        }
        row.entry["certificate"] = {{"subject", d->subject},
                                    {"issuer", d->issuer},
                                    {"serial", x509::SerialText(*d)},
                                    {"not_before", x509::IsoUtcText(d->notBefore)},
                                    {"not_after", x509::IsoUtcText(d->notAfter)},
                                    {"sha1", base::HexString(d->sha1)},
                                    {"sha256", base::HexString(d->sha256)},
                                    {"key", x509::KeyAlgorithmText(*d)}};
        row.notAfter = d->notAfter;
    }

  private:
    void Fail(const std::string& problem) {
        Say(problem);
        failed = true;
    }
    Row& Add(const applet::WalkedContainer& c, bool dated) {
        const std::uint8_t file[2] = {c.file.high, c.file.low};
        const std::optional<applet::ContainerKeys> keys = applet::KeysOf(c.lookup);
        const auto date = [&](std::size_t offset) {
            return dated
                       ? json(applet::CardFieldText(c.keyInfo.subspan(offset, applet::kDateLength)))
                       : json(nullptr);
        };
        Row& row = rows.emplace_back();
        row.entry = {
            {"file", base::HexString(file)},
            {"container", applet::CardFieldText(c.record)},
            {"start", date(applet::kKeyInfoStartDate)},
            {"expiry", date(applet::kKeyInfoExpiryDate)},
            {"keys", keys ? json{{"signature", keys->signature}, {"exchange", keys->exchange}}
                          : json(nullptr)},
            {"certificate", nullptr}};
        std::copy(c.record.begin(), c.record.end(), row.record.begin());
        return row;
    }
};

// Each certificate read, a file each in dir; false when any could not be written.
bool ExportCertificates(const Listing& listing, const std::string& dir, bool der) {
    std::fflush(stdout);  // the listing before the messages, on a terminal
    bool ok = true;
    int written = 0;
    for (const Row& row : listing.rows) {
        if (row.entry["certificate"].is_null()) {
            continue;
        }
        const std::string pem = der ? std::string() : x509::PemText(row.der);
        const std::string path =
            dir + "/" +
            exportfiles::FileNameOf(row.entry["file"].get<std::string>() + "-" +
                                    row.entry["container"].get<std::string>()) +
            (der ? ".der" : ".pem");
        const int error = base::WriteFileAtomically(
            path, der ? std::span<const std::uint8_t>(row.der)
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

// The routine's reports as lines, each in the place of its certificate's row.
class RegistrationLines : public registration::Observer {
  public:
    RegistrationLines(pcsc::PcscApi& pcsc, std::vector<std::string>& lineOf,
                      const std::vector<std::size_t>& rowOf)
        : m_pcsc(pcsc), m_lineOf(lineOf), m_rowOf(rowOf) {}
    bool allAdded = true;

    void StepFailed(registration::Step step, std::uint32_t code) override {
        static const char* const kCalls[] = {"the provider probe",
                                             "the container's provider context",
                                             "opening the store",
                                             "the container's key",
                                             "memory",
                                             "the key-provider property",
                                             "adding to the store"};
        m_lastFailure = std::string(kCalls[static_cast<int>(step)]) + " failed (" +
                        ServiceText(m_pcsc, code) + ")";
        if (step == registration::Step::ProbeProvider) {
            Say(m_lastFailure);
            allAdded = false;
        }
    }
    void CertificateDone(std::size_t index, registration::Outcome outcome) override {
        using registration::Outcome;
        allAdded = allAdded && outcome == Outcome::Added;
        m_lineOf[m_rowOf[index]] = outcome == Outcome::Added   ? "added"
                                   : outcome == Outcome::NoKey ? "no key"
                                   : outcome == Outcome::Failed
                                       ? "failed: " + m_lastFailure
                                       : "failed: not tried after the failure above";
    }

  private:
    pcsc::PcscApi& m_pcsc;
    std::vector<std::string>& m_lineOf;
    const std::vector<std::size_t>& m_rowOf;
    std::string m_lastFailure;
};

}  // namespace

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
        text += certview::Printable(r["reader"].get<std::string>()) + "\n  " + CardWords(r) + "\n";
    }
    return Print(options.json ? out.dump(2) + "\n" : text) ? kExitOk : kExitFailure;
}

int Certs(const Options& options, const CertsOptions& certs) {
    const auto& [expiresWithin, exportDir, der] = certs;
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
    for (const Row& row : listing.rows) {
        const json& e = row.entry;
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
    for (const Row& row : listing.rows) {
        const json& e = row.entry;
        line(Field(e["file"]), Field(e["container"]), Field(e["expiry"]),
             e["certificate"].is_null() ? (e.contains("error") ? "(" + Field(e["error"]) + ")"
                                                               : std::string("(no certificate)"))
                                        : Field(e["certificate"]["subject"]));
    }
    if (!Print(options.json ? listing.Entries().dump(2) + "\n" : text)) {
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
        for (const Row& row : listing.rows) {
            if (row.notAfter && *row.notAfter <= limit) {
                Say(row.Label() + " expires " + Field(row.entry["certificate"]["not_after"]));
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
    std::vector<std::string> lineOf(listing.rows.size());
    std::vector<std::size_t> rowOf;
    for (std::size_t i = 0; i < listing.rows.size(); ++i) {
        const Row& row = listing.rows[i];
        const x509::CertContext* cert =
            row.der.empty() ? nullptr
                            : certApi.CertCreateCertificateContext(
                                  x509::kX509AsnEncoding | x509::kPkcs7AsnEncoding, row.der.data(),
                                  static_cast<std::uint32_t>(row.der.size()));
        if (cert == nullptr) {
            if (row.entry.contains("error")) {
                lineOf[i] = "failed: " + Field(row.entry["error"]);
            }
            continue;
        }
        contexts.push_back(cert);
        certs.push_back({cert, row.record});
        rowOf.push_back(i);
    }
    crypt::CardCryptApi crypt(service->Pcsc());
    store::SqliteStoreApi store;
    std::u16string storeW(storeName.begin(), storeName.end());
    RegistrationLines report(service->Pcsc(), lineOf, rowOf);
    const std::optional<int> added =
        registration::RegisterCertificates(crypt, store, provider, certs, storeW.c_str(), report);
    std::string text;
    for (std::size_t i = 0; i < lineOf.size(); ++i) {
        if (!lineOf[i].empty()) {
            text += listing.rows[i].Label() + ": " + lineOf[i] + "\n";
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

}  // namespace quorlin::cardtool
