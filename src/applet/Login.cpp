#include <algorithm>
#include <cstring>
#include <string>

#include "applet/AppletIds.h"
#include "applet/Cp950.h"
#include "card/ApduExchange.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

namespace {

constexpr std::size_t kPinMinLength = 6;
constexpr std::size_t kPaddedPinLength = 16;
constexpr std::uint8_t kPinPad = 0xFF;
constexpr std::uint8_t kVerifyP1 = 0x01;
constexpr std::uint8_t kVerifyP2 = 0x28;
constexpr std::uint8_t kWriteRecordCurrentFile = 0x04;
constexpr std::uint8_t kPinRecord = 1;
constexpr std::uint8_t kPinFileHigh = 0x00;
constexpr std::uint8_t kPinFileLow = 0xC7;
constexpr std::int32_t kSwWrongPin = 0x6608;
constexpr std::int32_t kSwPinBlocked = 0x6620;

// The card's 8-bit form of a PIN, wiped when it goes out of scope. The edit fields carry
// UTF-8; the card has always been given code page 950.
class CardPin {
  public:
    explicit CardPin(const std::string& utf8) : m_bytes(applet::Utf8ToCp950(utf8)) {}
    ~CardPin() { Wipe(); }
    CardPin(const CardPin&) = delete;
    CardPin& operator=(const CardPin&) = delete;

    std::size_t size() const { return m_bytes.size(); }
    const std::uint8_t* data() const {
        return reinterpret_cast<const std::uint8_t*>(m_bytes.data());
    }
    bool operator==(const CardPin& other) const { return m_bytes == other.m_bytes; }
    void Wipe() {
        card::WipeSecret(m_bytes.data(), m_bytes.size());
        m_bytes.clear();
    }

  private:
    std::string m_bytes;
};

// The PIN's bytes, then 0xFF up to 16; a longer PIN gives its first 16 bytes.
void PadPin(const std::uint8_t* pin, std::size_t length, std::uint8_t (&padded)[kPaddedPinLength]) {
    std::memset(padded, kPinPad, sizeof padded);
    if (pin != nullptr) {
        std::memcpy(padded, pin, std::min(length, sizeof padded));
    }
}

void WipeText(std::string& text) {
    card::WipeSecret(text.data(), text.size());
    text.clear();
}

}  // namespace

void CQuorlinDlg::OnLogin() {
    // The flag alone decides: after a registration that stopped early the button can still
    // read "disconnect" while nothing is logged in.
    if (m_bLoggedIn != 0) {
        DisconnectCard();
        m_wnd.SetControlText(res::IDC_BTN_LOGIN, res::kBtnLogin);
        return;
    }

    UpdateData(true);
    CardPin pin(m_strPin);
    if (pin.size() < kPinMinLength) {
        m_wnd.MessageBox(res::kPinTooShort, res::kStdTitle, MsgIcon::Exclamation);
        m_wnd.SetFocus(res::IDC_EDIT_PIN);
        return;
    }
    if (ConnectCard() != 0) {
        m_wnd.MessageBox(res::kConnectFailed, res::kStdTitle, MsgIcon::Exclamation);
        return;
    }
    if (SelectApplet() != 0) {
        DisconnectCard();
        m_wnd.MessageBox(res::kWrongCardKind, res::kStdTitle, MsgIcon::Exclamation);
        return;
    }
    const std::uint16_t verified = VerifyPin(static_cast<int>(pin.size()), pin.data());
    pin.Wipe();
    if (verified != 0) {
        DisconnectCard();
        m_wnd.MessageBox(res::kLoginFailed, std::nullopt, MsgIcon::Exclamation);
        return;
    }

    m_wnd.SetControlText(res::IDC_BTN_LOGIN, res::kBtnLogout);
    m_bLoggedIn = 1;
    m_wnd.MessageBox(res::kLoginOk, m_strCspName, MsgIcon::Information);
    WipeText(m_strPin);
    UpdateData(false);
}

std::uint16_t CQuorlinDlg::VerifyPin(int pinLength, const std::uint8_t* pin) {
    std::uint8_t padded[kPaddedPinLength];
    PadPin(pin, pinLength > 0 ? static_cast<std::size_t>(pinLength) : 0, padded);
    std::uint8_t le = 0;
    std::uint8_t discard[card::kMaxResponseData];
    const std::int32_t result = TransmitApdu(0x00, applet::kInsVerify, kVerifyP1, kVerifyP2,
                                             sizeof padded, le, padded, discard, sizeof discard);
    card::WipeSecret(padded, sizeof padded);
    if (result == 0) {
        return 0;
    }

    const char* message = res::kPinVerifyError;
    if (result == kSwWrongPin) {
        message = res::kPinWrong;
    } else if (result == kSwPinBlocked) {
        message = res::kPinBlocked;
    }
    m_wnd.MessageBox(message, res::kStdTitle, MsgIcon::None);
    // A failure whose low half is zero must still read as a failure to the caller.
    const auto low = static_cast<std::uint16_t>(static_cast<std::uint32_t>(result) & 0xFFFFu);
    return low != 0 ? low : 0xFFFF;
}

void CQuorlinDlg::OnChangePin() {
    UpdateData(true);
    CardPin newPin(m_strNewPin);
    if (newPin.size() < kPinMinLength) {
        m_wnd.MessageBox(res::kNewPinTooShort, res::kStdTitle, MsgIcon::None);
        m_wnd.SetFocus(res::IDC_EDIT_NEWPIN);
        return;
    }
    // The record holds 16 bytes; cutting the PIN would set one the user never typed.
    if (newPin.size() > kPaddedPinLength) {
        m_wnd.MessageBox(res::kNewPinTooLong, res::kStdTitle, MsgIcon::None);
        m_wnd.SetFocus(res::IDC_EDIT_NEWPIN);
        return;
    }
    {
        CardPin confirmPin(m_strConfirmPin);
        if (!(newPin == confirmPin)) {
            m_wnd.MessageBox(res::kPinMismatch, res::kStdTitle, MsgIcon::None);
            m_wnd.SetFocus(res::IDC_EDIT_CONFIRMPIN);
            return;
        }
    }
    // A change that never reached the PIN file must not pass for done.
    if (SelectFile(kPinFileHigh, kPinFileLow) != 0) {
        m_wnd.MessageBox(res::kPinChangeError, res::kStdTitle, MsgIcon::None);
        return;
    }

    std::uint8_t padded[kPaddedPinLength];
    PadPin(newPin.data(), newPin.size(), padded);
    newPin.Wipe();
    const std::int32_t result = WritePinRecord(kPinRecord, sizeof padded, padded);
    card::WipeSecret(padded, sizeof padded);
    m_wnd.MessageBox(result == 0 ? res::kPinChanged : res::kPinChangeError, res::kStdTitle,
                     MsgIcon::None);
}

std::int32_t CQuorlinDlg::WritePinRecord(std::uint8_t record, std::uint8_t length,
                                         const std::uint8_t* data) {
    std::uint8_t le = 0;
    std::uint8_t discard[card::kMaxResponseData];
    return TransmitApdu(0x00, applet::kInsWriteRecord, record, kWriteRecordCurrentFile, length, le,
                        data, discard, sizeof discard);
}

}  // namespace quorlin
