#pragma once
// The providers of the registry, backed by the card: a key container is opened by finding
// a card that carries one of the provider's applets and asking it for the container.
// The card is held only for that lookup (shared), so another program may use it between.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "card/Channel.h"
#include "interfaces/CryptApi.h"
#include "interfaces/PcscApi.h"
#include "platform/crypt/ProviderRegistry.h"

namespace quorlin::crypt {

inline constexpr std::uint32_t kNteBadUid = 0x80090001u;
inline constexpr std::uint32_t kNteBadKey = 0x80090003u;
inline constexpr std::uint32_t kNteProvTypeNoMatch = 0x8009001Bu;
inline constexpr std::uint32_t kCryptSilent = 0x40u;

class CardCryptApi : public CryptApi {
  public:
    // Providers from the registry of the environment's data directories.
    explicit CardCryptApi(pcsc::PcscApi& pcsc);
    CardCryptApi(pcsc::PcscApi& pcsc, ProviderRegistry registry);

    bool CryptAcquireContextA(HCRYPTPROV* prov, const char* container, const char* provider,
                              std::uint32_t provType, std::uint32_t flags) override;
    bool CryptGetUserKey(HCRYPTPROV prov, std::uint32_t keySpec, HCRYPTKEY* key) override;
    bool CryptDestroyKey(HCRYPTKEY key) override;
    bool CryptReleaseContext(HCRYPTPROV prov, std::uint32_t flags) override;

    std::size_t OpenContexts() const { return m_contexts.size(); }
    std::size_t OpenKeys() const { return m_keys.size(); }

  private:
    struct Context {
        std::string provider;
        std::string container;  // empty for a verify context
        bool signatureKey = false;
        bool exchangeKey = false;
    };
    struct Key {
        HCRYPTPROV prov;
        std::uint32_t spec;
    };
    struct ContainerKeys {
        bool signature = false;
        bool exchange = false;
    };

    // 0 when the container was found on a card; else the error to report.
    std::uint32_t FindContainer(const ProviderInfo& provider, const std::string& container,
                                ContainerKeys& keys);
    // Asks one connected card; kNteBadKeyset when it has no such container, kENoSmartcard
    // when it carries none of the provider's applets.
    std::uint32_t AskCard(const card::Channel& channel, const ProviderInfo& provider,
                          const std::string& container, ContainerKeys& keys);
    std::uintptr_t NextHandle();

    pcsc::PcscApi& m_pcsc;
    ProviderRegistry m_registry;
    std::map<HCRYPTPROV, Context> m_contexts;
    std::map<HCRYPTKEY, Key> m_keys;
    std::uintptr_t m_nextHandle = 0x5100;
};

}  // namespace quorlin::crypt
