#include "applet/AppletIds.h"
#include "card/ApduExchange.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

std::int32_t CQuorlinDlg::SelectApplet() {
    std::int32_t result = 0;
    for (const applet::AppletKind& kind : applet::kAppletKinds) {
        std::uint8_t le = 0;
        std::uint8_t discard[card::kMaxResponseData];
        result = TransmitApdu(0x00, applet::kInsSelect, applet::kSelectByName, 0x00,
                              static_cast<std::uint8_t>(kind.aid.size()), le, kind.aid.data(),
                              discard, sizeof discard);
        if (result == 0) {
            m_strCspName = kind.cspName;
            return 0;
        }
    }
    return result;
}

std::int32_t CQuorlinDlg::SelectFile(std::uint8_t high, std::uint8_t low) {
    const std::uint8_t fileId[2] = {high, low};
    std::uint8_t le = 0;
    std::uint8_t discard[card::kMaxResponseData];
    return TransmitApdu(0x00, applet::kInsSelect, applet::kSelectFile, 0x00, sizeof fileId, le,
                        fileId, discard, sizeof discard);
}

}  // namespace quorlin
