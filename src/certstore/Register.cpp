// PLACEHOLDER: replaced by the registration work.
#include "ui/CQuorlinDlg.h"
namespace quorlin {
void CQuorlinDlg::RegisterCertificates() {}
}  // namespace quorlin
