// The certificate rows' own commands: the details dialog and the export, from what the
// query kept beside each row; and the rows' validity marks.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/AtomicFile.h"
#include "interfaces/CertDetails.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"
#include "ui/ValidityMark.h"

namespace quorlin {

namespace {

// The marker goes before the common name, the widest column: beside a date it would crowd
// the date out of its column.
constexpr int kSubName = 3;
constexpr int kDerFilter = 1;  // after PEM, the default

template <typename... Args>
std::string Format(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    if (size <= 0) {
        return format;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

std::vector<FileFilter> ExportFilters() {
    return {{res::kFilterPem, {std::begin(res::kPemSuffixes), std::end(res::kPemSuffixes)}},
            {res::kFilterDer, {std::begin(res::kDerSuffixes), std::end(res::kDerSuffixes)}}};
}

// The path with a suffix of the filter chosen: the filter decides the format, and the
// name says it.
std::string WithSuffix(const std::string& path, const FileFilter& filter) {
    std::string suffix = std::filesystem::path(path).extension().string();
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto& known = filter.suffixes;
    if (known.empty() || std::find(known.begin(), known.end(), suffix) != known.end()) {
        return path;
    }
    return path + known.front();
}

// A file name from the certificate's display name, else its card file.
std::string SuggestedName(const CertRow& r) {
    std::string name = r.name.empty() ? r.file : r.name;
    std::replace(name.begin(), name.end(), '/', '_');
    if (!name.empty() && name.front() == '.') {
        name.front() = '_';
    }
    return name;
}

}  // namespace

std::int64_t CQuorlinDlg::Now() const {
    return m_platform.now ? m_platform.now() : static_cast<std::int64_t>(std::time(nullptr));
}

void CQuorlinDlg::KeepCertificateRow(int row, const x509::CertContext* cert, std::string file,
                                     std::string container, std::string name) {
    if (row < 0 || static_cast<std::size_t>(row) >= m_certRows.size()) {
        return;
    }
    // Only the time here: the details, key included, are decoded when they are opened.
    if (const std::optional<std::int64_t> notAfter = m_platform.certs->CertGetNotAfter(cert)) {
        const ValidityMark mark = ValidityMarkFor(*notAfter, Now());
        if (mark.mark != RowMark::None) {
            m_wnd.ListSetItemMark(res::IDC_LIST_CERTS, row, kSubName, mark.mark, mark.tooltip);
        }
    }
    m_certRows[static_cast<std::size_t>(row)] =
        CertRow{std::move(file), std::move(container), std::move(name), cert->encoded};
}

bool CQuorlinDlg::ListItemCommandEnabled(int controlId, int row, std::uint32_t command) {
    return controlId == res::IDC_LIST_CERTS &&
           (command == res::ID_CERT_VIEW || command == res::ID_CERT_EXPORT) && row >= 0 &&
           static_cast<std::size_t>(row) < m_certRows.size() &&
           m_certRows[static_cast<std::size_t>(row)].has_value();
}

void CQuorlinDlg::OnListItemCommand(int controlId, int row, std::uint32_t command) {
    const HandlerScope scope(*this);
    if (!ListItemCommandEnabled(controlId, row, command)) {
        return;
    }
    if (command == res::ID_CERT_VIEW) {
        ShowCertificateDetails(static_cast<std::size_t>(row));
    } else {
        ExportCertificate(static_cast<std::size_t>(row));
    }
}

void CQuorlinDlg::ShowCertificateDetails(std::size_t row) {
    if (row >= m_certRows.size() || !m_certRows[row]) {
        return;
    }
    const CertRow& r = *m_certRows[row];
    // The row's own context may be gone (the eleventh and later are not kept).
    const x509::CertContext* cert = m_platform.certs->CertCreateCertificateContext(
        x509::kX509AsnEncoding | x509::kPkcs7AsnEncoding, r.der.data(),
        static_cast<std::uint32_t>(r.der.size()));
    const std::optional<x509::CertDetails> details =
        cert != nullptr ? m_platform.certs->CertGetDetails(cert) : std::nullopt;
    if (cert != nullptr) {
        m_platform.certs->CertFreeCertificateContext(cert);
    }
    if (!details) {
        return;
    }
    const x509::CertDetails& d = *details;
    const std::string algorithm = x509::KeyAlgorithmText(d);
    const std::string key =
        d.keyBits > 0 ? Format(res::kFmtKeyBits, algorithm.c_str(), d.keyBits) : algorithm;
    std::string usage = d.keyUsage ? x509::KeyUsageText(*d.keyUsage) : std::string();
    std::string purposes =
        d.extendedKeyUsage ? x509::ExtendedKeyUsageText(*d.extendedKeyUsage) : std::string();
    const std::vector<std::pair<int, std::string>> texts = {
        {res::IDC_DETAILS_SUBJECT, d.subject},
        {res::IDC_DETAILS_ISSUER, d.issuer},
        {res::IDC_DETAILS_SERIAL, x509::SerialText(d)},
        {res::IDC_DETAILS_NOTBEFORE, x509::UtcText(d.notBefore)},
        {res::IDC_DETAILS_NOTAFTER, x509::UtcText(d.notAfter)},
        {res::IDC_DETAILS_KEY, key},
        {res::IDC_DETAILS_KEYUSAGE, usage.empty() ? res::kNotPresent : usage},
        {res::IDC_DETAILS_EXTKEYUSAGE, purposes.empty() ? res::kNotPresent : purposes},
        {res::IDC_DETAILS_SHA1, x509::ColonHex(d.sha1)},
        {res::IDC_DETAILS_SHA256, x509::ColonHex(d.sha256)},
        {res::IDC_DETAILS_FILE, r.file},
        {res::IDC_DETAILS_CONTAINER, r.container},
    };
    m_wnd.RunTemplateDialog(res::IDD_CERT_DETAILS, texts, [this, row](int id) {
        if (id == res::IDC_BTN_EXPORT) {
            ExportCertificate(row);
        }
    });
}

void CQuorlinDlg::ExportCertificate(std::size_t row) {
    if (row >= m_certRows.size() || !m_certRows[row]) {
        return;
    }
    const CertRow& r = *m_certRows[row];
    const std::vector<FileFilter> filters = ExportFilters();
    const std::optional<SaveChoice> choice =
        m_wnd.GetSaveFileName(res::kExportCaption, SuggestedName(r), filters);
    if (!choice || choice->path.empty()) {
        return;
    }
    const bool pem = choice->filter != kDerFilter;
    const std::string path =
        WithSuffix(choice->path, filters[static_cast<std::size_t>(pem ? 0 : kDerFilter)]);

    std::error_code ec;
    if (std::filesystem::exists(path, ec) &&
        !m_wnd.AskYesNo(Format(res::kFmtReplaceFile, path.c_str()), res::kExportCaption)) {
        return;
    }
    const std::string text = pem ? x509::PemText(r.der) : std::string();
    const std::span<const std::uint8_t> bytes =
        pem ? std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())
            : std::span<const std::uint8_t>(r.der);
    if (const int error = base::WriteFileAtomically(path, bytes); error != 0) {
        m_wnd.MessageBox(Format(res::kFmtExportFailed, path.c_str(), std::strerror(error)),
                         res::kExportCaption, MsgIcon::Exclamation);
    }
}

}  // namespace quorlin
