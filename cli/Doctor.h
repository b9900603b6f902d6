#pragma once
// brenu-search doctor, and the check every searching command makes before it waits
// for answers.
//
// doctor explains an empty or short list: the addresses and interfaces searched and
// those left out, who holds port 19009, the receivers of broadcast answers, the
// reverse-path filter of each interface searched, and what one search round's
// requests met, each with what to do about it. Exit status 0 when nothing is wrong,
// 1 otherwise.
#include "device/DeviceSearch.h"
#include "cli/Options.h"
#include "cli/Output.h"

namespace cli {

int RunDoctor(const Invocation &invocation, Output &out);

// Waits until the search's sockets have been tried (see kSocketStartWaitMs); when
// not one of its searchers could open its socket, says why on standard error and
// returns false: the command then ends with kCannotSearch instead of an empty result.
bool CheckCanSearch(const DeviceSearch &search);

// How long a command waits for its searchers' first socket start. Each searcher
// starts its socket at once on its own thread; a second is far beyond that on a
// loaded machine, and bounds the wait when the system is stuck.
constexpr int kSocketStartWaitMs = 1000;

} // namespace cli
