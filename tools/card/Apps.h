#pragma once
// quorlin-card apps: what other programs need to use the card's keys, for each provider
// file that names a PKCS#11 module, and the undoing of what Quorlin wrote for them.

#include <nlohmann/json.hpp>

#include "Session.h"

namespace quorlin::cardtool {

// Per provider that names a module: the module (path, trusted or why not, loads or why
// not, the tokens it sees, how many of the store's entries they hold) and p11-kit's view.
nlohmann::json AppsReport();
// The lines of one module's report that need doing something about; empty when none.
std::vector<std::string> AppsProblems(const nlohmann::json& module);

int Apps(const Options& options, bool remove);

}  // namespace quorlin::cardtool
