// quorlin-certstore: a viewer for the user's certificate stores that Quorlin fills.

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "Cli.h"
#include "base/Hex.h"
#include "base/Utf8.h"
#include "platform/LastError.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertDetails.h"

namespace {

using quorlin::store::SqliteStoreApi;
using quorlin::store::StoredCertificate;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMinPrefix = 4;
constexpr std::size_t kThumbprintDigits = 40;

constexpr const char* kDescription =
    "Lists and manages the certificates that Quorlin registered in the user's\n"
    "certificate stores (one database, DIR/certstore.db).";

constexpr const char* kFooter =
    "THUMBPRINT is the SHA-1 thumbprint in hex (colons and case do not matter); a\n"
    "unique prefix of at least 4 digits will do for show and export.\n"
    "STORE names compare without regard to case (Quorlin registers into MY).\n"
    "\n"
    "Exit status: 0 success, 1 no such entry or the store cannot be read, 2 bad usage.";

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

X509Ptr Decode(const StoredCertificate& c) {
    const unsigned char* p = c.der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(c.der.size())));
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string NameText(const X509_NAME* name) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || name == nullptr) {
        return "?";
    }
    // In the certificate's own order, UTF-8 kept as it is.
    X509_NAME_print_ex(bio.get(), name, 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_DN_REV);
    return BioText(bio.get());
}

std::string TimeText(const ASN1_TIME* t, bool withClock) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        return "?";
    }
    char buf[32];
    std::strftime(buf, sizeof buf, withClock ? "%Y-%m-%d %H:%M:%S UTC" : "%Y-%m-%d", &tm);
    return buf;
}

std::string KeySpecText(const StoredCertificate& c) {
    if (!c.hasKeyProvInfo) {
        return "-";
    }
    switch (c.keySpec) {
        case 1:
            return "1 (exchange)";
        case 2:
            return "2 (signature)";
        default:
            return std::to_string(c.keySpec);
    }
}

// Terminal columns a UTF-8 text takes: East Asian wide characters take two.
std::size_t DisplayWidth(const std::string& text) {
    std::size_t width = 0;
    for (std::size_t k = 0; k < text.size(); k += quorlin::base::Utf8CharLength(text, k)) {
        const std::uint32_t cp = quorlin::base::Utf8CodePoint(text, k);
        const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                          (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                          (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                          (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
        width += wide ? 2 : 1;
    }
    return width;
}

std::string ErrorText(std::uint32_t code) {
    using namespace quorlin::store;
    const char* what = "failure";
    switch (code) {
        case kEAccessDenied:
            what = "access denied";
            break;
        case kEDiskFull:
            what = "disk full";
            break;
        case kEBusy:
            what = "database busy";
            break;
        case kEFileCorrupt:
            what = "database damaged";
            break;
        case kEPathNotFound:
            what = "path not found";
            break;
        case kEOutOfMemory:
            what = "out of memory";
            break;
        default:
            break;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s (0x%08x)", what, static_cast<unsigned>(code));
    return buf;
}

int StoreError(const SqliteStoreApi& store) {
    std::fprintf(stderr, "quorlin-certstore: cannot use %s: %s\n", store.DatabasePath().c_str(),
                 ErrorText(quorlin::GetLastError()).c_str());
    return kExitFailure;
}

// Hex digits in upper case, colons and blanks dropped; empty when not a thumbprint.
std::string NormaliseThumbprint(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (quorlin::base::HexDigitValue(c) >= 0) {
            out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        } else if (c != ':' && c != ' ') {
            return {};
        }
    }
    return out.size() > kThumbprintDigits ? std::string() : out;
}

std::string NormaliseStore(const std::string& name) {
    std::u16string wide;
    for (char c : name) {
        if (static_cast<unsigned char>(c) > 0x7E) {
            return {};
        }
        wide.push_back(static_cast<char16_t>(c));
    }
    return SqliteStoreApi::NormaliseStoreName(wide);
}

int List(SqliteStoreApi& store, const std::string& storeName) {
    auto entries = store.List(storeName);
    if (!entries) {
        return StoreError(store);
    }
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"STORE", "THUMBPRINT", "SUBJECT", "NOT BEFORE", "NOT AFTER", "PROVIDER",
                    "CONTAINER", "KEY SPEC"});
    for (const StoredCertificate& c : *entries) {
        X509Ptr x = Decode(c);
        rows.push_back({c.store, c.thumbprint, x ? NameText(X509_get_subject_name(x.get())) : "?",
                        x ? TimeText(X509_get0_notBefore(x.get()), false) : "?",
                        x ? TimeText(X509_get0_notAfter(x.get()), false) : "?",
                        c.hasKeyProvInfo ? c.provider : "-", c.hasKeyProvInfo ? c.container : "-",
                        KeySpecText(c)});
    }
    if (entries->empty()) {
        std::printf("No certificates%s%s.\n", storeName.empty() ? "" : " in store ",
                    storeName.c_str());
        return kExitOk;
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t k = 0; k < row.size(); ++k) {
            widths[k] = std::max(widths[k], DisplayWidth(row[k]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t k = 0; k < row.size(); ++k) {
            line += row[k];
            if (k + 1 < row.size()) {
                line.append(widths[k] - DisplayWidth(row[k]) + 2, ' ');
            }
        }
        std::printf("%s\n", line.c_str());
    }
    return kExitOk;
}

// The entries the thumbprint argument names; prints the error and returns nullopt when
// there is none or the prefix is ambiguous.
std::optional<std::vector<StoredCertificate>> Lookup(SqliteStoreApi& store,
                                                     const std::string& argument,
                                                     const std::string& storeName, bool exact,
                                                     int* exitCode) {
    const std::string thumbprint = NormaliseThumbprint(argument);
    if (thumbprint.size() < (exact ? kThumbprintDigits : kMinPrefix)) {
        std::fprintf(stderr,
                     "quorlin-certstore: '%s' is not a thumbprint (%s hex digits expected)\n",
                     argument.c_str(), exact ? "40" : "4 to 40");
        *exitCode = kExitUsage;
        return std::nullopt;
    }
    auto entries = store.Find(thumbprint, storeName);
    if (!entries) {
        *exitCode = StoreError(store);
        return std::nullopt;
    }
    if (entries->empty()) {
        std::fprintf(stderr, "quorlin-certstore: no certificate with thumbprint %s%s%s\n",
                     thumbprint.c_str(), storeName.empty() ? "" : " in store ", storeName.c_str());
        *exitCode = kExitFailure;
        return std::nullopt;
    }
    for (const StoredCertificate& c : *entries) {
        if (c.thumbprint != entries->front().thumbprint) {
            std::fprintf(stderr, "quorlin-certstore: %s names more than one certificate:\n",
                         thumbprint.c_str());
            for (const StoredCertificate& d : *entries) {
                std::fprintf(stderr, "  %s  %s\n", d.store.c_str(), d.thumbprint.c_str());
            }
            *exitCode = kExitFailure;
            return std::nullopt;
        }
    }
    return entries;
}

int Show(SqliteStoreApi& store, const std::string& argument, const std::string& storeName) {
    int exitCode = kExitOk;
    auto entries = Lookup(store, argument, storeName, false, &exitCode);
    if (!entries) {
        return exitCode;
    }
    bool first = true;
    for (const StoredCertificate& c : *entries) {
        if (!first) {
            std::printf("\n");
        }
        first = false;
        std::printf("Store:       %s\n", c.store.c_str());
        std::printf("Thumbprint:  %s\n", c.thumbprint.c_str());
        // The dialog's details come from the same decoder and text forms.
        if (const auto d = quorlin::x509::DecodeCertDetails(c.der)) {
            using namespace quorlin::x509;
            std::string key = KeyAlgorithmText(*d);
            if (d->keyBits > 0) {
                key += " (" + std::to_string(d->keyBits) + " bits)";
            }
            const std::string usage = d->keyUsage ? KeyUsageText(*d->keyUsage) : "";
            const std::string purposes =
                d->extendedKeyUsage ? ExtendedKeyUsageText(*d->extendedKeyUsage) : "";
            std::printf("Subject:     %s\n", d->subject.c_str());
            std::printf("Issuer:      %s\n", d->issuer.c_str());
            std::printf("Serial:      %s\n", SerialText(*d).c_str());
            std::printf("Not before:  %s\n", UtcText(d->notBefore).c_str());
            std::printf("Not after:   %s\n", UtcText(d->notAfter).c_str());
            std::printf("Public key:  %s\n", key.c_str());
            std::printf("Key usage:   %s\n", usage.empty() ? "-" : usage.c_str());
            std::printf("Ext. usage:  %s\n", purposes.empty() ? "-" : purposes.c_str());
            std::printf("SHA-1:       %s\n", ColonHex(d->sha1).c_str());
            std::printf("SHA-256:     %s\n", ColonHex(d->sha256).c_str());
        } else {
            std::printf("Subject:     ? (the stored bytes do not decode)\n");
        }
        if (c.hasKeyProvInfo) {
            std::printf("Provider:    %s\n", c.provider.c_str());
            std::printf("Container:   %s\n", c.container.c_str());
            std::printf("Type:        %u\n", c.provType);
            std::printf("Flags:       0x%08x\n", c.flags);
            std::printf("Key spec:    %s\n", KeySpecText(c).c_str());
        } else {
            std::printf("Provider:    - (no key-provider property)\n");
        }
        char added[32] = "?";
        const std::time_t t = static_cast<std::time_t>(c.added);
        struct tm tm {};
        if (gmtime_r(&t, &tm) != nullptr) {
            std::strftime(added, sizeof added, "%Y-%m-%d %H:%M:%S UTC", &tm);
        }
        std::printf("Added:       %s\n", added);
        std::printf("Size:        %zu bytes\n", c.der.size());
    }
    return kExitOk;
}

int Export(SqliteStoreApi& store, const std::string& argument, const std::string& storeName) {
    int exitCode = kExitOk;
    auto entries = Lookup(store, argument, storeName, false, &exitCode);
    if (!entries) {
        return exitCode;
    }
    // One thumbprint is one certificate, whichever stores hold it.
    X509Ptr x = Decode(entries->front());
    if (!x) {
        std::fprintf(stderr, "quorlin-certstore: the stored certificate does not decode\n");
        return kExitFailure;
    }
    if (PEM_write_X509(stdout, x.get()) != 1 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "quorlin-certstore: cannot write the certificate\n");
        return kExitFailure;
    }
    return kExitOk;
}

int Remove(SqliteStoreApi& store, const std::string& argument, const std::string& storeName) {
    int exitCode = kExitOk;
    auto entries = Lookup(store, argument, storeName, true, &exitCode);
    if (!entries) {
        return exitCode;
    }
    auto removed = store.Remove(entries->front().thumbprint, storeName);
    if (!removed) {
        return StoreError(store);
    }
    std::printf("Removed %d entr%s.\n", *removed, *removed == 1 ? "y" : "ies");
    return *removed > 0 ? kExitOk : kExitFailure;
}

}  // namespace

int main(int argc, char* argv[]) {
    CLI::App app(kDescription, "quorlin-certstore");
    quorlin::cli::AddVersion(app);
    app.footer(kFooter);
    std::string dir;
    app.add_option("--dir", dir,
                   "the data directory (default $XDG_DATA_HOME/quorlin, else "
                   "~/.local/share/quorlin)")
        ->option_text("DIR");
    app.require_subcommand(0, 1);
    // What CLI11 would reject by its own words is sorted out below, in the tool's.
    app.allow_extras();
    std::string thumbprint;
    std::string storeArgument;
    const auto command = [&](const char* name, const char* help, bool takesThumbprint) {
        CLI::App* sub = app.add_subcommand(name, help);
        sub->fallthrough();
        sub->allow_extras();
        if (takesThumbprint) {
            sub->add_option("THUMBPRINT", thumbprint, "SHA-1 thumbprint in hex");
        }
        sub->add_option("STORE", storeArgument, "the store (default: every store)");
        return sub;
    };
    command("list", "[STORE]: every entry, of STORE only when given", false);
    command("show", "THUMBPRINT [STORE]: all details of one certificate", true);
    command("export", "THUMBPRINT [STORE]: the certificate as PEM on standard output", true);
    command("remove", "THUMBPRINT [STORE]: delete the entry, from every store unless STORE", true);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch&) {
        return quorlin::cli::UsageError(app, "--dir needs a directory");
    } catch (const CLI::ParseError& e) {
        return quorlin::cli::ParseFailure(app, e);
    }

    const std::vector<CLI::App*> given = app.get_subcommands();
    std::vector<std::string> extras = app.remaining();
    for (const CLI::App* sub : given) {
        const std::vector<std::string> more = sub->remaining();
        extras.insert(extras.end(), more.begin(), more.end());
    }
    for (const std::string& extra : extras) {
        if (extra.size() > 1 && extra[0] == '-') {
            return quorlin::cli::UsageError(app, "unknown option " + extra);
        }
    }
    if (given.empty()) {
        return quorlin::cli::UsageError(
            app, extras.empty() ? "no command given" : "unknown command " + extras.front());
    }
    const std::string name = given.front()->get_name();
    if (name != "list" && thumbprint.empty()) {
        return quorlin::cli::UsageError(app, name + " needs a THUMBPRINT");
    }
    if (!extras.empty()) {
        return quorlin::cli::UsageError(app, "too many arguments for " + name);
    }
    std::string storeName;
    if (!storeArgument.empty()) {
        storeName = NormaliseStore(storeArgument);
        if (storeName.empty()) {
            return quorlin::cli::UsageError(app, "not a store name: " + storeArgument);
        }
    }

    SqliteStoreApi store = dir.empty() ? SqliteStoreApi() : SqliteStoreApi(dir);
    if (name == "list") {
        return List(store, storeName);
    }
    if (name == "show") {
        return Show(store, thumbprint, storeName);
    }
    if (name == "export") {
        return Export(store, thumbprint, storeName);
    }
    return Remove(store, thumbprint, storeName);
}
