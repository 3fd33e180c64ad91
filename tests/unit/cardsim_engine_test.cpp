// The card engine answered directly, byte for byte.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "engine/Engine.h"
#include "fakes/ScriptedPcsc.h"

namespace {

using nlohmann::json;
using quorlin::cardsim::Engine;
using quorlin::cardsim::ProfileError;
using quorlin::test::Bytes;
using quorlin::test::Hex;
using quorlin::test::ToHex;

const std::string kSelectAid = "00 A4 04 00 08 A0 00 00 01 72 95 01 0";
const std::string kMorvex = kSelectAid + "3";
const std::string kPinOk = "31 32 33 34 35 36 FF FF FF FF FF FF FF FF FF FF";
const std::string kPinBad = "31 32 33 34 35 37 FF FF FF FF FF FF FF FF FF FF";
const std::string kNewPin = "39 38 37 36 35 34 33 32 FF FF FF FF FF FF FF FF";

// 36-byte container record of a text name.
std::string Record(const std::string& name) {
    Bytes rec(name.begin(), name.end());
    rec.resize(36, 0x00);
    return ToHex(rec);
}

Engine Card(const std::string& protocol, json extra = json::object()) {
    json j = json::parse(R"({"applet": "morvex", "pin": "123456", "pinRetries": 3, "containers": [
        {"name": "Both", "keys": ["signature", "exchange"], "file": "8001",
         "certificate": "alice-ec.der", "start": "20250101", "expiry": "20351231"},
        {"name": "SignOnly", "keys": ["signature"], "file": "8002", "certificate": "bob-ec.der"},
        {"name": "Placeholder", "keys": ["exchange"], "file": "8003"},
        {"name": "Hidden", "file": "8004", "inUse": false},
        {"name": "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", "file": "8005"}]})");
    j["protocol"] = protocol;
    j.update(extra);
    Engine e = Engine::FromJson(j);
    e.PowerOn();
    return e;
}

std::string Send(Engine& e, const std::string& hex) {
    return ToHex(e.Process(Hex(hex)));
}

// The status word, or the whole answer when it has none.
std::string Tail(const std::string& answer) {
    return answer.size() < 5 ? answer : answer.substr(answer.size() - 5);
}

void SelectApplet(Engine& e) {
    if (e.Protocol() == quorlin::cardsim::kProtocolT1) {
        ASSERT_EQ(Tail(Send(e, kMorvex + " 00")), "90 00");
    } else {
        ASSERT_EQ(Send(e, kMorvex), "61 1A");
        ASSERT_EQ(Send(e, "00 C0 00 00 1A").size(), 28u * 3 - 1);
    }
}

TEST(CardsimEngine, SelectsOnlyItsOwnAppletAndAnswersTheFciByProtocol) {
    Engine t0 = Card("T=0");
    EXPECT_EQ(Send(t0, kSelectAid + "2"), "6A 82");
    EXPECT_EQ(Send(t0, kSelectAid + "1"), "6A 82");
    EXPECT_FALSE(t0.AppletSelected());
    EXPECT_EQ(Send(t0, kMorvex), "61 1A");
    // A smaller GET RESPONSE takes part and is told what is left.
    const std::string part = Send(t0, "00 C0 00 00 10");
    EXPECT_EQ(part.substr(0, 11), "6F 18 84 08");
    EXPECT_EQ(Tail(part), "61 0A");
    EXPECT_EQ(Tail(Send(t0, "00 C0 00 00 0A")), "90 00");
    EXPECT_EQ(Send(t0, "00 C0 00 00 0A"), "69 85");  // nothing left
    EXPECT_TRUE(t0.AppletSelected());

    Engine t1 = Card("T=1");
    EXPECT_EQ(Send(t1, kMorvex + " 00"), "6F 18 84 08 " + kMorvex.substr(15) +
                                             " A5 0C 9F 65 01 FF 5F 2D 02 7A 68 88 01 00 90 00");
    EXPECT_EQ(Send(t1, kMorvex), "90 00");  // without an Le the T=1 card keeps its data
}

TEST(CardsimEngine, SelectsKnownFilesOnlyInsideTheApplet) {
    Engine e = Card("T=1");
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 10 00"), "6A 82");  // applet not selected yet
    SelectApplet(e);
    for (const char* file : {"80 10", "00 C7", "80 05"}) {
        EXPECT_EQ(Send(e, "00 A4 02 00 02 " + std::string(file) + " 00"), "90 00") << file;
    }
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 06 00"), "6A 82");
    EXPECT_EQ(e.SelectedFile(), 0x8005);  // a failed selection keeps the file
    EXPECT_EQ(Send(e, "00 A4 02 00 01 80 00"), "67 00");
    EXPECT_EQ(Send(e, "80 A4 02 00 02 80 10 00"), "6E 00");
    EXPECT_EQ(Send(e, "00 B0 00 00 10"), "6D 00");
}

TEST(CardsimEngine, PinRetriesBlockAndWriteRecordNeedsVerifySinceTheLastReset) {
    Engine e = Card("T=1");
    SelectApplet(e);
    const std::string verify = "00 20 01 28 10 ";
    const std::string write = "00 D2 01 04 10 " + kNewPin + " 00";
    EXPECT_EQ(Send(e, "00 A4 02 00 02 00 C7 00"), "90 00");
    EXPECT_EQ(Send(e, write), "69 82");
    EXPECT_EQ(Send(e, verify + kPinBad), "66 08");
    EXPECT_EQ(Send(e, verify + kPinOk), "90 00");
    EXPECT_EQ(Send(e, "00 A4 02 00 02 80 10 00"), "90 00");
    EXPECT_EQ(Send(e, write), "69 86");  // not on the PIN file
    EXPECT_EQ(Send(e, "00 A4 02 00 02 00 C7 00"), "90 00");
    EXPECT_EQ(Send(e, "00 D2 02 04 10 " + kNewPin + " 00"), "6A 83");
    EXPECT_EQ(Send(e, write), "90 00");
    EXPECT_EQ(ToHex(Bytes(e.PinRecord().begin(), e.PinRecord().end())), kNewPin);
    EXPECT_EQ(Send(e, "00 20 01 29 10 " + kPinOk), "6A 86");
    EXPECT_EQ(Send(e, "00 20 01 28 06 31 32 33 34 35 36"), "67 00");

    e.Reset();  // ends the session; the new PIN stays
    SelectApplet(e);
    EXPECT_EQ(Send(e, "00 A4 02 00 02 00 C7 00"), "90 00");
    EXPECT_EQ(Send(e, write), "69 82");
    EXPECT_EQ(Send(e, verify + kPinOk), "66 08");
    EXPECT_EQ(Send(e, verify + kNewPin), "90 00");
    EXPECT_EQ(e.RetriesLeft(), 3);  // a right PIN restores the counter
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Send(e, verify + kPinOk), "66 08");
    }
    EXPECT_EQ(e.RetriesLeft(), 0);
    e.Reset();
    SelectApplet(e);
    EXPECT_EQ(Send(e, verify + kNewPin), "66 20");  // blocked for the card's life
}

TEST(CardsimEngine, DirectoryReadsInChunksUnderBothProtocols) {
    const Bytes all =
        Hex(Record("Both") + " " + Record("SignOnly") + " " + Record("Placeholder") + " " +
            Record("Hidden") + " " + Record("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"));
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

    Engine empty = Card("T=1", {{"containers", json::array()}});
    SelectApplet(empty);
    EXPECT_EQ(Send(empty, "00 74 00 00 FF"), "00 90 00");
}

TEST(CardsimEngine, LookupPlacesTheFilesOfEachKeyAtTheirOffsets) {
    Engine e = Card("T=1");
    SelectApplet(e);
    const auto lookup = [&](const std::string& name) {
        return Send(e, "00 7E 00 00 24 " + Record(name) + " 00");
    };
    const std::string both = lookup("Both");
    EXPECT_EQ(both.substr(0, 36 * 3 - 1), Record("Both"));
    EXPECT_EQ(both.substr(39 * 3), "80 01 80 01 90 00");
    EXPECT_EQ(lookup("SignOnly").substr(39 * 3), "80 02 00 00 90 00");
    EXPECT_EQ(lookup("Placeholder").substr(39 * 3), "00 00 80 03 90 00");
    EXPECT_EQ(lookup("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789").substr(39 * 3), "00 00 80 05 90 00");
    EXPECT_EQ(lookup("Nobody"), "6A 88");
    EXPECT_EQ(Send(e, "00 7E 00 00 04 42 6F 74 68 00"), "67 00");
}

TEST(CardsimEngine, KeyInformationOfTheSelectedFile) {
    Engine e = Card("T=0");
    SelectApplet(e);
    EXPECT_EQ(Send(e, "00 4C 00 00 16"), "69 86");  // no file
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"80 10", "69 86"},  // not a certificate object file
        {"80 01", "80 01 04 00 01 00 32 30 32 35 30 31 30 31 32 30 33 35 31 32 33 31 90 00"},
        {"80 03", "80 03 00 00 01 00"},  // placeholder
        {"80 04", "80 04 00 00 00 00"},  // not in use
    };
    for (const auto& [file, info] : cases) {
        Send(e, "00 A4 02 00 02 " + file);
        EXPECT_EQ(Send(e, "00 4C 00 00 16").substr(0, info.size()), info) << file;
    }
    EXPECT_EQ(Send(e, "00 4C 00 00 20"), "6C 16");
}

TEST(CardsimEngine, CertificateReadsFirstTwoHundredBytesThenChunks) {
    std::ifstream in(quorlin::cardsim::FixturesDir() / "alice-ec.der", std::ios::binary);
    const Bytes alice{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(alice.size(), 423u);
    Engine e = Card("T=0");
    SelectApplet(e);
    Send(e, "00 A4 02 00 02 80 01");
    const Bytes first = e.Process(Hex("00 44 00 01 C9"));
    const Bytes second = e.Process(Hex("00 44 01 01 C9"));
    const Bytes third = e.Process(Hex("00 44 01 01 18"));
    ASSERT_EQ(first.size(), 203u);
    ASSERT_EQ(second.size(), 203u);
    ASSERT_EQ(third.size(), 26u);
    EXPECT_EQ(ToHex({first[0], second[0], third[0]}), "C9 18 00");
    Bytes gathered(first.begin() + 1, first.end() - 2);
    gathered.insert(gathered.end(), second.begin() + 1, second.end() - 2);
    gathered.insert(gathered.end(), third.begin() + 1, third.end() - 2);
    EXPECT_EQ(gathered, alice);

    // A placeholder has no certificate; a certificate read outside an object file fails.
    Send(e, "00 A4 02 00 02 80 03");
    EXPECT_EQ(Send(e, "00 44 00 01 C9"), "6A 88");
    Send(e, "00 A4 02 00 02 80 10");
    EXPECT_EQ(Send(e, "00 44 00 01 C9"), "69 86");

    // A certificate under 200 bytes comes short, or zero padded to 200 when the profile asks.
    quorlin::cardsim::Profile p;
    p.protocol = quorlin::cardsim::kProtocolT1;
    p.containers.push_back({{'S'}, false, false, 0x8001, Bytes(150, 0xAB), {0x04, 0x00}});
    for (bool pad : {false, true}) {
        p.padFirstCertificateChunk = pad;
        Engine s(p);
        s.PowerOn();
        SelectApplet(s);
        Send(s, "00 A4 02 00 02 80 01 00");
        Bytes expected{0x00};
        expected.resize(pad ? 201 : 151, 0x00);
        std::fill_n(expected.begin() + 1, 150, 0xAB);
        EXPECT_EQ(s.Process(Hex("00 44 00 01 C9")), Hex(ToHex(expected) + " 90 00")) << pad;
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
    const std::string info = Send(e, "00 4C 00 00 16");      // 4: the 22 bytes, zero padded
    EXPECT_EQ(info.substr(0, 12), "80 01 04 00 ");
    EXPECT_EQ(info.substr(22 * 3), ToHex(Bytes(233, 0)) + " 90 00");
    EXPECT_EQ(Send(e, "00 7E 00 00 24 " + Record("Both") + " 00"), "90");  // 5
    EXPECT_EQ(Send(e, "00 20 01 28 10 " + kPinOk + " 00"), "");            // 6
    EXPECT_FALSE(e.Vanished());
    EXPECT_EQ(Send(e, "00 74 00 00 FF").substr(0, 3), "49 ");  // 7
    EXPECT_EQ(Send(e, "00 74 01 01 49").substr(0, 3), "25 ");  // 8
    EXPECT_TRUE(e.Vanished());                                 // gone right after its 8th answer
    EXPECT_EQ(Send(e, "00 74 01 01 25"), "");                  // 9: gone
    EXPECT_FALSE(e.AppletSelected());
    e.PowerOn();
    EXPECT_EQ(Send(e, kMorvex + " 00"), "");
    EXPECT_EQ(e.Log().back(), "! vanished");

    Engine chain = Card("T=0", {{"faults", {{{"ins", "44"}, {"endlessChain", true}}}}});
    SelectApplet(chain);
    Send(chain, "00 A4 02 00 02 80 02");
    Bytes reply = chain.Process(Hex("00 44 00 01 C9"));
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(reply.size(), 203u) << ToHex(reply);
        ASSERT_NE(reply[0], 0x00);
        reply = chain.Process(Bytes{0x00, 0x44, 0x01, 0x01, reply[0]});
    }
}

TEST(CardsimEngine, LogMasksPinBytesAndKeepsEverythingElse) {
    Engine e = Card("T=1");
    std::vector<std::string> sunk;
    e.SetLogSink([&](const std::string& line) { sunk.push_back(line); });
    SelectApplet(e);
    Send(e, "00 20 01 28 10 " + kPinOk + " 00");
    Send(e, "00 A4 02 00 02 00 C7 00");
    Send(e, "00 D2 01 04 10 " + kNewPin + " 00");
    std::string stars;
    for (int i = 0; i < 16; ++i) {
        stars += " **";
    }
    const std::vector<std::string>& log = e.Log();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[0], "> " + kMorvex + " 00");
    EXPECT_EQ(log[1].substr(0, 14), "< 6F 18 84 08 ");
    EXPECT_EQ(log[2], "> 00 20 01 28 10" + stars + " 00");
    EXPECT_EQ(std::vector<std::string>(log.begin() + 3, log.end()),
              (std::vector<std::string>{"< 90 00", "> 00 A4 02 00 02 00 C7 00", "< 90 00",
                                        "> 00 D2 01 04 10" + stars + " 00", "< 90 00"}));
    EXPECT_EQ(sunk, log);
}

TEST(CardsimEngine, ProfilesThatCannotDescribeACardAreRefused) {
    const json refused[] = {
        {{"applet", "other"}},
        {{"protocol", "T=2"}},
        {{"pin", "12345678901234567"}},
        {{"atr", "3B 0"}},
        {{"chunks", {{"directory", 254}}}},
        {{"containers", {{{"name", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789X"}, {"file", "8001"}}}}},
        {{"containers", {{{"name", "A"}, {"file", "8010"}}}}},
        {{"containers", {{{"name", "A"}, {"file", "8001"}}, {{"name", "B"}, {"file", "8001"}}}}},
        {{"containers", {{{"name", "A"}, {"file", "8001"}, {"certificate", "missing.der"}}}}},
        {{"containers", {{{"name", "A"}, {"file", "8001"}, {"keys", {"other"}}}}}},
        {{"faults", {{{"ins", "20"}}}}},
        {{"faults", {{{"ins", "20"}, {"sw", "66 08"}, {"vanish", true}}}}},
    };
    for (const json& change : refused) {
        json j = {{"containers", json::array()}};
        j.update(change);
        EXPECT_THROW(Engine::FromJson(j), ProfileError) << j.dump();
    }
    EXPECT_THROW(Engine::FromText("{"), ProfileError);
    EXPECT_THROW(Engine::FromFile("/nonexistent/profile.json"), ProfileError);
}

TEST(CardsimEngine, ShippedProfilesLoadWithTheirProtocolAndAtr) {
    for (const char* name : {"demo.json", "t1.json", "faults.json", "bench.json"}) {
        SCOPED_TRACE(name);
        const Engine e = Engine::FromFile(quorlin::cardsim::ProfilesDir() / name);
        const Bytes& atr = e.Atr();
        ASSERT_GT(atr.size(), 2u);
        EXPECT_EQ(atr[0], 0x3B);
        // T=1 ATRs name T=1 in TD1 and carry a check byte over T0..the last byte.
        const bool t1 = e.Protocol() == quorlin::cardsim::kProtocolT1;
        EXPECT_EQ((atr[1] & 0x80) != 0, t1);
        std::uint8_t x = 0;
        for (std::size_t i = 1; i < atr.size(); ++i) {
            x ^= atr[i];
        }
        EXPECT_TRUE(!t1 || x == 0);
    }
}

}  // namespace
