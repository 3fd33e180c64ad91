// Log-in, log-out and PIN change through pcsc-lite, pcscd, vpcd and quorlin-cardsim:
// what the user is told, and the commands the card receives (PIN bytes masked).

#include <algorithm>

#include "applet/Applet.h"
#include "e2e/CardFixture.h"
#include "res/Strings.h"

namespace quorlin::e2e {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

json Card(const char* applet, const char* protocol, int retries = 3) {
    return json{{"applet", applet},
                {"protocol", protocol},
                {"pin", "123456"},
                {"pinRetries", retries},
                {"containers", json::array()}};
}

class Login : public CardFixture {
  protected:
    void LogIn(CQuorlinDlg& dlg, const std::string& pin) {
        window.SetControlText(res::IDC_EDIT_PIN, pin);
        dlg.OnCommand(res::IDC_BTN_LOGIN);
    }

    // Neither PIN's bytes reach the simulator's log.
    static void ExpectNoPinIn(const CardSim& sim, const std::vector<std::string>& pins) {
        for (const auto& line : sim.LogLines()) {
            for (const auto& pin : pins) {
                EXPECT_EQ(line.find(HexOf(pin)), std::string::npos) << line;
            }
        }
    }

    void ExpectRefused(std::size_t from, const char* cardMessage) {
        ASSERT_EQ(window.messages.size(), from + 2);
        EXPECT_EQ(window.messages[from].text, cardMessage);
        EXPECT_EQ(window.messages[from].caption, std::optional<std::string>(res::kStdTitle));
        EXPECT_EQ(window.messages[from].icon, MsgIcon::None);
        EXPECT_EQ(window.messages[from + 1].text, res::kLoginFailed);
        EXPECT_FALSE(window.messages[from + 1].caption.has_value());
        EXPECT_EQ(window.messages[from + 1].icon, MsgIcon::Exclamation);
    }
};

TEST_F(Login, RightPinUnderT0) {
    CardSim& sim = Insert(Card("morvex", "T=0"));
    CQuorlinDlg& dlg = Open(window);
    LogIn(dlg, "123456");
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, res::kLoginOk);
    EXPECT_EQ(window.messages[0].caption, std::optional<std::string>(applet::kMorvexCspEnterprise));
    EXPECT_EQ(window.messages[0].icon, MsgIcon::Information);
    EXPECT_EQ(dlg.m_bLoggedIn, 1);
    EXPECT_NE(dlg.m_hCard, 0u);
    EXPECT_EQ(window.Text(res::IDC_BTN_LOGIN), res::kBtnLogout);
    EXPECT_EQ(window.Text(res::IDC_EDIT_PIN), "");
    EXPECT_EQ(sim.Commands(), (Lines{SelectAid("02"), SelectAid("01"), SelectAid("03"),
                                     "00 C0 00 00 1A", "00 20 01 28 10 " + MaskedPin()}));
    ExpectNoPinIn(sim, {"123456"});

    // The same button logs out, silently.
    dlg.OnCommand(res::IDC_BTN_LOGIN);
    EXPECT_EQ(dlg.m_bLoggedIn, 0);
    EXPECT_EQ(dlg.m_hCard, 0u);
    EXPECT_EQ(window.Text(res::IDC_BTN_LOGIN), res::kBtnLogin);
    EXPECT_EQ(window.messages.size(), 1u);
}

TEST_F(Login, RightPinUnderT1) {
    CardSim& sim = Insert(Card("ulvane-enterprise", "T=1"));
    CQuorlinDlg& dlg = Open(window);
    LogIn(dlg, "123456");
    ASSERT_EQ(window.MessageTexts(), (Lines{res::kLoginOk}));
    EXPECT_EQ(window.messages[0].caption, std::optional<std::string>(applet::kUlvaneCspEnterprise));
    EXPECT_EQ(dlg.m_bLoggedIn, 1);
    EXPECT_EQ(sim.Commands(),
              (Lines{SelectAid("02") + " 00", "00 20 01 28 10 " + MaskedPin() + " 00"}));
    ExpectNoPinIn(sim, {"123456"});
}

TEST_F(Login, ClosingWhileLoggedInSaysNothingAndFreesTheCard) {
    Insert(Card("ulvane-enterprise", "T=1"));
    {
        CQuorlinDlg dlg(window, platform);
        dlg.DoModal();
        LogIn(dlg, "123456");
        ASSERT_EQ(dlg.m_bLoggedIn, 1);
    }
    EXPECT_EQ(window.MessageTexts(), (Lines{res::kLoginOk}));
    // The connection is gone: another one may have the card.
    test::FakeWindow next;
    EXPECT_EQ(Open(next).ConnectCard(), 0);
}

// Whoever connects after the log-out finds the session ended on the card: without a PIN,
// neither the PIN file nor its record can be reached.
TEST_F(Login, LogOutLeavesNoVerifiedCardBehind) {
    CardSim& sim = Insert(Card("morvex", "T=0"));
    CQuorlinDlg& dlg = Open(window);
    LogIn(dlg, "123456");
    ASSERT_EQ(dlg.m_bLoggedIn, 1);
    dlg.OnCommand(res::IDC_BTN_LOGIN);
    ASSERT_EQ(dlg.m_hCard, 0u);

    const std::size_t before = sim.Commands().size();
    test::FakeWindow next;
    CQuorlinDlg& other = Open(next);
    ASSERT_EQ(other.ConnectCard(), 0);
    EXPECT_EQ(other.SelectFile(0x00, 0xC7), 0x6A82);
    const std::uint8_t record[applet::kPaddedPinLength] = {'6', '5', '4', '3', '2', '1'};
    EXPECT_EQ(other.WritePinRecord(applet::kPinRecord, sizeof record, record), 0x6985);
    EXPECT_EQ(sim.Commands().size(), before + 2);
}

TEST_F(Login, WrongPinTwiceThenTheRightOne) {
    CardSim& sim = Insert(Card("ulvane-enterprise", "T=1"));
    CQuorlinDlg& dlg = Open(window);
    LogIn(dlg, "654321");
    ExpectRefused(0, res::kPinWrong);
    EXPECT_EQ(dlg.m_bLoggedIn, 0);
    EXPECT_EQ(dlg.m_hCard, 0u);
    EXPECT_EQ(window.Text(res::IDC_EDIT_PIN), "654321");
    EXPECT_NE(window.Text(res::IDC_BTN_LOGIN), res::kBtnLogout);

    LogIn(dlg, "1234567");
    ExpectRefused(2, res::kPinWrong);

    LogIn(dlg, "123456");
    ASSERT_EQ(window.messages.size(), 5u);
    EXPECT_EQ(window.messages[4].text, res::kLoginOk);
    EXPECT_EQ(dlg.m_bLoggedIn, 1);

    const Lines log = sim.LogLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), "< 66 08"), 2);
    ExpectNoPinIn(sim, {"654321", "1234567", "123456"});
}

TEST_F(Login, BlockedPinRefusesEvenTheRightOne) {
    CardSim& sim = Insert(Card("ulvane-provider", "T=0", 1));
    CQuorlinDlg& dlg = Open(window);
    LogIn(dlg, "000000");
    ExpectRefused(0, res::kPinWrong);
    LogIn(dlg, "123456");
    ExpectRefused(2, res::kPinBlocked);
    EXPECT_EQ(dlg.m_bLoggedIn, 0);
    EXPECT_EQ(dlg.m_hCard, 0u);
    // The CSP the AID gave stays after a refused VERIFY.
    EXPECT_EQ(dlg.m_strCspName, applet::kUlvaneCryptoProvider);
    const Lines log = sim.LogLines();
    EXPECT_EQ(log.back(), "< 66 20");
}

TEST_F(Login, ChangedPinOpensTheNextConnectionAndTheOldOneNoLonger) {
    CardSim& sim = Insert(Card("morvex", "T=0"));
    {
        CQuorlinDlg& dlg = Open(window);
        LogIn(dlg, "123456");
        ASSERT_EQ(dlg.m_bLoggedIn, 1);
        window.SetControlText(res::IDC_EDIT_NEWPIN, "24681357");
        window.SetControlText(res::IDC_EDIT_CONFIRMPIN, "24681357");
        dlg.OnCommand(res::IDC_BTN_CHANGEPIN);
        ASSERT_EQ(window.MessageTexts(), (Lines{res::kLoginOk, res::kPinChanged}));
        EXPECT_EQ(window.messages[1].caption, std::optional<std::string>(res::kStdTitle));
        EXPECT_EQ(window.messages[1].icon, MsgIcon::None);
        EXPECT_EQ(dlg.m_bLoggedIn, 1);
        const Lines commands = sim.Commands();
        ASSERT_GE(commands.size(), 2u);
        EXPECT_EQ(commands[commands.size() - 2], "00 A4 02 00 02 00 C7");
        EXPECT_EQ(commands.back(), "00 D2 01 04 10 " + MaskedPin());
        dlg.OnCommand(res::IDC_BTN_LOGIN);  // log out
        ASSERT_EQ(dlg.m_hCard, 0u);
    }

    test::FakeWindow next;
    CQuorlinDlg& again = Open(next);
    next.SetControlText(res::IDC_EDIT_PIN, "123456");
    again.OnCommand(res::IDC_BTN_LOGIN);
    ASSERT_EQ(next.MessageTexts(), (Lines{res::kPinWrong, res::kLoginFailed}));
    next.SetControlText(res::IDC_EDIT_PIN, "24681357");
    again.OnCommand(res::IDC_BTN_LOGIN);
    ASSERT_EQ(next.MessageTexts(), (Lines{res::kPinWrong, res::kLoginFailed, res::kLoginOk}));
    EXPECT_EQ(again.m_bLoggedIn, 1);
    ExpectNoPinIn(sim, {"123456", "24681357"});
}

}  // namespace
}  // namespace quorlin::e2e
