#include "platform/x509/OpenSslCertDetails.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <ctime>
#include <memory>
#include <string>

#include "platform/x509/OpenSslCertApi.h"
#include "platform/x509/OpenSslTime.h"

namespace quorlin::x509 {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BitStringPtr =
    std::unique_ptr<ASN1_BIT_STRING, Deleter<ASN1_BIT_STRING, ASN1_BIT_STRING_free>>;
using EkuPtr =
    std::unique_ptr<EXTENDED_KEY_USAGE, Deleter<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>>;

constexpr int kKeyUsageBits = 9;

std::string NameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) {
        return "?";
    }
    // The certificate's own order; UTF-8 kept as it is rather than escaped.
    if (X509_NAME_print_ex(bio.get(), name, 0,
                           XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_DN_REV) < 0) {
        return "?";
    }
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string ObjectName(const ASN1_OBJECT* object) {
    const int nid = OBJ_obj2nid(object);
    if (nid != NID_undef) {
        return OBJ_nid2sn(nid);
    }
    char dotted[128];
    const int n = OBJ_obj2txt(dotted, sizeof dotted, object, 1);
    return n > 0 && n < static_cast<int>(sizeof dotted) ? std::string(dotted) : std::string("?");
}

void DecodeKey(X509* x, CertDetails& d) {
    ASN1_OBJECT* algorithm = nullptr;
    if (X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(x)) !=
            1 ||
        algorithm == nullptr) {
        d.keyAlgorithm = "?";
        return;
    }
    switch (OBJ_obj2nid(algorithm)) {
        case NID_rsaEncryption:
            d.keyAlgorithm = "RSA";
            break;
        case NID_rsassaPss:
            d.keyAlgorithm = "RSA-PSS";
            break;
        case NID_X9_62_id_ecPublicKey:
            d.keyAlgorithm = "EC";
            break;
        case NID_dsa:
            d.keyAlgorithm = "DSA";
            break;
        case NID_ED25519:
            d.keyAlgorithm = "Ed25519";
            break;
        case NID_ED448:
            d.keyAlgorithm = "Ed448";
            break;
        default:
            d.keyAlgorithm = ObjectName(algorithm);
            break;
    }
    // Null when OpenSSL cannot use the key; the algorithm is still known.
    EVP_PKEY* key = X509_get0_pubkey(x);
    if (key == nullptr) {
        return;
    }
    d.keyBits = EVP_PKEY_get_bits(key);
    char group[80] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_EC &&
        EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                       &length) == 1) {
        const char* nist = EC_curve_nid2nist(OBJ_sn2nid(group));
        d.keyCurve = nist != nullptr ? nist : group;
    }
}

void DecodeUsages(X509* x, CertDetails& d) {
    int critical = 0;
    BitStringPtr usage(
        static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(x, NID_key_usage, &critical, nullptr)));
    if (usage) {
        std::uint32_t bits = 0;
        for (int k = 0; k < kKeyUsageBits; ++k) {
            if (ASN1_BIT_STRING_get_bit(usage.get(), k) == 1) {
                bits |= 1u << k;
            }
        }
        d.keyUsage = bits;
    }
    EkuPtr purposes(static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(x, NID_ext_key_usage, &critical, nullptr)));
    if (purposes) {
        std::vector<std::string> names;
        for (int k = 0; k < sk_ASN1_OBJECT_num(purposes.get()); ++k) {
            names.push_back(ObjectName(sk_ASN1_OBJECT_value(purposes.get(), k)));
        }
        d.extendedKeyUsage = std::move(names);
    }
}

template <std::size_t N>
bool Digest(const EVP_MD* md, const unsigned char* data, std::size_t length,
            std::array<std::uint8_t, N>& out) {
    unsigned int written = 0;
    return EVP_Digest(data, length, out.data(), &written, md, nullptr) == 1 && written == N;
}

}  // namespace

std::optional<std::int64_t> Seconds(const ASN1_TIME* t) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(timegm(&tm));
}

std::optional<CertDetails> DecodeCertDetails(std::span<const std::uint8_t> der) {
    // Whatever in the bytes failed to decode (the certificate, an extension, the key) leaves
    // no error behind on this thread for a later call to read as its own.
    struct ClearErrors {
        ~ClearErrors() { ERR_clear_error(); }
    } clearErrors;
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) {
        return std::nullopt;
    }
    const unsigned char* start = der.data();
    const unsigned char* p = start;
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!x) {
        return std::nullopt;
    }
    const auto length = static_cast<std::size_t>(p - start);

    CertDetails d;
    d.subject = NameText(X509_get_subject_name(x.get()));
    d.issuer = NameText(X509_get_issuer_name(x.get()));
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x.get());
    const unsigned char* serialBytes = ASN1_STRING_get0_data(serial);
    d.serial.assign(serialBytes, serialBytes + ASN1_STRING_length(serial));
    if (d.serial.empty()) {
        d.serial.push_back(0);
    }
    d.serialNegative = ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER;
    d.notBefore = Seconds(X509_get0_notBefore(x.get()));
    d.notAfter = Seconds(X509_get0_notAfter(x.get()));
    DecodeKey(x.get(), d);
    DecodeUsages(x.get(), d);
    if (!Digest(EVP_sha1(), start, length, d.sha1) ||
        !Digest(EVP_sha256(), start, length, d.sha256)) {
        return std::nullopt;
    }
    return d;
}

std::optional<CertDetails> OpenSslCertApi::CertGetDetails(const CertContext* cert) {
    if (cert == nullptr) {
        return std::nullopt;
    }
    return DecodeCertDetails(cert->encoded);
}

}  // namespace quorlin::x509
