#pragma once
// The mark a certificate row gets for its validity: none, expiring within 30 days, or
// expired. Times are seconds since the epoch, UTC.

#include <cstdint>
#include <string>

#include "interfaces/DialogWindow.h"

namespace quorlin {

inline constexpr std::int64_t kSecondsPerDay = 86400;
inline constexpr std::int64_t kExpiryWarningDays = 30;

struct ValidityMark {
    RowMark mark = RowMark::None;
    std::int64_t days = 0;  // Expiring: whole days left, rounded up
    std::string tooltip;
};

// Expired from the second of not-after on, so that no moment goes unmarked; before it,
// N = days left rounded up, marked when N <= 30.
ValidityMark ValidityMarkFor(std::int64_t notAfter, std::int64_t now);

}  // namespace quorlin
