// The certificate page: OnQueryCertificates, ReadCardCertificates, BinToHex.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "applet/Applet.h"
#include "applet/Cp950.h"
#include "applet/DirectoryWalk.h"
#include "base/Hex.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

namespace {

// Room for 128 characters of UTF-8: the adapter cuts the name at 127 characters.
constexpr std::size_t kNameSize = 128 * 4;

constexpr std::uint32_t kCertEncoding = x509::kX509AsnEncoding | x509::kPkcs7AsnEncoding;

constexpr int kSubStart = 1;
constexpr int kSubExpiry = 2;
constexpr int kSubName = 3;
constexpr int kSubContainer = 4;

}  // namespace

void CQuorlinDlg::OnQueryCertificates() {
    m_wnd.BeginWaitCursor();
    ReadCardCertificates();
    m_wnd.RestoreWaitCursor();
    m_wnd.EndWaitCursor();
}

std::int32_t CQuorlinDlg::ReadCardCertificates() {
    // A certificate is decoded on the side while the card answers for the next container.
    // Its row is finished before the window hears of anything else, so the window and the
    // card see what they would if it were decoded in line.
    struct Decoding {
        int row;
        std::string fileText;
        std::string container;
        std::array<std::uint8_t, kContainerRecordSize> record;
        const x509::CertContext* cert = nullptr;  // set on the side
    };
    std::optional<Decoding> decoding;
    const auto finishDecoding = [this, &decoding] {
        if (decoding) {
            m_decoder.Wait();
            const Decoding done = std::move(*decoding);
            decoding.reset();
            FinishCertificateRow(done.row, done.cert, done.fileText, done.container,
                                 done.record.data());
        }
    };
    // Leaving early (an exception) must not leave the side writing here or a context held.
    struct Settle {
        base::SideThread& decoder;
        std::optional<Decoding>& decoding;
        x509::CertApi* certs;
        ~Settle() {
            try {
                decoder.Wait();
            } catch (...) {
            }
            if (decoding && decoding->cert != nullptr) {
                certs->CertFreeCertificateContext(decoding->cert);
            }
        }
    } settle{m_decoder, decoding, m_platform.certs};

    ReleaseCertificatesAside();
    std::memset(m_containerNames, 0, sizeof m_containerNames);
    m_nCertCount = 0;

    // The walk's reports become the rows and the messages; each message waits for the
    // holder before the card hears the next command.
    class Rows : public applet::WalkObserver {
      public:
        Rows(CQuorlinDlg& dlg, const decltype(finishDecoding)& finish,
             std::optional<Decoding>& side)
            : m_dlg(dlg), m_finish(finish), m_side(side) {}

        void DirectoryUnselectable(bool first) override {
            if (!first) {
                m_finish();
            }
            m_dlg.m_wnd.MessageBox(res::kEf8010Missing,
                                   first ? res::kCardToolTitle : res::kStdTitle, MsgIcon::None);
        }
        void DirectoryRead(applet::ReadEnd end, std::size_t) override {
            if (end == applet::ReadEnd::FirstFailed) {
                m_dlg.m_wnd.MessageBox(res::kDirReadError, res::kStdTitle, MsgIcon::None);
            } else if (end == applet::ReadEnd::NextFailed) {
                m_dlg.m_wnd.MessageBox(res::kDirNextError, res::kStdTitle, MsgIcon::None);
            }
            m_dlg.m_wnd.ListDeleteAllItems(res::IDC_LIST_CERTS);
            m_dlg.m_certRows.clear();
        }
        void CertificateFileUnselectable(const applet::WalkedContainer&, std::int32_t) override {
            m_finish();
            m_dlg.m_wnd.MessageBox(res::kCertFileSelectError, res::kStdTitle, MsgIcon::None);
        }
        void ContainerWithoutCertificate(const applet::WalkedContainer& c) override {
            m_finish();
            InsertRow(c, res::kNoDate, res::kNoDate);
            m_dlg.m_wnd.ListSetItemText(res::IDC_LIST_CERTS, m_row, kSubName, res::kCertNotLoaded);
        }
        void CertificateListed(const applet::WalkedContainer& c) override {
            m_finish();
            InsertRow(c,
                      applet::CardFieldText(
                          c.keyInfo.subspan(applet::kKeyInfoStartDate, applet::kDateLength)),
                      applet::CardFieldText(
                          c.keyInfo.subspan(applet::kKeyInfoExpiryDate, applet::kDateLength)));
        }
        void CertificateRead(const applet::WalkedContainer& c, applet::ReadEnd end,
                             std::span<const std::uint8_t> bytes) override {
            if (end == applet::ReadEnd::FirstFailed) {
                m_dlg.m_wnd.MessageBox(res::kCertReadError, res::kStdTitle, MsgIcon::None);
            } else {
                if (end == applet::ReadEnd::NextFailed) {
                    m_dlg.m_wnd.MessageBox(res::kCertNextError, res::kStdTitle, MsgIcon::None);
                }
                if (x509::CertApi* certs = m_dlg.m_platform.certs; certs != nullptr) {
                    Decoding& next = m_side.emplace(Decoding{m_row, m_fileText, m_container, {}});
                    std::copy(c.record.begin(), c.record.end(), next.record.begin());
                    m_dlg.m_decoder.Run(
                        [certs, &cert = next.cert,
                         der = std::vector<std::uint8_t>(bytes.begin(), bytes.end())] {
                            cert = certs->CertCreateCertificateContext(
                                kCertEncoding, der.data(), static_cast<std::uint32_t>(der.size()));
                        });
                }
            }
            ++m_row;
        }

      private:
        // A row at the current place, with its file, dates and container; a placeholder
        // stays where the next row is inserted, as the list has always had it.
        void InsertRow(const applet::WalkedContainer& c, const std::string& start,
                       const std::string& expiry) {
            const std::uint8_t fileId[2] = {c.file.high, c.file.low};
            char fileText[5];
            BinToHex(2, fileId, fileText);
            m_fileText = fileText;
            m_container = applet::CardFieldText(c.record);
            m_dlg.m_wnd.ListInsertItem(res::IDC_LIST_CERTS, m_row, m_fileText);
            m_dlg.m_certRows.insert(m_dlg.m_certRows.begin() + m_row, std::nullopt);
            m_dlg.m_wnd.ListSetItemText(res::IDC_LIST_CERTS, m_row, kSubStart, start);
            m_dlg.m_wnd.ListSetItemText(res::IDC_LIST_CERTS, m_row, kSubExpiry, expiry);
            m_dlg.m_wnd.ListSetItemText(res::IDC_LIST_CERTS, m_row, kSubContainer, m_container);
        }

        CQuorlinDlg& m_dlg;
        const decltype(finishDecoding)& m_finish;
        std::optional<Decoding>& m_side;
        int m_row = 0;
        std::string m_fileText;
        std::string m_container;
    } rows(*this, finishDecoding, decoding);

    if (applet::WalkDirectory(CardChannel(), rows) == applet::WalkEnd::Stopped) {
        return -1;
    }
    finishDecoding();

    if (m_nCertCount > 0) {
        m_wnd.EnableControl(res::IDC_BTN_REGISTER, true);
    }
    return 0;
}

void CQuorlinDlg::FinishCertificateRow(int row, const x509::CertContext* cert,
                                       const std::string& fileText, const std::string& container,
                                       const std::uint8_t* record) {
    if (cert == nullptr) {
        return;
    }
    char name[kNameSize] = {};
    if (m_platform.certs->CertGetNameStringA(cert, x509::kCertNameSimpleDisplayType, 0, nullptr,
                                             name, sizeof name) != 0) {
        name[sizeof name - 1] = '\0';
        m_wnd.ListSetItemText(res::IDC_LIST_CERTS, row, kSubName, name);
    } else {
        std::fputs(res::kCertGetNameFailed, stderr);
        name[0] = '\0';
    }
    KeepCertificateRow(row, cert, fileText, container, name);
    // The table holds ten; a further certificate is listed but not kept.
    if (m_nCertCount < kMaxCerts) {
        // Copied even without a name, so that the registration links the certificate to
        // its real container.
        const auto slot = static_cast<std::size_t>(m_nCertCount);
        std::memcpy(m_containerNames + kContainerRecordSize * slot, record, kContainerRecordSize);
        m_certs[m_nCertCount] = cert;
        ++m_nCertCount;
    } else {
        m_platform.certs->CertFreeCertificateContext(cert);
    }
}

char* CQuorlinDlg::BinToHex(std::uint32_t count, const std::uint8_t* bytes, char* text) {
    return base::HexEncode(bytes, count, text);
}

}  // namespace quorlin
