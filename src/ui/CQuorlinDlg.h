#pragma once
// The main dialog: owns the card state and the handlers of every user action. Its members
// are thin: they call the protocol (src/card, src/applet) or a platform service, then
// choose the message. They live beside the dialog, one file per concern: CQuorlinDlg.cpp
// (page logic, command table), Connection.cpp, LoginPage.cpp, CertificatePage.cpp,
// Registration.cpp, CertificateDetails.cpp.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "applet/Applet.h"
#include "base/SideThread.h"
#include "card/Channel.h"
#include "card/ReaderWatcher.h"
#include "interfaces/CertApi.h"
#include "interfaces/CryptApi.h"
#include "interfaces/DialogWindow.h"
#include "interfaces/KeyLinkApi.h"
#include "interfaces/PcscApi.h"
#include "interfaces/StoreApi.h"

namespace quorlin {

// The platform services the dialog calls. Each must outlive the dialog; a service a
// caller never exercises (a test of the log-in alone, say) may be null.
struct Platform {
    pcsc::PcscApi* pcsc = nullptr;
    x509::CertApi* certs = nullptr;
    crypt::CryptApi* crypt = nullptr;
    store::StoreApi* store = nullptr;
    // Where other programs find a registered certificate's key; none: not looked for.
    keylink::KeyLinkApi* links = nullptr;
    // Follow readers that come and go from a thread of its own (the program does; tests
    // whose fakes are not thread-safe leave it off).
    bool watchReaders = false;
    // Seconds since the epoch, UTC; empty: the system clock.
    std::function<std::int64_t()> now = nullptr;
};

// What a certificate row's details and export need, kept beside the row: the list shows
// no more than this, and no card command is sent for it.
struct CertRow {
    std::string file;       // the card file, "8001"
    std::string container;  // UTF-8
    std::string name;       // the simple display name; empty when it had none
    std::vector<std::uint8_t> der;
};

class CQuorlinDlg : public DialogHandler {
  public:
    static constexpr std::size_t kContainerRecordSize = applet::kContainerRecordSize;
    static constexpr std::size_t kContainerNamesSize = 2048;
    static constexpr int kMaxCerts = 10;
    static constexpr int kMaxReaders = 10;

    CQuorlinDlg(DialogWindow& window, const Platform& platform);
    ~CQuorlinDlg() override;
    CQuorlinDlg(const CQuorlinDlg&) = delete;
    CQuorlinDlg& operator=(const CQuorlinDlg&) = delete;

    int DoModal() { return m_wnd.DoModal(*this); }

    // DialogHandler: the command table.
    bool OnInitDialog() override;
    void OnCommand(int controlId) override;
    std::intptr_t OnTabSelChange(int controlId) override;
    void OnSysCommand(std::uint32_t id, std::intptr_t param) override;
    IconHandle OnQueryDragIcon() override { return m_hIcon; }
    bool ListItemCommandEnabled(int controlId, int row, std::uint32_t command) override;
    void OnListItemCommand(int controlId, int row, std::uint32_t command) override;

    // Page logic and data exchange.
    int ShowTabPage(int page);
    void UpdateData(bool saveAndValidate);
    void OnOK() {}  // Enter never closes the dialog

    // Reader connection.
    int ConnectCard();
    // A session that verified the PIN is ended with kResetCard, so that the card forgets
    // it; leaving the card after a failed log-in disturbs nothing that was granted.
    int DisconnectCard(std::uint32_t disposition = pcsc::kLeaveCard);
    int ShowSystemError(std::uint32_t code);

    // APDU exchange. respCapacity bounds what is written to resp (never more than 254);
    // dataLength, when given, receives the data bytes of the last answer (0 for a status
    // word alone).
    std::int32_t TransmitApdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                              std::uint8_t lc, std::uint8_t& le, const std::uint8_t* data,
                              std::uint8_t* resp, std::size_t respCapacity,
                              std::size_t* dataLength = nullptr);

    // Applet and file selection.
    std::int32_t SelectApplet();
    std::int32_t SelectFile(std::uint8_t high, std::uint8_t low);

    // Log-in and PIN change.
    void OnLogin();
    void OnChangePin();
    std::uint16_t VerifyPin(int pinLength, const std::uint8_t* pin);
    std::int32_t WritePinRecord(std::uint8_t record, std::uint8_t length, const std::uint8_t* data);

    // Certificate query.
    void OnQueryCertificates();
    std::int32_t ReadCardCertificates();
    static char* BinToHex(std::uint32_t count, const std::uint8_t* bytes, char* text);

    // Registration.
    void RegisterCertificates();

    // Certificate details and export (CertificateDetails.cpp).
    void ShowCertificateDetails(std::size_t row);
    void ExportCertificate(std::size_t row);

    // Readers that come and go: a new list from the watcher, on the dialog's thread. It is
    // applied once no handler (and so no message box) is running.
    void OnReadersChanged(std::vector<std::string> readers, bool serviceRestarted);

    // Card state, in the order the dialog has always kept it.
    std::string m_strConfirmPin;
    std::string m_strNewPin;
    std::string m_strPin;
    std::string m_strCspName;
    std::uint8_t m_containerNames[kContainerNamesSize] = {};
    std::int32_t m_nCertCount = 0;
    const x509::CertContext* m_certs[kMaxCerts] = {};
    IconHandle m_hIcon = 0;
    int m_bLoggedIn = 0;
    const pcsc::ScardIoRequest* m_pioSendPci = nullptr;
    pcsc::ScardContext m_hContext = 0;
    pcsc::ScardHandle m_hCard = 0;
    // One entry per row of the certificate list, in the list's order, the eleventh row and
    // later included; empty for a placeholder row or a certificate that did not decode.
    std::vector<std::optional<CertRow>> m_certRows;

  private:
    void EstablishUserContext();  // construction's context step
    void ReleaseConnection();     // destruction's context step, after the window is gone
    int ReportSystemError(std::uint32_t code, bool ownerless);
    void FillReaderList();
    void ReleaseCertificates();
    // The same on the side thread, so that it overlaps the card's next answers.
    void ReleaseCertificatesAside();
    // A certificate read for row; cert is what it decoded to, null when it did not.
    void FinishCertificateRow(int row, const x509::CertContext* cert, const std::string& fileText,
                              const std::string& container, const std::uint8_t* record);
    // A decoded certificate's row: keeps what its details need and marks its validity.
    void KeepCertificateRow(int row, const x509::CertContext* cert, std::string file,
                            std::string container, std::string name);
    std::int64_t Now() const;
    // The open connection as the protocol sees it.
    card::Channel CardChannel();
    void StartReaderWatch();
    void ApplyPendingReaders();
    // A context made before the service restarted is dead: replaced before a log-in.
    void RenewStaleContext();

    // Counts the handlers running, nested modal loops included; the last one out applies
    // a reader list that came meanwhile.
    class HandlerScope {
      public:
        explicit HandlerScope(CQuorlinDlg& dlg) : m_dlg(dlg) { ++m_dlg.m_busy; }
        ~HandlerScope() {
            if (--m_dlg.m_busy == 0) {
                m_dlg.ApplyPendingReaders();
            }
        }
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;

      private:
        CQuorlinDlg& m_dlg;
    };

    DialogWindow& m_wnd;
    Platform m_platform;

    int m_busy = 0;
    std::optional<std::vector<std::string>> m_pendingReaders;
    bool m_contextStale = false;
    // Decodes a certificate while the card answers for the next container.
    base::SideThread m_decoder;
    // Tasks the watcher posted run only while this lives.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    std::unique_ptr<card::ReaderWatcher> m_watcher;
};

}  // namespace quorlin
