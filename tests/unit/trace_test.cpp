// The trace of a run: its lines (PIN bytes masked), its file, and the traced service.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ScriptedPcsc.h"
#include "fakes/TempDir.h"
#include "platform/trace/TraceFormat.h"
#include "platform/trace/TraceSink.h"
#include "platform/trace/TracingPcsc.h"

namespace quorlin::trace {
namespace {

using test::Hex;
using test::ToHex;
using Lines = std::vector<std::string>;

std::string Masked(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += " **";
    }
    return text;
}

std::string Command(const std::string& hex) {
    const test::Bytes bytes = Hex(hex);
    return CommandHex(bytes);
}

TEST(TraceFormat, CommandsOfVerifyAndWriteRecordShowNoDataByte) {
    const std::string pin16 = "31 32 33 34 35 36 FF FF FF FF FF FF FF FF FF FF";
    // T=0, case 3: header, Lc, data.
    EXPECT_EQ(Command("00 20 01 28 10 " + pin16), "00 20 01 28 10" + Masked(16));
    EXPECT_EQ(Command("00 D2 01 04 10 " + pin16), "00 D2 01 04 10" + Masked(16));
    // T=1 adds Le after the data; any class byte.
    EXPECT_EQ(Command("80 20 00 80 06 31 32 33 34 35 36 00"), "80 20 00 80 06" + Masked(6) + " 00");
    // More bytes than Lc + Le, or an Lc of 0 (the extended form): nothing after Lc is shown.
    EXPECT_EQ(Command("00 20 00 80 02 31 32 33 34 35 36"), "00 20 00 80 02" + Masked(6));
    EXPECT_EQ(Command("00 20 00 80 00 00 06 31 32 33 34 35 36"), "00 20 00 80 00" + Masked(8));
    EXPECT_EQ(Command("00 20 00 80 00 31"), "00 20 00 80 00 **");
    // Fewer data bytes than Lc says.
    EXPECT_EQ(Command("00 D2 01 04 10 31 32"), "00 D2 01 04 10 ** **");
    // Without data there is nothing to hide: case 1 (4 bytes), case 2, shorter ones.
    EXPECT_EQ(Command("00 20 00 80"), "00 20 00 80");
    EXPECT_EQ(Command("00 20 00 80 00"), "00 20 00 80 00");
    EXPECT_EQ(Command("00 20 01"), "00 20 01");
    EXPECT_EQ(Command(""), "");
    // Other commands in full, the PIN file's selection and an INS 20 in P1 included.
    EXPECT_EQ(Command("00 A4 02 00 02 00 C7"), "00 A4 02 00 02 00 C7");
    EXPECT_EQ(Command("00 B0 20 D2 03 31 32 33 00"), "00 B0 20 D2 03 31 32 33 00");
}

TEST(TraceFormat, TransmissionLines) {
    const test::Bytes select = Hex("00 A4 04 00 08 A0 00 00 01 72 95 01 03");
    const test::Bytes more = Hex("61 12");
    Transmission t;
    t.reader = "Virtual PCD 0 00 00";
    t.protocol = pcsc::kProtocolT0;
    t.command = select;
    t.answer = more;
    t.elapsed = std::chrono::microseconds(1234);
    EXPECT_EQ(TransmitLine(t),
              "APDU \"Virtual PCD 0 00 00\" T=0 > 00 A4 04 00 08 A0 00 00 01 72 95 01 03 "
              "< 61 12 SW=6112 1.234 ms");

    const test::Bytes data = Hex("01 02 90 00");
    t.protocol = pcsc::kProtocolT1;
    t.answer = data;
    t.elapsed = std::chrono::microseconds(7);
    EXPECT_EQ(TransmitLine(t).substr(27),
              "T=1 > " + ToHex(select) + " < 01 02 90 00 SW=9000 0.007 ms");

    const test::Bytes lone = Hex("90");
    t.answer = lone;
    EXPECT_NE(TransmitLine(t).find(" < 90 SW=none "), std::string::npos);

    // A failed transmission: its code, and no answer even if the buffer holds one.
    t.result = pcsc::kWRemovedCard;
    t.protocol = 0;
    t.elapsed = std::chrono::microseconds(2'500'000);
    EXPECT_EQ(TransmitLine(t).substr(27),
              "T=? > " + ToHex(select) + " ! SCardTransmit failed 0x80100069 2500.000 ms");
}

TEST(TraceFormat, NamesAndTextsStayOnOneLineAndUtf8) {
    EXPECT_EQ(FailureLine("SCardConnectA", "Reader \"B\" 01 00", pcsc::kENoSmartcard),
              "SCardConnectA \"Reader \\\"B\\\" 01 00\" failed 0x8010000C");
    EXPECT_EQ(FailureLine("SCardEstablishContext", "", pcsc::kENoService),
              "SCardEstablishContext failed 0x8010001D");
    EXPECT_EQ(MessageBoxLine("CryptAcquireContext = 0x80090019 \n 請確認是否安裝CSP", std::nullopt,
                             MsgIcon::None),
              "message box (none): CryptAcquireContext = 0x80090019 \\n 請確認是否安裝CSP");
    EXPECT_EQ(MessageBoxLine("卡片 \"1\"\t\\\x1b\r", std::string("卡片"), MsgIcon::Exclamation),
              "message box (exclamation) \"卡片\": 卡片 \"1\"\\t\\\\\\x1B\\r");
    EXPECT_EQ(MessageBoxLine("Replace /tmp/a\nb?", std::string("匯出"), std::nullopt),
              "message box (question) \"匯出\": Replace /tmp/a\\nb?");
    EXPECT_EQ(ConnectLine("Reader\n2", pcsc::kShareExclusive, pcsc::kProtocolT1),
              "connected \"Reader\\n2\" exclusive T=1");
}

TEST(TraceFormat, ReaderListingStaysWithinItsLength) {
    const char list[] = "Reader A\0Reader B\0\0";
    EXPECT_EQ(ReadersLine(list, sizeof list - 1), "readers 2: \"Reader A\", \"Reader B\"");
    // A name not terminated within the length is no name.
    EXPECT_EQ(ReadersLine(list, 12), "readers 1: \"Reader A\"");
    EXPECT_EQ(ReadersLine(nullptr, 0), "readers 0");
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFu;
}

Lines Events(const std::string& text) {
    Lines events;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        EXPECT_EQ(line.size() > 28 ? line.substr(26, 2) : line, "Z ") << line;
        events.push_back(line.size() > 28 ? line.substr(28) : line);
    }
    return events;
}

class TraceFile : public ::testing::Test {
  protected:
    std::unique_ptr<TraceSink> Open(const std::string& path) {
        error.clear();
        return TraceSink::Open(path, error);
    }
    void Write(const std::string& path, const std::string& text, mode_t mode) {
        std::ofstream(path, std::ios::binary) << text;
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
    test::TempDir dir;
    std::string error;
};

TEST_F(TraceFile, IsPrivateAndReplacesWhatWasThere) {
    const mode_t old = umask(0);
    const std::string fresh = dir.Path() + "/fresh";
    {
        auto sink = Open(fresh);
        ASSERT_NE(sink, nullptr) << error;
        sink->Write("one");
    }
    umask(old);
    EXPECT_EQ(Mode(fresh), 0600u);
    EXPECT_EQ(Events(Read(fresh)), Lines{"one"});

    const std::string existing = dir.Path() + "/existing";
    Write(existing, "an older and longer trace\n", 0644);
    auto sink = Open(existing);
    ASSERT_NE(sink, nullptr) << error;
    EXPECT_EQ(Mode(existing), 0600u);
    EXPECT_EQ(Read(existing), "");
    sink->Write("two");
    EXPECT_EQ(Events(Read(existing)), Lines{"two"});  // written at once, not on close
}

TEST_F(TraceFile, AFailedWriteIsReportedOnceAndEndsTheTrace) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    TraceSink sink(full);
    EXPECT_FALSE(sink.Failed());
    testing::internal::CaptureStderr();
    sink.Write("one");
    sink.Write("two");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(program_invocation_short_name) +
                  ": cannot write the trace: No space left on device; tracing stopped\n");
    EXPECT_TRUE(sink.Failed());
}

TEST_F(TraceFile, RefusesLinksAndOtherFilesLeavingThemUntouched) {
    const std::string target = dir.Path() + "/target";
    Write(target, "keep\n", 0644);

    const std::string symbolic = dir.Path() + "/symbolic";
    ASSERT_EQ(symlink(target.c_str(), symbolic.c_str()), 0);
    EXPECT_EQ(Open(symbolic), nullptr);
    EXPECT_EQ(error, symbolic + ": a symbolic link; refused");

    const std::string dangling = dir.Path() + "/dangling";
    ASSERT_EQ(symlink((dir.Path() + "/nothing").c_str(), dangling.c_str()), 0);
    EXPECT_EQ(Open(dangling), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/nothing"));

    const std::string hard = dir.Path() + "/hard";
    ASSERT_EQ(link(target.c_str(), hard.c_str()), 0);
    EXPECT_EQ(Open(hard), nullptr);
    EXPECT_EQ(error, hard + ": a hard link; refused");

    const std::string theirs = dir.Path() + "/theirs";
    Write(theirs, "keep\n", 0644);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Open(theirs), nullptr);
    EXPECT_EQ(error, theirs + " is owned by another user; refused");
    EXPECT_EQ(Read(theirs), "keep\n");
    EXPECT_EQ(Mode(theirs), 0644u);

    EXPECT_EQ(Read(target), "keep\n");
    EXPECT_EQ(Mode(target), 0644u);

    // A FIFO with no reader is refused at once rather than waited on.
    const std::string fifo = dir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Open(fifo), nullptr);
    EXPECT_FALSE(error.empty());
}

// A service whose every call succeeds, safe from any thread; statuses as scripted.
class ThreadSafePcsc : public test::ScriptedPcsc {
  public:
    std::uint32_t SCardConnectA(pcsc::ScardContext, const char*, std::uint32_t, std::uint32_t,
                                pcsc::ScardHandle* card, std::uint32_t* protocol) override {
        *card = ++m_next;
        *protocol = pcsc::kProtocolT1;
        return pcsc::kSuccess;
    }
    std::uint32_t SCardTransmit(pcsc::ScardHandle, const pcsc::ScardIoRequest*, const std::uint8_t*,
                                std::uint32_t, pcsc::ScardIoRequest*, std::uint8_t* recv,
                                std::uint32_t* length) override {
        recv[0] = 0x90;
        recv[1] = 0x00;
        *length = 2;
        return pcsc::kSuccess;
    }
    std::uint32_t SCardDisconnect(pcsc::ScardHandle, std::uint32_t) override {
        return pcsc::kSuccess;
    }

  private:
    std::atomic<pcsc::ScardHandle> m_next{0};
};

class TracedService : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.Path() + "/trace";
        std::string error;
        sink = TraceSink::Open(path, error);
        ASSERT_NE(sink, nullptr) << error;
    }
    Lines Trace() { return Events(Read(path)); }

    test::TempDir dir;
    std::string path;
    std::unique_ptr<TraceSink> sink;
};

// Listings and failed connections are proven end to end (trace_e2e); here, what pcscd
// will not do on cue: a transmission that fails, a handle no longer known.
TEST_F(TracedService, ForwardsExchangesAndNamesEachByItsHandle) {
    test::ScriptedPcsc service;
    service.readers = {"Reader A"};
    service.activeProtocol = pcsc::kProtocolT0;
    service.Queue("6A 82");
    service.QueueError(pcsc::kECommError);
    TracingPcsc traced(service, *sink);
    EXPECT_EQ(traced.T0Pci(), service.T0Pci());
    EXPECT_EQ(traced.T1Pci(), service.T1Pci());

    pcsc::ScardContext context = 0;
    ASSERT_EQ(traced.SCardEstablishContext(pcsc::kScopeUser, &context), pcsc::kSuccess);
    pcsc::ScardHandle card = 0;
    std::uint32_t protocol = 0;
    ASSERT_EQ(traced.SCardConnectA(context, "Reader A", pcsc::kShareShared, 3, &card, &protocol),
              pcsc::kSuccess);
    EXPECT_EQ(card, service.connectedCard);
    EXPECT_EQ(protocol, pcsc::kProtocolT0);

    const test::Bytes select = Hex("00 A4 04 00 02 3F 00");
    const auto size = static_cast<std::uint32_t>(select.size());
    std::uint8_t recv[256] = {};
    std::uint32_t n = sizeof recv;
    ASSERT_EQ(traced.SCardTransmit(card, traced.T0Pci(), select.data(), size, nullptr, recv, &n),
              pcsc::kSuccess);
    EXPECT_EQ(test::Bytes(recv, recv + n), Hex("6A 82"));
    n = sizeof recv;
    EXPECT_EQ(traced.SCardTransmit(card, traced.T0Pci(), select.data(), size, nullptr, recv, &n),
              pcsc::kECommError);
    EXPECT_EQ(traced.SCardDisconnect(card, pcsc::kLeaveCard), pcsc::kSuccess);
    n = sizeof recv;
    traced.SCardTransmit(card, traced.T1Pci(), select.data(), 4, nullptr, recv, &n);
    EXPECT_EQ(service.SentHex().size(), 3u);

    const std::string apdu = "APDU \"Reader A\" T=0 > 00 A4 04 00 02 3F 00 ";
    const Lines trace = Trace();
    ASSERT_EQ(trace.size(), 5u) << testing::PrintToString(trace);
    EXPECT_EQ(trace[0], "connected \"Reader A\" shared T=0");
    EXPECT_EQ(trace[1].rfind(apdu + "< 6A 82 SW=6A82 ", 0), 0u) << trace[1];
    EXPECT_EQ(trace[2].rfind(apdu + "! SCardTransmit failed 0x80100013 ", 0), 0u) << trace[2];
    EXPECT_EQ(trace[3], "disconnected \"Reader A\"");
    // The handle went with its reader.
    EXPECT_EQ(trace[4].rfind("APDU \"\" T=1 > 00 A4 04 00 ! SCardTransmit failed 0x80100003 ", 0),
              0u)
        << trace[4];
}

TEST_F(TracedService, LeavesOutTheWatchersTimeoutsAndCancels) {
    test::ScriptedPcsc service;
    service.statusChanges = {
        {pcsc::kETimeout, 0}, {pcsc::kECancelled, 0}, {pcsc::kENoService, 0}, {pcsc::kSuccess, 0}};
    service.failures["SCardEstablishContext"] = pcsc::kENoService;
    service.failTimes["SCardEstablishContext"] = 1;
    TracingPcsc traced(service, *sink);
    pcsc::ScardContext context = 0;
    EXPECT_EQ(traced.SCardEstablishContext(pcsc::kScopeUser, &context), pcsc::kENoService);
    ASSERT_EQ(traced.SCardEstablishContext(pcsc::kScopeUser, &context), pcsc::kSuccess);
    pcsc::ScardReaderState state;
    state.szReader = pcsc::kPnpNotification;
    const std::vector<std::uint32_t> results = {
        traced.SCardGetStatusChangeA(context, pcsc::kInfinite, &state, 1),
        traced.SCardGetStatusChangeA(context, pcsc::kInfinite, &state, 1),
        traced.SCardGetStatusChangeA(context, pcsc::kInfinite, &state, 1),
        traced.SCardGetStatusChangeA(context, pcsc::kInfinite, &state, 1)};
    EXPECT_EQ(results, (std::vector<std::uint32_t>{pcsc::kETimeout, pcsc::kECancelled,
                                                   pcsc::kENoService, pcsc::kSuccess}));
    EXPECT_EQ(traced.SCardCancel(context), pcsc::kSuccess);
    EXPECT_EQ(service.cancels, 1);
    EXPECT_EQ(Trace(), (Lines{"SCardEstablishContext failed 0x8010001D",
                              "SCardGetStatusChangeA failed 0x8010001D"}));
}

// The watcher's thread lists readers while the dialog's exchanges go on: every line whole,
// every exchange under its own reader.
TEST_F(TracedService, IsSafeFromTwoThreads) {
    ThreadSafePcsc service;
    TracingPcsc traced(service, *sink);
    constexpr int kRounds = 3000;
    const auto run = [&](const std::string& reader) {
        const test::Bytes command = Hex("00 B0 00 00 10");
        for (int i = 0; i < kRounds; ++i) {
            pcsc::ScardHandle card = 0;
            std::uint32_t protocol = 0;
            traced.SCardConnectA(1, reader.c_str(), pcsc::kShareShared, 3, &card, &protocol);
            std::uint8_t recv[256];
            std::uint32_t n = sizeof recv;
            traced.SCardTransmit(card, traced.T1Pci(), command.data(), 5, nullptr, recv, &n);
            traced.SCardDisconnect(card, pcsc::kLeaveCard);
        }
    };
    std::thread other(run, "Reader B");
    run("Reader A");
    other.join();

    std::map<std::string, int> counts;
    for (const std::string& line : Trace()) {
        const std::size_t time = line.rfind(" SW=9000 ");
        ++counts[time == std::string::npos ? line : line.substr(0, time)];
    }
    EXPECT_EQ(counts, (std::map<std::string, int>{
                          {"connected \"Reader A\" shared T=1", kRounds},
                          {"connected \"Reader B\" shared T=1", kRounds},
                          {"APDU \"Reader A\" T=1 > 00 B0 00 00 10 < 90 00", kRounds},
                          {"APDU \"Reader B\" T=1 > 00 B0 00 00 10 < 90 00", kRounds},
                          {"disconnected \"Reader A\"", kRounds},
                          {"disconnected \"Reader B\"", kRounds}}));
}

}  // namespace
}  // namespace quorlin::trace
