#include "e2e/E2e.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace quorlin::e2e {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::uint16_t VpcdPort(int index) {
    const std::string base = Env("QUORLIN_VPCD_BASE_PORT");
    return static_cast<std::uint16_t>(std::strtoul(base.c_str(), nullptr, 0) +
                                      static_cast<unsigned long>(index));
}

std::string ReaderName(int index) {
    const auto readers = ListReaders();
    if (index < 0 || static_cast<std::size_t>(index) >= readers.size()) {
        return {};
    }
    return readers[static_cast<std::size_t>(index)];
}

Process::Process(const std::vector<std::string>& argv, const std::string& outputFile) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A test that dies must not leave its card behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        const int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    m_pid = pid;
}

Process::~Process() {
    Stop();
}

Process::Process(Process&& other) noexcept : m_pid(other.m_pid), m_status(other.m_status) {
    other.m_pid = -1;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        Stop();
        m_pid = other.m_pid;
        m_status = other.m_status;
        other.m_pid = -1;
    }
    return *this;
}

bool Process::Running() {
    if (m_pid <= 0) {
        return false;
    }
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = status;
        m_pid = -1;
        return false;
    }
    return r == 0;
}

int Process::Stop(std::chrono::milliseconds grace) {
    if (m_pid <= 0) {
        return m_status;
    }
    kill(m_pid, SIGTERM);
    const auto deadline = Clock::now() + grace;
    while (Running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_status = status;
        m_pid = -1;
    }
    return m_status;
}

void Service::Restart(int entries) {
    Stop();
    std::ofstream conf(Env("QUORLIN_READER_CONF"), std::ios::trunc);
    for (int k = 0; k < entries; ++k) {
        const int port = VpcdPort(2 * k);
        conf << "FRIENDLYNAME \"Virtual PCD " << k << "\"\nDEVICENAME   /dev/null:" << port
             << "\nLIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID    " << port
             << "\n\n";
    }
    conf.close();
    m_pcscd = Process({"/usr/sbin/pcscd", "--foreground"}, Env("QUORLIN_PCSCD_LOG") + ".restarted");
}

namespace {

// The script reaps its pcscd only when it ends: until then an ended one is a zombie.
bool Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, comm, state;
    return stat >> pidText >> comm >> state && state != "Z";
}

}  // namespace

void Service::Stop() {
    if (m_pcscd.Running()) {
        m_pcscd.Stop();
        return;
    }
    const pid_t pid = static_cast<pid_t>(std::stol("0" + Env("QUORLIN_PCSCD_PID")));
    if (pid > 0 && ::kill(pid, SIGTERM) == 0) {
        const auto until = Clock::now() + kReadyTimeout;
        while (Alive(pid) && Clock::now() < until) {
            std::this_thread::sleep_for(20ms);
        }
    }
}

std::vector<std::string> CertstoreList(int* exitCode) {
    const std::string tool = Env("QUORLIN_BUILD_DIR") + "/tools/certstore/quorlin-certstore";
    FILE* p = popen(("'" + tool + "' list 2>&1").c_str(), "r");
    std::vector<std::string> lines;
    char buf[1024];
    while (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr) {
        lines.emplace_back(buf);
    }
    const int status = p != nullptr ? pclose(p) : -1;
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return lines;
}

std::string ScratchPath(const std::string& stem) {
    static std::atomic<int> counter{0};
    std::string dir = Env("QUORLIN_E2E_SCRATCH");
    if (dir.empty()) {
        dir = "/tmp";
    }
    // Process ids repeat from run to run in a fresh PID namespace: add the time, and
    // never reuse what an earlier run left.
    std::ostringstream path;
    path << dir << "/" << stem << "." << getpid() << "."
         << std::chrono::system_clock::now().time_since_epoch().count() << "." << counter++;
    unlink(path.str().c_str());
    return path.str();
}

std::string WriteScratch(const std::string& stem, const std::string& text) {
    const std::string path = ScratchPath(stem);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

}  // namespace quorlin::e2e

namespace quorlin::e2e {

CardSim::CardSim(const std::string& profilePath, int readerIndex, bool waitPresent)
    : m_reader(ReaderName(readerIndex)),
      m_logPath(ScratchPath("cardsim.log")),
      m_outputPath(m_logPath + ".out") {
    const std::string program = Env("QUORLIN_CARDSIM");
    m_process = Process({program, profilePath, "--host", "127.0.0.1", "--port",
                         std::to_string(VpcdPort(readerIndex)), "--log", m_logPath},
                        m_outputPath);
    if (waitPresent && !m_reader.empty()) {
        m_present = WaitForCard(m_reader, true);
    }
}

CardSim::~CardSim() {
    Stop();
}

void CardSim::Stop() {
    const bool wasRunning = m_process.Running();
    m_process.Stop();
    // The next card in this reader must not be taken for this one.
    if (wasRunning && m_present) {
        WaitForCard(m_reader, false);
    }
    m_present = false;
}

std::vector<std::string> CardSim::LogLines() const {
    std::vector<std::string> lines;
    std::ifstream in(m_logPath);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> CardSim::Commands() const {
    std::vector<std::string> commands;
    for (const auto& line : LogLines()) {
        if (line.rfind("> ", 0) == 0) {
            commands.push_back(line.substr(2));
        }
    }
    return commands;
}

}  // namespace quorlin::e2e
