#pragma once
// The PC/SC service's readers as pcsc-lite lists them, and waits for the service and for
// cards: the readiness checks of the private pcscd and of the end-to-end tests.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace quorlin::readers {

using namespace std::chrono_literals;

// The machine is small and shared: waits are long, and every wait polls.
inline constexpr std::chrono::milliseconds kReadyTimeout = 60s;

// The readers as the service lists them, in its order; empty when it lists none or fails.
std::vector<std::string> ListReaders();
// Waits until the service answers and lists at least count readers.
bool WaitForReaders(std::size_t count, std::chrono::milliseconds timeout = kReadyTimeout);
// Waits until the reader holds a powered card (present) or none (!present).
bool WaitForCard(const std::string& reader, bool present,
                 std::chrono::milliseconds timeout = kReadyTimeout);

}  // namespace quorlin::readers
