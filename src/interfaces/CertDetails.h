#pragma once
// What a certificate tells about itself, as the certificate service decodes it, and the one
// text form of each field. The dialog, quorlin-certstore and anything that reports a
// certificate use these, so that they always agree. Plain C++: the decoding is the
// adapter's (OpenSslCertDetails).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorlin::x509 {

// Key usage bits, numbered as in the certificate's bit string (bit 0 first).
enum KeyUsageBit : std::uint32_t {
    kKuDigitalSignature = 1u << 0,
    kKuNonRepudiation = 1u << 1,
    kKuKeyEncipherment = 1u << 2,
    kKuDataEncipherment = 1u << 3,
    kKuKeyAgreement = 1u << 4,
    kKuKeyCertSign = 1u << 5,
    kKuCrlSign = 1u << 6,
    kKuEncipherOnly = 1u << 7,
    kKuDecipherOnly = 1u << 8,
};

struct CertDetails {
    // Distinguished names in the certificate's order, "CN=...,O=...", UTF-8.
    std::string subject;
    std::string issuer;
    // The serial number's magnitude, big-endian; a negative one is flagged.
    std::vector<std::uint8_t> serial;
    bool serialNegative = false;
    // Seconds since 1970-01-01 00:00:00 UTC; nullopt when the time does not read.
    std::optional<std::int64_t> notBefore;
    std::optional<std::int64_t> notAfter;
    // "RSA", "EC", "Ed25519", ...; an EC key's named curve ("P-256"), else empty.
    std::string keyAlgorithm;
    std::string keyCurve;
    int keyBits = 0;
    // nullopt: the certificate carries no such extension.
    std::optional<std::uint32_t> keyUsage;  // KeyUsageBit
    // Short names of the purposes ("clientAuth"), dotted identifiers for unnamed ones.
    std::optional<std::vector<std::string>> extendedKeyUsage;
    std::array<std::uint8_t, 20> sha1{};
    std::array<std::uint8_t, 32> sha256{};
};

// "2025-12-31 23:59:59 UTC"; "?" for a time that did not read.
std::string UtcText(std::optional<std::int64_t> seconds);
// ISO 8601: "2025-12-31T23:59:59Z"; "?" for a time that did not read.
std::string IsoUtcText(std::optional<std::int64_t> seconds);
// "2025-12-31".
std::string UtcDate(std::int64_t seconds);
// Upper-case hex pairs joined by colons: "9D:B0:39".
std::string ColonHex(std::span<const std::uint8_t> bytes);
// The serial number as colon hex, "-" before a negative one.
std::string SerialText(const CertDetails& details);
// "EC P-256" or "RSA".
std::string KeyAlgorithmText(const CertDetails& details);
// The set bits' names as X.509 writes them, in bit order: "digitalSignature, keyAgreement".
std::string KeyUsageText(std::uint32_t bits);
// "clientAuth, emailProtection".
std::string ExtendedKeyUsageText(const std::vector<std::string>& purposes);
// The certificate as PEM: base64 in lines of 64 between the BEGIN and END lines.
std::string PemText(std::span<const std::uint8_t> der);

}  // namespace quorlin::x509
