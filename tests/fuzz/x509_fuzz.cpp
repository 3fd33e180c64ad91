// Arbitrary bytes as a certificate for the x509 stand-in: a context only for a certificate
// at the start of the bytes, holding exactly its bytes; its display name whole UTF-8
// characters, at most 127, within any room given and as long as the room allows; no
// context left behind.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/x509/OpenSslCertApi.h"

namespace {

using quorlin::x509::CertContext;
using quorlin::x509::OpenSslCertApi;

// A broken promise: the line is what the finding's report needs.
void Check(bool ok, int line = __builtin_LINE()) {
    if (!ok) {
        std::fprintf(stderr, "check failed at line %d\n", line);
        std::abort();
    }
}

bool Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The name in room bytes; checks what every call must give.
std::string NameIn(OpenSslCertApi& api, const CertContext* cert, std::uint32_t room) {
    std::vector<char> name(room);  // exactly room: a write past it is the sanitizer's to see
    const std::uint32_t written = api.CertGetNameStringA(
        cert, quorlin::x509::kCertNameSimpleDisplayType, 0, nullptr, name.data(), room);
    Check(written >= 1 && written <= room);
    Check(name[written - 1] == '\0' && std::strlen(name.data()) == written - 1);
    return std::string(name.data(), written - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OpenSslCertApi api;
    const CertContext* cert = api.CertCreateCertificateContext(
        quorlin::x509::kX509AsnEncoding, data, static_cast<std::uint32_t>(size));
    if (cert == nullptr) {
        Check(OpenSslCertApi::LiveContexts() == 0);
        return 0;
    }
    Check(!cert->encoded.empty() && cert->encoded.size() <= size &&
          std::equal(cert->encoded.begin(), cert->encoded.end(), data));

    const std::uint32_t needed = api.CertGetNameStringA(
        cert, quorlin::x509::kCertNameSimpleDisplayType, 0, nullptr, nullptr, 0);
    if (needed > 0) {
        const std::string full = NameIn(api, cert, needed);
        Check(full.size() + 1 == needed);
        Check(std::count_if(full.begin(), full.end(), [](char c) { return !Continuation(c); }) <=
              OpenSslCertApi::kMaxNameCharacters);
        for (std::uint32_t room : {1u, 2u, 3u, 4u, 5u, 9u, 17u, 64u, needed + 1, 1024u}) {
            const std::string name = NameIn(api, cert, room);
            // A prefix of the whole name, cut between characters, and no shorter than the
            // room requires.
            Check(full.compare(0, name.size(), name) == 0);
            Check(name.size() == full.size() || !Continuation(full[name.size()]));
            Check(room < needed || name == full);
            Check(room >= needed || name.size() + 4 >= room);
        }
    }

    Check(api.CertDuplicateCertificateContext(cert) == cert);
    Check(api.CertFreeCertificateContext(cert) && OpenSslCertApi::LiveContexts() == 1);
    Check(api.CertFreeCertificateContext(cert) && OpenSslCertApi::LiveContexts() == 0);
    return 0;
}
