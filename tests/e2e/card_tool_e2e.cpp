// quorlin-card through pcscd, vpcd and quorlin-cardsim with the demo card: what scripts
// read from each command, the PIN from a descriptor, and no PIN in the trace.

#include <openssl/sha.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <thread>

#include "e2e/CardFixture.h"

namespace quorlin::e2e {
namespace {

using nlohmann::json;

struct ToolRun {
    int status = -1;
    std::string out;
};

class CardTool : public CardFixture {
  protected:
    // The tool with these arguments, the PIN lines on descriptor 3; stdout, and stderr when
    // asked. No XDG_DATA_DIRS: the tool finds the build's provider files from where it is.
    ToolRun Tool(const std::string& args, const std::string& pins = "", bool errors = false) {
        const std::string command = "XDG_DATA_HOME=" + data + " XDG_DATA_DIRS=/nonexistent " +
                                    Env("QUORLIN_BUILD_DIR") + "/tools/card/quorlin-card " + args +
                                    " 3<<'EOF' " + (errors ? "2>&1" : "2>/dev/null") + "\n" + pins +
                                    "EOF\n";
        ToolRun run;
        FILE* pipe = ::popen(command.c_str(), "r");
        for (int c = 0; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) {
            run.out.push_back(static_cast<char>(c));
        }
        const int status = pipe != nullptr ? ::pclose(pipe) : -1;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }
    const std::string data = ScratchPath("data");
};

std::string Sha1Of(const std::string& fixture) {
    std::ifstream in(Env("QUORLIN_SOURCE_DIR") + "/tests/fixtures/" + fixture, std::ios::binary);
    const std::string der((std::istreambuf_iterator<char>(in)), {});
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest);
    std::string hex;
    for (unsigned char b : digest) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", b);
        hex += two;
    }
    return hex;
}

TEST_F(CardTool, ListsReadersAndCertificatesChangesThePinAndRegisters) {
    const ToolRun empty = Tool("diagnose --json");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(json::parse(empty.out)["readers"].size(), 2u);
    // The service's own words, no code.
    EXPECT_NE(Tool("diagnose").out.find("\nservice: running\n"), std::string::npos);
    Insert(json::parse(
        std::ifstream(Env("QUORLIN_SOURCE_DIR") + "/tools/cardsim/profiles/demo.json")));
    const ToolRun diagnosed = Tool("diagnose --json");
    EXPECT_EQ(diagnosed.status, 0) << diagnosed.out;
    EXPECT_EQ(json::parse(diagnosed.out)["store"]["state"], "absent");
    const json readers = json::parse(Tool("readers --json").out);
    ASSERT_EQ(readers.size(), 2u);
    EXPECT_EQ(readers[0]["provider"], "Morvex CSP Enterprise");
    EXPECT_EQ(readers[0]["protocol"], "T=0");
    EXPECT_EQ(readers[1]["card"], false);
    EXPECT_EQ(readers[1]["atr"], nullptr);
    EXPECT_EQ(readers[1]["provider"], nullptr);

    const std::string trace = ScratchPath("trace");
    // A PIN file written on Windows: the CR is no part of the PIN.
    const ToolRun certs = Tool("--pin-fd 3 --trace " + trace + " certs --json", "123456\r\n");
    ASSERT_EQ(certs.status, 0) << certs.out;
    const json entries = json::parse(certs.out);
    ASSERT_EQ(entries.size(), 4u);
    const char* fixtures[] = {"alice-ec.der", nullptr, "bob-ec.der", "carol-big5.der"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i]["certificate"].is_null(), fixtures[i] == nullptr) << i;
        if (fixtures[i] != nullptr) {
            EXPECT_EQ(entries[i]["certificate"]["sha1"], Sha1Of(fixtures[i])) << i;
        }
    }
    EXPECT_EQ(entries[1]["container"], "Quorlin-Spare");
    EXPECT_EQ(entries[3]["start"], "20260115");
    std::ifstream traced(trace);
    const std::string lines((std::istreambuf_iterator<char>(traced)), {});
    EXPECT_NE(lines.find("00 20 01 28 10 **"), std::string::npos);
    EXPECT_EQ(lines.find("31 32 33 34 35 36"), std::string::npos);

    EXPECT_EQ(Tool("--pin-fd 3 certs", "654321\n").status, 1);
    // Longer than the card takes: refused before any card command.
    const std::string untried = ScratchPath("untried");
    EXPECT_EQ(Tool("--pin-fd 3 --trace " + untried + " certs", "12345678901234567\n").status, 2);
    std::ifstream untriedTrace(untried);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(untriedTrace)), {}).find(" APDU "),
              std::string::npos);
    // Every certificate expires within 100,000 days; a part of the reader's name will do.
    const ToolRun expiring =
        Tool("--pin-fd 3 -r 'pcd 0 00 00' certs --expires-within 99999", "123456\n", true);
    EXPECT_EQ(expiring.status, 3) << expiring.out;
    EXPECT_NE(expiring.out.find("quorlin-card: 8001 Quorlin-Alice expire"), std::string::npos)
        << expiring.out;
    EXPECT_EQ(Tool("--pin-fd 3 change-pin", "123456\n24681357\n24681357\n").status, 0);
    EXPECT_EQ(Tool("--pin-fd 3 certs", "123456\n").status, 1);
    // A store name the store would refuse stops before any PIN is read.
    EXPECT_EQ(Tool("--pin-fd 3 register --store 'M\xC3\x9C'", "24681357\n").status, 2);
    const ToolRun registered = Tool("--pin-fd 3 register", "24681357\n");
    EXPECT_EQ(registered.status, 0) << registered.out;
    EXPECT_EQ(registered.out,
              "8001 Quorlin-Alice: added\n8003 Quorlin-Bob: added\n8004 Quorlin-Carol: added\n");
    EXPECT_EQ(Tool("--pin-fd 3 register", "24681357\n").out,
              "8001 Quorlin-Alice: already registered\n8003 Quorlin-Bob: already registered\n"
              "8004 Quorlin-Carol: already registered\n");
    const ToolRun store = Tool("--version; XDG_DATA_HOME=" + data + " " + Env("QUORLIN_BUILD_DIR") +
                               "/tools/certstore/quorlin-certstore list --json");
    EXPECT_EQ(json::parse(store.out.substr(store.out.find('['))).size(), 3u) << store.out;
    EXPECT_EQ(json::parse(Tool("diagnose --json").out)["store"]["entries"], 3);
}

// Ctrl-C, a kill or a hang-up at the PIN prompt: the terminal gets its echo back.
TEST_F(CardTool, ThePinPromptGivesTheTerminalBack) {
    Insert(json::parse(
        std::ifstream(Env("QUORLIN_SOURCE_DIR") + "/tools/cardsim/profiles/demo.json")));
    const std::string tool = Env("QUORLIN_BUILD_DIR") + "/tools/card/quorlin-card";
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        int master = -1;
        const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::setenv("XDG_DATA_HOME", data.c_str(), 1);
            ::execl(tool.c_str(), tool.c_str(), "certs", nullptr);
            ::_exit(127);
        }
        const auto echo = [&] {
            termios modes{};
            return ::tcgetattr(master, &modes) == 0 && (modes.c_lflag & ECHO) != 0;
        };
        const auto until = std::chrono::steady_clock::now() + kReadyTimeout;
        while (echo() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_FALSE(echo()) << "no PIN prompt; signal " << sig;
        EXPECT_EQ(::write(master, "123", 3), 3);
        ::kill(child, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_TRUE(echo()) << "echo left off after signal " << sig;
        ::close(master);
    }
}

}  // namespace
}  // namespace quorlin::e2e
