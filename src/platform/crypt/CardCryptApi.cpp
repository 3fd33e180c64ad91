#include "platform/crypt/CardCryptApi.h"

#include <cstring>

#include "applet/AppletIds.h"
#include "card/ApduExchange.h"
#include "platform/LastError.h"

namespace quorlin::crypt {

namespace {

constexpr std::size_t kContainerRecordSize = 36;
constexpr std::size_t kLookupReplySize = 43;  // through the second file identifier
constexpr std::size_t kMaxReaders = 16;
constexpr std::uint8_t kDirectoryFile[2] = {0x80, 0x10};

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
            container != nullptr ? strnlen(container, kContainerRecordSize + 1) : 0;
        if (length == 0 || length > kContainerRecordSize) {
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
    pcsc::ScardContext context = 0;
    std::uint32_t rv = m_pcsc.SCardEstablishContext(pcsc::kScopeUser, &context);
    if (rv != pcsc::kSuccess) {
        return rv;
    }
    char* readers = nullptr;
    std::uint32_t length = pcsc::kAutoAllocate;
    rv = m_pcsc.SCardListReadersA(context, nullptr, reinterpret_cast<char*>(&readers), &length);
    if (rv != pcsc::kSuccess || readers == nullptr) {
        m_pcsc.SCardReleaseContext(context);
        return rv != pcsc::kSuccess ? rv : pcsc::kENoReadersAvailable;
    }

    // What to report when no card has the container: that a card of ours lacked it, else
    // the last failure met on the way, else that no card of ours was found.
    std::uint32_t result = pcsc::kENoSmartcard;
    bool sawOurCard = false;
    const char* p = readers;
    const char* end = readers + length;
    for (std::size_t count = 0; p < end && *p != '\0' && count < kMaxReaders; ++count) {
        const std::size_t nameLength = strnlen(p, static_cast<std::size_t>(end - p));
        if (p + nameLength >= end) {
            break;  // not terminated within the list
        }
        const std::string reader(p, nameLength);
        p += nameLength + 1;

        pcsc::ScardHandle card = 0;
        std::uint32_t protocol = 0;
        rv = m_pcsc.SCardConnectA(context, reader.c_str(), pcsc::kShareShared,
                                  pcsc::kProtocolT0 | pcsc::kProtocolT1, &card, &protocol);
        if (rv != pcsc::kSuccess) {
            if (!sawOurCard) {
                result = rv;
            }
            continue;
        }
        const pcsc::ScardIoRequest* pci =
            protocol == pcsc::kProtocolT1 ? m_pcsc.T1Pci() : m_pcsc.T0Pci();
        const std::uint32_t answer = AskCard(card, pci, provider, container, keys);
        m_pcsc.SCardDisconnect(card, pcsc::kLeaveCard);
        if (answer == 0) {
            result = 0;
            break;
        }
        if (answer == kNteBadKeyset) {
            sawOurCard = true;
            result = answer;
        } else if (!sawOurCard && answer != pcsc::kENoSmartcard) {
            result = answer;
        }
    }
    m_pcsc.SCardFreeMemory(context, readers);
    m_pcsc.SCardReleaseContext(context);
    return result;
}

std::uint32_t CardCryptApi::AskCard(pcsc::ScardHandle card, const pcsc::ScardIoRequest* pci,
                                    const ProviderInfo& provider, const std::string& container,
                                    ContainerKeys& keys) {
    std::uint8_t reply[card::kMaxResponseData];
    std::int32_t result = pcsc::kENoSmartcard;
    for (const std::vector<std::uint8_t>& aid : provider.aids) {
        std::uint8_t le = 0;
        result = card::ExchangeApdu(
            m_pcsc, card, pci, 0x00, applet::kInsSelect, applet::kSelectByName, 0x00,
            static_cast<std::uint8_t>(aid.size()), le, aid.data(), reply, sizeof reply);
        if (result == 0 || !IsStatusWord(result)) {
            break;  // selected, or the line failed
        }
    }
    if (result != 0) {
        return IsStatusWord(result) ? pcsc::kENoSmartcard : static_cast<std::uint32_t>(result);
    }

    std::uint8_t le = 0;
    result =
        card::ExchangeApdu(m_pcsc, card, pci, 0x00, applet::kInsSelect, applet::kSelectFile, 0x00,
                           sizeof kDirectoryFile, le, kDirectoryFile, reply, sizeof reply);
    if (result != 0) {
        return IsStatusWord(result) ? kNteBadKeyset : static_cast<std::uint32_t>(result);
    }

    std::uint8_t record[kContainerRecordSize] = {};
    std::memcpy(record, container.data(), std::min(container.size(), sizeof record));
    std::memset(reply, 0, sizeof reply);
    std::size_t replyLength = 0;
    le = 0;
    result = card::ExchangeApdu(m_pcsc, card, pci, 0x00, applet::kInsContainerLookup, 0x00, 0x00,
                                sizeof record, le, record, reply, sizeof reply, &replyLength);
    if (result != 0) {
        return IsStatusWord(result) ? kNteBadKeyset : static_cast<std::uint32_t>(result);
    }
    if (replyLength < kLookupReplySize) {
        return kNteBadKeyset;
    }
    keys.signature = reply[39] != 0 || reply[40] != 0;
    keys.exchange = reply[41] != 0 || reply[42] != 0;
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
