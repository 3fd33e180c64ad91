// The provider registry and the card-backed provider: which provider files count, what a
// container open sends to the card, and the errors every failure leaves behind.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/EnginePcsc.h"
#include "fakes/ScriptedPcsc.h"
#include "platform/LastError.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/crypt/ProviderRegistry.h"

namespace quorlin::test {
namespace {

namespace fs = std::filesystem;
using crypt::CardCryptApi;
using crypt::HCRYPTKEY;
using crypt::HCRYPTPROV;
using crypt::ProviderRegistry;

constexpr const char* kMorvex = "Morvex CSP Enterprise";
constexpr const char* kUlvane = "Ulvane CSP Enterprise";
constexpr const char* kUlvaneProvider = "Ulvane Cryptographic Service Provider";

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "quorlin-crypt-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void Write(const std::string& relative, const std::string& text) const {
        fs::create_directories((fs::path(path) / relative).parent_path());
        std::ofstream(fs::path(path) / relative) << text;
    }
    std::string path;
};

// The registry this build installs, as copied into the build tree.
std::string BuildShare() {
    return Env("QUORLIN_BUILD_DIR") + "/share";
}

// The container lookup for a name: the 36-byte record, zero padded.
std::string Lookup(const std::string& name) {
    Bytes record(36, 0);
    std::copy(name.begin(), name.end(), record.begin());
    return "00 7E 00 00 24 " + ToHex(record);
}

TEST(ProviderRegistryTest, InstalledFilesNameTheThreeProvidersWithTheirApplets) {
    ProviderRegistry registry({BuildShare()});
    auto morvex = registry.Find(kMorvex);
    auto ulvane = registry.Find(kUlvane);
    auto provider = registry.Find(kUlvaneProvider);
    ASSERT_TRUE(morvex && ulvane && provider);
    EXPECT_EQ(ulvane->type, 1u);
    ASSERT_EQ(ulvane->aids.size(), 1u);
    EXPECT_EQ(ToHex(ulvane->aids[0]), "A0 00 00 01 72 95 01 02");
    ASSERT_EQ(provider->aids.size(), 1u);
    EXPECT_EQ(ToHex(provider->aids[0]), "A0 00 00 01 72 95 01 01");
    ASSERT_EQ(morvex->aids.size(), 3u);
    std::vector<std::string> aids;
    for (const auto& aid : morvex->aids) {
        aids.push_back(ToHex(aid));
    }
    std::sort(aids.begin(), aids.end());
    EXPECT_EQ(aids, (std::vector<std::string>{"A0 00 00 01 72 95 01 01", "A0 00 00 01 72 95 01 02",
                                              "A0 00 00 01 72 95 01 03"}));
    EXPECT_FALSE(registry.Find("Unknown CSP"));
    EXPECT_TRUE(registry.Find("morvex csp enterprise"));  // names ignore case
}

TEST(ProviderRegistryTest, EarlierDirectoriesWinAndBrokenFilesAreSkipped) {
    TempDir home, system;
    home.Write("quorlin/providers/mine.conf",
               "name=Morvex CSP Enterprise\ntype=1\naid=A0 00 00 01 "
               "72 95 09 09\n");
    home.Write("quorlin/providers/broken.conf", "name=Broken CSP\ntype=one\n");
    home.Write("quorlin/providers/no-equals.conf", "name=Odd CSP\ntype=1\njunk line\n");
    home.Write("quorlin/providers/short-aid.conf", "name=Short CSP\ntype=1\naid=A0 00\n");
    home.Write("quorlin/providers/ignored.txt", "name=Txt CSP\ntype=1\n");
    system.Write("quorlin/providers/morvex.conf", "name=Morvex CSP Enterprise\ntype=1\n");
    system.Write("quorlin/providers/other.conf",
                 "# comment\n  name = Other CSP  \ntype=24\nfuture=1\n");
    system.Write("quorlin/providers/huge.conf",
                 "name=Huge CSP\ntype=1\n#" + std::string(20000, 'x') + "\n");

    ProviderRegistry registry({home.path, "/nonexistent", system.path});
    auto morvex = registry.Find(kMorvex);
    ASSERT_TRUE(morvex);
    ASSERT_EQ(morvex->aids.size(), 1u);
    EXPECT_EQ(ToHex(morvex->aids[0]), "A0 00 00 01 72 95 09 09");
    EXPECT_EQ(morvex->file, home.path + "/quorlin/providers/mine.conf");
    auto other = registry.Find("Other CSP");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->type, 24u);
    for (const char* name : {"Broken CSP", "Odd CSP", "Short CSP", "Txt CSP", "Huge CSP"}) {
        EXPECT_FALSE(registry.Find(name)) << name;
    }
}

TEST(ProviderRegistryTest, DirectoriesComeFromTheXdgVariables) {
    const std::string savedHome = Env("XDG_DATA_HOME");
    const std::string savedDirs = Env("XDG_DATA_DIRS");
    const std::string savedUserHome = Env("HOME");

    setenv("XDG_DATA_HOME", "/data/home", 1);
    setenv("XDG_DATA_DIRS", "/a:relative:/b::/a", 1);
    EXPECT_EQ(ProviderRegistry::DataDirsFromEnvironment(),
              (std::vector<std::string>{"/data/home", "/a", "/b"}));

    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_DATA_DIRS");
    setenv("HOME", "/home/someone", 1);
    auto dirs = ProviderRegistry::DataDirsFromEnvironment();
    ASSERT_GE(dirs.size(), 3u);
    EXPECT_EQ(dirs.front(), "/home/someone/.local/share");
    EXPECT_NE(std::find(dirs.begin(), dirs.end(), "/usr/local/share"), dirs.end());
    EXPECT_EQ(dirs.back(), "/usr/share");

    setenv("XDG_DATA_HOME", savedHome.c_str(), 1);
    setenv("XDG_DATA_DIRS", savedDirs.c_str(), 1);
    setenv("HOME", savedUserHome.c_str(), 1);
    if (savedHome.empty()) {
        unsetenv("XDG_DATA_HOME");
    }
    if (savedDirs.empty()) {
        unsetenv("XDG_DATA_DIRS");
    }
}

// The demo card: a Morvex applet under T=0 with Quorlin-Alice (both keys), Quorlin-Spare
// (exchange), Quorlin-Bob (signature) and Quorlin-Carol (exchange).
class CardCryptTest : public ::testing::Test {
  protected:
    EnginePcsc pcsc{"demo.json"};
    CardCryptApi api{pcsc, ProviderRegistry({BuildShare()})};

    bool Open(const char* container, const char* provider, HCRYPTPROV* prov) {
        return api.CryptAcquireContextA(prov, container, provider, crypt::kProvRsaFull, 0);
    }
    void ExpectCardLetGo() const {
        EXPECT_EQ(pcsc.connectedCard, 0u);
        EXPECT_EQ(pcsc.connects, pcsc.disconnects);
        EXPECT_EQ(pcsc.openContexts, pcsc.releasedContexts);
        EXPECT_EQ(pcsc.outstandingReaderLists, 0);
    }
};

TEST_F(CardCryptTest, VerifyContextNeedsNoCard) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(api.CryptAcquireContextA(&prov, nullptr, kUlvane, crypt::kProvRsaFull,
                                         crypt::kCryptVerifyContext));
    EXPECT_NE(prov, 0u);
    EXPECT_TRUE(pcsc.calls.empty());
    HCRYPTKEY key = 0;
    EXPECT_FALSE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_EQ(GetLastError(), crypt::kNteNoKey);
    EXPECT_TRUE(api.CryptReleaseContext(prov, 0));
    EXPECT_EQ(api.OpenContexts(), 0u);
}

TEST_F(CardCryptTest, RegistryAndArgumentErrors) {
    HCRYPTPROV prov = 7;
    EXPECT_FALSE(api.CryptAcquireContextA(&prov, nullptr, "No Such CSP", crypt::kProvRsaFull,
                                          crypt::kCryptVerifyContext));
    EXPECT_EQ(GetLastError(), crypt::kNteKeysetNotDef);
    EXPECT_EQ(prov, 0u);
    EXPECT_FALSE(api.CryptAcquireContextA(&prov, nullptr, kMorvex, 24, crypt::kCryptVerifyContext));
    EXPECT_EQ(GetLastError(), crypt::kNteProvTypeNoMatch);
    EXPECT_FALSE(api.CryptAcquireContextA(&prov, "Quorlin-Alice", kMorvex, crypt::kProvRsaFull,
                                          0x8 /* new keyset */));
    EXPECT_EQ(GetLastError(), crypt::kNteBadFlags);
    EXPECT_FALSE(api.CryptAcquireContextA(&prov, "Quorlin-Alice", kMorvex, crypt::kProvRsaFull,
                                          crypt::kCryptVerifyContext));
    EXPECT_EQ(GetLastError(), crypt::kNteBadKeysetParam);
    EXPECT_FALSE(api.CryptAcquireContextA(nullptr, nullptr, kMorvex, crypt::kProvRsaFull, 0));
    EXPECT_EQ(GetLastError(), crypt::kErrorInvalidParameter);
    // No default container, and no name longer than a record: the card is not asked.
    EXPECT_FALSE(Open(nullptr, kMorvex, &prov));
    EXPECT_EQ(GetLastError(), crypt::kNteBadKeyset);
    EXPECT_FALSE(Open(std::string(37, 'A').c_str(), kMorvex, &prov));
    EXPECT_EQ(GetLastError(), crypt::kNteBadKeyset);
    EXPECT_TRUE(pcsc.calls.empty());
    EXPECT_EQ(api.OpenContexts(), 0u);
}

TEST_F(CardCryptTest, OpeningAContainerAsksTheCardInASharedConnectionAndLetsItGo) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Open("Quorlin-Bob", kMorvex, &prov));
    ExpectCardLetGo();
    EXPECT_EQ(pcsc.establishedScopes, (std::vector<std::uint32_t>{pcsc::kScopeUser}));
    ASSERT_EQ(pcsc.connects, 1);
    EXPECT_NE(std::find(pcsc.calls.begin(), pcsc.calls.end(),
                        "SCardConnectA:" + pcsc.readers[0] + ":2:3"),
              pcsc.calls.end());
    EXPECT_NE(std::find(pcsc.calls.begin(), pcsc.calls.end(), "SCardDisconnect:0"),
              pcsc.calls.end());

    // T=0: each command with data is followed by GET RESPONSE for what the card has.
    std::vector<std::string> sent;
    for (const Bytes& c : pcsc.commands) {
        if (c.size() >= 2 && c[1] != 0xC0) {
            sent.push_back(ToHex(c));
        }
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"00 A4 04 00 08 A0 00 00 01 72 95 01 03",
                                              "00 A4 02 00 02 80 10", Lookup("Quorlin-Bob")}));

    HCRYPTKEY key = 0;
    EXPECT_TRUE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_NE(key, 0u);
    EXPECT_TRUE(api.CryptDestroyKey(key));
    EXPECT_FALSE(api.CryptGetUserKey(prov, crypt::kAtKeyExchange, &key));
    EXPECT_EQ(GetLastError(), crypt::kNteNoKey);
    // Key answers come from the lookup: no further card traffic.
    const std::size_t commands = pcsc.commands.size();
    HCRYPTPROV alice = 0;
    ASSERT_TRUE(Open("Quorlin-Alice", kMorvex, &alice));
    EXPECT_TRUE(api.CryptGetUserKey(alice, crypt::kAtSignature, &key));
    EXPECT_TRUE(api.CryptGetUserKey(alice, crypt::kAtKeyExchange, &key));
    HCRYPTPROV carol = 0;
    ASSERT_TRUE(Open("Quorlin-Carol", kMorvex, &carol));
    EXPECT_FALSE(api.CryptGetUserKey(carol, crypt::kAtSignature, &key));
    EXPECT_TRUE(api.CryptGetUserKey(carol, crypt::kAtKeyExchange, &key));
    EXPECT_GT(pcsc.commands.size(), commands);
    ExpectCardLetGo();
}

TEST_F(CardCryptTest, ProviderOnlyTriesItsOwnApplets) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(Open("Quorlin-Bob", kUlvane, &prov));
    EXPECT_EQ(GetLastError(), pcsc::kENoSmartcard);
    ASSERT_EQ(pcsc.commands.size(), 1u);  // one SELECT, refused with 6A 82
    EXPECT_EQ(ToHex(pcsc.commands[0]), "00 A4 04 00 08 A0 00 00 01 72 95 01 02");
    ExpectCardLetGo();
}

TEST_F(CardCryptTest, UnknownContainerIsBadKeyset) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(Open("Quorlin-Nobody", kMorvex, &prov));
    EXPECT_EQ(GetLastError(), crypt::kNteBadKeyset);
    EXPECT_EQ(api.OpenContexts(), 0u);
    ExpectCardLetGo();
}

TEST_F(CardCryptTest, SecondReaderIsTriedWhenTheFirstCannotBeHad) {
    pcsc.readers = {"Busy Reader", pcsc.readers[0]};
    pcsc.failures["SCardConnectA"] = pcsc::kESharingViolation;
    pcsc.failTimes["SCardConnectA"] = 1;
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Open("Quorlin-Alice", kMorvex, &prov));
    ExpectCardLetGo();
}

TEST(CardCryptFailureTest, PcscFailuresAreTheLastError) {
    struct Case {
        const char* call;
        std::uint32_t code;
    };
    for (Case c : {Case{"SCardEstablishContext", pcsc::kENoService},
                   Case{"SCardListReadersA", pcsc::kENoReadersAvailable},
                   Case{"SCardConnectA", pcsc::kENoSmartcard},
                   Case{"SCardConnectA", pcsc::kESharingViolation},
                   Case{"SCardTransmit", pcsc::kWRemovedCard}}) {
        EnginePcsc pcsc("demo.json");
        pcsc.failures[c.call] = c.code;
        CardCryptApi api(pcsc, ProviderRegistry({BuildShare()}));
        HCRYPTPROV prov = 0;
        SetLastError(0);
        EXPECT_FALSE(
            api.CryptAcquireContextA(&prov, "Quorlin-Alice", kMorvex, crypt::kProvRsaFull, 0));
        EXPECT_EQ(GetLastError(), c.code) << c.call;
        EXPECT_EQ(pcsc.connects, pcsc.disconnects) << c.call;
        EXPECT_EQ(pcsc.openContexts, pcsc.releasedContexts) << c.call;
    }
}

TEST(CardCryptFailureTest, LookupAnswersThatCannotBeTrustedAreBadKeyset) {
    struct Case {
        const char* name;
        std::vector<std::string> answers;  // SELECT AID, SELECT 8010, lookup
        std::uint32_t error;
    };
    const std::string zeros42 = [] {
        std::string s;
        for (int k = 0; k < 42; ++k) {
            s += "00 ";
        }
        return s;
    }();
    for (const Case& c : {
             Case{"short reply", {"90 00", "90 00", "51 75 6F 72 90 00"}, crypt::kNteBadKeyset},
             Case{"42 bytes", {"90 00", "90 00", zeros42 + "90 00"}, crypt::kNteBadKeyset},
             Case{"lookup refused", {"90 00", "90 00", "6A 88"}, crypt::kNteBadKeyset},
             Case{"no directory", {"90 00", "6A 82"}, crypt::kNteBadKeyset},
             Case{"no status word", {"90 00", "90 00", "90"}, pcsc::kECommError},
         }) {
        ScriptedPcsc pcsc;
        for (const std::string& a : c.answers) {
            pcsc.Queue(a);
        }
        CardCryptApi api(pcsc, ProviderRegistry({BuildShare()}));
        HCRYPTPROV prov = 0;
        EXPECT_FALSE(api.CryptAcquireContextA(&prov, "X", kUlvane, crypt::kProvRsaFull, 0))
            << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_EQ(pcsc.connectedCard, 0u) << c.name;
    }

    // 43 bytes with only the exchange key's file: exactly that key.
    ScriptedPcsc pcsc;
    pcsc.Queue("90 00");
    pcsc.Queue("90 00");
    pcsc.Queue(zeros42.substr(0, 39 * 3) + "00 00 80 02 90 00");
    CardCryptApi api(pcsc, ProviderRegistry({BuildShare()}));
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(api.CryptAcquireContextA(&prov, "X", kUlvane, crypt::kProvRsaFull, 0));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_TRUE(api.CryptGetUserKey(prov, crypt::kAtKeyExchange, &key));
    // T=1: the lookup carries its Le byte, and the record is zero padded to 36 bytes.
    ASSERT_EQ(pcsc.commands.size(), 3u);
    EXPECT_EQ(pcsc.commands[2].size(), 5u + 36u + 1u);
    EXPECT_EQ(pcsc.commands[2][5], 'X');
    EXPECT_EQ(pcsc.commands[2][6], 0);
}

TEST_F(CardCryptTest, HandlesAreCheckedAndKeysEndWithTheirContext) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Open("Quorlin-Alice", kMorvex, &prov));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_FALSE(api.CryptGetUserKey(prov, 3, &key));
    EXPECT_EQ(GetLastError(), crypt::kNteBadKey);
    EXPECT_FALSE(api.CryptGetUserKey(prov, crypt::kAtSignature, nullptr));
    EXPECT_EQ(GetLastError(), crypt::kErrorInvalidParameter);
    EXPECT_FALSE(api.CryptGetUserKey(prov + 1, crypt::kAtSignature, &key));
    EXPECT_EQ(GetLastError(), crypt::kNteBadUid);
    EXPECT_FALSE(api.CryptReleaseContext(prov, 1));
    EXPECT_EQ(GetLastError(), crypt::kNteBadFlags);

    ASSERT_TRUE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_TRUE(api.CryptReleaseContext(prov, 0));
    EXPECT_EQ(api.OpenKeys(), 0u);  // the key went with its context
    EXPECT_FALSE(api.CryptDestroyKey(key));
    EXPECT_EQ(GetLastError(), crypt::kErrorInvalidParameter);
    EXPECT_FALSE(api.CryptReleaseContext(prov, 0));
    EXPECT_EQ(GetLastError(), crypt::kNteBadUid);
    EXPECT_FALSE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_EQ(GetLastError(), crypt::kNteBadUid);
}

}  // namespace
}  // namespace quorlin::test
