#include "card/ApduExchange.h"

#include <algorithm>
#include <cstring>

namespace quorlin::card {

namespace {

constexpr std::size_t kCommandBufferSize = 300;  // 4 + 1 + 255 + 1 fits

std::size_t BuildCommand(std::uint8_t* buf, std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                         std::uint8_t p2, std::uint8_t lc, const std::uint8_t* data) {
    std::memset(buf, 0, kCommandBufferSize);
    buf[0] = cla;
    buf[1] = ins;
    buf[2] = p1;
    buf[3] = p2;
    std::size_t length = 4;
    if (lc != 0) {
        buf[4] = lc;
        if (data != nullptr) {
            std::memcpy(buf + 5, data, lc);
        }
        length = 5 + static_cast<std::size_t>(lc);
    }
    return length;
}

// Copies the data part of an answer of n bytes (n > 2) and reports what was kept.
void TakeData(const std::uint8_t* recv, std::uint32_t n, std::uint8_t& le, std::uint8_t* resp,
              std::size_t respCapacity, std::size_t* dataLength) {
    std::size_t count = std::min<std::size_t>({n - 2u, kMaxResponseData, respCapacity});
    if (count > 0 && resp != nullptr) {
        std::memcpy(resp, recv, count);
    } else {
        count = 0;
    }
    le = static_cast<std::uint8_t>(count);
    if (dataLength != nullptr) {
        *dataLength = count;
    }
}

}  // namespace

void WipeSecret(void* memory, std::size_t size) {
    volatile auto* p = static_cast<volatile std::uint8_t*>(memory);
    for (std::size_t i = 0; i < size; ++i) {
        p[i] = 0;
    }
}

std::int32_t ExchangeApdu(pcsc::PcscApi& pcsc, pcsc::ScardHandle card,
                          const pcsc::ScardIoRequest* sendPci, std::uint8_t cla, std::uint8_t ins,
                          std::uint8_t p1, std::uint8_t p2, std::uint8_t lc, std::uint8_t& le,
                          const std::uint8_t* data, std::uint8_t* resp, std::size_t respCapacity,
                          std::size_t* dataLength) {
    std::uint8_t command[kCommandBufferSize];
    std::uint8_t recv[kReceiveLength] = {};
    std::size_t length = BuildCommand(command, cla, ins, p1, p2, lc, data);

    if (sendPci == pcsc.T1Pci()) {
        command[length++] = le;
    } else if (sendPci == pcsc.T0Pci()) {
        if (lc == 0 && le != 0) {
            command[length++] = le;
        }
    }

    std::uint32_t recvLength = kReceiveLength;
    std::uint32_t rv = pcsc.SCardTransmit(
        card, sendPci, command, static_cast<std::uint32_t>(length), nullptr, recv, &recvLength);
    std::int32_t result = 0;
    if (rv != pcsc::kSuccess) {
        result = static_cast<std::int32_t>(rv);
    } else if (recvLength > kReceiveLength) {
        result = static_cast<std::int32_t>(pcsc::kEInsufficientBuffer);
    } else if (recvLength < 2) {
        result = kResultNoStatusWord;
    } else {
        std::uint32_t n = recvLength;
        bool followUp = false;
        if (n > 2) {
            TakeData(recv, n, le, resp, respCapacity, dataLength);
        } else {
            const std::uint8_t sw1 = recv[0];
            const std::uint8_t sw2 = recv[1];
            if (sw1 == 0x61) {
                std::memset(command, 0, kCommandBufferSize);
                command[0] = 0x00;
                command[1] = 0xC0;
                command[4] = (le == 0) ? sw2 : std::min(le, sw2);
                length = 5;
                followUp = true;
            } else if (sw1 == 0x6C) {
                length = BuildCommand(command, cla, ins, p1, p2, lc, data);
                command[length++] = std::min(le, sw2);
                followUp = true;
            }
        }
        if (followUp) {
            std::memset(recv, 0, sizeof recv);
            recvLength = kReceiveLength;
            rv = pcsc.SCardTransmit(card, sendPci, command, static_cast<std::uint32_t>(length),
                                    nullptr, recv, &recvLength);
            if (rv != pcsc::kSuccess) {
                result = static_cast<std::int32_t>(rv);
                n = 0;
            } else if (recvLength > kReceiveLength) {
                result = static_cast<std::int32_t>(pcsc::kEInsufficientBuffer);
                n = 0;
            } else if (recvLength < 2) {
                result = kResultNoStatusWord;
                n = 0;
            } else {
                n = recvLength;
                if (n > 2) {
                    TakeData(recv, n, le, resp, respCapacity, dataLength);
                } else if (dataLength != nullptr) {
                    *dataLength = 0;
                }
            }
        } else if (n == 2 && dataLength != nullptr) {
            *dataLength = 0;
        }
        if (n >= 2) {
            const std::uint32_t sw = (static_cast<std::uint32_t>(recv[n - 2]) << 8) | recv[n - 1];
            result = (sw == 0x9000 || sw == 0) ? 0 : static_cast<std::int32_t>(sw);
        }
    }
    WipeSecret(command, sizeof command);
    return result;
}

}  // namespace quorlin::card
