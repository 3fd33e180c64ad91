#pragma once
// Cryptographic service providers as the core sees them. Failures leave their code in
// the thread's last error (interfaces/LastError.h).

#include <cstdint>

namespace quorlin::crypt {

using HCRYPTPROV = std::uintptr_t;
using HCRYPTKEY = std::uintptr_t;

inline constexpr std::uint32_t kProvRsaFull = 1;
inline constexpr std::uint32_t kCryptVerifyContext = 0xF0000000u;
inline constexpr std::uint32_t kAtKeyExchange = 1;
inline constexpr std::uint32_t kAtSignature = 2;

inline constexpr std::uint32_t kNteBadKeyset = 0x80090016u;
inline constexpr std::uint32_t kNteKeysetNotDef = 0x80090019u;
inline constexpr std::uint32_t kNteNoKey = 0x8009000Du;
inline constexpr std::uint32_t kNteBadFlags = 0x80090009u;
inline constexpr std::uint32_t kNteBadProvType = 0x80090014u;
inline constexpr std::uint32_t kNteBadKeysetParam = 0x8009001Fu;
inline constexpr std::uint32_t kNteProvTypeNotDef = 0x80090017u;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;

class CryptApi {
  public:
    virtual ~CryptApi() = default;

    virtual bool CryptAcquireContextA(HCRYPTPROV* prov, const char* container, const char* provider,
                                      std::uint32_t provType, std::uint32_t flags) = 0;
    virtual bool CryptGetUserKey(HCRYPTPROV prov, std::uint32_t keySpec, HCRYPTKEY* key) = 0;
    virtual bool CryptDestroyKey(HCRYPTKEY key) = 0;
    virtual bool CryptReleaseContext(HCRYPTPROV prov, std::uint32_t flags) = 0;
};

}  // namespace quorlin::crypt
