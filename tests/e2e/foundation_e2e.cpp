// The dialog over the real pcsc-lite adapter and a private pcscd with six vpcd entries
// (twelve readers, no card in any): reader list, failed connection, error texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2e.h"
#include "fakes/FakeWindow.h"
#include "platform/pcsc/PcscLite.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

using test::FakeWindow;

class Foundation : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(e2e::WaitForReaders(12)) << "the private pcscd lists too few readers";
        platform.pcsc = &pcsc;
    }

    pcsc::PcscLite pcsc;
    Platform platform;
    FakeWindow window;
};

TEST_F(Foundation, OffersTheFirstTenOfTwelveReadersInTheServicesOrder) {
    const std::vector<std::string> service = e2e::ListReaders();
    ASSERT_EQ(service.size(), 12u);
    // Two slots for each vpcd entry, in the order of reader.conf.d.
    std::vector<std::string> configured;
    for (int entry = 0; entry < 6; ++entry) {
        for (int slot = 0; slot < 2; ++slot) {
            configured.push_back("Virtual PCD " + std::to_string(entry) + " 00 0" +
                                 std::to_string(slot));
        }
    }
    EXPECT_EQ(service, configured);

    CQuorlinDlg dlg(window, platform);
    EXPECT_NE(dlg.m_hContext, 0u);
    dlg.DoModal();
    const std::vector<std::string> firstTen(service.begin(), service.begin() + 10);
    EXPECT_EQ(window.comboItems, firstTen);
    EXPECT_EQ(window.comboSel, 0);
    EXPECT_TRUE(window.messages.empty());
}

TEST_F(Foundation, ConnectingToAnEmptyReaderShowsTheServicesNoCardText) {
    {
        CQuorlinDlg dlg(window, platform);
        dlg.DoModal();
        window.ComboSetCurSel(res::IDC_COMBO_READER, 3);
        EXPECT_EQ(dlg.ConnectCard(), -1);
        EXPECT_EQ(dlg.m_hCard, 0u);
        EXPECT_NE(dlg.m_hContext, 0u);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].text, "Error:No smart card inserted.\n");
        EXPECT_FALSE(window.messages[0].caption.has_value());
        EXPECT_EQ(window.messages[0].icon, MsgIcon::None);
        EXPECT_FALSE(window.messages[0].ownerless);
    }
    // Closing with a context and no card says nothing.
    EXPECT_EQ(window.messages.size(), 1u);
}

TEST_F(Foundation, LogInToAnEmptyReaderReportsTheServiceThenTheConnectionError) {
    CQuorlinDlg dlg(window, platform);
    dlg.DoModal();
    window.SetControlText(res::IDC_EDIT_PIN, "123456");
    dlg.OnCommand(res::IDC_BTN_LOGIN);
    ASSERT_EQ(window.MessageTexts(),
              (std::vector<std::string>{"Error:No smart card inserted.\n", res::kConnectFailed}));
    EXPECT_EQ(window.messages[1].icon, MsgIcon::Exclamation);
    EXPECT_EQ(dlg.m_bLoggedIn, 0);
    EXPECT_EQ(dlg.m_hCard, 0u);
}

TEST_F(Foundation, UnknownReaderAndDisconnectWithoutCardUseTheServicesTexts) {
    CQuorlinDlg dlg(window, platform);
    dlg.DoModal();
    window.comboItems.clear();
    window.comboSel = -1;  // nothing selected: the empty name
    EXPECT_EQ(dlg.ConnectCard(), -1);
    dlg.m_bLoggedIn = 1;
    EXPECT_EQ(dlg.DisconnectCard(), -1);
    EXPECT_EQ(dlg.m_bLoggedIn, 0);
    EXPECT_EQ(window.MessageTexts(), (std::vector<std::string>{"Error:Unknown reader specified.\n",
                                                               "Error:Invalid handle.\n"}));
}

TEST_F(Foundation, AdapterCarriesCodesBothWaysAndDropsTextsTheServiceMakesUp) {
    EXPECT_EQ(pcsc.FormatErrorText(pcsc::kEInsufficientBuffer), "Insufficient buffer.");
    EXPECT_EQ(pcsc.FormatErrorText(pcsc::kWRemovedCard), "Card was removed.");
    EXPECT_EQ(pcsc.FormatErrorText(0x80100099u), "");
    EXPECT_EQ(pcsc.FormatErrorText(0x12345678u), "");

    CQuorlinDlg dlg(window, platform);
    EXPECT_EQ(dlg.ShowSystemError(0x80100099u), -1);
    EXPECT_TRUE(window.messages.empty());

    // The reader list through the adapter, with the service's own allocation.
    pcsc::ScardContext context = 0;
    ASSERT_EQ(pcsc.SCardEstablishContext(pcsc::kScopeSystem, &context), pcsc::kSuccess);
    char* list = nullptr;
    std::uint32_t length = pcsc::kAutoAllocate;
    ASSERT_EQ(pcsc.SCardListReadersA(context, nullptr, reinterpret_cast<char*>(&list), &length),
              pcsc::kSuccess);
    ASSERT_NE(list, nullptr);
    ASSERT_GT(length, 1u);
    EXPECT_EQ(list[length - 1], '\0');
    EXPECT_EQ(list[length - 2], '\0');
    EXPECT_EQ(std::string(list), "Virtual PCD 0 00 00");
    EXPECT_EQ(pcsc.SCardFreeMemory(context, list), pcsc::kSuccess);

    // A caller's buffer that is too small gets the service's code, as 32 bits.
    char small[4];
    length = sizeof small;
    EXPECT_EQ(pcsc.SCardListReadersA(context, nullptr, small, &length), pcsc::kEInsufficientBuffer);

    // A connection attempt clears the handle it is given.
    pcsc::ScardHandle card = 0x1234;
    std::uint32_t protocol = 0;
    EXPECT_EQ(pcsc.SCardConnectA(context, "Virtual PCD 0 00 00", pcsc::kShareExclusive,
                                 pcsc::kProtocolT0 | pcsc::kProtocolT1, &card, &protocol),
              pcsc::kENoSmartcard);
    EXPECT_EQ(card, 0u);
    EXPECT_EQ(pcsc.SCardReleaseContext(context), pcsc::kSuccess);
    EXPECT_EQ(pcsc.SCardReleaseContext(context), pcsc::kEInvalidHandle);
}

}  // namespace
}  // namespace quorlin
