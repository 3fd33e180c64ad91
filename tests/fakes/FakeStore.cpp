#include "fakes/FakeStore.h"

#include <cstdio>
#include <memory>

#include "interfaces/LastError.h"

namespace quorlin::test {

namespace {
constexpr std::uint32_t kInvalidArg = 0x80070057u;
}

bool FakeStore::Fails(const std::string& call) {
    auto it = failures.find(call);
    if (it == failures.end()) {
        return false;
    }
    SetLastError(it->second);
    return true;
}

store::HCERTSTORE FakeStore::CertOpenStore(std::uint32_t storeProvider, std::uint32_t encodingType,
                                           std::uintptr_t cryptProv, std::uint32_t flags,
                                           const char16_t* storeName) {
    std::string name;
    for (const char16_t* p = storeName; p != nullptr && *p != 0; ++p) {
        name.push_back(static_cast<char>(*p));
    }
    char text[96];
    std::snprintf(text, sizeof text, "Open:%u:%u:%lu:%x:", storeProvider, encodingType,
                  static_cast<unsigned long>(cryptProv), flags);
    calls.push_back(text + name);
    if (Fails("CertOpenStore")) {
        return nullptr;
    }
    m_tokens.push_back(std::make_unique<int>(0));
    auto handle = reinterpret_cast<store::HCERTSTORE>(m_tokens.back().get());
    m_open[handle] = name;
    ++openStores;
    return handle;
}

bool FakeStore::CertSetCertificateContextProperty(const x509::CertContext* cert,
                                                  std::uint32_t propId, std::uint32_t flags,
                                                  const void* data) {
    const auto* info = static_cast<const x509::CryptKeyProvInfo*>(data);
    calls.push_back("Set:" + std::to_string(propId) + ":" + std::to_string(flags) + ":" +
                    (info != nullptr ? std::to_string(info->dwKeySpec) : "null"));
    if (Fails("CertSetCertificateContextProperty")) {
        return false;
    }
    if (cert == nullptr || info == nullptr || propId != store::kCertKeyProvInfoPropId) {
        SetLastError(kInvalidArg);
        return false;
    }
    x509::KeyProvProperty p;
    p.containerName = info->pwszContainerName != nullptr ? info->pwszContainerName : u"";
    p.provName = info->pwszProvName != nullptr ? info->pwszProvName : u"";
    p.provType = info->dwProvType;
    p.flags = info->dwFlags;
    p.keySpec = info->dwKeySpec;
    cert->keyProvInfo = p;
    return true;
}

bool FakeStore::CertAddCertificateContextToStore(store::HCERTSTORE store,
                                                 const x509::CertContext* cert,
                                                 std::uint32_t disposition,
                                                 const x509::CertContext** storeContext) {
    calls.push_back("Add:" + std::to_string(disposition));
    if (Fails("CertAddCertificateContextToStore")) {
        return false;
    }
    auto it = m_open.find(store);
    if (it == m_open.end() || cert == nullptr || storeContext != nullptr ||
        disposition != store::kCertStoreAddReplaceExisting) {
        SetLastError(kInvalidArg);
        return false;
    }
    entries[{it->second, cert->encoded}] = cert->keyProvInfo.value_or(x509::KeyProvProperty{});
    ++adds;
    return true;
}

bool FakeStore::RecordKeyLink(store::HCERTSTORE store, const x509::CertContext* cert,
                              const keylink::Pkcs11Link& link) {
    calls.push_back("Link");
    if (Fails("RecordKeyLink")) {
        return false;
    }
    auto it = m_open.find(store);
    if (it == m_open.end() || cert == nullptr || entries.count({it->second, cert->encoded}) == 0) {
        SetLastError(kInvalidArg);
        return false;
    }
    links[{it->second, cert->encoded}] = link;
    return true;
}

bool FakeStore::CertCloseStore(store::HCERTSTORE store, std::uint32_t flags) {
    calls.push_back("Close:" + std::to_string(flags));
    if (m_open.erase(store) == 0) {
        SetLastError(kInvalidArg);
        return false;
    }
    --openStores;
    return true;
}

}  // namespace quorlin::test
