#pragma once
// Clearing memory that held a secret (a PIN, a padded PIN, a command that carried one).

#include <cstddef>
#include <string>

namespace quorlin::base {

// Clears size bytes at memory in a way the optimiser keeps.
void WipeSecret(void* memory, std::size_t size);

// Clears the text's whole buffer, then empties it; the buffer stays.
void WipeText(std::string& text);

}  // namespace quorlin::base
