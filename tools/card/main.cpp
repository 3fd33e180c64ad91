// quorlin-card: the card from the command line, for scripts and help desks.

#include <fcntl.h>

#include <clocale>
#include <optional>
#include <string>

#include "Apps.h"
#include "Cli.h"
#include "Commands.h"
#include "Diagnose.h"
#include "base/PrivateMemory.h"
#include "platform/store/SqliteStoreApi.h"

namespace {

using namespace quorlin;
using namespace quorlin::cardtool;

int Run(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");  // the terminal's columns, for the listing's widths
    CLI::App app("The card from the command line: its readers, certificates and PIN.",
                 "quorlin-card");
    quorlin::cli::AddVersion(app);
    app.require_subcommand(1);
    Options options;
    app.add_option("-r,--reader", options.reader,
                   "The reader: its name, a part of its name (any case) that no other reader's "
                   "holds, or its 0-based index in the service's list")
        ->option_text("NAME|INDEX");
    app.add_option("--trace", options.trace, "Trace the run to FILE, as quorlin --trace does")
        ->option_text("FILE");
    app.add_option("--pin-fd", options.pinFd,
                   "Read each PIN asked for as a line from descriptor N instead of the terminal")
        ->option_text("N")
        ->check(quorlin::cli::WholeNumber("N"));

    CLI::App* readers = app.add_subcommand("readers", "List the readers and the cards in them");
    readers->add_flag("--json", options.json, "JSON for scripts");
    CLI::App* certs = app.add_subcommand("certs", "Log in and list the card's certificates");
    certs->add_flag("--json", options.json, "JSON for scripts");
    std::optional<int> expiresWithin;
    certs
        ->add_option("--expires-within", expiresWithin,
                     "Exit 3 when a certificate has expired or expires within DAYS")
        ->option_text("DAYS")
        ->check(quorlin::cli::WholeNumber("DAYS"));
    std::string exportDir;
    bool der = false;
    certs
        ->add_option("--export", exportDir,
                     "Also write each certificate to DIR as FILE-CONTAINER.pem (DIR made 0700 "
                     "when missing)")
        ->option_text("DIR");
    certs->add_flag("--der", der, "With --export: DER files (.der) instead of PEM");
    CLI::App* diagnose = app.add_subcommand(
        "diagnose", "Report the service, readers, card, providers and store; no PIN asked");
    diagnose->add_flag("--json", options.json, "JSON for scripts");
    CLI::App* apps = app.add_subcommand(
        "apps", "What other programs need to use the card's keys: modules, p11-kit; no PIN");
    apps->add_flag("--json", options.json, "JSON for scripts");
    bool removeApps = false;
    apps->add_flag("--remove", removeApps,
                   "Remove what Quorlin wrote for other programs (not the store's entries)");
    CLI::App* changePin = app.add_subcommand("change-pin", "Change the card's PIN");
    CLI::App* reg = app.add_subcommand("register", "Log in and register the card's certificates");
    std::string storeName = "MY";
    reg->add_option("--store", storeName, "The store to register into (default MY)")
        ->option_text("NAME")
        ->check(
            [](const std::string& name) {
                // Refused here, before the PIN is asked, rather than by the store at the end.
                const std::u16string wide(name.begin(), name.end());
                return store::SqliteStoreApi::NormaliseStoreName(wide).empty()
                           ? std::string("a store name is 1 to 64 printable ASCII characters")
                           : std::string();
            },
            "NAME");
    for (CLI::App* sub : {readers, certs, diagnose, apps, changePin, reg}) {
        sub->fallthrough();
    }
    quorlin::cli::AddHelpCommand(app);
    if (const std::optional<int> exit = quorlin::cli::Parse(app, argc, argv)) {
        return *exit;
    }
    // Before anything else: a descriptor that is not open would only show at the PIN.
    if (options.pinFd >= 0 && ::fcntl(options.pinFd, F_GETFD) < 0) {
        return quorlin::cli::UsageError(
            app, "--pin-fd " + std::to_string(options.pinFd) + ": no such open descriptor");
    }
    if (readers->parsed()) {
        if (!options.reader.empty()) {
            return quorlin::cli::UsageError(app,
                                            "readers lists every reader: it takes no --reader");
        }
        return Readers(options);
    }
    if (certs->parsed()) {
        if (der && exportDir.empty()) {
            return quorlin::cli::UsageError(app, "--der goes with --export DIR");
        }
        return Certs(options, {expiresWithin, exportDir, der});
    }
    if (diagnose->parsed()) {
        return Diagnose(options);
    }
    if (apps->parsed()) {
        return Apps(options, removeApps);
    }
    if (changePin->parsed()) {
        return ChangePin(options);
    }
    return Register(options, storeName);
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything reads a PIN: no core file, no other process of the user attached.
    if (const int error = quorlin::base::KeepMemoryPrivate(); error != 0) {
        quorlin::cardtool::Say("cannot keep the PIN out of core files");
    }
    int status = Run(argc, argv);
    if ((status == quorlin::cardtool::kExitOk || status == quorlin::cardtool::kExitExpiring) &&
        quorlin::cardtool::TraceFailed()) {
        status = quorlin::cardtool::kExitFailure;
    }
    return quorlin::cli::Finish("quorlin-card", status);
}
