#include "card/ApduExchange.h"

#include <algorithm>
#include <cstring>

#include "base/Secret.h"

namespace quorlin::card {

namespace {

constexpr std::size_t kCommandBufferSize = 300;  // 4 + 1 + 255 + 1 fits
constexpr std::uint8_t kInsGetResponse = 0xC0;
constexpr std::uint8_t kSwMoreData = 0x61;
constexpr std::uint8_t kSwWrongLength = 0x6C;

constexpr std::uint8_t kZeros[kMaxCommandData] = {};

std::size_t BuildCommand(std::uint8_t* buf, const Command& c) {
    std::memset(buf, 0, kCommandBufferSize);
    buf[0] = c.cla;
    buf[1] = c.ins;
    buf[2] = c.p1;
    buf[3] = c.p2;
    const std::size_t lc = std::min(c.data.size(), kMaxCommandData);
    if (lc == 0) {
        return 4;
    }
    buf[4] = static_cast<std::uint8_t>(lc);
    std::memcpy(buf + 5, c.data.data(), lc);
    return 5 + lc;
}

// The answer of n bytes (n >= 2), as the response reports it.
void TakeAnswer(const std::uint8_t* recv, std::uint32_t n, Response& r) {
    r.answered = true;
    r.sent = n - 2u;
    std::size_t count = std::min({r.sent, kMaxResponseData, r.capacity});
    if (r.data == nullptr) {
        count = 0;
    }
    if (count > 0) {
        std::memcpy(r.data, recv, count);
    }
    r.length = count;
    r.sw = static_cast<std::uint16_t>((recv[n - 2] << 8) | recv[n - 1]);
}

// 0 when the transmission brought an answer with a status word; else the card result.
std::int32_t Transmit(const Channel& ch, const std::uint8_t* command, std::size_t length,
                      std::uint8_t (&recv)[kReceiveLength], std::uint32_t& n) {
    n = kReceiveLength;
    const std::uint32_t rv = ch.pcsc.SCardTransmit(
        ch.card, ch.pci, command, static_cast<std::uint32_t>(length), nullptr, recv, &n);
    if (rv != pcsc::kSuccess) {
        return static_cast<std::int32_t>(rv);
    }
    if (n > kReceiveLength) {
        return static_cast<std::int32_t>(pcsc::kEInsufficientBuffer);
    }
    if (n < 2) {
        return kResultNoStatusWord;
    }
    return 0;
}

}  // namespace

std::span<const std::uint8_t> DataOrZeros(const std::uint8_t* data, std::uint8_t lc) {
    return {data != nullptr ? data : kZeros, lc};
}

std::int32_t Exchange(const Channel& ch, const Command& c, Response& r) {
    std::uint8_t command[kCommandBufferSize];
    std::uint8_t recv[kReceiveLength] = {};
    std::size_t length = BuildCommand(command, c);
    const bool hasData = length > 4;

    if (ch.pci == ch.pcsc.T1Pci()) {
        command[length++] = c.le;
    } else if (ch.pci == ch.pcsc.T0Pci() && !hasData && c.le != 0) {
        command[length++] = c.le;
    }

    // BuildCommand zeroed the whole buffer, so only what was written since needs wiping.
    std::size_t written = length;
    std::uint32_t n = 0;
    std::int32_t result = Transmit(ch, command, length, recv, n);
    if (result == 0 && n == 2 && (recv[0] == kSwMoreData || recv[0] == kSwWrongLength)) {
        const std::uint8_t sw2 = recv[1];
        if (recv[0] == kSwMoreData) {
            std::memset(command, 0, kCommandBufferSize);
            command[1] = kInsGetResponse;
            command[4] = (c.le == 0) ? sw2 : std::min(c.le, sw2);
            length = 5;
        } else {
            length = BuildCommand(command, c);
            command[length++] = std::min(c.le, sw2);
        }
        written = std::max(written, length);
        std::memset(recv, 0, sizeof recv);
        result = Transmit(ch, command, length, recv, n);
    }
    if (result == 0) {
        TakeAnswer(recv, n, r);
        result = (r.sw == 0x9000 || r.sw == 0) ? 0 : static_cast<std::int32_t>(r.sw);
    }
    base::WipeSecret(command, written);
    return result;
}

}  // namespace quorlin::card
