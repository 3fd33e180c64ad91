#include "ui/CQuorlinDlg.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "base/Secret.h"
#include "res/Strings.h"
#include "res/resource.h"

namespace quorlin {

namespace {

constexpr int kPage0Controls[] = {res::IDC_GROUP_LOGIN,  res::IDC_STATIC_READER,
                                  res::IDC_COMBO_READER, res::IDC_STATIC_PIN,
                                  res::IDC_EDIT_PIN,     res::IDC_BTN_LOGIN};
constexpr int kPage1Controls[] = {res::IDC_GROUP_CHANGEPIN, res::IDC_STATIC_NEWPIN,
                                  res::IDC_EDIT_NEWPIN,     res::IDC_STATIC_CONFIRMPIN,
                                  res::IDC_EDIT_CONFIRMPIN, res::IDC_BTN_CHANGEPIN};
constexpr int kPage2Controls[] = {res::IDC_GROUP_CERTS, res::IDC_LIST_CERTS, res::IDC_BTN_QUERY};

using CertTable = std::array<const x509::CertContext*, CQuorlinDlg::kMaxCerts>;

// The table's contexts, taken out of it.
CertTable Take(const x509::CertContext* (&table)[CQuorlinDlg::kMaxCerts]) {
    CertTable taken{};
    std::copy(std::begin(table), std::end(table), taken.begin());
    std::fill(std::begin(table), std::end(table), nullptr);
    return taken;
}

void FreeAll(x509::CertApi& certs, const CertTable& taken) {
    for (const x509::CertContext* cert : taken) {
        if (cert != nullptr) {
            certs.CertFreeCertificateContext(cert);
        }
    }
}

}  // namespace

CQuorlinDlg::CQuorlinDlg(DialogWindow& window, const Platform& platform)
    : m_wnd(window), m_platform(platform) {
    m_hIcon = m_wnd.LoadIcon(res::IDR_MAINFRAME);
    EstablishUserContext();
}

CQuorlinDlg::~CQuorlinDlg() {
    // The watcher first, so that nothing more is posted and nothing posted runs.
    m_alive.reset();
    m_watcher.reset();
    // The card and the context go first, as the window has; then what the members hold.
    ReleaseConnection();
    ReleaseCertificates();
    for (std::string* pin : {&m_strPin, &m_strNewPin, &m_strConfirmPin}) {
        base::WipeText(*pin);
    }
}

bool CQuorlinDlg::OnInitDialog() {
    UpdateData(false);
    if (m_wnd.HasSystemMenu() && *res::kAboutMenu != '\0') {
        m_wnd.AppendSystemMenuSeparator();
        m_wnd.AppendSystemMenuItem(res::IDM_ABOUTBOX, res::kAboutMenu);
    }
    m_wnd.SetIcon(m_hIcon, true);
    m_wnd.SetIcon(m_hIcon, false);
    m_bLoggedIn = 0;

    m_wnd.TabInsertItem(res::IDC_TAB, 0, res::kTabLogin);
    m_wnd.TabInsertItem(res::IDC_TAB, 1, res::kTabChangePin);
    m_wnd.TabInsertItem(res::IDC_TAB, 2, res::kTabCerts);
    m_wnd.TabSetCurSel(res::IDC_TAB, 0);

    FillReaderList();
    if (m_platform.watchReaders) {
        StartReaderWatch();
    }

    const int unit = m_wnd.ListClientWidth(res::IDC_LIST_CERTS) / 16;
    m_wnd.ListSetExtendedStyle(res::IDC_LIST_CERTS,
                               res::LVS_EX_GRIDLINES | res::LVS_EX_FULLROWSELECT);
    m_wnd.ListInsertColumn(res::IDC_LIST_CERTS, 0, res::kColEf, 2 * unit);
    m_wnd.ListInsertColumn(res::IDC_LIST_CERTS, 1, res::kColStart, 3 * unit);
    m_wnd.ListInsertColumn(res::IDC_LIST_CERTS, 2, res::kColExpiry, 3 * unit);
    m_wnd.ListInsertColumn(res::IDC_LIST_CERTS, 4, res::kColContainer, 6 * unit);
    m_wnd.ListInsertColumn(res::IDC_LIST_CERTS, 3, res::kColCommonName, 8 * unit);
    m_wnd.ListDeleteAllItems(res::IDC_LIST_CERTS);
    m_certRows.clear();
    m_wnd.ListSetItemMenu(res::IDC_LIST_CERTS, {{res::ID_CERT_VIEW, res::kMenuViewCert},
                                                {res::ID_CERT_EXPORT, res::kMenuExportCert}});

    ShowTabPage(0);
    return true;
}

void CQuorlinDlg::OnCommand(int controlId) {
    const HandlerScope scope(*this);
    switch (controlId) {
        case res::IDC_BTN_LOGIN:
            OnLogin();
            break;
        case res::IDC_BTN_CHANGEPIN:
            OnChangePin();
            break;
        case res::IDC_BTN_QUERY:
            OnQueryCertificates();
            break;
        case res::IDC_BTN_REGISTER:
            RegisterCertificates();
            break;
        case res::IDOK:
            OnOK();
            break;
        default:
            break;
    }
}

std::intptr_t CQuorlinDlg::OnTabSelChange(int controlId) {
    const HandlerScope scope(*this);
    ShowTabPage(m_wnd.TabGetCurSel(controlId));
    return 0;
}

void CQuorlinDlg::OnSysCommand(std::uint32_t id, std::intptr_t param) {
    const HandlerScope scope(*this);
    if ((id & res::SC_MASK) == res::IDM_ABOUTBOX) {
        m_wnd.RunAboutBox();
    } else {
        m_wnd.DefaultSysCommand(id, param);
    }
}

int CQuorlinDlg::ShowTabPage(int page) {
    if (page < 0 || page > 2) {
        return 0;
    }
    const bool enable = (m_bLoggedIn == 1);
    for (int id : kPage0Controls) {
        m_wnd.ShowControl(id, page == 0);
        m_wnd.EnableControl(id, true);
    }
    for (int id : kPage1Controls) {
        m_wnd.ShowControl(id, page == 1);
        m_wnd.EnableControl(id, enable);
    }
    for (int id : kPage2Controls) {
        m_wnd.ShowControl(id, page == 2);
        m_wnd.EnableControl(id, enable);
    }
    m_wnd.ShowControl(res::IDC_BTN_REGISTER, page == 2);
    m_wnd.EnableControl(res::IDC_BTN_REGISTER, false);
    return 0;
}

void CQuorlinDlg::UpdateData(bool saveAndValidate) {
    struct Binding {
        int id;
        std::string* member;
    };
    const Binding bindings[] = {{res::IDC_EDIT_CONFIRMPIN, &m_strConfirmPin},
                                {res::IDC_EDIT_NEWPIN, &m_strNewPin},
                                {res::IDC_EDIT_PIN, &m_strPin}};
    for (const Binding& b : bindings) {
        if (saveAndValidate) {
            // Every field here may hold a PIN. The text is copied into the member's own
            // buffer, since a moved short string keeps its bytes where it was, and both the
            // old value and the view's copy are wiped.
            std::string text = m_wnd.GetControlText(b.id);
            base::WipeText(*b.member);
            b.member->assign(text);
            base::WipeText(text);
        } else {
            m_wnd.SetControlText(b.id, *b.member);
        }
    }
}

void CQuorlinDlg::ReleaseCertificates() {
    const CertTable taken = Take(m_certs);
    if (m_platform.certs != nullptr) {
        FreeAll(*m_platform.certs, taken);
    }
}

void CQuorlinDlg::ReleaseCertificatesAside() {
    const CertTable taken = Take(m_certs);
    if (x509::CertApi* certs = m_platform.certs; certs != nullptr) {
        m_decoder.Run([certs, taken] { FreeAll(*certs, taken); });
    }
}

}  // namespace quorlin
