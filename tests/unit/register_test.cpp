// Registration against a provider and a store in memory: every path of the handler, the
// records it hands to the store, and the state it leaves the dialog in.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fakes/FakeCrypt.h"
#include "fakes/FakeStore.h"
#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin::test {
namespace {

using crypt::kAtKeyExchange;
using crypt::kAtSignature;

constexpr const char* kUlvane = "Ulvane CSP Enterprise";
constexpr const char* kMorvex = "Morvex CSP Enterprise";

std::u16string Wide(const std::string& bytes) {
    std::u16string out;
    for (unsigned char c : bytes) {
        out.push_back(static_cast<char16_t>(c));
    }
    return out;
}

// Records where the handler stood when it first called the provider.
class ObservedCrypt : public FakeCrypt {
  public:
    std::function<void()> onFirstCall;
    bool CryptAcquireContextA(crypt::HCRYPTPROV* prov, const char* container, const char* provider,
                              std::uint32_t provType, std::uint32_t flags) override {
        if (onFirstCall) {
            onFirstCall();
            onFirstCall = nullptr;
        }
        return FakeCrypt::CryptAcquireContextA(prov, container, provider, provType, flags);
    }
};

class RegisterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        crypt.providers = {kUlvane, kMorvex};
        dlg = std::make_unique<CQuorlinDlg>(wnd, Platform{&pcsc, nullptr, &crypt, &store});
        dlg->OnInitDialog();
        // As after a log-in and a query: connected, on page 2, 1020 enabled.
        ASSERT_EQ(dlg->ConnectCard(), 0);
        dlg->m_bLoggedIn = 1;
        dlg->m_strCspName = kUlvane;
        wnd.SetControlText(res::IDC_BTN_LOGIN, res::kBtnLogout);
        wnd.TabSetCurSel(res::IDC_TAB, 2);
        dlg->ShowTabPage(2);
        wnd.EnableControl(res::IDC_BTN_REGISTER, true);
    }

    // Adds certificate k with container name and keys.
    void AddCert(const std::string& container, bool signature, bool exchange) {
        const int k = dlg->m_nCertCount;
        auto cert = std::make_unique<x509::CertContext>();
        cert->encoded = {0x30, 0x03, 0x02, 0x01, static_cast<std::uint8_t>(k)};
        std::memcpy(dlg->m_containerNames + 36 * k, container.data(),
                    std::min<std::size_t>(container.size(), 36));
        dlg->m_certs[k] = cert.get();
        certs.push_back(std::move(cert));
        dlg->m_nCertCount = k + 1;
        crypt.containers[container.substr(0, 36)] = {signature, exchange};
    }

    const x509::KeyProvProperty* Entry(int k) {
        auto it = store.entries.find({"MY", certs[static_cast<std::size_t>(k)]->encoded});
        return it == store.entries.end() ? nullptr : &it->second;
    }

    int AcquireCallsWithContainer() const {
        int n = 0;
        for (const std::string& c : crypt.calls) {
            n += c.rfind("Acquire:", 0) == 0 && c.rfind("Acquire:null:", 0) != 0;
        }
        return n;
    }

    void Register() {
        callsBefore = wnd.calls.size();
        dlg->RegisterCertificates();
    }

    // The window calls the handler made.
    std::vector<std::string> HandlerCalls() const {
        return {wnd.calls.begin() + static_cast<std::ptrdiff_t>(callsBefore), wnd.calls.end()};
    }

    void ExpectReleasedEverything() {
        EXPECT_EQ(crypt.openContexts, 0);
        EXPECT_EQ(crypt.openKeys, 0);
        EXPECT_EQ(store.openStores, 0);
        EXPECT_EQ(wnd.waitCursorDepth, 0);
    }

    void ExpectClosingSteps(const std::vector<std::string>& errors, const char* outcome) {
        std::vector<std::string> expected = errors;
        expected.push_back(outcome);
        expected.push_back(res::kLogInAgain);
        EXPECT_EQ(wnd.MessageTexts(), expected);
        for (std::size_t k = 0; k < wnd.messages.size(); ++k) {
            const MessageBoxCall& m = wnd.messages[k];
            EXPECT_EQ(m.icon, MsgIcon::None);
            if (k < errors.size()) {
                EXPECT_EQ(m.caption, std::nullopt) << m.text;
            } else {
                EXPECT_EQ(m.caption, std::string(res::kStdTitle)) << m.text;
            }
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

    ScriptedPcsc pcsc;
    FakeWindow wnd;
    ObservedCrypt crypt;
    FakeStore store;
    std::unique_ptr<CQuorlinDlg> dlg;
    std::vector<std::unique_ptr<x509::CertContext>> certs;
    std::size_t callsBefore = 0;
};

TEST_F(RegisterTest, EachKeyKindGivesItsEntryAndTheLastKeyWins) {
    AddCert("sig-only", true, false);
    AddCert("exch-only", false, true);
    AddCert("both", true, true);
    AddCert("neither", false, false);
    Register();

    ASSERT_NE(Entry(0), nullptr);
    EXPECT_EQ(Entry(0)->keySpec, kAtSignature);
    ASSERT_NE(Entry(1), nullptr);
    EXPECT_EQ(Entry(1)->keySpec, kAtKeyExchange);
    ASSERT_NE(Entry(2), nullptr);
    EXPECT_EQ(Entry(2)->keySpec, kAtKeyExchange);
    EXPECT_EQ(Entry(3), nullptr);
    EXPECT_EQ(store.entries.size(), 3u);
    EXPECT_EQ(store.adds, 4);  // "both" is added twice, the second add replacing the first

    const x509::KeyProvProperty& p = *Entry(2);
    EXPECT_EQ(p.containerName, u"both");
    EXPECT_EQ(p.provName, u"Ulvane CSP Enterprise");
    EXPECT_EQ(p.provType, 1u);
    EXPECT_EQ(p.flags, 0u);
    EXPECT_EQ(certs[2]->keyProvInfo->keySpec, kAtKeyExchange);  // the in-memory context too

    // The key-spec list is asked in order, signature first, for every container.
    std::vector<std::string> keyCalls;
    for (const std::string& c : crypt.calls) {
        if (c.rfind("GetUserKey", 0) == 0) {
            keyCalls.push_back(c);
        }
    }
    ASSERT_EQ(keyCalls.size(), 8u);
    for (std::size_t k = 0; k < keyCalls.size(); ++k) {
        EXPECT_EQ(keyCalls[k], k % 2 == 0 ? "GetUserKey:2" : "GetUserKey:1");
    }
    EXPECT_EQ(store.calls.front(), "Open:10:0:0:10000:MY");
    EXPECT_EQ(std::count(store.calls.begin(), store.calls.end(), "Close:1"), 4);
    EXPECT_EQ(std::count(store.calls.begin(), store.calls.end(), "Set:2:0:2"), 2);
    EXPECT_EQ(std::count(store.calls.begin(), store.calls.end(), "Add:3"), 4);
    ExpectClosingSteps({}, res::kRegistered);
}

TEST_F(RegisterTest, DisconnectsBeforeTheProviderAndShowsTheWaitCursorThroughout) {
    AddCert("c0", true, false);
    int connectedAtFirstCall = -1;
    int waitDepthAtFirstCall = -1;
    crypt.onFirstCall = [&] {
        connectedAtFirstCall = pcsc.connectedCard != 0;
        waitDepthAtFirstCall = wnd.waitCursorDepth;
    };
    Register();
    EXPECT_EQ(connectedAtFirstCall, 0);
    EXPECT_EQ(waitDepthAtFirstCall, 1);
    EXPECT_EQ(dlg->m_hCard, 0u);
    EXPECT_EQ(crypt.calls.front(), "Acquire:null:Ulvane CSP Enterprise:1:f0000000");
    EXPECT_EQ(crypt.calls[1], "Acquire:c0:Ulvane CSP Enterprise:1:0");

    const std::vector<std::string> calls = HandlerCalls();
    EXPECT_EQ(calls.front(), "BeginWait");
    EXPECT_EQ(calls.back(), "EndWait");
    // Closing order: outcome, page 0, tab 0, button text, then the request to log in again.
    auto at = [&](const std::string& c) {
        return std::find(calls.begin(), calls.end(), c) - calls.begin();
    };
    EXPECT_LT(at(std::string("MessageBox:") + res::kRegistered), at("Show:1006:1"));
    EXPECT_LT(at("Show:1006:1"), at("TabSel:1012:0"));
    EXPECT_LT(at("TabSel:1012:0"), at(std::string("SetText:1006:") + res::kBtnLogin));
    EXPECT_LT(at(std::string("SetText:1006:") + res::kBtnLogin),
              at(std::string("MessageBox:") + res::kLogInAgain));
    ExpectClosingSteps({}, res::kRegistered);
}

TEST_F(RegisterTest, AFailedDisconnectIsShownAndRegistrationGoesOn) {
    AddCert("c0", true, false);
    pcsc.failures["SCardDisconnect"] = pcsc::kWRemovedCard;
    pcsc.failTimes["SCardDisconnect"] = 1;
    Register();
    ASSERT_EQ(wnd.messages.size(), 3u);
    EXPECT_EQ(wnd.messages[0].text, "Error:" + ScriptedPcsc::TextFor(pcsc::kWRemovedCard) + "\n");
    EXPECT_EQ(wnd.messages[1].text, res::kRegistered);
    EXPECT_EQ(store.entries.size(), 1u);
}

TEST_F(RegisterTest, ContainerNamesKeepEveryByteAndStopAt36) {
    const std::string full36 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    ASSERT_EQ(full36.size(), 36u);
    AddCert(full36, true, false);
    AddCert(std::string("\xA4\x40\xFF-x", 5), false, true);  // bytes above 0x7F
    Register();
    ASSERT_NE(Entry(0), nullptr);
    // The next record starts right after the 36 bytes; none of it joins the name.
    EXPECT_EQ(Entry(0)->containerName, Wide(full36));
    EXPECT_EQ(Entry(0)->containerName.size(), 36u);
    ASSERT_NE(Entry(1), nullptr);
    EXPECT_EQ(Entry(1)->containerName, (std::u16string{0xA4, 0x40, 0xFF, u'-', u'x'}));
    EXPECT_EQ(crypt.calls[1], "Acquire:" + full36 + ":Ulvane CSP Enterprise:1:0");
}

TEST_F(RegisterTest, UnregisteredProviderFallsBackToMorvexAndTheMemberKeepsIt) {
    crypt.providers = {kMorvex};
    AddCert("c0", true, true);
    Register();
    EXPECT_EQ(dlg->m_strCspName, kMorvex);
    EXPECT_EQ(crypt.calls[0], "Acquire:null:Ulvane CSP Enterprise:1:f0000000");
    EXPECT_EQ(crypt.calls[1], "Acquire:null:Morvex CSP Enterprise:1:f0000000");
    EXPECT_EQ(crypt.calls[2], "Acquire:c0:Morvex CSP Enterprise:1:0");
    ASSERT_NE(Entry(0), nullptr);
    EXPECT_EQ(Entry(0)->provName, u"Morvex CSP Enterprise");
    ExpectClosingSteps({}, res::kRegistered);
}

TEST_F(RegisterTest, FailedSecondProbeStopsEarlyWithOneMessageAndNoOtherChange) {
    crypt.providers = {};
    crypt.probeFailures[kMorvex] = 0x8009001Du;  // the second probe's own error is shown
    AddCert("c0", true, true);
    Register();

    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, "CryptAcquireContext = 0x8009001d \n 請確認是否安裝CSP");
    EXPECT_EQ(wnd.messages[0].caption, std::nullopt);
    EXPECT_EQ(wnd.messages[0].icon, MsgIcon::None);
    EXPECT_TRUE(store.calls.empty());
    EXPECT_EQ(crypt.calls.size(), 2u);
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_EQ(dlg->m_hCard, 0u);
    // Still on the certificate page, 1006 and 1020 usable, no text touched.
    EXPECT_EQ(wnd.tabSel, 2);
    EXPECT_TRUE(wnd.IsShown(res::IDC_BTN_REGISTER));
    EXPECT_TRUE(wnd.IsEnabled(res::IDC_BTN_REGISTER));
    EXPECT_TRUE(wnd.IsEnabled(res::IDC_BTN_LOGIN));
    EXPECT_EQ(wnd.Text(res::IDC_BTN_LOGIN), res::kBtnLogout);
    const std::vector<std::string> calls = HandlerCalls();
    EXPECT_EQ(calls, (std::vector<std::string>{"BeginWait", "MessageBox:" + wnd.messages[0].text,
                                               "EndWait"}));
    ExpectReleasedEverything();
}

TEST_F(RegisterTest, OtherProbeErrorsAreSilentAndTheLoopRunsWithoutProbe) {
    crypt.probeFailures[kUlvane] = 0x80090020u;
    AddCert("c0", true, false);
    Register();
    EXPECT_EQ(dlg->m_strCspName, kUlvane);
    EXPECT_EQ(crypt.calls[1], "Acquire:c0:Ulvane CSP Enterprise:1:0");
    ASSERT_NE(Entry(0), nullptr);
    ExpectClosingSteps({}, res::kRegistered);
}

TEST_F(RegisterTest, FirstContainerFailingEndsTheLoopWithNothingRegistered) {
    AddCert("c0", true, false);
    AddCert("c1", true, false);
    AddCert("c2", true, false);
    crypt.openFailures["c0"] = crypt::kNteBadKeyset;
    Register();
    EXPECT_EQ(AcquireCallsWithContainer(), 1);
    EXPECT_TRUE(store.entries.empty());
    ExpectClosingSteps({"CryptAcquireContext = 0x80090016"}, res::kNoneRegistered);
}

TEST_F(RegisterTest, ThirdOfFiveFailingKeepsTheFirstTwoAndTriesNoMore) {
    for (int k = 0; k < 5; ++k) {
        AddCert("c" + std::to_string(k), true, false);
    }
    crypt.openFailures["c2"] = pcsc::kENoSmartcard;
    Register();
    EXPECT_EQ(AcquireCallsWithContainer(), 3);
    EXPECT_NE(Entry(0), nullptr);
    EXPECT_NE(Entry(1), nullptr);
    EXPECT_EQ(store.entries.size(), 2u);
    ExpectClosingSteps({"CryptAcquireContext = 0x8010000c"}, res::kRegistered);
}

TEST_F(RegisterTest, StoreThatCannotBeOpenedReleasesTheContainerAndEndsTheLoop) {
    AddCert("c0", true, false);
    AddCert("c1", true, false);
    store.failures["CertOpenStore"] = 0x80070005u;
    Register();
    EXPECT_EQ(AcquireCallsWithContainer(), 1);
    ExpectClosingSteps({"CertOpenStore = 0x80070005"}, res::kNoneRegistered);
}

TEST_F(RegisterTest, EveryAddFailingShowsOneMessageEachAndReportsNothingRegistered) {
    AddCert("c0", true, true);
    AddCert("c1", false, true);
    AddCert("c2", true, false);
    store.failures["CertAddCertificateContextToStore"] = 0x80070070u;
    Register();
    // One message per certificate: the key-spec loop is left at the first failed add.
    ExpectClosingSteps({"CertAddCertificateContextToStore = 0x80070070",
                        "CertAddCertificateContextToStore = 0x80070070",
                        "CertAddCertificateContextToStore = 0x80070070"},
                       res::kNoneRegistered);
    EXPECT_EQ(AcquireCallsWithContainer(), 3);
}

TEST_F(RegisterTest, NoContainerWithAKeyReportsNothingRegistered) {
    AddCert("c0", false, false);
    AddCert("c1", false, false);
    Register();
    EXPECT_TRUE(store.entries.empty());
    ExpectClosingSteps({}, res::kNoneRegistered);
}

TEST_F(RegisterTest, KeyAndPropertyFailuresEndOnlyThatCertificate) {
    AddCert("c0", true, true);
    AddCert("c1", true, true);
    crypt.keyFailures[{"c0", kAtSignature}] = 0x80090020u;
    Register();
    // c0: the error ends its key-spec loop, so its exchange key is not asked for.
    EXPECT_EQ(Entry(0), nullptr);
    ASSERT_NE(Entry(1), nullptr);
    EXPECT_EQ(Entry(1)->keySpec, kAtKeyExchange);
    ExpectClosingSteps({"CryptGetUserKey = 0x80090020"}, res::kRegistered);
}

TEST_F(RegisterTest, PropertyFailureSkipsTheAdd) {
    AddCert("c0", true, false);
    store.failures["CertSetCertificateContextProperty"] = 0x80092004u;
    Register();
    EXPECT_EQ(std::count(store.calls.begin(), store.calls.end(), "Add:3"), 0);
    ExpectClosingSteps({"CertSetCertificateContextProperty = 0x80092004"}, res::kNoneRegistered);
}

TEST_F(RegisterTest, CountOfZeroStillProbesAndCloses) {
    Register();
    EXPECT_EQ(crypt.calls, (std::vector<std::string>{
                               "Acquire:null:Ulvane CSP Enterprise:1:f0000000", "Release:0"}));
    EXPECT_TRUE(store.calls.empty());
    ExpectClosingSteps({}, res::kNoneRegistered);
}

}  // namespace
}  // namespace quorlin::test
