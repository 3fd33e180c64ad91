#pragma once
// quorlin-card's card commands, callable in-process: each returns the status to exit with,
// having written its data to stdout and its messages to stderr.

#include <optional>
#include <string>

#include "Session.h"

namespace quorlin::cardtool {

int Readers(const Options& options);

struct CertsOptions {
    std::optional<int> expiresWithin;  // days
    std::string exportDir;             // none when empty
    bool der = false;
};
int Certs(const Options& options, const CertsOptions& certs);

int ChangePin(const Options& options);

int Register(const Options& options, const std::string& storeName);

}  // namespace quorlin::cardtool
