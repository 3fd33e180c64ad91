// Each flow of the dialog, and each command of quorlin-card, against the card engine,
// with one fault at each of its card transmissions in turn: the card gone, a status word
// nothing expects, a length the area cannot hold, a follow-up that makes no sense. Every
// run must end, say what failed, never claim success after a failed step, leave the store
// whole and let the next log-in (or the same command) work.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Diagnose.h"
#include "fakes/DialogHarness.h"
#include "fakes/EnginePcsc.h"
#include "fakes/TempDir.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"

namespace quorlin::test {
namespace {

enum Fault { kNone, kGone, kSw6F00, kSw6CFF, kSw61FF, kLong };
const char* const kFaultNames[] = {"none", "gone", "6F 00", "6C FF", "61 FF", "254 bytes, 90 00"};
enum Flow { kLogIn, kChangePin, kQuery, kRegister };
const char* const kFlowNames[] = {"log-in", "PIN change", "query", "registration"};

// The engine's card with one fault at transmission `at`; a card gone stays gone until
// Restore. Only one connection gets the card at a time, as under the resource manager.
class FaultyPcsc : public EnginePcsc {
  public:
    using EnginePcsc::EnginePcsc;
    Fault fault = kNone;
    int at = 0;
    int sent = 0;
    bool gone = false;
    std::vector<Bytes> replies;  // each transmission's answer; empty when it failed

    void Restore() {
        gone = false;
        at = 0;
        engine.Reset();
    }

    std::uint32_t SCardConnectA(pcsc::ScardContext context, const char* reader,
                                std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                pcsc::ScardHandle* card, std::uint32_t* protocol) override {
        if (gone || connectedCard != 0) {
            *card = 0;
            return gone ? pcsc::kENoSmartcard : pcsc::kESharingViolation;
        }
        return EnginePcsc::SCardConnectA(context, reader, shareMode, preferredProtocols, card,
                                         protocol);
    }
    std::uint32_t SCardTransmit(pcsc::ScardHandle card, const pcsc::ScardIoRequest* sendPci,
                                const std::uint8_t* send, std::uint32_t sendLength,
                                pcsc::ScardIoRequest* recvPci, std::uint8_t* recv,
                                std::uint32_t* recvLength) override {
        if (++sent == at) {
            gone = fault == kGone;
            if (fault == kLong) {
                answers.push_back({pcsc::kSuccess, Bytes(254, 0xFF)});
                answers.back().bytes.insert(answers.back().bytes.end(), {0x90, 0x00});
            } else if (fault != kGone && fault != kNone) {
                Queue(kFaultNames[fault]);
            }
        }
        if (gone) {
            QueueError(pcsc::kWRemovedCard);
        }
        const std::uint32_t rv =
            EnginePcsc::SCardTransmit(card, sendPci, send, sendLength, recvPci, recv, recvLength);
        replies.push_back(rv == pcsc::kSuccess ? Bytes(recv, recv + *recvLength) : Bytes());
        return rv;
    }
    // The reader's state as the service reports it.
    std::uint32_t SCardGetStatusChangeA(pcsc::ScardContext, std::uint32_t,
                                        pcsc::ScardReaderState* states,
                                        std::uint32_t count) override {
        for (std::uint32_t i = 0; i < count; ++i) {
            states[i].dwEventState = gone ? pcsc::kStateEmpty : pcsc::kStatePresent;
            states[i].cbAtr = static_cast<std::uint32_t>(engine.Atr().size());
            std::copy(engine.Atr().begin(), engine.Atr().end(), states[i].rgbAtr);
        }
        return pcsc::kSuccess;
    }
};

// What is wrong with the store: an entry without its key link or certificate.
std::string StoreFaultOf(store::SqliteStoreApi& store, std::size_t* entries) {
    auto list = store.List("MY");
    if (!list) {
        return "store unreadable";
    }
    *entries = list->size();
    x509::OpenSslCertApi certs;
    for (const auto& e : *list) {
        const auto* cert = certs.CertCreateCertificateContext(
            x509::kX509AsnEncoding | x509::kPkcs7AsnEncoding, e.der.data(),
            static_cast<std::uint32_t>(e.der.size()));
        if (cert == nullptr || !e.hasKeyProvInfo || e.container.empty() || e.provider.empty() ||
            (e.keySpec != 1 && e.keySpec != 2)) {
            return "partial entry " + e.thumbprint;
        }
        certs.CertFreeCertificateContext(cert);
    }
    return "";
}

// One run: a fresh card, dialog, provider and store.
struct Session {
    Session(Fault fault, int at) {
        h.pcsc.fault = fault;
        h.pcsc.at = at;
        h.Start({.certs = &certs, .crypt = &crypt, .store = store.get()});
    }
    ~Session() { h.dlg.reset(); }  // before the services it was handed

    // The flow as the user goes through it, as far as the dialog lets them; the
    // transmissions made by the end of the log-in and of the query.
    std::pair<int, int> Drive(Flow flow) {
        h.LogIn("123456");
        const int afterLogIn = h.pcsc.sent;
        if (flow == kLogIn || h.dlg->m_bLoggedIn == 0) {
            return {afterLogIn, afterLogIn};
        }
        if (flow == kChangePin) {
            h.ClickTab(1);
            h.Type(res::IDC_EDIT_NEWPIN, "123456");  // the PIN stays, for the next log-in
            h.Type(res::IDC_EDIT_CONFIRMPIN, "123456");
            h.Click(res::IDC_BTN_CHANGEPIN);
            return {afterLogIn, afterLogIn};
        }
        h.ClickTab(2);
        h.Click(res::IDC_BTN_QUERY);
        const int afterQuery = h.pcsc.sent;
        if (flow == kRegister && h.wnd.IsEnabled(res::IDC_BTN_REGISTER)) {
            h.Click(res::IDC_BTN_REGISTER);
        }
        return {afterLogIn, afterQuery};
    }

    std::string StoreFault(std::size_t* entries) { return StoreFaultOf(*store, entries); }

    DialogHarness<FaultyPcsc> h{"demo.json"};
    TempDir data{"quorlin-sweep"};
    x509::OpenSslCertApi certs;
    crypt::CardCryptApi crypt{
        h.pcsc,
        crypt::ProviderRegistry({std::string(getenv("QUORLIN_BUILD_DIR") ?: ".") + "/share"})};
    std::unique_ptr<store::SqliteStoreApi> store =
        std::make_unique<store::SqliteStoreApi>(data.Join("quorlin"));
};

// A message the dialog has for a failure or an outcome.
// clang-format off
bool Known(const std::string& text) {
    static const std::vector<std::string> texts = {
        res::kConnectFailed, res::kWrongCardKind, res::kLoginFailed, res::kLoginOk,
        res::kPinWrong, res::kPinBlocked, res::kPinVerifyError, res::kPinChanged,
        res::kPinChangeError, res::kEf8010Missing, res::kDirReadError, res::kDirNextError,
        res::kCertFileSelectError, res::kCertReadError, res::kCertNextError,
        res::kNoneRegistered, res::kRegistered, res::kLogInAgain};
    static const std::vector<std::string> prefixes = {
        "Error:", "CryptAcquireContext = 0x", "CertOpenStore = 0x", "CryptGetUserKey = 0x",
        "CertSetCertificateContextProperty = 0x", "CertAddCertificateContextToStore = 0x"};
    return std::find(texts.begin(), texts.end(), text) != texts.end() ||
           std::any_of(prefixes.begin(), prefixes.end(),
                       [&](const std::string& p) { return text.rfind(p, 0) == 0; });
}
// clang-format on

bool Has(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// Whether a failure of this transmission must be said: it succeeded in the clean run and
// is no key information of the query, which drops its row without a word.
bool MustBeSaid(const Bytes& command, const Bytes& reply, bool inQuery) {
    const std::size_t n = reply.size();
    const bool ok = n >= 2 && ((reply[n - 2] == 0x90 && reply[n - 1] == 0) || reply[n - 2] == 0x61);
    return ok && !(inQuery && command[1] == 0x4C);
}

TEST(FaultSweep, EveryFlowEndsSoundlyWithAFaultAtAnyCardCommand) {
    std::string table;
    int failures = 0;
    int runs = 0;
    for (Flow flow : {kLogIn, kChangePin, kQuery, kRegister}) {
        Session clean(kNone, 0);
        const auto [afterLogIn, afterQuery] = clean.Drive(flow);
        const int n = clean.h.pcsc.sent;
        const std::vector<std::string> cleanTexts = clean.h.wnd.MessageTexts();
        table += std::string(kFlowNames[flow]) + ": N = " + std::to_string(n) + "\n";
        for (Fault fault : {kGone, kSw6F00, kSw6CFF, kSw61FF, kLong}) {
            for (int k = 1; k <= n; ++k, ++runs) {
                Session run(fault, k);
                run.Drive(flow);
                const int sent = run.h.pcsc.sent;
                const std::vector<std::string> texts = run.h.wnd.MessageTexts();
                std::size_t entries = 0;
                std::string problem = flow == kRegister ? run.StoreFault(&entries) : "";
                const bool said = std::any_of(texts.begin(), texts.end(),
                                              [&](auto& t) { return !Has(cleanTexts, t); });
                const bool inQuery = k > afterLogIn && k <= afterQuery;
                if (sent > n + 8) {
                    problem += " endless";
                }
                if (!std::all_of(texts.begin(), texts.end(), Known)) {
                    problem += " unknown message";
                }
                if (Has(texts, res::kLoginOk) && texts.front() != res::kLoginOk) {
                    problem += " log-in success after a failure";
                }
                if (Has(texts, res::kPinChanged) &&
                    texts != std::vector<std::string>{res::kLoginOk, res::kPinChanged}) {
                    problem += " PIN change success after a failure";
                }
                if (Has(texts, res::kRegistered) != (entries > 0)) {
                    problem += " registration outcome against the store";
                }
                if ((fault == kGone || fault == kSw6F00) && !said &&
                    MustBeSaid(clean.h.pcsc.commands[static_cast<std::size_t>(k - 1)],
                               clean.h.pcsc.replies[static_cast<std::size_t>(k - 1)], inQuery)) {
                    problem += " failure not said";
                }
                if (run.crypt.OpenContexts() != 0) {
                    problem += " provider context left open";
                }
                // The card back: the next log-in works.
                run.h.pcsc.Restore();
                if (run.h.dlg->m_bLoggedIn != 0) {
                    run.h.Click(res::IDC_BTN_LOGIN);
                }
                run.h.wnd.messages.clear();
                run.h.LogIn("123456");
                if (run.h.wnd.MessageTexts() != std::vector<std::string>{res::kLoginOk}) {
                    problem += " next log-in fails";
                }
                std::string outcome;
                for (const std::string& t : texts) {
                    outcome += (outcome.empty() ? "" : " | ") + t;
                }
                table += std::string(kFlowNames[flow]) + ", " + kFaultNames[fault] +
                         ", k=" + std::to_string(k) + ": " + outcome + " (" + std::to_string(sent) +
                         " transmissions)" + (problem.empty() ? "" : "  !!" + problem) + "\n";
                failures += problem.empty() ? 0 : 1;
            }
        }
    }
    EXPECT_EQ(failures, 0) << runs << " runs\n" << table;
}

enum Command { kReaders, kCerts, kToolChangePin, kToolRegister, kDiagnose };
const char* const kCommandNames[] = {"readers", "certs", "change-pin", "register", "diagnose"};

// One quorlin-card command in-process, the PIN (and the new one, twice) from a pipe; its
// status, stdout and stderr.
struct ToolRun {
    ToolRun(FaultyPcsc& pcsc, Command command) {
        int pins[2];
        EXPECT_EQ(pipe(pins), 0);
        const std::string lines = "123456\n123456\n123456\n";
        EXPECT_EQ(write(pins[1], lines.data(), lines.size()), ssize_t(lines.size()));
        close(pins[1]);
        cardtool::Options options;
        options.reader = "0";
        options.pinFd = pins[0];
        options.pcsc = &pcsc;
        options.json = true;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        status = command == kReaders         ? cardtool::Readers(options)
                 : command == kCerts         ? cardtool::Certs(options, {})
                 : command == kDiagnose      ? cardtool::Diagnose(options)
                 : command == kToolChangePin ? cardtool::ChangePin(options)
                                             : cardtool::Register(options, "MY");
        std::fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        close(pins[0]);
    }
    int status;
    std::string out, err;
};

TEST(FaultSweep, EveryCardToolCommandEndsSoundlyWithAFaultAtAnyCardCommand) {
    // One data directory, emptied between runs: the diagnosis prints the store's path.
    TempDir home{"quorlin-sweep"};
    ASSERT_EQ(setenv("XDG_DATA_HOME", home.Path().c_str(), 1), 0);
    const auto emptied = [&] { std::filesystem::remove_all(home.Join("quorlin")); };
    std::string table;
    int failures = 0;
    int runs = 0;
    for (Command command : {kReaders, kCerts, kToolChangePin, kToolRegister, kDiagnose}) {
        emptied();
        FaultyPcsc clean("demo.json");
        const ToolRun cleanRun(clean, command);
        const int n = clean.sent;
        table += std::string(kCommandNames[command]) + ": N = " + std::to_string(n) + ", exit " +
                 std::to_string(cleanRun.status) + " " + cleanRun.err + "\n";
        failures += cleanRun.status == 0 && n > 0 ? 0 : 1;
        for (Fault fault : {kGone, kSw6F00, kSw6CFF, kSw61FF, kLong}) {
            for (int k = 1; k <= n; ++k, ++runs) {
                emptied();
                FaultyPcsc pcsc("demo.json");
                pcsc.fault = fault;
                pcsc.at = k;
                const ToolRun run(pcsc, command);
                std::string problem;
                if (pcsc.sent > n + 8) {  // before the next run adds its own
                    problem += " endless";
                }
                // A failure is named: on stderr by the program, or in the data, as the error of
                // a listed container or the line of a certificate not registered. A success
                // says nothing on stderr.
                const bool named = run.err.rfind("quorlin-card: ", 0) == 0 ||
                                   run.out.find("\"error\": ") != std::string::npos ||
                                   run.out.find(": failed: ") != std::string::npos ||
                                   run.out.find(": no key\n") != std::string::npos;
                if ((run.status != 0) != named || (run.status == 0 && !run.err.empty())) {
                    problem += " exit status against the messages";
                }
                if ((fault == kGone || fault == kSw6F00) && run.status == 0 &&
                    run.out == cleanRun.out &&
                    MustBeSaid(clean.commands[static_cast<std::size_t>(k - 1)],
                               clean.replies[static_cast<std::size_t>(k - 1)], false)) {
                    problem += " failure not said";
                }
                if (command == kToolRegister) {
                    std::size_t entries = 0, added = 0;
                    store::SqliteStoreApi store;
                    problem += StoreFaultOf(store, &entries);
                    for (std::size_t at = 0;
                         (at = run.out.find(": added\n", at)) != std::string::npos; ++at) {
                        ++added;
                    }
                    if (added != entries) {
                        problem += " added lines against the store";
                    }
                }
                const int sent = pcsc.sent;
                // The card back: the same command works.
                pcsc.Restore();
                const ToolRun again(pcsc, command);
                if (again.status != 0 || again.out != cleanRun.out) {
                    problem += " next run fails: " + again.err;
                }
                table += std::string(kCommandNames[command]) + ", " + kFaultNames[fault] +
                         ", k=" + std::to_string(k) + ": exit " + std::to_string(run.status) + " " +
                         run.err.substr(0, run.err.find('\n')) + " (" + std::to_string(sent) +
                         " transmissions)" + (problem.empty() ? "" : "  !!" + problem) + "\n";
                failures += problem.empty() ? 0 : 1;
            }
        }
    }
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(failures, 0) << runs << " runs\n" << table;
}

}  // namespace
}  // namespace quorlin::test
