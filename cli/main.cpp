// brenu-search: the command-line companion of the window. It finds Brenu devices
// with the window's search group and sends them the window's requests, without a
// display (Qt Core only).
#include <QStringList>

#include <unistd.h>

#include <clocale>
#include <cstdio>

#include "cli/BatchCommands.h"
#include "cli/Commands.h"
#include "cli/Doctor.h"
#include "cli/ExitStatus.h"
#include "cli/Options.h"
#include "cli/StopSignal.h"
#include "kit/ToolLog.h"
#include "kit/Log.h"

namespace {

int Run(const cli::Invocation &invocation, cli::Output &out)
{
    switch (invocation.command) {
    case cli::Command::List:
        return cli::RunList(invocation, out);
    case cli::Command::Watch:
        return cli::RunWatch(invocation, out);
    case cli::Command::Set:
        return cli::RunSet(invocation, out);
    case cli::Command::Reboot:
        return cli::RunReboot(invocation, out);
    case cli::Command::Url:
        return cli::RunUrl(invocation, out);
    case cli::Command::Doctor:
        return cli::RunDoctor(invocation, out);
    case cli::Command::Apply:
        return cli::RunApply(invocation, out);
    case cli::Command::Assign:
        return cli::RunAssign(invocation, out);
    case cli::Command::None:
        break;
    }
    return cli::kExitUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    // Column widths of the table come from the character widths of UTF-8 text,
    // whatever the caller's locale; what is printed is UTF-8 only where that locale
    // can show it.
    const bool utf8 = cli::CallerLocaleIsUtf8();
    cli::SetAsciiDiagnostics(!utf8);
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        std::setlocale(LC_CTYPE, "");
    cli::InstallStopHandlers();

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromUtf8(argv[i]);
    cli::Invocation invocation;
    const std::string error = cli::ParseCommandLine(arguments, isatty(STDOUT_FILENO), invocation);
    cli::Output out;
    // JSON keeps every character as an escape; the table (and the help texts) shows
    // '?'. CSV and metrics are data for programs, which read UTF-8 whatever the
    // locale.
    if (!utf8 && (invocation.format == cli::Format::Json || invocation.format == cli::Format::Jsonl))
        out.SetAscii(cli::Output::Ascii::JsonEscapes);
    else if (!utf8 && invocation.format == cli::Format::Table)
        out.SetAscii(cli::Output::Ascii::Replace);
    if (!error.empty()) {
        cli::Complain(error + " (see brenu-search --help)");
        return cli::kExitUsage;
    }
    if (invocation.help || invocation.version) {
        out.Write(invocation.version && !invocation.help ? cli::VersionText() : cli::HelpText(invocation.command));
        return cli::OutputStatus(out, cli::kExitOk);
    }

    // The window's log, only when asked for: scripts run without leaving files.
    if (invocation.log)
        StartToolLog();

    const int status = Run(invocation, out);
    // The searchers are gone: write what they logged last (nothing when not logging).
    if (invocation.log)
        Vant::LogShutdown();
    // Done cleanly; a stop signal now ends the program as it would have at once.
    cli::EndByStopSignal();
    return status;
}
