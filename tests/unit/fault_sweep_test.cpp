// Each flow of the dialog, and each command of quorlin-card, against the card engine,
// with one fault at each of its card transmissions in turn: the card gone, a status word
// nothing expects, a length the area cannot hold, a follow-up that makes no sense. Every
// run must end, say what failed, never claim success after a failed step, leave the store
// whole and let the next log-in (or the same command) work.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
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
enum Flow {
    kLogIn,
    kChangePin,
    kQuery,
    kRegister,
    kReaders,
    kCerts,
    kCardChangePin,
    kCardRegister,
    kDiagnose
};
const char* const kFlowNames[] = {"log-in",          "PIN change",    "query",
                                  "registration",    "card readers",  "card certs",
                                  "card change-pin", "card register", "card diagnose"};

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

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A message the dialog has for a failure or an outcome; a failing call is named with its
// code ("CertOpenStore = 0x...").
bool Known(const std::string& text) {
    static const std::vector<std::string> texts = {
        res::kConnectFailed,  res::kWrongCardKind, res::kLoginFailed,         res::kLoginOk,
        res::kPinWrong,       res::kPinBlocked,    res::kPinVerifyError,      res::kPinChanged,
        res::kPinChangeError, res::kEf8010Missing, res::kDirReadError,        res::kDirNextError,
        res::kCertReadError,  res::kCertNextError, res::kCertFileSelectError, res::kNoneRegistered,
        res::kRegistered,     res::kLogInAgain};
    return Has(texts, text) || text.rfind("Error:", 0) == 0 ||
           text.find(" = 0x") != std::string::npos;
}

std::vector<std::string> Lines(std::istringstream in) {
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// What a run showed (the dialog's boxes; the tool's exit status, stderr and stdout), how many
// transmissions it made, and what went wrong in it.
struct Outcome {
    std::vector<std::string> shown;
    int sent = 0;
    std::string problem;
};

// One run of a flow, with one fault at transmission k: a fresh card, dialog, provider and
// store. The store is where quorlin-card finds it too ($XDG_DATA_HOME/quorlin).
class Rig {
  public:
    Rig(const std::string& home, Fault fault, int k) : m_home(home) {
        std::filesystem::remove_all(home + "/quorlin");
        h.pcsc.fault = fault;
        h.pcsc.at = k;
    }
    ~Rig() { h.dlg.reset(); }  // before the services it was handed

    Outcome Go(Flow flow) {
        Outcome run;
        if (flow >= kReaders) {
            const auto [status, out, err] = Card(flow);
            run.shown = Lines(std::istringstream(err + out));
            // The runs share one store: what an earlier run added is there already.
            for (std::string& line : run.shown) {
                if (const auto at = line.rfind(": already registered"); at != std::string::npos) {
                    line.replace(at, std::string::npos, ": added");
                }
            }
            run.shown.insert(run.shown.begin(), "exit " + std::to_string(status));
            // A failure is named, on stderr or in the data; a success says nothing on stderr.
            const bool named = err.rfind("quorlin-card: ", 0) == 0 ||
                               out.find("\"error\": ") != std::string::npos ||
                               out.find(": failed: ") != std::string::npos ||
                               out.find(": no key\n") != std::string::npos;
            if ((status != 0) != named || (status == 0 && !err.empty())) {
                run.problem += " exit status against the messages";
            }
        } else {
            Dialog(flow);
            run.shown = h.wnd.MessageTexts();
            if (!std::all_of(run.shown.begin(), run.shown.end(), Known)) {
                run.problem += " unknown message";
            }
            if (Has(run.shown, res::kLoginOk) && run.shown.front() != res::kLoginOk) {
                run.problem += " log-in success after a failure";
            }
            if (Has(run.shown, res::kPinChanged) &&
                run.shown != std::vector<std::string>{res::kLoginOk, res::kPinChanged}) {
                run.problem += " PIN change success after a failure";
            }
            if (crypt.OpenContexts() != 0) {
                run.problem += " provider context left open";
            }
        }
        run.sent = h.pcsc.sent;
        if (flow == kRegister || flow == kCardRegister) {
            std::size_t entries = 0;
            run.problem += StoreFault(entries);
            const auto added = std::count_if(run.shown.begin(), run.shown.end(), [](auto& l) {
                return l.size() > 7 && l.substr(l.size() - 7) == ": added";
            });
            if (flow == kRegister ? Has(run.shown, res::kRegistered) != (entries > 0)
                                  : static_cast<std::size_t>(added) != entries) {
                run.problem += " outcome against the store";
            }
        }
        return run;
    }

    // The card back: the next log-in works, or the command runs as it did clean.
    bool NextWorks(Flow flow, const Outcome& clean) {
        h.pcsc.Restore();
        if (flow >= kReaders) {
            return Go(flow).shown == clean.shown;
        }
        if (h.dlg->m_bLoggedIn != 0) {
            h.Click(res::IDC_BTN_LOGIN);
        }
        h.wnd.messages.clear();
        h.LogIn("123456");
        return h.wnd.MessageTexts() == std::vector<std::string>{res::kLoginOk};
    }

    DialogHarness<FaultyPcsc> h{"demo.json"};

  private:
    // The flow as the user goes through it, as far as the dialog lets them.
    void Dialog(Flow flow) {
        h.Start({.certs = &certs, .crypt = &crypt, .store = store.get()});
        h.LogIn("123456");
        m_afterLogIn = h.pcsc.sent;
        if (flow == kLogIn || h.dlg->m_bLoggedIn == 0) {
            return;
        }
        if (flow == kChangePin) {
            h.ClickTab(1);
            h.Type(res::IDC_EDIT_NEWPIN, "123456");  // the PIN stays, for the next log-in
            h.Type(res::IDC_EDIT_CONFIRMPIN, "123456");
            h.Click(res::IDC_BTN_CHANGEPIN);
            return;
        }
        h.ClickTab(2);
        h.Click(res::IDC_BTN_QUERY);
        if (flow == kRegister && h.wnd.IsEnabled(res::IDC_BTN_REGISTER)) {
            h.Click(res::IDC_BTN_REGISTER);
        }
    }

    // The command in-process, the PINs (the new one twice) from a pipe: its exit status,
    // stdout and stderr.
    std::tuple<int, std::string, std::string> Card(Flow flow) {
        int pins[2];
        EXPECT_EQ(pipe(pins), 0);
        EXPECT_EQ(write(pins[1], "123456\n123456\n123456\n", 21), 21);
        close(pins[1]);
        cardtool::Options options;
        options.reader = "0";
        options.pinFd = pins[0];
        options.pcsc = &h.pcsc;
        options.json = true;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = flow == kReaders         ? cardtool::Readers(options)
                           : flow == kCerts         ? cardtool::Certs(options, {})
                           : flow == kDiagnose      ? cardtool::Diagnose(options)
                           : flow == kCardChangePin ? cardtool::ChangePin(options)
                                                    : cardtool::Register(options, "MY");
        std::fflush(stdout);
        close(pins[0]);
        std::string out = testing::internal::GetCapturedStdout();
        return {status, out, testing::internal::GetCapturedStderr()};
    }

    // What is wrong with the store: an entry without its certificate or key link.
    std::string StoreFault(std::size_t& entries) {
        const auto list = store->List("MY");
        entries = list ? list->size() : 0;
        for (const auto& e : list.value_or(std::vector<store::StoredCertificate>{})) {
            if (e.der.empty() || !e.hasKeyProvInfo || e.container.empty() || e.provider.empty()) {
                return " partial entry " + e.thumbprint;
            }
        }
        return list ? "" : " store unreadable";
    }

    std::string m_home;
    x509::OpenSslCertApi certs;  // the dialog's
    crypt::CardCryptApi crypt{
        h.pcsc,
        crypt::ProviderRegistry({std::string(getenv("QUORLIN_BUILD_DIR") ?: ".") + "/share"})};
    std::unique_ptr<store::SqliteStoreApi> store =
        std::make_unique<store::SqliteStoreApi>(m_home + "/quorlin");

  public:
    int m_afterLogIn = 0;
};

// Whether a failure of this transmission must be said: it succeeded in the clean run and
// is no key information of the dialog's query, which drops its row without a word.
bool MustBeSaid(const Bytes& command, const Bytes& reply, bool dialogQuery) {
    const std::size_t n = reply.size();
    const bool ok = n >= 2 && ((reply[n - 2] == 0x90 && reply[n - 1] == 0) || reply[n - 2] == 0x61);
    return ok && !(dialogQuery && command[1] == 0x4C);
}

TEST(FaultSweep, EveryFlowEndsSoundlyWithAFaultAtAnyCardCommand) {
    // One data directory for every run: the diagnosis shows the store's path.
    TempDir home{"quorlin-sweep"};
    ASSERT_EQ(setenv("XDG_DATA_HOME", home.Path().c_str(), 1), 0);
    std::string table;
    int failures = 0;
    int runs = 0;
    for (int f = kLogIn; f <= kDiagnose; ++f) {
        const Flow flow = static_cast<Flow>(f);
        Rig clean(home.Path(), kNone, 0);
        const Outcome cleanOutcome = clean.Go(flow);
        const int n = cleanOutcome.sent;
        table += std::string(kFlowNames[flow]) + ": N = " + std::to_string(n) +
                 cleanOutcome.problem + "\n";
        failures += n > 0 && cleanOutcome.problem.empty() ? 0 : 1;
        for (Fault fault : {kGone, kSw6F00, kSw6CFF, kSw61FF, kLong}) {
            for (int k = 1; k <= n; ++k, ++runs) {
                Rig rig(home.Path(), fault, k);
                Outcome run = rig.Go(flow);
                if (run.sent > n + 8) {
                    run.problem += " endless";
                }
                const bool said = std::any_of(run.shown.begin(), run.shown.end(),
                                              [&](auto& t) { return !Has(cleanOutcome.shown, t); });
                const auto at = static_cast<std::size_t>(k - 1);
                if ((fault == kGone || fault == kSw6F00) && !said &&
                    MustBeSaid(clean.h.pcsc.commands[at], clean.h.pcsc.replies[at],
                               flow < kReaders && k > clean.m_afterLogIn)) {
                    run.problem += " failure not said";
                }
                if (!rig.NextWorks(flow, cleanOutcome)) {
                    run.problem += " next run fails";
                }
                table += std::string(kFlowNames[flow]) + ", " + kFaultNames[fault] +
                         ", k=" + std::to_string(k) + ": " +
                         (run.shown.empty() ? "" : run.shown.front()) + " (" +
                         std::to_string(run.sent) + " transmissions)" +
                         (run.problem.empty() ? "" : "  !!" + run.problem) + "\n";
                failures += run.problem.empty() ? 0 : 1;
            }
        }
    }
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(failures, 0) << runs << " runs\n" << table;
}

}  // namespace
}  // namespace quorlin::test
