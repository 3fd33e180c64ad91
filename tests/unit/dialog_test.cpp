// The main dialog's initialisation, page logic and command routing.

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

constexpr int kPage0[] = {1000, 1004, 1018, 1005, 1003, 1006};
constexpr int kPage1[] = {1001, 1007, 1008, 1009, 1010, 1011};
constexpr int kPage2[] = {1013, 1014, 1016};

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Platform platform;
        platform.pcsc = &pcsc;
        dlg = std::make_unique<CQuorlinDlg>(wnd, platform);
    }

    // Every control of the page shown, every control of the others hidden; enabling as
    // the log-in state asks.
    void ExpectPage(int page, bool loggedIn) {
        for (int id : kPage0) {
            EXPECT_EQ(wnd.IsShown(id), page == 0) << id;
            EXPECT_TRUE(wnd.IsEnabled(id)) << id;
        }
        for (int id : kPage1) {
            EXPECT_EQ(wnd.IsShown(id), page == 1) << id;
            EXPECT_EQ(wnd.IsEnabled(id), loggedIn) << id;
        }
        for (int id : kPage2) {
            EXPECT_EQ(wnd.IsShown(id), page == 2) << id;
            EXPECT_EQ(wnd.IsEnabled(id), loggedIn) << id;
        }
        EXPECT_EQ(wnd.IsShown(res::IDC_BTN_REGISTER), page == 2);
        EXPECT_FALSE(wnd.IsEnabled(res::IDC_BTN_REGISTER));
    }

    void SwitchTo(int page) {
        wnd.tabSel = page;
        EXPECT_EQ(dlg->OnTabSelChange(res::IDC_TAB), 0);
    }

    FakeWindow wnd;
    ScriptedPcsc pcsc;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(DialogTest, InitialisationBuildsTabsColumnsMenuAndPageZero) {
    dlg->m_bLoggedIn = 1;
    EXPECT_TRUE(dlg->OnInitDialog());
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_EQ(wnd.tabs, (std::vector<std::string>{"登入卡片", "變更密碼", "憑證作業"}));
    EXPECT_EQ(wnd.tabSel, 0);
    EXPECT_EQ(wnd.systemMenu, (std::vector<std::string>{"-", "16:關於 Quorlin(&A)..."}));
    EXPECT_EQ(wnd.listStyle, 0x21u);

    // Columns are inserted 0, 1, 2, 4, 3, so the name columns end up in this order.
    std::vector<std::string> headings;
    std::vector<int> widths;
    for (const auto& c : wnd.columns) {
        headings.push_back(c.heading);
        widths.push_back(c.width);
    }
    EXPECT_EQ(headings, (std::vector<std::string>{"EF", "起始日", "到期日", "Common Name",
                                                  "Container Name"}));
    EXPECT_EQ(widths, (std::vector<int>{50, 75, 75, 200, 150}));
    ExpectPage(0, false);
}

TEST_F(DialogTest, ColumnWidthsDropTheFraction) {
    wnd.listClientWidth = 335;  // unit 20
    dlg->OnInitDialog();
    std::vector<int> widths;
    for (const auto& c : wnd.columns) {
        widths.push_back(c.width);
    }
    EXPECT_EQ(widths, (std::vector<int>{40, 60, 60, 160, 120}));
}

TEST_F(DialogTest, IconIsSetBigThenSmall) {
    dlg->OnInitDialog();
    const std::string big = "SetIcon:" + std::to_string(res::IDR_MAINFRAME) + ":big";
    const std::string small = "SetIcon:" + std::to_string(res::IDR_MAINFRAME) + ":small";
    const auto b = std::find(wnd.calls.begin(), wnd.calls.end(), big);
    const auto s = std::find(wnd.calls.begin(), wnd.calls.end(), small);
    ASSERT_NE(b, wnd.calls.end());
    ASSERT_NE(s, wnd.calls.end());
    EXPECT_LT(b, s);
    EXPECT_EQ(dlg->OnQueryDragIcon(), static_cast<IconHandle>(res::IDR_MAINFRAME));
}

TEST_F(DialogTest, PagesAreGreyedBeforeLogInAndUsableAfter) {
    dlg->OnInitDialog();
    for (int page : {1, 2, 0}) {
        SwitchTo(page);
        ExpectPage(page, false);
    }
    dlg->m_bLoggedIn = 1;
    // Enabling changes only when a page is shown again.
    EXPECT_FALSE(wnd.IsEnabled(1008));
    for (int page : {1, 2, 0}) {
        SwitchTo(page);
        ExpectPage(page, true);
    }
}

TEST_F(DialogTest, OnlyTheValueOneCountsAsLoggedIn) {
    dlg->OnInitDialog();
    dlg->m_bLoggedIn = 2;
    SwitchTo(1);
    ExpectPage(1, false);
}

TEST_F(DialogTest, RegisterButtonIsDisabledEveryTimePageTwoShows) {
    dlg->OnInitDialog();
    dlg->m_bLoggedIn = 1;
    SwitchTo(2);
    wnd.EnableControl(res::IDC_BTN_REGISTER, true);  // as a query that found certificates
    SwitchTo(0);
    SwitchTo(2);
    EXPECT_FALSE(wnd.IsEnabled(res::IDC_BTN_REGISTER));
}

TEST_F(DialogTest, PageOutOfRangeChangesNothing) {
    dlg->OnInitDialog();
    const std::size_t before = wnd.calls.size();
    EXPECT_EQ(dlg->ShowTabPage(3), 0);
    EXPECT_EQ(dlg->ShowTabPage(-1), 0);
    EXPECT_EQ(wnd.calls.size(), before);
}

TEST_F(DialogTest, DataExchangeRunsConfirmNewPinThenPin) {
    wnd.texts[1010] = "c";
    wnd.texts[1008] = "n";
    wnd.texts[1003] = "p";
    wnd.calls.clear();
    dlg->UpdateData(true);
    EXPECT_EQ(wnd.calls,
              (std::vector<std::string>{"GetText:1010", "GetText:1008", "GetText:1003"}));
    EXPECT_EQ(dlg->m_strConfirmPin, "c");
    EXPECT_EQ(dlg->m_strNewPin, "n");
    EXPECT_EQ(dlg->m_strPin, "p");

    dlg->m_strPin.clear();
    wnd.calls.clear();
    dlg->UpdateData(false);
    EXPECT_EQ(wnd.calls,
              (std::vector<std::string>{"SetText:1010:c", "SetText:1008:n", "SetText:1003:"}));
}

TEST_F(DialogTest, SystemCommandsAndEnter) {
    dlg->OnInitDialog();
    dlg->OnSysCommand(0x10, 0);
    dlg->OnSysCommand(0x13, 0);  // the low four bits are the system's
    EXPECT_EQ(wnd.aboutBoxes, 2);
    dlg->OnSysCommand(0xF060, 0);
    EXPECT_EQ(wnd.calls.back(), "DefaultSysCommand:61536");
    EXPECT_EQ(wnd.aboutBoxes, 2);

    const std::size_t before = wnd.calls.size();
    dlg->OnCommand(res::IDOK);
    EXPECT_EQ(wnd.calls.size(), before);
    EXPECT_TRUE(wnd.messages.empty());
}

}  // namespace
}  // namespace quorlin
