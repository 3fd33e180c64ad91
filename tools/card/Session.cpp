#include "Session.h"

#include "Entry.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "applet/Applet.h"
#include "applet/Pin.h"
#include "base/Secret.h"
#include "platform/x509/OpenSslCertApi.h"

namespace quorlin::cardtool {

namespace {

constexpr std::size_t kMaxPinLine = 256;

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
}

// What a signal handler must undo while the PIN is being typed: the terminal's modes and
// the bytes typed so far. Plain globals: a handler can reach nothing else.
int g_tty = -1;
termios g_saved{};
termios g_quiet{};
char* volatile g_typed = nullptr;
volatile std::size_t g_typedCapacity = 0;

void WipeTyped() {
    char* typed = g_typed;
    for (std::size_t i = 0; typed != nullptr && i < g_typedCapacity; ++i) {
        static_cast<volatile char*>(typed)[i] = 0;
    }
}

// Ctrl-C, a hang-up or a kill: the terminal as it was and the PIN wiped, then the signal's
// own end. Ctrl-Z: the terminal as it was while stopped, and quiet again once continued.
extern "C" void OnSignalWhileAsking(int sig) {
    const int saved = errno;
    ::tcsetattr(g_tty, TCSANOW, &g_saved);
    if (sig != SIGTSTP) {
        WipeTyped();
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        errno = saved;
        return;
    }
    std::signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    ::sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    std::raise(SIGTSTP);
    // Continued.
    std::signal(SIGTSTP, OnSignalWhileAsking);
    ::tcsetattr(g_tty, TCSANOW, &g_quiet);
    errno = saved;
}

constexpr int kAskSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

// The terminal quiet for as long as the object lives, and back as it was on every way out.
class QuietTerminal {
  public:
    explicit QuietTerminal(int tty) {
        if (::tcgetattr(tty, &g_saved) != 0) {
            return;
        }
        g_tty = tty;
        g_quiet = g_saved;
        g_quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        g_quiet.c_lflag |= ECHONL;
        struct sigaction action {};
        action.sa_handler = OnSignalWhileAsking;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kAskSignals); ++i) {
            ::sigaction(kAskSignals[i], &action, &m_previous[i]);
        }
        ::tcsetattr(tty, TCSAFLUSH, &g_quiet);
        m_active = true;
    }
    ~QuietTerminal() {
        if (!m_active) {
            return;
        }
        ::tcsetattr(g_tty, TCSAFLUSH, &g_saved);
        for (std::size_t i = 0; i < std::size(kAskSignals); ++i) {
            ::sigaction(kAskSignals[i], &m_previous[i], nullptr);
        }
        g_tty = -1;
    }
    QuietTerminal(const QuietTerminal&) = delete;
    QuietTerminal& operator=(const QuietTerminal&) = delete;

  private:
    bool m_active = false;
    struct sigaction m_previous[std::size(kAskSignals)]{};
};

// Reads up to LF or the end of input into line, a byte at a time so that nothing past the
// line is taken from a descriptor that may carry the next PIN. One CR before the LF is
// dropped: a PIN file written on Windows would otherwise send a wrong PIN each run. False
// at once at the end.
bool ReadLine(int fd, std::string& line) {
    line.reserve(kMaxPinLine);  // never moved: every byte stays in one buffer, wiped later
    g_typed = line.data();
    g_typedCapacity = line.capacity();
    bool any = false;
    bool ended = false;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ended = !any;
            break;
        }
        any = true;
        if (c == '\n') {
            break;
        }
        if (line.size() < kMaxPinLine - 1) {
            line.push_back(c);
        }
    }
    if (!line.empty() && line.back() == '\r') {
        line.back() = '\0';
        line.pop_back();
    }
    g_typed = nullptr;
    return !ended;
}

std::atomic<bool> g_traceFailed{false};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The names that hold part, ASCII case aside.
std::vector<std::string> NamesHolding(const std::vector<std::string>& names,
                                      const std::string& part) {
    std::vector<std::string> out;
    for (const std::string& name : names) {
        if (Lower(name).find(Lower(part)) != std::string::npos) {
            out.push_back(name);
        }
    }
    return out;
}

}  // namespace

void Say(const std::string& text) {
    std::fprintf(stderr, "quorlin-card: %s\n", text.c_str());
}

std::string ServiceText(pcsc::PcscApi& pcsc, std::uint32_t code) {
    const std::string text = pcsc.FormatErrorText(code);
    return text.empty() ? certview::FailureText(code) : text;
}

bool TraceFailed() {
    return g_traceFailed;
}

Service::~Service() {
    if (m_sink && m_sink->Failed()) {
        g_traceFailed = true;
    }
}

std::unique_ptr<Service> Service::Open(const Options& options, int& status) {
    g_traceFailed = false;
    std::unique_ptr<Service> service(new Service);
    if (options.pcsc != nullptr) {
        service->m_base = options.pcsc;
    }
    if (!options.trace.empty()) {
        std::string error;
        service->m_sink = trace::TraceSink::Open(options.trace, error);
        if (!service->m_sink) {
            Say("--trace " + error);
            status = kExitUsage;
            return nullptr;
        }
        trace::WriteRunHeader(*service->m_sink, "quorlin-card",
                              std::string("pcsc-lite ") + pcsc::PcscLite::BuiltVersion() + "; " +
                                  x509::OpenSslCertApi::RunningVersion() + " at run time");
        service->m_traced =
            std::make_unique<trace::TracingPcsc>(*service->m_base, *service->m_sink);
    }
    return service;
}

std::unique_ptr<Service> OpenOnReader(const Options& options, int& status) {
    std::unique_ptr<Service> service = Service::Open(options, status);
    if (!service) {
        return nullptr;
    }
    std::optional<std::string> reader = service->ChooseReader(options);
    if (!reader) {
        status = kExitFailure;
        return nullptr;
    }
    service->m_reader = std::move(*reader);
    return service;
}

pcsc::ScardContext Service::Context(bool quiet) {
    if (!m_context) {
        m_context.emplace(Pcsc(), pcsc::kScopeSystem);
        m_contextResult = m_context->Result();
        if (m_contextResult != pcsc::kSuccess && !quiet) {
            Say("no reader service answers: " + ServiceText(Pcsc(), m_contextResult));
        }
    }
    return m_contextResult == pcsc::kSuccess ? m_context->Get() : 0;
}

std::vector<std::string> Service::ReaderNames() {
    const pcsc::ScardContext context = Context();
    if (context == 0) {
        return {};
    }
    const card::ReaderList list(Pcsc(), context);
    return list.Names(SIZE_MAX);
}

std::vector<ReaderState> Service::Readers() {
    std::vector<ReaderState> out;
    const pcsc::ScardContext context = Context();
    if (context == 0) {
        return out;
    }
    const std::vector<std::string> names = ReaderNames();
    // Every reader's state in one round trip to the service.
    std::vector<pcsc::ScardReaderState> states(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        states[i].szReader = names[i].c_str();
    }
    const std::uint32_t rv =
        states.empty() ? pcsc::kSuccess
                       : Pcsc().SCardGetStatusChangeA(context, 0, states.data(),
                                                      static_cast<std::uint32_t>(states.size()));
    const bool known = rv == pcsc::kSuccess || rv == pcsc::kETimeout;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const pcsc::ScardReaderState& state = states[i];
        ReaderState r{names[i], false, {}};
        if (known) {
            r.card = (state.dwEventState & pcsc::kStatePresent) != 0 &&
                     (state.dwEventState & pcsc::kStateMute) == 0;
            const std::size_t atrLength = std::min<std::size_t>(state.cbAtr, pcsc::kMaxAtrSize);
            r.atr.assign(state.rgbAtr, state.rgbAtr + (r.card ? atrLength : 0));
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::optional<std::string> Service::ChooseReader(const Options& options) {
    if (Context() == 0) {
        return std::nullopt;
    }
    if (!options.reader.empty()) {
        // A reader named needs no card states: a round trip less before the log-in.
        const std::vector<std::string> names = ReaderNames();
        if (AllDigits(options.reader)) {
            const std::size_t index = options.reader.size() > 9
                                          ? SIZE_MAX
                                          : static_cast<std::size_t>(std::stoul(options.reader));
            if (index < names.size()) {
                return names[index];
            }
        } else if (std::find(names.begin(), names.end(), options.reader) != names.end()) {
            return options.reader;
        } else if (const std::vector<std::string> matches = NamesHolding(names, options.reader);
                   matches.size() == 1) {
            return matches.front();
        }
    }
    const std::vector<ReaderState> readers = Readers();
    std::string list;
    for (std::size_t i = 0; i < readers.size(); ++i) {
        list += "\n  " + std::to_string(i) + ": " + certview::Printable(readers[i].name) +
                (readers[i].card ? " (card)" : " (empty)");
    }
    if (!options.reader.empty()) {
        Say("no reader " + certview::Printable(options.reader) +
            "; the readers are:" + (list.empty() ? " none" : list));
        return std::nullopt;
    }
    std::vector<std::string> withCard;
    for (const ReaderState& r : readers) {
        if (r.card) {
            withCard.push_back(r.name);
        }
    }
    if (withCard.size() == 1) {
        return withCard[0];
    }
    Say(std::string(withCard.empty() ? "no reader holds a card" : "several readers hold a card") +
        "; choose one with --reader; the readers are:" + (list.empty() ? " none" : list));
    return std::nullopt;
}

CardConnection::CardConnection(Service& service, const std::string& reader)
    : m_pcsc(service.Pcsc()),
      m_result(card::Connect(m_pcsc, service.Context(), reader.c_str(), pcsc::kShareExclusive,
                             m_card, m_pci)) {}

CardConnection::~CardConnection() {
    End();
}

std::uint32_t CardConnection::End() {
    if (m_card == 0) {
        return pcsc::kSuccess;
    }
    const std::uint32_t rv =
        m_pcsc.SCardDisconnect(m_card, m_verifySent ? pcsc::kResetCard : pcsc::kLeaveCard);
    m_card = 0;
    return rv;
}

std::optional<std::string> SelectApplet(const card::Channel& ch) {
    for (const applet::AppletKind& kind : applet::kAppletKinds) {
        if (applet::SelectByName(ch, kind.aid) == 0) {
            return kind.provider;
        }
    }
    return std::nullopt;
}

std::optional<int> ReadPin(const Options& options, const char* prompt, std::string& pin) {
    if (options.pinFd >= 0) {
        if (!ReadLine(options.pinFd, pin)) {
            Say("--pin-fd " + std::to_string(options.pinFd) + ": the input ended before the " +
                prompt);
            return kExitUsage;
        }
        return std::nullopt;
    }
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) {
        Say("no terminal to ask for the PIN on; give it with --pin-fd N");
        return kExitUsage;
    }
    const std::string question = std::string(prompt) + ": ";
    bool got = false;
    {
        const QuietTerminal quiet(tty);
        [[maybe_unused]] const ssize_t shown = ::write(tty, question.data(), question.size());
        got = ReadLine(tty, pin);
    }
    ::close(tty);
    if (!got) {
        Say(std::string("no ") + prompt + " given");
        return kExitUsage;
    }
    return std::nullopt;
}

std::optional<int> AskPin(const Options& options, const char* prompt, bool check,
                          std::optional<applet::CardPin>& pin) {
    std::string typed;
    if (const std::optional<int> status = ReadPin(options, prompt, typed)) {
        base::WipeText(typed);
        return status;
    }
    pin.emplace(typed);
    base::WipeText(typed);
    // The card takes 16 bytes: a longer PIN could only be cut, which sends a wrong one.
    if (pin->size() > applet::kPaddedPinLength) {
        Say(std::string("the ") + prompt + " is longer than 16 bytes");
        return kExitUsage;
    }
    if (check && !pin->valid()) {
        Say(std::string("the ") + prompt + " holds a character that code page 950 cannot hold");
        return kExitFailure;
    }
    if (check && pin->size() < applet::kPinMinLength) {
        Say(std::string("the ") + prompt + " is shorter than 6 bytes");
        return kExitFailure;
    }
    return std::nullopt;
}

std::optional<int> LogIn(Service& service, CardConnection& connection, const applet::CardPin& pin,
                         std::string* provider) {
    if (connection.Result() != pcsc::kSuccess) {
        Say("cannot connect to the card: " + ServiceText(service.Pcsc(), connection.Result()));
        return kExitFailure;
    }
    const std::optional<std::string> kind = SelectApplet(connection.Channel());
    if (!kind) {
        Say("the card holds no applet of a kind this program knows");
        return kExitFailure;
    }
    if (provider != nullptr) {
        *provider = *kind;
    }
    std::int32_t result = 0;
    {
        const applet::PaddedPinBuffer padded(pin.data(), pin.size());
        connection.VerifySent();
        result = applet::Verify(connection.Channel(), padded.bytes);
    }
    if (result == 0) {
        return std::nullopt;
    }
    if (result == applet::kSwWrongPin) {
        Say("wrong PIN; the card blocks the PIN after a few wrong tries");
    } else if (result == applet::kSwPinBlocked) {
        Say("PIN blocked; only the card's issuer can unblock it: ask them, and do not try "
            "again");
    } else if ((static_cast<std::uint32_t>(result) & 0xFFFF0000u) != 0) {
        Say("the PIN could not be verified: " +
            ServiceText(service.Pcsc(), static_cast<std::uint32_t>(result)));
    } else {
        char sw[8];
        std::snprintf(sw, sizeof sw, "%04X", static_cast<unsigned>(result));
        Say(std::string("the card refused the PIN (status ") + sw + ")");
    }
    return kExitFailure;
}

}  // namespace quorlin::cardtool
