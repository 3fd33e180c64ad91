// Reader connection: the context at construction and destruction, the reader list, the
// exclusive connection with its protocol record, the disconnect and the error display.

#include <gtest/gtest.h>

#include <memory>

#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

using test::FakeWindow;
using test::ScriptedPcsc;

std::string SystemErrorText(std::uint32_t code) {
    return "Error:" + ScriptedPcsc::TextFor(code) + "\n";
}

class ConnectionTest : public ::testing::Test {
  protected:
    void Make() {
        Platform platform;
        platform.pcsc = &pcsc;
        dlg = std::make_unique<CQuorlinDlg>(wnd, platform);
    }
    void MakeAndInit() {
        Make();
        ASSERT_TRUE(dlg->OnInitDialog());
    }
    std::vector<std::string> Readers(int count) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            names.push_back("Reader " + std::to_string(i));
        }
        return names;
    }

    FakeWindow wnd;
    ScriptedPcsc pcsc;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(ConnectionTest, ReaderListOffersAtMostTenInServiceOrder) {
    for (int count : {0, 1, 10, 12}) {
        SCOPED_TRACE(count);
        wnd = FakeWindow();
        pcsc.readers = Readers(count);
        MakeAndInit();
        const auto expected = Readers(std::min(count, 10));
        EXPECT_EQ(wnd.comboItems, expected);
        EXPECT_EQ(wnd.comboSel, count == 0 ? -1 : 0);
        EXPECT_EQ(pcsc.outstandingReaderLists, 0);
        EXPECT_TRUE(wnd.messages.empty());
        dlg.reset();
    }
}

TEST_F(ConnectionTest, FailedReaderListShowsNothingAndStillSelectsEntryZero) {
    pcsc.failures["SCardListReadersA"] = pcsc::kENoService;
    MakeAndInit();
    EXPECT_TRUE(wnd.comboItems.empty());
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_NE(std::find(wnd.calls.begin(), wnd.calls.end(), "ComboSel:1018:0"), wnd.calls.end());
}

TEST_F(ConnectionTest, ConnectsExclusivelyToTheSelectedReader) {
    pcsc.readers = Readers(3);
    MakeAndInit();
    wnd.ComboSetCurSel(res::IDC_COMBO_READER, 2);
    ASSERT_EQ(dlg->ConnectCard(), 0);
    EXPECT_EQ(pcsc.calls.back(), "SCardConnectA:Reader 2:1:3");
    EXPECT_EQ(dlg->m_hCard, pcsc.connectedCard);
    EXPECT_NE(dlg->m_hCard, 0u);
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
}

TEST_F(ConnectionTest, ProtocolRecordFollowsTheActiveProtocol) {
    struct Case {
        std::uint32_t active;
        bool t1;
    };
    for (Case c : {Case{pcsc::kProtocolT1, true}, Case{pcsc::kProtocolT0, false}, Case{0, false},
                   Case{pcsc::kProtocolT0 | pcsc::kProtocolT1, false}, Case{0x10000, false}}) {
        SCOPED_TRACE(c.active);
        pcsc.activeProtocol = c.active;
        MakeAndInit();
        ASSERT_EQ(dlg->ConnectCard(), 0);
        EXPECT_EQ(dlg->m_pioSendPci, c.t1 ? pcsc.T1Pci() : pcsc.T0Pci());
        dlg.reset();
    }
}

TEST_F(ConnectionTest, RefusedConnectionReportsTheCodeAndKeepsTheState) {
    pcsc.readers.clear();  // nothing selected: the empty name goes to the service
    MakeAndInit();
    EXPECT_EQ(dlg->ConnectCard(), -1);
    EXPECT_EQ(pcsc.calls.back(), "SCardConnectA::1:3");
    EXPECT_EQ(dlg->m_hCard, 0u);
    EXPECT_EQ(dlg->m_pioSendPci, nullptr);
    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, SystemErrorText(pcsc::kEUnknownReader));
    EXPECT_EQ(wnd.messages[0].caption, std::nullopt);
    EXPECT_EQ(wnd.messages[0].icon, MsgIcon::None);
    EXPECT_FALSE(wnd.messages[0].ownerless);
}

TEST_F(ConnectionTest, SharingViolationIsShownAfterThePrefix) {
    MakeAndInit();
    pcsc.failures["SCardConnectA"] = pcsc::kESharingViolation;
    EXPECT_EQ(dlg->ConnectCard(), -1);
    EXPECT_EQ(wnd.MessageTexts(),
              std::vector<std::string>{SystemErrorText(pcsc::kESharingViolation)});
}

TEST_F(ConnectionTest, DisconnectWithoutConnectionClearsTheFlagAndReports) {
    MakeAndInit();
    dlg->m_bLoggedIn = 1;
    EXPECT_EQ(dlg->DisconnectCard(), -1);
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_EQ(wnd.MessageTexts(), std::vector<std::string>{SystemErrorText(pcsc::kEInvalidHandle)});
}

TEST_F(ConnectionTest, DisconnectLeavesTheCardAndKeepsTheProtocolRecord) {
    MakeAndInit();
    ASSERT_EQ(dlg->ConnectCard(), 0);
    dlg->m_bLoggedIn = 1;
    const auto* pci = dlg->m_pioSendPci;
    EXPECT_EQ(dlg->DisconnectCard(), 0);
    EXPECT_EQ(pcsc.calls.back(), "SCardDisconnect:0");
    EXPECT_EQ(dlg->m_hCard, 0u);
    EXPECT_EQ(dlg->m_pioSendPci, pci);
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(ConnectionTest, RefusedDisconnectKeepsTheHandleButNotTheLogIn) {
    MakeAndInit();
    ASSERT_EQ(dlg->ConnectCard(), 0);
    const auto card = dlg->m_hCard;
    dlg->m_bLoggedIn = 1;
    pcsc.failures["SCardDisconnect"] = pcsc::kEReaderUnavailable;
    pcsc.failTimes["SCardDisconnect"] = 1;
    EXPECT_EQ(dlg->DisconnectCard(), -1);
    EXPECT_EQ(dlg->m_hCard, card);
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_EQ(wnd.MessageTexts(),
              std::vector<std::string>{SystemErrorText(pcsc::kEReaderUnavailable)});
}

TEST_F(ConnectionTest, RefusedServiceAtConstructionShowsOneBareOwnerlessBox) {
    pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    pcsc.failTimes["SCardEstablishContext"] = 1;
    MakeAndInit();
    EXPECT_EQ(dlg->m_hContext, 0u);
    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, ScriptedPcsc::TextFor(pcsc::kENoService));
    EXPECT_EQ(wnd.messages[0].caption, std::nullopt);
    EXPECT_EQ(wnd.messages[0].icon, MsgIcon::None);
    EXPECT_TRUE(wnd.messages[0].ownerless);
    // The reader list is asked for without a context, and the service refuses it.
    EXPECT_TRUE(wnd.comboItems.empty());

    // The connection makes the next attempt, in system scope.
    pcsc.readers = {"Late Reader"};
    wnd.ComboAddString(res::IDC_COMBO_READER, "Late Reader");
    wnd.ComboSetCurSel(res::IDC_COMBO_READER, 0);
    EXPECT_EQ(dlg->ConnectCard(), 0);
    EXPECT_EQ(pcsc.establishedScopes,
              (std::vector<std::uint32_t>{pcsc::kScopeUser, pcsc::kScopeSystem}));
    EXPECT_NE(dlg->m_hContext, 0u);
    EXPECT_EQ(wnd.messages.size(), 1u);
}

TEST_F(ConnectionTest, RefusedSystemScopeReportsWithThePrefix) {
    pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    MakeAndInit();
    EXPECT_EQ(dlg->ConnectCard(), -1);
    EXPECT_EQ(dlg->m_hContext, 0u);
    EXPECT_EQ(pcsc.connects, 0);
    EXPECT_EQ(wnd.MessageTexts(),
              (std::vector<std::string>{ScriptedPcsc::TextFor(pcsc::kENoService),
                                        SystemErrorText(pcsc::kENoService)}));
    EXPECT_FALSE(wnd.messages[1].ownerless);
}

TEST_F(ConnectionTest, RefusedServiceWithoutTextShowsNothing) {
    pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    pcsc.codesWithoutText.insert(pcsc::kENoService);
    MakeAndInit();
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(ConnectionTest, DestructionReleasesQuietlyWithAndWithoutCard) {
    MakeAndInit();
    dlg.reset();
    EXPECT_EQ(pcsc.releasedContexts, 1);
    EXPECT_EQ(std::count(pcsc.calls.begin(), pcsc.calls.end(), "SCardDisconnect:0"), 0);

    MakeAndInit();
    ASSERT_EQ(dlg->ConnectCard(), 0);
    dlg.reset();
    EXPECT_EQ(pcsc.disconnects, 1);
    EXPECT_EQ(pcsc.releasedContexts, 2);
    EXPECT_EQ(pcsc.calls[pcsc.calls.size() - 2], "SCardDisconnect:0");
    EXPECT_EQ(pcsc.calls.back(), "SCardReleaseContext");
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(ConnectionTest, DestructionReportsOwnerlessAndStillReleases) {
    MakeAndInit();
    ASSERT_EQ(dlg->ConnectCard(), 0);
    pcsc.failures["SCardDisconnect"] = pcsc::kEReaderUnavailable;
    pcsc.failures["SCardReleaseContext"] = pcsc::kENoService;
    dlg.reset();
    EXPECT_EQ(pcsc.calls.back(), "SCardReleaseContext");
    ASSERT_EQ(wnd.messages.size(), 2u);
    EXPECT_EQ(wnd.messages[0].text, SystemErrorText(pcsc::kEReaderUnavailable));
    EXPECT_EQ(wnd.messages[1].text, SystemErrorText(pcsc::kENoService));
    EXPECT_TRUE(wnd.messages[0].ownerless);
    EXPECT_TRUE(wnd.messages[1].ownerless);
}

TEST_F(ConnectionTest, DestructionWithoutContextCallsNothing) {
    pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    MakeAndInit();
    dlg.reset();
    EXPECT_EQ(std::count(pcsc.calls.begin(), pcsc.calls.end(), "SCardReleaseContext"), 0);
}

TEST_F(ConnectionTest, SystemErrorWithoutTextShowsNothing) {
    MakeAndInit();
    pcsc.codesWithoutText.insert(0x80100099u);
    EXPECT_EQ(dlg->ShowSystemError(0x80100099u), -1);
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_EQ(dlg->ShowSystemError(pcsc::kENoSmartcard), 0);
    EXPECT_EQ(wnd.MessageTexts(), std::vector<std::string>{SystemErrorText(pcsc::kENoSmartcard)});
}

}  // namespace
}  // namespace quorlin
