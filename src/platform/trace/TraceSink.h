#pragma once
// The trace file of a run (quorlin --trace FILE): one timestamped line per event, written
// straight through, so a run that dies leaves every line before it.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace quorlin::trace {

class TraceSink {
  public:
    // Opens path for a new trace, mode 0600, emptied if it exists. A symbolic or hard link,
    // anything but a regular file, or a file of another user in its place is refused
    // untouched. On failure null, and error says why.
    static std::unique_ptr<TraceSink> Open(const std::string& path, std::string& error);

    explicit TraceSink(int fd);  // takes the descriptor
    ~TraceSink();
    TraceSink(const TraceSink&) = delete;
    TraceSink& operator=(const TraceSink&) = delete;

    // Writes "TIMESTAMP event\n". Safe to call from any thread; lines never interleave.
    // The first write that fails is reported on stderr and ends the trace.
    void Write(std::string_view event);

    // True once a write failed: the trace is not whole, and the program's exit says so.
    bool Failed() const;

  private:
    mutable std::mutex m_mutex;
    int m_fd;
    bool m_failed = false;
};

// UTC, to the microsecond: "2025-01-31T23:59:59.123456Z".
std::string Timestamp();

// The first lines of a trace, so that a help desk knows what wrote it: "PROGRAM VERSION on
// DATE (UTC)", "built with LIBRARIES", "locale NAME" (from LC_ALL, LC_CTYPE or LANG).
void WriteRunHeader(TraceSink& sink, std::string_view program, std::string_view libraries);

}  // namespace quorlin::trace
