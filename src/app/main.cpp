#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <cstdio>
#include <string>
#include <utility>

#include "app/CQuorlinApp.h"
#include "platform/trace/TraceSink.h"

namespace {

// The single application object, as the framework has it: constructed before main runs.
quorlin::CQuorlinApp theApp;

constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);

    // Qt has taken its own options (-platform and the like) out of the arguments by now.
    QCommandLineParser parser;
    const QCommandLineOption traceOption(
        QStringLiteral("trace"),
        QStringLiteral("Writes a trace of the run to FILE (mode 0600; never the PIN)."),
        QStringLiteral("FILE"));
    parser.addOption(traceOption);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "quorlin: %s\n", qPrintable(parser.errorText()));
        return kExitUsage;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "quorlin: unexpected argument %s\n",
                     qPrintable(parser.positionalArguments().constFirst()));
        return kExitUsage;
    }
    if (parser.isSet(traceOption)) {
        std::string error;
        auto sink = quorlin::trace::TraceSink::Open(
            QFile::encodeName(parser.value(traceOption)).toStdString(), error);
        if (!sink) {
            std::fprintf(stderr, "quorlin: --trace %s\n", error.c_str());
            return kExitUsage;
        }
        theApp.SetTrace(std::move(sink));
    }

    theApp.InitInstance();
    return 0;
}
