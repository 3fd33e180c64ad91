// Readers that come and go, through the real service: the dialog starts beside a private
// pcscd with no reader at all; the service is restarted with one vpcd entry and a card,
// as upgrades and on-demand starts restart it, and the list follows, a log-in included;
// restarted again without the entry, the list empties.

#include <gtest/gtest.h>

#include "e2e/CardFixture.h"
#include "res/Strings.h"

namespace quorlin::e2e {
namespace {

using Lines = std::vector<std::string>;

TEST(ReaderWatch, ListFollowsTheServiceThroughRestartsAndALogInSucceeds) {
    ASSERT_FALSE(Env("QUORLIN_CARDSIM").empty()) << "quorlin-cardsim was not built";
    pcsc::PcscLite pcsc;
    Platform platform;
    platform.pcsc = &pcsc;
    platform.watchReaders = true;
    test::FakeWindow window;
    Service service;
    {
        CQuorlinDlg dlg(window, platform);
        dlg.DoModal();
        EXPECT_TRUE(window.comboItems.empty());

        service.Restart(1);
        ASSERT_TRUE(WaitForReaders(2));
        CardSim card(Env("QUORLIN_SOURCE_DIR") + "/tools/cardsim/profiles/demo.json", 0);
        ASSERT_TRUE(card.Present()) << card.LogPath();
        ASSERT_TRUE(PumpUntil(window, {"Virtual PCD 0 00 00", "Virtual PCD 0 00 01"}));
        EXPECT_EQ(window.comboSel, 0);

        window.SetControlText(res::IDC_EDIT_PIN, "123456");
        dlg.OnCommand(res::IDC_BTN_LOGIN);
        EXPECT_EQ(window.MessageTexts(), Lines{res::kLoginOk});
        EXPECT_EQ(dlg.m_bLoggedIn, 1);
        dlg.OnCommand(res::IDC_BTN_LOGIN);  // log out
        EXPECT_EQ(dlg.m_bLoggedIn, 0);

        card.Stop();
        service.Restart(0);
        ASSERT_TRUE(PumpUntil(window, {}));
        EXPECT_EQ(window.comboSel, -1);
    }
    // The dialog is gone, its watcher with it; the service must not have been left waiting.
}

}  // namespace
}  // namespace quorlin::e2e
