#pragma once
// The five commands of brenu-search. Each returns the program's exit status
// (cli/ExitStatus.h); messages go to standard error, results to `out`.
#include "cli/Options.h"
#include "cli/Output.h"

namespace cli {

int RunList(const Invocation &invocation, Output &out);
int RunWatch(const Invocation &invocation, Output &out);
int RunSet(const Invocation &invocation, Output &out);
int RunReboot(const Invocation &invocation, Output &out);
int RunUrl(const Invocation &invocation, Output &out);

// Prints "brenu-search: <text>" on standard error.
void Complain(const std::string &text);

} // namespace cli
