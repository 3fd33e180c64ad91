// The card engine answered directly, byte for byte.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "engine/Engine.h"
#include "fakes/ScriptedPcsc.h"

namespace {

using quorlin::cardsim::Engine;
using quorlin::cardsim::FixturesDir;
using quorlin::cardsim::ProfileError;
using quorlin::test::Bytes;
using quorlin::test::Hex;
using quorlin::test::ToHex;

const char* const kMorvexAid = "A0 00 00 01 72 95 01 03";
const char* const kPinOk = "31 32 33 34 35 36 FF FF FF FF FF FF FF FF FF FF";
const char* const kPinBad = "31 32 33 34 35 37 FF FF FF FF FF FF FF FF FF FF";

Bytes ReadFixture(const std::string& name) {
    std::ifstream in(FixturesDir() / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// 36-byte container record of a text name.
std::string Record(const std::string& name) {
    Bytes rec(name.begin(), name.end());
    rec.resize(36, 0x00);
    return ToHex(rec);
}

Engine Card(const std::string& protocol, nlohmann::json extra = nlohmann::json::object()) {
    nlohmann::json j = {
        {"applet", "morvex"},
        {"protocol", protocol},
        {"pin", "123456"},
        {"pinRetries", 3},
        {"containers",
         {
             {{"name", "Both"},
              {"keys", {"signature", "exchange"}},
              {"file", "8001"},
              {"certificate", "alice-ec.der"},
              {"start", "20250101"},
              {"expiry", "20351231"}},
             {{"name", "SignOnly"},
              {"keys", {"signature"}},
              {"file", "8002"},
              {"certificate", "bob-ec.der"}},
             {{"name", "Placeholder"},
              {"keys", {"exchange"}},
              {"file", "8003"},
              {"certificate", nullptr}},
             {{"name", "Hidden"}, {"file", "8004"}, {"inUse", false}},
             {{"name", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"}, {"file", "8005"}},
         }},
    };
    j.update(extra);
    Engine e = Engine::FromJson(j);
    e.PowerOn();
    return e;
}

std::string Send(Engine& e, const std::string& hex) {
    return ToHex(e.Process(Hex(hex)));
}

void SelectApplet(Engine& e) {
    if (e.Protocol() == quorlin::cardsim::kProtocolT1) {
        std::string fci = Send(e, std::string("00 A4 04 00 08 ") + kMorvexAid + " 00");
        ASSERT_EQ(fci.substr(fci.size() - 5), "90 00");
    } else {
        ASSERT_EQ(Send(e, std::string("00 A4 04 00 08 ") + kMorvexAid), "61 1A");
        ASSERT_EQ(Send(e, "00 C0 00 00 1A").size(), 28u * 3 - 1);
    }
}

TEST(CardsimEngine, SelectsOnlyItsOwnAppletAndAnswersTheFciByProtocol) {
    Engine t0 = Card("T=0");
    EXPECT_EQ(Send(t0, "00 A4 04 00 08 A0 00 00 01 72 95 01 02"), "6A 82");
    EXPECT_EQ(Send(t0, "00 A4 04 00 08 A0 00 00 01 72 95 01 01"), "6A 82");
    EXPECT_FALSE(t0.AppletSelected());
    EXPECT_EQ(Send(t0, std::string("00 A4 04 00 08 ") + kMorvexAid), "61 1A");
    // A smaller GET RESPONSE takes part and is told what is left.
    std::string part = Send(t0, "00 C0 00 00 10");
    EXPECT_EQ(part.substr(0, 11), "6F 18 84 08");
    EXPECT_EQ(part.substr(part.size() - 5), "61 0A");
    std::string rest = Send(t0, "00 C0 00 00 0A");
    EXPECT_EQ(rest.substr(rest.size() - 5), "90 00");
    EXPECT_EQ(Send(t0, "00 C0 00 00 0A"), "69 85");  // nothing left
    EXPECT_TRUE(t0.AppletSelected());

    Engine t1 = Card("T=1");
    std::string fci = Send(t1, std::string("00 A4 04 00 08 ") + kMorvexAid + " 00");
    EXPECT_EQ(fci, std::string("6F 18 84 08 ") + kMorvexAid +
                       " A5 0C 9F 65 01 FF 5F 2D 02 7A 68 88 01 00 90 00");
    // Without an Le the T=1 card keeps its data to itself.
    EXPECT_EQ(Send(t1, std::string("00 A4 04 00 08 ") + kMorvexAid), "90 00");
}

TEST(CardsimEngine, SelectsKnownFilesOnlyInsideTheApplet) {
    Engine e = Card("T=1");
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 10 00"), "6A 82");  // applet not selected yet
    SelectApplet(e);
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 10 00"), "90 00");
    EXPECT_EQ(Send(e, "00 A4 02 00 02 00 C7 00"), "90 00");
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 05 00"), "90 00");
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 06 00"), "6A 82");
    EXPECT_EQ(e.SelectedFile(), 0x8005);  // a failed selection keeps the file
    EXPECT_EQ(Send(e, "00 A4 02 00 01 80 00"), "67 00");
    EXPECT_EQ(Send(e, "80 A4 02 00 02 80 10 00"), "6E 00");
    EXPECT_EQ(Send(e, "00 B0 00 00 10"), "6D 00");
}

TEST(CardsimEngine, PinRetriesBlockEvenTheRightPin) {
    Engine e = Card("T=0");
    SelectApplet(e);
    const std::string verify = "00 20 01 28 10 ";
    EXPECT_EQ(Send(e, verify + kPinBad), "66 08");
    EXPECT_EQ(e.RetriesLeft(), 2);
    EXPECT_EQ(Send(e, verify + kPinOk), "90 00");
    EXPECT_EQ(e.RetriesLeft(), 3);  // a right PIN restores the counter
    EXPECT_TRUE(e.PinVerified());
    EXPECT_EQ(Send(e, verify + kPinBad), "66 08");
    EXPECT_FALSE(e.PinVerified());
    EXPECT_EQ(Send(e, verify + kPinBad), "66 08");
    EXPECT_EQ(Send(e, verify + kPinBad), "66 08");
    EXPECT_EQ(e.RetriesLeft(), 0);
    EXPECT_EQ(Send(e, verify + kPinOk), "66 20");
    e.Reset();
    SelectApplet(e);
    EXPECT_EQ(Send(e, verify + kPinOk), "66 20");  // blocked for the card's life
    EXPECT_EQ(Send(e, "00 20 01 29 10 " + std::string(kPinOk)), "6A 86");
    EXPECT_EQ(Send(e, "00 20 01 28 06 31 32 33 34 35 36"), "67 00");
}

TEST(CardsimEngine, WriteRecordNeedsVerifySinceTheLastReset) {
    Engine e = Card("T=1");
    SelectApplet(e);
    const std::string newPin = "39 38 37 36 35 34 33 32 FF FF FF FF FF FF FF FF";
    const std::string write = "00 D2 01 04 10 " + newPin + " 00";
    EXPECT_EQ(Send(e, "00 A4 02 00 02 00 C7 00"), "90 00");
    EXPECT_EQ(Send(e, write), "69 82");
    EXPECT_EQ(Send(e, "00 20 01 28 10 " + std::string(kPinOk) + " 00"), "90 00");
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 10 00"), "90 00");
    EXPECT_EQ(Send(e, write), "69 86");  // not on the PIN file
    EXPECT_EQ(Send(e, "00 A4 02 00 02 00 C7 00"), "90 00");
    EXPECT_EQ(Send(e, "00 D2 02 04 10 " + newPin + " 00"), "6A 83");
    EXPECT_EQ(Send(e, write), "90 00");
    EXPECT_EQ(ToHex(Bytes(e.PinRecord().begin(), e.PinRecord().end())), newPin);

    // The session ends with a reset, the new PIN stays.
    e.Reset();
    SelectApplet(e);
    EXPECT_EQ(Send(e, "00 A4 02 00 02 00 C7 00"), "90 00");
    EXPECT_EQ(Send(e, write), "69 82");
    EXPECT_EQ(Send(e, "00 20 01 28 10 " + std::string(kPinOk) + " 00"), "66 08");
    EXPECT_EQ(Send(e, "00 20 01 28 10 " + newPin + " 00"), "90 00");
}

TEST(CardsimEngine, DirectoryReadsInChunksUnderBothProtocols) {
    const std::string dir = Record("Both") + " " + Record("SignOnly") + " " +
                            Record("Placeholder") + " " + Record("Hidden") + " " +
                            Record("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    const Bytes all = Hex(dir);
    ASSERT_EQ(all.size(), 180u);
    const auto slice = [&](std::size_t from, std::size_t n) {
        return ToHex(Bytes(all.begin() + from, all.begin() + from + n));
    };

    Engine t1 = Card("T=1");
    EXPECT_EQ(Send(t1, "00 74 00 00 FF"), "69 85");  // applet first
    SelectApplet(t1);
    EXPECT_EQ(Send(t1, "00 74 01 01 49"), "69 85");  // nothing started
    EXPECT_EQ(Send(t1, "00 74 00 00 FF"), "49 " + slice(0, 72) + " 90 00");
    EXPECT_EQ(Send(t1, "00 74 01 01 49"), "25 " + slice(72, 72) + " 90 00");
    EXPECT_EQ(Send(t1, "00 74 01 01 25"), "00 " + slice(144, 36) + " 90 00");

    // T=0: the first Le is refused with the right length and the re-sent command reads.
    Engine t0 = Card("T=0", {{"chunks", {{"directory", 100}}}});
    SelectApplet(t0);
    EXPECT_EQ(Send(t0, "00 74 00 00 FF"), "6C 65");
    EXPECT_EQ(Send(t0, "00 74 00 00 65"), "51 " + slice(0, 100) + " 90 00");
    EXPECT_EQ(Send(t0, "00 74 01 01 20"), "6C 51");  // and nothing was lost
    EXPECT_EQ(Send(t0, "00 74 01 01 51"), "00 " + slice(100, 80) + " 90 00");
    EXPECT_EQ(Send(t0, "00 74 00 00"), "6C 65");  // no Le at all
}

TEST(CardsimEngine, EmptyDirectoryIsTheSingleByteZero) {
    Engine e = Engine::FromJson({{"protocol", "T=1"}, {"containers", nlohmann::json::array()}});
    e.PowerOn();
    SelectApplet(e);
    EXPECT_EQ(Send(e, "00 74 00 00 FF"), "00 90 00");
}

TEST(CardsimEngine, LookupPlacesTheFilesOfEachKeyAtTheirOffsets) {
    Engine e = Card("T=1");
    SelectApplet(e);
    const auto lookup = [&](const std::string& name) {
        return e.Process(Hex("00 7E 00 00 24 " + Record(name) + " 00"));
    };
    Bytes both = lookup("Both");
    ASSERT_EQ(both.size(), 43u + 2);
    EXPECT_EQ(ToHex(Bytes(both.begin() + 39, both.end())), "80 01 80 01 90 00");
    EXPECT_EQ(ToHex(Bytes(both.begin(), both.begin() + 36)), Record("Both"));
    Bytes sign = lookup("SignOnly");
    EXPECT_EQ(ToHex(Bytes(sign.begin() + 39, sign.end())), "80 02 00 00 90 00");
    Bytes exch = lookup("Placeholder");
    EXPECT_EQ(ToHex(Bytes(exch.begin() + 39, exch.end())), "00 00 80 03 90 00");
    Bytes full = lookup("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    EXPECT_EQ(ToHex(Bytes(full.begin() + 39, full.end())), "00 00 80 05 90 00");
    EXPECT_EQ(ToHex(lookup("Nobody")), "6A 88");
    EXPECT_EQ(Send(e, "00 7E 00 00 04 42 6F 74 68 00"), "67 00");

    // T=0: 61 2B, then GET RESPONSE.
    Engine t0 = Card("T=0");
    SelectApplet(t0);
    EXPECT_EQ(Send(t0, "00 7E 00 00 24 " + Record("Both")), "61 2B");
    std::string reply = Send(t0, "00 C0 00 00 2B");
    EXPECT_EQ(reply.substr(39 * 3), "80 01 80 01 90 00");
}

TEST(CardsimEngine, KeyInformationOfTheSelectedFile) {
    Engine e = Card("T=0");
    SelectApplet(e);
    EXPECT_EQ(Send(e, "00 4C 00 00 16"), "69 86");  // no file
    Send(e, "00 A4 02 00 02 80 10");
    EXPECT_EQ(Send(e, "00 4C 00 00 16"), "69 86");  // not a certificate object file
    Send(e, "00 A4 02 00 02 80 01");
    EXPECT_EQ(Send(e, "00 4C 00 00 16"),
              "80 01 04 00 01 00 32 30 32 35 30 31 30 31 32 30 33 35 31 32 33 31 90 00");
    Send(e, "00 A4 02 00 02 80 03");
    EXPECT_EQ(Send(e, "00 4C 00 00 16").substr(0, 17), "80 03 00 00 01 00");
    Send(e, "00 A4 02 00 02 80 04");
    EXPECT_EQ(Send(e, "00 4C 00 00 16").substr(0, 17), "80 04 00 00 00 00");
    EXPECT_EQ(Send(e, "00 4C 00 00 20"), "6C 16");
}

TEST(CardsimEngine, CertificateReadsFirstTwoHundredBytesThenChunks) {
    const Bytes alice = ReadFixture("alice-ec.der");
    ASSERT_GT(alice.size(), 400u);
    ASSERT_LT(alice.size(), 600u);
    Engine e = Card("T=0");
    SelectApplet(e);
    Send(e, "00 A4 02 00 02 80 01");
    Bytes gathered;
    Bytes reply = e.Process(Hex("00 44 00 01 C9"));
    ASSERT_EQ(reply.size(), 203u);
    EXPECT_EQ(reply[0], 0xC9);
    gathered.insert(gathered.end(), reply.begin() + 1, reply.end() - 2);
    std::uint8_t next = reply[0];
    int commands = 1;
    while (next != 0 && commands < 10) {
        reply = e.Process(Bytes{0x00, 0x44, 0x01, 0x01, next});
        ASSERT_EQ(reply.size(), static_cast<std::size_t>(next) + 2) << ToHex(reply);
        gathered.insert(gathered.end(), reply.begin() + 1, reply.end() - 2);
        next = reply[0];
        ++commands;
    }
    EXPECT_EQ(commands, 3);
    EXPECT_EQ(gathered, alice);

    // A placeholder has no certificate; a certificate read outside an object file fails.
    Send(e, "00 A4 02 00 02 80 03");
    EXPECT_EQ(Send(e, "00 44 00 01 C9"), "6A 88");
    Send(e, "00 A4 02 00 02 80 10");
    EXPECT_EQ(Send(e, "00 44 00 01 C9"), "69 86");
}

TEST(CardsimEngine, ShortCertificateIsShortOrPaddedByProfile) {
    quorlin::cardsim::Profile p;
    p.protocol = quorlin::cardsim::kProtocolT1;
    quorlin::cardsim::Container c;
    c.name[0] = 'S';
    c.file = 0x8001;
    c.certificate = Bytes(150, 0xAB);
    c.indicator = {0x04, 0x00};
    p.containers.push_back(c);
    for (bool pad : {false, true}) {
        p.padFirstCertificateChunk = pad;
        Engine e(p);
        e.PowerOn();
        SelectApplet(e);
        Send(e, "00 A4 02 00 02 80 01 00");
        Bytes reply = e.Process(Hex("00 44 00 01 C9"));
        ASSERT_EQ(reply.size(), (pad ? 201u : 151u) + 2);
        EXPECT_EQ(reply[0], 0x00);
        EXPECT_EQ(reply[150], 0xAB);
        if (pad) {
            EXPECT_EQ(reply[151], 0x00);
        }
    }
}

TEST(CardsimEngine, FaultsFireOnTheirOccurrence) {
    Engine e = Card("T=1", {{"faults",
                             {{{"ins", "A4"}, {"occurrence", 2}, {"sw", "6A 82"}},
                              {{"prefix", "00 4C"}, {"answerLength", 255}},
                              {{"ins", "7E"}, {"answer", "90"}},
                              {{"ins", "20"}, {"answer", ""}},
                              {{"vanishAt", 9}}}}});
    SelectApplet(e);                                         // 1: A4 #1
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 01 00"), "6A 82");  // 2: A4 #2 fails
    EXPECT_EQ(e.SelectedFile(), std::nullopt);               // and had no effect
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 01 00"), "90 00");  // 3: A4 #3
    Bytes info = e.Process(Hex("00 4C 00 00 16"));           // 4
    ASSERT_EQ(info.size(), 257u);
    EXPECT_EQ(ToHex(Bytes(info.begin(), info.begin() + 4)), "80 01 04 00");
    EXPECT_EQ(info[22], 0x00);
    EXPECT_EQ(ToHex(Bytes(info.end() - 2, info.end())), "90 00");
    EXPECT_EQ(Send(e, "00 7E 00 00 24 " + Record("Both") + " 00"), "90");                  // 5
    EXPECT_TRUE(e.Process(Hex("00 20 01 28 10 " + std::string(kPinOk) + " 00")).empty());  // 6
    EXPECT_FALSE(e.Vanished());
    EXPECT_EQ(Send(e, "00 74 00 00 FF").substr(0, 3), "49 ");  // 7
    EXPECT_EQ(Send(e, "00 74 01 01 49").substr(0, 3), "25 ");  // 8
    EXPECT_TRUE(e.Vanished());                                 // gone right after its 8th answer
    EXPECT_TRUE(e.Process(Hex("00 74 01 01 25")).empty());     // 9: gone
    EXPECT_TRUE(e.Vanished());
    EXPECT_FALSE(e.AppletSelected());
    e.PowerOn();
    EXPECT_TRUE(e.Process(Hex(std::string("00 A4 04 00 08 ") + kMorvexAid + " 00")).empty());
    EXPECT_EQ(e.Log().back(), "! vanished");
}

TEST(CardsimEngine, EndlessChainNeverEnds) {
    Engine e = Card("T=0", {{"faults", {{{"ins", "44"}, {"endlessChain", true}}}}});
    SelectApplet(e);
    Send(e, "00 A4 02 00 02 80 02");
    Bytes reply = e.Process(Hex("00 44 00 01 C9"));
    ASSERT_EQ(reply.size(), 203u);
    for (int i = 0; i < 50; ++i) {
        ASSERT_NE(reply[0], 0x00);
        reply = e.Process(Bytes{0x00, 0x44, 0x01, 0x01, reply[0]});
        ASSERT_EQ(reply.size(), 203u) << ToHex(reply);
    }
}

TEST(CardsimEngine, LogMasksPinBytesAndKeepsEverythingElse) {
    Engine e = Card("T=1");
    std::vector<std::string> sunk;
    e.SetLogSink([&](const std::string& line) { sunk.push_back(line); });
    SelectApplet(e);
    Send(e, "00 20 01 28 10 " + std::string(kPinOk) + " 00");
    Send(e, "00 A4 02 00 02 00 C7 00");
    Send(e, "00 D2 01 04 10 39 38 37 36 35 34 33 32 FF FF FF FF FF FF FF FF 00");
    const std::vector<std::string>& log = e.Log();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[0], std::string("> 00 A4 04 00 08 ") + kMorvexAid + " 00");
    EXPECT_EQ(log[1].substr(0, 14), "< 6F 18 84 08 ");
    std::string stars;
    for (int i = 0; i < 16; ++i) {
        stars += " **";
    }
    EXPECT_EQ(log[2], "> 00 20 01 28 10" + stars + " 00");
    EXPECT_EQ(log[3], "< 90 00");
    EXPECT_EQ(log[6], "> 00 D2 01 04 10" + stars + " 00");
    for (const std::string& line : log) {
        EXPECT_EQ(line.find("31 32 33"), std::string::npos) << line;
        EXPECT_EQ(line.find("39 38 37"), std::string::npos) << line;
    }
    EXPECT_EQ(sunk, log);
}

TEST(CardsimEngine, ProfilesThatCannotDescribeACardAreRefused) {
    using nlohmann::json;
    const json base = {{"containers", json::array()}};
    auto refused = [&](json change) {
        json j = base;
        j.update(change);
        EXPECT_THROW(Engine::FromJson(j), ProfileError) << j.dump();
    };
    refused({{"applet", "other"}});
    refused({{"protocol", "T=2"}});
    refused({{"pin", "12345678901234567"}});
    refused({{"atr", "3B 0"}});
    refused({{"chunks", {{"directory", 254}}}});
    refused(
        {{"containers", {{{"name", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789X"}, {"file", "8001"}}}}});
    refused({{"containers", {{{"name", "A"}, {"file", "8010"}}}}});
    refused(
        {{"containers", {{{"name", "A"}, {"file", "8001"}}, {{"name", "B"}, {"file", "8001"}}}}});
    refused({{"containers", {{{"name", "A"}, {"file", "8001"}, {"certificate", "missing.der"}}}}});
    refused({{"containers", {{{"name", "A"}, {"file", "8001"}, {"keys", {"other"}}}}}});
    refused({{"faults", {{{"ins", "20"}}}}});
    refused({{"faults", {{{"ins", "20"}, {"sw", "66 08"}, {"vanish", true}}}}});
    EXPECT_THROW(Engine::FromText("{"), ProfileError);
    EXPECT_THROW(Engine::FromFile("/nonexistent/profile.json"), ProfileError);
}

TEST(CardsimEngine, ShippedProfilesLoadWithTheirProtocolAndAtr) {
    for (const char* name : {"demo.json", "t1.json", "faults.json", "bench.json"}) {
        SCOPED_TRACE(name);
        Engine e = Engine::FromFile(quorlin::cardsim::ProfilesDir() / name);
        ASSERT_FALSE(e.Atr().empty());
        EXPECT_EQ(e.Atr()[0], 0x3B);
        // T=1 ATRs name T=1 in TD1 and carry a check byte over T0..the last byte.
        bool t1 = e.Protocol() == quorlin::cardsim::kProtocolT1;
        EXPECT_EQ((e.Atr()[1] & 0x80) != 0, t1);
        if (t1) {
            std::uint8_t x = 0;
            for (std::size_t i = 1; i < e.Atr().size(); ++i) {
                x ^= e.Atr()[i];
            }
            EXPECT_EQ(x, 0);
        }
    }
    Engine demo = Engine::FromFile(quorlin::cardsim::ProfilesDir() / "demo.json");
    EXPECT_EQ(demo.Protocol(), quorlin::cardsim::kProtocolT0);
    EXPECT_EQ(ToHex(Bytes(demo.PinRecord().begin(), demo.PinRecord().end())), kPinOk);
}

}  // namespace
