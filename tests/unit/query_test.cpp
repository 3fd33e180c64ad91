// The certificate query: the chunked reads of the directory and the certificates, the
// record loop, the rows and their order, the stored certificates, messages and captions.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>

#include "fakes/DialogHarness.h"
#include "platform/x509/OpenSslCertApi.h"
#include "query_card.h"
#include "query_certs.h"
#include "res/Strings.h"

namespace quorlin {
namespace {

using test::Answer;
using test::Bytes;
using test::Hex;
using test::QueryContainer;
using test::ToHex;
using Lines = std::vector<std::string>;

// The real decoder, with what it was handed on record.
class RecordingCerts : public x509::OpenSslCertApi {
  public:
    const x509::CertContext* CertCreateCertificateContext(std::uint32_t encoding,
                                                          const std::uint8_t* data,
                                                          std::uint32_t length) override {
        encodings.push_back(encoding);
        decoded.emplace_back(data, data + length);
        if (onDecode) {
            onDecode();
        }
        return OpenSslCertApi::CertCreateCertificateContext(encoding, data, length);
    }
    std::vector<std::uint32_t> encodings;
    std::vector<Bytes> decoded;
    std::function<void()> onDecode;
};

Answer Raw(const std::string& hex) {
    return Answer{pcsc::kSuccess, Hex(hex)};
}

// A chunk reply: next-length byte, data, 90 00.
Answer ChunkReply(std::uint8_t next, Bytes data) {
    data.insert(data.begin(), next);
    return test::Reply(data);
}

std::string Msg(const std::string& text, const std::string& caption) {
    return text + "|" + caption;
}

class QueryTest : public ::testing::Test, public test::DialogHarness<> {
  protected:
    void SetUp() override {
        pcsc.activeProtocol = pcsc::kProtocolT1;
        pcsc.responder = [this](const Bytes& c) { return card(c); };
        Start({.certs = &certs});
        ASSERT_EQ(dlg->ConnectCard(), 0);
        Forget();
    }
    void TearDown() override { dlg.reset(); }  // it frees its certificates through certs

    void Forget() {
        DialogHarness::Forget();
        certs.decoded.clear();
    }

    // A container with a certificate whose common name is "CN of <name>", or a placeholder.
    QueryContainer& Add(const std::string& name, std::uint16_t file, bool cert = true) {
        card.containers.push_back(
            {name, file, cert ? test::MakeCertificate("CN of " + name) : Bytes{}});
        return card.containers.back();
    }

    Lines Column(int sub) const {
        Lines out;
        for (const auto& row : wnd.rows) {
            out.push_back(row[static_cast<std::size_t>(sub)]);
        }
        return out;
    }

    Lines Messages() const {
        Lines out;
        for (const auto& m : wnd.messages) {
            out.push_back(Msg(m.text, m.caption.value_or("<app>")));
        }
        return out;
    }

    bool EnabledRegister() const {
        return std::count(wnd.calls.begin(), wnd.calls.end(), "Enable:1020:1") > 0;
    }

    std::string Slot(int k) const {
        return std::string(reinterpret_cast<const char*>(dlg->m_containerNames) + 36 * k, 36);
    }

    test::QueryCard card;
    RecordingCerts certs;
};

TEST_F(QueryTest, RemovedCardShowsBothDirectoryMessagesAndEmptiesTheList) {
    Add("Alice", 0x8001);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    ASSERT_EQ(dlg->m_nCertCount, 1);
    Forget();

    pcsc.failures["SCardTransmit"] = pcsc::kWRemovedCard;
    Lines rowsWhenShown;
    wnd.onMessageBox = [&](const test::MessageBoxCall& m) {
        rowsWhenShown.push_back(std::to_string(wnd.rows.size()));
        EXPECT_EQ(m.icon, MsgIcon::None);
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Messages(), (Lines{Msg(res::kEf8010Missing, res::kCardToolTitle),
                                 Msg(res::kDirReadError, res::kStdTitle)}));
    // The earlier rows stay while the messages are up; the list is emptied after.
    EXPECT_EQ(rowsWhenShown, (Lines{"1", "1"}));
    EXPECT_TRUE(wnd.rows.empty());
    EXPECT_EQ(dlg->m_nCertCount, 0);
    EXPECT_EQ(dlg->m_certs[0], nullptr);
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 0u);  // the earlier handle was released
    EXPECT_FALSE(EnabledRegister());
}

// Directory reads: placeholders p0, p1, ... whose records, cut or filled with 'A' to the
// given size, come in chunks; every later command can get a fixed answer instead.
TEST_F(QueryTest, DirectoryReadsEndAtTheirLengthTheirAreaOrAnAnswerWithoutData) {
    struct Case {
        const char* what;
        int records;
        std::size_t size, chunk;
        std::string later, second;  // the later answer (empty: the card's), the second command
        std::size_t reads, rows;
        bool failed;
    };
    const std::string c25 = "00 74 01 01 25";
    const Case cases[] = {
        {"one zero byte", 0, 0, 72, "", "", 1, 0, false},
        {"two chunks", 2, 72, 36, "", c25, 2, 2, false},
        {"100 bytes", 2, 100, 72, "", "00 74 01 01 1D", 2, 2, false},
        {"2000 bytes", 12, 2000, 72, "", "00 74 01 01 49", 6, 11, false},  // the 6th fills 400
        {"status word alone", 2, 72, 36, "90 00", c25, 2, 1, false},
        {"endless empty chunks", 2, 72, 36, "01 90 00", c25, 400, 1, false},
        {"failing second command", 2, 92, 72, "6A 82", "00 74 01 01 15", 2, 2, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        card = test::QueryCard{};
        for (int i = 0; i < k.records; ++i) {
            Add("p" + std::to_string(i), static_cast<std::uint16_t>(0x8001 + i), false);
        }
        card.directory = card.Directory();
        card.directory->resize(k.size, 'A');
        card.directoryChunk = k.chunk;
        card.hook = [&k](const Bytes& c, std::size_t) -> std::optional<Answer> {
            const bool later = c[1] == 0x74 && c[2] == 0x01 && !k.later.empty();
            return later ? std::optional<Answer>(Raw(k.later)) : std::nullopt;
        };
        wnd.rows = {{"8001", "", "", "", "old"}};
        Forget();
        EXPECT_EQ(dlg->ReadCardCertificates(), 0);
        const Lines reads = Sent(0x74);
        ASSERT_EQ(reads.size(), k.reads);
        EXPECT_EQ(ToHex(pcsc.commands[0]), "00 A4 02 00 02 80 10 00");
        EXPECT_EQ(reads[0], "00 74 00 00 FF");
        EXPECT_EQ(reads.size() > 1 ? reads[1] : "", k.second);
        EXPECT_EQ(Sent(0x7E).size(), k.rows);
        EXPECT_EQ(wnd.rows.size(), k.rows);
        EXPECT_EQ(Messages(), k.failed ? Lines{Msg(res::kDirNextError, res::kStdTitle)} : Lines{});
    }
}

TEST_F(QueryTest, LookupChoosesTheSecondFileWhenItsHighByteIsSet) {
    Add("A", 0x8001);
    Add("B", 0x8002);
    card.hook = [](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] != 0x7E) {
            return std::nullopt;
        }
        Bytes reply = test::LookupReply(0x8001);
        reply[41] = c[5] == 'A' ? 0x00 : 0x80;
        reply[42] = c[5] == 'A' ? 0x05 : 0x02;
        return test::Reply(reply);
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(0), (Lines{"8001", "8002"}));
    Lines selects;
    for (const std::string& c : Sent(0xA4)) {
        selects.push_back(c.substr(15, 5));
    }
    EXPECT_EQ(selects, (Lines{"80 10", "80 10", "80 01", "80 10", "80 02"}));
}

TEST_F(QueryTest, KeyInformationDecidesTheRow) {
    Add("Placeholder", 0x8001, false);
    Add("Unused", 0x8002, false).inUse = 0;
    QueryContainer& loaded = Add("Loaded", 0x8003);
    loaded.start = "20240102";
    loaded.expiry = "20290102";
    Add("Long", 0x8004).keyInfoSize = 30;
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(wnd.rows, (std::vector<Lines>{
                            {"8003", "20240102", "20290102", "CN of Loaded", "Loaded"},
                            {"8001", "--------", "--------", res::kCertNotLoaded, "Placeholder"}}));
    EXPECT_TRUE(wnd.messages.empty());
    EXPECT_EQ(certs.decoded.size(), 1u);  // only the loaded one is read
    EXPECT_EQ(dlg->m_nCertCount, 1);
}

TEST_F(QueryTest, CertificateRowsFirstThenPlaceholdersInReverse) {
    Add("r1", 0x8001);
    Add("r2", 0x8002, false);
    Add("r3", 0x8003, false);
    Add("r4", 0x8004);
    Add("r5", 0x8005, false);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    // Each row: inserted with sub-item 0, then 1, 2, 4, 3 at the same position; the
    // position advances after certificate rows only.
    Lines listCalls;
    std::copy_if(wnd.calls.begin(), wnd.calls.end(), std::back_inserter(listCalls),
                 [](const std::string& c) {
                     return c.rfind("ListInsert:", 0) == 0 || c.rfind("ListSet:", 0) == 0;
                 });
    Lines expected;
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
    EXPECT_EQ(listCalls, expected);  // rows r1, r4, r5, r3, r2
    EXPECT_EQ(dlg->m_nCertCount, 2);
    EXPECT_EQ(Slot(0), std::string("r1") + std::string(34, '\0'));
    EXPECT_EQ(Slot(1), std::string("r4") + std::string(34, '\0'));
}

// Certificate reads: 200 bytes first, then the reported lengths, bounded by the 2048-byte
// area and its command count; later replies can get a fixed answer instead.
TEST_F(QueryTest, CertificateReadsInChunksAndStopsAtItsArea) {
    const Bytes big = test::MakeCertificateOfSize("Chunked", 479);
    const Bytes head(big.begin(), big.begin() + 200);
    Bytes padded(149, 0x30);
    padded.resize(200, 0x00);
    struct Case {
        const char* what;
        Bytes cert;
        std::size_t chunk;
        std::string later;  // the answer to later reads; "*": to every read
        Lines reads;        // the first ones
        std::size_t count;
        Bytes decoded;
        std::string name;
    };
    const std::string r1 = "00 44 00 01 C9", c9 = "00 44 01 01 C9";
    const Case cases[] = {
        {"201, 201 and 80 bytes", big, 200, "", {r1, c9, "00 44 01 01 50"}, 3, big, "Chunked"},
        {"150-byte first chunk", Bytes(149, 0x30), 200, "", {r1}, 1, padded, ""},
        {"status word alone", big, 200, "90 00", {r1, c9}, 2, head, ""},
        {"endless empty chunks", big, 10, "01 90 00", {r1, "00 44 01 01 0B"}, 2048, head, ""},
        // 200 bytes, then 253 a reply up to the 2048 of the area.
        {"oversized endless chunks", big, 200, "*", {r1, c9}, 9, Bytes(2048, 0x30), ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        card = test::QueryCard{};
        Add("one", 0x8001).certificate = k.cert;
        card.certificateChunk = k.chunk;
        card.hook = [&k](const Bytes& c, std::size_t) -> std::optional<Answer> {
            if (c[1] == 0x44 && k.later == "*") {
                return ChunkReply(0xC9, Bytes(253, 0x30));  // ignores Le, never ends
            }
            const bool later = c[1] == 0x44 && c[2] == 0x01 && !k.later.empty();
            return later ? std::optional<Answer>(Raw(k.later)) : std::nullopt;
        };
        Forget();
        EXPECT_EQ(dlg->ReadCardCertificates(), 0);
        Lines reads = Sent(0x44);
        EXPECT_EQ(reads.size(), k.count);
        reads.resize(std::min(reads.size(), k.reads.size()));
        EXPECT_EQ(reads, k.reads);
        ASSERT_EQ(certs.decoded.size(), 1u);
        EXPECT_EQ(certs.decoded[0], k.decoded);
        EXPECT_EQ(certs.encodings.back(), 0x00010001u);
        EXPECT_EQ(Column(3), Lines{k.name});  // an undecodable one keeps its row
        EXPECT_EQ(dlg->m_nCertCount, k.name.empty() ? 0 : 1);
        EXPECT_TRUE(wnd.messages.empty());
    }
}

TEST_F(QueryTest, UnselectableObjectFileStopsTheQuery) {
    Add("one", 0x8001);
    Add("two", 0x8002, false);
    Add("three", 0x8003);
    Add("four", 0x8004);
    card.hook = [](const Bytes& c, std::size_t) -> std::optional<Answer> {
        return ToHex(c) == "00 A4 02 00 02 80 03 00" ? std::optional<Answer>(Raw("6A 82"))
                                                     : std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), -1);
    EXPECT_EQ(Messages(), (Lines{Msg(res::kCertFileSelectError, res::kStdTitle)}));
    EXPECT_EQ(Column(4), (Lines{"one", "two"}));
    EXPECT_EQ(dlg->m_nCertCount, 1);
    EXPECT_EQ(ToHex(pcsc.commands.back()), "00 A4 02 00 02 80 03 00");
    EXPECT_FALSE(EnabledRegister());
}

TEST_F(QueryTest, CertificateReadFailures) {
    Add("first", 0x8001);
    Add("second", 0x8002).certificate = test::MakeCertificate("CN of second", 300);
    card.hook = [this](const Bytes& c, std::size_t) -> std::optional<Answer> {
        if (c[1] != 0x44) {
            return std::nullopt;
        }
        const bool first =
            ToHex(pcsc.commands[pcsc.commands.size() - 3]).find("80 01") != std::string::npos;
        if (first && c[2] == 0x00) {
            return Raw("6A 82");
        }
        return !first && c[2] == 0x01 ? std::optional<Answer>(Raw("69 85")) : std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(wnd.MessageTexts(), (Lines{res::kCertReadError, res::kCertNextError}));
    ASSERT_EQ(certs.decoded.size(), 1u);  // the second, from its first 200 bytes
    EXPECT_EQ(certs.decoded[0].size(), 200u);
    EXPECT_EQ(Column(3), (Lines{"", ""}));
    EXPECT_EQ(dlg->m_nCertCount, 0);
}

TEST_F(QueryTest, ContainerNamesAndSubjectsAtTheirLimits) {
    const std::string name36 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string cjk;
    for (int i = 0; i < 130; ++i) {
        cjk += "憑";
    }
    Add(name36, 0x8001).certificate = test::MakeCertificate(std::string(200, 'n'));
    Add("wide", 0x8002).certificate = test::MakeCertificate(cjk);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(4), (Lines{name36, "wide"}));
    EXPECT_EQ(Column(3), (Lines{std::string(127, 'n'), cjk.substr(0, 127 * 3)}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dlg->m_containerNames), 40),
              name36 + "wide");
}

TEST_F(QueryTest, NamelessCertificateIsStillStoredWithItsContainer) {
    // Under 200 bytes: it decodes from the zero padding of the first chunk.
    const Bytes nameless = test::MakeNamelessCertificate();
    ASSERT_LT(nameless.size(), 200u);
    Add("nameless", 0x8001).certificate = nameless;
    testing::internal::CaptureStderr();
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "CertGetName failed. \n");
    EXPECT_EQ(Column(3), (Lines{""}));
    ASSERT_EQ(dlg->m_nCertCount, 1);
    EXPECT_EQ(dlg->m_certs[0]->encoded, nameless);
    EXPECT_EQ(std::string(Slot(0).c_str()), "nameless");
    EXPECT_TRUE(EnabledRegister());
}

TEST_F(QueryTest, CardTextIsCodePage950) {
    QueryContainer& c = Add("\xB4\xFA\xB8\xD5-key", 0x8001);  // Big5 for 測試
    c.certificate = test::MakeCertificate("CN");
    c.start = "\xA4\xA4\xA4\xE5";  // Big5 for 中文
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Column(4), (Lines{"測試-key"}));
    EXPECT_EQ(Column(1), (Lines{"中文"}));
    EXPECT_EQ(Slot(0).substr(0, 8), "\xB4\xFA\xB8\xD5-key");  // the raw bytes are kept
}

TEST_F(QueryTest, ReselectionFailureBeforeARecordIsReportedAndTheRecordRead) {
    Add("one", 0x8001);
    card.hook = [](const Bytes& c, std::size_t n) -> std::optional<Answer> {
        return n == 2 && c[1] == 0xA4 ? std::optional<Answer>(Raw("6A 82")) : std::nullopt;
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(Messages(), (Lines{Msg(res::kEf8010Missing, res::kStdTitle)}));
    EXPECT_EQ(dlg->m_nCertCount, 1);
}

TEST_F(QueryTest, WaitCursorAndRegisterButton) {
    Add("one", 0x8001);
    dlg->OnQueryCertificates();
    Lines cursor;
    std::copy_if(wnd.calls.begin(), wnd.calls.end(), std::back_inserter(cursor),
                 [](const std::string& c) {
                     return c.find("Wait") != std::string::npos || c == "Enable:1020:1";
                 });
    EXPECT_EQ(cursor, (Lines{"BeginWait", "Enable:1020:1", "RestoreWait", "EndWait"}));
    EXPECT_EQ(wnd.waitCursorDepth, 0);
}

TEST_F(QueryTest, HandlesAreReleasedByTheNextQueryAndTheDialog) {
    Add("one", 0x8001);
    Add("two", 0x8002);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 2u);
    dlg.reset();
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 0u);
}

// The first certificate is still being decoded when the card gets the next container's
// first command; the rows come out as they would in line.
TEST_F(QueryTest, DecodingOverlapsTheNextContainersCommands) {
    Add("one", 0x8001);
    Add("two", 0x8002);
    std::mutex mutex;
    std::condition_variable answered;
    bool certificateRead = false;
    bool nextStarted = false;
    card.hook = [&](const Bytes& c, std::size_t) -> std::optional<Answer> {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            certificateRead = certificateRead || c[1] == 0x44;
            nextStarted = nextStarted || (certificateRead && c[1] == 0xA4);
        }
        answered.notify_all();
        return std::nullopt;
    };
    bool overlapped = false;
    certs.onDecode = [&, first = true]() mutable {
        if (std::exchange(first, false)) {
            std::unique_lock<std::mutex> lock(mutex);
            overlapped =
                answered.wait_for(lock, std::chrono::seconds(10), [&] { return nextStarted; });
        }
    };
    EXPECT_EQ(dlg->ReadCardCertificates(), 0);
    EXPECT_TRUE(overlapped);
    EXPECT_EQ(Column(3), (Lines{"CN of one", "CN of two"}));
    EXPECT_EQ(dlg->m_nCertCount, 2);
}

// Twelve certificates and directory chunks that never end: the list takes eleven rows,
// the table ten certificates, and nothing is written outside the areas (checked by the
// sanitizer build).
TEST_F(QueryTest, EndlessDirectoryOfTwelveCertificatesFillsItsAreasAndStops) {
    for (int i = 0; i < 12; ++i) {
        Add("c" + std::to_string(i), static_cast<std::uint16_t>(0x8001 + i));
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
    EXPECT_EQ(Sent(0x74).size(), 2u);
    EXPECT_EQ(Sent(0x7E).size(), 11u);
    EXPECT_EQ(wnd.rows.size(), 11u);
    EXPECT_EQ(dlg->m_nCertCount, 10);
    EXPECT_EQ(Column(3)[10], "CN of c10");  // listed, not kept
    EXPECT_EQ(Slot(10), std::string(36, '\0'));
    EXPECT_EQ(x509::OpenSslCertApi::LiveContexts(), 10u);
}

TEST(BinToHexTest, WritesUpperCaseDigitsAndTheTerminator) {
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(CQuorlinDlg::BinToHex(0, nullptr, text), text);
    EXPECT_EQ(std::string(text, 2), std::string("\0#", 2));
    const std::uint8_t bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(CQuorlinDlg::BinToHex(2, bytes, text), text + 4);
    EXPECT_EQ(std::string(text, 6), std::string("0AFF\0#", 6));
}

}  // namespace
}  // namespace quorlin
