#include "platform/trace/TraceSink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quorlin/Version.h"

namespace quorlin::trace {

std::unique_ptr<TraceSink> TraceSink::Open(const std::string& path, std::string& error) {
    // No O_TRUNC here: what is in the path's place is checked before anything in it changes.
    // O_NONBLOCK keeps a FIFO from holding the open up; it is refused below.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                        S_IRUSR | S_IWUSR);
    if (fd < 0) {
        const int code = errno;
        error = path + (code == ELOOP ? std::string(": a symbolic link; refused")
                                      : ": " + std::string(std::strerror(code)));
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file; refused";
    } else if (st.st_nlink > 1) {
        error = path + ": a hard link; refused";
    } else if (st.st_uid != geteuid()) {
        // Root tracing with a user's path (or a user with a path of root's) would take the
        // file over and empty it.
        error = path + " is owned by another user; refused";
    } else if (fchmod(fd, S_IRUSR | S_IWUSR) != 0 || ftruncate(fd, 0) != 0) {
        error = path + ": " + std::strerror(errno);
    } else {
        return std::make_unique<TraceSink>(fd);
    }
    close(fd);
    return nullptr;
}

TraceSink::TraceSink(int fd) : m_fd(fd) {}

TraceSink::~TraceSink() {
    close(m_fd);
}

bool TraceSink::Failed() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

void TraceSink::Write(std::string_view event) {
    std::string line = Timestamp();
    line.reserve(line.size() + event.size() + 2);
    line += ' ';
    line += event;
    line += '\n';
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) {
        return;
    }
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = write(m_fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A trace that cannot be written must not stop the program, nor pass for whole:
            // the user hears of it once, and no later line leaves a gap unseen.
            m_failed = true;
            std::fprintf(stderr, "%s: cannot write the trace: %s; tracing stopped\n",
                         program_invocation_short_name, std::strerror(n < 0 ? errno : ENOSPC));
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::string Timestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06ldZ", now.tv_nsec / 1000);
    return text;
}

void WriteRunHeader(TraceSink& sink, std::string_view program, std::string_view libraries) {
    const std::string now = Timestamp();
    sink.Write(std::string(program) + " " + QUORLIN_VERSION + " on " + now.substr(0, 10) +
               " (UTC)");
    sink.Write("built with " + std::string(libraries));
    std::string locale = "C";
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            locale = std::string(value) + " (" + name + ")";
            break;
        }
    }
    sink.Write("locale " + locale);
}

}  // namespace quorlin::trace
