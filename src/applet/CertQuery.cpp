// PLACEHOLDER: replaced by the certificate query work.
#include "ui/CQuorlinDlg.h"
namespace quorlin {
void CQuorlinDlg::OnQueryCertificates() {}
std::int32_t CQuorlinDlg::ReadCardCertificates() { return -1; }
char* CQuorlinDlg::BinToHex(std::uint32_t, const std::uint8_t*, char* text) { *text = 0; return text; }
}  // namespace quorlin
