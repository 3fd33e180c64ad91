#include "Readers.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

namespace quorlin::readers {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = 50ms;

class Context {
  public:
    Context() {
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context) !=
            SCARD_S_SUCCESS) {
            m_context = 0;
        }
    }
    ~Context() {
        if (m_context != 0) {
            SCardReleaseContext(m_context);
        }
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    bool Ok() const { return m_context != 0; }
    SCARDCONTEXT Get() const { return m_context; }

  private:
    SCARDCONTEXT m_context = 0;
};

struct ReaderListFree {
    SCARDCONTEXT context;
    void operator()(char* list) const { SCardFreeMemory(context, list); }
};

std::vector<std::string> ListWith(const Context& context) {
    std::vector<std::string> names;
    char* allocated = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    if (SCardListReaders(context.Get(), nullptr, reinterpret_cast<LPSTR>(&allocated), &length) !=
        SCARD_S_SUCCESS) {
        return names;
    }
    const std::unique_ptr<char, ReaderListFree> list(allocated, ReaderListFree{context.Get()});
    for (DWORD at = 0; at < length && list.get()[at] != '\0';) {
        const std::string name(list.get() + at, strnlen(list.get() + at, length - at));
        names.push_back(name);
        at += static_cast<DWORD>(name.size()) + 1;
    }
    return names;
}

}  // namespace

std::vector<std::string> ListReaders() {
    Context context;
    return context.Ok() ? ListWith(context) : std::vector<std::string>{};
}

bool WaitForReaders(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // The service must answer too: zero readers are listed by a service not yet up.
        const Context context;
        if (context.Ok() && ListWith(context).size() >= count) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

bool WaitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    DWORD known = SCARD_STATE_UNAWARE;
    for (;;) {
        Context context;
        while (context.Ok()) {
            SCARD_READERSTATE state{};
            state.szReader = reader.c_str();
            state.dwCurrentState = known;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            // Short slices, so that a card the service misses an event for is still seen.
            const DWORD slice = static_cast<DWORD>(std::min<long long>(left.count(), 1000));
            const LONG rv = SCardGetStatusChange(context.Get(), slice, &state, 1);
            if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) {
                break;
            }
            const DWORD now = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            const bool hasCard = (now & SCARD_STATE_PRESENT) != 0 && (now & SCARD_STATE_MUTE) == 0;
            if (hasCard == present) {
                return true;
            }
            known = now;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        known = SCARD_STATE_UNAWARE;
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace quorlin::readers
