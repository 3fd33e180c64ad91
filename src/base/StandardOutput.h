#pragma once
// Output that never arrived (a full disk, a closed pipe) is a failure, not a success: every
// program's last step before it exits.

namespace quorlin::base {

// Flushes standard output (stdio and std::cout); the status to exit with: status itself,
// or, after a message on stderr naming program, 1 when it was 0.
int FinishStandardOutput(const char* program, int status);

}  // namespace quorlin::base
