// Registration against a provider and a store in memory: every path of the handler, the
// records it hands to the store, and the state it leaves the dialog in.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fakes/DialogHarness.h"
#include "fakes/FakeCrypt.h"
#include "fakes/FakeStore.h"
#include "res/Strings.h"

namespace quorlin::test {
namespace {

using crypt::kAtKeyExchange;
using crypt::kAtSignature;
using Containers = std::vector<std::pair<std::string, FakeContainer>>;  // name, keys

constexpr const char* kUlvane = "Ulvane CSP Enterprise";
constexpr const char* kMorvex = "Morvex CSP Enterprise";

// Records where the handler stood when it first called the provider.
class ObservedCrypt : public FakeCrypt {
  public:
    std::function<void()> onFirstCall;
    bool CryptAcquireContextA(crypt::HCRYPTPROV* prov, const char* container, const char* provider,
                              std::uint32_t provType, std::uint32_t flags) override {
        if (auto hook = std::exchange(onFirstCall, nullptr)) {
            hook();
        }
        return FakeCrypt::CryptAcquireContextA(prov, container, provider, provType, flags);
    }
};

// The dialog as after a log-in and a query: connected, on page 2, 1020 enabled, holding a
// certificate for each container.
// A provider's module as the registration sees it: a certificate's link, or why none.
struct FakeLinks : keylink::KeyLinkApi {
    bool module = false;
    std::set<std::uint8_t> onToken;  // the last byte of each certificate a token holds
    bool announces = true;
    std::vector<std::string> calls;

    bool NamesModule(const std::string&) override { return module; }
    std::optional<keylink::Pkcs11Link> Find(const std::string&, std::span<const std::uint8_t> der,
                                            std::string& reason) override {
        calls.push_back("Find");
        if (onToken.count(der.back()) == 0) {
            reason = "no token holds this certificate";
            return std::nullopt;
        }
        const std::string id = std::to_string(der.back());
        return keylink::Pkcs11Link{"/m.so", "pkcs11:id=" + id + ";type=cert",
                                   "pkcs11:id=" + id + ";type=private"};
    }
    std::vector<Announcement> Announce(const std::string&) override {
        calls.push_back("Announce");
        return {{true, "p11-kit: added"}, {announces, "firefox (default): added"}};
    }
    void Finish() override { calls.push_back("Finish"); }
};

struct Bench : DialogHarness<> {
    ObservedCrypt crypt;
    FakeStore store;
    FakeLinks links;
    std::vector<std::unique_ptr<x509::CertContext>> certs;
    std::size_t callsBefore = 0;

    explicit Bench(const Containers& containers) {
        crypt.providers = {kUlvane, kMorvex};
        Start({.crypt = &crypt, .store = &store, .links = &links});
        EXPECT_EQ(dlg->ConnectCard(), 0);
        dlg->m_bLoggedIn = 1;
        dlg->m_strCspName = kUlvane;
        wnd.SetControlText(res::IDC_BTN_LOGIN, res::kBtnLogout);
        wnd.TabSetCurSel(res::IDC_TAB, 2);
        dlg->ShowTabPage(2);
        wnd.EnableControl(res::IDC_BTN_REGISTER, true);
        for (const auto& [name, keys] : containers) {
            const int k = dlg->m_nCertCount++;
            certs.push_back(std::make_unique<x509::CertContext>());
            certs.back()->encoded = {0x30, 0x03, 0x02, 0x01, static_cast<std::uint8_t>(k)};
            std::memcpy(dlg->m_containerNames + 36 * k, name.data(),
                        std::min<std::size_t>(name.size(), 36));
            dlg->m_certs[k] = certs.back().get();
            crypt.containers[name.substr(0, 36)] = keys;
        }
    }
    ~Bench() { dlg.reset(); }

    const x509::KeyProvProperty* Entry(int k) {
        auto it = store.entries.find({"MY", certs[static_cast<std::size_t>(k)]->encoded});
        return it == store.entries.end() ? nullptr : &it->second;
    }
    int AcquireCallsWithContainer() const {
        return static_cast<int>(std::count_if(crypt.calls.begin(), crypt.calls.end(), [](auto& c) {
            return c.rfind("Acquire:", 0) == 0 && c.rfind("Acquire:null:", 0) != 0;
        }));
    }
    // The window calls the handler made.
    std::vector<std::string> Register() {
        callsBefore = wnd.calls.size();
        dlg->RegisterCertificates();
        return {wnd.calls.begin() + static_cast<std::ptrdiff_t>(callsBefore), wnd.calls.end()};
    }
    void ExpectReleasedEverything() {
        EXPECT_EQ(crypt.openContexts, 0);
        EXPECT_EQ(crypt.openKeys, 0);
        EXPECT_EQ(store.openStores, 0);
        EXPECT_EQ(wnd.waitCursorDepth, 0);
    }
    // The error boxes (no caption), then the outcome and the request to log in again under
    // the standard title, and the dialog back on the log-in page.
    void ExpectClosingSteps(std::vector<std::string> errors, const char* outcome) {
        const std::size_t nErrors = errors.size();
        errors.push_back(outcome);
        errors.push_back(res::kLogInAgain);
        EXPECT_EQ(wnd.MessageTexts(), errors);
        for (std::size_t k = 0; k < wnd.messages.size(); ++k) {
            EXPECT_EQ(wnd.messages[k].icon, MsgIcon::None);
            EXPECT_EQ(wnd.messages[k].caption,
                      k < nErrors ? std::nullopt : std::optional<std::string>(res::kStdTitle));
        }
        EXPECT_EQ(dlg->m_bLoggedIn, 0);
        EXPECT_EQ(wnd.tabSel, 0);
        EXPECT_TRUE(wnd.IsShown(res::IDC_BTN_LOGIN));
        EXPECT_FALSE(wnd.IsShown(res::IDC_BTN_QUERY));
        EXPECT_FALSE(wnd.IsShown(res::IDC_BTN_REGISTER));
        EXPECT_FALSE(wnd.IsEnabled(res::IDC_BTN_REGISTER));
        EXPECT_EQ(wnd.Text(res::IDC_BTN_LOGIN), res::kBtnLogin);
        ExpectReleasedEverything();
    }
};

TEST(RegisterTest, EachKeyKindGivesItsEntryAndTheLastKeyWins) {
    const std::string full36 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    Bench b({{"sig-only", {true, false}},
             {std::string("\xA4\x40\xFF-x", 5), {false, true}},
             {full36, {true, true}},
             {"neither", {false, false}}});
    b.Register();
    ASSERT_TRUE(b.Entry(0) && b.Entry(1) && b.Entry(2));
    EXPECT_EQ(b.Entry(0)->keySpec, kAtSignature);
    EXPECT_EQ(b.Entry(1)->keySpec, kAtKeyExchange);
    EXPECT_EQ(b.Entry(2)->keySpec, kAtKeyExchange);
    EXPECT_EQ(b.Entry(3), nullptr);
    EXPECT_EQ(b.store.entries.size(), 3u);
    EXPECT_EQ(b.store.adds, 4);  // both keys: added twice, the second add replacing the first
    EXPECT_EQ(b.certs[2]->keyProvInfo->keySpec, kAtKeyExchange);  // the in-memory context too

    // Each byte of the name is one code unit; the next record, right after the 36 bytes,
    // does not join it.
    EXPECT_EQ(b.Entry(1)->containerName, (std::u16string{0xA4, 0x40, 0xFF, u'-', u'x'}));
    const x509::KeyProvProperty& p = *b.Entry(2);
    EXPECT_EQ(p.containerName, u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    EXPECT_EQ(p.provName, u"Ulvane CSP Enterprise");
    EXPECT_EQ(p.provType, 1u);
    EXPECT_EQ(p.flags, 0u);
    EXPECT_EQ(std::count(b.crypt.calls.begin(), b.crypt.calls.end(),
                         "Acquire:" + full36 + ":Ulvane CSP Enterprise:1:0"),
              1);

    // The key-spec list is asked in order, signature first, for every container.
    std::vector<std::string> keyCalls, expected;
    std::copy_if(b.crypt.calls.begin(), b.crypt.calls.end(), std::back_inserter(keyCalls),
                 [](auto& c) { return c.rfind("GetUserKey", 0) == 0; });
    for (int k = 0; k < 4; ++k) {
        expected.insert(expected.end(), {"GetUserKey:2", "GetUserKey:1"});
    }
    EXPECT_EQ(keyCalls, expected);
    EXPECT_EQ(b.store.calls.front(), "Open:10:0:0:10000:MY");
    EXPECT_EQ(std::count(b.store.calls.begin(), b.store.calls.end(), "Close:1"), 4);
    b.ExpectClosingSteps({}, res::kRegistered);
}

TEST(RegisterTest, DisconnectsBeforeTheProviderAndShowsTheWaitCursorThroughout) {
    Bench b({{"c0", {true, false}}});
    int connectedAtFirstCall = -1;
    int waitDepthAtFirstCall = -1;
    b.crypt.onFirstCall = [&] {
        connectedAtFirstCall = b.pcsc.connectedCard != 0;
        waitDepthAtFirstCall = b.wnd.waitCursorDepth;
    };
    const std::vector<std::string> calls = b.Register();
    EXPECT_EQ(connectedAtFirstCall, 0);
    EXPECT_EQ(waitDepthAtFirstCall, 1);
    EXPECT_EQ(b.dlg->m_hCard, 0u);
    EXPECT_EQ(b.crypt.calls[0], "Acquire:null:Ulvane CSP Enterprise:1:f0000000");
    EXPECT_EQ(b.crypt.calls[1], "Acquire:c0:Ulvane CSP Enterprise:1:0");

    EXPECT_EQ(calls.front(), "BeginWait");
    EXPECT_EQ(calls.back(), "EndWait");
    // Closing order: outcome, page 0, tab 0, button text, then the request to log in again.
    std::vector<std::ptrdiff_t> at;
    for (std::string c :
         {std::string("MessageBox:") + res::kRegistered, std::string("Show:1006:1"),
          std::string("TabSel:1012:0"), std::string("SetText:1006:") + res::kBtnLogin,
          std::string("MessageBox:") + res::kLogInAgain}) {
        at.push_back(std::find(calls.begin(), calls.end(), c) - calls.begin());
    }
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << testing::PrintToString(calls);
    EXPECT_LT(at.back(), static_cast<std::ptrdiff_t>(calls.size()));
    b.ExpectClosingSteps({}, res::kRegistered);
}

TEST(RegisterTest, UnregisteredProviderFallsBackToMorvexAndTheMemberKeepsIt) {
    Bench b({{"c0", {true, true}}});
    b.crypt.providers = {kMorvex};
    b.Register();
    EXPECT_EQ(b.dlg->m_strCspName, kMorvex);
    EXPECT_EQ(b.crypt.calls[0], "Acquire:null:Ulvane CSP Enterprise:1:f0000000");
    EXPECT_EQ(b.crypt.calls[1], "Acquire:null:Morvex CSP Enterprise:1:f0000000");
    EXPECT_EQ(b.crypt.calls[2], "Acquire:c0:Morvex CSP Enterprise:1:0");
    ASSERT_NE(b.Entry(0), nullptr);
    EXPECT_EQ(b.Entry(0)->provName, u"Morvex CSP Enterprise");
    b.ExpectClosingSteps({}, res::kRegistered);
}

TEST(RegisterTest, FailedSecondProbeStopsEarlyWithOneMessageAndNoOtherChange) {
    Bench b({{"c0", {true, true}}});
    b.crypt.providers = {};
    b.crypt.probeFailures[kMorvex] = 0x8009001Du;  // the second probe's own error is shown
    const std::vector<std::string> calls = b.Register();
    const std::string text = "CryptAcquireContext = 0x8009001d \n 請確認是否安裝CSP";
    EXPECT_EQ(calls, (std::vector<std::string>{"BeginWait", "MessageBox:" + text, "EndWait"}));
    ASSERT_EQ(b.wnd.messages.size(), 1u);
    EXPECT_EQ(b.wnd.messages[0].caption, std::nullopt);
    EXPECT_EQ(b.wnd.messages[0].icon, MsgIcon::None);
    EXPECT_TRUE(b.store.calls.empty());
    EXPECT_EQ(b.crypt.calls.size(), 2u);
    EXPECT_EQ(b.dlg->m_bLoggedIn, 0);
    EXPECT_EQ(b.dlg->m_hCard, 0u);
    // Still on the certificate page, 1006 and 1020 usable, no text touched.
    EXPECT_EQ(b.wnd.tabSel, 2);
    EXPECT_TRUE(b.wnd.IsShown(res::IDC_BTN_REGISTER));
    EXPECT_TRUE(b.wnd.IsEnabled(res::IDC_BTN_REGISTER));
    EXPECT_TRUE(b.wnd.IsEnabled(res::IDC_BTN_LOGIN));
    EXPECT_EQ(b.wnd.Text(res::IDC_BTN_LOGIN), res::kBtnLogout);
    b.ExpectReleasedEverything();
}

// Failures along the loop: which containers are tried, what is shown, what is kept.
TEST(RegisterTest, FailuresEndTheirCertificateOrTheLoopAndTheOutcomeSaysWhatWasAdded) {
    struct Fault {
        std::string call;  // "probe", "open", "key" (signature), a store or PC/SC call
        std::string key;   // provider or container
        std::uint32_t code;
    };
    struct Case {
        const char* name;
        Containers containers;
        Fault fault;
        std::vector<std::string> errors;
        const char* outcome;
        int acquires;                 // container opens
        std::vector<int> registered;  // certificates with an entry
    };
    const FakeContainer sig{true, false}, exch{false, true}, both{true, true}, none{};
    const std::string addError = "CertAddCertificateContextToStore = 0x80070070";
    const char* const ok = res::kRegistered;
    const char* const nothing = res::kNoneRegistered;
    // clang-format off
    const Case cases[] = {
        {"a failed disconnect is shown and registration goes on", {{"c0", sig}},
         {"SCardDisconnect", "", pcsc::kWRemovedCard},
         {SystemError(pcsc::kWRemovedCard)}, ok, 1, {0}},
        {"other probe errors are silent", {{"c0", sig}}, {"probe", kUlvane, 0x80090020u},
         {}, ok, 1, {0}},
        {"first of several failing", {{"c0", sig}, {"c1", sig}, {"c2", sig}},
         {"open", "c0", crypt::kNteBadKeyset}, {"CryptAcquireContext = 0x80090016"}, nothing, 1,
         {}},
        {"third of five failing",
         {{"c0", sig}, {"c1", sig}, {"c2", sig}, {"c3", sig}, {"c4", sig}},
         {"open", "c2", pcsc::kENoSmartcard}, {"CryptAcquireContext = 0x8010000c"}, ok, 3, {0, 1}},
        {"store cannot be opened", {{"c0", sig}, {"c1", sig}},
         {"CertOpenStore", "", 0x80070005u}, {"CertOpenStore = 0x80070005"}, nothing, 1, {}},
        // One message per certificate: the key-spec loop is left at the first failed add.
        {"every add failing", {{"c0", both}, {"c1", exch}, {"c2", sig}},
         {"CertAddCertificateContextToStore", "", 0x80070070u},
         {addError, addError, addError}, nothing, 3, {}},
        {"no container with a key", {{"c0", none}, {"c1", none}}, {}, {}, nothing, 2, {}},
        // The key error ends c0's key-spec loop: its exchange key is not asked for.
        {"key failure", {{"c0", both}, {"c1", both}}, {"key", "c0", 0x80090020u},
         {"CryptGetUserKey = 0x80090020"}, ok, 2, {1}},
        {"property failure skips the add", {{"c0", sig}},
         {"CertSetCertificateContextProperty", "", 0x80092004u},
         {"CertSetCertificateContextProperty = 0x80092004"}, nothing, 1, {}},
        {"count of zero still probes and closes", {}, {}, {}, nothing, 0, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(c.containers);
        const Fault& f = c.fault;
        if (f.call == "probe") {
            b.crypt.probeFailures[f.key] = f.code;
        } else if (f.call == "open") {
            b.crypt.openFailures[f.key] = f.code;
        } else if (f.call == "key") {
            b.crypt.keyFailures[{f.key, kAtSignature}] = f.code;
        } else if (f.call == "SCardDisconnect") {
            b.pcsc.failures[f.call] = f.code;
            b.pcsc.failTimes[f.call] = 1;
        } else if (!f.call.empty()) {
            b.store.failures[f.call] = f.code;
        }
        b.Register();
        EXPECT_EQ(b.crypt.calls.front(), "Acquire:null:Ulvane CSP Enterprise:1:f0000000");
        EXPECT_EQ(b.dlg->m_strCspName, kUlvane);
        EXPECT_EQ(b.AcquireCallsWithContainer(), c.acquires);
        EXPECT_EQ(b.store.entries.size(), c.registered.size());
        for (int k : c.registered) {
            EXPECT_NE(b.Entry(k), nullptr) << k;
        }
        b.ExpectClosingSteps(c.errors, c.outcome);
    }
}

// Where the provider names a module: each added certificate is linked and its entry records
// it, the module is announced once; the extra warning comes only when something failed, and
// a provider without a module changes nothing the holder sees.
TEST(RegisterTest, LinksEachAddedCertificateAndWarnsOnlyWhenOtherProgramsCannotUseTheKeys) {
    struct Case {
        const char* name;
        bool module;
        std::set<std::uint8_t> onToken;
        bool announces;
        std::vector<std::string> linkCalls;
        bool warned;
    };
    const std::vector<std::string> all = {"Find", "Find", "Announce", "Finish"};
    for (const Case& c : {Case{"every key linked", true, {0, 2}, true, all, false},
                          Case{"one not on a token", true, {2}, true, all, true},
                          Case{"one database failed", true, {0, 2}, false, all, true},
                          Case{"no module named", false, {}, true, {}, false}}) {
        SCOPED_TRACE(c.name);
        Bench b({{"c0", {true, false}}, {"c1", {false, false}}, {"c2", {false, true}}});
        b.links.module = c.module;
        b.links.onToken = c.onToken;
        b.links.announces = c.announces;
        b.Register();
        EXPECT_EQ(b.links.calls, c.linkCalls);
        EXPECT_EQ(b.store.links.size(), c.module ? c.onToken.size() : 0u);
        for (std::uint8_t k : c.onToken) {
            auto it = b.store.links.find({"MY", b.certs[k]->encoded});
            ASSERT_NE(it, b.store.links.end());
            EXPECT_EQ(it->second.keyUri, "pkcs11:id=" + std::to_string(k) + ";type=private");
        }
        std::vector<std::string> texts = {res::kRegistered, res::kLogInAgain};
        if (c.warned) {
            texts.insert(texts.begin() + 1, res::kKeysNotUsable);
            EXPECT_EQ(b.wnd.messages[1].icon, MsgIcon::Exclamation);
            EXPECT_EQ(b.wnd.messages[1].caption, std::optional<std::string>(res::kStdTitle));
        }
        EXPECT_EQ(b.wnd.MessageTexts(), texts);
        b.ExpectReleasedEverything();
    }
}

}  // namespace
}  // namespace quorlin::test
