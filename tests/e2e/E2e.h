#pragma once
// Helpers for end-to-end tests, which run inside scripts/pcscd-private: a private pcscd
// whose readers are vpcd's virtual ones (two per reader.conf entry, reader i listening
// for its card on port QUORLIN_VPCD_BASE_PORT + i) and quorlin-cardsim as the card.
// These helpers talk to pcsc-lite directly; the code under test goes through PcscLite.
// The reader waits are quorlin-pcsc-readers' own (tools/pcsc-readers).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Readers.h"

namespace quorlin::e2e {

using namespace std::chrono_literals;

using readers::kReadyTimeout;
using readers::ListReaders;
using readers::WaitForCard;
using readers::WaitForReaders;

// An environment variable that the test runner sets; empty when unset.
std::string Env(const char* name);

// The TCP port on which vpcd waits for the card of reader `index`.
std::uint16_t VpcdPort(int index);
// The name of reader `index` (empty when there is no such reader).
std::string ReaderName(int index);

// A child process, stopped (TERM, then KILL) when the object goes or its parent dies.
class Process {
  public:
    Process() = default;
    // argv[0] is the program; stdout and stderr go to outputFile.
    Process(const std::vector<std::string>& argv, const std::string& outputFile);
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Running();
    // Returns the exit status (as waitpid gives it), or -1 when not started.
    int Stop(std::chrono::milliseconds grace = 10s);
    pid_t Pid() const { return m_pid; }

  private:
    pid_t m_pid = -1;
    int m_status = -1;
};

// quorlin-cardsim with a profile, as the card in one reader.
class CardSim {
  public:
    // Starts the simulator on reader `index`; with waitPresent, returns once the reader
    // shows the card (check Present() for the outcome).
    CardSim(const std::string& profilePath, int readerIndex, bool waitPresent = true);
    ~CardSim();
    CardSim(const CardSim&) = delete;
    CardSim& operator=(const CardSim&) = delete;

    bool Present() const { return m_present; }
    const std::string& Reader() const { return m_reader; }
    bool Running() { return m_process.Running(); }
    void Stop();
    // The simulator's log lines, in order.
    std::vector<std::string> LogLines() const;
    // The hex of each command APDU logged (as the simulator writes it), in order.
    std::vector<std::string> Commands() const;
    const std::string& LogPath() const { return m_logPath; }

  private:
    std::string m_reader;
    std::string m_logPath;
    std::string m_outputPath;
    Process m_process;
    bool m_present = false;
};

// The private service, stopped and started again with `entries` vpcd entries, written as
// scripts/pcscd-private writes them. The first one stopped is the script's.
class Service {
  public:
    void Restart(int entries);
    // Returns once the service has ended.
    void Stop();

  private:
    Process m_pcscd;
};

// Runs quorlin-certstore list with the test's environment; its output, lines kept.
std::vector<std::string> CertstoreList(int* exitCode);

// A scratch file path for this test (under the build tree), unique per call.
std::string ScratchPath(const std::string& stem);
// Writes text to a new scratch file and returns its path.
std::string WriteScratch(const std::string& stem, const std::string& text);

}  // namespace quorlin::e2e
