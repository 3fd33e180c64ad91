#include "Entry.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "base/Utf8.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertDetails.h"

namespace quorlin::certview {

namespace {

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

// The entry's certificate; null, with the reason in problem, unless its bytes are one whole
// certificate, nothing after it, under its own thumbprint.
X509Ptr Certificate(const store::StoredCertificate& entry, std::string& problem) {
    const std::vector<std::uint8_t>& der = entry.der;
    const unsigned char* p = der.data();
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!x || p != der.data() + der.size()) {
        problem =
            "the stored bytes (" + std::to_string(der.size()) + ") are not one whole certificate";
        return nullptr;
    }
    if (store::SqliteStoreApi::Thumbprint(der) != entry.thumbprint) {
        problem = "the stored certificate does not match its thumbprint";
        return nullptr;
    }
    return x;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string Clock(const struct tm& tm) {
    char buf[64];
    // strftime leaves the buffer undefined when the text does not fit.
    return std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) > 0 ? buf : "?";
}

std::string KeySpecText(const store::StoredCertificate& c) {
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

// A date, the first part of a time text ("?" stays "?").
std::string DateOf(const std::string& time) {
    return time.substr(0, time.find(' '));
}

}  // namespace

std::string Printable(std::string_view text) {
    static constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    std::string out;
    for (std::size_t k = 0; k < text.size();) {
        const std::size_t n = base::Utf8CharLength(text, k);
        const auto lead = static_cast<unsigned char>(text[k]);
        const std::uint32_t cp = base::Utf8CodePoint(text, k);
        const bool whole = n == base::Utf8SequenceLength(lead) && (lead < 0x80 || n > 1);
        const bool valid =
            whole && cp >= kShortest[n] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        const bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
        if (valid && !control) {
            out.append(text.substr(k, n));
        } else {
            out.push_back('?');
        }
        k += n;
    }
    return out;
}

std::size_t DisplayWidth(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t k = 0; k < text.size(); k += base::Utf8CharLength(text, k)) {
        const std::uint32_t cp = base::Utf8CodePoint(text, k);
        const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                          (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                          (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                          (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
        width += wide ? 2 : 1;
    }
    return width;
}

EntryView ReadEntry(const store::StoredCertificate& entry) {
    EntryView v;
    v.store = Printable(entry.store);
    v.thumbprint = entry.thumbprint.empty() ? "-" : Printable(entry.thumbprint);
    v.size = entry.der.size();
    v.hasKeyProvInfo = entry.hasKeyProvInfo;
    v.provider = entry.hasKeyProvInfo ? Printable(entry.provider) : "-";
    v.container = entry.hasKeyProvInfo ? Printable(entry.container) : "-";
    v.keySpec = KeySpecText(entry);
    v.provType = entry.provType;
    v.flags = entry.flags;
    struct tm tm {};
    const auto added = static_cast<std::time_t>(entry.added);
    v.added = gmtime_r(&added, &tm) != nullptr ? Clock(tm) : "?";

    const X509Ptr x = Certificate(entry, v.problem);
    if (!x) {
        return v;
    }
    // The dialog's details come from the same decoder and text forms.
    const std::optional<x509::CertDetails> d = x509::DecodeCertDetails(entry.der);
    if (!d) {
        v.problem = "the stored certificate does not decode";
        return v;
    }
    v.subject = Printable(d->subject);
    v.issuer = Printable(d->issuer);
    v.serial = x509::SerialText(*d);
    v.notBefore = x509::UtcText(d->notBefore);
    v.notAfter = x509::UtcText(d->notAfter);
    v.publicKey = Printable(x509::KeyAlgorithmText(*d));
    if (d->keyBits > 0) {
        v.publicKey += " (" + std::to_string(d->keyBits) + " bits)";
    }
    v.keyUsage = d->keyUsage ? x509::KeyUsageText(*d->keyUsage) : "-";
    v.extendedKeyUsage =
        d->extendedKeyUsage ? Printable(x509::ExtendedKeyUsageText(*d->extendedKeyUsage)) : "-";
    v.sha1 = x509::ColonHex(d->sha1);
    v.sha256 = x509::ColonHex(d->sha256);
    return v;
}

std::vector<std::string> ListHeader() {
    return {"STORE",     "THUMBPRINT", "SUBJECT",   "NOT BEFORE",
            "NOT AFTER", "PROVIDER",   "CONTAINER", "KEY SPEC"};
}

std::vector<std::string> ListRow(const EntryView& v) {
    return {v.store,    v.thumbprint, v.subject, DateOf(v.notBefore), DateOf(v.notAfter),
            v.provider, v.container,  v.keySpec};
}

std::string ShowText(const EntryView& v) {
    std::string out;
    auto line = [&out](const char* label, const std::string& value) {
        out.append(label).append(value).push_back('\n');
    };
    line("Store:       ", v.store);
    line("Thumbprint:  ", v.thumbprint);
    line("Subject:     ", v.subject);
    line("Issuer:      ", v.issuer);
    line("Serial:      ", v.serial);
    line("Not before:  ", v.notBefore);
    line("Not after:   ", v.notAfter);
    line("Public key:  ", v.publicKey);
    line("Key usage:   ", v.keyUsage);
    line("Ext. usage:  ", v.extendedKeyUsage);
    line("SHA-1:       ", v.sha1);
    line("SHA-256:     ", v.sha256);
    if (v.hasKeyProvInfo) {
        char flags[16];
        std::snprintf(flags, sizeof flags, "0x%08x", static_cast<unsigned>(v.flags));
        line("Provider:    ", v.provider);
        line("Container:   ", v.container);
        line("Type:        ", std::to_string(v.provType));
        line("Flags:       ", flags);
        line("Key spec:    ", v.keySpec);
    } else {
        line("Provider:    ", "- (no key-provider property)");
    }
    line("Added:       ", v.added);
    line("Size:        ", std::to_string(v.size) + " bytes");
    return out;
}

std::string ExportPem(const store::StoredCertificate& entry) {
    std::string problem;
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
    // The stored bytes themselves: OpenSSL's re-encoding of a certificate may differ from
    // them (unused bits of the signature cleared), and with them its thumbprint.
    if (!Certificate(entry, problem) || !bio ||
        PEM_write_bio(bio.get(), PEM_STRING_X509, "", entry.der.data(),
                      static_cast<long>(entry.der.size())) <= 0) {
        return {};
    }
    return BioText(bio.get());
}

}  // namespace quorlin::certview
