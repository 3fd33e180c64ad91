// quorlin-pcsc-readers: lists the readers of the PC/SC service, or waits for it to be
// ready; pcscd-private uses it for the readiness of its private pcscd.

#include <chrono>
#include <cstdio>
#include <string>

#include "Cli.h"
#include "Readers.h"

namespace {

int Run(int argc, char** argv) {
    CLI::App app("Lists the readers of the PC/SC service, one a line, or waits for them.",
                 "quorlin-pcsc-readers");
    quorlin::cli::AddVersion(app);
    long waitReaders = -1;
    long waitCard = -1;
    long waitEmpty = -1;
    double timeoutSeconds = 60;
    app.add_option("--wait-readers", waitReaders, "wait until the service lists N readers")
        ->option_text("N")
        ->check(CLI::NonNegativeNumber);
    auto* card = app.add_option("--wait-card", waitCard, "wait until reader INDEX holds a card")
                     ->option_text("INDEX")
                     ->check(CLI::NonNegativeNumber);
    app.add_option("--wait-empty", waitEmpty, "wait until reader INDEX holds none")
        ->option_text("INDEX")
        ->check(CLI::NonNegativeNumber)
        ->excludes(card);
    app.add_option("--timeout", timeoutSeconds, "bound on each wait, in seconds (default 60)")
        ->option_text("S")
        ->check(CLI::PositiveNumber);
    app.footer(
        "Exit status: 0 ready, 1 a wait ran out or standard output cannot be written,\n"
        "2 bad usage.");
    if (const auto done = quorlin::cli::Parse(app, argc, argv)) {
        return *done;
    }

    using quorlin::readers::ListReaders;
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    if (waitReaders >= 0 &&
        !quorlin::readers::WaitForReaders(static_cast<std::size_t>(waitReaders), timeout)) {
        std::fprintf(stderr, "quorlin-pcsc-readers: %ld readers did not appear (%zu listed)\n",
                     waitReaders, ListReaders().size());
        return 1;
    }
    const bool present = waitEmpty < 0;
    const long index = present ? waitCard : waitEmpty;
    if (index >= 0) {
        const auto readers = ListReaders();
        if (static_cast<std::size_t>(index) >= readers.size() ||
            !quorlin::readers::WaitForCard(readers[static_cast<std::size_t>(index)], present,
                                           timeout)) {
            std::fprintf(stderr, "quorlin-pcsc-readers: reader %ld did not become %s\n", index,
                         present ? "full" : "empty");
            return 1;
        }
    }
    if (waitReaders < 0 && index < 0) {
        for (const auto& name : ListReaders()) {
            std::printf("%s\n", name.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return quorlin::cli::Finish("quorlin-pcsc-readers", Run(argc, argv));
}
