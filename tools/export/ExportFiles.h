#pragma once
// The tools' certificate files: the file name a stored or card name makes, and the
// directory they go to.

#include <optional>
#include <string>

namespace quorlin::exportfiles {

// '%', '/', a leading '.' and any byte outside printable ASCII written %XX. A name that
// escapes to more than 240 bytes is cut after its last whole character within 222 and ends
// in "%-" and 16 hex digits of the SHA-256 of the whole escaped name: with a suffix such as
// ".pem" within the 255 bytes a file name may have.
std::string FileNameOf(const std::string& text);

// Creates target 0700 when missing; nullopt when the files may go there, else the problem.
std::optional<std::string> PrepareOutputDirectory(const std::string& target);

}  // namespace quorlin::exportfiles
