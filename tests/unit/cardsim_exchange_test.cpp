// The in-process PC/SC fake backed by the card engine, driven by the one APDU exchange: the
// bytes on the wire under T=0 and T=1, and the card's faults as the callers see them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "card/ApduExchange.h"
#include "fakes/EnginePcsc.h"

namespace {

using quorlin::test::Bytes;
using quorlin::test::EnginePcsc;
using quorlin::test::Hex;
using quorlin::test::ToHex;
using Lines = std::vector<std::string>;
namespace pcsc = quorlin::pcsc;

const std::string kSelect = "00 A4 04 00 08 A0 00 00 01 72 95 01 0";

struct Session {
    explicit Session(EnginePcsc& p) : pcsc(p) {
        EXPECT_EQ(pcsc.SCardEstablishContext(pcsc::kScopeUser, &context), pcsc::kSuccess);
        EXPECT_EQ(Connect(), pcsc::kSuccess);
    }
    std::uint32_t Connect() {
        std::uint32_t protocol = 0;
        const std::uint32_t rv =
            pcsc.SCardConnectA(context, pcsc.readers[0].c_str(), pcsc::kShareExclusive,
                               pcsc::kProtocolT0 | pcsc::kProtocolT1, &card, &protocol);
        pci = protocol == pcsc::kProtocolT1 ? pcsc.T1Pci() : pcsc.T0Pci();
        return rv;
    }
    std::int32_t Send(const std::string& header, const Bytes& data, std::uint8_t& le) {
        const Bytes h = Hex(header);
        reply.assign(256, 0);
        quorlin::card::Response response{reply.data(), reply.size()};
        const std::int32_t rv = quorlin::card::Exchange(
            {pcsc, card, pci}, {h[0], h[1], h[2], h[3], data, le}, response);
        // Le as the caller sees it: what was kept, once an answer brought data.
        if (response.sent > 0) {
            le = static_cast<std::uint8_t>(response.length);
        }
        return rv;
    }
    // The applet by the three AIDs in turn, as the log-in does.
    std::int32_t SelectApplet() {
        std::int32_t rv = -1;
        for (const char* last : {"2", "1", "3"}) {
            std::uint8_t le = 0;
            if ((rv = Send("00 A4 04 00", Hex(kSelect.substr(15) + last), le)) == 0) {
                break;
            }
        }
        return rv;
    }
    Lines Wire(std::size_t from) const {
        Lines out;
        for (std::size_t i = from; i < pcsc.commands.size(); ++i) {
            out.push_back(ToHex(pcsc.commands[i]));
        }
        return out;
    }

    EnginePcsc& pcsc;
    pcsc::ScardContext context = 0;
    pcsc::ScardHandle card = 0;
    const pcsc::ScardIoRequest* pci = nullptr;
    Bytes reply;
};

Bytes Record(const std::string& name) {
    Bytes r(name.begin(), name.end());
    r.resize(36, 0);
    return r;
}

TEST(CardsimExchange, ProtocolOfTheProfileDecidesTheBytesOnTheWire) {
    struct Case {
        const char* profile;
        bool t1;
        Lines selection, directory, lookup;
    };
    const std::string lookup = "00 7E 00 00 24 " + ToHex(Record("Quorlin-Alice"));
    const Case cases[] = {
        // T=0: no Le; 61xx fetched by GET RESPONSE; a wrong Le refused with 6Cxx and re-sent.
        {"demo.json",
         false,
         {kSelect + "2", kSelect + "1", kSelect + "3", "00 C0 00 00 1A"},
         {"00 74 00 00 FF", "00 74 00 00 49"},
         {lookup, "00 C0 00 00 2B"}},
        {"t1.json", true, {kSelect + "2 00"}, {"00 74 00 00 FF"}, {lookup + " 00"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.profile);
        EnginePcsc fake(k.profile);
        Session s(fake);
        EXPECT_EQ(s.pci, k.t1 ? fake.T1Pci() : fake.T0Pci());
        ASSERT_EQ(s.SelectApplet(), 0);
        EXPECT_EQ(s.Wire(0), k.selection);
        std::uint8_t le = 0;
        ASSERT_EQ(s.Send("00 A4 02 00", {0x80, 0x10}, le), 0);

        std::size_t from = fake.commands.size();
        le = 0xFF;
        EXPECT_EQ(s.Send("00 74 00 00", {}, le), 0);
        EXPECT_EQ(s.Wire(from), k.directory);
        EXPECT_EQ(le, k.t1 ? 101 : 73);  // the next-length byte and a chunk of 100 or 72
        EXPECT_EQ(Bytes(s.reply.begin() + 1, s.reply.begin() + 37), Record("Quorlin-Alice"));

        from = fake.commands.size();
        le = 0;
        EXPECT_EQ(s.Send("00 7E 00 00", Record("Quorlin-Alice"), le), 0);
        EXPECT_EQ(s.Wire(from), k.lookup);
        EXPECT_EQ(le, 43);
        EXPECT_EQ(ToHex(Bytes(s.reply.begin() + 39, s.reply.begin() + 43)), "80 01 80 01");
    }
}

TEST(CardsimExchange, FaultsReachTheCallerAsTheServiceWouldReportThem) {
    nlohmann::json j = {
        {"protocol", "T=1"},
        {"containers", {{{"name", "A"}, {"file", "8001"}, {"certificate", "alice-ec.der"}}}},
        {"faults",
         {{{"ins", "4C"}, {"answerLength", 255}},
          {{"ins", "44"}, {"occurrence", 2}, {"vanish", true}}}},
    };
    EnginePcsc fake(quorlin::cardsim::Engine::FromJson(j));
    Session s(fake);
    ASSERT_EQ(s.SelectApplet(), 0);  // third AID: the profile's default kind is morvex
    std::uint8_t le = 0;
    ASSERT_EQ(s.Send("00 A4 02 00", {0x80, 0x01}, le), 0);
    le = 0x16;  // 257 bytes are more than pcsc-lite takes
    EXPECT_EQ(s.Send("00 4C 00 00", {}, le), static_cast<std::int32_t>(pcsc::kEInsufficientBuffer));
    EXPECT_EQ(le, 0x16);

    // PC/SC failures injected per call still come first.
    fake.failures["SCardTransmit"] = pcsc::kECommError;
    fake.failTimes["SCardTransmit"] = 1;
    le = 0xC9;
    EXPECT_EQ(s.Send("00 44 00 01", {}, le), static_cast<std::int32_t>(pcsc::kECommError));
    EXPECT_EQ(s.Send("00 44 00 01", {}, le), 0);

    le = 0xC9;
    EXPECT_EQ(s.Send("00 44 01 01", {}, le), static_cast<std::int32_t>(pcsc::kWRemovedCard));
    EXPECT_TRUE(fake.engine.Vanished());
    EXPECT_EQ(s.Send("00 A4 02 00", {0x80, 0x10}, le),
              static_cast<std::int32_t>(pcsc::kWRemovedCard));
    EXPECT_EQ(fake.SCardDisconnect(s.card, 0), pcsc::kSuccess);
    EXPECT_EQ(s.Connect(), pcsc::kENoSmartcard);
}

}  // namespace
