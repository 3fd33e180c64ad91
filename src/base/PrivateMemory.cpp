#include "base/PrivateMemory.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cerrno>

namespace quorlin::base {

int KeepMemoryPrivate() {
    // The hard limit too, so nothing later in the process can raise it again.
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) != 0) {
        return errno;
    }
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace quorlin::base
