// Lists the readers of the PC/SC service, or waits for it to be ready: used by
// scripts/pcscd-private (readiness of the private pcscd) and scripts/demo.
//
//   quorlin-pcsc-readers                      print the readers, one a line
//   quorlin-pcsc-readers --wait-readers N     wait until the service lists N readers
//   quorlin-pcsc-readers --wait-card INDEX    wait until reader INDEX holds a card
//   quorlin-pcsc-readers --wait-empty INDEX   wait until reader INDEX holds none
//   --timeout SECONDS (default 60) bounds each wait; exit status 1 when it runs out.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "e2e/E2e.h"

int main(int argc, char** argv) {
    long waitReaders = -1;
    long waitCard = -1;
    bool present = true;
    double timeoutSeconds = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 < argc && arg == "--wait-readers") {
            waitReaders = std::strtol(argv[++i], nullptr, 10);
        } else if (i + 1 < argc && arg == "--wait-card") {
            waitCard = std::strtol(argv[++i], nullptr, 10);
        } else if (i + 1 < argc && arg == "--wait-empty") {
            waitCard = std::strtol(argv[++i], nullptr, 10);
            present = false;
        } else if (i + 1 < argc && arg == "--timeout") {
            timeoutSeconds = std::strtod(argv[++i], nullptr);
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--wait-readers N] [--wait-card|--wait-empty INDEX] [--timeout S]\n",
                argv[0]);
            return 2;
        }
    }
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    using quorlin::e2e::ListReaders;
    if (waitReaders >= 0 &&
        !quorlin::e2e::WaitForReaders(static_cast<std::size_t>(waitReaders), timeout)) {
        std::fprintf(stderr, "quorlin-pcsc-readers: %ld readers did not appear (%zu listed)\n",
                     waitReaders, ListReaders().size());
        return 1;
    }
    if (waitCard >= 0) {
        const auto readers = ListReaders();
        if (static_cast<std::size_t>(waitCard) >= readers.size() ||
            !quorlin::e2e::WaitForCard(readers[static_cast<std::size_t>(waitCard)], present,
                                       timeout)) {
            std::fprintf(stderr, "quorlin-pcsc-readers: reader %ld did not become %s\n", waitCard,
                         present ? "full" : "empty");
            return 1;
        }
    }
    if (waitReaders < 0 && waitCard < 0) {
        for (const auto& name : ListReaders()) {
            std::printf("%s\n", name.c_str());
        }
    }
    return 0;
}
