#pragma once
// Code page 950 (Big5), the 8-bit text of the card: PINs sent, names and dates read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorlin::applet {

// UTF-8 to code page 950; nullopt when the text holds a character the code page cannot
// hold (or is no valid UTF-8), or when no converter can be had: a PIN must reach the card
// exactly as typed or not at all.
std::optional<std::string> Utf8ToCp950(std::string_view utf8);

// Code page 950 to UTF-8; an undecodable byte becomes U+FFFD.
std::string Cp950ToUtf8(const std::uint8_t* bytes, std::size_t length);

// A text field of the card (code page 950, padded with zeros) up to its first zero byte,
// as UTF-8.
std::string CardFieldText(std::span<const std::uint8_t> field);

}  // namespace quorlin::applet
