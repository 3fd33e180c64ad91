// quorlin-certstore over a store filled through the store interface: what each command
// prints and the exit codes of bad input.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "ExportFiles.h"
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

    // Adds a fixture under the Morvex provider, with link when given; its thumbprint.
    std::string Add(const std::string& fixture, std::u16string container, std::uint32_t keySpec,
                    const char16_t* storeName = u"MY", const keylink::Pkcs11Link* link = nullptr) {
        store::SqliteStoreApi api(dir + "/quorlin");
        store::HCERTSTORE store = api.CertOpenStore(10, 0, 0, 0x10000, storeName);
        x509::CertContext cert;
        cert.encoded = ReadFixture(fixture);
        std::u16string p = u"Morvex CSP Enterprise";
        x509::CryptKeyProvInfo info{container.data(), p.data(), 1, 0, 0, nullptr, keySpec};
        EXPECT_TRUE(api.CertSetCertificateContextProperty(&cert, 2, 0, &info) &&
                    api.CertAddCertificateContextToStore(store, &cert, 3, nullptr));
        EXPECT_TRUE(link == nullptr || api.RecordKeyLink(store, &cert, *link));
        api.CertCloseStore(store, 1);
        return store::SqliteStoreApi::Thumbprint(cert.encoded);
    }

    // stderrToo false: stdout alone, for what a program reads.
    ToolRun Tool(const std::string& args, bool stderrToo = true) {
        return Shell("{ XDG_DATA_HOME='" + dir + "' '" + tool + "' " + args + "; }" +
                     (stderrToo ? " 2>&1" : " 2>/dev/null"));
    }

    static ToolRun Shell(const std::string& command) {
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
                  "Issuer:      CN=Dora Wu,O=Quorlin Test", "Serial:      14:59:61:24:81:D9:8B:C7",
                  "Not before:  2024-01-01T00:00:00Z", "Not after:   2025-12-31T23:59:59Z",
                  "Public key:  EC P-256 (256 bits)", "Key usage:   digitalSignature, keyAgreement",
                  "Ext. usage:  clientAuth, emailProtection, msSmartcardLogin",
                  "SHA-1:       50:A6:2E:13:26:B7:D8:36:49:91:85:17:DC:BD:6A:65:C9:65:33:6C",
                  "SHA-256:     F2:94:1B:9F:D7:1D:C8:CF:36:C7:D5:F5:53:21:08:76:40:3B:AB:3E:DB:D4:"
                  "F1:8E:1A:BD:9D:17:52:1B:EF:61"}},
             Case{evan,
                  {"Public key:  RSA (2048 bits)", "Key usage:   -", "Ext. usage:  -",
                   "Not after:   2025-03-01T12:00:00Z"}},
         }) {
        ToolRun show = Tool("show " + c.thumbprint);
        EXPECT_EQ(show.exitCode, 0);
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(show.Says(line + "\n")) << line << " in " << show.out;
        }
    }
}

// list --json is what show prints, field by field, and what show --json prints.
TEST_F(CertstoreToolTest, ListJsonAgreesWithShow) {
    const keylink::Pkcs11Link link{"/usr/lib/morvex-pkcs11.so", "pkcs11:token=Dora;type=cert",
                                   "pkcs11:token=Dora;type=private"};
    const std::string dora = Add("ec-ku.der", u"Quorlin-Dora", 2, u"MY", &link);
    const std::string evan = Add("rsa-2048.der", u"Quorlin \"Evan\", \u00e9", 1, u"Other");
    ToolRun list = Tool("list --json", false);
    ASSERT_EQ(list.exitCode, 0);
    // ordered: the keys in the order the tool wrote them.
    const auto entries = nlohmann::ordered_json::parse(list.out, nullptr, false);
    ASSERT_TRUE(entries.is_array()) << list.out;
    ASSERT_EQ(entries.size(), 2u) << list.out;
    std::vector<std::string> seen;
    for (const auto& e : entries) {
        std::vector<std::string> keys;
        for (const auto& [key, value] : e.items()) {
            keys.push_back(key);
        }
        EXPECT_EQ(keys, (std::vector<std::string>{"store", "sha1", "sha256", "subject", "issuer",
                                                  "serial", "not_before", "not_after", "provider",
                                                  "container", "key_spec", "pkcs11"}));
        const std::string sha1 = e.value("sha1", "");
        seen.push_back(sha1);
        const std::string args = sha1 + " " + e.value("store", "");
        EXPECT_EQ(
            nlohmann::ordered_json::parse(Tool("show --json " + args, false).out, nullptr, false),
            nlohmann::ordered_json::array({e}));
        ToolRun show = Tool("show " + args);
        ASSERT_EQ(show.exitCode, 0) << show.out;
        const auto& p = e["pkcs11"];
        const std::string lines = p.is_null() ? "PKCS#11:     - (no key link)\n"
                                              : "PKCS#11:     " + p.value("module", "") +
                                                    "\nCert. URI:   " + p.value("certificate", "") +
                                                    "\nKey URI:     " + p.value("key", "") + "\n";
        EXPECT_TRUE(show.Says(lines)) << lines << " in " << show.out;
        std::string sha256 = e.value("sha256", "");
        EXPECT_EQ(sha256.size(), 64u);
        for (std::size_t k = 62; k > 0; k -= 2) {
            sha256.insert(k, ":");
        }
        for (const std::string& line :
             {"Store:       " + e.value("store", ""), "Thumbprint:  " + sha1,
              "SHA-256:     " + sha256, "Subject:     " + e.value("subject", ""),
              "Issuer:      " + e.value("issuer", ""), "Serial:      " + e.value("serial", ""),
              "Not before:  " + e.value("not_before", ""),
              "Not after:   " + e.value("not_after", ""), "Provider:    " + e.value("provider", ""),
              "Container:   " + e.value("container", ""),
              "Key spec:    " + std::to_string(e.value("key_spec", 0)) + " ("}) {
            EXPECT_TRUE(show.Says(line)) << line << " in " << show.out;
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{dora, evan}));
    EXPECT_EQ(entries[0]["not_after"], "2025-12-31T23:59:59Z");
    EXPECT_EQ(entries[0]["serial"], "14:59:61:24:81:D9:8B:C7");
    EXPECT_EQ(entries[0]["key_spec"], 2);
    EXPECT_EQ(entries[0]["pkcs11"], (nlohmann::ordered_json{{"module", link.module},
                                                            {"certificate", link.certificateUri},
                                                            {"key", link.keyUri}}));
    EXPECT_TRUE(entries[1]["pkcs11"].is_null());
    EXPECT_EQ(entries[1]["store"], "OTHER");
    EXPECT_EQ(entries[1]["container"], "Quorlin \"Evan\", \u00e9");
    EXPECT_EQ(Tool("list other --json", false).out.find(dora), std::string::npos);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What export writes, PEM or DER, one entry or all, reads back as the same certificate.
TEST_F(CertstoreToolTest, ExportsRoundTripThroughOpenssl) {
    const std::string alice = Add("alice-ec.der", u"Quorlin-Alice", 1);
    const std::string bob = Add("bob-ec.der", u"Quorlin-Bob", 2, u"Other");
    const auto fingerprint = [this](const std::string& path, const char* form) {
        const ToolRun run = Tool("--version >/dev/null; openssl x509 -inform " + std::string(form) +
                                 " -in '" + path + "' -noout -fingerprint -sha1");
        std::string hex;
        for (char c : run.out.substr(run.out.find('=') + 1)) {
            if (std::isxdigit(static_cast<unsigned char>(c))) {
                hex.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
            }
        }
        return run.exitCode == 0 ? hex : run.out;
    };
    struct Case {
        std::string args;
        std::vector<std::string> files;  // under out/, with the certificate each holds
        std::vector<std::string> thumbprints;
        const char* form;
    };
    const std::string out = dir + "/out", der = dir + "/der";
    for (const Case& c : {
             Case{"export --all " + out,
                  {out + "/MY-" + alice + ".pem", out + "/OTHER-" + bob + ".pem"},
                  {alice, bob},
                  "PEM"},
             Case{"export --der --all " + der + " other",
                  {der + "/OTHER-" + bob + ".der"},
                  {bob},
                  "DER"},
         }) {
        ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exitCode, 0) << c.args << ": " << run.out;
        std::size_t files = 0;
        for (const auto& f :
             fs::directory_iterator(c.files.front().substr(0, c.files.front().rfind('/')))) {
            ++files;
            (void)f;
        }
        EXPECT_EQ(files, c.files.size()) << c.args;
        for (std::size_t k = 0; k < c.files.size(); ++k) {
            EXPECT_EQ(fingerprint(c.files[k], c.form), c.thumbprints[k]) << c.files[k];
        }
    }
    EXPECT_EQ(fs::status(der).permissions() & fs::perms::all, fs::perms::owner_all);
    const std::vector<std::uint8_t> bobDer = ReadFixture("bob-ec.der");
    EXPECT_EQ(ReadFile(der + "/OTHER-" + bob + ".der"), std::string(bobDer.begin(), bobDer.end()));

    ToolRun single = Tool("export " + alice.substr(0, 6) + " --der > '" + dir + "/a.der'");
    EXPECT_EQ(single.exitCode, 0) << single.out;
    EXPECT_EQ(fingerprint(dir + "/a.der", "DER"), alice);
    EXPECT_EQ(Tool("export " + alice + " > '" + dir + "/a.pem'").exitCode, 0);
    EXPECT_EQ(fingerprint(dir + "/a.pem", "PEM"), alice);
}

// A name too long for a file is cut after a whole character and told apart by the hash
// of the whole, which a name that was not cut never ends in.
TEST(ExportFileNameTest, LongNamesAreCutAndKeptApart) {
    using exportfiles::FileNameOf;
    std::string seal;  // 憑 is 9 bytes escaped
    for (int k = 0; k < 80; ++k) {
        seal += "\xE6\x86\x91";
    }
    const std::string a240(240, 'a'), a241(241, 'a'), b241 = std::string(240, 'a') + "b";
    EXPECT_EQ(FileNameOf(a240), a240);
    for (const std::string& name : {a241, b241, "x" + seal}) {
        const std::string file = FileNameOf(name);
        EXPECT_LE(file.size(), 240u) << file;
        EXPECT_EQ(file.find("%-"), file.size() - 18) << file;
    }
    EXPECT_EQ(FileNameOf(a241).substr(0, 222), std::string(222, 'a'));
    EXPECT_NE(FileNameOf(a241), FileNameOf(b241));
    EXPECT_EQ(FileNameOf("x" + seal).substr(0, 217), FileNameOf("x" + seal.substr(0, 3 * 24)));
}

// Help and version as every tool has them; bad input or output gives a reason and a
// non-zero exit.
TEST_F(CertstoreToolTest, CommandLineConventionsAndBadInputOrOutput) {
    const std::string alice = Add("alice-ec.der", u"A", 1);
    struct Case {
        std::string args;
        int exitCode;
        std::string says;
    };
    const std::string missing = dir + "/missing", file = dir + "/quorlin/certstore.db",
                      shared = dir + "/shared", theirs = dir + "/theirs",
                      full = "cannot write to standard output",
                      tools = "--version; " + std::string(getenv("QUORLIN_BUILD_DIR") ?: ".") +
                              "/tools/",
                      cardsim = tools + "cardsim/quorlin-cardsim ",
                      card = tools + "card/quorlin-card ";
    Shell("mkdir -m 777 " + shared + "; mkdir " + theirs + "; chown 65534 " + theirs);
    for (const Case& c : {
             // help [COMMAND], as in git: on standard output, or a usage error.
             Case{"help 2>/dev/null", 0, "--all DIR"},
             Case{"help list 2>/dev/null", 0, "Usage: quorlin-certstore list [OPTIONS] [STORE]"},
             Case{"help show 2>/dev/null", 0, "show [OPTIONS] THUMBPRINT [STORE]\n"},
             Case{card + "frobnicate", 2, "quorlin-card: unknown command frobnicate"},
             Case{card + "certs --expires-within 1x", 2,
                  "DAYS must be a whole number of 0 or more"},
             Case{card + "--pin-fd 9 certs 9<&-", 2, "--pin-fd 9: no such open descriptor"},
             Case{card + "-r 0 readers", 2, "readers lists every reader: it takes no --reader"},
             Case{"--dir " + dir + " list my", 0, "No certificates in store my.\n"},
             Case{"help nope", 2, "quorlin-certstore: no command nope"},
             Case{card + "help certs 2>/dev/null", 0, "--expires-within DAYS"},
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
             Case{"export --all", 2, "--all needs"},
             Case{"export --all " + dir + "/out MY extra", 2, "too many"},
             Case{"list --der", 2, "unknown option"},
             Case{"show " + alice + " --der", 2, "unknown option"},
             // An explicit directory must be there and be one; a default one may be missing.
             Case{"--dir " + missing + " list", 1, missing + ": no such directory"},
             Case{"--dir " + missing + " show " + alice, 1, missing + ": no such directory"},
             Case{"--dir " + file + " list --json", 1, file + ": not a directory"},
             Case{"--dir " + dir + " list", 0, "No certificates.\n"},
             Case{"--dir " + dir + " list --json", 0, "[]\n"},
             Case{"--dir '" + dir + "/\x1b]0;t\x07' list", 1, dir + "/?]0;t?: no such directory"},
             Case{"export --all " + shared, 1, shared + ": group or others can write to it"},
             Case{"export --all " + theirs, 1, theirs + ": owned by another user"},
             // Output that never arrived, in every tool; a port outside 1..65535.
             Case{"list >/dev/full", 1, "quorlin-certstore: " + full},
             Case{"list --json >/dev/full", 1, full},
             Case{"show " + alice + " >/dev/full", 1, full},
             Case{"export " + alice + " >/dev/full", 1, full},
             Case{"--version >/dev/full", 1, full},
             Case{"remove " + alice + " >/dev/full", 1, full},
             Case{cardsim + "--help >/dev/full", 1, "quorlin-cardsim: " + full},
             Case{tools + "pcsc-readers/quorlin-pcsc-readers --help >/dev/full", 1,
                  "readers: " + full},
             Case{cardsim + "x.json --port abc", 2, "quorlin-cardsim: --port"},
             Case{cardsim + "x.json --port 65536", 2, "quorlin-cardsim: --port"},
         }) {
        ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args << ": " << run.out;
        EXPECT_TRUE(run.Says(c.says)) << c.args << ": " << run.out;
    }
    EXPECT_FALSE(fs::exists(missing));
    // The program's help shows every command's options, within 80 columns.
    const ToolRun help = Tool("--help 2>/dev/null");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"Usage: quorlin-certstore", "--json", "--der", "--all DIR"}) {
        EXPECT_TRUE(help.Says(part)) << part;
    }
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
    }
    // -V and -v are --version in every tool, as in quorlin; a command's help is its own.
    for (const std::string& program :
         {std::string(), cardsim, card, tools + "pcsc-readers/quorlin-pcsc-readers "}) {
        const ToolRun version = Tool(program + "-V");
        EXPECT_EQ(version.exitCode, 0) << program;
        EXPECT_EQ(version.out, Tool(program + "--version").out);
        EXPECT_EQ(version.out, Tool(program + "-v").out);
    }
    EXPECT_FALSE(Tool("help show").Says("Exit status"));

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
                               " store\n");
}

// Rows written by another hand: list shows the others and a line for each bad one; show
// and export of a bad one fail; nothing stored reaches the terminal as a control character,
// or a file name as it stands.
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
        row(carolThumbprint, carol, "char(27) || ']0;title' || char(7) || char(155) || 'x'") +
        ", " +
        row(carolThumbprint, carol, "'c'").replace(1, 4, "'./' || char(27) || char(10) || '%'");
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

    // Carol's subject is Chinese: two columns a character, whatever the user's locale.
    for (const char* locale : {"C", "C.UTF-8"}) {
        const ToolRun run = Shell(std::string("LC_ALL=") + locale + " XDG_DATA_HOME='" + dir +
                                  "' '" + tool + "' list 2>/dev/null");
        const auto columnOf = [](const std::string& line, std::size_t end) {
            std::size_t columns = 0;
            for (std::size_t k = 0; k < end; ++k) {
                const auto c = static_cast<unsigned char>(line[k]);
                columns += (c & 0xC0) != 0x80 ? 1 : 0;
                columns +=
                    c == 0xE4 || c == 0xE5 || c == 0xE6 || c == 0xE7 || c == 0xE8 || c == 0xE9
                        ? 1
                        : 0;  // U+4E00..U+9FFF, all wide
            }
            return columns;
        };
        const std::size_t header = run.out.find("NOT BEFORE");
        const std::size_t row = run.out.find(carolThumbprint);
        ASSERT_NE(row, std::string::npos) << run.out;
        const std::size_t rowStart = run.out.rfind('\n', row) + 1;
        const std::size_t date = run.out.find("  20", row) + 2;
        EXPECT_EQ(columnOf(run.out.substr(rowStart), date - rowStart), columnOf(run.out, header))
            << locale << ":\n"
            << run.out;
    }

    // In JSON a damaged entry is an object with its problem; stored text is valid UTF-8.
    ToolRun json = Tool("list --json", false);
    EXPECT_EQ(json.exitCode, 0);
    const nlohmann::json entries = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_TRUE(entries.is_array()) << json.out;
    EXPECT_EQ(entries.size(), 7u);
    std::size_t errors = 0;
    for (const nlohmann::json& e : entries) {
        if (e.contains("error")) {
            ++errors;
            EXPECT_EQ(e.size(), 3u) << e.dump();
            EXPECT_NE(e.value("error", "").find("certificate"), std::string::npos);
        } else if (e["sha1"] == carolThumbprint && e["store"] == "MY") {
            EXPECT_EQ(e["container"], "?]0;title??x");
        }
    }
    EXPECT_EQ(errors, 3u);

    // export --all writes the whole ones and names the rest.
    ToolRun all = Tool("export --all '" + dir + "/all'");
    EXPECT_EQ(all.exitCode, 1) << all.out;
    EXPECT_TRUE(all.Says("entry " + wrong + " in store MY is damaged")) << all.out;
    for (const std::string& good : {alice, bob, carolThumbprint}) {
        EXPECT_TRUE(fs::exists(dir + "/all/MY-" + good + ".pem")) << good;
    }
    EXPECT_FALSE(fs::exists(dir + "/all/MY-" + garbage + ".pem"));
    EXPECT_TRUE(fs::exists(dir + "/all/%2E%2F%1B%0A%25-" + carolThumbprint + ".pem")) << all.out;
}

}  // namespace
}  // namespace quorlin::test
