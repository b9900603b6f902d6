#pragma once
// The program's command line: --help and --version print and end the program before
// any window (or display connection) exists; anything else the program does not know
// is refused with exit status 2. Qt's own options (-platform, -style, -display, ...)
// pass through to the application object as before.
#include <QString>
#include <QStringList>

#include <optional>

struct CommandLineOutcome {
    int exitCode = 0;
    QString output; // printed as is: to stdout for exit code 0, to stderr otherwise
};

// Parses the arguments (the program name first). Empty when the program is to run;
// otherwise what to print and the exit status. Needs a QCoreApplication instance
// (Qt formats the help text from it) but no display.
std::optional<CommandLineOutcome> ParseCommandLine(const QStringList &arguments);

// The whole step for main(): without arguments nothing happens at all; with some,
// they are parsed under a short-lived QCoreApplication and the outcome printed.
// Returns the exit status when the program is to end here.
std::optional<int> HandleCommandLine(int argc, char *argv[]);
