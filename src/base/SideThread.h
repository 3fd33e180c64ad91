#pragma once
// One job at a time on a thread of its own, beside the thread that hands them over: CPU
// work that overlaps the owner's waits for a card's answers. A job and its owner never run
// the same calls at once, so what they share needs no lock of its own.

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace quorlin::base {

class SideThread {
  public:
    SideThread() = default;
    SideThread(const SideThread&) = delete;
    SideThread& operator=(const SideThread&) = delete;
    // Lets a job handed over finish first; what it threw is dropped.
    ~SideThread();

    // Hands over a job once the one before has run (rethrowing what that one threw). The
    // thread starts with the first job; when no thread can be had, the job runs here.
    void Run(std::function<void()> job);
    // Returns once the job handed over has run, rethrowing what it threw.
    void Wait();

  private:
    void Loop();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_job;
    bool m_pending = false;  // a job handed over has not finished
    bool m_stop = false;
    std::exception_ptr m_failure;
    std::thread m_thread;
};

}  // namespace quorlin::base
