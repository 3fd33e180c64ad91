// The APDU exchange through the dialog's TransmitApdu, byte for byte: what goes on the
// wire under T=0 and T=1, the single follow-up for 61xx and 6Cxx, the card result, and
// what reaches the caller's Le byte and response area (and nothing beyond it).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "card/ApduExchange.h"
#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

using test::Bytes;
using test::Hex;
using test::ToHex;
using Lines = std::vector<std::string>;

constexpr std::uint32_t kT0 = pcsc::kProtocolT0;
constexpr std::uint32_t kT1 = pcsc::kProtocolT1;
constexpr std::uint8_t kUntouched = 0xAA;
constexpr auto kRemoved = static_cast<std::int32_t>(pcsc::kWRemovedCard);
constexpr auto kTooLong = static_cast<std::int32_t>(pcsc::kEInsufficientBuffer);

Bytes Repeat(std::size_t count, std::uint8_t first = 0) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

class ApduTest : public ::testing::Test {
  protected:
    ApduTest() { resp.fill(kUntouched); }

    // A fresh connection under the protocol, with the card's answers queued ("!": the
    // transmission fails with a removed card).
    void Connect(std::uint32_t protocol, const Lines& answers = {}) {
        pcsc.activeProtocol = protocol;
        pcsc.commands.clear();
        pcsc::ScardContext context = 0;
        std::uint32_t active = 0;
        ASSERT_EQ(pcsc.SCardEstablishContext(pcsc::kScopeUser, &context), 0u);
        ASSERT_EQ(
            pcsc.SCardConnectA(context, "Fake Reader 0", pcsc::kShareExclusive, 3, &card, &active),
            0u);
        pci = active == kT1 ? pcsc.T1Pci() : pcsc.T0Pci();
        for (const std::string& a : answers) {
            a == "!" ? pcsc.QueueError(pcsc::kWRemovedCard) : pcsc.Queue(a);
        }
    }

    std::int32_t Send(const Bytes& data, std::uint8_t& le, std::uint8_t ins = 0x4C,
                      std::uint8_t p1 = 0, std::size_t capacity = 254) {
        return Dialog().TransmitApdu(0x00, ins, p1, 0x00, static_cast<std::uint8_t>(data.size()),
                                     le, data.empty() ? nullptr : data.data(), resp.data(),
                                     capacity, &dataLength);
    }
    CQuorlinDlg& Dialog() {
        dlg.m_hCard = card;
        dlg.m_pioSendPci = pci;
        return dlg;
    }

    Bytes Resp(std::size_t n) const { return Bytes(resp.begin(), resp.begin() + n); }
    bool RespUntouchedFrom(std::size_t from) const {
        return std::all_of(resp.begin() + from, resp.end(), [](auto b) { return b == kUntouched; });
    }

    test::ScriptedPcsc pcsc;
    test::FakeWindow window;
    CQuorlinDlg dlg{window, Platform{&pcsc}};
    pcsc::ScardHandle card = 0;
    const pcsc::ScardIoRequest* pci = nullptr;
    std::array<std::uint8_t, 300> resp{};  // larger than any answer, so overruns show
    std::size_t dataLength = 999;
};

TEST_F(ApduTest, LeByteOnTheFirstSending) {
    const pcsc::ScardIoRequest other{4, 8};
    const std::tuple<std::uint32_t, const char*, std::uint8_t, const char*> cases[] = {
        {kT0, "", 0x16, "00 4C 00 00 16"},
        {kT0, "", 0x00, "00 4C 00 00"},
        {kT0, "80 10", 0x20, "00 4C 00 00 02 80 10"},
        {kT1, "", 0x00, "00 4C 00 00 00"},
        {kT1, "", 0x16, "00 4C 00 00 16"},
        {kT1, "80 10", 0x20, "00 4C 00 00 02 80 10 20"},
        {4, "", 0x16, "00 4C 00 00"},  // a record of neither protocol adds no Le
    };
    for (auto [protocol, data, callerLe, wire] : cases) {
        SCOPED_TRACE(wire);
        Connect(protocol == 4 ? kT1 : protocol, {"90 00"});
        pci = protocol == 4 ? &other : pci;
        std::uint8_t le = callerLe;
        EXPECT_EQ(Send(Hex(data), le), 0);
        EXPECT_EQ(pcsc.SentHex(), Lines{wire});
    }
}

TEST_F(ApduTest, LongestCommandGoesOutWhole) {
    Connect(kT1, {"90 00"});
    std::uint8_t le = 0;
    EXPECT_EQ(Send(Repeat(255), le), 0);
    EXPECT_EQ(pcsc.commands.at(0), Hex("00 4C 00 00 FF " + ToHex(Repeat(255)) + " 00"));
}

TEST_F(ApduTest, SelectUnderT0FetchesTheAnswerWithGetResponse) {
    const Bytes fci = Repeat(26, 0x40);
    Connect(kT0, {"61 1A", ToHex(fci) + " 90 00"});
    std::uint8_t le = 0;
    EXPECT_EQ(Send(Hex("A0 00 00 01 72 95 01 02"), le, 0xA4, 0x04), 0);
    EXPECT_EQ(pcsc.SentHex(), (Lines{"00 A4 04 00 08 A0 00 00 01 72 95 01 02", "00 C0 00 00 1A"}));
    EXPECT_EQ(le, 26);
    EXPECT_EQ(dataLength, 26u);
    EXPECT_EQ(Resp(26), fci);
    EXPECT_TRUE(RespUntouchedFrom(26));
    EXPECT_EQ(pcsc.sendPcis, (std::vector{pci, pci}));
}

TEST_F(ApduTest, FollowUpLengthsFor61xxAnd6Cxx) {
    // GET RESPONSE (class 00) asks for the caller's Le if smaller; the re-send after 6Cxx
    // keeps the data under both protocols.
    const std::tuple<std::uint32_t, const char*, std::uint8_t, const char*, const char*> cases[] = {
        {kT0, "01 02", 0x08, "61 10", "00 C0 00 00 08"},
        {kT0, "01 02", 0x20, "61 10", "00 C0 00 00 10"},
        {kT0, "01 02", 0x00, "61 10", "00 C0 00 00 10"},
        {kT0, "", 0x20, "6C 10", "00 4C 00 00 10"},
        {kT0, "", 0x08, "6C 10", "00 4C 00 00 08"},
        {kT0, "", 0x00, "6C 10", "00 4C 00 00 00"},
        {kT1, "", 0x20, "6C 10", "00 4C 00 00 10"},
        {kT1, "", 0x08, "6C 10", "00 4C 00 00 08"},
        {kT1, "", 0x00, "6C 10", "00 4C 00 00 00"},
        {kT0, "80 10", 0x20, "6C 10", "00 4C 00 00 02 80 10 10"},
        {kT1, "80 10", 0x20, "6C 10", "00 4C 00 00 02 80 10 10"},
    };
    for (auto [protocol, data, callerLe, first, followUp] : cases) {
        SCOPED_TRACE(followUp);
        Connect(protocol, {first, "01 02 03 04 05 90 00"});
        std::uint8_t le = callerLe;
        EXPECT_EQ(Send(Hex(data), le), 0);
        ASSERT_EQ(pcsc.commands.size(), 2u);
        EXPECT_EQ(pcsc.SentHex()[1], followUp);
        EXPECT_EQ(le, 5);
        EXPECT_EQ(Resp(5), Hex("01 02 03 04 05"));
    }
}

TEST_F(ApduTest, StatusWordAloneIsTheCardResult) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"66 08", 0x6608}, {"90 00", 0}, {"00 00", 0}, {"6A 82", 0x6A82}, {"90 01", 0x9001}};
    for (auto [answer, result] : cases) {
        SCOPED_TRACE(answer);
        Connect(kT1, {answer});
        std::uint8_t le = 0x16;
        dataLength = 999;
        EXPECT_EQ(Send({}, le), result);
        EXPECT_EQ(le, 0x16);  // the caller's value stays
        EXPECT_EQ(dataLength, 0u);
        EXPECT_TRUE(RespUntouchedFrom(0));
    }
}

TEST_F(ApduTest, AnswerOf254DataBytesIsTakenWhole) {
    const Bytes data = Repeat(254, 1);
    Connect(kT1, {ToHex(data) + " 90 00"});
    std::uint8_t le = 0xFF;
    EXPECT_EQ(Send({}, le), 0);
    EXPECT_EQ(le, 0xFE);
    EXPECT_EQ(dataLength, 254u);
    EXPECT_EQ(Resp(254), data);
    EXPECT_TRUE(RespUntouchedFrom(254));
}

TEST_F(ApduTest, LongerAnswersAreTooLongAndCopyNothing) {
    // 255 data bytes at once, or 256 fetched after 61 00 (GET RESPONSE with Le 00).
    for (const Lines& answers :
         {Lines{ToHex(Repeat(255)) + " 90 00"}, Lines{"61 00", ToHex(Repeat(256)) + " 90 00"}}) {
        Connect(answers.size() == 1 ? kT1 : kT0, answers);
        std::uint8_t le = 0xFF;
        EXPECT_EQ(Send({}, le), kTooLong);
        EXPECT_EQ(pcsc.commands.size(), answers.size());
        EXPECT_EQ(le, 0xFF);
        EXPECT_EQ(dataLength, 999u);
        EXPECT_TRUE(RespUntouchedFrom(0));
    }
    EXPECT_EQ(pcsc.SentHex().back(), "00 C0 00 00 00");
}

TEST_F(ApduTest, NeverMoreThanOneFollowUp) {
    // Data with 61xx is final; a second 61xx or 6Cxx is the result, its data kept.
    const std::tuple<Lines, std::int32_t, const char*> cases[] = {
        {{"01 02 03 61 05"}, 0x6105, "01 02 03"},
        {{"61 05", "61 05"}, 0x6105, ""},
        {{"61 04", "AA BB 6C 02"}, 0x6C02, "AA BB"},
    };
    for (const auto& [answers, result, data] : cases) {
        SCOPED_TRACE(answers.back());
        Connect(kT0, answers);
        pcsc.responder = [](const Bytes&) { return test::Answer{0, Hex("90 00")}; };
        std::uint8_t le = 0x16;
        EXPECT_EQ(Send({}, le), result);
        EXPECT_EQ(pcsc.commands.size(), answers.size());
        const Bytes kept = Hex(data);
        EXPECT_EQ(dataLength, kept.size());
        EXPECT_EQ(le, kept.empty() ? 0x16 : kept.size());
        EXPECT_EQ(Resp(kept.size()), kept);
    }
}

TEST_F(ApduTest, FailedExchangesNeverGiveZeroAndTouchNothing) {
    // A failed transmission gives the service's code; an answer without a status word
    // gives the exchange's own code, in the first sending or the follow-up.
    const std::pair<Lines, std::int32_t> cases[] = {
        {{"!"}, kRemoved},
        {{"61 10", "!"}, kRemoved},
        {{"6C 10", "!"}, kRemoved},
        {{""}, card::kResultNoStatusWord},
        {{"90"}, card::kResultNoStatusWord},
        {{"61 10", "90"}, card::kResultNoStatusWord},
    };
    ASSERT_NE(card::kResultNoStatusWord, 0);
    for (const auto& [answers, result] : cases) {
        SCOPED_TRACE(answers.back());
        Connect(kT0, answers);
        std::uint8_t le = 0x16;
        EXPECT_EQ(Send({}, le), result);
        EXPECT_EQ(pcsc.commands.size(), answers.size());
        EXPECT_EQ(le, 0x16);
        EXPECT_TRUE(RespUntouchedFrom(0));
    }
    EXPECT_EQ(dataLength, 999u);
}

TEST_F(ApduTest, CapacityBoundsWhatIsCopied) {
    Connect(kT1, {"01 02 03 04 05 06 90 00", "01 02 90 00"});
    std::uint8_t le = 0;
    EXPECT_EQ(Send({}, le, 0x4C, 0, 4), 0);
    EXPECT_EQ(Resp(4), Hex("01 02 03 04"));
    EXPECT_TRUE(RespUntouchedFrom(4));
    // Le and the reported length say what the area holds, so no caller reads past it.
    EXPECT_EQ(le, 4);
    EXPECT_EQ(dataLength, 4u);
    // No area at all.
    EXPECT_EQ(Dialog().TransmitApdu(0, 0x4C, 0, 0, 0, le, nullptr, nullptr, 0), 0);
    EXPECT_EQ(le, 0);
}

}  // namespace
}  // namespace quorlin
