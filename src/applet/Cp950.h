#pragma once
// Code page 950 (Big5), the 8-bit text of the card: PINs sent, names and dates read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorlin::applet {

// UTF-8 to code page 950; a character the code page cannot hold becomes '?'.
std::string Utf8ToCp950(std::string_view utf8);

// Code page 950 to UTF-8; an undecodable byte becomes U+FFFD.
std::string Cp950ToUtf8(const std::uint8_t* bytes, std::size_t length);

}  // namespace quorlin::applet
