#include "base/StandardOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace quorlin::base {

int FinishStandardOutput(const char* program, int status) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && !std::ferror(stdout) && std::cout.flush().good()) {
        return status;
    }
    // The reason is gone when an earlier flush already met the failure.
    std::fprintf(stderr, "%s: cannot write to standard output%s%s\n", program,
                 error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
    return status != 0 ? status : 1;
}

}  // namespace quorlin::base
