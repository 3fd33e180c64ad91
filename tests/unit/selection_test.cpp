// Applet selection by its three AIDs in their fixed order, the provider name it records,
// and the selection of elementary files.

#include <gtest/gtest.h>

#include <memory>

#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

using test::Bytes;
using test::Hex;
using test::ScriptedPcsc;
using test::ToHex;

constexpr char kSelect0102[] = "00 A4 04 00 08 A0 00 00 01 72 95 01 02";
constexpr char kSelect0101[] = "00 A4 04 00 08 A0 00 00 01 72 95 01 01";
constexpr char kSelect0103[] = "00 A4 04 00 08 A0 00 00 01 72 95 01 03";

class SelectionTest : public ::testing::Test {
  protected:
    void Connect(std::uint32_t protocol) {
        pcsc.activeProtocol = protocol;
        Platform platform;
        platform.pcsc = &pcsc;
        dlg = std::make_unique<CQuorlinDlg>(wnd, platform);
        dlg->OnInitDialog();
        ASSERT_EQ(dlg->ConnectCard(), 0);
    }

    // A card that accepts exactly one AID (by its last byte) and refuses the others.
    void AcceptOnly(std::uint8_t last) {
        pcsc.responder = [last](const Bytes& c) {
            const bool accepted = c.size() >= 13 && c[1] == 0xA4 && c[12] == last;
            return test::Answer{pcsc::kSuccess, accepted ? Hex("90 00") : Hex("6A 82")};
        };
    }

    std::vector<std::string> Wire() const {
        std::vector<std::string> out;
        for (const Bytes& c : pcsc.commands) {
            out.push_back(ToHex(c));
        }
        return out;
    }

    test::FakeWindow wnd;
    ScriptedPcsc pcsc;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(SelectionTest, FirstAidAcceptedStopsAtOnce) {
    Connect(pcsc::kProtocolT1);
    AcceptOnly(0x02);
    EXPECT_EQ(dlg->SelectApplet(), 0);
    EXPECT_EQ(Wire(), std::vector<std::string>{std::string(kSelect0102) + " 00"});
    EXPECT_EQ(dlg->m_strCspName, "Ulvane CSP Enterprise");
}

TEST_F(SelectionTest, AidsAreTriedInTheirFixedOrder) {
    Connect(pcsc::kProtocolT0);
    AcceptOnly(0x01);
    EXPECT_EQ(dlg->SelectApplet(), 0);
    EXPECT_EQ(Wire(), (std::vector<std::string>{kSelect0102, kSelect0101}));
    EXPECT_EQ(dlg->m_strCspName, "Ulvane Cryptographic Service Provider");

    pcsc.commands.clear();
    AcceptOnly(0x03);
    EXPECT_EQ(dlg->SelectApplet(), 0);
    EXPECT_EQ(Wire(), (std::vector<std::string>{kSelect0102, kSelect0101, kSelect0103}));
    EXPECT_EQ(dlg->m_strCspName, "Morvex CSP Enterprise");
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(SelectionTest, NoAidAcceptedGivesTheThirdResultAndKeepsTheName) {
    Connect(pcsc::kProtocolT0);
    pcsc.Queue("6A 82");
    pcsc.Queue("6A 83");
    pcsc.Queue("6D 00");
    EXPECT_EQ(dlg->SelectApplet(), 0x6D00);
    EXPECT_EQ(pcsc.commands.size(), 3u);
    EXPECT_EQ(dlg->m_strCspName, "");

    // After an earlier card's log-in its name stays.
    dlg->m_strCspName = "Ulvane CSP Enterprise";
    pcsc.QueueError(pcsc::kWRemovedCard);
    pcsc.QueueError(pcsc::kWRemovedCard);
    pcsc.QueueError(pcsc::kWResetCard);
    EXPECT_EQ(dlg->SelectApplet(), static_cast<std::int32_t>(pcsc::kWResetCard));
    EXPECT_EQ(pcsc.commands.size(), 6u);
    EXPECT_EQ(dlg->m_strCspName, "Ulvane CSP Enterprise");
}

TEST_F(SelectionTest, TransmissionErrorCountsAsAFailedAttempt) {
    Connect(pcsc::kProtocolT1);
    pcsc.QueueError(pcsc::kECommError);
    pcsc.Queue("90 00");
    EXPECT_EQ(dlg->SelectApplet(), 0);
    EXPECT_EQ(dlg->m_strCspName, "Ulvane Cryptographic Service Provider");
}

TEST_F(SelectionTest, T0AnswerFetchedByGetResponseCountsAsSelected) {
    Connect(pcsc::kProtocolT0);
    pcsc.Queue("61 12");
    pcsc.Queue("6F 10 84 08 A0 00 00 01 72 95 01 02 A5 04 01 02 03 04 90 00");
    EXPECT_EQ(dlg->SelectApplet(), 0);
    EXPECT_EQ(Wire(), (std::vector<std::string>{kSelect0102, "00 C0 00 00 12"}));
    EXPECT_EQ(dlg->m_strCspName, "Ulvane CSP Enterprise");
}

TEST_F(SelectionTest, SelectFileSendsTheIdentifierHighByteFirst) {
    Connect(pcsc::kProtocolT0);
    pcsc.Queue("90 00");
    EXPECT_EQ(dlg->SelectFile(0x80, 0x10), 0);
    Connect(pcsc::kProtocolT1);
    pcsc.Queue("6A 82");
    EXPECT_EQ(dlg->SelectFile(0x80, 0x10), 0x6A82);
    EXPECT_EQ(Wire(),
              (std::vector<std::string>{"00 A4 02 00 02 80 10", "00 A4 02 00 02 80 10 00"}));
}

}  // namespace
}  // namespace quorlin
