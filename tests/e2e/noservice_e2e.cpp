// The dialog over the real pcsc-lite adapter on a machine whose smart-card service is
// down (no pcscd in this namespace).

#include <gtest/gtest.h>

#include "e2e/E2e.h"
#include "fakes/FakeWindow.h"
#include "platform/pcsc/PcscLite.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

TEST(NoService, RefusedContextIsShownOnceWithoutPrefixAndConnectTriesAgain) {
    pcsc::PcscLite pcsc;
    Platform platform;
    platform.pcsc = &pcsc;
    test::FakeWindow window;
    {
        CQuorlinDlg dlg(window, platform);
        EXPECT_EQ(dlg.m_hContext, 0u);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].text, "Service not available.");
        EXPECT_FALSE(window.messages[0].caption.has_value());
        EXPECT_EQ(window.messages[0].icon, MsgIcon::None);
        EXPECT_TRUE(window.messages[0].ownerless);

        dlg.DoModal();
        EXPECT_TRUE(window.comboItems.empty());
        EXPECT_EQ(window.messages.size(), 1u);

        window.SetControlText(res::IDC_EDIT_PIN, "123456");
        dlg.OnCommand(res::IDC_BTN_LOGIN);
        EXPECT_EQ(window.MessageTexts(), (std::vector<std::string>{"Service not available.",
                                                                   "Error:Service not available.\n",
                                                                   res::kConnectFailed}));
        EXPECT_EQ(dlg.m_hContext, 0u);
    }
    // Nothing was held, so closing says nothing.
    EXPECT_EQ(window.messages.size(), 3u);
}

}  // namespace
}  // namespace quorlin
