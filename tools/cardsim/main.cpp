// quorlin-cardsim: the card engine as a virtual card behind pcscd's vpcd reader driver.
// vpcd listens; the card connects. Frames are a 2-byte big-endian length and a payload; a
// 1-byte payload is a control code (00 off, 01 on, 02 reset, 04 ATR), anything longer an
// APDU. Only the ATR request and APDUs get an answer.

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Cli.h"
#include "engine/Engine.h"

namespace {

using quorlin::cardsim::Bytes;
using quorlin::cardsim::Engine;

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_removeRequested = 0;
volatile std::sig_atomic_t g_insertRequested = 0;

void OnStop(int) {
    g_stop = 1;
}
void OnRemove(int) {
    g_removeRequested = 1;
}
void OnInsert(int) {
    g_insertRequested = 1;
}

FILE* g_out = stdout;

void Say(const std::string& line) {
    std::fputs(line.c_str(), g_out);
    std::fputc('\n', g_out);
    std::fflush(g_out);
}

// A socket, closed when its owner goes.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Close(); }
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Close();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

  private:
    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    int m_fd = -1;
};

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

struct FileClose {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Sleeps up to ms, waking early for a signal.
void Pause(int ms) {
    for (int waited = 0; waited < ms && !g_stop; waited += 50) {
        ::usleep(50 * 1000);
    }
}

Fd Connect(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        return Fd();
    }
    const std::unique_ptr<addrinfo, AddrInfoFree> list(found);
    Fd fd;
    for (addrinfo* a = list.get(); a != nullptr && !fd; a = a->ai_next) {
        Fd candidate(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (candidate && ::connect(candidate.Get(), a->ai_addr, a->ai_addrlen) == 0) {
            fd = std::move(candidate);
        }
    }
    if (fd) {
        int one = 1;
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

// Reads exactly n bytes; false on end of stream, error, a signal to stop or to remove.
bool ReadFull(int fd, std::uint8_t* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        if (g_stop || g_removeRequested) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, 200);
        if (r < 0 && errno != EINTR) {
            return false;
        }
        if (r <= 0) {
            continue;
        }
        // vpcd writes the length and the payload separately without TCP_NODELAY; acking at
        // once keeps every command from waiting out a delayed ACK (the option does not stick).
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        ssize_t k = ::recv(fd, buf + got, n - got, 0);
        if (k == 0) {
            return false;
        }
        if (k < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        got += static_cast<std::size_t>(k);
    }
    return true;
}

// One frame in one write, so that the reader never waits on a half answer.
bool WriteFrame(int fd, const Bytes& payload) {
    Bytes frame;
    frame.reserve(payload.size() + 2);
    frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t k = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (k < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        sent += static_cast<std::size_t>(k);
    }
    return true;
}

// Serves one link until it ends. Returns false when the card left for good (vanished).
bool Serve(int fd, Engine& engine) {
    std::uint8_t header[2];
    Bytes payload;
    while (ReadFull(fd, header, 2)) {
        const std::size_t length = static_cast<std::size_t>(header[0] << 8 | header[1]);
        payload.assign(length, 0);
        if (length > 0 && !ReadFull(fd, payload.data(), length)) {
            break;
        }
        if (length == 1) {
            switch (payload[0]) {
                case 0x00:
                    engine.PowerOff();
                    Say("cardsim: power off");
                    break;
                case 0x01:
                    engine.PowerOn();
                    Say("cardsim: power on");
                    break;
                case 0x02:
                    engine.Reset();
                    Say("cardsim: reset");
                    break;
                case 0x04:
                    Say("cardsim: ATR " + quorlin::cardsim::FormatHex(engine.Atr()));
                    if (!WriteFrame(fd, engine.Atr())) {
                        return true;
                    }
                    break;
                default:
                    Say("cardsim: unknown control " +
                        quorlin::cardsim::FormatHex(Bytes{payload[0]}));
                    break;
            }
            continue;
        }
        if (length == 0) {
            continue;
        }
        const bool wasGone = engine.Vanished();
        Bytes answer = engine.Process(payload);
        if (engine.Vanished()) {
            // Its last answer still goes out; then the link closes as the card leaves.
            if (!wasGone && !answer.empty()) {
                WriteFrame(fd, answer);
            }
            return false;
        }
        if (!WriteFrame(fd, answer)) {
            return true;
        }
    }
    return true;
}

int Run(int argc, char** argv) {
    CLI::App app("The card engine as the card in a virtual reader of vpcd.", "quorlin-cardsim");
    quorlin::cli::AddVersion(app);
    app.footer(
        "Connects to vpcd (default localhost:35963) as its card.\n"
        "SIGUSR1 pulls the card out, SIGUSR2 puts it back, SIGTERM ends.\n"
        "\n"
        "Exit status: 0 ended, 1 the profile, the log or standard output cannot be used,\n"
        "2 bad usage.");
    std::string profile;
    std::string host = "localhost";
    int port = 35963;
    std::string logFile;
    std::unique_ptr<FILE, FileClose> log;
    app.add_option("PROFILE", profile, "the card's JSON profile")->required();
    app.add_option("--host", host, "where vpcd listens (default localhost)")->option_text("H");
    app.add_option("--port", port, "vpcd's port for the reader (default 35963)")
        ->option_text("P")
        ->check(CLI::Range(1, 65535));
    app.add_option("--log", logFile, "append the log to FILE, not standard output")
        ->option_text("FILE");
    if (const auto done = quorlin::cli::Parse(app, argc, argv)) {
        return *done;
    }
    if (!logFile.empty()) {
        log.reset(std::fopen(logFile.c_str(), "a"));
        if (!log) {
            std::fprintf(stderr, "quorlin-cardsim: cannot open %s: %s\n", logFile.c_str(),
                         std::strerror(errno));
            return 1;
        }
        g_out = log.get();
    }
    std::setvbuf(g_out, nullptr, _IOLBF, 0);

    std::optional<Engine> engine;
    try {
        engine.emplace(Engine::FromFile(profile));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorlin-cardsim: %s\n", e.what());
        return 1;
    }
    engine->SetLogSink(Say);

    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = OnRemove;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = OnInsert;
    sigaction(SIGUSR2, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    bool present = true;
    bool reportedWaiting = false;
    while (!g_stop) {
        if (g_insertRequested) {
            g_insertRequested = 0;
            g_removeRequested = 0;
            if (!present) {
                Say("cardsim: inserted");
            }
            present = true;
        }
        if (g_removeRequested) {
            g_removeRequested = 0;
            present = false;
            engine->PowerOff();
            Say("cardsim: removed");
        }
        if (!present || engine->Vanished()) {
            Pause(100);
            continue;
        }
        bool stays = true;
        {
            const Fd link = Connect(host, std::to_string(port));
            if (!link) {
                if (!reportedWaiting) {
                    Say("cardsim: waiting for vpcd at " + host + ":" + std::to_string(port));
                    reportedWaiting = true;
                }
                Pause(200);
                continue;
            }
            reportedWaiting = false;
            Say("cardsim: connected");
            stays = Serve(link.Get(), *engine);
        }  // closed before the card powers off
        // A link that ends takes the card out of the reader: its session ends with it.
        engine->PowerOff();
        if (!stays) {
            Say("cardsim: card vanished");
        } else if (!g_stop && !g_removeRequested) {
            Say("cardsim: disconnected");
            Pause(200);
        }
    }
    Say("cardsim: stopped");
    if (log && (std::fflush(log.get()) != 0 || std::ferror(log.get()) != 0)) {
        std::fprintf(stderr, "quorlin-cardsim: cannot write to %s\n", logFile.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return quorlin::cli::Finish("quorlin-cardsim", Run(argc, argv));
}
