// Code page 950, the card's 8-bit text: what a typed PIN becomes, and back.

#include <gtest/gtest.h>

#include "applet/Cp950.h"
#include "fakes/ScriptedPcsc.h"

namespace quorlin::applet {
namespace {

using test::Bytes;
using test::Hex;
using test::ToHex;

std::string HexOf(const std::string& s) {
    return ToHex(Bytes(s.begin(), s.end()));
}

TEST(Cp950Test, Utf8ToCp950) {
    EXPECT_EQ(Utf8ToCp950(""), "");
    EXPECT_EQ(Utf8ToCp950("Abc 123"), "Abc 123");
    EXPECT_EQ(HexOf(Utf8ToCp950("密碼")), "B1 4B BD 58");
    EXPECT_EQ(HexOf(Utf8ToCp950("卡片€")), "A5 64 A4 F9 A3 E1");
    // What the code page cannot hold becomes one '?' per character.
    EXPECT_EQ(Utf8ToCp950("a\xF0\x9F\x98\x80"
                          "b\xF0\x9F\x98\x83"),
              "a?b?");
    EXPECT_EQ(Utf8ToCp950("\xD0\x96x"), "?x");  // Cyrillic
}

TEST(Cp950Test, BrokenUtf8NeverSwallowsTheNextCharacter) {
    EXPECT_EQ(Utf8ToCp950("\x80"
                          "1"),
              "?1");
    EXPECT_EQ(Utf8ToCp950("\xE5\xAF"
                          "12"),
              "?12");  // a three-byte lead cut short
    EXPECT_EQ(Utf8ToCp950("12\xE5"), "12?");
    EXPECT_EQ(Utf8ToCp950("\xFF\xFE"), "??");
}

TEST(Cp950Test, LongTextConvertsWhole) {
    std::string utf8;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        utf8 += "碼";
        expected += "\xBD\x58";
    }
    EXPECT_EQ(Utf8ToCp950(utf8), expected);
}

TEST(Cp950Test, Cp950ToUtf8) {
    const Bytes name = Hex("B1 4B BD 58 41");
    EXPECT_EQ(Cp950ToUtf8(name.data(), name.size()), "密碼A");
    EXPECT_EQ(Cp950ToUtf8(nullptr, 0), "");
    const Bytes broken = Hex("B1 4B FF 41 B1");  // an invalid byte, then a cut-off lead
    EXPECT_EQ(Cp950ToUtf8(broken.data(), broken.size()),
              "密\xEF\xBF\xBD"
              "A\xEF\xBF\xBD");
}

}  // namespace
}  // namespace quorlin::applet
