#pragma once
// The production certificate service: contexts decoded with OpenSSL. OpenSSL's own
// headers stay in OpenSslCertApi.cpp so that nothing the core includes sees them.

#include <cstddef>

#include "interfaces/CertApi.h"

namespace quorlin::x509 {

class OpenSslCertApi : public CertApi {
  public:
    // A display name never runs longer, whatever room the caller gives.
    static constexpr std::uint32_t kMaxNameCharacters = 127;

    // Takes the DER certificate at the start of data (what follows it is ignored); the
    // encoding type must include X.509 ASN.1.
    const CertContext* CertCreateCertificateContext(std::uint32_t encodingType,
                                                    const std::uint8_t* data,
                                                    std::uint32_t length) override;
    // CERT_NAME_SIMPLE_DISPLAY_TYPE only: the subject's common name, else its first
    // organizational unit, organization or e-mail address, else its first attribute; UTF-8,
    // at most 127 characters and nameSize - 1 bytes, cut between characters. Returns the
    // bytes written including the terminator (with no buffer: the bytes needed), 0 on
    // failure.
    std::uint32_t CertGetNameStringA(const CertContext* cert, std::uint32_t type,
                                     std::uint32_t flags, const void* typePara, char* name,
                                     std::uint32_t nameSize) override;
    // Contexts are reference counted: a duplicate is the same context, alive until each
    // holder has freed it. Contexts do not depend on the adapter object that made them.
    bool CertFreeCertificateContext(const CertContext* cert) override;
    const CertContext* CertDuplicateCertificateContext(const CertContext* cert) override;
    // DecodeCertDetails over the context's bytes (OpenSslCertDetails.cpp).
    std::optional<CertDetails> CertGetDetails(const CertContext* cert) override;
    std::optional<std::int64_t> CertGetNotAfter(const CertContext* cert) override;

    // Contexts of this process not yet freed by all their holders (for leak checks).
    static std::size_t LiveContexts();
    // The OpenSSL that runs, as it names itself ("OpenSSL 3.0.17 1 Jul 2025").
    static const char* RunningVersion();
};

}  // namespace quorlin::x509
