#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "applet/AppletIds.h"
#include "applet/Cp950.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

namespace {

constexpr std::size_t kReplyAreaSize = 256;
constexpr std::size_t kDirectorySize = 400;
constexpr std::size_t kCertificateSize = 2048;
// Room for 128 characters of UTF-8: the adapter cuts the name at 127 characters.
constexpr std::size_t kNameSize = 128 * 4;

constexpr std::uint8_t kDirectoryHigh = 0x80;
constexpr std::uint8_t kDirectoryLow = 0x10;
constexpr std::uint8_t kNextChunk = 0x01;  // P1 and P2 of every command after the first

// Container lookup reply.
constexpr std::size_t kFirstFileId = 39;
constexpr std::size_t kSecondFileId = 41;

// Key information record.
constexpr std::uint8_t kKeyInfoLength = 22;
constexpr std::size_t kIndicator = 2;
constexpr std::size_t kInUse = 4;
constexpr std::size_t kStartDate = 6;
constexpr std::size_t kExpiryDate = 14;
constexpr std::size_t kDateLength = 8;

constexpr std::uint32_t kCertEncoding = x509::kX509AsnEncoding | x509::kPkcs7AsnEncoding;

constexpr int kSubStart = 1;
constexpr int kSubExpiry = 2;
constexpr int kSubName = 3;
constexpr int kSubContainer = 4;

// How one of the two chunked reads starts.
struct ChunkedRead {
    std::uint8_t ins;
    std::uint8_t firstP2;
    std::uint8_t firstLe;
    std::size_t firstFixed;  // 0: the first reply gives its reported length - 1 like the rest
};

constexpr ChunkedRead kDirectoryRead{applet::kInsReadDirectory, 0x00, 0xFF, 0};
// The certificate read has always taken 200 bytes of its first reply, however short.
constexpr ChunkedRead kCertificateRead{applet::kInsReadCertificate, 0x01, 0xC9, 200};

enum class ReadEnd { Complete, FirstFailed, NextFailed };

// The card picks the chunk sizes and says when to stop, so the read also stops once the
// area is full and after as many commands as the area has bytes; a status word without
// data ends it too, since repeating the command would only get the same.
ReadEnd ReadChunked(CQuorlinDlg& dlg, const ChunkedRead& how, std::uint8_t (&reply)[kReplyAreaSize],
                    std::uint8_t* area, std::size_t capacity, std::size_t& total) {
    total = 0;
    std::memset(reply, 0, sizeof reply);
    std::uint8_t le = how.firstLe;
    std::size_t received = 0;
    if (dlg.TransmitApdu(0x00, how.ins, 0x00, how.firstP2, 0, le, nullptr, reply, sizeof reply,
                         &received) != 0) {
        return ReadEnd::FirstFailed;
    }
    if (received == 0) {
        return ReadEnd::Complete;
    }
    std::size_t count = how.firstFixed != 0 ? how.firstFixed : static_cast<std::size_t>(le) - 1;
    count = std::min({count, capacity, sizeof reply - 1});
    std::memcpy(area, reply + 1, count);
    total = count;

    for (std::size_t commands = 1; reply[0] != 0 && total < capacity && commands < capacity;
         ++commands) {
        le = reply[0];
        received = 0;
        if (dlg.TransmitApdu(0x00, how.ins, kNextChunk, kNextChunk, 0, le, nullptr, reply,
                             sizeof reply, &received) != 0) {
            return ReadEnd::NextFailed;
        }
        if (received == 0) {
            break;
        }
        count = std::min(static_cast<std::size_t>(le) - 1, capacity - total);
        std::memcpy(area + total, reply + 1, count);
        total += count;
    }
    return ReadEnd::Complete;
}

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
    ReleaseCertificates();
    std::memset(m_containerNames, 0, sizeof m_containerNames);
    m_nCertCount = 0;

    if (SelectFile(kDirectoryHigh, kDirectoryLow) != 0) {
        m_wnd.MessageBox(res::kEf8010Missing, res::kCardToolTitle, MsgIcon::None);
    }

    std::uint8_t reply[kReplyAreaSize];
    std::uint8_t directory[kDirectorySize] = {};
    std::size_t directoryLength = 0;
    switch (
        ReadChunked(*this, kDirectoryRead, reply, directory, sizeof directory, directoryLength)) {
        case ReadEnd::FirstFailed:
            m_wnd.MessageBox(res::kDirReadError, res::kStdTitle, MsgIcon::None);
            break;
        case ReadEnd::NextFailed:
            m_wnd.MessageBox(res::kDirNextError, res::kStdTitle, MsgIcon::None);
            break;
        case ReadEnd::Complete:
            break;
    }

    m_wnd.ListDeleteAllItems(list);

    const std::size_t records = directoryLength / kContainerRecordSize;
    int row = 0;
    for (std::size_t i = 0; i < records; ++i) {
        const std::uint8_t* record = directory + kContainerRecordSize * i;

        if (SelectFile(kDirectoryHigh, kDirectoryLow) != 0) {
            m_wnd.MessageBox(res::kEf8010Missing, res::kStdTitle, MsgIcon::None);
        }

        std::memset(reply, 0, sizeof reply);
        std::uint8_t le = 0;
        TransmitApdu(0x00, applet::kInsContainerLookup, 0x00, 0x00,
                     static_cast<std::uint8_t>(kContainerRecordSize), le, record, reply,
                     sizeof reply);
        const std::uint8_t* fileId =
            reply[kSecondFileId] != 0 ? reply + kSecondFileId : reply + kFirstFileId;
        char fileText[5];
        BinToHex(2, fileId, fileText);
        if (SelectFile(fileId[0], fileId[1]) != 0) {
            m_wnd.MessageBox(res::kCertFileSelectError, res::kStdTitle, MsgIcon::None);
            return -1;
        }

        std::memset(reply, 0, sizeof reply);
        le = kKeyInfoLength;
        TransmitApdu(0x00, applet::kInsKeyInfo, 0x00, 0x00, 0, le, nullptr, reply, sizeof reply);
        const unsigned indicator = reply[kIndicator] * 256u + reply[kIndicator + 1];
        const std::string container = CardText(record, kContainerRecordSize);

        if (indicator == 0) {
            if (reply[kInUse] != 0) {
                m_wnd.ListInsertItem(list, row, fileText);
                m_wnd.ListSetItemText(list, row, kSubStart, res::kNoDate);
                m_wnd.ListSetItemText(list, row, kSubExpiry, res::kNoDate);
                m_wnd.ListSetItemText(list, row, kSubContainer, container);
                m_wnd.ListSetItemText(list, row, kSubName, res::kCertNotLoaded);
            }
            continue;
        }
        if (le != kKeyInfoLength) {
            continue;
        }

        m_wnd.ListInsertItem(list, row, fileText);
        m_wnd.ListSetItemText(list, row, kSubStart, CardText(reply + kStartDate, kDateLength));
        m_wnd.ListSetItemText(list, row, kSubExpiry, CardText(reply + kExpiryDate, kDateLength));
        m_wnd.ListSetItemText(list, row, kSubContainer, container);

        std::uint8_t certificate[kCertificateSize] = {};
        std::size_t certificateLength = 0;
        const ReadEnd end = ReadChunked(*this, kCertificateRead, reply, certificate,
                                        sizeof certificate, certificateLength);
        if (end == ReadEnd::FirstFailed) {
            m_wnd.MessageBox(res::kCertReadError, res::kStdTitle, MsgIcon::None);
        } else {
            if (end == ReadEnd::NextFailed) {
                m_wnd.MessageBox(res::kCertNextError, res::kStdTitle, MsgIcon::None);
            }
            const x509::CertContext* cert =
                m_platform.certs == nullptr ? nullptr
                                            : m_platform.certs->CertCreateCertificateContext(
                                                  kCertEncoding, certificate,
                                                  static_cast<std::uint32_t>(certificateLength));
            if (cert != nullptr) {
                char name[kNameSize] = {};
                if (m_platform.certs->CertGetNameStringA(cert, x509::kCertNameSimpleDisplayType, 0,
                                                         nullptr, name, sizeof name) != 0) {
                    name[sizeof name - 1] = '\0';
                    m_wnd.ListSetItemText(list, row, kSubName, name);
                } else {
                    std::fputs(res::kCertGetNameFailed, stderr);
                }
                // The table holds ten; a further certificate is listed but not kept.
                if (m_nCertCount < kMaxCerts) {
                    // Copied even without a name, so that the registration links the
                    // certificate to its real container.
                    std::memcpy(m_containerNames + kContainerRecordSize * m_nCertCount, record,
                                kContainerRecordSize);
                    m_certs[m_nCertCount] = cert;
                    ++m_nCertCount;
                } else {
                    m_platform.certs->CertFreeCertificateContext(cert);
                }
            }
        }
        ++row;
    }

    if (m_nCertCount > 0) {
        m_wnd.EnableControl(res::IDC_BTN_REGISTER, true);
    }
    return 0;
}

char* CQuorlinDlg::BinToHex(std::uint32_t count, const std::uint8_t* bytes, char* text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::uint32_t i = 0; i < count; ++i) {
        *text++ = kDigits[bytes[i] >> 4];
        *text++ = kDigits[bytes[i] & 0x0F];
    }
    *text = '\0';
    return text;
}

}  // namespace quorlin
