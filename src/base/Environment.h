#pragma once
// The environment as a function, so that what reads it can be handed another in tests.

#include <cstdlib>
#include <functional>
#include <string>

namespace quorlin::base {

using Environment = std::function<const char*(const char*)>;

// The process's own.
inline const char* ProcessEnvironment(const char* name) {
    return std::getenv(name);
}

// NAME's value; empty when it is unset.
inline std::string Variable(const Environment& env, const char* name) {
    const char* value = env(name);
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace quorlin::base
