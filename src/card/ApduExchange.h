#pragma once
// The one implementation of the short-APDU exchange under T=0 and T=1, with its single
// follow-up (GET RESPONSE for 61xx, the re-send with the asked length for 6Cxx). The
// dialog and the card-backed provider both call it over their own connection.

#include <cstddef>
#include <cstdint>

#include "platform/pcsc/PcscApi.h"

namespace quorlin::card {

inline constexpr std::size_t kMaxResponseData = 254;
inline constexpr std::uint32_t kReceiveLength = 256;

// The card result for an answer too short to carry a status word: the exchange treats it
// as the line failing, so callers see a non-zero result and go no further.
inline constexpr std::int32_t kResultNoStatusWord = static_cast<std::int32_t>(pcsc::kECommError);

// Returns the card result: 0 for 90 00 or 00 00, SW1*256+SW2 for any other status word,
// the service's code when a transmission fails. Response data goes to resp, at most
// respCapacity (and 254) bytes; le then receives the count kept. dataLength, when given,
// receives the data bytes of the last answer (0 for a status word alone, untouched on a
// failed transmission).
std::int32_t ExchangeApdu(pcsc::PcscApi& pcsc, pcsc::ScardHandle card,
                          const pcsc::ScardIoRequest* sendPci, std::uint8_t cla, std::uint8_t ins,
                          std::uint8_t p1, std::uint8_t p2, std::uint8_t lc, std::uint8_t& le,
                          const std::uint8_t* data, std::uint8_t* resp, std::size_t respCapacity,
                          std::size_t* dataLength = nullptr);

// Clears memory that held a secret in a way the optimiser keeps.
void WipeSecret(void* memory, std::size_t size);

}  // namespace quorlin::card
