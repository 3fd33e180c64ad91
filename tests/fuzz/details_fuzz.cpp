// Arbitrary bytes from the card as a certificate, through the details decoder and every
// text form of its fields: the decoder decodes or refuses, reads nothing outside the input
// (the sanitizers watch), and what it yields always reads as text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "interfaces/CertDetails.h"
#include "platform/x509/OpenSslCertDetails.h"
#include "ui/ValidityMark.h"

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorlin::x509;
    const std::optional<CertDetails> d = DecodeCertDetails(std::span(data, size));
    if (!d) {
        return 0;
    }
    Check(!SerialText(*d).empty());
    Check(!UtcText(d->notBefore).empty() && !UtcText(d->notAfter).empty());
    Check(!KeyAlgorithmText(*d).empty());
    Check(ColonHex(d->sha1).size() == 59 && ColonHex(d->sha256).size() == 95);
    KeyUsageText(d->keyUsage.value_or(0));
    if (d->extendedKeyUsage) {
        ExtendedKeyUsageText(*d->extendedKeyUsage);
    }
    if (d->notAfter) {
        quorlin::ValidityMarkFor(*d->notAfter, 1766232000);
    }
    Check(PemText(std::span(data, size)).size() > 60);
    return 0;
}
