// The certificate query over pcsc-lite, a private pcscd, vpcd and quorlin-cardsim, under
// both protocols: the list shows what the card holds, and the card sees the exact commands.

#include <algorithm>
#include <fstream>
#include <iterator>

#include "e2e/CardFixture.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"

namespace quorlin::e2e {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

json Container(const char* name, const char* file, const json& certificate, const char* keys) {
    json c{{"name", name}, {"file", file}, {"certificate", certificate}, {"keys", json::array()}};
    c["keys"].push_back(keys);
    return c;
}

json Profile(const char* protocol) {
    return json{{"applet", "morvex"},
                {"protocol", protocol},
                {"pin", "123456"},
                {"containers",
                 json::array({Container("Quorlin-Alice", "8001", "alice-ec.der", "exchange"),
                              Container("Quorlin-Spare-1", "8002", nullptr, "exchange"),
                              Container("Quorlin-Bob", "8003", "bob-ec.der", "signature"),
                              Container("Quorlin-Spare-2", "8004", nullptr, "signature"),
                              Container("Quorlin-Carol", "8005", "carol-big5.der", "exchange")})}};
}

std::vector<std::uint8_t> Fixture(const std::string& name) {
    std::ifstream in(Env("QUORLIN_SOURCE_DIR") + "/tests/fixtures/" + name, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string Record(const std::string& name) {
    std::string hex = HexOf(name);
    for (std::size_t i = name.size(); i < 36; ++i) {
        hex += " 00";
    }
    return hex;
}

class Query : public CardFixture, public ::testing::WithParamInterface<const char*> {
  protected:
    x509::OpenSslCertApi certs;
};

TEST_P(Query, ListsWhatTheCardHoldsWithTheExactCommands) {
    const bool t1 = std::string(GetParam()) == "T=1";
    platform.certs = &certs;
    const int reader = t1 ? 1 : 0;  // a reader of its own for each protocol
    CardSim& sim = Insert(Profile(GetParam()), reader);
    CQuorlinDlg& dlg = Open(window, reader);
    window.texts[res::IDC_EDIT_PIN] = "123456";
    dlg.OnLogin();
    ASSERT_EQ(dlg.m_bLoggedIn, 1) << "log-in failed; simulator log " << sim.LogPath();
    window.messages.clear();

    dlg.OnQueryCertificates();
    EXPECT_TRUE(window.messages.empty());
    const std::string none = res::kNoDate;
    EXPECT_EQ(window.rows,
              (std::vector<Lines>{{"8001", "20250101", "20351231", "Alice Chen", "Quorlin-Alice"},
                                  {"8003", "20250101", "20351231", "Bob Lin", "Quorlin-Bob"},
                                  {"8005", "20250101", "20351231", "陳小明", "Quorlin-Carol"},
                                  {"8004", none, none, res::kCertNotLoaded, "Quorlin-Spare-2"},
                                  {"8002", none, none, res::kCertNotLoaded, "Quorlin-Spare-1"}}));
    ASSERT_EQ(dlg.m_nCertCount, 3);
    EXPECT_EQ(dlg.m_certs[0]->encoded, Fixture("alice-ec.der"));
    EXPECT_EQ(dlg.m_certs[1]->encoded, Fixture("bob-ec.der"));
    EXPECT_EQ(dlg.m_certs[2]->encoded, Fixture("carol-big5.der"));
    const std::string slots(reinterpret_cast<const char*>(dlg.m_containerNames), 36 * 4);
    EXPECT_EQ(slots, std::string("Quorlin-Alice") + std::string(23, '\0') + "Quorlin-Bob" +
                         std::string(25, '\0') + "Quorlin-Carol" + std::string(23, '\0') +
                         std::string(36, '\0'));
    EXPECT_TRUE(window.IsEnabled(res::IDC_BTN_REGISTER));

    const Lines commands = sim.Commands();
    auto has = [&](const std::string& line) {
        return std::find(commands.begin(), commands.end(), line) != commands.end();
    };
    EXPECT_TRUE(has("00 74 00 00 FF"));
    EXPECT_TRUE(has("00 44 00 01 C9"));
    EXPECT_TRUE(has("00 4C 00 00 16"));
    for (const char* name :
         {"Quorlin-Alice", "Quorlin-Spare-1", "Quorlin-Bob", "Quorlin-Spare-2", "Quorlin-Carol"}) {
        const std::string lookup = "00 7E 00 00 24 " + Record(name);
        EXPECT_TRUE(has(t1 ? lookup + " 00" : lookup)) << name;
        EXPECT_FALSE(has(t1 ? lookup : lookup + " 00")) << name;
    }
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "00 44 00 01 C9"), 3);
}

INSTANTIATE_TEST_SUITE_P(Protocols, Query, ::testing::Values("T=0", "T=1"), [](const auto& info) {
    return std::string(info.param) == "T=0" ? "T0" : "T1";
});

}  // namespace
}  // namespace quorlin::e2e
