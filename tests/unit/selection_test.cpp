// Applet selection by its three AIDs in their fixed order, the provider name it records,
// and the selection of elementary files.

#include <gtest/gtest.h>

#include "fakes/DialogHarness.h"

namespace quorlin {
namespace {

using test::Answer;
using test::Sw;
using Lines = std::vector<std::string>;

constexpr char kAid02[] = "00 A4 04 00 08 A0 00 00 01 72 95 01 02";
constexpr char kAid01[] = "00 A4 04 00 08 A0 00 00 01 72 95 01 01";
constexpr char kAid03[] = "00 A4 04 00 08 A0 00 00 01 72 95 01 03";
constexpr char kUlvaneEnt[] = "Ulvane CSP Enterprise";
constexpr char kUlvaneCsp[] = "Ulvane Cryptographic Service Provider";
constexpr char kMorvex[] = "Morvex CSP Enterprise";

Answer Err(std::uint32_t code) {
    return {code, {}};
}

class SelectionTest : public ::testing::Test, public test::DialogHarness<> {
  protected:
    void Connect(std::uint32_t protocol) {
        pcsc.commands.clear();
        pcsc.activeProtocol = protocol;
        Start();
        ASSERT_EQ(dlg->ConnectCard(), 0);
    }
};

TEST_F(SelectionTest, AidsAreTriedInOrderAndOnlySuccessNamesTheProvider) {
    const std::string aids[] = {kAid02, kAid01, kAid03};
    const auto removed = Err(pcsc::kWRemovedCard);
    struct Case {
        bool t1;
        std::vector<Answer> answers;
        std::size_t sent;
        std::int32_t result;
        const char* csp;  // "old": the name from before stays
    };
    const Case cases[] = {
        {true, {Sw("90 00")}, 1, 0, kUlvaneEnt},
        {false, {Sw("6A 82"), Sw("90 00")}, 2, 0, kUlvaneCsp},
        {false, {Sw("6A 82"), Sw("6A 82"), Sw("90 00")}, 3, 0, kMorvex},
        {true, {Err(pcsc::kECommError), Sw("90 00")}, 2, 0, kUlvaneCsp},  // one failed attempt
        // No AID accepted: the third attempt's result.
        {false, {Sw("6A 82"), Sw("6A 83"), Sw("6D 00")}, 3, 0x6D00, "old"},
        {true, {removed, removed, Err(pcsc::kWResetCard)}, 3, int(pcsc::kWResetCard), "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        Connect(c.t1 ? pcsc::kProtocolT1 : pcsc::kProtocolT0);
        pcsc.answers.assign(c.answers.begin(), c.answers.end());
        dlg->m_strCspName = "old";
        EXPECT_EQ(dlg->SelectApplet(), c.result);
        Lines wire;
        for (std::size_t i = 0; i < c.sent; ++i) {
            wire.push_back(aids[i] + (c.t1 ? " 00" : ""));
        }
        EXPECT_EQ(pcsc.SentHex(), wire);
        EXPECT_EQ(dlg->m_strCspName, c.csp);
    }
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(SelectionTest, SelectFileSendsTheIdentifierHighByteFirst) {
    Connect(pcsc::kProtocolT0);
    pcsc.Queue("90 00");
    EXPECT_EQ(dlg->SelectFile(0x80, 0x10), 0);
    EXPECT_EQ(pcsc.SentHex(), Lines{"00 A4 02 00 02 80 10"});
    Connect(pcsc::kProtocolT1);
    pcsc.Queue("6A 82");
    EXPECT_EQ(dlg->SelectFile(0x80, 0x10), 0x6A82);
    EXPECT_EQ(pcsc.SentHex(), Lines{"00 A4 02 00 02 80 10 00"});
}

}  // namespace
}  // namespace quorlin
