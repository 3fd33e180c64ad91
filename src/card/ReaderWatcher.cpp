#include "card/ReaderWatcher.h"

#include <utility>

#include "card/Channel.h"

namespace quorlin::card {

namespace {

// Answers of a service that knows no plug-and-play notification reader. Any other failure
// means the context is lost: pcsc-lite reports a service that dies mid-call as a
// communication error, no service, or even a security violation (a reset connection).
bool NoPlugAndPlay(std::uint32_t rv) {
    return rv == pcsc::kEUnknownReader || rv == pcsc::kEInvalidParameter ||
           rv == pcsc::kEInvalidValue;
}

}  // namespace

ReaderWatcher::ReaderWatcher(pcsc::PcscApi& pcsc, std::size_t maxReaders, Notify notify)
    : m_pcsc(pcsc), m_maxReaders(maxReaders), m_notify(std::move(notify)) {
    m_pause = [this](std::chrono::milliseconds time) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, time, [this] { return m_stop; });
        return !m_stop;
    };
}

ReaderWatcher::~ReaderWatcher() {
    Stop();
}

void ReaderWatcher::Start() {
    if (m_thread.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
        m_running = true;
    }
    m_thread = std::thread([this] {
        while (Step()) {
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_context != 0) {
            m_pcsc.SCardReleaseContext(m_context);
            m_context = 0;
        }
        m_running = false;
        m_wake.notify_all();
    });
}

void ReaderWatcher::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stop = true;
    m_wake.notify_all();
    // A cancel that comes before the thread is waiting cancels nothing, so repeat it
    // until the thread is done.
    while (m_running) {
        if (m_context != 0) {
            m_pcsc.SCardCancel(m_context);
        }
        m_wake.wait_for(lock, std::chrono::milliseconds(20), [this] { return !m_running; });
    }
    lock.unlock();
    m_thread.join();
}

bool ReaderWatcher::Establish() {
    pcsc::ScardContext context = 0;
    const std::uint32_t rv = m_pcsc.SCardEstablishContext(pcsc::kScopeUser, &context);
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (rv != pcsc::kSuccess) {
        return false;
    }
    m_context = context;
    return true;
}

void ReaderWatcher::Lost() {
    pcsc::ScardContext context = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        context = std::exchange(m_context, 0);
    }
    if (context != 0) {
        m_pcsc.SCardReleaseContext(context);
    }
    m_lost = true;
    m_state = pcsc::kStateUnaware;
}

std::vector<std::string> ReaderWatcher::List() {
    const ReaderList readers(m_pcsc, m_context);
    return readers.Names(m_maxReaders);
}

bool ReaderWatcher::Step() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return false;
        }
    }
    if (m_context == 0) {
        // After a loss, wait before every attempt: a service that keeps failing must not
        // make this a busy loop.
        if (m_lost && !m_pause(kRetryInterval)) {
            return false;
        }
        if (!Establish()) {
            m_lost = true;
            return true;
        }
        if (m_lost) {
            m_lost = false;
            m_notify({List(), true});
        }
        return true;
    }

    pcsc::ScardReaderState state;
    state.szReader = pcsc::kPnpNotification;
    state.dwCurrentState = m_state;
    const std::uint32_t rv = m_pcsc.SCardGetStatusChangeA(m_context, pcsc::kInfinite, &state, 1);
    if (rv == pcsc::kSuccess) {
        // The first answer may only say where things stand; a list that did not change is
        // applied as a no-op, so it is reported all the same.
        m_state = state.dwEventState & ~pcsc::kStateChanged;
        if ((state.dwEventState & pcsc::kStateChanged) != 0) {
            m_notify({List(), false});
        }
        return true;
    }
    if (rv == pcsc::kETimeout) {
        return true;
    }
    if (rv == pcsc::kECancelled) {
        return false;
    }
    if (NoPlugAndPlay(rv)) {
        return false;  // the list stays as it is
    }
    Lost();
    return true;
}

}  // namespace quorlin::card
