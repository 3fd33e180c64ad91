// The log-in page and the PIN change page: OnLogin, SelectApplet, SelectFile, VerifyPin,
// OnChangePin, WritePinRecord.

#include <optional>
#include <string>

#include "applet/Applet.h"
#include "applet/Pin.h"
#include "base/Secret.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

namespace {

using applet::CardPin;
using applet::kPinMinLength;
using applet::PaddedPinBuffer;

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
