#pragma once
// The per-user data directory of the XDG base-directory rules, one rule for every part
// of the program: $XDG_DATA_HOME when it is absolute, else $HOME/.local/share, where a
// HOME that is unset, empty or relative gives way to the password database's home.

#include <string>

namespace quorlin::base {

// Empty when no absolute home can be found at all.
std::string UserDataDir();

// The user's home directory by the same rule as UserDataDir; empty when there is none.
std::string HomeDir();

// The share directory that came with the running program: the nearest directory above its
// executable's (up to two levels) that holds share/quorlin, so /usr/bin/quorlin finds
// /usr/share and every program of a build tree finds the build's. Empty when none does.
std::string ProgramShareDir();

}  // namespace quorlin::base
