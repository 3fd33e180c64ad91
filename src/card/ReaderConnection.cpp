#include <cstdio>
#include <cstring>
#include <string>

#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

void CQuorlinDlg::EstablishUserContext() {
    pcsc::PcscApi& pcsc = *m_platform.pcsc;
    const std::uint32_t rv = pcsc.SCardEstablishContext(pcsc::kScopeUser, &m_hContext);
    if (rv != pcsc::kSuccess) {
        m_hContext = 0;
        const std::string text = pcsc.FormatErrorText(rv);
        if (!text.empty()) {
            m_wnd.MessageBox(text, std::nullopt, MsgIcon::None, true);
        }
    }
}

void CQuorlinDlg::ReleaseConnection() {
    pcsc::PcscApi& pcsc = *m_platform.pcsc;
    if (m_hCard != 0) {
        const std::uint32_t rv = pcsc.SCardDisconnect(m_hCard, pcsc::kLeaveCard);
        if (rv != pcsc::kSuccess) {
            ReportSystemError(rv, true);
        }
        m_hCard = 0;
    }
    if (m_hContext != 0) {
        const std::uint32_t rv = pcsc.SCardReleaseContext(m_hContext);
        if (rv != pcsc::kSuccess) {
            ReportSystemError(rv, true);
        }
        m_hContext = 0;
    }
}

void CQuorlinDlg::FillReaderList() {
    pcsc::PcscApi& pcsc = *m_platform.pcsc;
    m_wnd.ComboResetContent(res::IDC_COMBO_READER);
    char* readers = nullptr;
    std::uint32_t length = pcsc::kAutoAllocate;
    const std::uint32_t rv =
        pcsc.SCardListReadersA(m_hContext, nullptr, reinterpret_cast<char*>(&readers), &length);
    if (rv == pcsc::kSuccess && readers != nullptr) {
        // The multi-string ends with an empty name; never walk past the length it reports.
        const char* p = readers;
        const char* end = readers + length;
        int count = 0;
        while (p < end && *p != '\0' && count < kMaxReaders) {
            const std::string name(p, strnlen(p, static_cast<std::size_t>(end - p)));
            m_wnd.ComboAddString(res::IDC_COMBO_READER, name);
            ++count;
            p += name.size();
            if (p < end) {
                ++p;  // its terminator
            }
        }
        pcsc.SCardFreeMemory(m_hContext, readers);
    }
    m_wnd.ComboSetCurSel(res::IDC_COMBO_READER, 0);
}

int CQuorlinDlg::ConnectCard() {
    pcsc::PcscApi& pcsc = *m_platform.pcsc;
    std::uint32_t rv = pcsc::kSuccess;
    if (m_hContext == 0) {
        rv = pcsc.SCardEstablishContext(pcsc::kScopeSystem, &m_hContext);
        if (rv != pcsc::kSuccess) {
            m_hContext = 0;
            ShowSystemError(rv);
            return -1;
        }
    }
    const std::string reader = m_wnd.ComboGetSelectedText(res::IDC_COMBO_READER).value_or("");
    // The service clears the handle it is given, so connect into a local one.
    pcsc::ScardHandle card = 0;
    std::uint32_t protocol = 0;
    rv = pcsc.SCardConnectA(m_hContext, reader.c_str(), pcsc::kShareExclusive,
                            pcsc::kProtocolT0 | pcsc::kProtocolT1, &card, &protocol);
    if (rv != pcsc::kSuccess) {
        ShowSystemError(rv);
        return -1;
    }
    m_hCard = card;
    m_pioSendPci = (protocol == pcsc::kProtocolT1) ? pcsc.T1Pci() : pcsc.T0Pci();
    return 0;
}

int CQuorlinDlg::DisconnectCard() {
    m_bLoggedIn = 0;
    const std::uint32_t rv = m_platform.pcsc->SCardDisconnect(m_hCard, pcsc::kLeaveCard);
    if (rv != pcsc::kSuccess) {
        ShowSystemError(rv);
        return -1;
    }
    m_hCard = 0;
    return 0;
}

int CQuorlinDlg::ShowSystemError(std::uint32_t code) {
    return ReportSystemError(code, false);
}

int CQuorlinDlg::ReportSystemError(std::uint32_t code, bool ownerless) {
    const std::string text = m_platform.pcsc->FormatErrorText(code);
    if (text.empty()) {
        return -1;
    }
    // Sized to the text: a long platform text is shown whole.
    const int size = std::snprintf(nullptr, 0, res::kFmtSystemError, text.c_str());
    std::string message(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    std::snprintf(message.data(), message.size() + 1, res::kFmtSystemError, text.c_str());
    m_wnd.MessageBox(message, std::nullopt, MsgIcon::None, ownerless);
    return 0;
}

}  // namespace quorlin
