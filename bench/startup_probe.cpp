// Starts a program and reports, as a user would see it, how long it took until its first
// top-level window was mapped on the X display, and its peak RSS once that window is up.
//
//   startup_probe [--settle MS] [--timeout MS] -- PROGRAM [ARG...]
//
// Prints "startup_ms=<ms> vmhwm_kb=<kB> cpu_ms=<ms>", the last being the CPU time of the
// program's threads until the map, and ends the program (TERM, then KILL). The map is seen
// as an event on the root window, so nothing polls while the program starts: on a small
// machine a poller would take the CPU from the program it measures. The peak RSS is read
// SETTLE milliseconds after the map (default 1000), so that the first paint counts.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The _NET_WM_PID the window's owner set; 0 when it set none.
pid_t WindowPid(xcb_connection_t* c, xcb_window_t window, xcb_atom_t pidAtom) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) != 4) {
        return 0;
    }
    std::uint32_t pid = 0;
    std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
    return static_cast<pid_t>(pid);
}

long VmHwmKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// CPU time of all the program's threads so far (their sum_exec_runtime), in ms.
double CpuMs(pid_t pid) {
    double ns = 0;
    std::error_code error;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double runtime = 0;
        if (schedstat >> runtime) {
            ns += runtime;
        }
    }
    return ns / 1e6;
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (Exited(pid)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int Usage() {
    std::fprintf(stderr, "usage: startup_probe [--settle MS] [--timeout MS] -- PROGRAM [ARG...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    long settleMs = 1000;
    long timeoutMs = 60000;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (i + 1 >= argc) {
            return Usage();
        }
        if (std::strcmp(argv[i], "--settle") == 0) {
            settleMs = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--timeout") == 0) {
            timeoutMs = std::atol(argv[++i]);
        } else {
            return Usage();
        }
    }
    if (i + 1 >= argc) {
        return Usage();
    }
    char** program = argv + i + 1;

    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c) != 0) {
        std::fprintf(stderr, "startup_probe: no X display\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int s = 0; s < screenNumber; ++s) {
        xcb_screen_next(&screens);
    }
    const xcb_window_t root = screens.data->root;
    const xcb_atom_t pidAtom = Atom(c, "_NET_WM_PID");
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    // Checked, so that the selection is in force before the program starts.
    if (xcb_generic_error_t* error = xcb_request_check(
            c, xcb_change_window_attributes_checked(c, root, XCB_CW_EVENT_MASK, &mask))) {
        std::free(error);
        std::fprintf(stderr, "startup_probe: cannot watch the root window\n");
        return 1;
    }

    pid_t pid = 0;
    const Clock::time_point start = Clock::now();
    if (posix_spawnp(&pid, program[0], nullptr, nullptr, program, environ) != 0) {
        std::fprintf(stderr, "startup_probe: cannot start %s\n", program[0]);
        return 1;
    }

    // Qt sets the window's _NET_WM_PID before it maps the window.
    double startupMs = -1;
    double cpuMs = 0;
    const int fd = xcb_get_file_descriptor(c);
    while (startupMs < 0) {
        Reply<xcb_generic_event_t> event(xcb_poll_for_event(c));
        if (!event) {
            if (xcb_connection_has_error(c) != 0 || Exited(pid)) {
                std::fprintf(stderr, "startup_probe: the program ended before its window\n");
                return 1;
            }
            if (Clock::now() - start > std::chrono::milliseconds(timeoutMs)) {
                std::fprintf(stderr, "startup_probe: no window within %ld ms\n", timeoutMs);
                Stop(pid);
                return 1;
            }
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(fd, &readable);
            timeval wait{0, 100000};
            select(fd + 1, &readable, nullptr, nullptr, &wait);
            continue;
        }
        if ((event->response_type & 0x7F) != XCB_MAP_NOTIFY) {
            continue;
        }
        const Clock::time_point mapped = Clock::now();
        const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event.get());
        if (WindowPid(c, map->window, pidAtom) == pid) {
            startupMs = std::chrono::duration<double, std::milli>(mapped - start).count();
            cpuMs = CpuMs(pid);
        }
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    const long hwm = VmHwmKb(pid);
    Stop(pid);
    xcb_disconnect(c);
    std::printf("startup_ms=%.1f vmhwm_kb=%ld cpu_ms=%.1f\n", startupMs, hwm, cpuMs);
    return hwm < 0 ? 1 : 0;
}
