#pragma once
// The tools' certificate files: the file name a stored or card name makes, and the
// directory they go to.

#include <optional>
#include <string>

namespace quorlin::exportfiles {

// '%', '/', a leading '.' and any byte outside printable ASCII written %XX.
std::string FileNameOf(const std::string& text);

// Creates target 0700 when missing; nullopt when the files may go there, else the problem.
std::optional<std::string> PrepareOutputDirectory(const std::string& target);

}  // namespace quorlin::exportfiles
