#pragma once
// Hex text of bytes, both ways, for every part of the program and its tools.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin::base {

// Two upper-case digits per byte, then a terminating zero: text must hold 2 * count + 1.
// Returns the address of the terminator.
char* HexEncode(const std::uint8_t* bytes, std::size_t count, char* text);

// Upper-case digits, with separator between bytes ("00 A4" for " ").
std::string HexString(std::span<const std::uint8_t> bytes, std::string_view separator = "");

// 0-15 for a hex digit of either case, -1 for anything else.
int HexDigitValue(char c);

// Bytes of text whose digits may be split by any of separators; nullopt on any other
// character or an odd number of digits.
std::optional<std::vector<std::uint8_t>> HexParse(std::string_view text,
                                                  std::string_view separators = " :");

}  // namespace quorlin::base
