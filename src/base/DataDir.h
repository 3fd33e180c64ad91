#pragma once
// The per-user data directory of the XDG base-directory rules, one rule for every part
// of the program: $XDG_DATA_HOME when it is absolute, else $HOME/.local/share, where a
// HOME that is unset, empty or relative gives way to the password database's home.

#include <sys/types.h>
#include <optional>
#include <string>

namespace quorlin::base {

// Empty when no absolute home can be found at all.
std::string UserDataDir();

// The user's home directory by the same rule as UserDataDir; empty when there is none.
std::string HomeDir();

// The user name of uid in the password database; its number when it has none there.
std::string UserName(uid_t uid);

// A directory that belongs to another user than the one running (the effective user).
struct ForeignDirectory {
    std::string path;
    std::string owner;  // UserName of its owner
};

// For a directory within home, what keeps the running user from making or using it there:
// the first existing directory on the way from below home down to dir (dir included)
// that belongs to another user; else home itself when it belongs to another user and a
// directory on the way is missing, since only the home's owner may make them there
// (root with a user's HOME would lock the user out of their own). Nullopt otherwise, and
// always for a dir outside home. Directories are judged where links lead.
std::optional<ForeignDirectory> ForeignDirectoryOnTheWay(const std::string& dir,
                                                         const std::string& home);

// The share directory that came with the running program: the nearest directory above its
// executable's (up to two levels) that holds share/quorlin, so /usr/bin/quorlin finds
// /usr/share and every program of a build tree finds the build's. Empty when none does.
std::string ProgramShareDir();

}  // namespace quorlin::base
