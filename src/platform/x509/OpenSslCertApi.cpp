#include "platform/x509/OpenSslCertApi.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/Utf8.h"
#include "interfaces/LastError.h"
#include "platform/x509/OpenSslTime.h"

namespace quorlin::x509 {

namespace {

constexpr std::uint32_t kEInvalidArg = 0x80070057u;
constexpr std::uint32_t kCryptEAsn1BadTag = 0x8009310Bu;
constexpr std::uint32_t kCryptENotFound = 0x80092004u;

// Every context handed out, with its holder count. Process-wide so that a context may
// outlive the adapter object that made it; never destroyed, so that a release during
// static destruction still finds it.
struct Registry {
    struct Entry {
        std::unique_ptr<CertContext> context;
        int holders = 0;
    };
    std::mutex mutex;
    std::unordered_map<const CertContext*, Entry> live;
};

Registry& Contexts() {
    static Registry* registry = new Registry;
    return *registry;
}

// d2i_X509 also tries to decode the public key, offering it to every key decoder of the
// default provider: five sixths of its cost, under the library's locks, for a key whose
// failure to decode never rejects a certificate. In a library context that holds only
// the null provider the same parse accepts the same bytes and leaves the key alone. Null
// when that context cannot be had.
OSSL_LIB_CTX* KeylessContext() {
    static OSSL_LIB_CTX* const context = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        if (c != nullptr && OSSL_PROVIDER_load(c, "null") == nullptr) {
            OSSL_LIB_CTX_free(c);
            c = nullptr;
        }
        return c;
    }();
    return context;
}

// The parsed certificate: names, dates, extensions. Its key is not decoded and it has no
// digests or signature checks; those need d2i_X509 of context->encoded in the default
// library context.
X509* DecodedOf(const CertContext* cert) {
    Registry& r = Contexts();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.live.find(cert);
    if (it == r.live.end()) {
        return nullptr;
    }
    return static_cast<X509*>(it->second.context->decoded.get());
}

// The entry a simple display name comes from; -1 when the subject has none.
int DisplayEntry(const X509_NAME* subject) {
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                    NID_pkcs9_emailAddress}) {
        int index = X509_NAME_get_index_by_NID(subject, nid, -1);
        if (index >= 0) {
            return index;
        }
    }
    return X509_NAME_entry_count(subject) > 0 ? 0 : -1;
}

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};

struct OpenSslFree {
    void operator()(unsigned char* memory) const { OPENSSL_free(memory); }
};

}  // namespace

const CertContext* OpenSslCertApi::CertCreateCertificateContext(std::uint32_t encodingType,
                                                                const std::uint8_t* data,
                                                                std::uint32_t length) {
    if ((encodingType & kX509AsnEncoding) == 0 || data == nullptr || length == 0 ||
        length > static_cast<std::uint32_t>(LONG_MAX)) {
        SetLastError(kEInvalidArg);
        return nullptr;
    }
    const unsigned char* p = data;
    X509* target = nullptr;
    if (OSSL_LIB_CTX* keyless = KeylessContext(); keyless != nullptr) {
        target = X509_new_ex(keyless, nullptr);
    }
    // On failure d2i_X509 frees target itself.
    std::unique_ptr<X509, X509Free> decoded(d2i_X509(&target, &p, static_cast<long>(length)));
    if (!decoded) {
        // The queue is the decoding thread's own; left there, a later call on that thread
        // (the dialog's side thread included) would read a stale error as its own.
        ERR_clear_error();
        SetLastError(kCryptEAsn1BadTag);
        return nullptr;
    }
    auto context = std::make_unique<CertContext>();
    context->encoded.assign(data, p);
    context->decoded = std::move(decoded);
    const CertContext* handle = context.get();

    Registry& r = Contexts();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live.emplace(handle, Registry::Entry{std::move(context), 1});
    return handle;
}

std::uint32_t OpenSslCertApi::CertGetNameStringA(const CertContext* cert, std::uint32_t type,
                                                 std::uint32_t, const void*, char* name,
                                                 std::uint32_t nameSize) {
    X509* x = cert == nullptr ? nullptr : DecodedOf(cert);
    if (x == nullptr || type != kCertNameSimpleDisplayType) {
        SetLastError(kEInvalidArg);
        return 0;
    }
    const X509_NAME* subject = X509_get_subject_name(x);
    const int index = subject == nullptr ? -1 : DisplayEntry(subject);
    if (index < 0) {
        SetLastError(kCryptENotFound);
        return 0;
    }
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* converted = nullptr;
    const int utf8Length = ASN1_STRING_to_UTF8(&converted, value);
    const std::unique_ptr<unsigned char, OpenSslFree> utf8(converted);
    if (utf8Length < 0) {
        SetLastError(kCryptEAsn1BadTag);
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(utf8.get()),
                     static_cast<std::size_t>(utf8Length));
    text.resize(std::strlen(text.c_str()));  // a C string ends at an embedded zero

    if (name == nullptr || nameSize == 0) {
        const std::size_t needed = base::Utf8Prefix(text, kMaxNameCharacters, text.size());
        return static_cast<std::uint32_t>(needed) + 1;
    }
    const std::size_t length = base::Utf8Prefix(text, kMaxNameCharacters, nameSize - 1u);
    std::memcpy(name, text.data(), length);
    name[length] = '\0';
    return static_cast<std::uint32_t>(length) + 1;
}

bool OpenSslCertApi::CertFreeCertificateContext(const CertContext* cert) {
    if (cert == nullptr) {
        return true;
    }
    std::unique_ptr<CertContext> last;  // destroyed outside the lock
    Registry& r = Contexts();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.live.find(cert);
    if (it == r.live.end()) {
        SetLastError(kEInvalidArg);
        return false;
    }
    if (--it->second.holders == 0) {
        last = std::move(it->second.context);
        r.live.erase(it);
    }
    return true;
}

const CertContext* OpenSslCertApi::CertDuplicateCertificateContext(const CertContext* cert) {
    if (cert == nullptr) {
        return nullptr;
    }
    Registry& r = Contexts();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.live.find(cert);
    if (it == r.live.end()) {
        SetLastError(kEInvalidArg);
        return nullptr;
    }
    ++it->second.holders;
    return cert;
}

std::size_t OpenSslCertApi::LiveContexts() {
    Registry& r = Contexts();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.live.size();
}

std::optional<std::int64_t> OpenSslCertApi::CertGetNotAfter(const CertContext* cert) {
    X509* x = cert == nullptr ? nullptr : DecodedOf(cert);
    return x == nullptr ? std::nullopt : Seconds(X509_get0_notAfter(x));
}

const char* OpenSslCertApi::RunningVersion() {
    return OpenSSL_version(OPENSSL_VERSION);
}

}  // namespace quorlin::x509
