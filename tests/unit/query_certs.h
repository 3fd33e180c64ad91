#pragma once
// Small X.509 certificates made on the spot with OpenSSL, for the query and x509 tests,
// the query fuzz target and the query benchmark.

#include <openssl/evp.h>
#include <openssl/objects.h>
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

// A self-signed EC certificate with the given subject. fillerBytes adds a comment
// extension of that many bytes, to reach a wanted size.
inline std::vector<std::uint8_t> MakeCertificate(const std::vector<NameEntry>& subject,
                                                 std::size_t fillerBytes = 0) {
    static EVP_PKEY* key = EVP_EC_gen("P-256");  // one key serves every certificate
    if (key == nullptr) {
        throw std::runtime_error("EC key generation failed");
    }
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
        std::string filler(fillerBytes, 'x');
        X509_EXTENSION* ext =
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment, filler.c_str());
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) {
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

// A certificate of exactly size bytes (within what the filler can reach), named cn.
inline std::vector<std::uint8_t> MakeCertificateOfSize(const std::string& commonName,
                                                       std::size_t size) {
    std::vector<std::uint8_t> base = MakeCertificate(commonName, 1);
    if (base.size() > size) {
        throw std::runtime_error("certificate too small to reach");
    }
    // DER length octets grow at 128 and 256 bytes; a few tries settle it. The ECDSA
    // signature varies by a byte or two, so sign again until it lands.
    std::size_t filler = 1 + (size - base.size());
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::vector<std::uint8_t> cert = MakeCertificate(commonName, filler);
        if (cert.size() == size) {
            return cert;
        }
        if (cert.size() > size && filler > 1) {
            --filler;
        } else if (cert.size() < size) {
            ++filler;
        }
    }
    throw std::runtime_error("could not reach the certificate size");
}

// An Ed25519 certificate with an empty subject and issuer: small enough (under 200 bytes)
// to come in the first chunk of a certificate read, and without any name to display.
inline std::vector<std::uint8_t> MakeNamelessCertificate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    const bool signedOk = X509_sign(cert.get(), key, nullptr) > 0;
    EVP_PKEY_free(key);
    if (!signedOk) {
        throw std::runtime_error("signing failed");
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    std::vector<std::uint8_t> out(der, der + length);
    OPENSSL_free(der);
    return out;
}

}  // namespace quorlin::test
