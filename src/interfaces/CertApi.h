#pragma once
// Certificate contexts as the core sees them: the calls of the platform's certificate
// service. The production adapter (OpenSslCertApi) decodes with OpenSSL.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/CertDetails.h"

namespace quorlin::x509 {

inline constexpr std::uint32_t kX509AsnEncoding = 0x00000001u;
inline constexpr std::uint32_t kPkcs7AsnEncoding = 0x00010000u;
inline constexpr std::uint32_t kCertNameSimpleDisplayType = 4;

// Windows' CRYPT_KEY_PROV_INFO: what links a certificate to its key container.
struct CryptKeyProvInfo {
    char16_t* pwszContainerName;
    char16_t* pwszProvName;
    std::uint32_t dwProvType;
    std::uint32_t dwFlags;
    std::uint32_t cProvParam;
    void* rgProvParam;
    std::uint32_t dwKeySpec;
};

// An owned copy of the key-provider property, as a context carries it.
struct KeyProvProperty {
    std::u16string containerName;
    std::u16string provName;
    std::uint32_t provType = 0;
    std::uint32_t flags = 0;
    std::uint32_t keySpec = 0;
};

// A decoded certificate. encoded holds exactly the certificate's DER bytes (what followed
// them in the caller's buffer is not kept).
struct CertContext {
    std::vector<std::uint8_t> encoded;
    mutable std::optional<KeyProvProperty> keyProvInfo;  // set through the store interface
    std::shared_ptr<void> decoded;                       // the adapter's own decoded form
};

// The dialog may also create and free contexts from a thread beside its own, never while
// another call on the same object runs.
class CertApi {
  public:
    virtual ~CertApi() = default;

    // Decodes the DER certificate at the start of data; null when it does not decode.
    virtual const CertContext* CertCreateCertificateContext(std::uint32_t encodingType,
                                                            const std::uint8_t* data,
                                                            std::uint32_t length) = 0;
    // Characters written including the terminator; 0 on failure.
    virtual std::uint32_t CertGetNameStringA(const CertContext* cert, std::uint32_t type,
                                             std::uint32_t flags, const void* typePara, char* name,
                                             std::uint32_t nameSize) = 0;
    virtual bool CertFreeCertificateContext(const CertContext* cert) = 0;
    virtual const CertContext* CertDuplicateCertificateContext(const CertContext* cert) = 0;
    // What the certificate tells about itself; nullopt when it cannot be read. Its key is
    // decoded too, which costs: ask when the details are wanted.
    virtual std::optional<CertDetails> CertGetDetails(const CertContext* cert) = 0;
    // The not-after time, seconds since the epoch (UTC); nullopt when it does not read.
    // Cheap: what a query asks of every certificate.
    virtual std::optional<std::int64_t> CertGetNotAfter(const CertContext* cert) = 0;
};

}  // namespace quorlin::x509
