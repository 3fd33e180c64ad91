#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <cstring>

#include "app/CQuorlinApp.h"
#include "app/CommandLine.h"
#include "base/DataDir.h"
#include "base/PrivateMemory.h"
#include "base/StandardOutput.h"
#include "base/Utf8.h"
#include "platform/crypt/ProviderRegistry.h"
#include "platform/pcsc/PcscLite.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/trace/TraceSink.h"
#include "platform/x509/OpenSslCertApi.h"
#include "quorlin/Version.h"
#include "ui/qt/QtTranslation.h"

namespace {

// The single application object, as the framework has it: constructed before main runs.
quorlin::CQuorlinApp theApp;

}  // namespace

int main(int argc, char* argv[]) {
    if (const int error = quorlin::base::KeepMemoryPrivate(); error != 0) {
        std::fprintf(stderr, "quorlin: cannot keep the PIN out of core files: %s\n",
                     std::strerror(error));
    }
    const std::string storeDir = quorlin::store::SqliteStoreApi::DefaultDirectory();
    auto outcome = quorlin::app::ParseCommandLine(
        std::vector<std::string>(argv, argv + argc),
        quorlin::crypt::ProviderRegistry::SearchDirsFromEnvironment(),
        storeDir.empty() ? "(none: no home directory)"
                         : quorlin::store::SqliteStoreApi(storeDir).DatabasePath(),
        quorlin::base::ProcessEnvironment);
    std::fputs(outcome.out.c_str(), stdout);
    std::fputs(outcome.err.c_str(), stderr);
    if (outcome.exitCode) {
        // --help or --version to a full disk or a closed pipe must not pass for done.
        return quorlin::base::FinishStandardOutput("quorlin", *outcome.exitCode);
    }
    // A provider file that cannot be used would otherwise only show as a provider that is
    // not found, at the registration.
    for (const auto& problem : quorlin::crypt::ProviderRegistry().Problems()) {
        std::fprintf(stderr, "quorlin: warning: %s: %s\n",
                     quorlin::base::Printable(problem.file).c_str(),
                     quorlin::base::Printable(problem.reason).c_str());
    }
    // Root with a user's HOME, or a store that such a run left behind: every registration
    // would fail with a bare code, so the cause is said here, where it can be.
    if (!storeDir.empty()) {
        const quorlin::store::SqliteStoreApi store(storeDir);
        if (const auto foreign = quorlin::store::ForeignPart(storeDir, store.DatabasePath())) {
            std::fprintf(stderr,
                         "quorlin: warning: %s belongs to %s, not to %s: certificates cannot be "
                         "registered\n",
                         quorlin::base::Printable(foreign->path).c_str(),
                         quorlin::base::Printable(foreign->owner).c_str(),
                         quorlin::base::Printable(quorlin::base::UserName(geteuid())).c_str());
        }
    }
    if (outcome.trace) {
        quorlin::trace::WriteRunHeader(
            *outcome.trace, "quorlin",
            std::string("Qt " QT_VERSION_STR " (") + qVersion() + " at run time), pcsc-lite " +
                quorlin::pcsc::PcscLite::BuiltVersion() + "; " +
                quorlin::x509::OpenSslCertApi::RunningVersion() + " at run time");
        theApp.SetTrace(std::move(outcome.trace));
    }

    QApplication app(argc, argv);
    // After the command line: --help and its errors stay English.
    quorlin::qt::InstallQtTranslation(app);
    QApplication::setApplicationVersion(QStringLiteral(QUORLIN_VERSION));
    // The desktop entry's id, so that X11 and Wayland sessions match the window to it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorlin.Quorlin"));
    theApp.InitInstance();
    return theApp.TraceFailed() ? 1 : 0;
}
