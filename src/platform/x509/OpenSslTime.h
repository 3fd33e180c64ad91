#pragma once
// A certificate time as the adapter's two readers (the list's mark, the details) take it.

#include <openssl/types.h>

#include <cstdint>
#include <optional>

namespace quorlin::x509 {

// Seconds since 1970-01-01 00:00:00 UTC; nullopt when the time does not read.
std::optional<std::int64_t> Seconds(const ASN1_TIME* time);

}  // namespace quorlin::x509
