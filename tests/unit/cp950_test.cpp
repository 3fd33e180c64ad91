// Code page 950, the card's 8-bit text: what a typed PIN becomes, and back.

#include <gtest/gtest.h>

#include "applet/Cp950.h"
#include "fakes/ScriptedPcsc.h"

namespace quorlin::applet {
namespace {

using test::Bytes;
using test::Hex;

TEST(Cp950Test, Utf8ToCp950) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", ""},
        {"Abc 123", "Abc 123"},
        {"密碼", "\xB1\x4B\xBD\x58"},
        {"卡片€", "\xA5\x64\xA4\xF9\xA3\xE1"},
        // A character the code page cannot hold has no card form at all.
        {"a😀z😃", std::nullopt},
        {"Жx", std::nullopt},
        {"123456\xC3\xA9", std::nullopt},
        // Nor has broken UTF-8.
        {"\x80x", std::nullopt},
        {"\xE5\xAFxy", std::nullopt},  // a three-byte lead cut short
        {"xy\xE5", std::nullopt},
        {"\xFF\xFE", std::nullopt},
    };
    for (const auto& [utf8, cp950] : cases) {
        EXPECT_EQ(Utf8ToCp950(utf8), cp950) << utf8;
    }
    // Longer than any fixed conversion buffer.
    std::string utf8, expected;
    for (int i = 0; i < 300; ++i) {
        utf8 += "碼";
        expected += "\xBD\x58";
    }
    EXPECT_EQ(Utf8ToCp950(utf8), expected);
    EXPECT_EQ(Utf8ToCp950(utf8 + "é"), std::nullopt);
}

TEST(Cp950Test, Cp950ToUtf8) {
    const Bytes name = Hex("B1 4B BD 58 41");
    EXPECT_EQ(Cp950ToUtf8(name.data(), name.size()), "密碼A");
    EXPECT_EQ(Cp950ToUtf8(nullptr, 0), "");
    const Bytes broken = Hex("B1 4B FF 41 B1");  // an invalid byte, then a cut-off lead
    EXPECT_EQ(Cp950ToUtf8(broken.data(), broken.size()), "密�A�");
    // The cut-off lead leaves nothing behind for the next conversion.
    EXPECT_EQ(Cp950ToUtf8(name.data(), name.size()), "密碼A");
}

}  // namespace
}  // namespace quorlin::applet
