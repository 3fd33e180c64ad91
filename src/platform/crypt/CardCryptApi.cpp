#include "platform/crypt/CardCryptApi.h"

#include <algorithm>
#include <cstring>

#include "applet/Applet.h"
#include "card/Channel.h"
#include "interfaces/LastError.h"

namespace quorlin::crypt {

namespace {

constexpr std::size_t kMaxReaders = 16;

bool IsStatusWord(std::int32_t result) {
    return result > 0 && result <= 0xFFFF;
}

}  // namespace

CardCryptApi::CardCryptApi(pcsc::PcscApi& pcsc) : m_pcsc(pcsc) {}

CardCryptApi::CardCryptApi(pcsc::PcscApi& pcsc, ProviderRegistry registry)
    : m_pcsc(pcsc), m_registry(std::move(registry)) {}

std::uintptr_t CardCryptApi::NextHandle() {
    // Handles never repeat within a run, so a stale one is always recognised.
    m_nextHandle += 8;
    return m_nextHandle;
}

bool CardCryptApi::CryptAcquireContextA(HCRYPTPROV* prov, const char* container,
                                        const char* provider, std::uint32_t provType,
                                        std::uint32_t flags) {
    if (prov == nullptr || provider == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    *prov = 0;
    const bool verify = (flags & kCryptVerifyContext) != 0;
    if ((flags & ~(kCryptVerifyContext | kCryptSilent)) != 0) {
        SetLastError(kNteBadFlags);
        return false;
    }
    if (verify && container != nullptr) {
        SetLastError(kNteBadKeysetParam);
        return false;
    }
    const std::optional<ProviderInfo> info = m_registry.Find(provider);
    if (!info) {
        SetLastError(kNteKeysetNotDef);
        return false;
    }
    if (info->type != provType) {
        SetLastError(kNteProvTypeNoMatch);
        return false;
    }

    Context context;
    context.provider = info->name;
    if (!verify) {
        // There is no default container on the card, and a name longer than a container
        // record cannot name one.
        const std::size_t length =
            container != nullptr ? strnlen(container, applet::kContainerRecordSize + 1) : 0;
        if (length == 0 || length > applet::kContainerRecordSize) {
            SetLastError(kNteBadKeyset);
            return false;
        }
        context.container.assign(container, length);
        ContainerKeys keys;
        const std::uint32_t error = FindContainer(*info, context.container, keys);
        if (error != 0) {
            SetLastError(error);
            return false;
        }
        context.signatureKey = keys.signature;
        context.exchangeKey = keys.exchange;
    }
    const HCRYPTPROV handle = NextHandle();
    m_contexts.emplace(handle, std::move(context));
    *prov = handle;
    return true;
}

std::uint32_t CardCryptApi::FindContainer(const ProviderInfo& provider,
                                          const std::string& container, ContainerKeys& keys) {
    const card::ContextOwner context(m_pcsc, pcsc::kScopeUser);
    if (context.Result() != pcsc::kSuccess) {
        return context.Result();
    }
    const card::ReaderList readers(m_pcsc, context.Get());
    if (readers.Result() != pcsc::kSuccess) {
        return readers.Result();
    }

    // What to report when no card has the container: that a card of ours lacked it, else
    // the last failure met on the way, else that no card of ours was found.
    std::uint32_t result = pcsc::kENoSmartcard;
    bool sawOurCard = false;
    for (const std::string& reader : readers.Names(kMaxReaders)) {
        std::uint32_t answer = 0;
        {
            const card::ConnectionOwner connection(m_pcsc, context.Get(), reader.c_str(),
                                                   pcsc::kShareShared);
            if (connection.Result() != pcsc::kSuccess) {
                if (!sawOurCard) {
                    result = connection.Result();
                }
                continue;
            }
            answer = AskCard(connection.GetChannel(), provider, container, keys);
        }
        if (answer == 0) {
            return 0;
        }
        if (answer == kNteBadKeyset) {
            sawOurCard = true;
            result = answer;
        } else if (!sawOurCard && answer != pcsc::kENoSmartcard) {
            result = answer;
        }
    }
    return result;
}

std::uint32_t CardCryptApi::AskCard(const card::Channel& channel, const ProviderInfo& provider,
                                    const std::string& container, ContainerKeys& keys) {
    std::int32_t result = static_cast<std::int32_t>(pcsc::kENoSmartcard);
    for (const std::vector<std::uint8_t>& aid : provider.aids) {
        result = applet::SelectByName(channel, aid);
        if (result == 0 || !IsStatusWord(result)) {
            break;  // selected, or the line failed
        }
    }
    if (result != 0) {
        return IsStatusWord(result) ? pcsc::kENoSmartcard : static_cast<std::uint32_t>(result);
    }

    result = applet::SelectFile(channel, applet::kDirectoryFile);
    if (result != 0) {
        return IsStatusWord(result) ? kNteBadKeyset : static_cast<std::uint32_t>(result);
    }

    std::uint8_t record[applet::kContainerRecordSize] = {};
    std::memcpy(record, container.data(), std::min(container.size(), sizeof record));
    std::uint8_t reply[card::kMaxResponseData] = {};
    card::Response response{reply, sizeof reply};
    result = applet::LookupContainer(channel, record, response);
    if (result != 0) {
        return IsStatusWord(result) ? kNteBadKeyset : static_cast<std::uint32_t>(result);
    }
    // A reply too short to name both key files is no container of ours.
    const std::optional<applet::ContainerKeys> found = applet::KeysOf({reply, response.length});
    if (!found) {
        return kNteBadKeyset;
    }
    keys.signature = found->signature;
    keys.exchange = found->exchange;
    return 0;
}

bool CardCryptApi::CryptGetUserKey(HCRYPTPROV prov, std::uint32_t keySpec, HCRYPTKEY* key) {
    auto it = m_contexts.find(prov);
    if (it == m_contexts.end()) {
        SetLastError(kNteBadUid);
        return false;
    }
    if (key == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    *key = 0;
    if (keySpec != kAtSignature && keySpec != kAtKeyExchange) {
        SetLastError(kNteBadKey);
        return false;
    }
    const Context& context = it->second;
    const bool present = keySpec == kAtSignature ? context.signatureKey : context.exchangeKey;
    if (!present) {
        SetLastError(kNteNoKey);
        return false;
    }
    const HCRYPTKEY handle = NextHandle();
    m_keys.emplace(handle, Key{prov, keySpec});
    *key = handle;
    return true;
}

bool CardCryptApi::CryptDestroyKey(HCRYPTKEY key) {
    if (m_keys.erase(key) == 0) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return true;
}

bool CardCryptApi::CryptReleaseContext(HCRYPTPROV prov, std::uint32_t flags) {
    if (flags != 0) {
        SetLastError(kNteBadFlags);
        return false;
    }
    if (m_contexts.erase(prov) == 0) {
        SetLastError(kNteBadUid);
        return false;
    }
    // Keys do not outlive their context.
    for (auto it = m_keys.begin(); it != m_keys.end();) {
        it = it->second.prov == prov ? m_keys.erase(it) : std::next(it);
    }
    return true;
}

}  // namespace quorlin::crypt
