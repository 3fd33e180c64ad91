// Certificate details: the decoder over the fixtures, the one text form of each field, the
// validity marks, and the certificate rows' details dialog and export.

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "fakes/CertFixtures.h"
#include "fakes/DialogHarness.h"
#include "fakes/TempDir.h"
#include "platform/x509/OpenSslCertApi.h"
#include "platform/x509/OpenSslCertDetails.h"
#include "query_card.h"
#include "query_certs.h"
#include "res/Strings.h"
#include "ui/ValidityMark.h"

namespace quorlin {
namespace {

using test::Bytes;
using test::ReadFixture;
namespace fs = std::filesystem;

// ec-ku.der's not-after, 2025-12-31 23:59:59 UTC, and a clock eleven and a half days before.
constexpr std::int64_t kDoraNotAfter = 1767225599;
constexpr std::int64_t kDecember20 = 1766232000;  // 2025-12-20 12:00:00 UTC
constexpr std::int64_t kDay = 86400;

// Values as `openssl x509` prints them for the committed fixtures.
struct FixtureFields {
    const char* file;
    const char* subject;
    const char* serial;
    std::int64_t notBefore, notAfter;
    const char* key;
    int bits;
    const char* usage;     // null: no key usage extension
    const char* purposes;  // null: no extended key usage extension
    const char* sha1;
    const char* sha256;
};

const FixtureFields kFixtures[] = {
    {"ec-ku.der", "CN=Dora Wu,O=Quorlin Test", "14:59:61:24:81:D9:8B:C7", 1704067200, kDoraNotAfter,
     "EC P-256", 256, "digitalSignature, keyAgreement",
     "clientAuth, emailProtection, msSmartcardLogin",
     "50:A6:2E:13:26:B7:D8:36:49:91:85:17:DC:BD:6A:65:C9:65:33:6C",
     "F2:94:1B:9F:D7:1D:C8:CF:36:C7:D5:F5:53:21:08:76:40:3B:AB:3E:DB:D4:F1:8E:1A:BD:9D:17:52:"
     "1B:EF:61"},
    {"rsa-2048.der", "CN=Evan Ho,O=Quorlin Test", "FA:DE:64:C7:22:DF:F8:E7", 1677628800, 1740830400,
     "RSA", 2048, nullptr, nullptr, "CE:23:0A:4E:8F:77:4C:47:F4:C0:AC:B6:AE:5C:81:D0:38:15:2D:EE",
     "4A:A9:F8:16:C8:75:C1:E2:7E:D0:F6:67:CE:9B:8A:FF:68:1C:C2:7B:44:38:E8:BE:14:D8:6C:CE:97:"
     "2D:79:45"},
    {"alice-ec.der", "CN=Alice Chen,O=Quorlin Test", "8C:E5:E6:37:97:F5:75:F0", 1796905717,
     2112265717, "EC P-256", 256, nullptr, nullptr,
     "2B:DA:40:AA:63:0C:C3:D6:B4:6B:E1:AC:6A:28:25:B5:7A:13:E1:9D",
     "49:A4:EA:2D:F2:2B:55:21:40:D5:B0:8C:80:EF:6B:03:55:1B:A9:A1:F0:30:E6:34:94:9B:B1:FF:A9:"
     "7D:71:9A"},
    {"rsa-bench.der", "CN=Benchmark RSA Holder,O=Quorlin Test,OU=Performance,L=Taipei,C=TW",
     "FE:25:9F:5E:DF:24:A4:66", 1796905725, 2112265725, "RSA", 4096,
     "digitalSignature, keyEncipherment", "clientAuth, emailProtection",
     "F9:1B:A2:16:B0:95:CC:A4:D5:E5:92:1F:8C:94:E0:9F:B8:9B:AC:BD",
     "7C:0D:66:02:67:55:36:9C:3D:0A:99:0B:B0:F6:C9:A3:24:B6:7B:E0:9D:BA:F1:DA:17:7D:11:FD:C6:"
     "00:12:4C"},
    {"carol-big5.der", "CN=陳小明,O=Quorlin 測試", "D0:78:27:6F:1C:C5:1D:BC", 1796905718,
     2112265718, "EC P-256", 256, nullptr, nullptr,
     "35:D9:02:EA:AD:15:79:FD:B5:2C:37:A3:71:96:A4:F8:CB:51:03:2B",
     "3E:71:69:FE:70:D2:6B:73:2D:02:67:39:EE:68:FD:D5:A0:0B:80:BE:ED:18:FF:1A:96:EC:61:C2:04:"
     "2D:C9:45"},
};

std::string Optional(const std::optional<std::string>& text) {
    return text.value_or("<absent>");
}

TEST(CertDetailsTest, DecoderReadsEveryFieldOfTheFixtures) {
    for (const FixtureFields& f : kFixtures) {
        SCOPED_TRACE(f.file);
        const std::optional<x509::CertDetails> d = x509::DecodeCertDetails(ReadFixture(f.file));
        ASSERT_TRUE(d.has_value());
        EXPECT_EQ(d->subject, f.subject);
        EXPECT_EQ(d->issuer, f.subject);  // self-signed
        EXPECT_EQ(x509::SerialText(*d), f.serial);
        EXPECT_EQ(d->notBefore, f.notBefore);
        EXPECT_EQ(d->notAfter, f.notAfter);
        EXPECT_EQ(x509::KeyAlgorithmText(*d), f.key);
        EXPECT_EQ(d->keyBits, f.bits);
        EXPECT_EQ(
            Optional(d->keyUsage ? std::optional(x509::KeyUsageText(*d->keyUsage)) : std::nullopt),
            f.usage ? f.usage : "<absent>");
        EXPECT_EQ(Optional(d->extendedKeyUsage
                               ? std::optional(x509::ExtendedKeyUsageText(*d->extendedKeyUsage))
                               : std::nullopt),
                  f.purposes ? f.purposes : "<absent>");
        EXPECT_EQ(x509::ColonHex(d->sha1), f.sha1);
        EXPECT_EQ(x509::ColonHex(d->sha256), f.sha256);
    }
}

TEST(CertDetailsTest, DecoderRefusesWhatIsNotACertificateAndHashesOnlyTheCertificate) {
    const Bytes dora = ReadFixture("ec-ku.der");
    EXPECT_FALSE(x509::DecodeCertDetails(ReadFixture("not-a-cert.der")));
    EXPECT_FALSE(x509::DecodeCertDetails({}));
    EXPECT_FALSE(x509::DecodeCertDetails(Bytes(dora.begin(), dora.end() - 1)));

    // What follows a certificate on the card is neither decoded nor fingerprinted.
    Bytes padded = dora;
    padded.insert(padded.end(), 60, 0xA5);
    const auto d = x509::DecodeCertDetails(padded);
    ASSERT_TRUE(d);
    EXPECT_EQ(x509::ColonHex(d->sha1), kFixtures[0].sha1);

    // Through the certificate service, from a context's bytes.
    x509::OpenSslCertApi api;
    const x509::CertContext* ctx = api.CertCreateCertificateContext(
        x509::kX509AsnEncoding, padded.data(), static_cast<std::uint32_t>(padded.size()));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(x509::ColonHex(api.CertGetDetails(ctx)->sha256), kFixtures[0].sha256);
    EXPECT_FALSE(api.CertGetDetails(nullptr));
    // The cheap time a query asks for is the details' own.
    EXPECT_EQ(api.CertGetNotAfter(ctx), api.CertGetDetails(ctx)->notAfter);
    EXPECT_FALSE(api.CertGetNotAfter(nullptr));
    api.CertFreeCertificateContext(ctx);

    // A key OpenSSL names without a curve, and a subject without any entry.
    const auto ed = x509::DecodeCertDetails(test::MakeNamelessCertificate());
    ASSERT_TRUE(ed);
    EXPECT_EQ(x509::KeyAlgorithmText(*ed), "Ed25519");
    EXPECT_EQ(ed->subject, "");
    EXPECT_EQ(x509::SerialText(*ed), "01");
}

std::string OpenSslPem(const Bytes& der) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, x);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    X509_free(x);
    return pem;
}

TEST(CertDetailsTest, TextFormsOfTheFields) {
    EXPECT_EQ(x509::UtcText(kDoraNotAfter), "2025-12-31 23:59:59 UTC");
    EXPECT_EQ(x509::UtcText(0), "1970-01-01 00:00:00 UTC");
    EXPECT_EQ(x509::UtcText(std::nullopt), "?");
    EXPECT_EQ(x509::IsoUtcText(kDoraNotAfter), "2025-12-31T23:59:59Z");
    EXPECT_EQ(x509::IsoUtcText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(x509::IsoUtcText(std::nullopt), "?");
    EXPECT_EQ(x509::UtcDate(kDoraNotAfter), "2025-12-31");
    EXPECT_EQ(x509::ColonHex(Bytes{0x00, 0x0A, 0xFF}), "00:0A:FF");
    x509::CertDetails negative;
    negative.serial = {0x01, 0x00};
    negative.serialNegative = true;
    EXPECT_EQ(x509::SerialText(negative), "-01:00");
    EXPECT_EQ(x509::KeyUsageText(0), "");
    EXPECT_EQ(x509::KeyUsageText(0x1FF),
              "digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment, "
              "keyAgreement, keyCertSign, cRLSign, encipherOnly, decipherOnly");
    EXPECT_EQ(x509::KeyUsageText(x509::kKuKeyCertSign | x509::kKuCrlSign), "keyCertSign, cRLSign");

    // PEM as OpenSSL writes it; the fixtures' sizes leave 0, 1 and 2 bytes over the last
    // group of three.
    std::set<std::size_t> remainders;
    for (const FixtureFields& f : kFixtures) {
        const Bytes der = ReadFixture(f.file);
        remainders.insert(der.size() % 3);
        EXPECT_EQ(x509::PemText(der), OpenSslPem(der)) << f.file;
    }
    EXPECT_EQ(remainders, (std::set<std::size_t>{0, 1, 2}));
}

TEST(ValidityMarkTest, ThirtyDaysRoundedUpThenExpiredFromNotAfterOn) {
    struct Case {
        const char* what;
        std::int64_t now;
        RowMark mark;
        std::string tooltip;
    };
    const std::string expired = "憑證已過期 (2025-12-31)";
    for (const Case& c : {
             Case{"a year before", kDoraNotAfter - 365 * kDay, RowMark::None, ""},
             Case{"a second over 30 days", kDoraNotAfter - 30 * kDay - 1, RowMark::None, ""},
             Case{"exactly 30 days", kDoraNotAfter - 30 * kDay, RowMark::Expiring,
                  "憑證將於 30 天後到期"},
             Case{"29 days and a second", kDoraNotAfter - 29 * kDay - 1, RowMark::Expiring,
                  "憑證將於 30 天後到期"},
             Case{"11.5 days", kDecember20, RowMark::Expiring, "憑證將於 12 天後到期"},
             Case{"the day of expiry", kDoraNotAfter - 3600, RowMark::Expiring,
                  "憑證將於 1 天後到期"},
             Case{"its last second", kDoraNotAfter - 1, RowMark::Expiring, "憑證將於 1 天後到期"},
             Case{"at not-after", kDoraNotAfter, RowMark::Expired, expired},
             Case{"long expired", kDoraNotAfter + 400 * kDay, RowMark::Expired, expired},
         }) {
        const ValidityMark m = ValidityMarkFor(kDoraNotAfter, c.now);
        EXPECT_EQ(m.mark, c.mark) << c.what;
        EXPECT_EQ(m.tooltip, c.tooltip) << c.what;
    }
}

// The dialog over a T=1 card of containers, decoding with OpenSSL, its clock settable.
class CertRowsTest : public ::testing::Test, public test::DialogHarness<> {
  protected:
    void SetUp() override {
        pcsc.activeProtocol = pcsc::kProtocolT1;
        pcsc.responder = [this](const Bytes& c) { return card(c); };
        Start({.certs = &certs, .now = [this] { return now; }});
        ASSERT_EQ(dlg->ConnectCard(), 0);
    }
    void TearDown() override { dlg.reset(); }

    void Add(const std::string& name, std::uint16_t file, Bytes certificate) {
        card.containers.push_back({name, file, std::move(certificate)});
    }
    // Dora (expiring at the clock's default), a placeholder, bytes that do not decode, Evan
    // (expired): rows Dora, junk, Evan, spare.
    void AddMixed() {
        Add("dora", 0x8001, ReadFixture("ec-ku.der"));
        Add("spare", 0x8002, {});
        Add("junk", 0x8003, ReadFixture("not-a-cert.der"));
        Add("evan", 0x8004, ReadFixture("rsa-2048.der"));
    }
    bool Has(int row) { return dlg->ListItemCommandEnabled(res::IDC_LIST_CERTS, row, kView); }
    void Command(int row, std::uint32_t command) {
        dlg->OnListItemCommand(res::IDC_LIST_CERTS, row, command);
    }

    static constexpr std::uint32_t kView = res::ID_CERT_VIEW;
    static constexpr std::uint32_t kExport = res::ID_CERT_EXPORT;
    test::QueryCard card;
    x509::OpenSslCertApi certs;
    std::int64_t now = kDecember20;
};

TEST_F(CertRowsTest, EveryDecodedRowHasDetailsTheEleventhIncluded) {
    for (int k = 0; k < 11; ++k) {
        Add("c" + std::to_string(k), static_cast<std::uint16_t>(0x8001 + k),
            test::MakeCertificate("holder " + std::to_string(k)));
    }
    ASSERT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(dlg->m_nCertCount, 10);
    ASSERT_EQ(dlg->m_certRows.size(), 11u);
    for (int row = 0; row < 11; ++row) {
        EXPECT_TRUE(Has(row)) << row;
    }
    EXPECT_EQ(dlg->m_certRows[10]->file, "800B");
    EXPECT_EQ(dlg->m_certRows[10]->der, card.containers[10].certificate);
    Command(10, kView);
    ASSERT_EQ(wnd.templateDialogs.size(), 1u);
    EXPECT_EQ(wnd.templateDialogs[0].texts[res::IDC_DETAILS_SUBJECT], "CN=holder 10");
}

TEST_F(CertRowsTest, PlaceholdersAndUndecodedCertificatesHaveNoDetails) {
    AddMixed();
    ASSERT_EQ(dlg->ReadCardCertificates(), 0);
    // Rows as the list shows them: certificate rows in directory order, then the placeholder.
    ASSERT_EQ(wnd.rows.size(), 4u);
    ASSERT_EQ(dlg->m_certRows.size(), 4u);
    const bool has[] = {true, false, true, false};
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(Has(row), has[row]) << row;
        EXPECT_EQ(dlg->ListItemCommandEnabled(res::IDC_LIST_CERTS, row, kExport), has[row]);
        if (const auto& r = dlg->m_certRows[static_cast<std::size_t>(row)]) {
            // What is kept matches what the row shows.
            EXPECT_EQ(r->file, wnd.rows[static_cast<std::size_t>(row)][0]);
            EXPECT_EQ(r->container, wnd.rows[static_cast<std::size_t>(row)][4]);
            EXPECT_EQ(r->name, wnd.rows[static_cast<std::size_t>(row)][3]);
        }
    }
    EXPECT_EQ(wnd.rows[3][4], "spare");
    EXPECT_FALSE(Has(-1));
    EXPECT_FALSE(Has(4));
    EXPECT_FALSE(dlg->ListItemCommandEnabled(res::IDC_COMBO_READER, 0, kView));
    EXPECT_FALSE(dlg->ListItemCommandEnabled(res::IDC_LIST_CERTS, 0, res::IDM_ABOUTBOX));
    Forget();
    for (int row : {1, 3, 7}) {
        Command(row, kView);
        Command(row, kExport);
    }
    EXPECT_TRUE(wnd.calls.empty());

    // A new query replaces the rows and what is kept beside them.
    card.containers.erase(card.containers.begin());
    ASSERT_EQ(dlg->ReadCardCertificates(), 0);
    ASSERT_EQ(dlg->m_certRows.size(), 3u);
    EXPECT_FALSE(Has(0));
    wnd.templateDialogs.clear();
    Command(1, kView);
    ASSERT_EQ(wnd.templateDialogs.size(), 1u);
    EXPECT_EQ(wnd.templateDialogs[0].texts[res::IDC_DETAILS_SUBJECT], "CN=Evan Ho,O=Quorlin Test");
}

TEST_F(CertRowsTest, MarksFollowTheClockAndTheRowTextsStayTheCards) {
    AddMixed();
    Add("holder", 0x8005, test::MakeCertificate("holder"));  // valid for a year from today
    struct Case {
        std::int64_t now;
        std::vector<std::string> tooltips;  // per row; empty: no mark
    };
    for (const Case& c : {
             Case{kDecember20, {"憑證將於 12 天後到期", "", "憑證已過期 (2025-03-01)", "", ""}},
             Case{kDoraNotAfter + 1,
                  {"憑證已過期 (2025-12-31)", "", "憑證已過期 (2025-03-01)", "", ""}},
             Case{kDoraNotAfter - 31 * kDay, {"", "", "憑證已過期 (2025-03-01)", "", ""}},
         }) {
        now = c.now;
        ASSERT_EQ(dlg->ReadCardCertificates(), 0);
        ASSERT_EQ(wnd.rowMarks.size(), c.tooltips.size());
        for (std::size_t row = 0; row < c.tooltips.size(); ++row) {
            const test::RowMarkCall& m = wnd.rowMarks[row];
            EXPECT_EQ(m.tooltip, c.tooltips[row]) << row;
            RowMark want = RowMark::None;
            if (!c.tooltips[row].empty()) {
                const bool expired = c.tooltips[row].find("已過期") != std::string::npos;
                want = expired ? RowMark::Expired : RowMark::Expiring;
            }
            EXPECT_EQ(m.mark, want) << row;
            if (want != RowMark::None) {
                EXPECT_EQ(m.subItem, 3) << row;  // before the common name
            }
            // The columns keep the card's own dates, not the certificate's.
            if (wnd.rows[row][4] != "spare") {
                EXPECT_EQ(wnd.rows[row][1], "20250101");
                EXPECT_EQ(wnd.rows[row][2], "20351231");
            }
        }
    }
}

TEST_F(CertRowsTest, DetailsShowTheDecodersFieldsWithoutAskingTheCard) {
    AddMixed();
    ASSERT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(wnd.rowMenu.size(), 2u);
    EXPECT_EQ(wnd.rowMenu[0].command, kView);
    EXPECT_EQ(wnd.rowMenu[0].text, "檢視憑證…");
    EXPECT_EQ(wnd.rowMenu[1].command, kExport);
    EXPECT_EQ(wnd.rowMenu[1].text, "匯出憑證…");
    Forget();

    Command(0, kView);
    Command(2, kView);
    EXPECT_TRUE(pcsc.commands.empty());
    ASSERT_EQ(wnd.templateDialogs.size(), 2u);
    EXPECT_EQ(wnd.templateDialogs[0].templateId, res::IDD_CERT_DETAILS);
    const std::map<int, std::string> dora = {
        {res::IDC_DETAILS_SUBJECT, "CN=Dora Wu,O=Quorlin Test"},
        {res::IDC_DETAILS_ISSUER, "CN=Dora Wu,O=Quorlin Test"},
        {res::IDC_DETAILS_SERIAL, "14:59:61:24:81:D9:8B:C7"},
        {res::IDC_DETAILS_NOTBEFORE, "2024-01-01 00:00:00 UTC"},
        {res::IDC_DETAILS_NOTAFTER, "2025-12-31 23:59:59 UTC"},
        {res::IDC_DETAILS_KEY, "EC P-256 (256 位元)"},
        {res::IDC_DETAILS_KEYUSAGE, "digitalSignature, keyAgreement"},
        {res::IDC_DETAILS_EXTKEYUSAGE, "clientAuth, emailProtection, msSmartcardLogin"},
        {res::IDC_DETAILS_SHA1, kFixtures[0].sha1},
        {res::IDC_DETAILS_SHA256, kFixtures[0].sha256},
        {res::IDC_DETAILS_FILE, "8001"},
        {res::IDC_DETAILS_CONTAINER, "dora"},
    };
    EXPECT_EQ(wnd.templateDialogs[0].texts, dora);
    std::map<int, std::string> evan = wnd.templateDialogs[1].texts;
    EXPECT_EQ(evan[res::IDC_DETAILS_KEY], "RSA (2048 位元)");
    EXPECT_EQ(evan[res::IDC_DETAILS_KEYUSAGE], res::kNotPresent);
    EXPECT_EQ(evan[res::IDC_DETAILS_EXTKEYUSAGE], res::kNotPresent);
    EXPECT_EQ(evan[res::IDC_DETAILS_FILE], "8004");
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        out.insert(e.path().filename().string());
    }
    return out;
}

TEST_F(CertRowsTest, ExportWritesTheFilterFormatAndReplacesOnlyWhenConfirmed) {
    AddMixed();
    ASSERT_EQ(dlg->ReadCardCertificates(), 0);
    const Bytes der = ReadFixture("ec-ku.der");
    const std::string pem = x509::PemText(der);
    const std::string derText(der.begin(), der.end());
    struct Case {
        const char* what;
        std::optional<SaveChoice> choice;  // path relative to the directory
        bool existing;                     // "old" is there first, mode 0600
        bool yes;
        const char* written;  // the file that holds the result; null: none
        std::string content;
        bool asked;
    };
    for (const Case& c : {
             Case{"PEM gets its suffix", SaveChoice{"dora", 0}, false, false, "dora.pem", pem,
                  false},
             Case{"a PEM suffix stays", SaveChoice{"dora.CRT", 0}, false, false, "dora.CRT", pem,
                  false},
             Case{"DER", SaveChoice{"dora.der", 1}, false, false, "dora.der", derText, false},
             Case{"DER gets its suffix", SaveChoice{"dora", 1}, false, false, "dora.cer", derText,
                  false},
             Case{"the filter decides", SaveChoice{"dora.der", 0}, false, false, "dora.der.pem",
                  pem, false},
             Case{"No keeps the file", SaveChoice{"old.pem", 0}, true, false, "old.pem", "old",
                  true},
             Case{"Yes replaces it", SaveChoice{"old.pem", 0}, true, true, "old.pem", pem, true},
             Case{"cancelled", std::nullopt, false, true, nullptr, "", false},
         }) {
        SCOPED_TRACE(c.what);
        const test::TempDir dir("quorlin-export");
        if (c.existing) {
            dir.Write("old.pem", "old");
            ::chmod(dir.Join("old.pem").c_str(), 0600);
        }
        wnd.saveChoice = c.choice;
        if (c.choice) {
            wnd.saveChoice->path = dir.Join(c.choice->path);
        }
        wnd.answerYes = c.yes;
        wnd.questions.clear();
        Forget();
        Command(0, kExport);
        EXPECT_TRUE(wnd.messages.empty());
        EXPECT_EQ(wnd.questions.size(), c.asked ? 1u : 0u);
        if (c.asked && !wnd.questions.empty()) {
            EXPECT_EQ(wnd.questions[0], dir.Join(c.written) + " 已存在。\n要取代它嗎？");
        }
        // Nothing else is left in the directory, a temporary file least of all.
        std::set<std::string> want;
        if (c.written) {
            want.insert(c.written);
            EXPECT_EQ(FileText(dir.Join(c.written)), c.content);
        }
        EXPECT_EQ(Entries(dir.Path()), want);
        if (c.existing) {
            struct stat st {};
            ASSERT_EQ(::stat(dir.Join("old.pem").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
    }
    const test::SaveDialogCall& asked = wnd.saveDialogs.back();
    EXPECT_EQ(asked.caption, res::kExportCaption);
    EXPECT_EQ(asked.fileName, "Dora Wu");
    ASSERT_EQ(asked.filters.size(), 2u);
    EXPECT_EQ(asked.filters[0].name, "PEM 憑證");
    EXPECT_EQ(asked.filters[0].suffixes, (std::vector<std::string>{".pem", ".crt"}));
    EXPECT_EQ(asked.filters[1].name, "DER 憑證");
    EXPECT_EQ(asked.filters[1].suffixes, (std::vector<std::string>{".cer", ".der"}));
}

TEST_F(CertRowsTest, AFailedExportShowsTheSystemErrorAndLeavesNoFile) {
    AddMixed();
    ASSERT_EQ(dlg->ReadCardCertificates(), 0);
    const test::TempDir dir("quorlin-export");
    const std::string path = dir.Join("missing/dora.pem");
    wnd.saveChoice = SaveChoice{path, 0};
    Command(0, kExport);
    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, "無法匯出憑證至 " + path + "\nNo such file or directory");
    EXPECT_EQ(wnd.messages[0].caption, res::kExportCaption);
    EXPECT_EQ(wnd.messages[0].icon, MsgIcon::Exclamation);
    EXPECT_TRUE(Entries(dir.Path()).empty());
}

TEST_F(CertRowsTest, TheDetailsDialogExportsItsCertificate) {
    Add("dora", 0x8001, ReadFixture("ec-ku.der"));
    Add("nameless", 0x8002, test::MakeNamelessCertificate());
    ASSERT_EQ(dlg->ReadCardCertificates(), 0);
    const test::TempDir dir("quorlin-export");
    wnd.onTemplateDialog = [&](const test::TemplateDialogCall&,
                               const std::function<void(int)>& press) {
        press(res::IDC_BTN_EXPORT);
    };
    wnd.saveChoice = SaveChoice{dir.Join("first"), 1};
    Command(0, kView);
    wnd.saveChoice = SaveChoice{dir.Join("second"), 0};
    Command(1, kView);
    ASSERT_EQ(wnd.saveDialogs.size(), 2u);
    EXPECT_EQ(wnd.saveDialogs[0].fileName, "Dora Wu");
    EXPECT_EQ(wnd.saveDialogs[1].fileName, "8002");  // no display name: the card file
    const Bytes der = ReadFixture("ec-ku.der");
    EXPECT_EQ(FileText(dir.Join("first.cer")), std::string(der.begin(), der.end()));
    EXPECT_EQ(FileText(dir.Join("second.pem")), x509::PemText(card.containers[1].certificate));
}

}  // namespace
}  // namespace quorlin
