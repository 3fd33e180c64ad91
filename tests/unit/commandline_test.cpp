// The program's command line, read before any display: what ends the program there, what
// it prints where, and what passes on to the dialog.

#include <gtest/gtest.h>
#include <unistd.h>

#include "app/CommandLine.h"
#include "fakes/TempDir.h"
#include "quorlin/Version.h"

namespace quorlin::test {
namespace {

using app::ParseCommandLine;

const std::vector<std::string> kDirs = {"/home/u/.local/share", "/usr/share"};
const std::string kStore = "/home/u/.local/share/quorlin/certstore.db";

app::CommandLineOutcome Parse(std::vector<std::string> args, const char* display = ":0") {
    args.insert(args.begin(), "quorlin");
    return ParseCommandLine(args, kDirs, kStore, [display](const char* name) {
        return std::string(name) == "DISPLAY" ? display : nullptr;
    });
}

TEST(CommandLine, WithoutOptionsOrWithQtsOwnTheDialogOpens) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"-platform", "offscreen"}, {"-style=fusion", "-reverse"}, {"--session", "s1"}}) {
        const auto outcome = Parse(args);
        EXPECT_FALSE(outcome.exitCode.has_value()) << args.size();
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.trace, nullptr);
    }
    // No display named anywhere: a message and exit 1, before Qt would abort; help and
    // version need none.
    EXPECT_FALSE(Parse({"-platform", "offscreen"}, nullptr).exitCode.has_value());
    EXPECT_FALSE(Parse({"-display", ":1"}, nullptr).exitCode.has_value());
    EXPECT_EQ(Parse({"--version"}, "").exitCode, 0);
    const TempDir dir;
    const std::string file = dir.Join("run.trace");
    const auto dark = Parse({"--trace", file}, "");
    EXPECT_EQ(dark.exitCode, 1);
    EXPECT_EQ(dark.err, "quorlin: no display (DISPLAY or WAYLAND_DISPLAY is not set)\n");
    EXPECT_EQ(dark.trace, nullptr);
    const auto traced = Parse({"--trace", file, "-platform", "offscreen"});
    EXPECT_FALSE(traced.exitCode.has_value());
    EXPECT_NE(traced.trace, nullptr);
    // A trace file refused is said before the missing display.
    const std::string link = dir.Join("link.trace");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    const auto refused = Parse({"--trace", link}, "");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.err, "quorlin: --trace " + link + ": a symbolic link; refused\n");
}

TEST(CommandLine, VersionAndHelpPrintAndEndWell) {
    for (const char* option : {"--version", "-V", "-v"}) {
        const auto outcome = Parse({option});
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_EQ(outcome.out, std::string("quorlin ") + QUORLIN_VERSION + "\n");
        EXPECT_EQ(outcome.err, "");
    }
    const auto help = Parse({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: quorlin [options]\n", 0), 0u) << help.out;
    // The provider directories in the order they are searched, then the store.
    const auto first = help.out.find("  /home/u/.local/share/quorlin/providers\n");
    const auto second = help.out.find("  /usr/share/quorlin/providers\n");
    const auto store = help.out.find("  " + kStore + "\n");
    EXPECT_NE(first, std::string::npos) << help.out;
    EXPECT_LT(first, second) << help.out;
    EXPECT_NE(store, std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("platformtheme"), std::string::npos) << "Qt's options stay hidden";
}

TEST(CommandLine, AnythingElseIsAUsageErrorOnStandardError) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Case& c : {Case{{"--bogus"}, "quorlin: Unknown option 'bogus'."},
                          Case{{"-platform"}, "Missing value after '-platform'."},
                          Case{{"--trace"}, "Missing value after '--trace'."},
                          Case{{"file.txt"}, "quorlin: unexpected argument file.txt"}}) {
        const auto outcome = Parse(c.args);
        EXPECT_EQ(outcome.exitCode, 2) << c.says;
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find(c.says), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("--help"), std::string::npos) << outcome.err;
    }
}

}  // namespace
}  // namespace quorlin::test
