#pragma once
// Follows the service's readers from a thread of its own: waits on the plug-and-play
// notification reader with a context of its own (pcsc-lite contexts belong to a thread)
// and reports each new list. A service that goes away is retried at most every two
// seconds until it is back, which is reported too: contexts made before are dead.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/PcscApi.h"

namespace quorlin::card {

class ReaderWatcher {
  public:
    struct Update {
        std::vector<std::string> readers;  // the first maxReaders, in the service's order
        bool serviceRestarted = false;
    };
    // Called on the watcher's thread.
    using Notify = std::function<void(Update)>;
    // Waits up to the time given unless stopped first; false once stopped.
    using Pause = std::function<bool(std::chrono::milliseconds)>;

    static constexpr std::chrono::milliseconds kRetryInterval{2000};

    ReaderWatcher(pcsc::PcscApi& pcsc, std::size_t maxReaders, Notify notify);
    // Ends the thread when one runs.
    ~ReaderWatcher();
    ReaderWatcher(const ReaderWatcher&) = delete;
    ReaderWatcher& operator=(const ReaderWatcher&) = delete;

    void Start();
    // Cancels the wait on the watcher's own context and joins the thread.
    void Stop();

    // One round of the thread's loop; false when the watch is over (stopped, or a service
    // without plug-and-play support). Tests call it directly with a pause of their own.
    bool Step();
    void SetPause(Pause pause) { m_pause = std::move(pause); }

  private:
    bool Establish();
    void Lost();
    std::vector<std::string> List();

    pcsc::PcscApi& m_pcsc;
    const std::size_t m_maxReaders;
    Notify m_notify;
    Pause m_pause;

    std::mutex m_mutex;  // guards m_context and m_stop across the two threads
    std::condition_variable m_wake;
    pcsc::ScardContext m_context = 0;
    bool m_stop = false;
    bool m_running = false;

    std::uint32_t m_state = pcsc::kStateUnaware;
    bool m_lost = false;
    std::thread m_thread;
};

}  // namespace quorlin::card
