#pragma once
// Replacing a file whole: the bytes go to a temporary file in the same directory, which is
// flushed to the disk and then renamed over the target. A reader sees the old file or the
// new one, and a failed write leaves neither a partial target nor the temporary behind.

#include <cstdint>
#include <span>
#include <string>

namespace quorlin::base {

// 0 on success, else the errno of the step that failed. A new file, or one in the place of
// a symbolic link, gets mode 0666 less the process's umask; a replaced regular file keeps
// its permission bits (0777) but no set-user-ID, set-group-ID or sticky bit.
int WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace quorlin::base
