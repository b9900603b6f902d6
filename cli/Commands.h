#pragma once
// The five commands of brenu-search. Each returns the program's exit status
// (cli/ExitStatus.h); messages go to standard error, results to `out`.
#include <vector>

#include "cli/Options.h"
#include "cli/Output.h"
#include "device/Batch.h"

class DeviceSearch;

namespace cli {

int RunList(const Invocation &invocation, Output &out);
int RunWatch(const Invocation &invocation, Output &out);
int RunSet(const Invocation &invocation, Output &out);
int RunReboot(const Invocation &invocation, Output &out);
int RunUrl(const Invocation &invocation, Output &out);

// Prints "brenu-search: <text>" on standard error.
void Complain(const std::string &text);
// From now on Complain writes non-ASCII characters as '?' (the caller's locale is
// not UTF-8).
void SetAsciiDiagnostics(bool ascii);

// `status`, unless the output could not be written (said on standard error): then
// kExitDeviceFailed. A reader that went away (a closed pipe) is not a failure.
int OutputStatus(const Output &out, int status);
// The status of a command ended by a stop signal.
int Interrupted();
// Whether the started search can search at all (a local address, and a socket for at
// least one): false, said on standard error, means the command ends with
// kCannotSearch instead of an empty result.
bool CanSearch(const DeviceSearch &search);

// Says on standard error, once until it clears, when a round heard nothing on a link
// while this machine's firewall dropped incoming packets (device/FirewallHint.h).
// Call it once per search round (or once at the end of a short search).
class FirewallHintReporter {
public:
    void Round(DeviceSearch &search);

private:
    bool m_said = false;
};

// Watches the running search until every device named has answered (by its MAC when
// one is given), then kAmbiguityGraceMs more unless every one is pinned by MAC, so
// that a second device answering with the same serial number is heard too; or until
// waitMs have passed since the search started. False when a stop signal came.
bool WaitForNamed(DeviceSearch &search, const std::vector<NamedDevice> &names, int waitMs);

} // namespace cli
