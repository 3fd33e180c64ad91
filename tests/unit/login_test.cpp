// Log-in, log-out and PIN change: the order of the steps, every message with its title
// and icon, the focus, the button text, the log-in flag, the fields, and the bytes of
// VERIFY, SELECT and WRITE RECORD on the wire.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <iterator>
#include <map>
#include <tuple>

#include "fakes/DialogHarness.h"
#include "fakes/EnginePcsc.h"
#include "fakes/FakeCrypt.h"
#include "fakes/FakeStore.h"

namespace quorlin {
namespace {

using test::Answer;
using test::Bytes;
using test::Sw;
using test::SystemError;
using Lines = std::vector<std::string>;
using Box = std::tuple<std::string, std::optional<std::string>, MsgIcon>;

const std::string kStd = "Morvex卡片管理工具";
const std::optional<std::string> kApp;  // the application's name
const std::string kFF10 = " FF FF FF FF FF FF FF FF FF FF";
const Answer kOk = Sw("90 00");
const Box kLoginFailed{"卡片登入失敗!", kApp, MsgIcon::Exclamation};

class LoginTest : public ::testing::Test, public test::DialogHarness<> {
  protected:
    void SetUp() override {
        pcsc.readers = {"Reader A"};
        // A card that accepts one AID and answers the other commands as configured.
        pcsc.responder = [this](const Bytes& c) {
            if (c.size() >= 13 && c[1] == 0xA4 && c[2] == 0x04) {
                return c[12] == acceptedAid ? kOk : Sw("6A 82");
            }
            return answers.count(c[1]) ? answers[c[1]] : Sw("6D 00");
        };
        ASSERT_TRUE(Start());
        Forget();
    }

    void Change(const std::string& newPin, const std::string& confirm) {
        Type(res::IDC_EDIT_NEWPIN, newPin);
        Type(res::IDC_EDIT_CONFIRMPIN, confirm);
        Click(res::IDC_BTN_CHANGEPIN);
    }

    int WindowCalls(const std::string& prefix) const {
        return static_cast<int>(std::count_if(wnd.calls.begin(), wnd.calls.end(),
                                              [&](auto& c) { return c.rfind(prefix, 0) == 0; }));
    }
    // The message boxes shown, each owned by the dialog.
    std::vector<Box> Boxes() const {
        std::vector<Box> out;
        for (const test::MessageBoxCall& m : wnd.messages) {
            EXPECT_FALSE(m.ownerless) << m.text;
            out.emplace_back(m.text, m.caption, m.icon);
        }
        return out;
    }
    // The PIN reaches the card and nothing else: no window call, message or PC/SC call.
    void ExpectPinNowhere(const std::string& pin) {
        Lines all = wnd.MessageTexts();
        all.insert(all.end(), wnd.calls.begin(), wnd.calls.end());
        all.insert(all.end(), pcsc.calls.begin(), pcsc.calls.end());
        for (const std::string& line : all) {
            EXPECT_EQ(line.find(pin), std::string::npos) << line;
        }
    }

    std::uint8_t acceptedAid = 0x02;
    std::map<std::uint8_t, Answer> answers{{0xA4, kOk}, {0x20, kOk}, {0xD2, kOk}};
};

TEST_F(LoginTest, ShortPinIsRefusedBeforeAnyReaderAccessWhateverTheButtonSays) {
    // The flag, not the button's text, decides between log-in and log-out.
    wnd.texts[res::IDC_BTN_LOGIN] = "中斷卡片";
    const std::pair<const char*, const char*> cases[] = {
        {"12345", "密碼長度不足"},
        {"密碼1", "密碼長度不足"},  // five bytes in code page 950
        // What code page 950 lacks is refused, never replaced: before the length check.
        {"12345\xF0\x9F\x98\x80", "密碼含有無法使用的字元!"},
        {"é", "密碼含有無法使用的字元!"},
        {"1234567\xE5", "密碼含有無法使用的字元!"},  // broken UTF-8
    };
    for (const auto& [pin, message] : cases) {
        Forget();
        wnd.focus = 0;
        LogIn(pin);
        EXPECT_EQ(Boxes(), (std::vector<Box>{{message, kStd, MsgIcon::Exclamation}}));
        EXPECT_EQ(wnd.focus, res::IDC_EDIT_PIN);
        EXPECT_TRUE(pcsc.calls.empty());
        EXPECT_EQ(WindowCalls("ComboGet"), 0);
        EXPECT_EQ(wnd.Text(res::IDC_EDIT_PIN), pin);
    }
}

TEST_F(LoginTest, PinGoesAsCodePage950PaddedOrCutToSixteenBytes) {
    const std::pair<const char*, std::string> cases[] = {
        {"123456", "31 32 33 34 35 36" + kFF10},
        {"密碼12", "B1 4B BD 58 31 32" + kFF10},
        {"0123456789abcdef", "30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66"},
        {"0123456789abcdefXYZ", "30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66"},
    };
    for (const auto& [pin, padded] : cases) {
        SCOPED_TRACE(pin);
        Forget();
        LogIn(pin);
        EXPECT_EQ(Sent(0x20), Lines{"00 20 01 28 10 " + padded + " 00"});
        ASSERT_EQ(dlg->m_bLoggedIn, 1);
        dlg->OnCommand(res::IDC_BTN_LOGIN);  // log out for the next case
    }
}

TEST_F(LoginTest, RefusedVerifyShowsItsMessageThenFailsUnderTheAppName) {
    const std::pair<Answer, const char*> cases[] = {
        {Sw("66 08"), "AN PIN驗證錯誤!"},
        {Sw("66 20"), "AN PIN已鎖住!"},
        {Sw("69 82"), "AN PIN驗證過程發生錯誤!"},
        {{pcsc::kWRemovedCard, {}}, "AN PIN驗證過程發生錯誤!"},
    };
    acceptedAid = 0x01;
    std::vector<bool> connectedAtBox;
    wnd.onMessageBox = [&](auto&) { connectedAtBox.push_back(pcsc.connectedCard && dlg->m_hCard); };
    for (const auto& [answer, message] : cases) {
        SCOPED_TRACE(message);
        Forget();
        connectedAtBox.clear();
        answers[0x20] = answer;
        LogIn("654321");
        EXPECT_EQ(Boxes(), (std::vector<Box>{{message, kStd, MsgIcon::None}, kLoginFailed}));
        EXPECT_EQ(connectedAtBox, (std::vector<bool>{true, false}));
        EXPECT_EQ(dlg->m_bLoggedIn, 0);
        EXPECT_EQ(dlg->m_hCard, 0u);
        EXPECT_EQ(dlg->m_strPin, "654321");
        EXPECT_EQ(wnd.Text(res::IDC_EDIT_PIN), "654321");
        EXPECT_EQ(WindowCalls("SetText:"), 0);
        EXPECT_EQ(dlg->m_strCspName, "Ulvane Cryptographic Service Provider");
        ExpectPinNowhere("654321");
    }
}

TEST_F(LoginTest, SuccessTitlesWithTheProviderAndASecondClickLogsOutSilently) {
    const std::tuple<std::uint8_t, const char*, std::size_t> cases[] = {
        {0x02, "Ulvane CSP Enterprise", 1}, {0x03, "Morvex CSP Enterprise", 3}};
    bool stateAtBox = false;
    wnd.onMessageBox = [&](auto&) {
        stateAtBox = dlg->m_bLoggedIn == 1 && wnd.Text(res::IDC_BTN_LOGIN) == "中斷卡片" &&
                     dlg->m_strPin == "246813";
    };
    for (const auto& [aid, csp, selects] : cases) {
        SCOPED_TRACE(csp);
        Forget();
        acceptedAid = aid;
        stateAtBox = false;
        LogIn("246813");
        EXPECT_EQ(Boxes(), (std::vector<Box>{{"卡片登入成功", csp, MsgIcon::Information}}));
        EXPECT_TRUE(stateAtBox);
        EXPECT_EQ(Sent(0xA4).size(), selects);
        EXPECT_EQ(dlg->m_strPin, "");
        EXPECT_EQ(wnd.calls.back(), "SetText:1003:");
        // The card stays connected for the PIN change and the query; pages wait for a switch.
        EXPECT_NE(dlg->m_hCard, 0u);
        EXPECT_EQ(pcsc.disconnects, 0);
        EXPECT_EQ(WindowCalls("Show:") + WindowCalls("Enable:"), 0);
        ExpectPinNowhere("246813");

        Forget();
        dlg->OnCommand(res::IDC_BTN_LOGIN);
        EXPECT_EQ(wnd.calls, Lines{"SetText:1006:登入卡片"});
        EXPECT_TRUE(wnd.messages.empty());
        EXPECT_EQ(dlg->m_bLoggedIn, 0);
        EXPECT_EQ(dlg->m_hCard, 0u);
        EXPECT_EQ(pcsc.calls, Lines{"SCardDisconnect:1"});  // the card forgets the PIN
    }
}

// Every disconnect: a verified session is reset on the card, a refused log-in leaves it.
TEST_F(LoginTest, AVerifiedSessionIsResetOnTheCardAndARefusedOneLeftAsFound) {
    test::FakeCrypt crypt;
    test::FakeStore store;
    const struct {
        std::uint8_t aid;
        Answer verify;
        std::function<void()> end;
        Lines disconnects;
    } cases[] = {
        {0x02, kOk, [this] { Click(res::IDC_BTN_LOGIN); }, {"SCardDisconnect:1"}},
        {0x02, kOk, [this] { dlg->RegisterCertificates(); }, {"SCardDisconnect:1"}},
        {0x02, kOk, [this] { Make(); }, {"SCardDisconnect:1", "SCardReleaseContext"}},
        {0x7F, kOk, [] {}, {"SCardDisconnect:0"}},          // a card of another kind
        {0x02, Sw("66 08"), [] {}, {"SCardDisconnect:0"}},  // a wrong PIN
    };
    for (const auto& c : cases) {
        Make({.crypt = &crypt, .store = &store});
        Forget();
        acceptedAid = c.aid;
        answers[0x20] = c.verify;
        LogIn("123456");
        c.end();
        Lines calls;
        std::copy_if(pcsc.calls.begin(), pcsc.calls.end(), std::back_inserter(calls),
                     [](const std::string& call) {
                         return call.rfind("SCardD", 0) == 0 || call == "SCardReleaseContext";
                     });
        EXPECT_EQ(calls, c.disconnects);
    }
    dlg.reset();
}

TEST_F(LoginTest, FailuresAroundVerifyAreReportedInOrder) {
    // No connection: the service's text, then the connection error; no card command.
    pcsc.failures["SCardConnectA"] = pcsc::kENoSmartcard;
    pcsc.failTimes["SCardConnectA"] = 1;
    LogIn("123456");
    EXPECT_EQ(Boxes(), (std::vector<Box>{{SystemError(pcsc::kENoSmartcard), kApp, MsgIcon::None},
                                         {"卡片連結錯誤!", kStd, MsgIcon::Exclamation}}));
    EXPECT_TRUE(pcsc.commands.empty());
    EXPECT_EQ(pcsc.disconnects, 0);
    EXPECT_EQ(wnd.Text(res::IDC_EDIT_PIN), "123456");

    // A card of another kind is disconnected before the message, and no PIN goes out.
    Forget();
    acceptedAid = 0x7F;
    bool connectedAtBox = true;
    wnd.onMessageBox = [&](auto&) { connectedAtBox = pcsc.connectedCard != 0; };
    LogIn("123456");
    EXPECT_EQ(
        Boxes(),
        (std::vector<Box>{{"卡片種類錯誤，Select Applet Failed!", kStd, MsgIcon::Exclamation}}));
    EXPECT_FALSE(connectedAtBox);
    EXPECT_EQ(Sent(0xA4).size(), 3u);
    EXPECT_TRUE(Sent(0x20).empty());

    // A failed disconnect after a refused PIN comes between the two messages.
    Forget();
    acceptedAid = 0x02;
    answers[0x20] = Sw("66 08");
    pcsc.failures["SCardDisconnect"] = pcsc::kEReaderUnavailable;
    pcsc.failTimes["SCardDisconnect"] = 1;
    LogIn("123456");
    EXPECT_EQ(wnd.MessageTexts(),
              (Lines{"AN PIN驗證錯誤!", SystemError(pcsc::kEReaderUnavailable), "卡片登入失敗!"}));
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
}

TEST_F(LoginTest, VerifyPinResultIsTheLowHalfAndNeverZeroOnFailure) {
    ASSERT_EQ(dlg->ConnectCard(), 0);
    const std::uint8_t pin[6] = {'1', '2', '3', '4', '5', '6'};
    const std::pair<Answer, std::int32_t> cases[] = {
        {Sw("66 08"), 0x6608}, {{pcsc::kWRemovedCard, {}}, 0x0069}, {kOk, 0}};
    for (const auto& [answer, result] : cases) {
        answers[0x20] = answer;
        EXPECT_EQ(dlg->VerifyPin(6, pin), result);
    }
    EXPECT_EQ(wnd.messages.size(), 2u);  // the two from the failures
}

class PinChangeTest : public LoginTest {
  protected:
    void SetUp() override {
        LoginTest::SetUp();
        LogIn();
    }
    void LogIn() {
        DialogHarness::LogIn("123456");
        ASSERT_EQ(dlg->m_bLoggedIn, 1);
        Forget();
    }
};

TEST_F(PinChangeTest, RefusalsMoveTheFocusAndSendNothing) {
    const int kNew = res::IDC_EDIT_NEWPIN, kConfirm = res::IDC_EDIT_CONFIRMPIN;
    const std::tuple<const char*, const char*, const char*, int> cases[] = {
        {"12345", "12345", "密碼長度不足!", kNew},
        {"", "", "密碼長度不足!", kNew},
        {"0123456789abcdefg", "0123456789abcdefg", "密碼長度過長!", kNew},
        {"0123456789abcdefg", "x", "密碼長度過長!", kNew},  // tested before the comparison
        {"密碼密碼密碼密碼1", "密碼密碼密碼密碼1", "密碼長度過長!", kNew},  // 17 bytes in 950
        {"654321", "654320", "密碼不一致!", kConfirm},
        {"654321", "6543210", "密碼不一致!", kConfirm},
        {"654321", "", "密碼不一致!", kConfirm},
        // A character code page 950 lacks: refused before the length checks, and in the
        // confirmation it never matches, not even itself.
        {"123456é", "123456ü", "密碼含有無法使用的字元!", kNew},
        {"é", "é", "密碼含有無法使用的字元!", kNew},
        {"0123456789abcdefg\xF0\x9F\x98\x80", "x", "密碼含有無法使用的字元!", kNew},
        {"123456\x80", "123456\x80", "密碼含有無法使用的字元!", kNew},
        {"123456", "123456é", "密碼不一致!", kConfirm},
    };
    for (const auto& [newPin, confirm, message, focus] : cases) {
        SCOPED_TRACE(std::string(newPin) + "/" + confirm);
        wnd.messages.clear();
        wnd.focus = 0;
        Change(newPin, confirm);
        EXPECT_EQ(Boxes(), (std::vector<Box>{{message, kStd, MsgIcon::None}}));
        EXPECT_EQ(wnd.focus, focus);
        EXPECT_TRUE(pcsc.commands.empty());
    }
    EXPECT_EQ(dlg->m_bLoggedIn, 1);
}

TEST_F(PinChangeTest, ChangeSelectsThePinFileAndWritesThePaddedPin) {
    const std::tuple<std::uint32_t, const char*, std::string, const char*> cases[] = {
        {pcsc::kProtocolT0, "654321", "36 35 34 33 32 31" + kFF10, ""},
        {pcsc::kProtocolT1, "密碼密碼密碼密碼", "B1 4B BD 58 B1 4B BD 58 B1 4B BD 58 B1 4B BD 58",
         " 00"},
    };
    for (const auto& [protocol, pin, record, le] : cases) {
        SCOPED_TRACE(pin);
        dlg->OnCommand(res::IDC_BTN_LOGIN);
        pcsc.activeProtocol = protocol;
        LogIn();
        Change(pin, pin);
        EXPECT_EQ(pcsc.SentHex(), (Lines{"00 A4 02 00 02 00 C7" + std::string(le),
                                         "00 D2 01 04 10 " + record + le}));
        EXPECT_EQ(Boxes(), (std::vector<Box>{{"密碼變更完成", kStd, MsgIcon::None}}));
        // The fields keep their texts and nothing is written back to them.
        EXPECT_EQ(wnd.Text(res::IDC_EDIT_NEWPIN), pin);
        EXPECT_EQ(wnd.Text(res::IDC_EDIT_CONFIRMPIN), pin);
        EXPECT_EQ(WindowCalls("SetText:"), 0);
        EXPECT_EQ(dlg->m_bLoggedIn, 1);
        EXPECT_NE(dlg->m_hCard, 0u);
        ExpectPinNowhere(pin);
    }
}

TEST_F(PinChangeTest, FailedSelectOrWriteIsAnError) {
    // A PIN file that cannot be selected: nothing is written, and the user is told.
    const std::tuple<Answer, Answer, std::size_t> cases[] = {{kOk, Sw("69 82"), 1},
                                                             {Sw("6A 82"), kOk, 0}};
    for (const auto& [select, write, writes] : cases) {
        Forget();
        answers[0xA4] = select;
        answers[0xD2] = write;
        Change("654321", "654321");
        EXPECT_EQ(Boxes(), (std::vector<Box>{{"密碼變更錯誤!", kStd, MsgIcon::None}}));
        EXPECT_EQ(Sent(0xD2).size(), writes);
        EXPECT_EQ(dlg->m_bLoggedIn, 1);
        EXPECT_EQ(pcsc.disconnects, 0);
    }
}

// Against the card engine: the record the dialog writes is the one its VERIFY matches.
TEST(EngineLoginTest, ChangedPinIsTheOneTheNextLogInNeeds) {
    cardsim::Profile profile;
    profile.applet = "ulvane-enterprise";
    profile.protocol = pcsc::kProtocolT1;
    profile.pinRecord.fill(0xFF);
    std::copy_n("123456", 6, profile.pinRecord.begin());
    profile.pinRetries = 3;
    test::DialogHarness<test::EnginePcsc> h{cardsim::Engine(profile)};
    ASSERT_TRUE(h.Start());
    auto click = [&](int field, const std::string& text, int button = res::IDC_BTN_LOGIN) {
        h.wnd.messages.clear();
        h.Type(field, text);
        h.Click(button);
        return h.wnd.MessageTexts();
    };
    EXPECT_EQ(click(res::IDC_EDIT_PIN, "123456"), Lines{"卡片登入成功"});
    h.Type(res::IDC_EDIT_NEWPIN, "密碼9876");
    EXPECT_EQ(click(res::IDC_EDIT_CONFIRMPIN, "密碼9876", res::IDC_BTN_CHANGEPIN),
              Lines{"密碼變更完成"});
    const std::array<std::uint8_t, 16> record = {0xB1, 0x4B, 0xBD, 0x58, '9',  '8',  '7',  '6',
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(h.pcsc.engine.PinRecord(), record);
    h.Click(res::IDC_BTN_LOGIN);  // log out
    EXPECT_EQ(click(res::IDC_EDIT_PIN, "123456"), (Lines{"AN PIN驗證錯誤!", "卡片登入失敗!"}));
    EXPECT_EQ(click(res::IDC_EDIT_PIN, "密碼9876"), Lines{"卡片登入成功"});
}

}  // namespace
}  // namespace quorlin
