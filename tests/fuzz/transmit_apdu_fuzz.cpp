// Arbitrary card answers through the APDU exchange: whatever the card sends, nothing is
// written past the caller's area, at most two transmissions are made, and a success is
// only ever reported for a final status word 90 00 or 00 00.
//
// Input: byte 0 chooses the protocol record and which transmissions fail, bytes 1-2 are
// Lc and Le, bytes 3-4 the capacity, byte 5 the length of the first answer; the rest is
// the first answer and then the follow-up's answer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "card/ApduExchange.h"
#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "ui/CQuorlinDlg.h"

namespace {

using quorlin::test::Bytes;

constexpr std::size_t kHeader = 6;
constexpr std::size_t kArea = 320;  // room past the largest capacity tried, for the canary
constexpr std::uint8_t kCanary = 0xC5;

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

bool FinalSuccess(const Bytes& answer) {
    const std::size_t n = answer.size();
    return n >= 2 && ((answer[n - 2] == 0x90 && answer[n - 1] == 0x00) ||
                      (answer[n - 2] == 0x00 && answer[n - 1] == 0x00));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace quorlin;
    if (size < kHeader) {
        return 0;
    }
    const std::uint8_t mode = input[0];
    const std::uint8_t lc = input[1];
    const std::uint8_t leIn = input[2];
    const std::size_t capacity = ((static_cast<std::size_t>(input[3]) << 8) | input[4]) % 301;
    const std::size_t body = size - kHeader;
    // Up to 300 bytes for the first answer, so answers past the receive length occur.
    const std::size_t firstLength = std::min<std::size_t>(input[5] + (mode & 0x40 ? 45 : 0), body);
    const Bytes first(input + kHeader, input + kHeader + firstLength);
    const Bytes second(input + kHeader + firstLength, input + size);

    test::ScriptedPcsc pcsc;
    pcsc.answers.push_back({(mode & 0x04) ? pcsc::kWRemovedCard : pcsc::kSuccess, first});
    pcsc.answers.push_back({(mode & 0x08) ? pcsc::kECommError : pcsc::kSuccess, second});
    test::FakeWindow wnd;
    Platform platform;
    platform.pcsc = &pcsc;
    CQuorlinDlg dlg(wnd, platform);
    wnd.ComboAddString(1018, pcsc.readers.front());
    wnd.ComboSetCurSel(1018, 0);
    pcsc.activeProtocol = (mode & 0x10) ? pcsc::kProtocolT1 : pcsc::kProtocolT0;
    Check(dlg.ConnectCard() == 0);
    const pcsc::ScardIoRequest other{4, 8};
    switch (mode & 0x03) {
        case 2:
            dlg.m_pioSendPci = &other;
            break;
        case 3:
            dlg.m_pioSendPci = nullptr;
            break;
        default:
            break;
    }

    std::uint8_t data[255];
    for (std::size_t i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    std::uint8_t area[kArea];
    std::memset(area, kCanary, sizeof area);
    std::uint8_t le = leIn;
    std::size_t dataLength = 0xDEAD;
    const bool noData = (mode & 0x20) != 0;
    const std::int32_t result =
        dlg.TransmitApdu(0x00, 0xCA, 0x01, 0x02, lc, le, (noData || lc == 0) ? nullptr : data, area,
                         capacity, &dataLength);

    // Two transmissions at most; each command is a well-formed short APDU.
    Check(pcsc.commands.size() >= 1 && pcsc.commands.size() <= 2);
    for (const Bytes& command : pcsc.commands) {
        Check(command.size() >= 4 && command.size() <= 4 + 1 + 255 + 1);
    }

    // Nothing past the capacity, nor past 254 bytes.
    const std::size_t bound = std::min<std::size_t>(capacity, card::kMaxResponseData);
    for (std::size_t i = bound; i < sizeof area; ++i) {
        Check(area[i] == kCanary);
    }
    if (dataLength != 0xDEAD) {
        Check(dataLength <= bound);
    }
    if (le != leIn) {
        Check(le <= bound);
    }

    // Success only when the answer that ended the exchange says so.
    if (result == 0) {
        const Bytes& last = pcsc.commands.size() == 2 ? second : first;
        Check(!(mode & 0x04) && FinalSuccess(last) && last.size() <= card::kReceiveLength);
        if (pcsc.commands.size() == 2) {
            Check(!(mode & 0x08));
        }
    }
    return 0;
}
