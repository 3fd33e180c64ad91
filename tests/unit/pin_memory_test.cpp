// What a PIN leaves behind: no core file and no other process of the user to read the
// program's memory, and no copy of the log-in PIN in it once the holder logged out.
// Each case runs in a child, so that no other test inherits what it changes.

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "base/PrivateMemory.h"
#include "base/Secret.h"
#include "fakes/DialogHarness.h"

namespace quorlin {
namespace {

// The exit status of fn() run in a forked child.
int InChild(const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(fn());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(PinMemoryTest, TheStartUpStepTurnsOffCoreFilesAndAttaching) {
    ASSERT_EQ(::prctl(PR_GET_DUMPABLE), 1);  // so that the child's 0 is the step's doing
    EXPECT_EQ(InChild([] {
                  rlimit core{};
                  return base::KeepMemoryPrivate() == 0 && ::prctl(PR_GET_DUMPABLE) == 0 &&
                                 ::getrlimit(RLIMIT_CORE, &core) == 0 && core.rlim_cur == 0 &&
                                 core.rlim_max == 0
                             ? 0
                             : 1;
              }),
              0);
}

// The PIN "密碼1234", as UTF-8 and in code page 950, each without its first byte (which
// clearing a string overwrites), stored masked so that the search never finds its needle.
constexpr std::uint8_t kMask = 0x5A;
constexpr std::uint8_t kUtf8Masked[] = {0xAF ^ kMask, 0x86 ^ kMask, 0xE7 ^ kMask,
                                        0xA2 ^ kMask, 0xBC ^ kMask, 0x31 ^ kMask,
                                        0x32 ^ kMask, 0x33 ^ kMask, 0x34 ^ kMask};
constexpr std::uint8_t kCp950Masked[] = {0x4B ^ kMask, 0xBD ^ kMask, 0x58 ^ kMask, 0x31 ^ kMask,
                                         0x32 ^ kMask, 0x33 ^ kMask, 0x34 ^ kMask};

bool Holds(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> masked) {
    for (std::size_t i = 0; i + masked.size() <= bytes.size(); ++i) {
        std::size_t j = 0;
        while (j < masked.size() && static_cast<std::uint8_t>(bytes[i + j] ^ kMask) == masked[j]) {
            ++j;
        }
        if (j == masked.size()) {
            return true;
        }
    }
    return false;
}

// Bit 1: the UTF-8 form was found in writable memory; bit 2: the card form; 4: no scan.
int FindPinInWritableMemory() {
    std::ifstream maps("/proc/self/maps");
    const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (!maps || mem < 0) {
        return 4;
    }
    std::vector<std::uint8_t> chunk(1 << 20);
    constexpr std::size_t kOverlap = sizeof kUtf8Masked;
    int found = 0;
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::uintptr_t from = 0;
        std::uintptr_t to = 0;
        char dash = 0;
        std::string perms;
        fields >> std::hex >> from >> dash >> to >> perms;
        // Sanitizer shadow maps are terabytes of untouched pages, never the program's data.
        if (perms.rfind("rw", 0) != 0 || to - from > (std::uintptr_t{1} << 30)) {
            continue;
        }
        for (std::uintptr_t at = from; at < to; at += chunk.size() - kOverlap) {
            const std::size_t want = std::min<std::uintptr_t>(chunk.size(), to - at);
            const ssize_t got = ::pread(mem, chunk.data(), want, static_cast<off_t>(at));
            if (got <= 0) {
                break;
            }
            const std::span<const std::uint8_t> bytes(chunk.data(), static_cast<std::size_t>(got));
            found |= (Holds(bytes, kUtf8Masked) ? 1 : 0) | (Holds(bytes, kCp950Masked) ? 2 : 0);
            if (want < chunk.size()) {
                break;
            }
        }
    }
    ::close(mem);
    base::WipeSecret(chunk.data(), chunk.size());
    return found;
}

TEST(PinMemoryTest, NoCopyOfTheLogInPinOutlivesTheSession) {
    EXPECT_EQ(InChild([] {
                  test::DialogHarness<> h;
                  h.pcsc.readers = {"Reader A"};
                  h.pcsc.responder = [](const test::Bytes&) { return test::Sw("90 00"); };
                  if (!h.Start()) {
                      return 8;
                  }
                  // Typed in place, so that the test itself holds no other copy.
                  std::string& field = h.wnd.texts[res::IDC_EDIT_PIN];
                  field.push_back('\xE5');
                  for (std::uint8_t m : kUtf8Masked) {
                      field.push_back(static_cast<char>(m ^ kMask));
                  }
                  h.Click(res::IDC_BTN_LOGIN);
                  if (h.dlg->m_bLoggedIn != 1) {
                      return 16;
                  }
                  h.Click(res::IDC_BTN_LOGIN);
                  // The fake card's own record of the VERIFY it received.
                  for (test::Bytes& command : h.pcsc.commands) {
                      base::WipeSecret(command.data(), command.size());
                  }
                  return FindPinInWritableMemory();
              }),
              0)
        << "1: UTF-8 form found, 2: card form found, 4: memory unreadable";
}

}  // namespace
}  // namespace quorlin
