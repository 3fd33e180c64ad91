// The registration: RegisterCertificates.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

#include "registration/Registration.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

namespace {

// The wait cursor, shown until the scope ends.
class WaitCursor {
  public:
    explicit WaitCursor(DialogWindow& wnd) : m_wnd(wnd) { m_wnd.BeginWaitCursor(); }
    ~WaitCursor() { m_wnd.EndWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

  private:
    DialogWindow& m_wnd;
};

// Each failed call as the dialog has always shown it: its name and code.
class Messages : public registration::Observer {
  public:
    explicit Messages(DialogWindow& wnd) : m_wnd(wnd) {}
    void StepFailed(registration::Step step, std::uint32_t code) override {
        using registration::Step;
        const char* format = res::kFmtAddToStore;
        switch (step) {
            case Step::ProbeProvider:
                format = res::kFmtAcquireProbe;
                break;
            case Step::AcquireContainer:
                format = res::kFmtAcquire;
                break;
            case Step::OpenStore:
                format = res::kFmtOpenStore;
                break;
            case Step::GetUserKey:
                format = res::kFmtGetUserKey;
                break;
            case Step::Allocate:
                format = res::kFmtMalloc;
                break;
            case Step::SetProperty:
                format = res::kFmtSetProperty;
                break;
            case Step::AddToStore:
                break;
        }
        char message[256];
        std::snprintf(message, sizeof message, format, static_cast<unsigned>(code));
        m_wnd.MessageBox(message, std::nullopt, MsgIcon::None);
    }
    void CertificateDone(std::size_t, registration::Outcome) override {}
    // Said once, after the registration's own message, not per certificate.
    void CertificateLinked(std::size_t, const keylink::Pkcs11Link* link,
                           const std::string&) override {
        keysUnusable = keysUnusable || link == nullptr;
    }
    void ModuleAnnounced(bool ok, const std::string&) override {
        keysUnusable = keysUnusable || !ok;
    }
    bool keysUnusable = false;

  private:
    DialogWindow& m_wnd;
};

constexpr char16_t kMyStore[] = u"MY";

}  // namespace

void CQuorlinDlg::RegisterCertificates() {
    // The provider reaches the same card, which the log-in holds exclusively. It selects
    // the applet on a connection of its own and needs no verified PIN, so the holder's
    // session ends here, on the card too.
    DisconnectCard(pcsc::kResetCard);
    const WaitCursor waitCursor(m_wnd);

    std::vector<registration::CardCertificate> certs;
    for (int i = 0; i < std::min<int>(m_nCertCount, kMaxCerts); ++i) {
        const std::uint8_t* record =
            m_containerNames + kContainerRecordSize * static_cast<std::size_t>(i);
        certs.push_back({m_certs[i], std::span<const std::uint8_t, kContainerRecordSize>(
                                         record, kContainerRecordSize)});
    }
    Messages messages(m_wnd);
    const std::optional<int> added =
        registration::RegisterCertificates(*m_platform.crypt, *m_platform.store, m_strCspName,
                                           certs, kMyStore, messages, m_platform.links);
    if (!added) {
        return;
    }

    m_wnd.MessageBox(*added > 0 ? res::kRegistered : res::kNoneRegistered, res::kStdTitle,
                     MsgIcon::None);
    if (messages.keysUnusable) {
        m_wnd.MessageBox(res::kKeysNotUsable, res::kStdTitle, MsgIcon::Exclamation);
    }
    ShowTabPage(0);
    m_bLoggedIn = 0;
    m_wnd.TabSetCurSel(res::IDC_TAB, 0);
    m_wnd.SetControlText(res::IDC_BTN_LOGIN, res::kBtnLogin);
    m_wnd.MessageBox(res::kLogInAgain, res::kStdTitle, MsgIcon::None);
}

}  // namespace quorlin
