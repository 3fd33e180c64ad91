#include "ui/ValidityMark.h"

#include <cstdio>

#include "interfaces/CertDetails.h"
#include "res/Strings.h"

namespace quorlin {

ValidityMark ValidityMarkFor(std::int64_t notAfter, std::int64_t now) {
    char text[128];
    if (notAfter <= now) {
        std::snprintf(text, sizeof text, res::kFmtExpired, x509::UtcDate(notAfter).c_str());
        return {RowMark::Expired, 0, text};
    }
    const std::int64_t days = (notAfter - now + kSecondsPerDay - 1) / kSecondsPerDay;
    if (days > kExpiryWarningDays) {
        return {};
    }
    std::snprintf(text, sizeof text, res::kFmtExpiresIn, static_cast<long long>(days));
    return {RowMark::Expiring, days, text};
}

}  // namespace quorlin
