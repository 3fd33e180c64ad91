// The dialog's reader connection: context steps, reader list, ConnectCard,
// DisconnectCard, ShowSystemError, and TransmitApdu over the open connection.

#include <cstdio>
#include <string>

#include "card/ApduExchange.h"
#include "card/Channel.h"
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
        // Whoever comes to the reader next must not find the holder's session open.
        const std::uint32_t rv = pcsc.SCardDisconnect(m_hCard, pcsc::kResetCard);
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
    m_wnd.ComboResetContent(res::IDC_COMBO_READER);
    {
        const card::ReaderList readers(*m_platform.pcsc, m_hContext);
        for (const std::string& name : readers.Names(kMaxReaders)) {
            m_wnd.ComboAddString(res::IDC_COMBO_READER, name);
        }
    }
    m_wnd.ComboSetCurSel(res::IDC_COMBO_READER, 0);
}

void CQuorlinDlg::StartReaderWatch() {
    std::weak_ptr<int> alive = m_alive;
    m_watcher = std::make_unique<card::ReaderWatcher>(
        *m_platform.pcsc, kMaxReaders, [this, alive](card::ReaderWatcher::Update update) {
            // The watcher only signals; the list is the dialog thread's to change.
            m_wnd.PostTask([this, alive, update = std::move(update)]() mutable {
                if (alive.lock()) {
                    OnReadersChanged(std::move(update.readers), update.serviceRestarted);
                }
            });
        });
    m_watcher->Start();
}

void CQuorlinDlg::OnReadersChanged(std::vector<std::string> readers, bool serviceRestarted) {
    if (serviceRestarted) {
        m_contextStale = true;
    }
    m_pendingReaders = std::move(readers);
    if (m_busy == 0) {
        ApplyPendingReaders();
    }
}

void CQuorlinDlg::ApplyPendingReaders() {
    if (!m_pendingReaders) {
        return;
    }
    const std::vector<std::string> readers = std::move(*m_pendingReaders);
    m_pendingReaders.reset();
    const int id = res::IDC_COMBO_READER;
    const std::optional<std::string> selected = m_wnd.ComboGetSelectedText(id);
    m_wnd.ComboResetContent(id);
    int index = 0;  // as at start, when the reader that was selected is gone or there was none
    for (std::size_t i = 0; i < readers.size() && i < kMaxReaders; ++i) {
        m_wnd.ComboAddString(id, readers[i]);
        if (selected && readers[i] == *selected) {
            index = static_cast<int>(i);
        }
    }
    m_wnd.ComboSetCurSel(id, index);
}

void CQuorlinDlg::RenewStaleContext() {
    if (!m_contextStale) {
        return;
    }
    m_contextStale = false;
    if (m_hContext != 0) {
        m_platform.pcsc->SCardReleaseContext(m_hContext);
        m_hContext = 0;
    }
    EstablishUserContext();
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
    rv = card::Connect(pcsc, m_hContext, reader.c_str(), pcsc::kShareExclusive, m_hCard,
                       m_pioSendPci);
    if (rv != pcsc::kSuccess) {
        ShowSystemError(rv);
        return -1;
    }
    return 0;
}

int CQuorlinDlg::DisconnectCard(std::uint32_t disposition) {
    m_bLoggedIn = 0;
    const std::uint32_t rv = m_platform.pcsc->SCardDisconnect(m_hCard, disposition);
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

card::Channel CQuorlinDlg::CardChannel() {
    return {*m_platform.pcsc, m_hCard, m_pioSendPci};
}

std::int32_t CQuorlinDlg::TransmitApdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                       std::uint8_t p2, std::uint8_t lc, std::uint8_t& le,
                                       const std::uint8_t* data, std::uint8_t* resp,
                                       std::size_t respCapacity, std::size_t* dataLength) {
    card::Response response{resp, respCapacity};
    const std::int32_t result = card::Exchange(
        CardChannel(), {cla, ins, p1, p2, card::DataOrZeros(data, lc), le}, response);
    // le tells what was kept only when the answer carried data; dataLength also when it
    // was a status word alone.
    if (response.sent > 0) {
        le = static_cast<std::uint8_t>(response.length);
    }
    if (dataLength != nullptr && response.answered) {
        *dataLength = response.length;
    }
    return result;
}

}  // namespace quorlin
