// A program that reads PINs keeps its memory to itself; checked in a child, so that no
// other test runs without core files or attaching.

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/PrivateMemory.h"

namespace quorlin {
namespace {

TEST(PrivateMemoryTest, TheStartUpStepTurnsOffCoreFilesAndAttaching) {
    ASSERT_EQ(::prctl(PR_GET_DUMPABLE), 1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        rlimit core{1, 1};
        const int kept = base::KeepMemoryPrivate();
        const int dumpable = ::prctl(PR_GET_DUMPABLE);
        ::getrlimit(RLIMIT_CORE, &core);
        ::_exit(kept != 0 || dumpable != 0 || core.rlim_cur != 0 || core.rlim_max != 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace quorlin
