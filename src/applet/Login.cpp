// PLACEHOLDER: replaced by the log-in work (OnLogin, VerifyPin, OnChangePin, WritePinRecord).
#include "ui/CQuorlinDlg.h"
namespace quorlin {
void CQuorlinDlg::OnLogin() {}
void CQuorlinDlg::OnChangePin() {}
std::uint16_t CQuorlinDlg::VerifyPin(int, const std::uint8_t*) { return 0xFFFF; }
std::int32_t CQuorlinDlg::WritePinRecord(std::uint8_t, std::uint8_t, const std::uint8_t*) { return -1; }
}  // namespace quorlin
