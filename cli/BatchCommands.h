#pragma once
// brenu-search apply and assign: many devices re-addressed in one run, from a plan
// file or from a start address, each verified by the search (device/Batch.h).
#include <QStringList>

#include <string>

#include "cli/Options.h"
#include "cli/Output.h"

namespace cli {

int RunApply(const Invocation &invocation, Output &out);
int RunAssign(const Invocation &invocation, Output &out);

// The command line of apply and assign (ParseCommandLine hands them here).
std::string ParseBatchCommandLine(const QStringList &arguments, bool stdoutIsTerminal, Invocation &invocation);
std::string BatchHelpText(Command command);

} // namespace cli
