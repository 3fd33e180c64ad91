#pragma once
// Certificate stores in memory: entries per (store, certificate bytes), failure
// injection per call, and every call recorded.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/StoreApi.h"

namespace quorlin::test {

class FakeStore : public store::StoreApi {
  public:
    using Key = std::pair<std::string, std::vector<std::uint8_t>>;  // store name, DER
    std::map<Key, x509::KeyProvProperty> entries;
    std::map<Key, keylink::Pkcs11Link> links;
    // Calls that fail: "CertOpenStore", "CertSetCertificateContextProperty",
    // "CertAddCertificateContextToStore", "RecordKeyLink" -> last error.
    std::map<std::string, std::uint32_t> failures;

    std::vector<std::string> calls;  // "Open:<name>:<flags hex>", "Set:<key spec>", "Add:3", ...
    int openStores = 0;
    int adds = 0;  // successful adds

    store::HCERTSTORE CertOpenStore(std::uint32_t storeProvider, std::uint32_t encodingType,
                                    std::uintptr_t cryptProv, std::uint32_t flags,
                                    const char16_t* storeName) override;
    bool CertSetCertificateContextProperty(const x509::CertContext* cert, std::uint32_t propId,
                                           std::uint32_t flags, const void* data) override;
    bool CertAddCertificateContextToStore(store::HCERTSTORE store, const x509::CertContext* cert,
                                          std::uint32_t disposition,
                                          const x509::CertContext** storeContext) override;
    bool CertCloseStore(store::HCERTSTORE store, std::uint32_t flags) override;
    bool RecordKeyLink(store::HCERTSTORE store, const x509::CertContext* cert,
                       const keylink::Pkcs11Link& link) override;

  private:
    bool Fails(const std::string& call);
    std::map<store::HCERTSTORE, std::string> m_open;
    std::vector<std::unique_ptr<int>> m_tokens;  // distinct addresses for handles
};

}  // namespace quorlin::test
