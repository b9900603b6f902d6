#pragma once
// `brenu-search watch --format prometheus|openmetrics [--textfile FILE]`: the devices
// a running search follows, published after every search round as metrics
// (cli/Exposition.h). With a file, each round's text replaces the
// file whole (written beside it, then renamed), so node_exporter's textfile
// collector never reads half of it; without one, the text goes to standard output
// once per round.
#include <QString>

#include <cstdint>
#include <string>

#include "device/DeviceList.h"
#include "cli/Exposition.h"

class DeviceSearch;

namespace cli {

class Output;
struct Invocation;

// "" when the metrics file can be written where it is named (its folder exists and
// may be written), else the reason. Checked before the search starts, so that a
// wrong path ends the program at once rather than after the first round.
std::string CheckTextfile(const QString &path);

// The metrics of the devices a list holds at `tick` (the list's clock), which is
// nowUnixS on the wall clock, in no particular order; valid while the list is
// neither changed nor gone. A device is up unless the list counts it silent (call
// its MarkSilent first): the rule by which watch reports a device silent.
MetricsSnapshot SnapshotOf(const DeviceList &list, uint32_t tick, double nowUnixS, long long searchRounds);

// Publishes the started search's devices until SIGINT or SIGTERM; returns the exit
// status (0, or 4 when more devices answered than the list holds).
int ExportMetrics(const Invocation &invocation, DeviceSearch &search, Output &out);

} // namespace cli
