// The APDU exchange, byte for byte: what goes on the wire under T=0 and T=1, the single
// follow-up for 61xx and 6Cxx, the card result, and what reaches the caller's Le byte and
// response area (and nothing beyond it).

#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "card/ApduExchange.h"
#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

using test::Bytes;
using test::Hex;
using test::ScriptedPcsc;
using test::ToHex;

constexpr char kAid[] = "A0 00 00 01 72 95 01 02";
constexpr std::uint8_t kUntouched = 0xAA;

Bytes Repeat(std::size_t count, std::uint8_t first = 0) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

std::string Concat(const Bytes& a, const std::string& hex) {
    Bytes all = a;
    const Bytes b = Hex(hex);
    all.insert(all.end(), b.begin(), b.end());
    return ToHex(all);
}

class ApduTest : public ::testing::Test {
  protected:
    ApduTest() { resp.fill(kUntouched); }

    void Connect(std::uint32_t protocol) {
        pcsc.activeProtocol = protocol;
        pcsc::ScardContext context = 0;
        ASSERT_EQ(pcsc.SCardEstablishContext(pcsc::kScopeUser, &context), 0u);
        std::uint32_t active = 0;
        ASSERT_EQ(
            pcsc.SCardConnectA(context, "Fake Reader 0", pcsc::kShareExclusive, 3, &card, &active),
            0u);
        pci = active == pcsc::kProtocolT1 ? pcsc.T1Pci() : pcsc.T0Pci();
    }

    std::int32_t Send(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                      const Bytes& data, std::uint8_t& le, std::size_t capacity = 254) {
        return card::ExchangeApdu(
            pcsc, card, pci, cla, ins, p1, p2, static_cast<std::uint8_t>(data.size()), le,
            data.empty() ? nullptr : data.data(), resp.data(), capacity, &dataLength);
    }

    std::int32_t Select(std::uint8_t& le) { return Send(0x00, 0xA4, 0x04, 0x00, Hex(kAid), le); }

    std::vector<std::string> Wire() const {
        std::vector<std::string> out;
        for (const Bytes& c : pcsc.commands) {
            out.push_back(ToHex(c));
        }
        return out;
    }

    bool RespUntouchedFrom(std::size_t from) const {
        for (std::size_t i = from; i < resp.size(); ++i) {
            if (resp[i] != kUntouched) {
                return false;
            }
        }
        return true;
    }

    ScriptedPcsc pcsc;
    pcsc::ScardHandle card = 0;
    const pcsc::ScardIoRequest* pci = nullptr;
    // Larger than any answer so a write past the capacity shows.
    std::array<std::uint8_t, 300> resp{};
    std::size_t dataLength = 999;
};

TEST_F(ApduTest, SelectUnderT1CarriesLeAfterTheData) {
    Connect(pcsc::kProtocolT1);
    pcsc.Queue("90 00");
    std::uint8_t le = 0;
    EXPECT_EQ(Select(le), 0);
    EXPECT_EQ(Wire(), std::vector<std::string>{"00 A4 04 00 08 A0 00 00 01 72 95 01 02 00"});
    EXPECT_EQ(pcsc.commands[0].size(), 14u);
    EXPECT_EQ(le, 0);
    EXPECT_EQ(dataLength, 0u);
    EXPECT_TRUE(RespUntouchedFrom(0));
}

TEST_F(ApduTest, SelectUnderT0FetchesTheAnswerWithGetResponse) {
    Connect(pcsc::kProtocolT0);
    const Bytes fci = Repeat(26, 0x40);
    pcsc.Queue("61 1A");
    pcsc.Queue(Concat(fci, "90 00"));
    std::uint8_t le = 0;
    EXPECT_EQ(Select(le), 0);
    EXPECT_EQ(Wire(), (std::vector<std::string>{"00 A4 04 00 08 A0 00 00 01 72 95 01 02",
                                                "00 C0 00 00 1A"}));
    EXPECT_EQ(le, 26);
    EXPECT_EQ(dataLength, 26u);
    EXPECT_EQ(Bytes(resp.begin(), resp.begin() + 26), fci);
    EXPECT_TRUE(RespUntouchedFrom(26));
    EXPECT_EQ(pcsc.sendPcis, (std::vector<const pcsc::ScardIoRequest*>{pci, pci}));
}

TEST_F(ApduTest, LeByteOnTheFirstSending) {
    struct Case {
        std::uint32_t protocol;
        std::string data;
        std::uint8_t le;
        std::string wire;
    };
    const Case cases[] = {
        {pcsc::kProtocolT0, "", 0x16, "00 4C 00 00 16"},
        {pcsc::kProtocolT0, "", 0x00, "00 4C 00 00"},
        {pcsc::kProtocolT0, "80 10", 0x20, "00 4C 00 00 02 80 10"},
        {pcsc::kProtocolT1, "", 0x00, "00 4C 00 00 00"},
        {pcsc::kProtocolT1, "", 0x16, "00 4C 00 00 16"},
        {pcsc::kProtocolT1, "80 10", 0x20, "00 4C 00 00 02 80 10 20"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        pcsc.commands.clear();
        Connect(c.protocol);
        pcsc.Queue("90 00");
        std::uint8_t le = c.le;
        EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, Hex(c.data), le), 0);
        EXPECT_EQ(Wire(), std::vector<std::string>{c.wire});
    }
}

TEST_F(ApduTest, UnknownProtocolRecordAddsNoLe) {
    Connect(pcsc::kProtocolT1);
    const pcsc::ScardIoRequest other{4, 8};
    pci = &other;
    pcsc.Queue("90 00");
    std::uint8_t le = 0x16;
    EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le), 0);
    EXPECT_EQ(Wire(), std::vector<std::string>{"00 4C 00 00"});
}

TEST_F(ApduTest, LongestCommandGoesOutWhole) {
    Connect(pcsc::kProtocolT1);
    pcsc.Queue("90 00");
    std::uint8_t le = 0;
    const Bytes data = Repeat(255);
    EXPECT_EQ(Send(0x00, 0xD2, 0x01, 0x04, data, le), 0);
    ASSERT_EQ(pcsc.commands[0].size(), 261u);
    EXPECT_EQ(pcsc.commands[0][4], 0xFF);
    EXPECT_EQ(Bytes(pcsc.commands[0].begin() + 5, pcsc.commands[0].end() - 1), data);
    EXPECT_EQ(pcsc.commands[0].back(), 0x00);
}

TEST_F(ApduTest, GetResponseLengthFor6110) {
    // Caller's Le -> Le' of the GET RESPONSE; its class is always 00.
    const std::pair<std::uint8_t, std::string> cases[] = {
        {0x08, "00 C0 00 00 08"}, {0x20, "00 C0 00 00 10"}, {0x00, "00 C0 00 00 10"}};
    for (const auto& [callerLe, getResponse] : cases) {
        SCOPED_TRACE(getResponse);
        pcsc.commands.clear();
        Connect(pcsc::kProtocolT0);
        pcsc.Queue("61 10");
        pcsc.Queue("90 00");
        std::uint8_t le = callerLe;
        EXPECT_EQ(Send(0x80, 0x7E, 0x00, 0x00, Hex("01 02"), le), 0);
        ASSERT_EQ(pcsc.commands.size(), 2u);
        EXPECT_EQ(ToHex(pcsc.commands[1]), getResponse);
        EXPECT_EQ(le, callerLe);  // status word alone: Le keeps the caller's value
    }
}

TEST_F(ApduTest, ResendLengthFor6C10) {
    const std::pair<std::uint8_t, std::string> cases[] = {
        {0x20, "00 44 00 01 10"}, {0x08, "00 44 00 01 08"}, {0x00, "00 44 00 01 00"}};
    for (std::uint32_t protocol : {pcsc::kProtocolT0, pcsc::kProtocolT1}) {
        for (const auto& [callerLe, resend] : cases) {
            SCOPED_TRACE(resend);
            pcsc.commands.clear();
            Connect(protocol);
            pcsc.Queue("6C 10");
            pcsc.Queue(Concat(Repeat(5), "90 00"));
            std::uint8_t le = callerLe;
            EXPECT_EQ(Send(0x00, 0x44, 0x00, 0x01, {}, le), 0);
            ASSERT_EQ(pcsc.commands.size(), 2u);
            EXPECT_EQ(ToHex(pcsc.commands[1]), resend);
            EXPECT_EQ(le, 5);
        }
    }
}

TEST_F(ApduTest, ResendAfter6CKeepsTheDataUnderBothProtocols) {
    for (std::uint32_t protocol : {pcsc::kProtocolT0, pcsc::kProtocolT1}) {
        SCOPED_TRACE(protocol);
        pcsc.commands.clear();
        Connect(protocol);
        pcsc.Queue("6C 10");
        pcsc.Queue("90 00");
        std::uint8_t le = 0x20;
        EXPECT_EQ(Send(0x00, 0xA4, 0x02, 0x00, Hex("80 10"), le), 0);
        ASSERT_EQ(pcsc.commands.size(), 2u);
        EXPECT_EQ(ToHex(pcsc.commands[1]), "00 A4 02 00 02 80 10 10");
    }
}

TEST_F(ApduTest, StatusWordAloneIsTheCardResult) {
    Connect(pcsc::kProtocolT1);
    const std::pair<std::string, std::int32_t> cases[] = {
        {"66 08", 0x6608}, {"90 00", 0}, {"00 00", 0}, {"6A 82", 0x6A82}, {"90 01", 0x9001}};
    for (const auto& [answer, result] : cases) {
        SCOPED_TRACE(answer);
        pcsc.Queue(answer);
        std::uint8_t le = 0x16;
        dataLength = 999;
        EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le), result);
        EXPECT_EQ(le, 0x16);
        EXPECT_EQ(dataLength, 0u);
        EXPECT_TRUE(RespUntouchedFrom(0));
    }
}

TEST_F(ApduTest, AnswerOf254DataBytesIsTakenWhole) {
    Connect(pcsc::kProtocolT1);
    const Bytes data = Repeat(254, 1);
    pcsc.Queue(Concat(data, "90 00"));
    std::uint8_t le = 0xFF;
    EXPECT_EQ(Send(0x00, 0x74, 0x00, 0x00, {}, le), 0);
    EXPECT_EQ(le, 0xFE);
    EXPECT_EQ(dataLength, 254u);
    EXPECT_EQ(Bytes(resp.begin(), resp.begin() + 254), data);
    EXPECT_TRUE(RespUntouchedFrom(254));
}

TEST_F(ApduTest, AnswerOf255DataBytesIsTooLongAndCopiesNothing) {
    Connect(pcsc::kProtocolT1);
    pcsc.Queue(Concat(Repeat(255), "90 00"));
    std::uint8_t le = 0xFF;
    EXPECT_EQ(Send(0x00, 0x74, 0x00, 0x00, {}, le),
              static_cast<std::int32_t>(pcsc::kEInsufficientBuffer));
    EXPECT_EQ(le, 0xFF);
    EXPECT_EQ(dataLength, 999u);
    EXPECT_TRUE(RespUntouchedFrom(0));
    EXPECT_EQ(pcsc.commands.size(), 1u);
}

TEST_F(ApduTest, GetResponseFor6100AsksFor256AndOverflows) {
    Connect(pcsc::kProtocolT0);
    pcsc.Queue("61 00");
    pcsc.Queue(Concat(Repeat(256), "90 00"));
    std::uint8_t le = 0;
    EXPECT_EQ(Send(0x00, 0x74, 0x00, 0x00, {}, le),
              static_cast<std::int32_t>(pcsc::kEInsufficientBuffer));
    EXPECT_EQ(ToHex(pcsc.commands[1]), "00 C0 00 00 00");
    EXPECT_EQ(le, 0);
    EXPECT_TRUE(RespUntouchedFrom(0));
}

TEST_F(ApduTest, DataWith61xxIsFinalWithoutFollowUp) {
    Connect(pcsc::kProtocolT0);
    pcsc.Queue("01 02 03 61 05");
    std::uint8_t le = 0x16;
    EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le), 0x6105);
    EXPECT_EQ(pcsc.commands.size(), 1u);
    EXPECT_EQ(le, 3);
    EXPECT_EQ(dataLength, 3u);
    EXPECT_EQ(Bytes(resp.begin(), resp.begin() + 3), Hex("01 02 03"));
}

TEST_F(ApduTest, NeverMoreThanOneFollowUp) {
    Connect(pcsc::kProtocolT0);
    pcsc.responder = [](const Bytes&) { return test::Answer{pcsc::kSuccess, Hex("61 05")}; };
    std::uint8_t le = 0;
    EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le), 0x6105);
    EXPECT_EQ(pcsc.commands.size(), 2u);

    pcsc.commands.clear();
    pcsc.responder = [](const Bytes& c) {
        return test::Answer{pcsc::kSuccess, c[1] == 0xC0 ? Hex("AA BB 6C 02") : Hex("6C 02")};
    };
    pcsc.Queue("61 04");
    le = 0;
    EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le), 0x6C02);
    EXPECT_EQ(pcsc.commands.size(), 2u);
    EXPECT_EQ(le, 2);
    EXPECT_EQ(Bytes(resp.begin(), resp.begin() + 2), Hex("AA BB"));
}

TEST_F(ApduTest, FailedTransmissionsNeverGiveZero) {
    Connect(pcsc::kProtocolT0);
    pcsc.QueueError(pcsc::kWRemovedCard);
    std::uint8_t le = 0x16;
    EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le), static_cast<std::int32_t>(pcsc::kWRemovedCard));
    EXPECT_EQ(le, 0x16);
    EXPECT_EQ(dataLength, 999u);

    for (const char* first : {"61 10", "6C 10"}) {
        SCOPED_TRACE(first);
        pcsc.commands.clear();
        pcsc.Queue(first);
        pcsc.QueueError(pcsc::kWRemovedCard);
        le = 0x16;
        EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le),
                  static_cast<std::int32_t>(pcsc::kWRemovedCard));
        EXPECT_EQ(pcsc.commands.size(), 2u);
        EXPECT_EQ(le, 0x16);
        EXPECT_TRUE(RespUntouchedFrom(0));
    }
}

TEST_F(ApduTest, AnswerWithoutStatusWordFailsAndCopiesNothing) {
    Connect(pcsc::kProtocolT0);
    for (const char* answer : {"", "90"}) {
        SCOPED_TRACE(answer);
        pcsc.Queue(answer);
        std::uint8_t le = 0x16;
        const std::int32_t result = Send(0x00, 0x4C, 0x00, 0x00, {}, le);
        EXPECT_NE(result, 0);
        EXPECT_EQ(result, card::kResultNoStatusWord);
        EXPECT_EQ(le, 0x16);
        EXPECT_TRUE(RespUntouchedFrom(0));
    }
    // Also in the follow-up.
    pcsc.Queue("61 10");
    pcsc.Queue("90");
    std::uint8_t le = 0;
    EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le), card::kResultNoStatusWord);
    EXPECT_EQ(le, 0);
}

TEST_F(ApduTest, CapacityBoundsWhatIsCopied) {
    Connect(pcsc::kProtocolT1);
    pcsc.Queue(Concat(Repeat(10, 1), "90 00"));
    std::uint8_t le = 0;
    EXPECT_EQ(Send(0x00, 0x4C, 0x00, 0x00, {}, le, 4), 0);
    EXPECT_EQ(Bytes(resp.begin(), resp.begin() + 4), Hex("01 02 03 04"));
    EXPECT_TRUE(RespUntouchedFrom(4));
    // Le and the reported length say what the area holds, so no caller reads past it.
    EXPECT_EQ(le, 4);
    EXPECT_EQ(dataLength, 4u);

    pcsc.Queue(Concat(Repeat(10, 1), "90 00"));
    resp.fill(kUntouched);
    EXPECT_EQ(card::ExchangeApdu(pcsc, card, pci, 0, 0x4C, 0, 0, 0, le, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(RespUntouchedFrom(0));
}

TEST_F(ApduTest, DialogExchangeUsesItsConnection) {
    test::FakeWindow wnd;
    Platform platform;
    platform.pcsc = &pcsc;
    CQuorlinDlg dlg(wnd, platform);
    std::uint8_t le = 0x16;
    // No connection: the service refuses the handle 0.
    EXPECT_EQ(dlg.TransmitApdu(0x00, 0x4C, 0x00, 0x00, 0, le, nullptr, resp.data(), resp.size()),
              static_cast<std::int32_t>(pcsc::kEInvalidHandle));

    pcsc.readers = {"R"};
    wnd.ComboAddString(1018, "R");
    wnd.ComboSetCurSel(1018, 0);
    pcsc.activeProtocol = pcsc::kProtocolT0;
    ASSERT_EQ(dlg.ConnectCard(), 0);
    pcsc.Queue("01 90 00");
    std::size_t length = 0;
    EXPECT_EQ(
        dlg.TransmitApdu(0x00, 0x4C, 0x00, 0x00, 0, le, nullptr, resp.data(), resp.size(), &length),
        0);
    EXPECT_EQ(ToHex(pcsc.commands.back()), "00 4C 00 00 16");
    EXPECT_EQ(pcsc.sendPcis.back(), pcsc.T0Pci());
    EXPECT_EQ(length, 1u);
    EXPECT_TRUE(wnd.messages.empty());
}

}  // namespace
}  // namespace quorlin
