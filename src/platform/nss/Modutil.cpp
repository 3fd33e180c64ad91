#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

#include "base/DataDir.h"
#include "platform/nss/Nss.h"

extern char** environ;

namespace quorlin::nss {
namespace {

constexpr const char* kPrefix = "Quorlin: ";
constexpr int kToolSeconds = 30;

struct ToolResult {
    bool ok = false;
    std::string output;  // stdout and stderr together
};

// No shell: arguments reach the tool as they are. Standard input is /dev/null so that a
// prompt cannot wait forever, and a tool still running after kToolSeconds is killed.
ToolResult RunTool(std::vector<std::string> args) {
    ToolResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.output = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        result.output = args[0] + ": " + std::strerror(rc);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kToolSeconds);
    bool killed = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;  // a read now could block past the deadline
        }
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            break;
        }
        if (n > 0) {
            result.output.append(buf, static_cast<size_t>(n));
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (killed) {
        result.output +=
            "\n" + args[0] + " did not finish within " + std::to_string(kToolSeconds) + " seconds";
    }
    result.ok = !killed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

std::string LastLine(const std::string& text) {
    std::string last;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            last = line;
        }
    }
    return last;
}

std::string Real(const std::string& path) {
    char* r = realpath(path.c_str(), nullptr);
    if (r == nullptr) {
        return path;
    }
    std::string out(r);
    free(r);
    return out;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string OwnerText(uid_t uid) {
    return uid == 0 ? "root" : "another user (" + base::UserName(uid) + ")";
}

// Never forced: a database another user owns, or one NSS would have to convert, is left
// for its owner.
std::string CannotWrite(const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        return "";  // made when added (shared) or reported as missing
    }
    const uid_t me = geteuid();
    if (st.st_uid != me) {
        return "owned by " + OwnerText(st.st_uid);
    }
    if (access(dir.c_str(), W_OK) != 0) {
        return "read-only directory";
    }
    if (!Exists(dir + "/cert9.db") && Exists(dir + "/cert8.db")) {
        return "old dbm format (cert8.db)";
    }
    for (const char* file : {"pkcs11.txt", "cert9.db", "key4.db"}) {
        struct stat fst {};
        if (lstat((dir + "/" + file).c_str(), &fst) != 0) {
            continue;
        }
        if (!S_ISREG(fst.st_mode)) {
            return std::string(file) + " is not a regular file";
        }
        if (fst.st_uid != me) {
            return std::string(file) + " owned by " + OwnerText(fst.st_uid);
        }
        if (access((dir + "/" + file).c_str(), W_OK) != 0) {
            return std::string(file) + " is read-only";
        }
    }
    return "";
}

// Firefox and Thunderbird hold a "lock" link while running and an fcntl lock on
// .parentlock; the file itself stays behind after they exit.
bool InUse(const std::string& dir) {
    struct stat st {};
    if (lstat((dir + "/lock").c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        return true;
    }
    const int fd = open((dir + "/.parentlock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    const bool held = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    close(fd);
    return held;
}

std::string SqlDir(const Database& db) {
    return "sql:" + db.dir;
}

std::optional<std::vector<std::pair<std::string, std::string>>> ListModules(const Database& db,
                                                                            std::string& error) {
    ToolResult r = RunTool({"modutil", "-list", "-dbdir", SqlDir(db)});
    if (!r.ok) {
        error = LastLine(r.output);
        return std::nullopt;
    }
    return ParseModuleList(r.output);
}

// mkdir -p, 0700, and only below a directory of the running user's own: root with a
// user's HOME makes nothing there that the user could then not change.
std::string MakeDirs(const std::string& path) {
    bool made = false;
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        struct stat st {};
        if (stat(part.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return part + " is not a directory";
            }
            continue;
        }
        if (!made) {
            const std::string parent = part.substr(0, std::max<size_t>(part.rfind('/'), 1));
            if (stat(parent.c_str(), &st) != 0 || st.st_uid != geteuid()) {
                return parent + " is not the running user's own";
            }
        }
        if (mkdir(part.c_str(), 0700) != 0) {
            return "cannot make " + part + ": " + std::strerror(errno);
        }
        made = true;
    }
    return "";
}

}  // namespace

std::string ModuleName(const std::string& providerName) {
    return kPrefix + providerName;
}

std::vector<std::pair<std::string, std::string>> ParseModuleList(const std::string& output) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        // "  2. NAME" opens a module; "\tlibrary name: PATH" follows within it.
        const auto first = line.find_first_not_of(' ');
        const auto dot = line.find(". ");
        if (first == 2 && dot != std::string::npos && dot > first &&
            line.find_first_not_of("0123456789", first) == dot) {
            out.emplace_back(line.substr(dot + 2), "");
            continue;
        }
        const std::string key = "library name: ";
        const auto k = line.find(key);
        if (!out.empty() && k != std::string::npos && line.find_first_not_of("\t ") == k) {
            out.back().second = line.substr(k + key.size());
        }
    }
    return out;
}

DbState Inspect(const Database& db, const std::string& modulePath) {
    DbState state;
    state.cannotWrite = CannotWrite(db.dir);
    state.inUse = db.program != Program::Shared && InUse(db.dir);
    if (!Exists(db.dir + "/cert9.db")) {
        return state;
    }
    std::string error;
    const std::string want = Real(modulePath);
    const auto modules = ListModules(db, error);
    for (const auto& [name, library] : modules ? *modules : decltype(modules)::value_type{}) {
        if (!library.empty() && Real(library) == want) {
            state.listed = true;
            state.listedAs = name;
            break;
        }
    }
    return state;
}

AddOutcome AddModule(const Database& db, const std::string& providerName,
                     const std::string& modulePath) {
    using Kind = AddOutcome::Kind;
    if (!db.notHandled.empty()) {
        return {Kind::NotHandled, "a " + db.notHandled + " copy cannot load the host's module"};
    }
    if (db.missing) {
        return {Kind::Failed, "profile directory " + db.dir + " is missing"};
    }
    const DbState state = Inspect(db, modulePath);
    if (state.listed) {
        return {Kind::AlreadyThere, "listed as \"" + state.listedAs + "\"", state.inUse};
    }
    if (!state.cannotWrite.empty()) {
        return {Kind::Failed, state.cannotWrite, state.inUse};
    }
    if (!Exists(db.dir + "/cert9.db")) {
        if (db.program != Program::Shared) {
            return {Kind::Failed, "no cert9.db: the profile was never opened", state.inUse};
        }
        if (const std::string why = MakeDirs(db.dir); !why.empty()) {
            return {Kind::Failed, why};
        }
        ToolResult made = RunTool({"certutil", "-N", "-d", SqlDir(db), "--empty-password"});
        if (!made.ok) {
            return {Kind::Failed, "certutil: " + LastLine(made.output)};
        }
    }
    ToolResult r = RunTool({"modutil", "-add", ModuleName(providerName), "-libfile", modulePath,
                            "-dbdir", SqlDir(db), "-force"});
    if (!r.ok) {
        return {Kind::Failed, "modutil: " + LastLine(r.output), state.inUse};
    }
    return {Kind::Added, "", state.inUse};
}

std::vector<std::pair<std::string, std::string>> RemoveQuorlinModules(const Database& db) {
    std::vector<std::pair<std::string, std::string>> out;
    if (!db.notHandled.empty() || db.missing || !Exists(db.dir + "/cert9.db")) {
        return out;
    }
    std::string error;
    const auto modules = ListModules(db, error);
    if (!modules) {
        return {{"", "modutil: " + error}};
    }
    const std::string cannot = CannotWrite(db.dir);
    for (const auto& entry : *modules) {
        const std::string& name = entry.first;
        if (name.rfind(kPrefix, 0) != 0) {
            continue;
        }
        if (!cannot.empty()) {
            out.emplace_back(name, cannot);
            continue;
        }
        ToolResult r = RunTool({"modutil", "-delete", name, "-dbdir", SqlDir(db), "-force"});
        out.emplace_back(name, r.ok ? "" : "modutil: " + LastLine(r.output));
    }
    return out;
}

}  // namespace quorlin::nss
