// Reading a card's JSON profile into the engine's Profile.

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>

#include "base/Hex.h"
#include "engine/Engine.h"

#ifndef QUORLIN_CARDSIM_SOURCE_DIR
#define QUORLIN_CARDSIM_SOURCE_DIR "."
#endif

namespace quorlin::cardsim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

fs::path SourceDir() {
    if (const char* env = std::getenv("QUORLIN_SOURCE_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    return QUORLIN_CARDSIM_SOURCE_DIR;
}

[[noreturn]] void Fail(const std::string& what) {
    throw ProfileError("profile: " + what);
}

std::string HexText(const json& value, const std::string& where) {
    if (!value.is_string()) {
        Fail(where + " must be a hex string");
    }
    return value.get<std::string>();
}

Bytes HexMember(const json& value, const std::string& where) {
    try {
        return ParseHex(HexText(value, where));
    } catch (const ProfileError& e) {
        Fail(where + ": " + e.what());
    }
}

template <std::size_t N>
std::array<std::uint8_t, N> PaddedText(const json& value, const std::string& where,
                                       std::uint8_t pad) {
    if (!value.is_string()) {
        Fail(where + " must be a string");
    }
    const std::string text = value.get<std::string>();
    if (text.size() > N) {
        Fail(where + " is longer than " + std::to_string(N) + " bytes");
    }
    std::array<std::uint8_t, N> out;
    out.fill(pad);
    std::copy(text.begin(), text.end(), out.begin());
    return out;
}

std::uint16_t FileId(const json& value, const std::string& where) {
    Bytes b = HexMember(value, where);
    if (b.size() != 2) {
        Fail(where + " must be 2 bytes");
    }
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

std::size_t ChunkSize(const json& chunks, const char* key, std::size_t fallback) {
    if (!chunks.contains(key)) {
        return fallback;
    }
    const json& v = chunks.at(key);
    if (!v.is_number_integer() || v.get<long long>() < 1 || v.get<long long>() > 253) {
        Fail(std::string("chunks.") + key + " must be 1..253");
    }
    return static_cast<std::size_t>(v.get<long long>());
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail("cannot read " + path.string());
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path FindCertificate(const std::string& name, const fs::path& baseDir) {
    const fs::path p(name);
    if (p.is_absolute()) {
        return p;
    }
    if (!baseDir.empty() && fs::exists(baseDir / p)) {
        return baseDir / p;
    }
    if (fs::exists(FixturesDir() / p)) {
        return FixturesDir() / p;
    }
    Fail("certificate " + name + " not found beside the profile nor in " + FixturesDir().string());
}

// A T=1-only ATR: TD1 names T=1 alone, so the check byte is due.
Bytes DefaultAtr(std::uint32_t protocol) {
    const std::string hist = protocol == kProtocolT1 ? "QUORLIN-T1" : "QUORLIN-T0";
    Bytes atr;
    if (protocol == kProtocolT1) {
        atr = {0x3B, static_cast<std::uint8_t>(0x80 | (hist.size() + 1)), 0x01, 0x80};
    } else {
        atr = {0x3B, static_cast<std::uint8_t>(hist.size() + 1), 0x80};
    }
    atr.insert(atr.end(), hist.begin(), hist.end());
    if (protocol == kProtocolT1) {
        std::uint8_t tck = 0;
        for (std::size_t i = 1; i < atr.size(); ++i) {
            tck ^= atr[i];
        }
        atr.push_back(tck);
    }
    return atr;
}

Bytes DefaultFci(const Bytes& aid) {
    Bytes fci = {0x6F, 0x18, 0x84, 0x08};
    fci.insert(fci.end(), aid.begin(), aid.end());
    const Bytes tail = {0xA5, 0x0C, 0x9F, 0x65, 0x01, 0xFF, 0x5F,
                        0x2D, 0x02, 0x7A, 0x68, 0x88, 0x01, 0x00};
    fci.insert(fci.end(), tail.begin(), tail.end());
    return fci;
}

Container ReadContainer(const json& j, std::size_t index, const fs::path& baseDir) {
    const std::string where = "containers[" + std::to_string(index) + "]";
    if (!j.is_object()) {
        Fail(where + " must be an object");
    }
    Container c;
    if (j.contains("nameHex")) {
        Bytes name = HexMember(j.at("nameHex"), where + ".nameHex");
        if (name.size() > kContainerNameLength) {
            Fail(where + ".nameHex is longer than 36 bytes");
        }
        std::copy(name.begin(), name.end(), c.name.begin());
    } else if (j.contains("name")) {
        c.name = PaddedText<kContainerNameLength>(j.at("name"), where + ".name", 0x00);
    } else {
        Fail(where + " needs a name");
    }
    const json keys = j.value("keys", json::array({"exchange"}));
    if (!keys.is_array()) {
        Fail(where + ".keys must be an array");
    }
    for (const json& k : keys) {
        if (k == "signature") {
            c.signatureKey = true;
        } else if (k == "exchange") {
            c.exchangeKey = true;
        } else {
            Fail(where + ".keys: unknown key " + k.dump());
        }
    }
    if (!j.contains("file")) {
        Fail(where + " needs a file");
    }
    c.file = FileId(j.at("file"), where + ".file");
    if (c.file == 0x00C7 || c.file == 0x8010) {
        Fail(where + ".file must not be 00C7 or 8010");
    }
    if (j.contains("certificate") && !j.at("certificate").is_null()) {
        if (!j.at("certificate").is_string()) {
            Fail(where + ".certificate must be a path or null");
        }
        c.certificate = ReadFile(FindCertificate(j.at("certificate").get<std::string>(), baseDir));
    }
    if (j.contains("indicator")) {
        Bytes ind = HexMember(j.at("indicator"), where + ".indicator");
        if (ind.size() != 2) {
            Fail(where + ".indicator must be 2 bytes");
        }
        c.indicator = {ind[0], ind[1]};
    } else if (c.certificate) {
        c.indicator = {0x04, 0x00};
    }
    c.inUse = j.value("inUse", true);
    c.start = PaddedText<8>(j.value("start", json("20250101")), where + ".start", 0x00);
    c.expiry = PaddedText<8>(j.value("expiry", json("20351231")), where + ".expiry", 0x00);
    return c;
}

Fault ReadFault(const json& j, std::size_t index) {
    const std::string where = "faults[" + std::to_string(index) + "]";
    if (!j.is_object()) {
        Fail(where + " must be an object");
    }
    Fault f;
    if (j.contains("ins")) {
        Bytes ins = HexMember(j.at("ins"), where + ".ins");
        if (ins.size() != 1) {
            Fail(where + ".ins must be one byte");
        }
        f.ins = ins[0];
    }
    if (j.contains("prefix")) {
        f.prefix = HexMember(j.at("prefix"), where + ".prefix");
    }
    f.occurrence = j.value("occurrence", 0);
    if (f.occurrence < 0) {
        Fail(where + ".occurrence must not be negative");
    }
    int kinds = 0;
    if (j.contains("sw")) {
        Bytes sw = HexMember(j.at("sw"), where + ".sw");
        if (sw.size() != 2) {
            Fail(where + ".sw must be 2 bytes");
        }
        f.kind = Fault::Kind::StatusWord;
        f.statusWord = static_cast<std::uint16_t>(sw[0] << 8 | sw[1]);
        ++kinds;
    }
    if (j.contains("answerLength")) {
        const json& n = j.at("answerLength");
        if (!n.is_number_integer() || n.get<long long>() < 0 || n.get<long long>() > 65533) {
            Fail(where + ".answerLength must be 0..65533");
        }
        f.kind = Fault::Kind::AnswerLength;
        f.answerLength = static_cast<std::size_t>(n.get<long long>());
        ++kinds;
    }
    if (j.contains("answer")) {
        f.kind = Fault::Kind::Answer;
        f.answer = HexMember(j.at("answer"), where + ".answer");
        ++kinds;
    }
    if (j.value("endlessChain", false)) {
        f.kind = Fault::Kind::EndlessChain;
        ++kinds;
    }
    if (j.value("vanish", false)) {
        f.kind = Fault::Kind::Vanish;
        ++kinds;
    }
    if (j.contains("vanishAt")) {
        const json& n = j.at("vanishAt");
        if (!n.is_number_integer() || n.get<long long>() < 1) {
            Fail(where + ".vanishAt must be a positive command number");
        }
        f.kind = Fault::Kind::Vanish;
        f.occurrence = static_cast<int>(n.get<long long>());
        ++kinds;
    }
    if (kinds != 1) {
        Fail(where +
             " needs exactly one of sw, answerLength, answer, endlessChain, vanish, "
             "vanishAt");
    }
    return f;
}

}  // namespace

fs::path ProfilesDir() {
    return SourceDir() / "tools" / "cardsim" / "profiles";
}
fs::path FixturesDir() {
    return SourceDir() / "tests" / "fixtures";
}

Bytes ParseHex(const std::string& hex) {
    constexpr std::string_view kSeparators = " :\t\n";
    if (std::optional<Bytes> bytes = base::HexParse(hex, kSeparators)) {
        return std::move(*bytes);
    }
    // A profile's author needs the first stray character, if that is what failed.
    for (char ch : hex) {
        if (base::HexDigitValue(ch) < 0 && kSeparators.find(ch) == std::string_view::npos) {
            throw ProfileError(std::string("not a hex digit: '") + ch + "'");
        }
    }
    throw ProfileError("odd number of hex digits");
}

Engine Engine::FromJson(const json& j, const fs::path& baseDir) {
    if (!j.is_object()) {
        Fail("must be a JSON object");
    }
    Profile p;
    try {
        p.applet = j.value("applet", std::string("morvex"));
        const Bytes aid = AppletAid(p.applet);
        if (aid.empty()) {
            Fail("applet must be ulvane-enterprise, ulvane-provider or morvex");
        }
        const std::string protocol = j.value("protocol", std::string("T=0"));
        if (protocol == "T=0") {
            p.protocol = kProtocolT0;
        } else if (protocol == "T=1") {
            p.protocol = kProtocolT1;
        } else {
            Fail("protocol must be \"T=0\" or \"T=1\"");
        }
        p.atr = j.contains("atr") ? HexMember(j.at("atr"), "atr") : DefaultAtr(p.protocol);
        if (p.atr.empty() || p.atr.size() > 33) {
            Fail("atr must be 1..33 bytes");
        }
        p.fci = j.contains("fci") ? HexMember(j.at("fci"), "fci") : DefaultFci(aid);
        if (p.fci.size() > 253) {
            Fail("fci must be at most 253 bytes");
        }
        if (j.contains("pinRecord")) {
            Bytes rec = HexMember(j.at("pinRecord"), "pinRecord");
            if (rec.size() != kPinRecordLength) {
                Fail("pinRecord must be 16 bytes");
            }
            std::copy(rec.begin(), rec.end(), p.pinRecord.begin());
        } else {
            p.pinRecord = PaddedText<kPinRecordLength>(j.value("pin", json("123456")), "pin", 0xFF);
        }
        p.pinRetries = j.value("pinRetries", 3);
        if (p.pinRetries < 1 || p.pinRetries > 15) {
            Fail("pinRetries must be 1..15");
        }
        const json chunks = j.value("chunks", json::object());
        p.directoryChunk = ChunkSize(chunks, "directory", p.directoryChunk);
        p.certificateChunk = ChunkSize(chunks, "certificate", p.certificateChunk);
        p.padFirstCertificateChunk = chunks.value("padFirstCertificate", false);

        const json containers = j.value("containers", json::array());
        if (!containers.is_array()) {
            Fail("containers must be an array");
        }
        for (std::size_t i = 0; i < containers.size(); ++i) {
            Container c = ReadContainer(containers[i], i, baseDir);
            for (const Container& other : p.containers) {
                if (other.file == c.file) {
                    Fail("containers[" + std::to_string(i) + "].file is used twice");
                }
            }
            p.containers.push_back(std::move(c));
        }
        const json faults = j.value("faults", json::array());
        if (!faults.is_array()) {
            Fail("faults must be an array");
        }
        for (std::size_t i = 0; i < faults.size(); ++i) {
            p.faults.push_back(ReadFault(faults[i], i));
        }
    } catch (const json::exception& e) {
        Fail(e.what());
    }
    return Engine(std::move(p));
}

Engine Engine::FromText(const std::string& text, const fs::path& baseDir) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        Fail(e.what());
    }
    return FromJson(j, baseDir);
}

Engine Engine::FromFile(const fs::path& path) {
    Bytes raw = ReadFile(path);
    return FromText(std::string(raw.begin(), raw.end()), path.parent_path());
}

}  // namespace quorlin::cardsim
