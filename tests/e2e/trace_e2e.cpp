// The trace of a run end to end: the sink and the traced service built as `quorlin --trace`
// builds them, over pcsc-lite, the private pcscd and quorlin-cardsim; then the program
// itself with the option.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/CardFixture.h"
#include "e2e/E2e.h"
#include "fakes/FakeWindow.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/pcsc/PcscLite.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/trace/TraceSink.h"
#include "platform/trace/TracingPcsc.h"
#include "platform/x509/OpenSslCertApi.h"
#include "quorlin/Version.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr char kPin[] = "123456";
constexpr char kNewPin[] = "24681357";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Lines SplitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The trace without its timestamps (whose digits could spell anything).
std::string Events(const std::string& text) {
    std::string events;
    for (const std::string& line : SplitLines(text)) {
        const std::size_t blank = line.find(' ');
        events += (blank == std::string::npos ? line : line.substr(blank + 1)) + '\n';
    }
    return events;
}

// Hex digits only, upper case: a byte sequence found whatever the spacing or case.
std::string HexDigits(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

void ExpectNoPin(const std::string& trace, const std::string& pin) {
    const std::string events = Events(trace);
    EXPECT_EQ(events.find(pin), std::string::npos) << pin;
    std::string pinHex = e2e::HexOf(pin);
    pinHex.erase(std::remove(pinHex.begin(), pinHex.end(), ' '), pinHex.end());
    // Each line on its own, so that digits of neighbouring lines never join.
    for (const std::string& line : SplitLines(events)) {
        EXPECT_EQ(HexDigits(line).find(pinHex), std::string::npos) << line;
    }
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFu;
}

// The command of an "APDU" line, as the simulator logs commands; empty for other lines.
std::string TracedCommand(const std::string& event) {
    if (event.rfind("APDU ", 0) != 0) {
        return "";
    }
    const std::size_t from = event.find(" > ");
    const std::size_t to = event.find_first_of("<!", from);
    return event.substr(from + 3, to - from - 4);
}

class TraceRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(e2e::WaitForReaders(2));
        home = e2e::ScratchPath("home");
        fs::create_directories(home);
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        setenv("XDG_DATA_DIRS", (e2e::Env("QUORLIN_BUILD_DIR") + "/share").c_str(), 1);
        card = std::make_unique<e2e::CardSim>(
            e2e::Env("QUORLIN_SOURCE_DIR") + "/tools/cardsim/profiles/demo.json", 0);
        ASSERT_TRUE(card->Present()) << card->LogPath();

        // As the program does for --trace: one traced service for the dialog, its reader
        // watcher and the provider.
        tracePath = e2e::ScratchPath("trace");
        std::string error;
        sink = trace::TraceSink::Open(tracePath, error);
        ASSERT_NE(sink, nullptr) << error;
        traced = std::make_unique<trace::TracingPcsc>(pcsc, *sink);
        crypt = std::make_unique<crypt::CardCryptApi>(*traced);
        // Made after XDG_DATA_HOME: a member would take the running user's own store.
        store = std::make_unique<store::SqliteStoreApi>();
        Platform platform{traced.get(), &certs, crypt.get(), store.get()};
        platform.watchReaders = true;
        dlg = std::make_unique<CQuorlinDlg>(window, platform);
        dlg->DoModal();
    }

    void TearDown() override {
        dlg.reset();
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_DATA_DIRS");
    }

    void Choose(const std::string& reader) {
        const auto it = std::find(window.comboItems.begin(), window.comboItems.end(), reader);
        ASSERT_NE(it, window.comboItems.end()) << reader;
        window.ComboSetCurSel(res::IDC_COMBO_READER,
                              static_cast<int>(it - window.comboItems.begin()));
    }

    std::string home;
    std::string tracePath;
    std::unique_ptr<e2e::CardSim> card;
    pcsc::PcscLite pcsc;
    std::unique_ptr<trace::TraceSink> sink;
    std::unique_ptr<trace::TracingPcsc> traced;
    x509::OpenSslCertApi certs;
    std::unique_ptr<crypt::CardCryptApi> crypt;
    std::unique_ptr<store::SqliteStoreApi> store;
    test::FakeWindow window;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(TraceRun, HoldsEveryExchangeOfLogInQueryAndRegistrationButNoPin) {
    // A reader without a card first: the failed connection is traced with its code.
    const std::string empty = e2e::ReaderName(1);
    Choose(empty);
    window.SetControlText(res::IDC_EDIT_PIN, kPin);
    dlg->OnCommand(res::IDC_BTN_LOGIN);
    ASSERT_EQ(dlg->m_bLoggedIn, 0);

    Choose(card->Reader());
    window.messages.clear();
    dlg->OnCommand(res::IDC_BTN_LOGIN);
    ASSERT_EQ(dlg->m_bLoggedIn, 1) << testing::PrintToString(window.MessageTexts());
    window.SetControlText(res::IDC_EDIT_NEWPIN, kNewPin);
    window.SetControlText(res::IDC_EDIT_CONFIRMPIN, kNewPin);
    dlg->OnCommand(res::IDC_BTN_CHANGEPIN);
    window.TabSetCurSel(res::IDC_TAB, 2);
    dlg->OnTabSelChange(res::IDC_TAB);
    dlg->OnCommand(res::IDC_BTN_QUERY);
    ASSERT_EQ(dlg->m_nCertCount, 3);
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    ASSERT_EQ(window.MessageTexts(),
              (Lines{res::kLoginOk, res::kPinChanged, res::kRegistered, res::kLogInAgain}));
    dlg.reset();

    EXPECT_EQ(Mode(tracePath), 0600u);
    const std::string trace = ReadFile(tracePath);
    const Lines events = SplitLines(Events(trace));
    ASSERT_FALSE(events.empty());
    const auto has = [&](const std::string& prefix) {
        return std::any_of(events.begin(), events.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    };
    EXPECT_TRUE(has("readers 2: \"" + card->Reader() + "\", \"" + empty + "\""));
    EXPECT_TRUE(has("SCardConnectA \"" + empty + "\" failed 0x8010"));

    const std::string apdu = "APDU \"" + card->Reader() + "\" T=0 > ";
    EXPECT_TRUE(has(apdu + e2e::SelectAid("03") + " < 61 ")) << trace;
    EXPECT_TRUE(has(apdu + "00 74 "));  // the directory read

    // The provider's own connection (shared; the dialog's is exclusive), then its lookup.
    const auto shared =
        std::find(events.begin(), events.end(), "connected \"" + card->Reader() + "\" shared T=0");
    ASSERT_NE(shared, events.end()) << trace;
    EXPECT_TRUE(std::any_of(shared, events.end(), [&](const std::string& e) {
        return e.rfind(apdu + "00 7E ", 0) == 0;
    })) << trace;

    // Every command the card received, in its order (VERIFY and WRITE RECORD masked alike),
    // and each with its time.
    Lines commands;
    for (const std::string& e : events) {
        if (!TracedCommand(e).empty()) {
            commands.push_back(TracedCommand(e));
            EXPECT_EQ(e.substr(e.size() - 3), " ms") << e;
        }
    }
    EXPECT_EQ(commands, card->Commands());

    ExpectNoPin(trace, kPin);
    ExpectNoPin(trace, kNewPin);
}

// The program itself: `quorlin --trace FILE` on the offscreen platform.
class TraceOption : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(e2e::WaitForReaders(2));
        program = e2e::Env("QUORLIN_BUILD_DIR") + "/src/quorlin";
        ASSERT_EQ(access(program.c_str(), X_OK), 0) << program;
        home = e2e::ScratchPath("home");
        fs::create_directories(home);
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    void TearDown() override {
        unsetenv("XDG_DATA_HOME");
        unsetenv("QT_QPA_PLATFORM");
    }

    e2e::Process Run(const std::string& file) {
        output = e2e::ScratchPath("quorlin.out");
        return e2e::Process({program, "--trace", file}, output);
    }

    std::string program;
    std::string home;
    std::string output;
};

TEST_F(TraceOption, CreatesTheFilePrivateAndTracesTheReaderListing) {
    const std::string file = e2e::ScratchPath("trace");
    e2e::Process quorlin = Run(file);
    const std::string listing =
        "readers 2: \"" + e2e::ReaderName(0) + "\", \"" + e2e::ReaderName(1) + "\"";
    EXPECT_TRUE(WaitFor([&] { return Events(ReadFile(file)).find(listing) != std::string::npos; },
                        e2e::kReadyTimeout))
        << ReadFile(file);
    EXPECT_TRUE(quorlin.Running()) << ReadFile(output);  // the dialog is up
    EXPECT_EQ(Mode(file), 0600u);
    // First what wrote it, for whoever reads it later.
    const std::string events = Events(ReadFile(file));
    EXPECT_EQ(events.rfind(std::string("quorlin ") + QUORLIN_VERSION + " on 20", 0), 0u) << events;
    for (const char* named : {"\nbuilt with Qt 6.", ", pcsc-lite ", "; OpenSSL ", "\nlocale "}) {
        EXPECT_LT(events.find(named), events.find("readers 2:")) << named;
    }
    quorlin.Stop();
}

TEST_F(TraceOption, ShowsAMessageBoxInTheTrace) {
    // A service that cannot be reached: the dialog's first words are a box.
    setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/pcscd.comm", 1);
    const std::string file = e2e::ScratchPath("trace");
    e2e::Process quorlin = Run(file);
    unsetenv("PCSCLITE_CSOCK_NAME");
    EXPECT_TRUE(WaitFor(
        [&] {
            return Events(ReadFile(file)).find("message box (none): Service not available.\n") !=
                   std::string::npos;
        },
        e2e::kReadyTimeout))
        << ReadFile(file);
    EXPECT_NE(Events(ReadFile(file)).find("SCardEstablishContext failed 0x8010001D\n"),
              std::string::npos);
    quorlin.Stop();
}

TEST_F(TraceOption, RefusesALinkInTheFilesPlaceWithoutADialog) {
    const std::string target = e2e::WriteScratch("target", "keep\n");
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    const std::string link = e2e::ScratchPath("link");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    e2e::Process quorlin = Run(link);
    // It ends by itself, at once: no dialog waits for anyone.
    EXPECT_TRUE(WaitFor([&] { return !quorlin.Running(); }, std::chrono::seconds(30)));
    const int status = quorlin.Stop();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(ReadFile(output).find(link), std::string::npos) << ReadFile(output);
    EXPECT_EQ(ReadFile(target), "keep\n");
    EXPECT_EQ(Mode(target), 0644u);  // no chmod through the link either
}

}  // namespace
}  // namespace quorlin
