#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/AppIdentity.h"
#include "kit/LogLocation.h"

namespace {

// Qt's application options, accepted and left to QApplication as they always were.
const char *const kQtOptionsWithValue[] = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                           "qwindowgeometry", "qwindowicon", "qwindowtitle", "session",
                                           "display", "geometry", "title", "name", "style", "stylesheet",
                                           "visual", "ncols", "im", "qmljsdebugger"};
const char *const kQtFlags[] = {"reverse", "nograb", "dograb", "sync", "widgetcount", "cmap"};

QString LogHelp()
{
    const Vant::LogLocations where = Vant::DefaultLogLocations();
    QString text = QStringLiteral("Log:\n  One folder per day (YYYYMMDD/), kept 30 days, written to\n");
    if (!where.besideExecutable.empty())
        text += QStringLiteral("  %1 when that folder can be written, otherwise to\n")
                    .arg(QString::fromStdString(where.besideExecutable));
    text += QStringLiteral("  %1\n").arg(where.stateDirectory.empty()
                                             ? QStringLiteral("(nowhere: no home directory is known)")
                                             : QString::fromStdString(where.stateDirectory));
    text += QStringLiteral("  ($XDG_STATE_HOME/%1/log/, by default ~/.local/state/%1/log/).\n")
                .arg(QString::fromUtf8(Vant::kLogStateFolder));
    return text;
}

} // namespace

std::optional<CommandLineOutcome> ParseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Qt's options are single-dash words (-platform), so every option is read as a
    // word; -h and -v still work as the short forms.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Finds Brenu network devices on the local networks by UDP broadcast and configures them."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    for (const char *name : kQtOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : kQtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    const QString program = QString::fromLatin1(kProgramName);
    if (!parser.parse(arguments))
        return CommandLineOutcome{2, QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n")
                                         .arg(program, parser.errorText())};
    if (!parser.positionalArguments().isEmpty())
        return CommandLineOutcome{2, QStringLiteral("%1: unexpected argument '%2'\nTry '%1 --help' for more "
                                                    "information.\n")
                                         .arg(program, parser.positionalArguments().first())};
    if (parser.isSet(help))
        return CommandLineOutcome{0, parser.helpText() + QStringLiteral("\nQt's own options (-platform, -style, "
                                                                        "-display, ...) are accepted too.\n\n") +
                                         LogHelp()};
    if (parser.isSet(version))
        return CommandLineOutcome{0, QStringLiteral("%1 %2\n").arg(program, QStringLiteral(BRENU_VERSION))};
    return std::nullopt;
}

std::optional<int> HandleCommandLine(int argc, char *argv[])
{
    if (argc <= 1)
        return std::nullopt;
    std::optional<CommandLineOutcome> outcome;
    {
        // Only for the parser; the real application object comes after it is gone.
        QCoreApplication parsing(argc, argv);
        outcome = ParseCommandLine(QCoreApplication::arguments());
    }
    if (!outcome)
        return std::nullopt;
    const QByteArray text = outcome->output.toUtf8();
    std::FILE *stream = outcome->exitCode == 0 ? stdout : stderr;
    // Help or version text that could not be written (a full disk, a closed
    // descriptor) is a failure, not a success with nothing shown.
    const bool written = std::fputs(text.constData(), stream) >= 0;
    if (std::fflush(stream) != 0 || !written) {
        const int error = errno;
        if (stream == stdout)
            std::fprintf(stderr, "%s: cannot write the output: %s\n", kProgramName, std::strerror(error));
        return outcome->exitCode == 0 ? 1 : outcome->exitCode;
    }
    return outcome->exitCode;
}
