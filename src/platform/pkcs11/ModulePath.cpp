#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <filesystem>

#include "base/DataDir.h"
#include "platform/pkcs11/Pkcs11.h"

namespace quorlin::pkcs11 {

std::string ResolveModulePath(const std::string& name) {
    if (name.empty()) {
        return {};
    }
    if (name.front() == '/') {
        return name;
    }
    if (name.find('/') != std::string::npos) {
        return {};  // relative to wherever the program was started
    }
    return std::string(QUORLIN_P11_MODULE_PATH) + "/" + name;
}

namespace {

std::optional<std::string> Untrusted(const std::string& path, const struct stat& st,
                                     uid_t allowedOwner) {
    if (st.st_uid != 0 && st.st_uid != allowedOwner) {
        return "not trusted: " + path + " is owned by " + base::UserName(st.st_uid);
    }
    if (S_ISLNK(st.st_mode)) {
        return std::nullopt;  // a link's own mode means nothing; its directory's does
    }
    if ((st.st_mode & S_IWOTH) != 0) {
        return "not trusted: " + path + " is writable by others";
    }
    if ((st.st_mode & S_IWGRP) != 0) {
        return "not trusted: " + path + " is writable by group";
    }
    return std::nullopt;
}

std::deque<std::string> Parts(const std::string& path) {
    std::deque<std::string> parts;
    for (const auto& part : std::filesystem::path(path).relative_path()) {
        if (!part.empty() && part != ".") {
            parts.push_back(part.string());
        }
    }
    return parts;
}

}  // namespace

// Resolved one name at a time, as the loader will: every directory entered and every link
// followed is judged on the way, not only where the path ends.
std::optional<std::string> UntrustedReason(const std::string& path, uid_t allowedOwner) {
    namespace fs = std::filesystem;
    if (path.empty()) {
        return "no module path";
    }
    std::error_code ec;
    const std::string absolute = fs::absolute(path, ec).string();
    if (ec) {
        return "cannot read " + path;
    }
    struct stat st {};
    if (::lstat("/", &st) != 0) {
        return "/ cannot be read";
    }
    if (auto why = Untrusted("/", st, allowedOwner)) {
        return why;
    }
    std::deque<std::string> pending = Parts(absolute);
    fs::path at = "/";
    int links = 0;
    while (!pending.empty()) {
        const std::string part = pending.front();
        pending.pop_front();
        if (part == "..") {
            at = at.parent_path();
            continue;
        }
        const fs::path next = at / part;
        if (::lstat(next.c_str(), &st) != 0) {
            return errno == ENOENT || errno == ENOTDIR ? path + " does not exist"
                                                       : "cannot read " + next.string();
        }
        if (auto why = Untrusted(next.string(), st, allowedOwner)) {
            return why;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40) {
                return "not trusted: " + path + " has too many links";
            }
            const fs::path target = fs::read_symlink(next, ec);
            if (ec) {
                return "cannot read " + next.string();
            }
            std::deque<std::string> rest = Parts(target.string());
            pending.insert(pending.begin(), rest.begin(), rest.end());
            if (target.is_absolute()) {
                at = "/";
            }
            continue;
        }
        const bool last = pending.empty();
        if (!last && !S_ISDIR(st.st_mode)) {
            return path + " does not exist";
        }
        if (last && !S_ISREG(st.st_mode)) {
            return "not trusted: " + next.string() + " is not a regular file";
        }
        at = next;
    }
    if (at == "/") {
        return "not trusted: / is not a regular file";
    }
    return std::nullopt;
}

}  // namespace quorlin::pkcs11
