// The certificate query: the chunked reads of the directory and the certificates, the
// record loop, the rows and their order, the stored certificates, messages and captions.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "fakes/EnginePcsc.h"
#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "platform/x509/OpenSslCertApi.h"
#include "query_card.h"
#include "query_certs.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

using test::Answer;
using test::Bytes;
using test::Hex;
using test::QueryCard;
using test::QueryContainer;
using test::ToHex;

// The real decoder, with what it was handed on record.
class RecordingCerts : public x509::CertApi {
  public:
    const x509::CertContext* CertCreateCertificateContext(std::uint32_t encoding,
                                                          const std::uint8_t* data,
                                                          std::uint32_t length) override {
        encodings.push_back(encoding);
        decoded.emplace_back(data, data + length);
        return real.CertCreateCertificateContext(encoding, data, length);
    }
    std::uint32_t CertGetNameStringA(const x509::CertContext* cert, std::uint32_t type,
                                     std::uint32_t flags, const void* para, char* name,
                                     std::uint32_t size) override {
        nameSizes.push_back(size);
        return real.CertGetNameStringA(cert, type, flags, para, name, size);
    }
    bool CertFreeCertificateContext(const x509::CertContext* cert) override {
        return real.CertFreeCertificateContext(cert);
    }
    const x509::CertContext* CertDuplicateCertificateContext(
        const x509::CertContext* cert) override {
        return real.CertDuplicateCertificateContext(cert);
    }

    x509::OpenSslCertApi real;
    std::vector<std::uint32_t> encodings;
    std::vector<Bytes> decoded;
    std::vector<std::uint32_t> nameSizes;
};

Answer Reply(const std::string& hex) {
    return Answer{pcsc::kSuccess, Hex(hex)};
}
Answer Reply(Bytes bytes) {
    return Answer{pcsc::kSuccess, std::move(bytes)};
}

// A chunk reply: next-length byte, data, 90 00.
Answer ChunkReply(std::uint8_t next, const Bytes& data) {
    Bytes r{next};
    r.insert(r.end(), data.begin(), data.end());
    r.push_back(0x90);
    r.push_back(0x00);
    return Reply(r);
}

QueryContainer WithCert(const std::string& name, std::uint16_t file) {
    QueryContainer c;
    c.name = name;
    c.file = file;
    c.certificate = test::MakeCertificate("CN of " + name);
    return c;
}

QueryContainer Placeholder(const std::string& name, std::uint16_t file) {
    QueryContainer c;
    c.name = name;
    c.file = file;
    return c;
}

class QueryTest : public ::testing::Test {
  protected:
    void SetUp() override { Connect(pcsc::kProtocolT1); }

    void Connect(std::uint32_t protocol) {
        dlg.reset();
        pcsc.activeProtocol = protocol;
        card.t0 = protocol == pcsc::kProtocolT0;
        pcsc.responder = [this](const Bytes& c) { return card(c); };
        Platform platform;
        platform.pcsc = &pcsc;
        platform.certs = &certs;
        dlg = std::make_unique<CQuorlinDlg>(wnd, platform);
        dlg->OnInitDialog();
        ASSERT_EQ(dlg->ConnectCard(), 0);
        Forget();
    }

    void Forget() {
        pcsc.commands.clear();
        wnd.calls.clear();
        wnd.messages.clear();
        certs.decoded.clear();
    }

    std::vector<std::string> Wire() const {
        std::vector<std::string> out;
        for (const Bytes& c : pcsc.commands) {
            out.push_back(ToHex(c));
        }
        return out;
    }

    std::size_t CountIns(std::uint8_t ins) const {
        std::size_t n = 0;
        for (const Bytes& c : pcsc.commands) {
            n += c.size() > 1 && c[1] == ins;
        }
        return n;
    }

    std::vector<std::string> Column(int sub) const {
        std::vector<std::string> out;
        for (const auto& row : wnd.rows) {
            out.push_back(row[static_cast<std::size_t>(sub)]);
        }
        return out;
    }

    bool EnabledRegister() const {
        for (const std::string& c : wnd.calls) {
            if (c == "Enable:1020:1") {
                return true;
            }
        }
        return false;
    }

    std::string Slot(int k) const {
        return std::string(reinterpret_cast<const char*>(dlg->m_containerNames) + 36 * k, 36);
    }

    test::FakeWindow wnd;
    test::ScriptedPcsc pcsc;
    QueryCard card;
    RecordingCerts certs;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(QueryTest, RemovedCardShowsBothDirectoryMessagesAndEmptiesTheList) {
    card.Add(WithCert("Alice", 0x8001));
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    ASSERT_EQ(dlg->m_nCertCount, 1);
    Forget();

    pcsc.failures["SCardTransmit"] = pcsc::kWRemovedCard;
    std::vector<std::string> rowsWhenShown;
    wnd.onMessageBox = [&](const test::MessageBoxCall&) {
        rowsWhenShown.push_back(std::to_string(wnd.rows.size()));
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    ASSERT_EQ(wnd.messages.size(), 2u);
    EXPECT_EQ(wnd.messages[0].text, res::kEf8010Missing);
    EXPECT_EQ(wnd.messages[0].caption, std::string(res::kCardToolTitle));
    EXPECT_EQ(wnd.messages[1].text, res::kDirReadError);
    EXPECT_EQ(wnd.messages[1].caption, std::string(res::kStdTitle));
    for (const auto& m : wnd.messages) {
        EXPECT_EQ(m.icon, MsgIcon::None);
    }
    // The earlier rows stay while the messages are up; the list is emptied after.
    EXPECT_EQ(rowsWhenShown, (std::vector<std::string>{"1", "1"}));
    EXPECT_TRUE(wnd.rows.empty());
    EXPECT_EQ(dlg->m_nCertCount, 0);
    EXPECT_EQ(dlg->m_certs[0], nullptr);
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 0u);  // the earlier handle was released
    EXPECT_FALSE(EnabledRegister());
}

TEST_F(QueryTest, DirectoryOfOneZeroByteHasNoRecords) {
    card.directory = Bytes{};
    wnd.rows.push_back({"8001", "", "", "", "old"});
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Wire(), (std::vector<std::string>{"00 A4 02 00 02 80 10 00", "00 74 00 00 FF"}));
    EXPECT_TRUE(wnd.rows.empty());
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_EQ(dlg->m_nCertCount, 0);
    EXPECT_FALSE(EnabledRegister());
}

TEST_F(QueryTest, DirectoryInTwoChunksGivesTwoRecords) {
    card.Add(WithCert("First", 0x8001));
    card.Add(Placeholder("Second", 0x8002));
    card.directoryChunk = 36;
    // 37 bytes with next-length 25, then 37 bytes with next-length 0.
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    const std::vector<std::string> wire = Wire();
    ASSERT_GE(wire.size(), 3u);
    EXPECT_EQ(wire[1], "00 74 00 00 FF");
    EXPECT_EQ(wire[2], "00 74 01 01 25");
    EXPECT_EQ(CountIns(0x74), 2u);
    EXPECT_EQ(CountIns(0x7E), 2u);
    EXPECT_EQ(Column(4), (std::vector<std::string>{"First", "Second"}));
}

TEST_F(QueryTest, DirectoryTrailingBytesAreIgnored) {
    card.Add(WithCert("One", 0x8001));
    card.Add(WithCert("Two", 0x8002));
    card.directory = card.Directory();
    card.directory->resize(100, 0x41);  // 28 bytes of a third record
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(CountIns(0x7E), 2u);
    EXPECT_EQ(dlg->m_nCertCount, 2);
    EXPECT_TRUE(EnabledRegister());
}

TEST_F(QueryTest, FailingSecondDirectoryCommandKeepsTheFirstRecords) {
    card.Add(WithCert("One", 0x8001));
    card.Add(Placeholder("Two", 0x8002));
    card.directory = card.Directory();
    card.directory->resize(72 + 20, 0x41);
    card.hook = [](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] == 0x74 && c[2] == 0x01) {
            return Reply("6A 82");
        }
        return std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, res::kDirNextError);
    EXPECT_EQ(wnd.messages[0].caption, std::string(res::kStdTitle));
    EXPECT_EQ(Column(4), (std::vector<std::string>{"One", "Two"}));
}

TEST_F(QueryTest, LookupChoosesTheSecondFileWhenItsHighByteIsSet) {
    card.Add(WithCert("A", 0x8001));
    card.Add(WithCert("B", 0x8002));
    card.hook = [](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] != 0x7E) {
            return std::nullopt;
        }
        Bytes reply = test::LookupReply(0x8001);
        reply[41] = c[5] == 'A' ? 0x00 : 0x80;
        reply[42] = c[5] == 'A' ? 0x05 : 0x02;
        reply.push_back(0x90);
        reply.push_back(0x00);
        return Reply(reply);
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(0), (std::vector<std::string>{"8001", "8002"}));
    std::vector<std::string> selects;
    for (const std::string& c : Wire()) {
        if (c.rfind("00 A4 02 00 02", 0) == 0) {
            selects.push_back(c.substr(15, 5));
        }
    }
    EXPECT_EQ(selects, (std::vector<std::string>{"80 10", "80 10", "80 01", "80 10", "80 02"}));
}

TEST_F(QueryTest, KeyInformationDecidesTheRow) {
    card.Add(Placeholder("Placeholder", 0x8001));
    QueryContainer unused = Placeholder("Unused", 0x8002);
    unused.inUse = 0;
    card.Add(unused);
    QueryContainer loaded = WithCert("Loaded", 0x8003);
    loaded.start = "20240102";
    loaded.expiry = "20290102";
    card.Add(loaded);
    card.Add(WithCert("Long", 0x8004));
    card.hook = [this](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] == 0x4C && pcsc.commands.size() > 1 &&
            ToHex(pcsc.commands[pcsc.commands.size() - 2]) == "00 A4 02 00 02 80 04 00") {
            Bytes ki = test::KeyInfo(card.containers[3]);
            ki.resize(30);
            ki.push_back(0x90);
            ki.push_back(0x00);
            return Reply(ki);
        }
        return std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    ASSERT_EQ(wnd.rows.size(), 2u);
    EXPECT_EQ(wnd.rows[0],
              (std::vector<std::string>{"8003", "20240102", "20290102", "CN of Loaded", "Loaded"}));
    EXPECT_EQ(wnd.rows[1], (std::vector<std::string>{"8001", "--------", "--------",
                                                     res::kCertNotLoaded, "Placeholder"}));
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_EQ(certs.decoded.size(), 1u);  // only the loaded one is read
    EXPECT_EQ(dlg->m_nCertCount, 1);
}

TEST_F(QueryTest, CertificateRowsFirstThenPlaceholdersInReverse) {
    card.Add(WithCert("r1", 0x8001));
    card.Add(Placeholder("r2", 0x8002));
    card.Add(Placeholder("r3", 0x8003));
    card.Add(WithCert("r4", 0x8004));
    card.Add(Placeholder("r5", 0x8005));
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(4), (std::vector<std::string>{"r1", "r4", "r5", "r3", "r2"}));
    // Each row: inserted with sub-item 0, then 1, 2, 4, 3 at the same position; the
    // position advances after certificate rows only.
    std::vector<std::string> listCalls;
    for (const std::string& c : wnd.calls) {
        if (c.rfind("ListInsert:", 0) == 0 || c.rfind("ListSet:", 0) == 0) {
            listCalls.push_back(c);
        }
    }
    std::vector<std::string> expected;
    auto row = [&](int at, const std::string& ef, const std::string& name, bool cert) {
        const std::string p = "ListSet:1014:" + std::to_string(at) + ":";
        expected.push_back("ListInsert:1014:" + std::to_string(at) + ":" + ef);
        expected.push_back(p + "1:" + (cert ? "20250101" : res::kNoDate));
        expected.push_back(p + "2:" + (cert ? "20351231" : res::kNoDate));
        expected.push_back(p + "4:" + name);
        expected.push_back(p + "3:" + (cert ? "CN of " + name : res::kCertNotLoaded));
    };
    row(0, "8001", "r1", true);
    row(1, "8002", "r2", false);
    row(1, "8003", "r3", false);
    row(1, "8004", "r4", true);
    row(2, "8005", "r5", false);
    EXPECT_EQ(listCalls, expected);
    EXPECT_EQ(dlg->m_nCertCount, 2);
    const std::string slot0 = Slot(0);
    EXPECT_EQ(Bytes(slot0.begin(), slot0.end()), test::Record("r1"));
    EXPECT_EQ(std::string(Slot(1).c_str()), "r4");
}

TEST_F(QueryTest, CertificateAssembledFromThreeChunks) {
    QueryContainer c = Placeholder("Chunks", 0x8001);
    c.certificate = test::MakeCertificateOfSize("Chunked", 479);
    card.Add(c);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    std::vector<std::string> reads;
    for (const std::string& w : Wire()) {
        if (w.rfind("00 44", 0) == 0) {
            reads.push_back(w);
        }
    }
    EXPECT_EQ(reads,
              (std::vector<std::string>{"00 44 00 01 C9", "00 44 01 01 C9", "00 44 01 01 50"}));
    ASSERT_EQ(certs.decoded.size(), 1u);
    EXPECT_EQ(certs.decoded[0], c.certificate);
    EXPECT_EQ(certs.encodings[0], 0x00010001u);
    EXPECT_EQ(Column(3), (std::vector<std::string>{"Chunked"}));
}

TEST_F(QueryTest, ShortFirstChunkHandsTwoHundredBytesToTheDecoder) {
    QueryContainer c = Placeholder("Short", 0x8001);
    c.certificate = Bytes(149, 0x30);
    card.Add(c);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    ASSERT_EQ(certs.decoded.size(), 1u);
    Bytes expected(149, 0x30);
    expected.resize(200, 0x00);
    EXPECT_EQ(certs.decoded[0], expected);
    EXPECT_EQ(CountIns(0x44), 1u);

    // A real certificate that short decodes from its zero padding.
    card.containers[0].certificate = test::MakeNamelessCertificate();
    ASSERT_LT(card.containers[0].certificate.size(), 200u);
    Forget();
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(dlg->m_nCertCount, 1);
    EXPECT_EQ(dlg->m_certs[0]->encoded, card.containers[0].certificate);
}

TEST_F(QueryTest, UnselectableObjectFileStopsTheQuery) {
    card.Add(WithCert("one", 0x8001));
    card.Add(Placeholder("two", 0x8002));
    card.Add(WithCert("three", 0x8003));
    card.Add(WithCert("four", 0x8004));
    card.unselectable = {0x8003};
    EXPECT_EQ(dlg->ReadCardCertificates(), -1);
    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, res::kCertFileSelectError);
    EXPECT_EQ(wnd.messages[0].caption, std::string(res::kStdTitle));
    EXPECT_EQ(Column(4), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(dlg->m_nCertCount, 1);
    EXPECT_EQ(Wire().back(), "00 A4 02 00 02 80 03 00");
    EXPECT_FALSE(EnabledRegister());
}

TEST_F(QueryTest, UndecodableCertificateKeepsItsRowWithoutAName) {
    QueryContainer bad = Placeholder("bad", 0x8001);
    bad.certificate = Bytes(300, 0x5A);
    card.Add(bad);
    card.Add(WithCert("good", 0x8002));
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(4), (std::vector<std::string>{"bad", "good"}));
    EXPECT_EQ(Column(3), (std::vector<std::string>{"", "CN of good"}));
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_EQ(dlg->m_nCertCount, 1);
    EXPECT_EQ(std::string(Slot(0).c_str()), "good");
}

TEST_F(QueryTest, CertificateReadFailures) {
    card.Add(WithCert("first", 0x8001));
    card.Add(WithCert("second", 0x8002));
    card.containers[1].certificate = test::MakeCertificate("CN of second", 300);
    card.hook = [this](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] != 0x44) {
            return std::nullopt;
        }
        const bool first =
            ToHex(pcsc.commands[pcsc.commands.size() - 3]).find("80 01") != std::string::npos;
        if (first && c[2] == 0x00) {
            return Reply("6A 82");
        }
        if (!first && c[2] == 0x01) {
            return Reply("69 85");
        }
        return std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(wnd.MessageTexts(),
              (std::vector<std::string>{res::kCertReadError, res::kCertNextError}));
    ASSERT_EQ(certs.decoded.size(), 1u);  // the second, from its first 200 bytes
    EXPECT_EQ(certs.decoded[0].size(), 200u);
    EXPECT_EQ(Column(3), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(dlg->m_nCertCount, 0);
}

TEST_F(QueryTest, FullLengthContainerNameHasNoTerminator) {
    const std::string name36 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    card.Add(WithCert(name36, 0x8001));
    card.Add(WithCert("next", 0x8002));
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(4), (std::vector<std::string>{name36, "next"}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dlg->m_containerNames), 40),
              name36 + std::string("next"));
}

TEST_F(QueryTest, LongSubjectNameIsCutTo127Characters) {
    QueryContainer c = Placeholder("long", 0x8001);
    c.certificate = test::MakeCertificate(std::string(200, 'n'));
    card.Add(c);
    QueryContainer wide = Placeholder("wide", 0x8002);
    std::string cjk;
    for (int i = 0; i < 130; ++i) {
        cjk += "憑";
    }
    wide.certificate = test::MakeCertificate(cjk);
    card.Add(wide);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(3)[0], std::string(127, 'n'));
    EXPECT_EQ(Column(3)[1], cjk.substr(0, 127 * 3));
}

TEST_F(QueryTest, NamelessCertificateIsStillStoredWithItsContainer) {
    QueryContainer c = Placeholder("nameless", 0x8001);
    c.certificate = test::MakeNamelessCertificate();
    card.Add(c);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "CertGetName failed. \n");
    EXPECT_EQ(Column(3), (std::vector<std::string>{""}));
    EXPECT_EQ(dlg->m_nCertCount, 1);
    EXPECT_EQ(std::string(Slot(0).c_str()), "nameless");
    EXPECT_TRUE(EnabledRegister());
}

TEST_F(QueryTest, CardTextIsCodePage950) {
    QueryContainer c = WithCert("", 0x8001);
    c.name = "\xB4\xFA\xB8\xD5-key";  // Big5 for 測試
    c.start = "\xA4\xA4\xA4\xE5";     // Big5 for 中文
    card.Add(c);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(4), (std::vector<std::string>{"測試-key"}));
    EXPECT_EQ(Column(1), (std::vector<std::string>{"中文"}));
    EXPECT_EQ(Slot(0).substr(0, 8), c.name);  // the raw bytes are kept
}

TEST_F(QueryTest, ReselectionFailureBeforeARecordIsReportedAndTheRecordRead) {
    card.Add(WithCert("one", 0x8001));
    card.hook = [](const Bytes& c, std::size_t n) -> std::optional<Answer> {
        if (n == 2 && c[1] == 0xA4) {
            return Reply("6A 82");
        }
        return std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    ASSERT_EQ(wnd.messages.size(), 1u);
    EXPECT_EQ(wnd.messages[0].text, res::kEf8010Missing);
    EXPECT_EQ(wnd.messages[0].caption, std::string(res::kStdTitle));
    EXPECT_EQ(dlg->m_nCertCount, 1);
}

TEST_F(QueryTest, StatusWordWithoutDataEndsAReadWithoutRepeating) {
    card.Add(WithCert("one", 0x8001));
    card.Add(WithCert("two", 0x8002));
    card.directoryChunk = 36;
    card.hook = [](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if ((c[1] == 0x74 || c[1] == 0x44) && c[2] == 0x01) {
            return Reply("90 00");
        }
        return std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(CountIns(0x74), 2u);
    EXPECT_EQ(CountIns(0x44), 2u);  // the first record only: one record in the directory
    EXPECT_EQ(Column(4), (std::vector<std::string>{"one"}));
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(QueryTest, WaitCursorAndRegisterButton) {
    card.Add(WithCert("one", 0x8001));
    dlg->OnQueryCertificates();
    std::vector<std::string> cursor;
    for (const std::string& c : wnd.calls) {
        if (c.find("Wait") != std::string::npos || c == "Enable:1020:1") {
            cursor.push_back(c);
        }
    }
    EXPECT_EQ(cursor,
              (std::vector<std::string>{"BeginWait", "Enable:1020:1", "RestoreWait", "EndWait"}));
    EXPECT_EQ(wnd.waitCursorDepth, 0);
}

TEST_F(QueryTest, QueryUnderT0) {
    Connect(pcsc::kProtocolT0);
    card.Add(WithCert("one", 0x8001));
    card.Add(Placeholder("two", 0x8002));
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    const std::string lookup = "00 7E 00 00 24 " + ToHex(test::Record("one"));
    const std::vector<std::string> wire = Wire();
    EXPECT_EQ(wire[1], "00 74 00 00 FF");
    EXPECT_EQ(wire[3], lookup);
    EXPECT_EQ(wire[4], "00 C0 00 00 2B");
    EXPECT_EQ(Column(4), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(Column(3)[0], "CN of one");
}

TEST_F(QueryTest, HandlesAreReleasedByTheNextQueryAndTheDialog) {
    card.Add(WithCert("one", 0x8001));
    card.Add(WithCert("two", 0x8002));
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 2u);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 2u);
    dlg.reset();
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 0u);
}

// The card engine's demo card (T=0): what the simulator holds is what the list shows.
TEST(EngineQueryTest, DemoCardListsItsContainers) {
    test::EnginePcsc pcsc("demo.json");
    x509::OpenSslCertApi certs;
    test::FakeWindow wnd;
    Platform platform;
    platform.pcsc = &pcsc;
    platform.certs = &certs;
    CQuorlinDlg dlg(wnd, platform);
    dlg.OnInitDialog();
    ASSERT_EQ(dlg.ConnectCard(), 0);
    ASSERT_EQ(dlg.SelectApplet(), 0);
    dlg.OnQueryCertificates();
    const std::string none = res::kNoDate;
    EXPECT_EQ(wnd.rows, (std::vector<std::vector<std::string>>{
                            {"8001", "20250101", "20351231", "Alice Chen", "Quorlin-Alice"},
                            {"8003", "20250301", "20280228", "Bob Lin", "Quorlin-Bob"},
                            {"8004", "20260115", "20310114", "陳小明", "Quorlin-Carol"},
                            {"8002", none, none, res::kCertNotLoaded, "Quorlin-Spare"}}));
    EXPECT_EQ(dlg.m_nCertCount, 3);
    EXPECT_TRUE(wnd.messages.empty());
}

TEST(BinToHexTest, WritesUpperCaseDigitsAndTheTerminator) {
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(CQuorlinDlg::BinToHex(0, nullptr, text), text);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], '#');
    const std::uint8_t bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(CQuorlinDlg::BinToHex(2, bytes, text), text + 4);
    EXPECT_STREQ(text, "0AFF");
    EXPECT_EQ(text[5], '#');
}

// Cards that never stop, send too much or hold too many: the query ends and nothing is
// written outside its areas (the sanitizer build checks the writes).
class HostileQueryTest : public QueryTest {};

TEST_F(HostileQueryTest, EndlessDirectoryFillsItsAreaAndStops) {
    for (int i = 0; i < 12; ++i) {
        card.Add(WithCert("c" + std::to_string(i), static_cast<std::uint16_t>(0x8001 + i)));
    }
    const Bytes dir = card.Directory();
    std::size_t offset = 0;
    card.hook = [&](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] != 0x74) {
            return std::nullopt;
        }
        Bytes data;
        for (int i = 0; i < 253; ++i) {
            data.push_back(dir[offset++ % dir.size()]);
        }
        return ChunkReply(0xFF, data);
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(CountIns(0x74), 2u);
    EXPECT_EQ(CountIns(0x7E), 11u);
    EXPECT_EQ(wnd.rows.size(), 11u);
    EXPECT_EQ(dlg->m_nCertCount, 10);
    EXPECT_EQ(Column(3)[10], "CN of c10");  // listed, not kept
    EXPECT_EQ(Slot(10), std::string(36, '\0'));
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 10u);
}

TEST_F(HostileQueryTest, EmptyChunksWithoutEndAreBounded) {
    card.Add(WithCert("one", 0x8001));
    const Bytes record = test::Record("one");
    card.hook = [record](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] == 0x74) {  // a record, then no data and always more to come
            return c[2] == 0x00 ? ChunkReply(0x01, record) : Reply("01 90 00");
        }
        if (c[1] == 0x44 && c[2] == 0x01) {
            return Reply("01 90 00");
        }
        return std::nullopt;
    };
    card.certificateChunk = 10;
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(CountIns(0x74), 400u);
    EXPECT_EQ(CountIns(0x44), 2048u);
    EXPECT_EQ(dlg->m_nCertCount, 0);  // 200 bytes of a longer certificate do not decode
}

TEST_F(HostileQueryTest, OversizedAndEndlessCertificateChunks) {
    card.Add(WithCert("one", 0x8001));
    card.hook = [](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] == 0x44) {
            return ChunkReply(0xC9, Bytes(253, 0x30));  // ignores Le, never ends
        }
        return std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(CountIns(0x44), 9u);  // 200, then 253 per reply up to 2048
    ASSERT_EQ(certs.decoded.size(), 1u);
    EXPECT_EQ(certs.decoded[0].size(), 2048u);
    EXPECT_EQ(Column(3), (std::vector<std::string>{""}));
}

TEST_F(HostileQueryTest, LongDirectoryIsCutToElevenRecords) {
    for (int i = 0; i < 12; ++i) {
        card.Add(Placeholder("p" + std::to_string(i), static_cast<std::uint16_t>(0x8001 + i)));
    }
    card.directory = card.Directory();
    card.directory->resize(2000, 0x50);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(CountIns(0x74), 6u);  // 72 bytes a reply: the sixth fills 400
    EXPECT_EQ(wnd.rows.size(), 11u);
    EXPECT_TRUE(wnd.messages.empty());
}

TEST_F(HostileQueryTest, AnswerTooLongForTheExchange) {
    card.Add(WithCert("one", 0x8001));
    card.hook = [](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] == 0x74) {
            return Reply(Bytes(300, 0x01));
        }
        return std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(wnd.MessageTexts(), (std::vector<std::string>{res::kDirReadError}));
    EXPECT_TRUE(wnd.rows.empty());
}

}  // namespace
}  // namespace quorlin
