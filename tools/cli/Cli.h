#pragma once
// The tools' command lines: CLI11, with one help and version style, `help COMMAND` and one
// form of usage error, so that every tool reads alike.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/StandardOutput.h"
#include "base/Utf8.h"

#include "quorlin/Version.h"

namespace quorlin::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Adds -V, -v, --version ("NAME VERSION"): -v as well, since quorlin's own parser (Qt's)
// has it for the version too. CLI11 gives -h, --help.
inline void AddVersion(CLI::App& app) {
    app.set_version_flag("-V,-v,--version", app.get_name() + " " + QUORLIN_VERSION);
}

// A check for a count or a descriptor: digits only, small enough for an int; in the tools'
// words rather than CLI11's range text.
inline CLI::Validator WholeNumber(const std::string& name) {
    return CLI::Validator(
        [name](std::string& text) {
            const bool digits =
                !text.empty() && text.size() <= 9 &&
                std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
            return digits ? std::string() : name + " must be a whole number of 0 or more";
        },
        name);
}

// Prints a usage problem on standard error, the arguments it quotes made printable; the
// usage exit status.
inline int UsageError(const CLI::App& app, const std::string& problem) {
    std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", app.get_name().c_str(),
                 base::Printable(problem).c_str());
    return kExitUsage;
}

// The help of a program with commands: each command with its options, as the man page
// has them, and every description wrapped within 80 columns.
class Formatter : public CLI::Formatter {
  public:
    Formatter() { label("SUBCOMMAND", "COMMAND"); }

    std::string make_option_desc(const CLI::Option* opt) const override {
        return Wrap(opt->get_description());
    }

    std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode) const override {
        std::ostringstream out;
        for (const CLI::App* sub : app->get_subcommands({})) {
            CLI::detail::format_help(out, sub->get_name(), Wrap(sub->get_description()),
                                     get_column_width());
            for (const CLI::Option* opt : sub->get_options()) {
                if (opt != sub->get_help_ptr() && opt->nonpositional()) {
                    CLI::detail::format_help(
                        out, "  " + make_option_name(opt, false) + make_option_opts(opt),
                        make_option_desc(opt), get_column_width());
                }
            }
        }
        return out.str().empty() ? std::string() : "\nCommands:\n" + out.str();
    }

  private:
    // Lines of at most 80 columns past the names' column; the text's own breaks kept.
    std::string Wrap(const std::string& text) const {
        const std::size_t width = 80 - get_column_width();
        std::string out;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            out += out.empty() ? "" : "\n";
            std::size_t column = 0;
            std::istringstream words(line);
            for (std::string word; words >> word; column += word.size()) {
                if (column > 0 && column + 1 + word.size() > width) {
                    out += "\n";
                    column = 0;
                } else if (column > 0) {
                    out += " ";
                    ++column;
                }
                out += word;
            }
        }
        return out;
    }
};

// Adds `help [COMMAND]`, as git has it, after the other commands; AnswerHelp answers it.
inline void AddHelpCommand(CLI::App& app) {
    const auto formatter = std::make_shared<Formatter>();
    app.formatter(formatter);
    for (CLI::App* sub : app.get_subcommands({})) {
        sub->formatter(formatter);
    }
    CLI::App* help = app.add_subcommand("help", "Print the help of COMMAND, or this help");
    help->add_option("COMMAND", CLI::callback_t{}, "a command");
    help->allow_extras(false);
}

// When the command was `help`: the help asked for on standard output, or a usage error
// for a command that is not there.
inline std::optional<int> AnswerHelp(const CLI::App& app) {
    const std::vector<const CLI::App*> commands = app.get_subcommands({});
    const auto help = std::find_if(commands.begin(), commands.end(), [](const CLI::App* sub) {
        return sub->get_name() == "help" && sub->parsed();
    });
    if (help == commands.end()) {
        return std::nullopt;
    }
    const std::vector<std::string> topic = (*help)->get_option("COMMAND")->results();
    std::string text =
        app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
    if (!topic.empty()) {
        const auto about = std::find_if(commands.begin(), commands.end(), [&](const CLI::App* sub) {
            return sub->get_name() == topic.front();
        });
        if (about == commands.end()) {
            return UsageError(app, "no command " + topic.front());
        }
        // The command's own usage and options; the program's notes belong to the full help.
        const auto formatter = std::dynamic_pointer_cast<CLI::Formatter>((*about)->get_formatter());
        text = formatter ? formatter->make_description(*about) +
                               formatter->make_usage(*about, app.get_name() + " " + topic.front()) +
                               formatter->make_positionals(*about) +
                               formatter->make_groups(*about, CLI::AppFormatMode::Normal)
                         : (*about)->help(app.get_name());
    }
    std::fputs(text.c_str(), stdout);
    return kExitOk;
}

// Help and version print on standard output and end the program well; anything else
// CLI11 rejects is a usage error. An unknown option is named before a missing argument
// (`-x` more likely was a slip than a PROFILE left out), and a word where a command must
// be is named as an unknown command.
inline int ParseFailure(const CLI::App& app, const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    for (const std::string& extra : app.remaining(true)) {
        if (extra.size() > 1 && extra[0] == '-') {
            return UsageError(app, "unknown option " + extra);
        }
    }
    const std::vector<const CLI::App*> commands = app.get_subcommands({});
    const bool commandGiven = std::any_of(commands.begin(), commands.end(),
                                          [](const CLI::App* sub) { return sub->parsed(); });
    const std::vector<std::string> words = app.remaining(true);
    if (!commands.empty() && !commandGiven && !words.empty()) {
        return UsageError(app, "unknown command " + words.front());
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
    return AnswerHelp(app);
}

// The exit status once standard output is flushed (base::FinishStandardOutput).
inline int Finish(const char* program, int status) {
    return base::FinishStandardOutput(program, status);
}

}  // namespace quorlin::cli
