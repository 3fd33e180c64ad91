#pragma once
// The certificate-details decoder over OpenSSL, shared by OpenSslCertApi (for the dialog)
// and quorlin-certstore. OpenSSL's headers stay in the .cpp.

#include <cstdint>
#include <optional>
#include <span>

#include "interfaces/CertDetails.h"

namespace quorlin::x509 {

// The DER certificate at the start of der (what follows it is ignored; the fingerprints
// cover the certificate's own bytes); nullopt when it does not decode.
std::optional<CertDetails> DecodeCertDetails(std::span<const std::uint8_t> der);

}  // namespace quorlin::x509
