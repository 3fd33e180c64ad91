#include "Entry.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <langinfo.h>
#include <locale.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

#include "base/Utf8.h"
#include "interfaces/CryptApi.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/store/StoreErrors.h"
#include "platform/x509/OpenSslCertDetails.h"
#include "registration/Registration.h"

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
    return time.substr(0, time.find('T'));
}

std::size_t CharCount(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t k = 0; k < text.size(); k += base::Utf8CharLength(text, k)) {
        ++n;
    }
    return n;
}

// wcswidth in the locale in use; -1 when it cannot tell.
long LocaleWidth(std::string_view text) {
    const std::string s(text);
    const std::size_t n = std::mbstowcs(nullptr, s.c_str(), 0);
    if (n == static_cast<std::size_t>(-1)) {
        return -1;
    }
    std::wstring wide(n, L'\0');
    std::mbstowcs(wide.data(), s.c_str(), n + 1);
    return wcswidth(wide.c_str(), n);
}

}  // namespace

std::string FailureText(std::uint32_t code) {
    struct Words {
        std::uint32_t code;
        const char* text;
    };
    static constexpr Words kWords[] = {
        {store::kEAccessDenied, "access denied"},
        {store::kEDiskFull, "disk full"},
        {store::kEBusy, "database busy"},
        {store::kEFileCorrupt, "damaged, or not a Quorlin certificate store"},
        {store::kEPathNotFound, "path not found"},
        {store::kEOutOfMemory, "out of memory"},
        {store::kEInvalidArg, "invalid argument"},
        {store::kEInvalidHandle, "invalid handle"},
        {store::kENotSupported, "not supported"},
        {store::kCryptEAsn1BadTag, "not a certificate"},
        {store::kCryptENotFound, "no such entry in the store"},
        {store::kERevisionMismatch, "made by a newer version of Quorlin"},
        {crypt::kNteBadKeyset, "no such key container on the card"},
        {crypt::kNteKeysetNotDef, "no such provider"},
        {crypt::kNteNoKey, "no such key in the container"},
        {crypt::kNteBadFlags, "invalid flags"},
        {crypt::kNteBadProvType, "wrong provider type"},
        {crypt::kNteBadKeysetParam, "invalid key container name"},
        {crypt::kNteProvTypeNotDef, "provider type not defined"},
        {crypt::kNteProvTypeNoMatch, "provider type does not match"},
        {crypt::kNteBadUid, "invalid provider handle"},
        {crypt::kNteBadKey, "invalid key handle"},
        {crypt::kErrorInvalidParameter, "invalid parameter"},
        {crypt::kErrorNotEnoughMemory, "out of memory"},
        {registration::kAllocationFailure, "out of memory"},
    };
    for (const Words& w : kWords) {
        if (w.code == code) {
            return w.text;
        }
    }
    return "failure";
}

std::size_t DisplayWidth(std::string_view text) {
    long width = -1;
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) {
        width = LocaleWidth(text);
    } else {
        // The text is UTF-8 whatever the user's locale, and so are the terminals that show it.
        static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
        if (utf8 != locale_t{}) {
            const locale_t previous = uselocale(utf8);
            width = LocaleWidth(text);
            uselocale(previous);
        }
    }
    return width >= 0 ? static_cast<std::size_t>(width) : CharCount(text);
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
    v.keySpecValue = entry.keySpec;
    v.provType = entry.provType;
    v.flags = entry.flags;
    v.added = x509::IsoUtcText(entry.added);
    v.hasPkcs11Link = !entry.pkcs11Module.empty() || !entry.pkcs11CertificateUri.empty() ||
                      !entry.pkcs11KeyUri.empty();
    v.pkcs11Module = Printable(entry.pkcs11Module);
    v.pkcs11CertificateUri = Printable(entry.pkcs11CertificateUri);
    v.pkcs11KeyUri = Printable(entry.pkcs11KeyUri);

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
    v.notBefore = x509::IsoUtcText(d->notBefore);
    v.notAfter = x509::IsoUtcText(d->notAfter);
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
    if (v.hasPkcs11Link) {
        const auto orDash = [](const std::string& text) { return text.empty() ? "-" : text; };
        line("PKCS#11:     ", orDash(v.pkcs11Module));
        line("Cert. URI:   ", orDash(v.pkcs11CertificateUri));
        line("Key URI:     ", orDash(v.pkcs11KeyUri));
    } else {
        line("PKCS#11:     ", "- (no key link)");
    }
    line("Added:       ", v.added);
    line("Size:        ", std::to_string(v.size) + " bytes");
    return out;
}

std::string ListJson(const std::vector<EntryView>& views) {
    // ordered_json: the keys in the order the manual lists them.
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const EntryView& v : views) {
        nlohmann::ordered_json o;
        o["store"] = v.store;
        o["sha1"] = v.thumbprint;
        if (!v.problem.empty()) {
            o["error"] = v.problem;
            array.push_back(std::move(o));
            continue;
        }
        std::string sha256 = v.sha256;
        std::erase(sha256, ':');
        o["sha256"] = sha256;
        o["subject"] = v.subject;
        o["issuer"] = v.issuer;
        o["serial"] = v.serial;
        o["not_before"] = v.notBefore;
        o["not_after"] = v.notAfter;
        o["provider"] = v.hasKeyProvInfo ? nlohmann::ordered_json(v.provider) : nullptr;
        o["container"] = v.hasKeyProvInfo ? nlohmann::ordered_json(v.container) : nullptr;
        o["key_spec"] = v.hasKeyProvInfo ? nlohmann::ordered_json(v.keySpecValue) : nullptr;
        o["pkcs11"] = v.hasPkcs11Link
                          ? nlohmann::ordered_json{{"module", v.pkcs11Module},
                                                   {"certificate", v.pkcs11CertificateUri},
                                                   {"key", v.pkcs11KeyUri}}
                          : nullptr;
        array.push_back(std::move(o));
    }
    // Every text is printable UTF-8 already; replace is the guard that dump never throws.
    return array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::vector<std::uint8_t> ExportDer(const store::StoredCertificate& entry) {
    std::string problem;
    return Certificate(entry, problem) ? entry.der : std::vector<std::uint8_t>();
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
