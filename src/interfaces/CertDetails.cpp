#include "interfaces/CertDetails.h"

#include <algorithm>
#include <ctime>
#include <iterator>

#include "base/Hex.h"

namespace quorlin::x509 {

namespace {

std::string Strftime(std::int64_t seconds, const char* format) {
    const auto t = static_cast<std::time_t>(seconds);
    struct tm tm {};
    if (gmtime_r(&t, &tm) == nullptr) {
        return "?";
    }
    char text[40];
    return std::strftime(text, sizeof text, format, &tm) == 0 ? std::string("?")
                                                              : std::string(text);
}

constexpr const char* kKeyUsageNames[] = {"digitalSignature", "nonRepudiation", "keyEncipherment",
                                          "dataEncipherment", "keyAgreement",   "keyCertSign",
                                          "cRLSign",          "encipherOnly",   "decipherOnly"};

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kPemLine = 64;

}  // namespace

std::string UtcText(std::optional<std::int64_t> seconds) {
    return seconds ? Strftime(*seconds, "%Y-%m-%d %H:%M:%S UTC") : std::string("?");
}

std::string IsoUtcText(std::optional<std::int64_t> seconds) {
    return seconds ? Strftime(*seconds, "%Y-%m-%dT%H:%M:%SZ") : std::string("?");
}

std::string UtcDate(std::int64_t seconds) {
    return Strftime(seconds, "%Y-%m-%d");
}

std::string ColonHex(std::span<const std::uint8_t> bytes) {
    return base::HexString(bytes, ":");
}

std::string SerialText(const CertDetails& details) {
    return (details.serialNegative ? "-" : "") + ColonHex(details.serial);
}

std::string KeyAlgorithmText(const CertDetails& details) {
    return details.keyCurve.empty() ? details.keyAlgorithm
                                    : details.keyAlgorithm + " " + details.keyCurve;
}

std::string KeyUsageText(std::uint32_t bits) {
    std::string text;
    for (std::size_t k = 0; k < std::size(kKeyUsageNames); ++k) {
        if ((bits & (1u << k)) != 0) {
            text += (text.empty() ? "" : ", ") + std::string(kKeyUsageNames[k]);
        }
    }
    return text;
}

std::string ExtendedKeyUsageText(const std::vector<std::string>& purposes) {
    std::string text;
    for (const std::string& p : purposes) {
        text += (text.empty() ? "" : ", ") + p;
    }
    return text;
}

std::string PemText(std::span<const std::uint8_t> der) {
    std::string base64;
    for (std::size_t k = 0; k < der.size(); k += 3) {
        const std::size_t n = std::min<std::size_t>(3, der.size() - k);
        std::uint32_t group = std::uint32_t{der[k]} << 16;
        if (n > 1) {
            group |= std::uint32_t{der[k + 1]} << 8;
        }
        if (n > 2) {
            group |= der[k + 2];
        }
        for (std::size_t c = 0; c < 4; ++c) {
            base64 += c <= n ? kBase64[(group >> (18 - 6 * c)) & 0x3F] : '=';
        }
    }
    std::string pem = "-----BEGIN CERTIFICATE-----\n";
    for (std::size_t k = 0; k < base64.size(); k += kPemLine) {
        pem += base64.substr(k, kPemLine) + "\n";
    }
    return pem + "-----END CERTIFICATE-----\n";
}

}  // namespace quorlin::x509
