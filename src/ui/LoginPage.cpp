// The log-in page and the PIN change page: OnLogin, SelectApplet, SelectFile, VerifyPin,
// OnChangePin, WritePinRecord.

#include <optional>
#include <string>

#include "applet/Applet.h"
#include "applet/Cp950.h"
#include "base/Secret.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

namespace {

constexpr std::size_t kPinMinLength = 6;

// The card's 8-bit form of a PIN, wiped when it goes out of scope. The edit fields carry
// UTF-8; the card has always been given code page 950. A PIN with a character the code
// page lacks has no card form: sending a stand-in would set or test a PIN never typed.
class CardPin {
  public:
    // Taken as the conversion returns it: a moved or swapped short string would leave the
    // PIN's bytes behind.
    explicit CardPin(const std::string& utf8) : m_bytes(applet::Utf8ToCp950(utf8)) {}
    ~CardPin() { Wipe(); }
    CardPin(const CardPin&) = delete;
    CardPin& operator=(const CardPin&) = delete;

    bool valid() const { return m_bytes.has_value(); }
    std::size_t size() const { return m_bytes ? m_bytes->size() : 0; }
    const std::uint8_t* data() const {
        return m_bytes ? reinterpret_cast<const std::uint8_t*>(m_bytes->data()) : nullptr;
    }
    bool operator==(const CardPin& other) const {
        return m_bytes && other.m_bytes && *m_bytes == *other.m_bytes;
    }
    void Wipe() {
        if (m_bytes) {
            base::WipeText(*m_bytes);
        }
    }

  private:
    std::optional<std::string> m_bytes;
};

// The padded PIN, wiped when it goes out of scope.
struct PaddedPinBuffer {
    applet::PaddedPin bytes;
    PaddedPinBuffer(const std::uint8_t* pin, std::size_t length) {
        applet::PadPin(pin, length, bytes);
    }
    ~PaddedPinBuffer() { base::WipeSecret(bytes, sizeof bytes); }
    PaddedPinBuffer(const PaddedPinBuffer&) = delete;
    PaddedPinBuffer& operator=(const PaddedPinBuffer&) = delete;
};

}  // namespace

void CQuorlinDlg::OnLogin() {
    // The flag alone decides: after a registration that stopped early the button can still
    // read "disconnect" while nothing is logged in.
    if (m_bLoggedIn != 0) {
        DisconnectCard(pcsc::kResetCard);
        m_wnd.SetControlText(res::IDC_BTN_LOGIN, res::kBtnLogin);
        return;
    }

    UpdateData(true);
    CardPin pin(m_strPin);
    if (!pin.valid()) {
        m_wnd.MessageBox(res::kPinBadCharacter, res::kStdTitle, MsgIcon::Exclamation);
        m_wnd.SetFocus(res::IDC_EDIT_PIN);
        return;
    }
    if (pin.size() < kPinMinLength) {
        m_wnd.MessageBox(res::kPinTooShort, res::kStdTitle, MsgIcon::Exclamation);
        m_wnd.SetFocus(res::IDC_EDIT_PIN);
        return;
    }
    RenewStaleContext();
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
    base::WipeText(m_strPin);
    UpdateData(false);
}

std::int32_t CQuorlinDlg::SelectApplet() {
    std::int32_t result = 0;
    for (const applet::AppletKind& kind : applet::kAppletKinds) {
        result = applet::SelectByName(CardChannel(), kind.aid);
        if (result == 0) {
            m_strCspName = kind.provider;
            return 0;
        }
    }
    return result;
}

std::int32_t CQuorlinDlg::SelectFile(std::uint8_t high, std::uint8_t low) {
    return applet::SelectFile(CardChannel(), {high, low});
}

std::uint16_t CQuorlinDlg::VerifyPin(int pinLength, const std::uint8_t* pin) {
    std::int32_t result = 0;
    {
        const PaddedPinBuffer padded(pin, pinLength > 0 ? static_cast<std::size_t>(pinLength) : 0);
        result = applet::Verify(CardChannel(), padded.bytes);
    }
    if (result == 0) {
        return 0;
    }

    const char* message = res::kPinVerifyError;
    if (result == applet::kSwWrongPin) {
        message = res::kPinWrong;
    } else if (result == applet::kSwPinBlocked) {
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
    if (!newPin.valid()) {
        m_wnd.MessageBox(res::kPinBadCharacter, res::kStdTitle, MsgIcon::None);
        m_wnd.SetFocus(res::IDC_EDIT_NEWPIN);
        return;
    }
    if (newPin.size() < kPinMinLength) {
        m_wnd.MessageBox(res::kNewPinTooShort, res::kStdTitle, MsgIcon::None);
        m_wnd.SetFocus(res::IDC_EDIT_NEWPIN);
        return;
    }
    // The record holds 16 bytes; cutting the PIN would set one the user never typed.
    if (newPin.size() > applet::kPaddedPinLength) {
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
    if (SelectFile(applet::kPinFile.high, applet::kPinFile.low) != 0) {
        m_wnd.MessageBox(res::kPinChangeError, res::kStdTitle, MsgIcon::None);
        return;
    }

    std::int32_t result = 0;
    {
        const PaddedPinBuffer padded(newPin.data(), newPin.size());
        newPin.Wipe();
        result = WritePinRecord(applet::kPinRecord, sizeof padded.bytes, padded.bytes);
    }
    m_wnd.MessageBox(result == 0 ? res::kPinChanged : res::kPinChangeError, res::kStdTitle,
                     MsgIcon::None);
}

std::int32_t CQuorlinDlg::WritePinRecord(std::uint8_t record, std::uint8_t length,
                                         const std::uint8_t* data) {
    return applet::WriteRecord(CardChannel(), record, card::DataOrZeros(data, length));
}

}  // namespace quorlin
