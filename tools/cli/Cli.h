#pragma once
// The tools' command lines: CLI11, with one help and version style and one form of usage
// error, so that quorlin-certstore, quorlin-cardsim and quorlin-pcsc-readers read alike.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "quorlin/Version.h"

namespace quorlin::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Adds -V, --version ("NAME VERSION"); CLI11 gives -h, --help.
inline void AddVersion(CLI::App& app) {
    app.set_version_flag("-V,--version", app.get_name() + " " + QUORLIN_VERSION);
}

// Prints a usage problem on standard error; the usage exit status.
inline int UsageError(const CLI::App& app, const std::string& problem) {
    std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", app.get_name().c_str(),
                 problem.c_str());
    return kExitUsage;
}

// Help and version print on standard output and end the program well; anything else
// CLI11 rejects is a usage error.
inline int ParseFailure(const CLI::App& app, const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    return UsageError(app, e.what());
}

// Parses; the exit status when the program ends here.
inline std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return ParseFailure(app, e);
    }
    return std::nullopt;
}

// The exit status once standard output is flushed: output that never arrived (a full
// disk, a closed pipe) is a failure, not a success. CLI11's help goes through std::cout,
// which writes into the same stdio buffer.
inline int Finish(const char* program, int status) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && !std::ferror(stdout) && std::cout.flush().good()) {
        return status;
    }
    std::fprintf(stderr, "%s: cannot write to standard output%s%s\n", program,
                 error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
    return status != kExitOk ? status : kExitFailure;
}

}  // namespace quorlin::cli
