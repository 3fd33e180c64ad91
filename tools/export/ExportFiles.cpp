#include "ExportFiles.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Utf8.h"

namespace quorlin::exportfiles {

namespace {

// Room for the callers' suffix (".pem") within NAME_MAX (255), with a margin.
constexpr std::size_t kMaxStem = 240;
constexpr std::size_t kHashDigits = 16;

}  // namespace

// Names may hold anything. Escaping '%' too keeps distinct names distinct files, and a
// shortened name ends in "%-", which no escaped name holds.
std::string FileNameOf(const std::string& text) {
    std::string out;
    std::size_t fits = 0;  // the escaped whole characters that leave room for the hash
    for (std::size_t k = 0; k < text.size();) {
        const std::size_t end = k + base::Utf8CharLength(text, k);
        for (; k < end; ++k) {
            const auto c = static_cast<unsigned char>(text[k]);
            if (c == '%' || c == '/' || (c == '.' && k == 0) || c < 0x20 || c > 0x7E) {
                char buf[4];
                std::snprintf(buf, sizeof buf, "%%%02X", c);
                out += buf;
            } else {
                out.push_back(text[k]);
            }
        }
        if (out.size() <= kMaxStem - 2 - kHashDigits) {
            fits = out.size();
        }
    }
    if (out.size() <= kMaxStem) {
        return out;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(out.data(), out.size(), digest, &length, EVP_sha256(), nullptr);
    out.resize(fits);
    out += "%-";
    for (unsigned int k = 0; k < length && k < kHashDigits / 2; ++k) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", digest[k]);
        out += buf;
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
