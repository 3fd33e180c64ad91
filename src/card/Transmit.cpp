#include "card/ApduExchange.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

std::int32_t CQuorlinDlg::TransmitApdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                       std::uint8_t p2, std::uint8_t lc, std::uint8_t& le,
                                       const std::uint8_t* data, std::uint8_t* resp,
                                       std::size_t respCapacity, std::size_t* dataLength) {
    return card::ExchangeApdu(*m_platform.pcsc, m_hCard, m_pioSendPci, cla, ins, p1, p2, lc, le,
                              data, resp, respCapacity, dataLength);
}

}  // namespace quorlin
