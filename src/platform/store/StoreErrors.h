#pragma once
// The codes the store leaves in the thread's last error (interfaces/LastError.h), as the
// core and the viewer read them.

#include <cstdint>

namespace quorlin::store {

// HRESULT-style codes left in the last error.
inline constexpr std::uint32_t kEFail = 0x80004005u;
inline constexpr std::uint32_t kEInvalidArg = 0x80070057u;
inline constexpr std::uint32_t kEOutOfMemory = 0x8007000Eu;
inline constexpr std::uint32_t kEAccessDenied = 0x80070005u;
inline constexpr std::uint32_t kEInvalidHandle = 0x80070006u;
inline constexpr std::uint32_t kEPathNotFound = 0x80070003u;
inline constexpr std::uint32_t kEDiskFull = 0x80070070u;
inline constexpr std::uint32_t kEBusy = 0x800700AAu;
inline constexpr std::uint32_t kEFileCorrupt = 0x80070570u;
inline constexpr std::uint32_t kENotSupported = 0x80070032u;
inline constexpr std::uint32_t kCryptEAsn1BadTag = 0x8009310Bu;
inline constexpr std::uint32_t kCryptENotFound = 0x80092004u;
// A store marked with a later schema version than this build knows.
inline constexpr std::uint32_t kERevisionMismatch = 0x8007051Au;

// The HRESULT-style code for an SQLite result (with the errno behind it, when known).
std::uint32_t MapSqliteError(int code, int systemErrno);

}  // namespace quorlin::store
