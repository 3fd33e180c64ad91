#pragma once
// The user's certificate stores as the core sees them. Failures leave their code in the
// thread's last error (interfaces/LastError.h).

#include <cstdint>

#include "interfaces/CertApi.h"
#include "interfaces/KeyLinkApi.h"

namespace quorlin::store {

struct CertStore;  // opaque to the core
using HCERTSTORE = CertStore*;

inline constexpr std::uint32_t kCertStoreProvSystemW = 10;
inline constexpr std::uint32_t kCertSystemStoreCurrentUser = 0x00010000u;
inline constexpr std::uint32_t kCertKeyProvInfoPropId = 2;
inline constexpr std::uint32_t kCertStoreAddReplaceExisting = 3;
inline constexpr std::uint32_t kCertCloseStoreForceFlag = 1;

class StoreApi {
  public:
    virtual ~StoreApi() = default;

    virtual HCERTSTORE CertOpenStore(std::uint32_t storeProvider, std::uint32_t encodingType,
                                     std::uintptr_t cryptProv, std::uint32_t flags,
                                     const char16_t* storeName) = 0;
    // For kCertKeyProvInfoPropId, data is a const x509::CryptKeyProvInfo*.
    virtual bool CertSetCertificateContextProperty(const x509::CertContext* cert,
                                                   std::uint32_t propId, std::uint32_t flags,
                                                   const void* data) = 0;
    virtual bool CertAddCertificateContextToStore(HCERTSTORE store, const x509::CertContext* cert,
                                                  std::uint32_t disposition,
                                                  const x509::CertContext** storeContext) = 0;
    virtual bool CertCloseStore(HCERTSTORE store, std::uint32_t flags) = 0;
    // Records where the entry of cert in store finds its key in a PKCS#11 module; the
    // entry must be there already. Quorlin's own, beside the platform's calls.
    virtual bool RecordKeyLink(HCERTSTORE store, const x509::CertContext* cert,
                               const keylink::Pkcs11Link& link) = 0;
};

}  // namespace quorlin::store
