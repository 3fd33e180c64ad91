#pragma once
// A fresh directory of a test's own under $TMPDIR (or /tmp), removed with everything in it
// when the test is done, so runs side by side never share files.

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace quorlin::test {

class TempDir {
  public:
    // The directory is <tmp>/<stem>-XXXXXX. A directory that cannot be made throws, which
    // fails the test rather than letting it write elsewhere.
    explicit TempDir(const std::string& stem = "quorlin")
        : m_path((std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string()) {
        if (mkdtemp(m_path.data()) == nullptr) {
            throw std::runtime_error("mkdtemp " + m_path + ": " + std::strerror(errno));
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // A path inside, e.g. Join("quorlin/certstore.db").
    std::string Join(const std::string& relative) const { return m_path + "/" + relative; }
    // Writes a file inside, making the directories on the way; its path.
    std::string Write(const std::string& relative, const std::string& text) const {
        const std::filesystem::path file = Join(relative);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }

  private:
    std::string m_path;
};

}  // namespace quorlin::test
