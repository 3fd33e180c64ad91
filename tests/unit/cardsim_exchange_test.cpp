// The card engine behind the in-process PC/SC fake, driven by the one APDU exchange: the
// bytes on the wire under T=0 and T=1 and the card's answers as the callers see them.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "card/ApduExchange.h"
#include "fakes/EnginePcsc.h"

namespace {

using quorlin::card::ExchangeApdu;
using quorlin::cardsim::Engine;
using quorlin::test::Bytes;
using quorlin::test::EnginePcsc;
using quorlin::test::Hex;
using quorlin::test::ToHex;
namespace pcsc = quorlin::pcsc;

const Bytes kAids[3] = {Hex("A0 00 00 01 72 95 01 02"), Hex("A0 00 00 01 72 95 01 01"),
                        Hex("A0 00 00 01 72 95 01 03")};

struct Session {
    explicit Session(EnginePcsc& p) : pcsc(p) {
        EXPECT_EQ(pcsc.SCardEstablishContext(pcsc::kScopeUser, &context), pcsc::kSuccess);
        EXPECT_EQ(Connect(), pcsc::kSuccess);
    }
    std::uint32_t Connect() {
        std::uint32_t protocol = 0;
        std::uint32_t rv =
            pcsc.SCardConnectA(context, pcsc.readers[0].c_str(), pcsc::kShareExclusive,
                               pcsc::kProtocolT0 | pcsc::kProtocolT1, &card, &protocol);
        pci = protocol == pcsc::kProtocolT1 ? pcsc.T1Pci() : pcsc.T0Pci();
        return rv;
    }
    std::int32_t Send(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const Bytes& data,
                      std::uint8_t& le) {
        reply.assign(256, 0);
        return ExchangeApdu(pcsc, card, pci, 0x00, ins, p1, p2,
                            static_cast<std::uint8_t>(data.size()), le,
                            data.empty() ? nullptr : data.data(), reply.data(), reply.size());
    }
    // The applet by the three AIDs in turn, as the log-in does.
    std::int32_t SelectApplet() {
        std::int32_t rv = -1;
        for (const Bytes& aid : kAids) {
            std::uint8_t le = 0;
            rv = Send(0xA4, 0x04, 0x00, aid, le);
            if (rv == 0) {
                break;
            }
        }
        return rv;
    }
    std::int32_t SelectFile(std::uint8_t hi, std::uint8_t lo) {
        std::uint8_t le = 0;
        return Send(0xA4, 0x02, 0x00, {hi, lo}, le);
    }
    // A chunked read as the certificate query does it; gives the file bytes gathered.
    Bytes ChunkedRead(std::uint8_t ins, std::uint8_t firstP2, std::uint8_t firstLe, int* commands) {
        Bytes file;
        std::uint8_t le = firstLe;
        std::int32_t rv = Send(ins, 0x00, firstP2, {}, le);
        *commands = 1;
        if (rv != 0) {
            return file;
        }
        file.insert(file.end(), reply.begin() + 1, reply.begin() + le);
        while (reply[0] != 0 && *commands < 40) {
            le = reply[0];
            rv = Send(ins, 0x01, 0x01, {}, le);
            ++*commands;
            if (rv != 0) {
                break;
            }
            file.insert(file.end(), reply.begin() + 1, reply.begin() + le);
        }
        return file;
    }

    EnginePcsc& pcsc;
    pcsc::ScardContext context = 0;
    pcsc::ScardHandle card = 0;
    const pcsc::ScardIoRequest* pci = nullptr;
    Bytes reply;
};

Bytes Fixture(const std::string& name) {
    std::ifstream in(quorlin::cardsim::FixturesDir() / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Record(const std::string& name) {
    Bytes r(name.begin(), name.end());
    r.resize(36, 0);
    return r;
}

TEST(CardsimExchange, DemoCardUnderT0SpeaksWithFollowUps) {
    EnginePcsc fake("demo.json");
    Session s(fake);
    ASSERT_EQ(s.pci, fake.T0Pci());
    ASSERT_EQ(s.SelectApplet(), 0);
    ASSERT_EQ(fake.commands.size(), 4u);
    EXPECT_EQ(ToHex(fake.commands[0]), "00 A4 04 00 08 A0 00 00 01 72 95 01 02");
    EXPECT_EQ(ToHex(fake.commands[2]), "00 A4 04 00 08 A0 00 00 01 72 95 01 03");
    EXPECT_EQ(ToHex(fake.commands[3]), "00 C0 00 00 1A");

    // The directory: Le FF refused with 6C 49, re-sent, then the next chunk.
    ASSERT_EQ(s.SelectFile(0x80, 0x10), 0);
    int commands = 0;
    const std::size_t before = fake.commands.size();
    Bytes dir = s.ChunkedRead(0x74, 0x00, 0xFF, &commands);
    EXPECT_EQ(commands, 2);
    ASSERT_EQ(dir.size(), 4u * 36);
    EXPECT_EQ(Bytes(dir.begin(), dir.begin() + 36), Record("Quorlin-Alice"));
    EXPECT_EQ(ToHex(fake.commands[before]), "00 74 00 00 FF");
    EXPECT_EQ(ToHex(fake.commands[before + 1]), "00 74 00 00 49");
    EXPECT_EQ(ToHex(fake.commands[before + 2]), "00 74 01 01 49");

    // The lookup: 61 2B, then GET RESPONSE; both key slots name file 8001.
    std::uint8_t le = 0;
    EXPECT_EQ(s.Send(0x7E, 0x00, 0x00, Record("Quorlin-Alice"), le), 0);
    EXPECT_EQ(le, 43);
    EXPECT_EQ(ToHex(fake.commands.back()), "00 C0 00 00 2B");
    EXPECT_EQ(ToHex(Bytes(s.reply.begin() + 39, s.reply.begin() + 43)), "80 01 80 01");
    le = 0;
    EXPECT_EQ(s.Send(0x7E, 0x00, 0x00, Record("Quorlin-Bob"), le), 0);
    EXPECT_EQ(ToHex(Bytes(s.reply.begin() + 39, s.reply.begin() + 43)), "80 03 00 00");

    // Key information and the certificate of file 8001.
    ASSERT_EQ(s.SelectFile(0x80, 0x01), 0);
    le = 0x16;
    EXPECT_EQ(s.Send(0x4C, 0x00, 0x00, {}, le), 0);
    EXPECT_EQ(le, 22);
    EXPECT_EQ(ToHex(Bytes(s.reply.begin() + 2, s.reply.begin() + 5)), "04 00 01");
    Bytes cert = s.ChunkedRead(0x44, 0x01, 0xC9, &commands);
    EXPECT_EQ(cert, Fixture("alice-ec.der"));
    EXPECT_EQ(commands, 3);

    // The placeholder: indicator 0, in use.
    ASSERT_EQ(s.SelectFile(0x80, 0x02), 0);
    le = 0x16;
    EXPECT_EQ(s.Send(0x4C, 0x00, 0x00, {}, le), 0);
    EXPECT_EQ(ToHex(Bytes(s.reply.begin() + 2, s.reply.begin() + 5)), "00 00 01");
}

TEST(CardsimExchange, T1CardAnswersAtOnceAndReadsLongCertificates) {
    EnginePcsc fake("t1.json");
    Session s(fake);
    ASSERT_EQ(s.pci, fake.T1Pci());
    ASSERT_EQ(s.SelectApplet(), 0);
    ASSERT_EQ(fake.commands.size(), 1u);
    EXPECT_EQ(ToHex(fake.commands[0]), "00 A4 04 00 08 A0 00 00 01 72 95 01 02 00");

    int commands = 0;
    Bytes dir = s.ChunkedRead(0x74, 0x00, 0xFF, &commands);
    EXPECT_EQ(dir.size(), 4u * 36);  // chunks of 100: 100 + 44
    EXPECT_EQ(commands, 2);
    EXPECT_EQ(Bytes(dir.begin() + 36, dir.begin() + 72),
              Record("Quorlin-Container-Name-Of-36-Chars-X"));

    ASSERT_EQ(s.SelectFile(0x80, 0x05), 0);
    EXPECT_EQ(ToHex(fake.commands.back()), "00 A4 02 00 02 80 05 00");
    Bytes cert = s.ChunkedRead(0x44, 0x01, 0xC9, &commands);
    EXPECT_EQ(cert, Fixture("long-cn.der"));
    EXPECT_EQ(commands, 4);  // 200, then chunks of 150: 150 + 150 + 28

    EnginePcsc bench("bench.json");
    Session b(bench);
    ASSERT_EQ(b.SelectApplet(), 0);
    ASSERT_EQ(b.SelectFile(0x80, 0x01), 0);
    EXPECT_EQ(b.ChunkedRead(0x44, 0x01, 0xC9, &commands), Fixture("rsa-bench.der"));
}

TEST(CardsimExchange, PinVerifyAndChangeThroughTheExchange) {
    EnginePcsc fake("t1.json");
    Session s(fake);
    ASSERT_EQ(s.SelectApplet(), 0);
    const Bytes right = Hex("31 32 33 34 35 36 FF FF FF FF FF FF FF FF FF FF");
    const Bytes wrong = Hex("30 30 30 30 30 30 FF FF FF FF FF FF FF FF FF FF");
    const Bytes next = Hex("61 62 63 64 65 66 67 FF FF FF FF FF FF FF FF FF");
    std::uint8_t le = 0;
    ASSERT_EQ(s.SelectFile(0x00, 0xC7), 0);
    EXPECT_EQ(s.Send(0xD2, 0x01, 0x04, next, le), 0x6982);
    EXPECT_EQ(s.Send(0x20, 0x01, 0x28, wrong, le), 0x6608);
    EXPECT_EQ(s.Send(0x20, 0x01, 0x28, right, le), 0);
    EXPECT_EQ(s.Send(0xD2, 0x01, 0x04, next, le), 0);
    EXPECT_EQ(ToHex(fake.commands.back()), "00 D2 01 04 10 " + ToHex(next) + " 00");
    EXPECT_EQ(fake.engine.Log()[fake.engine.Log().size() - 2].find("61 62"), std::string::npos);

    // A reset disconnect ends the session; the new PIN stays, the old one is wrong.
    EXPECT_EQ(fake.SCardDisconnect(s.card, 1), pcsc::kSuccess);
    ASSERT_EQ(s.Connect(), pcsc::kSuccess);
    ASSERT_EQ(s.SelectApplet(), 0);
    ASSERT_EQ(s.SelectFile(0x00, 0xC7), 0);
    EXPECT_EQ(s.Send(0xD2, 0x01, 0x04, right, le), 0x6982);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(s.Send(0x20, 0x01, 0x28, right, le), 0x6608);
    }
    EXPECT_EQ(s.Send(0x20, 0x01, 0x28, next, le), 0x6620);  // blocked, even for the right one
}

TEST(CardsimExchange, FaultsReachTheCallerAsTheServiceWouldReportThem) {
    nlohmann::json j = {
        {"protocol", "T=1"},
        {"containers", {{{"name", "A"}, {"file", "8001"}, {"certificate", "alice-ec.der"}}}},
        {"faults",
         {{{"ins", "4C"}, {"answerLength", 255}},
          {{"ins", "74"}, {"answer", "90"}},
          {{"ins", "7E"}, {"sw", "6A 88"}},
          {{"ins", "44"}, {"occurrence", 2}, {"vanish", true}}}},
    };
    EnginePcsc fake(Engine::FromJson(j));
    Session s(fake);
    ASSERT_EQ(s.SelectApplet(), 0);  // third AID: the profile's default kind is morvex
    std::uint8_t le = 0x16;
    ASSERT_EQ(s.SelectFile(0x80, 0x01), 0);
    EXPECT_EQ(s.Send(0x4C, 0x00, 0x00, {}, le),
              static_cast<std::int32_t>(pcsc::kEInsufficientBuffer));
    EXPECT_EQ(le, 0x16);
    le = 0xFF;
    EXPECT_EQ(s.Send(0x74, 0x00, 0x00, {}, le), quorlin::card::kResultNoStatusWord);
    le = 0;
    EXPECT_EQ(s.Send(0x7E, 0x00, 0x00, Record("A"), le), 0x6A88);

    // PC/SC failures injected per call still come first.
    fake.failures["SCardTransmit"] = pcsc::kECommError;
    fake.failTimes["SCardTransmit"] = 1;
    le = 0xC9;
    EXPECT_EQ(s.Send(0x44, 0x00, 0x01, {}, le), static_cast<std::int32_t>(pcsc::kECommError));

    le = 0xC9;
    EXPECT_EQ(s.Send(0x44, 0x00, 0x01, {}, le), 0);  // first certificate read
    le = 0xC9;
    EXPECT_EQ(s.Send(0x44, 0x01, 0x01, {}, le), static_cast<std::int32_t>(pcsc::kWRemovedCard));
    EXPECT_TRUE(fake.engine.Vanished());
    EXPECT_EQ(s.SelectFile(0x80, 0x10), static_cast<std::int32_t>(pcsc::kWRemovedCard));
    EXPECT_EQ(fake.SCardDisconnect(s.card, 0), pcsc::kSuccess);
    EXPECT_EQ(s.Connect(), pcsc::kENoSmartcard);
}

}  // namespace
