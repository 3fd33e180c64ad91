// Log-in, log-out and PIN change: the order of the steps, every message with its title
// and icon, the focus, the button text, the log-in flag, the fields, and the bytes of
// VERIFY, SELECT and WRITE RECORD on the wire.

#include <gtest/gtest.h>

#include <memory>

#include "fakes/EnginePcsc.h"
#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

using test::Answer;
using test::Bytes;
using test::Hex;
using test::MessageBoxCall;
using test::ScriptedPcsc;
using test::ToHex;

constexpr char kStdTitle[] = "Morvex卡片管理工具";
constexpr char kFF10[] = "FF FF FF FF FF FF FF FF FF FF";

class LoginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pcsc.readers = {"Reader A"};
        pcsc.responder = [this](const Bytes& c) { return Card(c); };
        Platform platform;
        platform.pcsc = &pcsc;
        dlg = std::make_unique<CQuorlinDlg>(wnd, platform);
        ASSERT_TRUE(dlg->OnInitDialog());
        wnd.calls.clear();
        pcsc.calls.clear();
    }

    // A card that accepts one AID and answers the other commands as configured.
    Answer Card(const Bytes& c) {
        if (c.size() < 4) {
            return {pcsc::kSuccess, Hex("67 00")};
        }
        switch (c[1]) {
            case 0xA4:
                if (c[2] == 0x04) {
                    return {pcsc::kSuccess,
                            c.size() >= 13 && c[12] == acceptedAid ? Hex("90 00") : Hex("6A 82")};
                }
                return selectFileAnswer;
            case 0x20:
                return verifyAnswer;
            case 0xD2:
                return writeAnswer;
            default:
                return {pcsc::kSuccess, Hex("6D 00")};
        }
    }

    void Type(int id, const std::string& text) { wnd.texts[id] = text; }
    void Click(int id) { dlg->OnCommand(id); }

    std::vector<Bytes> Sent(std::uint8_t ins) const {
        std::vector<Bytes> out;
        for (const Bytes& c : pcsc.commands) {
            if (c.size() >= 2 && c[1] == ins) {
                out.push_back(c);
            }
        }
        return out;
    }

    std::string VerifyOnWire() const {
        const auto v = Sent(0x20);
        return v.size() == 1 ? ToHex(v[0]) : "(" + std::to_string(v.size()) + " VERIFY)";
    }

    void LogIn(const std::string& pin = "123456") {
        Type(res::IDC_EDIT_PIN, pin);
        Click(res::IDC_BTN_LOGIN);
        ASSERT_EQ(dlg->m_bLoggedIn, 1);
        wnd.messages.clear();
        wnd.calls.clear();
        pcsc.commands.clear();
    }

    // The PIN reaches the card and nothing else: no window call, message or PC/SC call
    // other than the command bytes carries it.
    void ExpectPinNowhere(const std::string& pin) {
        for (const std::string& call : wnd.calls) {
            EXPECT_EQ(call.find(pin), std::string::npos) << call;
        }
        for (const MessageBoxCall& m : wnd.messages) {
            EXPECT_EQ(m.text.find(pin), std::string::npos) << m.text;
        }
        for (const std::string& call : pcsc.calls) {
            EXPECT_EQ(call.find(pin), std::string::npos) << call;
        }
    }

    void ExpectMessage(std::size_t index, const std::string& text,
                       const std::optional<std::string>& caption, MsgIcon icon) {
        ASSERT_GT(wnd.messages.size(), index);
        EXPECT_EQ(wnd.messages[index].text, text);
        EXPECT_EQ(wnd.messages[index].caption, caption);
        EXPECT_EQ(wnd.messages[index].icon, icon);
        EXPECT_FALSE(wnd.messages[index].ownerless);
    }

    bool PageLogicRan() const {
        for (const std::string& call : wnd.calls) {
            if (call.rfind("Show:", 0) == 0 || call.rfind("Enable:", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    test::FakeWindow wnd;
    ScriptedPcsc pcsc;
    std::unique_ptr<CQuorlinDlg> dlg;
    std::uint8_t acceptedAid = 0x02;
    Answer selectFileAnswer{pcsc::kSuccess, Hex("90 00")};
    Answer verifyAnswer{pcsc::kSuccess, Hex("90 00")};
    Answer writeAnswer{pcsc::kSuccess, Hex("90 00")};
};

TEST_F(LoginTest, ShortPinIsRefusedBeforeAnyReaderAccess) {
    Type(res::IDC_EDIT_PIN, "12345");
    Click(res::IDC_BTN_LOGIN);
    ASSERT_EQ(wnd.messages.size(), 1u);
    ExpectMessage(0, "密碼長度不足", kStdTitle, MsgIcon::Exclamation);
    EXPECT_EQ(wnd.focus, res::IDC_EDIT_PIN);
    EXPECT_EQ(pcsc.connects, 0);
    EXPECT_TRUE(pcsc.commands.empty());
    for (const std::string& call : wnd.calls) {
        EXPECT_EQ(call.rfind("ComboGet", 0), std::string::npos);
    }
    EXPECT_EQ(wnd.Text(res::IDC_EDIT_PIN), "12345");
}

TEST_F(LoginTest, PinIsPaddedOrCutToSixteenBytes) {
    struct Case {
        std::string pin;
        std::string verify;
    };
    const Case cases[] = {
        {"123456", std::string("00 20 01 28 10 31 32 33 34 35 36 ") + kFF10 + " 00"},
        {"0123456789abcdef", "00 20 01 28 10 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 00"},
        {"0123456789abcdefXYZ",
         "00 20 01 28 10 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pin);
        pcsc.commands.clear();
        Type(res::IDC_EDIT_PIN, c.pin);
        Click(res::IDC_BTN_LOGIN);
        EXPECT_EQ(VerifyOnWire(), c.verify);
        ASSERT_EQ(dlg->m_bLoggedIn, 1);
        Click(res::IDC_BTN_LOGIN);  // log out for the next case
    }
}

TEST_F(LoginTest, PinIsSentAsCodePage950AndMeasuredInThoseBytes) {
    pcsc.activeProtocol = pcsc::kProtocolT0;
    // Five bytes in code page 950 (seven in UTF-8): too short.
    Type(res::IDC_EDIT_PIN, "密碼1");
    Click(res::IDC_BTN_LOGIN);
    EXPECT_EQ(wnd.MessageTexts(), std::vector<std::string>{"密碼長度不足"});
    EXPECT_EQ(pcsc.connects, 0);

    wnd.messages.clear();
    Type(res::IDC_EDIT_PIN, "密碼12");
    Click(res::IDC_BTN_LOGIN);
    EXPECT_EQ(VerifyOnWire(), std::string("00 20 01 28 10 B1 4B BD 58 31 32 ") + kFF10);
    EXPECT_EQ(dlg->m_bLoggedIn, 1);

    // A character the code page cannot hold goes as '?'.
    Click(res::IDC_BTN_LOGIN);
    pcsc.commands.clear();
    Type(res::IDC_EDIT_PIN, "12345\xF0\x9F\x98\x80");
    Click(res::IDC_BTN_LOGIN);
    EXPECT_EQ(VerifyOnWire(), std::string("00 20 01 28 10 31 32 33 34 35 3F ") + kFF10);
}

TEST_F(LoginTest, RefusedVerifyShowsItsMessageThenFailsUnderTheAppName) {
    struct Case {
        Answer answer;
        std::string message;
    };
    const Case cases[] = {
        {{pcsc::kSuccess, Hex("66 08")}, "AN PIN驗證錯誤!"},
        {{pcsc::kSuccess, Hex("66 20")}, "AN PIN已鎖住!"},
        {{pcsc::kSuccess, Hex("69 82")}, "AN PIN驗證過程發生錯誤!"},
        {{pcsc::kSuccess, Hex("63 C2")}, "AN PIN驗證過程發生錯誤!"},
        {{pcsc::kWRemovedCard, {}}, "AN PIN驗證過程發生錯誤!"},
    };
    acceptedAid = 0x01;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        wnd.messages.clear();
        wnd.calls.clear();
        verifyAnswer = c.answer;
        std::vector<bool> connectedAtBox;
        wnd.onMessageBox = [&](const MessageBoxCall&) {
            connectedAtBox.push_back(pcsc.connectedCard != 0 && dlg->m_hCard != 0);
        };
        Type(res::IDC_EDIT_PIN, "654321");
        Click(res::IDC_BTN_LOGIN);
        wnd.onMessageBox = nullptr;

        ASSERT_EQ(wnd.messages.size(), 2u);
        ExpectMessage(0, c.message, kStdTitle, MsgIcon::None);
        ExpectMessage(1, "卡片登入失敗!", std::nullopt, MsgIcon::Exclamation);
        EXPECT_EQ(connectedAtBox, (std::vector<bool>{true, false}));
        EXPECT_EQ(dlg->m_bLoggedIn, 0);
        EXPECT_EQ(dlg->m_hCard, 0u);
        EXPECT_EQ(dlg->m_strPin, "654321");
        EXPECT_EQ(wnd.Text(res::IDC_EDIT_PIN), "654321");
        EXPECT_EQ(dlg->m_strCspName, "Ulvane Cryptographic Service Provider");
        for (const std::string& call : wnd.calls) {
            EXPECT_EQ(call.rfind("SetText:", 0), std::string::npos) << call;
        }
        ExpectPinNowhere("654321");
    }
}

TEST_F(LoginTest, SuccessTitlesWithTheProviderAndEmptiesThePinField) {
    acceptedAid = 0x03;
    bool stateAtBox = false;
    wnd.onMessageBox = [&](const MessageBoxCall&) {
        stateAtBox = dlg->m_bLoggedIn == 1 && wnd.Text(res::IDC_BTN_LOGIN) == "中斷卡片" &&
                     dlg->m_strPin == "246813";
    };
    Type(res::IDC_EDIT_PIN, "246813");
    Click(res::IDC_BTN_LOGIN);
    ASSERT_EQ(wnd.messages.size(), 1u);
    ExpectMessage(0, "卡片登入成功", "Morvex CSP Enterprise", MsgIcon::Information);
    EXPECT_TRUE(stateAtBox);
    EXPECT_EQ(dlg->m_strPin, "");
    EXPECT_EQ(wnd.Text(res::IDC_EDIT_PIN), "");
    EXPECT_EQ(wnd.calls.back(), "SetText:1003:");
    // The card stays connected for the PIN change and the query; pages wait for a switch.
    EXPECT_EQ(pcsc.disconnects, 0);
    EXPECT_NE(dlg->m_hCard, 0u);
    EXPECT_FALSE(PageLogicRan());
    ExpectPinNowhere("246813");
}

TEST_F(LoginTest, SuccessWithTheFirstAidUsesItsProvider) {
    Type(res::IDC_EDIT_PIN, "123456");
    Click(res::IDC_BTN_LOGIN);
    ExpectMessage(0, "卡片登入成功", "Ulvane CSP Enterprise", MsgIcon::Information);
    EXPECT_EQ(Sent(0xA4).size(), 1u);
}

TEST_F(LoginTest, SecondClickLogsOutSilently) {
    LogIn();
    Click(res::IDC_BTN_LOGIN);
    EXPECT_EQ(wnd.calls, std::vector<std::string>{"SetText:1006:登入卡片"});
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
    EXPECT_EQ(dlg->m_hCard, 0u);
    EXPECT_EQ(pcsc.calls.back(), "SCardDisconnect:0");
    EXPECT_TRUE(pcsc.commands.empty());
}

TEST_F(LoginTest, FlagNotButtonTextDecides) {
    wnd.texts[res::IDC_BTN_LOGIN] = "中斷卡片";
    Click(res::IDC_BTN_LOGIN);
    EXPECT_EQ(wnd.MessageTexts(), std::vector<std::string>{"密碼長度不足"});
    EXPECT_EQ(pcsc.calls.size(), 0u);

    wnd.messages.clear();
    Type(res::IDC_EDIT_PIN, "123456");
    Click(res::IDC_BTN_LOGIN);
    EXPECT_EQ(dlg->m_bLoggedIn, 1);
    EXPECT_EQ(pcsc.connects, 1);
}

TEST_F(LoginTest, ConnectionFailureReportsTwiceAndTouchesNoCard) {
    pcsc.failures["SCardConnectA"] = pcsc::kENoSmartcard;
    Type(res::IDC_EDIT_PIN, "123456");
    Click(res::IDC_BTN_LOGIN);
    ASSERT_EQ(wnd.messages.size(), 2u);
    ExpectMessage(0, "Error:" + ScriptedPcsc::TextFor(pcsc::kENoSmartcard) + "\n", std::nullopt,
                  MsgIcon::None);
    ExpectMessage(1, "卡片連結錯誤!", kStdTitle, MsgIcon::Exclamation);
    EXPECT_TRUE(pcsc.commands.empty());
    EXPECT_EQ(std::count(pcsc.calls.begin(), pcsc.calls.end(), "SCardDisconnect:0"), 0);
    EXPECT_EQ(wnd.Text(res::IDC_EDIT_PIN), "123456");
}

TEST_F(LoginTest, WrongCardKindDisconnectsBeforeTheMessage) {
    acceptedAid = 0x7F;
    bool connectedAtBox = true;
    wnd.onMessageBox = [&](const MessageBoxCall&) { connectedAtBox = pcsc.connectedCard != 0; };
    Type(res::IDC_EDIT_PIN, "123456");
    Click(res::IDC_BTN_LOGIN);
    ASSERT_EQ(wnd.messages.size(), 1u);
    ExpectMessage(0, "卡片種類錯誤，Select Applet Failed!", kStdTitle, MsgIcon::Exclamation);
    EXPECT_FALSE(connectedAtBox);
    EXPECT_EQ(Sent(0xA4).size(), 3u);
    EXPECT_TRUE(Sent(0x20).empty());
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
}

TEST_F(LoginTest, FailedDisconnectIsReportedBeforeTheLoginFailure) {
    verifyAnswer = {pcsc::kSuccess, Hex("66 08")};
    pcsc.failures["SCardDisconnect"] = pcsc::kEReaderUnavailable;
    pcsc.failTimes["SCardDisconnect"] = 1;
    Type(res::IDC_EDIT_PIN, "123456");
    Click(res::IDC_BTN_LOGIN);
    EXPECT_EQ(
        wnd.MessageTexts(),
        (std::vector<std::string>{
            "AN PIN驗證錯誤!", "Error:" + ScriptedPcsc::TextFor(pcsc::kEReaderUnavailable) + "\n",
            "卡片登入失敗!"}));
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
}

TEST_F(LoginTest, VerifyPinResultIsTheLowHalfAndNeverZeroOnFailure) {
    ASSERT_EQ(dlg->ConnectCard(), 0);
    const std::uint8_t pin[6] = {'1', '2', '3', '4', '5', '6'};
    verifyAnswer = {pcsc::kSuccess, Hex("66 08")};
    EXPECT_EQ(dlg->VerifyPin(6, pin), 0x6608);
    verifyAnswer = {pcsc::kWRemovedCard, {}};
    EXPECT_EQ(dlg->VerifyPin(6, pin), 0x0069);
    verifyAnswer = {pcsc::kSuccess, Hex("90 00")};
    EXPECT_EQ(dlg->VerifyPin(6, pin), 0);
    EXPECT_EQ(wnd.messages.size(), 2u);
}

class PinChangeTest : public LoginTest {
  protected:
    void SetUp() override {
        LoginTest::SetUp();
        LogIn("123456");
    }
    void Change(const std::string& newPin, const std::string& confirm) {
        Type(res::IDC_EDIT_NEWPIN, newPin);
        Type(res::IDC_EDIT_CONFIRMPIN, confirm);
        Click(res::IDC_BTN_CHANGEPIN);
    }
};

TEST_F(PinChangeTest, RefusalsMoveTheFocusAndSendNothing) {
    struct Case {
        std::string newPin;
        std::string confirm;
        std::string message;
        int focus;
    };
    const Case cases[] = {
        {"12345", "12345", "密碼長度不足!", res::IDC_EDIT_NEWPIN},
        {"", "", "密碼長度不足!", res::IDC_EDIT_NEWPIN},
        {"0123456789abcdefg", "0123456789abcdefg", "密碼長度過長!", res::IDC_EDIT_NEWPIN},
        // Too long is tested before the comparison.
        {"0123456789abcdefg", "x", "密碼長度過長!", res::IDC_EDIT_NEWPIN},
        // Seventeen bytes in code page 950, though fewer characters.
        {"密碼密碼密碼密碼1", "密碼密碼密碼密碼1", "密碼長度過長!", res::IDC_EDIT_NEWPIN},
        {"654321", "654320", "密碼不一致!", res::IDC_EDIT_CONFIRMPIN},
        {"654321", "6543210", "密碼不一致!", res::IDC_EDIT_CONFIRMPIN},
        {"654321", "", "密碼不一致!", res::IDC_EDIT_CONFIRMPIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.newPin + "/" + c.confirm);
        wnd.messages.clear();
        wnd.focus = 0;
        Change(c.newPin, c.confirm);
        ASSERT_EQ(wnd.messages.size(), 1u);
        ExpectMessage(0, c.message, kStdTitle, MsgIcon::None);
        EXPECT_EQ(wnd.focus, c.focus);
        EXPECT_TRUE(pcsc.commands.empty());
    }
    EXPECT_EQ(dlg->m_bLoggedIn, 1);
}

TEST_F(PinChangeTest, ChangeSelectsThePinFileAndWritesThePaddedPin) {
    pcsc.activeProtocol = pcsc::kProtocolT0;
    Click(res::IDC_BTN_LOGIN);
    LogIn("123456");
    Change("654321", "654321");
    EXPECT_EQ(ToHex(pcsc.commands.at(0)), "00 A4 02 00 02 00 C7");
    EXPECT_EQ(ToHex(pcsc.commands.at(1)), std::string("00 D2 01 04 10 36 35 34 33 32 31 ") + kFF10);
    EXPECT_EQ(pcsc.commands.size(), 2u);
    ASSERT_EQ(wnd.messages.size(), 1u);
    ExpectMessage(0, "密碼變更完成", kStdTitle, MsgIcon::None);
    // The fields keep their texts and nothing is written back to them.
    EXPECT_EQ(wnd.Text(res::IDC_EDIT_NEWPIN), "654321");
    EXPECT_EQ(wnd.Text(res::IDC_EDIT_CONFIRMPIN), "654321");
    for (const std::string& call : wnd.calls) {
        EXPECT_EQ(call.rfind("SetText:", 0), std::string::npos) << call;
    }
    EXPECT_EQ(dlg->m_bLoggedIn, 1);
    EXPECT_NE(dlg->m_hCard, 0u);
    ExpectPinNowhere("654321");
}

TEST_F(PinChangeTest, SixteenByteBig5PinUnderT1) {
    Change("密碼密碼密碼密碼", "密碼密碼密碼密碼");
    EXPECT_EQ(ToHex(pcsc.commands.at(0)), "00 A4 02 00 02 00 C7 00");
    EXPECT_EQ(ToHex(pcsc.commands.at(1)),
              "00 D2 01 04 10 B1 4B BD 58 B1 4B BD 58 B1 4B BD 58 B1 4B BD 58 00");
    EXPECT_EQ(wnd.MessageTexts(), std::vector<std::string>{"密碼變更完成"});
}

TEST_F(PinChangeTest, FailedWriteOrSelectIsAnError) {
    writeAnswer = {pcsc::kSuccess, Hex("69 82")};
    Change("654321", "654321");
    EXPECT_EQ(wnd.MessageTexts(), std::vector<std::string>{"密碼變更錯誤!"});
    EXPECT_EQ(Sent(0xD2).size(), 1u);

    // A PIN file that cannot be selected: nothing is written, and the user is told.
    wnd.messages.clear();
    pcsc.commands.clear();
    selectFileAnswer = {pcsc::kSuccess, Hex("6A 82")};
    Change("654321", "654321");
    ASSERT_EQ(wnd.messages.size(), 1u);
    ExpectMessage(0, "密碼變更錯誤!", kStdTitle, MsgIcon::None);
    EXPECT_TRUE(Sent(0xD2).empty());
    EXPECT_EQ(dlg->m_bLoggedIn, 1);
    EXPECT_EQ(pcsc.disconnects, 0);
}

TEST_F(PinChangeTest, WritePinRecordSendsWhatItIsGiven) {
    const std::uint8_t data[3] = {0x01, 0x02, 0x03};
    writeAnswer = {pcsc::kSuccess, Hex("6A 83")};
    EXPECT_EQ(dlg->WritePinRecord(2, 3, data), 0x6A83);
    EXPECT_EQ(ToHex(pcsc.commands.back()), "00 D2 02 04 03 01 02 03 00");
    EXPECT_TRUE(wnd.messages.empty());
}

// Against the card engine: the applet's own PIN check, retry counter and PIN record.
class EngineLoginTest : public ::testing::Test {
  protected:
    void Insert(const std::string& applet, std::uint32_t protocol, const std::string& pin) {
        cardsim::Profile profile;
        profile.applet = applet;
        profile.protocol = protocol;
        profile.pinRecord.fill(0xFF);
        std::copy(pin.begin(), pin.end(), profile.pinRecord.begin());
        profile.pinRetries = 3;
        pcsc = std::make_unique<test::EnginePcsc>(cardsim::Engine(profile));
        Platform platform;
        platform.pcsc = pcsc.get();
        dlg = std::make_unique<CQuorlinDlg>(wnd, platform);
        ASSERT_TRUE(dlg->OnInitDialog());
    }

    std::vector<std::string> LogIn(const std::string& pin) {
        wnd.messages.clear();
        wnd.texts[res::IDC_EDIT_PIN] = pin;
        dlg->OnCommand(res::IDC_BTN_LOGIN);
        return wnd.MessageTexts();
    }

    void LogOut() {
        ASSERT_EQ(dlg->m_bLoggedIn, 1);
        dlg->OnCommand(res::IDC_BTN_LOGIN);
        ASSERT_EQ(dlg->m_bLoggedIn, 0);
    }

    test::FakeWindow wnd;
    std::unique_ptr<test::EnginePcsc> pcsc;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(EngineLoginTest, LogsInUnderEitherProtocol) {
    struct Case {
        std::string applet;
        std::uint32_t protocol;
        std::string csp;
    };
    const Case cases[] = {
        {"morvex", pcsc::kProtocolT0, "Morvex CSP Enterprise"},
        {"ulvane-enterprise", pcsc::kProtocolT1, "Ulvane CSP Enterprise"},
        {"ulvane-provider", pcsc::kProtocolT0, "Ulvane Cryptographic Service Provider"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.applet);
        Insert(c.applet, c.protocol, "123456");
        EXPECT_EQ(LogIn("123456"), std::vector<std::string>{"卡片登入成功"});
        EXPECT_EQ(wnd.messages[0].caption, c.csp);
        EXPECT_TRUE(pcsc->engine.PinVerified());
        EXPECT_EQ(wnd.Text(res::IDC_BTN_LOGIN), "中斷卡片");
        EXPECT_EQ(wnd.Text(res::IDC_EDIT_PIN), "");
        LogOut();
        dlg.reset();
    }
}

TEST_F(EngineLoginTest, WrongPinCountsDownUntilBlocked) {
    Insert("morvex", pcsc::kProtocolT0, "123456");
    const std::vector<std::string> wrong{"AN PIN驗證錯誤!", "卡片登入失敗!"};
    EXPECT_EQ(LogIn("111111"), wrong);
    EXPECT_EQ(LogIn("111111"), wrong);
    EXPECT_EQ(pcsc->engine.RetriesLeft(), 1);
    EXPECT_EQ(LogIn("123456"), std::vector<std::string>{"卡片登入成功"});
    EXPECT_EQ(pcsc->engine.RetriesLeft(), 3);
    LogOut();

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(LogIn("111111"), wrong);
    }
    EXPECT_EQ(LogIn("123456"), (std::vector<std::string>{"AN PIN已鎖住!", "卡片登入失敗!"}));
    EXPECT_EQ(dlg->m_bLoggedIn, 0);
}

TEST_F(EngineLoginTest, ChangedPinIsTheOneTheNextLogInNeeds) {
    Insert("ulvane-enterprise", pcsc::kProtocolT1, "123456");
    ASSERT_EQ(LogIn("123456"), std::vector<std::string>{"卡片登入成功"});
    wnd.messages.clear();
    wnd.texts[res::IDC_EDIT_NEWPIN] = "密碼9876";
    wnd.texts[res::IDC_EDIT_CONFIRMPIN] = "密碼9876";
    dlg->OnCommand(res::IDC_BTN_CHANGEPIN);
    EXPECT_EQ(wnd.MessageTexts(), std::vector<std::string>{"密碼變更完成"});
    const std::array<std::uint8_t, 16> record = {0xB1, 0x4B, 0xBD, 0x58, '9',  '8',  '7',  '6',
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(pcsc->engine.PinRecord(), record);
    LogOut();

    EXPECT_EQ(LogIn("123456"), (std::vector<std::string>{"AN PIN驗證錯誤!", "卡片登入失敗!"}));
    EXPECT_EQ(LogIn("密碼9876"), std::vector<std::string>{"卡片登入成功"});
}

TEST_F(EngineLoginTest, ChangeWithoutVerifiedPinIsReportedAsAnError) {
    // The page is greyed before log-in, but a card that lost its verification (reset by
    // another program, say) must not have the change pass for done.
    Insert("morvex", pcsc::kProtocolT0, "123456");
    ASSERT_EQ(LogIn("123456"), std::vector<std::string>{"卡片登入成功"});
    pcsc->engine.Reset();
    wnd.messages.clear();
    wnd.texts[res::IDC_EDIT_NEWPIN] = "654321";
    wnd.texts[res::IDC_EDIT_CONFIRMPIN] = "654321";
    dlg->OnCommand(res::IDC_BTN_CHANGEPIN);
    EXPECT_EQ(wnd.MessageTexts(), std::vector<std::string>{"密碼變更錯誤!"});
    std::array<std::uint8_t, 16> record;
    record.fill(0xFF);
    std::copy_n("123456", 6, record.begin());
    EXPECT_EQ(pcsc->engine.PinRecord(), record);
}

}  // namespace
}  // namespace quorlin
