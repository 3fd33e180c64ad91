// quorlin-certstore over a store filled through the store interface: what each command
// prints and the exit codes of bad input.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "fakes/CertFixtures.h"
#include "platform/store/SqliteStoreApi.h"

namespace quorlin::test {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int exitCode;
    std::string out;  // stdout and stderr
};

class CertstoreToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quorlin-tool-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        const char* build = std::getenv("QUORLIN_BUILD_DIR");
        tool = std::string(build != nullptr ? build : ".") + "/tools/certstore/quorlin-certstore";
        if (!fs::exists(tool)) {
            GTEST_SKIP() << "quorlin-certstore not built";
        }
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string Add(const std::string& fixture, const std::u16string& container,
                    std::uint32_t keySpec, const char16_t* storeName = u"MY") {
        store::SqliteStoreApi api(dir + "/quorlin");
        store::HCERTSTORE store = api.CertOpenStore(10, 0, 0, 0x10000, storeName);
        EXPECT_NE(store, nullptr);
        x509::CertContext cert;
        cert.encoded = ReadFixture(fixture);
        std::u16string c = container, p = u"Morvex CSP Enterprise";
        x509::CryptKeyProvInfo info{c.data(), p.data(), 1, 0, 0, nullptr, keySpec};
        EXPECT_TRUE(api.CertSetCertificateContextProperty(&cert, 2, 0, &info));
        EXPECT_TRUE(api.CertAddCertificateContextToStore(store, &cert, 3, nullptr));
        api.CertCloseStore(store, 1);
        return store::SqliteStoreApi::Thumbprint(cert.encoded);
    }

    ToolRun Tool(const std::string& args) {
        const std::string command = "XDG_DATA_HOME='" + dir + "' '" + tool + "' " + args + " 2>&1";
        FILE* p = popen(command.c_str(), "r");
        ToolRun run{-1, ""};
        char buf[512];
        std::size_t n = 0;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
            run.out.append(buf, n);
        }
        const int status = pclose(p);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    std::string dir;
    std::string tool;
};

TEST_F(CertstoreToolTest, ListShowExportRemove) {
    EXPECT_EQ(Tool("list").out, "No certificates.\n");  // no database yet: nothing, no error
    EXPECT_FALSE(fs::exists(dir + "/quorlin"));

    const std::string alice = Add("alice-ec.der", u"Quorlin-Alice", 1);
    const std::string bob = Add("bob-ec.der", u"Quorlin-Bob", 2);
    Add("alice-ec.der", u"Quorlin-Alice", 2, u"Other");

    ToolRun list = Tool("list my");
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.out.find("THUMBPRINT"), std::string::npos);
    const std::size_t aliceLine = list.out.find(alice);
    ASSERT_NE(aliceLine, std::string::npos) << list.out;
    const std::string line = list.out.substr(aliceLine, list.out.find('\n', aliceLine) - aliceLine);
    for (const char* part : {"CN=Alice Chen,O=Quorlin Test", "Morvex CSP Enterprise",
                             "Quorlin-Alice", "1 (exchange)", "20"}) {
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    }
    EXPECT_NE(list.out.find("2 (signature)"), std::string::npos);
    EXPECT_EQ(list.out.find("OTHER"), std::string::npos);
    EXPECT_NE(Tool("list").out.find("OTHER"), std::string::npos);

    ToolRun show = Tool("show " + bob.substr(0, 8));
    EXPECT_EQ(show.exitCode, 0);
    EXPECT_NE(show.out.find("Thumbprint:  " + bob), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Container:   Quorlin-Bob"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Key spec:    2 (signature)"), std::string::npos) << show.out;

    ToolRun pem = Tool("export " + bob);
    EXPECT_EQ(pem.exitCode, 0);
    EXPECT_EQ(pem.out.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u) << pem.out;
    EXPECT_NE(pem.out.find("-----END CERTIFICATE-----\n"), std::string::npos);

    ToolRun removed = Tool("remove " + alice + " OTHER");
    EXPECT_EQ(removed.exitCode, 0) << removed.out;
    EXPECT_EQ(Tool("list").out.find("OTHER"), std::string::npos);
    EXPECT_EQ(Tool("remove " + alice + " OTHER").exitCode, 1);
    EXPECT_EQ(Tool("show " + alice).exitCode, 0);
}

TEST_F(CertstoreToolTest, BadInputGivesAReasonAndANonZeroExit) {
    const std::string alice = Add("alice-ec.der", u"A", 1);
    struct Case {
        std::string args;
        int exitCode;
        const char* says;
    };
    for (const Case& c : {
             Case{"", 2, "no command"},
             Case{"frobnicate", 2, "unknown command"},
             Case{"--bogus list", 2, "unknown option"},
             Case{"show", 2, "needs a THUMBPRINT"},
             Case{"show xyz", 2, "not a thumbprint"},
             Case{"show 12", 2, "not a thumbprint"},
             Case{"remove " + alice.substr(0, 10), 2, "not a thumbprint"},
             Case{"show 0000000000", 1, "no certificate"},
             Case{"export " + std::string(40, 'F'), 1, "no certificate"},
             Case{"list MY extra", 2, "too many"},
             Case{"--dir", 2, "--dir needs"},
         }) {
        ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args << ": " << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << c.args << ": " << run.out;
    }
    ToolRun help = Tool("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: quorlin-certstore"), std::string::npos);

    // A damaged database is an error, not an empty list.
    {
        std::FILE* f = std::fopen((dir + "/quorlin/certstore.db").c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fputs("this is not a database at all....", f);
        std::fclose(f);
    }
    std::error_code ec;
    fs::remove(dir + "/quorlin/certstore.db-wal", ec);
    fs::remove(dir + "/quorlin/certstore.db-shm", ec);
    ToolRun damaged = Tool("list");
    EXPECT_EQ(damaged.exitCode, 1) << damaged.out;
    EXPECT_NE(damaged.out.find("cannot use"), std::string::npos) << damaged.out;
}

}  // namespace
}  // namespace quorlin::test
