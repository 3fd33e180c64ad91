#pragma once
// Replacing a file whole: the bytes go to a temporary file in the same directory, which is
// flushed to the disk and then renamed over the target. A reader sees the old file or the
// new one, and a failed write leaves neither a partial target nor the temporary behind.

#include <cstdint>
#include <span>
#include <string>

namespace quorlin::base {

// 0 on success, else the errno of the step that failed. A new file gets mode 0666 less the
// process's umask; a replaced one keeps its mode.
int WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace quorlin::base
