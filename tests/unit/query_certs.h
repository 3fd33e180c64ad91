#pragma once
// Small X.509 certificates made on the spot with OpenSSL, for the query and x509 tests.

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorlin::test {

struct NameEntry {
    int nid;
    std::string value;
    int type = V_ASN1_UTF8STRING;  // taken as it stands, past the usual length bounds
};

// A self-signed certificate with the given subject; fillerBytes adds a comment extension
// of that many bytes. Ed25519 signs with a fixed length (exact sizes, under 200 bytes when
// small); ECDSA gives the usual few hundred bytes.
inline std::vector<std::uint8_t> MakeCertificate(const std::vector<NameEntry>& subject,
                                                 std::size_t fillerBytes = 0,
                                                 bool ed25519 = false) {
    static EVP_PKEY* ec = EVP_EC_gen("P-256");
    static EVP_PKEY* ed = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    EVP_PKEY* key = ed25519 ? ed : ec;
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(cert.get());
    for (const NameEntry& e : subject) {
        if (X509_NAME_add_entry_by_NID(name, e.nid, e.type,
                                       reinterpret_cast<const unsigned char*>(e.value.data()),
                                       static_cast<int>(e.value.size()), -1, 0) != 1) {
            throw std::runtime_error("bad name entry");
        }
    }
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    if (fillerBytes > 0) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment,
                                                  std::string(fillerBytes, 'x').c_str());
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (key == nullptr || X509_sign(cert.get(), key, ed25519 ? nullptr : EVP_sha256()) <= 0) {
        throw std::runtime_error("signing failed");
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    std::vector<std::uint8_t> out(der, der + length);
    OPENSSL_free(der);
    return out;
}

inline std::vector<std::uint8_t> MakeCertificate(const std::string& commonName,
                                                 std::size_t fillerBytes = 0) {
    return MakeCertificate({{NID_commonName, commonName}}, fillerBytes);
}

// Without any subject name: nothing to display.
inline std::vector<std::uint8_t> MakeNamelessCertificate() {
    return MakeCertificate(std::vector<NameEntry>{}, 0, true);
}

// Exactly size bytes. The filler moves by the miss; DER length octets that grow on the way
// take another step or two.
inline std::vector<std::uint8_t> MakeCertificateOfSize(const std::string& commonName,
                                                       std::size_t size) {
    long filler = 1;
    for (int attempt = 0; attempt < 8 && filler > 0; ++attempt) {
        std::vector<std::uint8_t> cert =
            MakeCertificate({{NID_commonName, commonName}}, static_cast<std::size_t>(filler), true);
        if (cert.size() == size) {
            return cert;
        }
        filler += static_cast<long>(size) - static_cast<long>(cert.size());
    }
    throw std::runtime_error("could not reach the certificate size");
}

}  // namespace quorlin::test
