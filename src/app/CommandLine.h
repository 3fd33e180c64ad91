#pragma once
// The program's command line: --help, --version, --trace FILE and Qt's own options. It is
// read before the display is opened, so that --help and --version need none.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Environment.h"
#include "platform/trace/TraceSink.h"

namespace quorlin::app {

struct CommandLineOutcome {
    std::optional<int> exitCode;  // set: the program ends with it, the dialog never opens
    std::string out;              // for standard output
    std::string err;              // for standard error
    std::unique_ptr<trace::TraceSink> trace;  // --trace FILE, open and empty
};

// args as main receives them. providerDirs are searched for provider files, in order;
// storePath is the certificate store. Both are only told, in the help. --trace FILE is
// opened here, and a link or anything but a regular file in its place refused (exit 2)
// before the display is looked for. env answers for the variables that name a display:
// without one, and without -platform or -display, the program ends here with a message
// rather than in Qt with an abort.
CommandLineOutcome ParseCommandLine(const std::vector<std::string>& args,
                                    const std::vector<std::string>& providerDirs,
                                    const std::string& storePath, const base::Environment& env);

}  // namespace quorlin::app
