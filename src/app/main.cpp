#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CQuorlinApp.h"
#include "app/CommandLine.h"
#include "platform/crypt/ProviderRegistry.h"
#include "platform/store/SqliteStoreApi.h"
#include "quorlin/Version.h"

namespace {

// The single application object, as the framework has it: constructed before main runs.
quorlin::CQuorlinApp theApp;

}  // namespace

int main(int argc, char* argv[]) {
    const auto outcome =
        quorlin::app::ParseCommandLine(std::vector<std::string>(argv, argv + argc),
                                       quorlin::crypt::ProviderRegistry::DataDirsFromEnvironment(),
                                       quorlin::store::SqliteStoreApi().DatabasePath());
    std::fputs(outcome.out.c_str(), stdout);
    std::fputs(outcome.err.c_str(), stderr);
    if (outcome.exitCode) {
        return *outcome.exitCode;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(QUORLIN_VERSION));
    // The desktop entry's id, so that X11 and Wayland sessions match the window to it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorlin.Quorlin"));
    theApp.InitInstance();
    return 0;
}
