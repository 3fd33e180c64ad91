#pragma once
// The tools' command lines: CLI11, with one help and version style and one form of usage
// error, so that quorlin-certstore, quorlin-cardsim and quorlin-pcsc-readers read alike.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>

#include "base/StandardOutput.h"

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

// The exit status once standard output is flushed (base::FinishStandardOutput).
inline int Finish(const char* program, int status) {
    return base::FinishStandardOutput(program, status);
}

}  // namespace quorlin::cli
