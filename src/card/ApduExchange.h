#pragma once
// The one implementation of the short-APDU exchange under T=0 and T=1, with its single
// follow-up (GET RESPONSE for 61xx, the re-send with the asked length for 6Cxx). Every
// command of the applet, the dialog's and the card-backed provider's, goes through it.

#include <cstddef>
#include <cstdint>
#include <span>

#include "card/Channel.h"

namespace quorlin::card {

inline constexpr std::size_t kMaxResponseData = 254;
inline constexpr std::uint32_t kReceiveLength = 256;
inline constexpr std::size_t kMaxCommandData = 255;

// The card result for an answer too short to carry a status word: the exchange treats it
// as the line failing, so callers see a non-zero result and go no further.
inline constexpr std::int32_t kResultNoStatusWord = static_cast<std::int32_t>(pcsc::kECommError);

// A short command: header, data (Lc is its size, at most 255) and Le.
struct Command {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    std::span<const std::uint8_t> data;
    std::uint8_t le = 0;
};

// Where the answer's data goes, and what came back. data may be null (nothing is kept).
struct Response {
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;
    // Filled by the exchange from the last answer that carried a status word; left as
    // they are when no such answer came.
    bool answered = false;
    std::size_t sent = 0;    // data bytes the card sent
    std::size_t length = 0;  // of them, kept in data: at most capacity and 254
    std::uint16_t sw = 0;
};

// Returns the card result: 0 for 90 00 or 00 00, SW1*256+SW2 for any other status word,
// the service's code when a transmission fails.
std::int32_t Exchange(const Channel& channel, const Command& command, Response& response);

// Lc bytes of data, or as many zero bytes when there is none.
std::span<const std::uint8_t> DataOrZeros(const std::uint8_t* data, std::uint8_t lc);

}  // namespace quorlin::card
