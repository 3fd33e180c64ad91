#include "ExportFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorlin::exportfiles {

// Names may hold anything. Escaping '%' too keeps distinct names distinct files.
std::string FileNameOf(const std::string& text) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        if (c == '%' || c == '/' || (c == '.' && k == 0) || c < 0x20 || c > 0x7E) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out.push_back(text[k]);
        }
    }
    return out;
}

// Others who may write in an existing one could put links in the files' place, and its
// owner may do anything there. A link is followed only when it is the user's own, and the
// directory it leads to, where the files land, is judged.
std::optional<std::string> PrepareOutputDirectory(const std::string& target) {
    if (::mkdir(target.c_str(), 0700) == 0) {
        return std::nullopt;
    }
    struct stat link {};
    struct stat st {};
    if (errno != EEXIST || ::lstat(target.c_str(), &link) != 0 ||
        ::stat(target.c_str(), &st) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return "not a directory";
    }
    if (link.st_uid != ::geteuid() || st.st_uid != ::geteuid()) {
        return "owned by another user";
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "group or others can write to it";
    }
    return std::nullopt;
}

}  // namespace quorlin::exportfiles
