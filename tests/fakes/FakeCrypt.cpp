#include "fakes/FakeCrypt.h"

#include <cstdio>

#include "interfaces/LastError.h"

namespace quorlin::test {

bool FakeCrypt::CryptAcquireContextA(crypt::HCRYPTPROV* prov, const char* container,
                                     const char* provider, std::uint32_t provType,
                                     std::uint32_t flags) {
    char flagText[16];
    std::snprintf(flagText, sizeof flagText, "%x", flags);
    const std::string name = container != nullptr ? container : "null";
    const std::string provName = provider != nullptr ? provider : "null";
    calls.push_back("Acquire:" + name + ":" + provName + ":" + std::to_string(provType) + ":" +
                    flagText);
    if (auto it = probeFailures.find(provName); container == nullptr && it != probeFailures.end()) {
        SetLastError(it->second);
        return false;
    }
    if (providers.count(provName) == 0) {
        SetLastError(crypt::kNteKeysetNotDef);
        return false;
    }
    if (container != nullptr) {
        if (auto it = openFailures.find(name); it != openFailures.end()) {
            SetLastError(it->second);
            return false;
        }
        if (containers.count(name) == 0) {
            SetLastError(crypt::kNteBadKeyset);
            return false;
        }
    }
    *prov = m_next++;
    m_contexts[*prov] = container != nullptr ? name : "";
    ++openContexts;
    return true;
}

bool FakeCrypt::CryptGetUserKey(crypt::HCRYPTPROV prov, std::uint32_t keySpec,
                                crypt::HCRYPTKEY* key) {
    calls.push_back("GetUserKey:" + std::to_string(keySpec));
    auto ctx = m_contexts.find(prov);
    if (ctx == m_contexts.end()) {
        SetLastError(0x80090001u);  // bad handle
        return false;
    }
    if (auto it = keyFailures.find({ctx->second, keySpec}); it != keyFailures.end()) {
        SetLastError(it->second);
        return false;
    }
    auto c = containers.find(ctx->second);
    const bool has = c != containers.end() &&
                     (keySpec == crypt::kAtSignature ? c->second.signature : c->second.exchange);
    if (!has) {
        SetLastError(crypt::kNteNoKey);
        return false;
    }
    *key = m_next++;
    m_keys.insert(*key);
    ++openKeys;
    return true;
}

bool FakeCrypt::CryptDestroyKey(crypt::HCRYPTKEY key) {
    calls.push_back("DestroyKey");
    if (m_keys.erase(key) == 0) {
        SetLastError(crypt::kErrorInvalidParameter);
        return false;
    }
    --openKeys;
    return true;
}

bool FakeCrypt::CryptReleaseContext(crypt::HCRYPTPROV prov, std::uint32_t flags) {
    calls.push_back("Release:" + std::to_string(flags));
    if (m_contexts.erase(prov) == 0) {
        SetLastError(0x80090001u);
        return false;
    }
    --openContexts;
    return true;
}

}  // namespace quorlin::test
