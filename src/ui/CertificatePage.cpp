// The certificate page: OnQueryCertificates, ReadCardCertificates, BinToHex.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "applet/Applet.h"
#include "applet/Cp950.h"
#include "base/Hex.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

namespace {

constexpr std::size_t kReplyAreaSize = 256;
// Room for 128 characters of UTF-8: the adapter cuts the name at 127 characters.
constexpr std::size_t kNameSize = 128 * 4;

constexpr std::uint32_t kCertEncoding = x509::kX509AsnEncoding | x509::kPkcs7AsnEncoding;

constexpr int kSubStart = 1;
constexpr int kSubExpiry = 2;
constexpr int kSubName = 3;
constexpr int kSubContainer = 4;

// Card text (code page 950) up to its first zero byte, as UTF-8 for the list.
std::string CardText(const std::uint8_t* bytes, std::size_t width) {
    const auto* end = std::find(bytes, bytes + width, std::uint8_t{0});
    return applet::Cp950ToUtf8(bytes, static_cast<std::size_t>(end - bytes));
}

}  // namespace

void CQuorlinDlg::OnQueryCertificates() {
    m_wnd.BeginWaitCursor();
    ReadCardCertificates();
    m_wnd.RestoreWaitCursor();
    m_wnd.EndWaitCursor();
}

std::int32_t CQuorlinDlg::ReadCardCertificates() {
    const int list = res::IDC_LIST_CERTS;
    // A certificate is decoded on the side while the card answers for the next container.
    // Its row is finished before the window hears of anything else, so the window and the
    // card see what they would if it were decoded in line.
    struct Decoding {
        int row;
        std::string fileText;
        std::string container;
        const std::uint8_t* record;
        const x509::CertContext* cert = nullptr;  // set on the side
    };
    std::optional<Decoding> decoding;
    const auto finishDecoding = [this, &decoding] {
        if (decoding) {
            m_decoder.Wait();
            const Decoding done = std::move(*decoding);
            decoding.reset();
            FinishCertificateRow(done.row, done.cert, done.fileText, done.container, done.record);
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

    const applet::FileId directoryFile = applet::kDirectoryFile;
    if (SelectFile(directoryFile.high, directoryFile.low) != 0) {
        m_wnd.MessageBox(res::kEf8010Missing, res::kCardToolTitle, MsgIcon::None);
    }

    std::uint8_t directory[applet::kDirectorySize] = {};
    std::size_t directoryLength = 0;
    switch (applet::ReadDirectory(CardChannel(), directory, directoryLength)) {
        case applet::ReadEnd::FirstFailed:
            m_wnd.MessageBox(res::kDirReadError, res::kStdTitle, MsgIcon::None);
            break;
        case applet::ReadEnd::NextFailed:
            m_wnd.MessageBox(res::kDirNextError, res::kStdTitle, MsgIcon::None);
            break;
        case applet::ReadEnd::Complete:
            break;
    }

    m_wnd.ListDeleteAllItems(list);
    m_certRows.clear();

    const std::size_t records = directoryLength / kContainerRecordSize;
    int row = 0;
    for (std::size_t i = 0; i < records; ++i) {
        const std::uint8_t* record = directory + kContainerRecordSize * i;

        if (SelectFile(directoryFile.high, directoryFile.low) != 0) {
            finishDecoding();
            m_wnd.MessageBox(res::kEf8010Missing, res::kStdTitle, MsgIcon::None);
        }

        // What the card did not send reads as zero.
        std::uint8_t reply[kReplyAreaSize] = {};
        card::Response lookup{reply, sizeof reply};
        applet::LookupContainer(
            CardChannel(),
            std::span<const std::uint8_t, kContainerRecordSize>(record, kContainerRecordSize),
            lookup);
        const std::uint8_t* fileId = applet::CertificateFileOf(reply);
        char fileText[5];
        BinToHex(2, fileId, fileText);
        if (SelectFile(fileId[0], fileId[1]) != 0) {
            finishDecoding();
            m_wnd.MessageBox(res::kCertFileSelectError, res::kStdTitle, MsgIcon::None);
            return -1;
        }

        std::memset(reply, 0, sizeof reply);
        card::Response keyInfo{reply, sizeof reply};
        applet::ReadKeyInfo(CardChannel(), keyInfo);
        const unsigned indicator =
            reply[applet::kKeyInfoIndicator] * 256u + reply[applet::kKeyInfoIndicator + 1];
        const std::string container = CardText(record, kContainerRecordSize);

        if (indicator == 0) {
            if (reply[applet::kKeyInfoInUse] != 0) {
                finishDecoding();
                m_wnd.ListInsertItem(list, row, fileText);
                m_certRows.insert(m_certRows.begin() + row, std::nullopt);
                m_wnd.ListSetItemText(list, row, kSubStart, res::kNoDate);
                m_wnd.ListSetItemText(list, row, kSubExpiry, res::kNoDate);
                m_wnd.ListSetItemText(list, row, kSubContainer, container);
                m_wnd.ListSetItemText(list, row, kSubName, res::kCertNotLoaded);
            }
            continue;
        }
        // A non-zero indicator came with data, so the length kept is what the card sent.
        if (keyInfo.length != applet::kKeyInfoLength) {
            continue;
        }

        finishDecoding();
        m_wnd.ListInsertItem(list, row, fileText);
        m_certRows.insert(m_certRows.begin() + row, std::nullopt);
        m_wnd.ListSetItemText(list, row, kSubStart,
                              CardText(reply + applet::kKeyInfoStartDate, applet::kDateLength));
        m_wnd.ListSetItemText(list, row, kSubExpiry,
                              CardText(reply + applet::kKeyInfoExpiryDate, applet::kDateLength));
        m_wnd.ListSetItemText(list, row, kSubContainer, container);

        std::uint8_t certificate[applet::kCertificateSize] = {};
        std::size_t certificateLength = 0;
        const applet::ReadEnd end =
            applet::ReadCertificate(CardChannel(), certificate, certificateLength);
        if (end == applet::ReadEnd::FirstFailed) {
            m_wnd.MessageBox(res::kCertReadError, res::kStdTitle, MsgIcon::None);
        } else {
            if (end == applet::ReadEnd::NextFailed) {
                m_wnd.MessageBox(res::kCertNextError, res::kStdTitle, MsgIcon::None);
            }
            if (m_platform.certs != nullptr) {
                Decoding& next = decoding.emplace(Decoding{row, fileText, container, record});
                m_decoder.Run([certs = m_platform.certs, &cert = next.cert,
                               bytes = std::vector<std::uint8_t>(certificate,
                                                                 certificate + certificateLength)] {
                    cert = certs->CertCreateCertificateContext(
                        kCertEncoding, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
                });
            }
        }
        ++row;
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
