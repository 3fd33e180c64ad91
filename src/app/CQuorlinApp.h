#pragma once
// The application object: runs the main dialog modally and ends the program after it.

#include <memory>

#include "platform/trace/TraceSink.h"

namespace quorlin {

class CQuorlinApp {
  public:
    // With a sink, the run's exchanges, service failures and message boxes go to it
    // (quorlin --trace FILE); without one nothing is written.
    void SetTrace(std::unique_ptr<trace::TraceSink> sink) { m_trace = std::move(sink); }

    // The start routine; false tells the caller there is no message loop to enter.
    bool InitInstance();

    // A trace that stopped short (a full disk) must not pass for a whole one.
    bool TraceFailed() const { return m_trace != nullptr && m_trace->Failed(); }

  private:
    std::unique_ptr<trace::TraceSink> m_trace;
};

}  // namespace quorlin
