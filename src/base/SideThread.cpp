#include "base/SideThread.h"

#include <system_error>
#include <utility>

namespace quorlin::base {

SideThread::~SideThread() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void SideThread::Run(std::function<void()> job) {
    Wait();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread([this] { Loop(); });
            } catch (const std::system_error&) {
                // Out of threads: the overlap is lost, not the job.
                job();
                return;
            }
        }
        m_job = std::move(job);
        m_pending = true;
    }
    m_changed.notify_all();
}

void SideThread::Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_pending; });
    if (m_failure) {
        std::rethrow_exception(std::exchange(m_failure, nullptr));
    }
}

void SideThread::Loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_pending || m_stop; });
        if (!m_pending) {
            return;
        }
        std::function<void()> job = std::move(m_job);
        m_job = nullptr;
        lock.unlock();
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        job = nullptr;  // what the job held goes before its owner hears that it ran
        lock.lock();
        m_failure = failure;
        m_pending = false;
        m_changed.notify_all();
    }
}

}  // namespace quorlin::base
