#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QStringList>

#include "quorlin/Version.h"

namespace quorlin::app {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr const char* kProgram = "quorlin";

// QApplication takes these out of the command line after this parse; they must pass it.
constexpr const char* kQtOptionsWithValue[] = {
    "platform",    "platformpluginpath", "platformtheme",
    "plugin",      "qmljsdebugger",      "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",
    "display",     "geometry",           "style",
    "stylesheet"};
constexpr const char* kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb"};

std::string Utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

std::string UsageError(const QString& problem) {
    return std::string(kProgram) + ": " + Utf8(problem) +
           "\nRun with --help for more information.\n";
}

}  // namespace

CommandLineOutcome ParseCommandLine(const std::vector<std::string>& args,
                                    const std::vector<std::string>& providerDirs,
                                    const std::string& storePath, const base::Environment& env) {
    QCommandLineParser parser;
    // Qt's options have one dash: -platform NAME.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Log in to a smart card, change its PIN and register its certificates."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    // -V as in the other tools; -v stays, as Qt's own parser has it.
    const QCommandLineOption version(
        {QStringLiteral("V"), QStringLiteral("v"), QStringLiteral("version")},
        QStringLiteral("Displays version information."));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Writes a trace of the run to FILE (mode 0600; never the PIN)."),
        QStringLiteral("FILE"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(trace);
    for (const char* name : kQtOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    QStringList arguments;
    for (const std::string& a : args) {
        arguments << QString::fromLocal8Bit(a.c_str());
    }
    if (arguments.isEmpty()) {
        arguments << QString::fromLatin1(kProgram);
    }

    CommandLineOutcome outcome;
    if (!parser.parse(arguments)) {
        outcome.err = UsageError(parser.errorText());
        outcome.exitCode = kExitUsage;
        return outcome;
    }
    if (parser.isSet(help)) {
        // Without an application object the parser cannot know the program's name.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QString::fromLatin1(kProgram));
        std::string out = Utf8(text);
        out += "\nProvider files (quorlin/providers/*.conf), the first naming a provider wins:\n";
        for (const std::string& dir : providerDirs) {
            out += "  " + dir + "/quorlin/providers\n";
        }
        out += "\nCertificate store:\n  " + storePath + "\n";
        out += "\nQt's standard options, such as -platform NAME, are accepted too.\n";
        outcome.out = out;
        outcome.exitCode = kExitOk;
        return outcome;
    }
    if (parser.isSet(version)) {
        outcome.out = std::string(kProgram) + " " + QUORLIN_VERSION + "\n";
        outcome.exitCode = kExitOk;
        return outcome;
    }
    if (!parser.positionalArguments().isEmpty()) {
        outcome.err = UsageError(QStringLiteral("unexpected argument ") +
                                 parser.positionalArguments().constFirst());
        outcome.exitCode = kExitUsage;
        return outcome;
    }
    // A refused trace file is the user's first problem: the display would not solve it.
    if (parser.isSet(trace)) {
        std::string error;
        outcome.trace =
            trace::TraceSink::Open(parser.value(trace).toLocal8Bit().toStdString(), error);
        if (!outcome.trace) {
            outcome.err = std::string(kProgram) + ": --trace " + error + "\n";
            outcome.exitCode = kExitUsage;
            return outcome;
        }
    }
    const auto named = [&env](const char* name) { return !base::Variable(env, name).empty(); };
    if (!parser.isSet(QStringLiteral("platform")) && !parser.isSet(QStringLiteral("display")) &&
        !named("DISPLAY") && !named("WAYLAND_DISPLAY") && !named("QT_QPA_PLATFORM")) {
        outcome.err =
            std::string(kProgram) + ": no display (DISPLAY or WAYLAND_DISPLAY is not set)\n";
        outcome.exitCode = kExitFailure;
        outcome.trace.reset();
        return outcome;
    }
    return outcome;
}

}  // namespace quorlin::app
