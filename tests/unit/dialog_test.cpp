// The main dialog's initialisation, page logic and command routing.

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/DialogHarness.h"

namespace quorlin {
namespace {

using Lines = std::vector<std::string>;

class DialogTest : public ::testing::Test, public test::DialogHarness<> {
  protected:
    DialogTest() { Make(); }

    // The page's controls shown and every other page's hidden; pages 1 and 2 enabled only
    // after log-in, the register button never.
    void ExpectPage(int page, bool loggedIn) {
        const std::vector<int> pages[] = {{1000, 1004, 1018, 1005, 1003, 1006},
                                          {1001, 1007, 1008, 1009, 1010, 1011},
                                          {1013, 1014, 1016}};
        for (int p = 0; p < 3; ++p) {
            for (int id : pages[p]) {
                EXPECT_EQ(wnd.IsShown(id), page == p) << id;
                EXPECT_EQ(wnd.IsEnabled(id), p == 0 || loggedIn) << id;
            }
        }
        EXPECT_EQ(wnd.IsShown(res::IDC_BTN_REGISTER), page == 2);
        EXPECT_FALSE(wnd.IsEnabled(res::IDC_BTN_REGISTER));
    }

    void SwitchTo(int page) { EXPECT_EQ(ClickTab(page), 0); }
};

TEST_F(DialogTest, InitialisationBuildsTabsColumnsMenuAndPageZero) {
    dlg->m_bLoggedIn = 1;
    EXPECT_TRUE(dlg->OnInitDialog());
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_EQ(wnd.tabs, (Lines{"登入卡片", "變更密碼", "憑證作業"}));
    EXPECT_EQ(wnd.tabSel, 0);
    EXPECT_EQ(wnd.systemMenu, (Lines{"-", "16:關於 Quorlin(&A)..."}));
    EXPECT_EQ(wnd.listStyle, 0x21u);
    const std::string icon = "SetIcon:" + std::to_string(res::IDR_MAINFRAME);
    const Lines icons{icon + ":big", icon + ":small"};
    EXPECT_NE(std::search(wnd.calls.begin(), wnd.calls.end(), icons.begin(), icons.end()),
              wnd.calls.end());
    ExpectPage(0, false);
}

TEST_F(DialogTest, ColumnsGoInAsFourBeforeThreeWithSixteenthsOfTheWidth) {
    const std::pair<int, std::vector<int>> cases[] = {{400, {50, 75, 75, 200, 150}},
                                                      {335, {40, 60, 60, 160, 120}}};
    for (const auto& [clientWidth, widths] : cases) {
        wnd = test::FakeWindow();
        wnd.listClientWidth = clientWidth;
        dlg->OnInitDialog();
        Lines headings;
        std::vector<int> got;
        for (const auto& c : wnd.columns) {
            headings.push_back(c.heading);
            got.push_back(c.width);
        }
        EXPECT_EQ(headings, (Lines{"EF", "起始日", "到期日", "Common Name", "Container Name"}));
        EXPECT_EQ(got, widths);
    }
}

TEST_F(DialogTest, PagesAreGreyedUntilTheFlagIsOneAndChangeOnlyOnASwitch) {
    dlg->OnInitDialog();
    for (int flag : {0, 2, 1}) {  // only the value 1 counts as logged in
        dlg->m_bLoggedIn = flag;
        EXPECT_FALSE(wnd.IsEnabled(1008));  // not before the next switch
        for (int page : {1, 2, 0}) {
            SwitchTo(page);
            ExpectPage(page, flag == 1);
        }
    }
    // A query that found certificates enables registering; showing page 2 again undoes it.
    SwitchTo(2);
    wnd.EnableControl(res::IDC_BTN_REGISTER, true);
    SwitchTo(2);
    EXPECT_FALSE(wnd.IsEnabled(res::IDC_BTN_REGISTER));

    const std::size_t before = wnd.calls.size();
    EXPECT_EQ(dlg->ShowTabPage(3), 0);
    EXPECT_EQ(dlg->ShowTabPage(-1), 0);
    EXPECT_EQ(wnd.calls.size(), before);
}

TEST_F(DialogTest, DataExchangeRunsConfirmNewPinThenPin) {
    wnd.texts = {{1010, "c"}, {1008, "n"}, {1003, "p"}};
    wnd.calls.clear();
    dlg->UpdateData(true);
    EXPECT_EQ(wnd.calls, (Lines{"GetText:1010", "GetText:1008", "GetText:1003"}));
    EXPECT_EQ(dlg->m_strConfirmPin, "c");
    EXPECT_EQ(dlg->m_strNewPin, "n");
    EXPECT_EQ(dlg->m_strPin, "p");

    dlg->m_strPin.clear();
    wnd.calls.clear();
    dlg->UpdateData(false);
    EXPECT_EQ(wnd.calls, (Lines{"SetText:1010:c", "SetText:1008:n", "SetText:1003:"}));
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
