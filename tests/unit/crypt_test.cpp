// The provider registry and the card-backed provider: which provider files count, what a
// container open sends to the card, and the errors every failure leaves behind.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fakes/EnginePcsc.h"
#include "fakes/ScriptedPcsc.h"
#include "fakes/TempDir.h"
#include "interfaces/LastError.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/crypt/ProviderRegistry.h"

namespace quorlin::test {
namespace {

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

// Where the registry looks for provider files under a data directory.
const std::string kProviders = "quorlin/providers/";

// The registry this build installs, as copied into the build tree.
ProviderRegistry BuildRegistry() {
    return ProviderRegistry({Env("QUORLIN_BUILD_DIR") + "/share"});
}

std::vector<std::string> SortedAids(const std::optional<crypt::ProviderInfo>& provider) {
    std::vector<std::string> out;
    for (const auto& aid : provider ? provider->aids : std::vector<Bytes>{}) {
        out.push_back(ToHex(aid));
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(ProviderRegistryTest, InstalledFilesNameTheThreeProvidersWithTheirApplets) {
    const ProviderRegistry registry = BuildRegistry();
    const std::string aid = "A0 00 00 01 72 95 01 0";
    EXPECT_EQ(SortedAids(registry.Find(kUlvane)), (std::vector<std::string>{aid + "2"}));
    EXPECT_EQ(SortedAids(registry.Find(kUlvaneProvider)), (std::vector<std::string>{aid + "1"}));
    EXPECT_EQ(SortedAids(registry.Find("morvex csp enterprise")),  // names ignore case
              (std::vector<std::string>{aid + "1", aid + "2", aid + "3"}));
    EXPECT_EQ(registry.Find(kUlvane)->type, 1u);
    EXPECT_FALSE(registry.Find("Unknown CSP"));
}

// Each file that cannot be used is a problem, with why; none keeps the others from being
// found.
TEST(ProviderRegistryTest, EarlierDirectoriesWinAndFilesThatCannotBeUsedAreProblems) {
    TempDir home{"quorlin-crypt"}, system{"quorlin-crypt"};
    home.Write(kProviders + "mine.conf",
               "name=Morvex CSP Enterprise\ntype=1\naid=A0 00 00 01 72 95 09 09\n");
    home.Write(kProviders + "ignored.txt", "name=Txt CSP\ntype=1\n");
    system.Write(kProviders + "morvex.conf", "name=Morvex CSP Enterprise\ntype=1\n");
    system.Write(kProviders + "other.conf",
                 "# comment\n  name = Other CSP  \ntype=24\nfuture=1\npkcs11_module=vendor.so\n");
    const std::string dir = home.Join(kProviders);
    ASSERT_EQ(symlink((dir + "nothing").c_str(), (dir + "g.conf").c_str()), 0);
    ASSERT_TRUE(std::filesystem::create_directory(dir + "h.conf"));
    ASSERT_EQ(mkfifo((dir + "i.conf").c_str(), 0600), 0);
    std::vector<crypt::ProviderProblem> want;
    for (auto [file, text, reason] : {
             std::tuple<std::string, std::string, std::string>{"a.conf", "nmae=Typo CSP\ntype=1\n",
                                                               "unknown key 'nmae' on line 1"},
             {"b.conf", "name=Broken CSP\ntype=abc\n", "type is not a number: abc"},
             {"c.conf", "name=Odd CSP\ntype=1\njunk line\n", "no '=' on line 3"},
             {"d.conf", "name=Short CSP\ntype=1\naid=A0 00\n",
              "aid is not 5 to 16 hex bytes on line 3: A0 00"},
             {"e.conf", "# no name\ntype=1\n", "no name"},
             {"e2.conf", "name=Vendor CSP\ntype=1\npkcs11_module=lib/x.so\n",
              "pkcs11_module is neither an absolute path nor a file name on line 3: lib/x.so"},
             {"f.conf", "name=Huge CSP\ntype=1\n#" + std::string(20000, 'x') + "\n",
              "is larger than 16384 bytes"},
             {"g.conf", "", "dangling link"},
             {"h.conf", "", "is a directory"},
             {"i.conf", "", "is not a regular file"},
         }) {
        if (!text.empty()) {
            home.Write(kProviders + file, text);
        }
        want.push_back({dir + file, reason});
    }

    ProviderRegistry registry({home.Path(), "/nonexistent", system.Path()});
    EXPECT_EQ(SortedAids(registry.Find(kMorvex)),
              (std::vector<std::string>{"A0 00 00 01 72 95 09 09"}));
    EXPECT_EQ(registry.Find(kMorvex)->file, dir + "mine.conf");
    ASSERT_TRUE(registry.Find("Other CSP"));
    EXPECT_EQ(registry.Find("Other CSP")->type, 24u);
    EXPECT_EQ(registry.Find("Other CSP")->pkcs11Module, "vendor.so");
    EXPECT_EQ(registry.All().size(), 2u);  // the files that win: mine.conf and other.conf
    EXPECT_FALSE(registry.Find("Txt CSP"));
    const std::vector<crypt::ProviderProblem> problems = registry.Problems();
    ASSERT_EQ(problems.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(problems[k].file, want[k].file);
        EXPECT_EQ(problems[k].reason, want[k].reason) << want[k].file;
    }
}

TEST(ProviderRegistryTest, DirectoriesGoUserThenSystemConfigurationThenDataThenTheProgramsOwn) {
    using Vars = std::map<std::string, std::string>;
    const struct {
        Vars vars;
        std::string home, programShare;
        std::vector<std::string> want;
    } cases[] = {
        {{},
         "/h",
         "/usr/share",
         {"/h/.config", "/h/.local/share", "/etc/xdg", "/usr/local/share", "/usr/share"}},
        {{{"XDG_CONFIG_HOME", "/c"},
          {"XDG_DATA_HOME", "/d"},
          {"XDG_CONFIG_DIRS", "/e:rel:/f"},
          {"XDG_DATA_DIRS", "/s::/t:/s:/c"}},
         "/h",
         "/build/share",
         {"/c", "/d", "/e", "/f", "/s", "/t", "/build/share"}},
        // Relative or empty user variables give way to the home's defaults; no home, none.
        {{{"XDG_CONFIG_HOME", "cfg"}, {"XDG_DATA_HOME", ""}, {"XDG_DATA_DIRS", "/s"}},
         "/h",
         "",
         {"/h/.config", "/h/.local/share", "/etc/xdg", "/s"}},
        {{{"XDG_CONFIG_DIRS", "/e"}, {"XDG_DATA_DIRS", "/s"}}, "", "/p", {"/e", "/s", "/p"}},
    };
    for (const auto& c : cases) {
        const auto env = [&c](const char* name) {
            const auto it = c.vars.find(name);
            return it != c.vars.end() ? it->second.c_str() : nullptr;
        };
        EXPECT_EQ(ProviderRegistry::SearchDirs(env, c.home, c.programShare), c.want)
            << ::testing::PrintToString(c.want);
    }
    // This test program lives in the build tree: the build's provider files come last.
    EXPECT_EQ(ProviderRegistry::SearchDirsFromEnvironment().back(),
              Env("QUORLIN_BUILD_DIR") + "/share");
}

// The demo card: a Morvex applet under T=0 with Quorlin-Alice (both keys), Quorlin-Spare
// (exchange), Quorlin-Bob (signature) and Quorlin-Carol (exchange).
class CardCryptTest : public ::testing::Test {
  protected:
    EnginePcsc pcsc{"demo.json"};
    CardCryptApi api{pcsc, BuildRegistry()};

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

TEST_F(CardCryptTest, ArgumentAndRegistryErrorsAndVerifyContextsNeedNoCard) {
    struct Case {
        const char* container;
        const char* provider;
        std::uint32_t type, flags, error;
    };
    const std::string tooLong(37, 'A');  // no name longer than a record
    const std::uint32_t verify = crypt::kCryptVerifyContext, rsa = crypt::kProvRsaFull;
    for (const Case& c : {Case{nullptr, "No Such CSP", rsa, verify, crypt::kNteKeysetNotDef},
                          Case{nullptr, kMorvex, 24, verify, crypt::kNteProvTypeNoMatch},
                          Case{"Quorlin-Alice", kMorvex, rsa, 0x8 /* new */, crypt::kNteBadFlags},
                          Case{"Quorlin-Alice", kMorvex, rsa, verify, crypt::kNteBadKeysetParam},
                          Case{nullptr, kMorvex, rsa, 0, crypt::kNteBadKeyset},  // no default
                          Case{tooLong.c_str(), kMorvex, rsa, 0, crypt::kNteBadKeyset}}) {
        HCRYPTPROV prov = 7;
        EXPECT_FALSE(api.CryptAcquireContextA(&prov, c.container, c.provider, c.type, c.flags));
        EXPECT_EQ(GetLastError(), c.error) << c.provider << " " << c.flags;
        EXPECT_EQ(prov, 0u);
    }
    EXPECT_FALSE(api.CryptAcquireContextA(nullptr, nullptr, kMorvex, rsa, 0));
    EXPECT_EQ(GetLastError(), crypt::kErrorInvalidParameter);
    EXPECT_EQ(api.OpenContexts(), 0u);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(api.CryptAcquireContextA(&prov, nullptr, kUlvane, rsa, verify));
    EXPECT_NE(prov, 0u);
    HCRYPTKEY key = 0;
    EXPECT_FALSE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_EQ(GetLastError(), crypt::kNteNoKey);
    EXPECT_TRUE(api.CryptReleaseContext(prov, 0));
    EXPECT_EQ(api.OpenContexts(), 0u);
    EXPECT_TRUE(pcsc.calls.empty());  // the card was never asked
}

TEST_F(CardCryptTest, OpeningAContainerAsksTheCardInASharedConnectionAndLetsItGo) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Open("Quorlin-Bob", kMorvex, &prov));
    ExpectCardLetGo();
    EXPECT_EQ(pcsc.establishedScopes, (std::vector<std::uint32_t>{pcsc::kScopeUser}));
    ASSERT_EQ(pcsc.connects, 1);
    for (std::string call :
         {"SCardConnectA:" + pcsc.readers[0] + ":2:3", std::string("SCardDisconnect:0")}) {
        EXPECT_EQ(std::count(pcsc.calls.begin(), pcsc.calls.end(), call), 1) << call;
    }
    // T=0: each command with data is followed by GET RESPONSE for what the card has.
    std::vector<std::string> sent;
    for (const Bytes& c : pcsc.commands) {
        if (c.size() >= 2 && c[1] != 0xC0) {
            sent.push_back(ToHex(c));
        }
    }
    Bytes lookup(36, 0);
    std::copy_n("Quorlin-Bob", 11, lookup.begin());
    EXPECT_EQ(sent, (std::vector<std::string>{"00 A4 04 00 08 A0 00 00 01 72 95 01 03",
                                              "00 A4 02 00 02 80 10",
                                              "00 7E 00 00 24 " + ToHex(lookup)}));

    // Key answers come from the lookup: no further card traffic.
    const std::size_t commands = pcsc.commands.size();
    HCRYPTKEY key = 0;
    EXPECT_TRUE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_NE(key, 0u);
    EXPECT_TRUE(api.CryptDestroyKey(key));
    EXPECT_FALSE(api.CryptGetUserKey(prov, crypt::kAtKeyExchange, &key));
    EXPECT_EQ(GetLastError(), crypt::kNteNoKey);
    EXPECT_EQ(pcsc.commands.size(), commands);
    HCRYPTPROV alice = 0, carol = 0;
    ASSERT_TRUE(Open("Quorlin-Alice", kMorvex, &alice));
    EXPECT_TRUE(api.CryptGetUserKey(alice, crypt::kAtSignature, &key));
    EXPECT_TRUE(api.CryptGetUserKey(alice, crypt::kAtKeyExchange, &key));
    ASSERT_TRUE(Open("Quorlin-Carol", kMorvex, &carol));
    EXPECT_FALSE(api.CryptGetUserKey(carol, crypt::kAtSignature, &key));
    EXPECT_TRUE(api.CryptGetUserKey(carol, crypt::kAtKeyExchange, &key));
    ExpectCardLetGo();
}

TEST_F(CardCryptTest, ContainersTheProviderCannotReachLeaveNothingOpen) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(Open("Quorlin-Nobody", kMorvex, &prov));
    EXPECT_EQ(GetLastError(), crypt::kNteBadKeyset);
    // A provider only tries its own applets: one SELECT, refused with 6A 82.
    pcsc.commands.clear();
    EXPECT_FALSE(Open("Quorlin-Bob", kUlvane, &prov));
    EXPECT_EQ(GetLastError(), pcsc::kENoSmartcard);
    ASSERT_EQ(pcsc.commands.size(), 1u);
    EXPECT_EQ(ToHex(pcsc.commands[0]), "00 A4 04 00 08 A0 00 00 01 72 95 01 02");
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
    for (auto [call, code] : {std::pair{"SCardEstablishContext", pcsc::kENoService},
                              {"SCardListReadersA", pcsc::kENoReadersAvailable},
                              {"SCardConnectA", pcsc::kENoSmartcard},
                              {"SCardConnectA", pcsc::kESharingViolation},
                              {"SCardTransmit", pcsc::kWRemovedCard}}) {
        EnginePcsc pcsc("demo.json");
        pcsc.failures[call] = code;
        CardCryptApi api(pcsc, BuildRegistry());
        HCRYPTPROV prov = 0;
        SetLastError(0);
        EXPECT_FALSE(
            api.CryptAcquireContextA(&prov, "Quorlin-Alice", kMorvex, crypt::kProvRsaFull, 0));
        EXPECT_EQ(GetLastError(), code) << call;
        EXPECT_EQ(pcsc.connects, pcsc.disconnects) << call;
        EXPECT_EQ(pcsc.openContexts, pcsc.releasedContexts) << call;
    }
}

TEST(CardCryptFailureTest, LookupAnswersThatCannotBeTrusted) {
    std::string zeros39;
    for (int k = 0; k < 39; ++k) {
        zeros39 += "00 ";
    }
    struct Case {
        const char* name;
        std::vector<std::string> answers;  // SELECT AID, SELECT 8010, lookup
        std::uint32_t error;               // 0: opens, with only the exchange key
    };
    for (const Case& c : {
             Case{"short reply", {"90 00", "90 00", "51 75 6F 72 90 00"}, crypt::kNteBadKeyset},
             Case{"42 bytes", {"90 00", "90 00", zeros39 + "00 00 00 90 00"}, crypt::kNteBadKeyset},
             Case{"lookup refused", {"90 00", "90 00", "6A 88"}, crypt::kNteBadKeyset},
             Case{"no directory", {"90 00", "6A 82"}, crypt::kNteBadKeyset},
             Case{"no status word", {"90 00", "90 00", "90"}, pcsc::kECommError},
             Case{"43 bytes", {"90 00", "90 00", zeros39 + "00 00 80 02 90 00"}, 0},
         }) {
        ScriptedPcsc pcsc;
        for (const std::string& a : c.answers) {
            pcsc.Queue(a);
        }
        CardCryptApi api(pcsc, BuildRegistry());
        HCRYPTPROV prov = 0;
        EXPECT_EQ(api.CryptAcquireContextA(&prov, "X", kUlvane, crypt::kProvRsaFull, 0),
                  c.error == 0)
            << c.name;
        EXPECT_EQ(pcsc.connectedCard, 0u) << c.name;
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.name;
            continue;
        }
        HCRYPTKEY key = 0;
        EXPECT_FALSE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
        EXPECT_TRUE(api.CryptGetUserKey(prov, crypt::kAtKeyExchange, &key));
        // T=1: the lookup carries its Le byte, and the record is zero padded to 36 bytes.
        ASSERT_EQ(pcsc.commands.size(), 3u);
        EXPECT_EQ(ToHex(pcsc.commands[2]), "00 7E 00 00 24 58 " + zeros39.substr(0, 35 * 3) + "00");
    }
}

// A handle that was released, or never given, is refused rather than used.
TEST_F(CardCryptTest, HandlesAreCheckedAndKeysEndWithTheirContext) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(Open("Quorlin-Alice", kMorvex, &prov));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(api.CryptGetUserKey(prov, crypt::kAtSignature, &key));
    EXPECT_FALSE(api.CryptGetUserKey(prov + 1, crypt::kAtSignature, &key));
    EXPECT_EQ(GetLastError(), crypt::kNteBadUid);
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
