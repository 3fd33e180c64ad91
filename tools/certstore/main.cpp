// quorlin-certstore: a viewer for the user's certificate stores that Quorlin fills.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Cli.h"
#include "Entry.h"
#include "ExportFiles.h"
#include "base/AtomicFile.h"
#include "base/Hex.h"
#include "interfaces/LastError.h"
#include "platform/store/SqliteStoreApi.h"

namespace {

using quorlin::store::SqliteStoreApi;
using quorlin::store::StoredCertificate;
namespace certview = quorlin::certview;
using certview::EntryView;
using certview::Printable;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMinPrefix = 4;
constexpr std::size_t kThumbprintDigits = 40;

constexpr const char* kDescription =
    "Lists and manages the certificates that Quorlin registered in the user's\n"
    "certificate stores (one database, DIR/certstore.db).";

constexpr const char* kFooter =
    "THUMBPRINT is the SHA-1 thumbprint in hex (colons and case do not matter); a\n"
    "unique prefix of at least 4 digits will do for show and export.\n"
    "STORE names compare without regard to case (Quorlin registers into MY).\n"
    "\n"
    "export --all DIR writes every entry to DIR (created, mode 0700, when missing; an\n"
    "existing one must be the user's and not writable by group or others) as\n"
    "STORE-THUMBPRINT.pem, or .der with --der; in the file name '%', '/', a leading\n"
    "'.' and any byte outside printable ASCII are written %XX, the byte in hex.\n"
    "A --dir that does not exist is an error; the default directory not existing yet\n"
    "means that nothing was registered.\n"
    "\n"
    "Exit status: 0 success, 1 no such entry, a damaged entry (show, export), the\n"
    "directory or the store cannot be read, DIR refused, standard output cannot be\n"
    "written, 2 bad usage.";

int StoreError(const SqliteStoreApi& store) {
    std::fprintf(stderr, "quorlin-certstore: cannot use %s: %s\n",
                 Printable(store.DatabasePath()).c_str(),
                 certview::FailureText(quorlin::GetLastError()).c_str());
    return kExitFailure;
}

// Hex digits in upper case, colons and blanks dropped; empty when not a thumbprint.
std::string NormaliseThumbprint(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (quorlin::base::HexDigitValue(c) >= 0) {
            out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        } else if (c != ':' && c != ' ') {
            return {};
        }
    }
    return out.size() > kThumbprintDigits ? std::string() : out;
}

std::string NormaliseStore(const std::string& name) {
    std::u16string wide;
    for (char c : name) {
        if (static_cast<unsigned char>(c) > 0x7E) {
            return {};
        }
        wide.push_back(static_cast<char16_t>(c));
    }
    return SqliteStoreApi::NormaliseStoreName(wide);
}

// One line about an entry that holds no certificate to show.
void ReportDamaged(const EntryView& v) {
    std::fprintf(stderr, "quorlin-certstore: entry %s in store %s is damaged: %s\n",
                 v.thumbprint.c_str(), v.store.c_str(), v.problem.c_str());
}

int ListJson(const std::vector<StoredCertificate>& entries) {
    std::vector<EntryView> views;
    for (const StoredCertificate& c : entries) {
        views.push_back(certview::ReadEntry(c));
    }
    std::fputs(certview::ListJson(views).c_str(), stdout);
    return kExitOk;
}

// The store name as the user typed it, for messages.
std::string g_storeTyped;

int List(SqliteStoreApi& store, const std::string& storeName, bool json) {
    auto entries = store.List(storeName);
    if (!entries) {
        return StoreError(store);
    }
    if (json) {
        return ListJson(*entries);
    }
    if (entries->empty()) {
        std::printf("No certificates%s%s.\n", storeName.empty() ? "" : " in store ",
                    Printable(g_storeTyped).c_str());
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows{certview::ListHeader()};
    std::vector<EntryView> damaged;
    for (const StoredCertificate& c : *entries) {
        EntryView v = certview::ReadEntry(c);
        if (v.problem.empty()) {
            rows.push_back(certview::ListRow(v));
        } else {
            damaged.push_back(std::move(v));
        }
    }
    // The table, when any entry is fit for it.
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t k = 0; k < row.size(); ++k) {
            widths[k] = std::max(widths[k], certview::DisplayWidth(row[k]));
        }
    }
    for (std::size_t r = 0; rows.size() > 1 && r < rows.size(); ++r) {
        std::string line;
        for (std::size_t k = 0; k < rows[r].size(); ++k) {
            line += rows[r][k];
            if (k + 1 < rows[r].size()) {
                line.append(widths[k] - certview::DisplayWidth(rows[r][k]) + 2, ' ');
            }
        }
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
    for (const EntryView& v : damaged) {
        ReportDamaged(v);
    }
    return kExitOk;
}

// The entries the thumbprint argument names; prints the error and returns nullopt when
// there is none or the prefix is ambiguous.
std::optional<std::vector<StoredCertificate>> Lookup(SqliteStoreApi& store,
                                                     const std::string& argument,
                                                     const std::string& storeName, bool exact,
                                                     int* exitCode) {
    const std::string thumbprint = NormaliseThumbprint(argument);
    if (thumbprint.size() < (exact ? kThumbprintDigits : kMinPrefix)) {
        std::fprintf(stderr,
                     "quorlin-certstore: '%s' is not a thumbprint (%s hex digits expected)\n",
                     Printable(argument).c_str(), exact ? "40" : "4 to 40");
        *exitCode = kExitUsage;
        return std::nullopt;
    }
    auto entries = store.Find(thumbprint, storeName);
    if (!entries) {
        *exitCode = StoreError(store);
        return std::nullopt;
    }
    if (entries->empty()) {
        std::fprintf(stderr, "quorlin-certstore: no certificate with thumbprint %s%s%s\n",
                     thumbprint.c_str(), storeName.empty() ? "" : " in store ",
                     Printable(g_storeTyped).c_str());
        *exitCode = kExitFailure;
        return std::nullopt;
    }
    for (const StoredCertificate& c : *entries) {
        if (c.thumbprint != entries->front().thumbprint) {
            std::fprintf(stderr, "quorlin-certstore: %s names more than one certificate:\n",
                         thumbprint.c_str());
            for (const StoredCertificate& d : *entries) {
                std::fprintf(stderr, "  %s  %s\n", Printable(d.store).c_str(),
                             Printable(d.thumbprint).c_str());
            }
            *exitCode = kExitFailure;
            return std::nullopt;
        }
    }
    return entries;
}

int Show(SqliteStoreApi& store, const std::string& argument, const std::string& storeName,
         bool json) {
    int exitCode = kExitOk;
    auto entries = Lookup(store, argument, storeName, false, &exitCode);
    if (!entries) {
        return exitCode;
    }
    if (json) {
        // An array even for one: the same thumbprint may be in several stores, and a script
        // reads show's output as it reads list's.
        std::vector<EntryView> views;
        for (const StoredCertificate& c : *entries) {
            views.push_back(certview::ReadEntry(c));
            exitCode = views.back().problem.empty() ? exitCode : kExitFailure;
        }
        std::fputs(certview::ListJson(views).c_str(), stdout);
        return exitCode;
    }
    bool first = true;
    for (const StoredCertificate& c : *entries) {
        const EntryView v = certview::ReadEntry(c);
        if (!v.problem.empty()) {
            std::fflush(stdout);
            ReportDamaged(v);
            exitCode = kExitFailure;
            continue;
        }
        std::printf("%s%s", first ? "" : "\n", certview::ShowText(v).c_str());
        first = false;
    }
    return exitCode;
}

// The certificate in the form asked for; empty when the entry has a problem.
std::string Encoded(const StoredCertificate& c, bool der) {
    if (!der) {
        return certview::ExportPem(c);
    }
    const std::vector<std::uint8_t> bytes = certview::ExportDer(c);
    return std::string(bytes.begin(), bytes.end());
}

int Export(SqliteStoreApi& store, const std::string& argument, const std::string& storeName,
           bool der) {
    int exitCode = kExitOk;
    auto entries = Lookup(store, argument, storeName, false, &exitCode);
    if (!entries) {
        return exitCode;
    }
    // One thumbprint is one certificate, whichever stores hold it: any whole copy will do.
    for (const StoredCertificate& c : *entries) {
        const std::string bytes = Encoded(c, der);
        if (bytes.empty()) {
            continue;
        }
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        return kExitOk;
    }
    ReportDamaged(certview::ReadEntry(entries->front()));
    return kExitFailure;
}

// Made 0700 when missing; an existing one must be safe to write into.
bool PrepareOutputDirectory(const std::string& target) {
    const std::optional<std::string> problem = quorlin::exportfiles::PrepareOutputDirectory(target);
    if (problem) {
        std::fprintf(stderr, "quorlin-certstore: %s: %s\n", Printable(target).c_str(),
                     problem->c_str());
    }
    return !problem;
}

int ExportAll(SqliteStoreApi& store, const std::string& target, const std::string& storeName,
              bool der) {
    auto entries = store.List(storeName);
    if (!entries) {
        return StoreError(store);
    }
    if (!PrepareOutputDirectory(target)) {
        return kExitFailure;
    }
    int exitCode = kExitOk;
    int written = 0;
    for (const StoredCertificate& c : *entries) {
        const EntryView v = certview::ReadEntry(c);
        if (!v.problem.empty()) {
            ReportDamaged(v);
            exitCode = kExitFailure;
            continue;
        }
        const std::string bytes = Encoded(c, der);
        const std::string path = target + "/" +
                                 quorlin::exportfiles::FileNameOf(c.store + "-" + c.thumbprint) +
                                 (der ? ".der" : ".pem");
        const int error = quorlin::base::WriteFileAtomically(
            path, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        if (error != 0) {
            std::fprintf(stderr, "quorlin-certstore: %s: %s\n", Printable(path).c_str(),
                         std::strerror(error));
            exitCode = kExitFailure;
            continue;
        }
        ++written;
    }
    std::printf("Wrote %d certificate%s to %s.\n", written, written == 1 ? "" : "s",
                Printable(target).c_str());
    return exitCode;
}

// nullopt when the data directory will do: a missing default one means nothing was
// registered yet, but a --dir that is not there is a mistake.
std::optional<int> CheckDirectory(const std::string& path, bool explicitlyGiven) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT && !explicitlyGiven) {
            return std::nullopt;
        }
        std::fprintf(stderr, "quorlin-certstore: %s: %s\n", Printable(path).c_str(),
                     errno == ENOENT ? "no such directory" : std::strerror(errno));
        return kExitFailure;
    }
    if (!S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "quorlin-certstore: %s: not a directory\n", Printable(path).c_str());
        return kExitFailure;
    }
    if (::access(path.c_str(), R_OK | X_OK) != 0) {
        std::fprintf(stderr, "quorlin-certstore: %s: cannot read: %s\n", Printable(path).c_str(),
                     std::strerror(errno));
        return kExitFailure;
    }
    return std::nullopt;
}

int Remove(SqliteStoreApi& store, const std::string& argument, const std::string& storeName) {
    int exitCode = kExitOk;
    auto entries = Lookup(store, argument, storeName, true, &exitCode);
    if (!entries) {
        return exitCode;
    }
    auto removed = store.Remove(entries->front().thumbprint, storeName);
    if (!removed) {
        return StoreError(store);
    }
    std::printf("Removed %d entr%s.\n", *removed, *removed == 1 ? "y" : "ies");
    return *removed > 0 ? kExitOk : kExitFailure;
}

int Run(int argc, char* argv[]) {
    // The user's character set, for the widths of the table's columns.
    std::setlocale(LC_CTYPE, "");
    CLI::App app(kDescription, "quorlin-certstore");
    quorlin::cli::AddVersion(app);
    app.footer(kFooter);
    std::string dir;
    app.add_option("--dir", dir,
                   "the data directory (default $XDG_DATA_HOME/quorlin, else "
                   "~/.local/share/quorlin)")
        ->option_text("DIR");
    app.require_subcommand(0, 1);
    // What CLI11 would reject by its own words is sorted out below, in the tool's.
    app.allow_extras();
    std::string thumbprint;
    std::string storeArgument;
    const auto command = [&](const char* name, const char* help, bool takesThumbprint,
                             bool needsThumbprint) {
        CLI::App* sub = app.add_subcommand(name, help);
        sub->fallthrough();
        sub->allow_extras();
        // The program's notes are for its full help, not for each command's.
        sub->footer("");
        if (takesThumbprint) {
            sub->add_option("THUMBPRINT", thumbprint, "SHA-1 thumbprint in hex")
                ->required(needsThumbprint);
        }
        sub->add_option("STORE", storeArgument, "the store (default: every store)");
        return sub;
    };
    bool json = false;
    bool der = false;
    std::string allDir;
    command("list", "[STORE]: every entry, of STORE only when given", false, false)
        ->add_flag("--json", json, "a JSON array, one object per entry");
    command("show", "THUMBPRINT [STORE]: all details of one certificate", true, true)
        ->add_flag("--json", json, "a JSON array as list --json prints");
    CLI::App* exportCommand =
        command("export",
                "THUMBPRINT [STORE]: the certificate as PEM on standard output;\n"
                "--all DIR [STORE]: every entry, a file each in DIR",
                true, false);
    exportCommand->add_flag("--der", der, "DER instead of PEM");
    exportCommand->add_option("--all", allDir, "write every entry into DIR")->option_text("DIR");
    command("remove", "THUMBPRINT [STORE]: delete the entry, from every store unless STORE", true,
            true);
    quorlin::cli::AddHelpCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& e) {
        const bool allOption = std::string(e.what()).find("--all") != std::string::npos;
        return quorlin::cli::UsageError(
            app, allOption ? "--all needs a directory" : "--dir needs a directory");
    } catch (const CLI::RequiredError& e) {
        for (const std::string& extra : app.remaining(true)) {
            if (extra.size() > 1 && extra[0] == '-') {
                return quorlin::cli::ParseFailure(app, e);  // names the unknown option
            }
        }
        for (const CLI::App* sub : app.get_subcommands()) {
            if (sub->get_option_no_throw("THUMBPRINT") != nullptr && thumbprint.empty()) {
                return quorlin::cli::UsageError(app, sub->get_name() + " needs a THUMBPRINT");
            }
        }
        return quorlin::cli::ParseFailure(app, e);
    } catch (const CLI::ParseError& e) {
        return quorlin::cli::ParseFailure(app, e);
    }
    if (const std::optional<int> help = quorlin::cli::AnswerHelp(app)) {
        return *help;
    }

    const std::vector<CLI::App*> given = app.get_subcommands();
    std::vector<std::string> extras = app.remaining();
    for (const CLI::App* sub : given) {
        const std::vector<std::string> more = sub->remaining();
        extras.insert(extras.end(), more.begin(), more.end());
    }
    for (const std::string& extra : extras) {
        if (extra.size() > 1 && extra[0] == '-') {
            return quorlin::cli::UsageError(app, "unknown option " + Printable(extra));
        }
    }
    if (given.empty()) {
        return quorlin::cli::UsageError(app, extras.empty()
                                                 ? "no command given"
                                                 : "unknown command " + Printable(extras.front()));
    }
    const std::string name = given.front()->get_name();
    const bool all = exportCommand->count("--all") > 0;
    if (all) {
        // export --all takes no thumbprint: the one word after it is the store.
        if (!storeArgument.empty()) {
            extras.push_back(storeArgument);
        }
        storeArgument = thumbprint;
        thumbprint.clear();
        if (allDir.empty()) {
            return quorlin::cli::UsageError(app, "--all needs a directory");
        }
    } else if (name != "list" && thumbprint.empty()) {
        return quorlin::cli::UsageError(app, name + " needs a THUMBPRINT");
    }
    if (!extras.empty()) {
        return quorlin::cli::UsageError(app, "too many arguments for " + name);
    }
    std::string storeName;
    if (!storeArgument.empty()) {
        storeName = NormaliseStore(storeArgument);
        g_storeTyped = storeArgument;
        if (storeName.empty()) {
            return quorlin::cli::UsageError(app, "not a store name: " + Printable(storeArgument));
        }
    }

    SqliteStoreApi store = dir.empty() ? SqliteStoreApi() : SqliteStoreApi(dir);
    if (const std::optional<int> failed = CheckDirectory(store.Directory(), !dir.empty())) {
        return *failed;
    }
    if (name == "list") {
        return List(store, storeName, json);
    }
    if (name == "show") {
        return Show(store, thumbprint, storeName, json);
    }
    if (name == "export") {
        return all ? ExportAll(store, allDir, storeName, der)
                   : Export(store, thumbprint, storeName, der);
    }
    return Remove(store, thumbprint, storeName);
}

}  // namespace

int main(int argc, char* argv[]) {
    return quorlin::cli::Finish("quorlin-certstore", Run(argc, argv));
}
