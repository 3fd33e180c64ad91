#pragma once
// The thread's last error, shared by the provider and store stand-ins as on the
// platform they stand in for.

#include <cstdint>

namespace quorlin {

std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

}  // namespace quorlin
