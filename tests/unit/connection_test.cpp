// Reader connection: the context at construction and destruction, the reader list, the
// exclusive connection with its protocol record, the disconnect and the error display.

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/DialogHarness.h"

namespace quorlin {
namespace {

using test::ScriptedPcsc;
using test::SystemError;
using Lines = std::vector<std::string>;

Lines Readers(int count) {
    Lines names;
    for (int i = 0; i < count; ++i) {
        names.push_back("Reader " + std::to_string(i));
    }
    return names;
}

class ConnectionTest : public ::testing::Test, public test::DialogHarness<> {
  protected:
    void Open() { ASSERT_TRUE(Start()); }
    int Count(const std::string& call) const {
        return static_cast<int>(std::count(pcsc.calls.begin(), pcsc.calls.end(), call));
    }
};

TEST_F(ConnectionTest, ReaderListOffersAtMostTenInServiceOrderThenSelectsEntryZero) {
    const std::pair<int, std::uint32_t> cases[] = {
        {0, 0}, {1, 0}, {10, 0}, {12, 0}, {3, pcsc::kENoService}};  // a failed list shows nothing
    for (const auto& [count, failure] : cases) {
        SCOPED_TRACE(count);
        dlg.reset();
        wnd = test::FakeWindow();
        pcsc.readers = Readers(count);
        if (failure != 0) {
            pcsc.failures["SCardListReadersA"] = failure;
        }
        Open();
        EXPECT_EQ(wnd.comboItems, Readers(failure ? 0 : std::min(count, 10)));
        EXPECT_NE(std::find(wnd.calls.begin(), wnd.calls.end(), "ComboSel:1018:0"),
                  wnd.calls.end());
        EXPECT_EQ(wnd.comboSel, wnd.comboItems.empty() ? -1 : 0);
        EXPECT_EQ(pcsc.outstandingReaderLists, 0);
        EXPECT_TRUE(wnd.messages.empty());
    }
}

TEST_F(ConnectionTest, ConnectsExclusivelyAndTakesTheT1RecordOnlyForT1) {
    pcsc.readers = Readers(3);
    for (std::uint32_t active : {pcsc::kProtocolT1, pcsc::kProtocolT0, 0u,
                                 pcsc::kProtocolT0 | pcsc::kProtocolT1, 0x10000u}) {
        SCOPED_TRACE(active);
        pcsc.activeProtocol = active;
        Open();
        wnd.ComboSetCurSel(res::IDC_COMBO_READER, 2);
        ASSERT_EQ(dlg->ConnectCard(), 0);
        EXPECT_EQ(pcsc.calls.back(), "SCardConnectA:Reader 2:1:3");
        EXPECT_EQ(dlg->m_hCard, pcsc.connectedCard);
        EXPECT_NE(dlg->m_hCard, 0u);
        EXPECT_EQ(dlg->m_pioSendPci, active == pcsc::kProtocolT1 ? pcsc.T1Pci() : pcsc.T0Pci());
    }
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(ConnectionTest, RefusedConnectionReportsTheCodeAndKeepsTheState) {
    pcsc.readers.clear();  // nothing selected: the empty name goes to the service
    Open();
    EXPECT_EQ(dlg->ConnectCard(), -1);
    EXPECT_EQ(pcsc.calls.back(), "SCardConnectA::1:3");
    EXPECT_EQ(dlg->m_hCard, 0u);
    EXPECT_EQ(dlg->m_pioSendPci, nullptr);
    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, SystemError(pcsc::kEUnknownReader));
    EXPECT_EQ(wnd.messages[0].caption, std::nullopt);
    EXPECT_EQ(wnd.messages[0].icon, MsgIcon::None);
    EXPECT_FALSE(wnd.messages[0].ownerless);
}

TEST_F(ConnectionTest, DisconnectClearsTheLogInFirstAndKeepsTheHandleOnFailure) {
    Open();
    dlg->m_bLoggedIn = 1;
    EXPECT_EQ(dlg->DisconnectCard(), -1);  // no connection
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_EQ(wnd.MessageTexts(), Lines{SystemError(pcsc::kEInvalidHandle)});

    ASSERT_EQ(dlg->ConnectCard(), 0);
    const auto card = dlg->m_hCard;
    const auto* pci = dlg->m_pioSendPci;
    dlg->m_bLoggedIn = 1;
    pcsc.failures["SCardDisconnect"] = pcsc::kEReaderUnavailable;
    pcsc.failTimes["SCardDisconnect"] = 1;
    EXPECT_EQ(dlg->DisconnectCard(), -1);
    EXPECT_EQ(dlg->m_hCard, card);
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_EQ(wnd.messages.back().text, SystemError(pcsc::kEReaderUnavailable));

    wnd.messages.clear();
    EXPECT_EQ(dlg->DisconnectCard(), 0);
    EXPECT_EQ(pcsc.calls.back(), "SCardDisconnect:0");  // leave the card
    EXPECT_EQ(dlg->m_hCard, 0u);
    EXPECT_EQ(dlg->m_pioSendPci, pci);
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(ConnectionTest, RefusedServiceAtConstructionShowsOneBareOwnerlessBox) {
    pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    pcsc.failTimes["SCardEstablishContext"] = 1;
    Open();
    EXPECT_EQ(dlg->m_hContext, 0u);
    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, ScriptedPcsc::TextFor(pcsc::kENoService));
    EXPECT_EQ(wnd.messages[0].caption, std::nullopt);
    EXPECT_EQ(wnd.messages[0].icon, MsgIcon::None);
    EXPECT_TRUE(wnd.messages[0].ownerless);
    EXPECT_TRUE(wnd.comboItems.empty());  // no context, no list

    // The connection makes the next attempt, in system scope.
    pcsc.readers = {"Late Reader"};
    wnd.ComboAddString(res::IDC_COMBO_READER, "Late Reader");
    wnd.ComboSetCurSel(res::IDC_COMBO_READER, 0);
    EXPECT_EQ(dlg->ConnectCard(), 0);
    EXPECT_EQ(pcsc.establishedScopes, (std::vector{pcsc::kScopeUser, pcsc::kScopeSystem}));
    EXPECT_NE(dlg->m_hContext, 0u);
    EXPECT_EQ(wnd.messages.size(), 1u);
}

TEST_F(ConnectionTest, RefusedSystemScopeReportsWithThePrefixAndDestructionCallsNothing) {
    pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    Open();
    EXPECT_EQ(dlg->ConnectCard(), -1);
    EXPECT_EQ(dlg->m_hContext, 0u);
    EXPECT_EQ(pcsc.connects, 0);
    EXPECT_EQ(wnd.MessageTexts(),
              (Lines{ScriptedPcsc::TextFor(pcsc::kENoService), SystemError(pcsc::kENoService)}));
    EXPECT_FALSE(wnd.messages[1].ownerless);
    dlg.reset();
    EXPECT_EQ(Count("SCardReleaseContext"), 0);
}

TEST_F(ConnectionTest, CodesWithoutTextShowNothing) {
    pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    pcsc.codesWithoutText = {pcsc::kENoService, 0x80100099u};
    Open();
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_EQ(dlg->ShowSystemError(0x80100099u), -1);
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_EQ(dlg->ShowSystemError(pcsc::kENoSmartcard), 0);
    EXPECT_EQ(wnd.MessageTexts(), Lines{SystemError(pcsc::kENoSmartcard)});
}

TEST_F(ConnectionTest, DestructionDisconnectsThenReleasesAndReportsOwnerless) {
    Open();
    dlg.reset();
    EXPECT_EQ(Count("SCardReleaseContext"), 1);
    EXPECT_EQ(Count("SCardDisconnect:1"), 0);

    Open();
    ASSERT_EQ(dlg->ConnectCard(), 0);
    dlg.reset();
    EXPECT_EQ(Lines(pcsc.calls.end() - 2, pcsc.calls.end()),
              (Lines{"SCardDisconnect:1", "SCardReleaseContext"}));
    EXPECT_TRUE(wnd.messages.empty());

    // Failures are shown without an owner, and the context is released all the same.
    Open();
    ASSERT_EQ(dlg->ConnectCard(), 0);
    pcsc.failures["SCardDisconnect"] = pcsc::kEReaderUnavailable;
    pcsc.failures["SCardReleaseContext"] = pcsc::kENoService;
    dlg.reset();
    EXPECT_EQ(pcsc.calls.back(), "SCardReleaseContext");
    EXPECT_EQ(wnd.MessageTexts(),
              (Lines{SystemError(pcsc::kEReaderUnavailable), SystemError(pcsc::kENoService)}));
    EXPECT_TRUE(wnd.messages[0].ownerless && wnd.messages[1].ownerless);
}

}  // namespace
}  // namespace quorlin
