// quorlin-certstore over a store filled through the store interface: what each command
// prints and the exit codes of bad input.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Hex.h"
#include "fakes/CertFixtures.h"
#include "fakes/TempDir.h"
#include "platform/store/SqliteStoreApi.h"

namespace quorlin::test {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int exitCode;
    std::string out;  // stdout and stderr
    bool Says(const std::string& text) const { return out.find(text) != std::string::npos; }
};

class CertstoreToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(tool)) {
            GTEST_SKIP() << "quorlin-certstore not built";
        }
    }

    // Adds a fixture under the Morvex provider; its thumbprint.
    std::string Add(const std::string& fixture, std::u16string container, std::uint32_t keySpec,
                    const char16_t* storeName = u"MY") {
        store::SqliteStoreApi api(dir + "/quorlin");
        store::HCERTSTORE store = api.CertOpenStore(10, 0, 0, 0x10000, storeName);
        x509::CertContext cert;
        cert.encoded = ReadFixture(fixture);
        std::u16string p = u"Morvex CSP Enterprise";
        x509::CryptKeyProvInfo info{container.data(), p.data(), 1, 0, 0, nullptr, keySpec};
        EXPECT_TRUE(api.CertSetCertificateContextProperty(&cert, 2, 0, &info) &&
                    api.CertAddCertificateContextToStore(store, &cert, 3, nullptr));
        api.CertCloseStore(store, 1);
        return store::SqliteStoreApi::Thumbprint(cert.encoded);
    }

    ToolRun Tool(const std::string& args) {
        const std::string command = "XDG_DATA_HOME='" + dir + "' '" + tool + "' " + args + " 2>&1";
        FILE* p = popen(command.c_str(), "r");
        ToolRun run{-1, ""};
        char buf[512];
        for (std::size_t n = 0; (n = fread(buf, 1, sizeof buf, p)) > 0;) {
            run.out.append(buf, n);
        }
        const int status = pclose(p);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    TempDir tmp{"quorlin-tool"};
    const std::string dir = tmp.Path();
    std::string tool =
        std::string(getenv("QUORLIN_BUILD_DIR") ?: ".") + "/tools/certstore/quorlin-certstore";
};

TEST_F(CertstoreToolTest, ListShowExportRemove) {
    EXPECT_EQ(Tool("list").out, "No certificates.\n");  // no database yet: nothing, no error
    EXPECT_FALSE(fs::exists(dir + "/quorlin"));

    const std::string alice = Add("alice-ec.der", u"Quorlin-Alice", 1);
    const std::string bob = Add("bob-ec.der", u"Quorlin-Bob", 2);
    Add("alice-ec.der", u"Quorlin-Alice", 2, u"Other");

    ToolRun list = Tool("list my");
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_TRUE(list.Says("THUMBPRINT"));
    const std::size_t aliceLine = list.out.find(alice);
    ASSERT_NE(aliceLine, std::string::npos) << list.out;
    const std::string line = list.out.substr(aliceLine, list.out.find('\n', aliceLine) - aliceLine);
    for (const char* part : {"CN=Alice Chen,O=Quorlin Test", "Morvex CSP Enterprise",
                             "Quorlin-Alice", "1 (exchange)", "20"}) {
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    }
    EXPECT_TRUE(list.Says("2 (signature)"));
    EXPECT_FALSE(list.Says("OTHER"));
    EXPECT_TRUE(Tool("list").Says("OTHER"));

    ToolRun show = Tool("show " + bob.substr(0, 8));
    EXPECT_EQ(show.exitCode, 0);
    for (std::string line : {"Thumbprint:  " + bob, std::string("Container:   Quorlin-Bob"),
                             std::string("Key spec:    2 (signature)")}) {
        EXPECT_TRUE(show.Says(line)) << line << " in " << show.out;
    }

    ToolRun pem = Tool("export " + bob);
    EXPECT_EQ(pem.exitCode, 0);
    EXPECT_EQ(pem.out.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u) << pem.out;
    EXPECT_TRUE(pem.Says("-----END CERTIFICATE-----\n"));

    ToolRun removed = Tool("remove " + alice + " OTHER");
    EXPECT_EQ(removed.exitCode, 0) << removed.out;
    EXPECT_FALSE(Tool("list").Says("OTHER"));
    EXPECT_EQ(Tool("remove " + alice + " OTHER").exitCode, 1);
    EXPECT_EQ(Tool("show " + alice).exitCode, 0);
}

// show prints the fields of the dialog's details decoder in their one text form.
TEST_F(CertstoreToolTest, ShowPrintsTheCertificateDetails) {
    const std::string dora = Add("ec-ku.der", u"Quorlin-Dora", 2);
    const std::string evan = Add("rsa-2048.der", u"Quorlin-Evan", 1);
    struct Case {
        std::string thumbprint;
        std::vector<std::string> lines;
    };
    for (const Case& c : {
             Case{
                 dora,
                 {"Subject:     CN=Dora Wu,O=Quorlin Test",
                  "Issuer:      CN=Dora Wu,O=Quorlin Test", "Serial:      9D:B0:39:9E:89:E9:41:F2",
                  "Not before:  2024-01-01 00:00:00 UTC", "Not after:   2025-12-31 23:59:59 UTC",
                  "Public key:  EC P-256 (256 bits)", "Key usage:   digitalSignature, keyAgreement",
                  "Ext. usage:  clientAuth, emailProtection, msSmartcardLogin",
                  "SHA-1:       E1:2C:71:C6:18:02:CD:9A:89:9E:35:87:6B:CF:1E:9A:1B:3C:66:1D",
                  "SHA-256:     AF:D3:51:BE:74:1E:D9:57:7C:67:B6:3D:DD:1D:76:7C:6A:A6:E5:92:11:32:"
                  "40:1B:14:5B:CC:F1:5B:90:CD:09"}},
             Case{evan,
                  {"Public key:  RSA (2048 bits)", "Key usage:   -", "Ext. usage:  -",
                   "Not after:   2025-03-01 12:00:00 UTC"}},
         }) {
        ToolRun show = Tool("show " + c.thumbprint);
        EXPECT_EQ(show.exitCode, 0);
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(show.Says(line + "\n")) << line << " in " << show.out;
        }
    }
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
             Case{"show 1234 MY extra", 2, "too many"},
             Case{"list --bogus", 2, "unknown option"},
             Case{"--dir", 2, "--dir needs"},
         }) {
        ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args << ": " << run.out;
        EXPECT_TRUE(run.Says(c.says)) << c.args << ": " << run.out;
    }
    EXPECT_EQ(Tool("--help").exitCode, 0);
    EXPECT_TRUE(Tool("--help").Says("Usage: quorlin-certstore"));

    // A damaged database is an error, not an empty list.
    {
        std::FILE* f = std::fopen((dir + "/quorlin/certstore.db").c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fputs("this is not a database at all....", f);
        std::fclose(f);
    }
    fs::remove(dir + "/quorlin/certstore.db-wal");
    fs::remove(dir + "/quorlin/certstore.db-shm");
    ToolRun damaged = Tool("list");
    EXPECT_EQ(damaged.exitCode, 1) << damaged.out;
    EXPECT_EQ(damaged.out, "quorlin-certstore: cannot use " + dir +
                               "/quorlin/certstore.db: damaged, or not a Quorlin certificate"
                               " store (0x80070570)\n");
}

// Rows written by another hand: list shows the others and a line for each bad one; show
// and export of a bad one fail; nothing stored reaches the terminal as a control character.
TEST_F(CertstoreToolTest, DamagedEntriesAreNamedAndTheRestShown) {
    const std::string alice = Add("alice-ec.der", u"Quorlin-Alice", 1);
    const std::string bob = Add("bob-ec.der", u"Quorlin-Bob", 2);
    const std::vector<std::uint8_t> carol = ReadFixture("carol-big5.der");
    const std::vector<std::uint8_t> cut(carol.begin(), carol.begin() + 100);
    const std::string garbage(40, 'A'), cutShort = store::SqliteStoreApi::Thumbprint(cut),
                                        wrong(40, 'B'),
                                        carolThumbprint = store::SqliteStoreApi::Thumbprint(carol);
    auto row = [](const std::string& thumbprint, const std::vector<std::uint8_t>& der,
                  const std::string& container) {
        return "('MY', '" + thumbprint + "', X'" + base::HexString(der) + "', " + container +
               ", 'P', 1, 0, 2, 0)";
    };
    const std::string sql =
        "INSERT INTO certificates (store, thumbprint, der, container, provider, prov_type,"
        " prov_flags, key_spec, added) VALUES " +
        row(garbage, {0xDE, 0xAD}, "'c'") + ", " + row(cutShort, cut, "'c'") + ", " +
        row(wrong, carol, "'c'") + ", " +
        row(carolThumbprint, carol, "char(27) || ']0;title' || char(7) || char(155) || 'x'");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/quorlin/certstore.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);

    ToolRun list = Tool("list");
    EXPECT_EQ(list.exitCode, 0) << list.out;
    for (const std::string& good : {alice, bob, carolThumbprint}) {
        EXPECT_TRUE(list.Says("MY     " + good)) << good << " in " << list.out;
    }
    for (const std::string& line :
         {"entry " + garbage +
              " in store MY is damaged: the stored bytes (2) are not one whole"
              " certificate\n",
          "entry " + cutShort +
              " in store MY is damaged: the stored bytes (100) are not one"
              " whole certificate\n",
          "entry " + wrong +
              " in store MY is damaged: the stored certificate does not match"
              " its thumbprint\n"}) {
        EXPECT_TRUE(list.Says("quorlin-certstore: " + line)) << line << " in " << list.out;
    }
    EXPECT_TRUE(list.Says("?]0;title??x")) << list.out;
    EXPECT_EQ(list.out.find_first_of("\x1b\x07"), std::string::npos);
    EXPECT_FALSE(list.Says("\xc2\x9b"));

    for (const std::string& args : {"show " + garbage, "export " + cutShort, "export " + wrong}) {
        ToolRun run = Tool(args);
        EXPECT_EQ(run.exitCode, 1) << args << ": " << run.out;
        EXPECT_TRUE(run.Says("is damaged: ")) << args << ": " << run.out;
        EXPECT_FALSE(run.Says("Subject:") || run.Says("BEGIN")) << args << ": " << run.out;
    }
    EXPECT_EQ(Tool("show " + alice).exitCode, 0);
    EXPECT_EQ(Tool("export " + carolThumbprint).exitCode, 0);
}

}  // namespace
}  // namespace quorlin::test
