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
#include "platform/crypt/ProviderRegistry.h"
#include "platform/keylink/Pkcs11KeyLinks.h"
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
        : m_pcsc(pcsc), m_lineOf(lineOf), m_rowOf(rowOf), m_linkOf(lineOf.size()) {}
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
    void CertificateLinked(std::size_t index, const keylink::Pkcs11Link* link,
                           const std::string& reason) override {
        linksOk = linksOk && link != nullptr;
        m_linkOf[m_rowOf[index]] = link ? "linked: " + link->keyUri : "not linked: " + reason;
    }
    void ModuleAnnounced(bool ok, const std::string& line) override {
        linksOk = linksOk && ok;
        announced += certview::Printable(line) + "\n";
    }
    const std::string& LinkLine(std::size_t row) const { return m_linkOf[row]; }
    bool linksOk = true;
    std::string announced;

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
    std::vector<std::string> m_linkOf;
    std::string m_lastFailure;
};

// The store's entry for cert, when it has one.
std::optional<store::StoredCertificate> EntryOf(store::SqliteStoreApi& store,
                                                const std::string& storeKey,
                                                const x509::CertContext& cert) {
    auto found = store.Find(store::SqliteStoreApi::Thumbprint(cert.encoded), storeKey);
    if (!found || found->empty()) {
        return std::nullopt;
    }
    return found->front();
}

// Everything but the time it was written.
bool SameEntry(const store::StoredCertificate& a,
               const std::optional<store::StoredCertificate>& b) {
    return b && std::tie(a.der, a.hasKeyProvInfo, a.container, a.provider, a.provType, a.flags,
                         a.keySpec) == std::tie(b->der, b->hasKeyProvInfo, b->container,
                                                b->provider, b->provType, b->flags, b->keySpec);
}

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
    std::string text = out.empty() ? "no readers\n" : "";
    for (const json& r : out) {
        text += certview::Printable(r["reader"].get<std::string>()) + "\n  " + CardWords(r) + "\n";
    }
    return Print(options.json ? JsonText(out) : text) ? kExitOk : kExitFailure;
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
    std::vector<std::array<std::string, 5>> table{
        {"FILE", "CONTAINER", "EXPIRES", "NOT-AFTER", "SUBJECT"}};
    for (const Row& row : listing.rows) {
        const json& e = row.entry;
        const json& cert = e["certificate"];
        // The card's own date beside the certificate's, which --expires-within goes by.
        table.push_back({Field(e["file"]), Field(e["container"]), Field(e["expiry"]),
                         cert.is_null() ? "-" : Field(cert["not_after"]).substr(0, 10),
                         cert.is_null() ? (e.contains("error") ? "(" + Field(e["error"]) + ")"
                                                               : std::string("(no certificate)"))
                                        : Field(cert["subject"])});
    }
    std::array<std::size_t, 4> width{};
    for (const auto& cells : table) {
        for (std::size_t k = 0; k < width.size(); ++k) {
            width[k] = std::max(width[k], certview::DisplayWidth(cells[k]));
        }
    }
    for (const auto& cells : table) {
        for (std::size_t k = 0; k < width.size(); ++k) {
            text += cells[k] + std::string(width[k] - certview::DisplayWidth(cells[k]) + 2, ' ');
        }
        text += cells[4] + "\n";
    }
    if (!Print(options.json ? JsonText(listing.Entries()) : text)) {
        return kExitFailure;
    }
    std::fflush(stdout);  // the listing before the messages, on a terminal
    for (const Row& row : listing.rows) {
        if (row.entry.contains("error")) {
            Say(row.Label() + ": " + Field(row.entry["error"]));
        }
    }
    bool expiring = false;
    if (expiresWithin) {
        const auto now = static_cast<std::int64_t>(std::time(nullptr));
        const std::int64_t limit = now + std::int64_t{*expiresWithin} * 86400;
        for (const Row& row : listing.rows) {
            if (row.notAfter && *row.notAfter <= limit) {
                Say(row.Label() + (*row.notAfter < now ? " expired " : " expires ") +
                    Field(row.entry["certificate"]["not_after"]).substr(0, 10));
                expiring = true;
            }
        }
    }
    if (!exportDir.empty() && !ExportCertificates(listing, exportDir, der)) {
        return kExitFailure;
    }
    return listing.failed ? kExitFailure : expiring ? kExitExpiring : kExitOk;
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
    const crypt::ProviderRegistry registry;
    WarnProviderProblems(registry);
    // A file overriding the package's without the card's AID would only show later, as no
    // card found.
    if (const auto info = registry.Find(provider)) {
        if (const auto aid = AidMissingFrom(provider, *info)) {
            Say("the provider file " + certview::Printable(info->file) + " for " + provider +
                " does not serve this card kind: it names no aid " + base::HexString(*aid, " "));
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
    crypt::CardCryptApi crypt(service->Pcsc(), registry);
    store::SqliteStoreApi store;
    std::u16string storeW(storeName.begin(), storeName.end());
    const std::string storeKey = store::SqliteStoreApi::NormaliseStoreName(storeW);
    // What the store held before, so that an entry the run left as it was can be told apart.
    std::vector<std::optional<store::StoredCertificate>> before;
    for (const registration::CardCertificate& c : certs) {
        before.push_back(EntryOf(store, storeKey, *c.cert));
    }
    RegistrationLines report(service->Pcsc(), lineOf, rowOf);
    keylink::Pkcs11KeyLinks links(registry);
    const std::optional<int> added = registration::RegisterCertificates(
        crypt, store, provider, certs, storeW.c_str(), report, &links);
    for (std::size_t k = 0; k < certs.size(); ++k) {
        if (lineOf[rowOf[k]] == "added" && before[k] &&
            SameEntry(*before[k], EntryOf(store, storeKey, *certs[k].cert))) {
            lineOf[rowOf[k]] = "already registered";
        }
    }
    std::string text;
    for (std::size_t i = 0; i < lineOf.size(); ++i) {
        if (!lineOf[i].empty()) {
            text += listing.rows[i].Label() + ": " + lineOf[i] + "\n";
        }
        if (!report.LinkLine(i).empty()) {
            text += listing.rows[i].Label() + ": " + certview::Printable(report.LinkLine(i)) + "\n";
        }
    }
    text += report.announced;
    if (!report.allAdded) {
        if (const auto inspection = store.Inspect(); !inspection.foreignPath.empty()) {
            Say("access denied: " + certview::Printable(inspection.foreignPath) + " belongs to " +
                certview::Printable(inspection.foreignOwner));
        }
    }
    for (const x509::CertContext* cert : contexts) {
        certApi.CertFreeCertificateContext(cert);
    }
    if (!Print(text)) {
        return kExitFailure;
    }
    return added && report.allAdded && report.linksOk && !listing.failed && !certs.empty()
               ? kExitOk
               : kExitFailure;
}

}  // namespace quorlin::cardtool
