// What a PIN leaves behind, each case in a child so that no other test inherits it: no
// core file or attaching, and no copy of the log-in PIN once the holder logged out.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "base/PrivateMemory.h"
#include "fakes/DialogHarness.h"

namespace quorlin {
namespace {

int InChild(const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(fn());
    }
    int status = -1;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                             : -1;
}

TEST(PinMemoryTest, TheStartUpStepTurnsOffCoreFilesAndAttaching) {
    ASSERT_EQ(::prctl(PR_GET_DUMPABLE), 1);
    EXPECT_EQ(InChild([] {
                  rlimit core{1, 1};
                  const int kept = base::KeepMemoryPrivate();
                  const int dumpable = ::prctl(PR_GET_DUMPABLE);
                  ::getrlimit(RLIMIT_CORE, &core);
                  return kept != 0 || dumpable != 0 || core.rlim_cur != 0 || core.rlim_max != 0;
              }),
              0);
}

// "密碼1234" as UTF-8 and in code page 950, less the first byte (which clearing a string
// overwrites), masked so that the search never meets its own needle.
constexpr char kMask = 0x5A;
const std::vector<std::vector<char>> kMaskedForms = {
    {'\xAF' ^ kMask, '\x86' ^ kMask, '\xE7' ^ kMask, '\xA2' ^ kMask, '\xBC' ^ kMask, '1' ^ kMask,
     '2' ^ kMask, '3' ^ kMask, '4' ^ kMask},
    {'\x4B' ^ kMask, '\xBD' ^ kMask, '\x58' ^ kMask, '1' ^ kMask, '2' ^ kMask, '3' ^ kMask,
     '4' ^ kMask}};

// Bit k set: form k is somewhere in the process's writable memory.
int FormsInWritableMemory() {
    FILE* maps = std::fopen("/proc/self/maps", "r");
    const int mem = ::open("/proc/self/mem", O_RDONLY);
    std::vector<char> chunk(1 << 20);
    unsigned long from = 0;
    unsigned long to = 0;
    char perms[5] = {};
    int found = 0;
    while (maps != nullptr && std::fscanf(maps, "%lx-%lx %4s%*[^\n]", &from, &to, perms) == 3) {
        // Sanitizer shadow maps are terabytes of untouched pages, not the program's data.
        for (unsigned long at = from; perms[1] == 'w' && to - from < (1ul << 30) && at < to;
             at += chunk.size() / 2) {
            const ssize_t got = ::pread(mem, chunk.data(), chunk.size(), static_cast<off_t>(at));
            for (std::size_t k = 0; k < kMaskedForms.size(); ++k) {
                const auto& form = kMaskedForms[k];
                const auto end = chunk.begin() + std::max<ssize_t>(got, 0);
                found |= std::search(chunk.begin(), end, form.begin(), form.end(),
                                     [](char a, char b) {
                                         return static_cast<char>(a ^ kMask) == b;
                                     }) != end
                             ? 1 << k
                             : 0;
            }
        }
    }
    return maps != nullptr && mem >= 0 ? found : 4;
}

TEST(PinMemoryTest, NoCopyOfTheLogInPinOutlivesTheSession) {
    EXPECT_EQ(InChild([] {
                  test::DialogHarness<> h;
                  h.pcsc.readers = {"Reader A"};
                  h.pcsc.responder = [](const test::Bytes&) { return test::Sw("90 00"); };
                  h.Start();
                  std::string& field = h.wnd.texts[res::IDC_EDIT_PIN];  // typed in place
                  field.push_back('\xE5');
                  for (char m : kMaskedForms[0]) {
                      field.push_back(static_cast<char>(m ^ kMask));
                  }
                  h.Click(res::IDC_BTN_LOGIN);
                  const bool loggedIn = h.dlg->m_bLoggedIn == 1;
                  h.Click(res::IDC_BTN_LOGIN);
                  for (test::Bytes& command : h.pcsc.commands) {  // the fake card's own record
                      std::fill(command.begin(), command.end(), 0);
                  }
                  return loggedIn ? FormsInWritableMemory() : 8;
              }),
              0)
        << "1: UTF-8 form found, 2: card form found, 4: memory unreadable, 8: no log-in";
}

}  // namespace
}  // namespace quorlin
