// The mode of a file written whole over whatever is at its path.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "base/AtomicFile.h"
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

}  // namespace
}  // namespace quorlin::test
