#pragma once
// Walking UTF-8 text one character at a time, without trusting it to be well formed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorlin::base {

// The length a lead byte announces: 1 to 4, and 1 for a byte that cannot lead.
std::size_t Utf8SequenceLength(unsigned char lead);

// The bytes of the character at text[pos]: its lead and the continuation bytes that
// really follow it, so a broken sequence never swallows the character after it. 0 only
// at the end of the text.
std::size_t Utf8CharLength(std::string_view text, std::size_t pos);

// The code point of the character at text[pos] (Utf8CharLength bytes of it).
std::uint32_t Utf8CodePoint(std::string_view text, std::size_t pos);

// Bytes of text that hold at most maxChars whole characters within maxBytes.
std::size_t Utf8Prefix(std::string_view text, std::size_t maxChars, std::size_t maxBytes);

// Control characters, the bidi controls (U+202A to U+202E, U+2066 to U+2069) and broken
// UTF-8 become '?', so that the text cannot steer the terminal it is printed on nor
// reorder what it shows.
std::string Printable(std::string_view text);

}  // namespace quorlin::base
