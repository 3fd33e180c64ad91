// The base layer's promises about files and the process: the mode of a file written
// whole over whatever is at its path, and a process that keeps its memory to itself
// (checked in a child, so that no other test runs without core files or attaching).

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>

#include "base/AtomicFile.h"
#include "base/PrivateMemory.h"
#include "base/Utf8.h"
#include "fakes/TempDir.h"

namespace quorlin::test {
namespace {

TEST(AtomicFileTest, AReplacedRegularFileLendsOnlyItsPermissionBitsAndALinkNothing) {
    TempDir tmp;
    const std::string target = tmp.Write("target", "kept"), link = tmp.Join("link");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const mode_t saved = umask(027);
    // The mode before (through the link: its target's) and after.
    for (auto [path, before, after] : {std::tuple{tmp.Join("new"), 0, 0640},
                                       {tmp.Write("plain", ""), 0604, 0604},
                                       {tmp.Write("setuid", ""), 04755, 0755},
                                       {link, 04755, 0640}}) {
        chmod(path.c_str(), static_cast<mode_t>(before));
        EXPECT_EQ(base::WriteFileAtomically(path, std::vector<std::uint8_t>{'n', 'e', 'w'}), 0);
        struct stat st {};
        EXPECT_TRUE(lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) << path;
        EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(after)) << path;
    }
    umask(saved);
    struct stat st {};
    EXPECT_TRUE(stat(target.c_str(), &st) == 0 && (st.st_mode & 07777) == 04755 && st.st_size == 4);
}

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

// What may steer a terminal or reorder a line becomes '?'; its neighbours stay.
TEST(PrintableTest, ControlsBidiControlsAndBrokenUtf8BecomeQuestionMarks) {
    for (auto [text, shown] : {
             std::pair<std::string, std::string>{"a\x1b]0;t\x07", "a?]0;t?"},
             {"\xC2\x85|\xC2\xA0", "?|\xC2\xA0"},  // C1 control, no-break space
             {"\xE2\x80\xA9|\xE2\x80\xAA|\xE2\x80\xAE|\xE2\x80\xAF",
              "\xE2\x80\xA9|?|?|\xE2\x80\xAF"},
             {"\xE2\x81\xA5|\xE2\x81\xA6|\xE2\x81\xA9|\xE2\x81\xAA",
              "\xE2\x81\xA5|?|?|\xE2\x81\xAA"},
             {"\xE6\x86\x91\xE8\xAD", "\xE6\x86\x91?"},  // a character cut short
         }) {
        EXPECT_EQ(base::Printable(text), shown) << text;
    }
}

}  // namespace
}  // namespace quorlin::test
