#pragma once
// SIGINT and SIGTERM ask the program to end: the handler only records the signal,
// and the waits of the commands look at it. Once the program has finished cleanly
// (searchers stopped, log written) it ends by the same signal with its default
// action, so that a calling shell or loop sees it die by the signal and stops too. A
// signal ignored when the program starts (a background job) stays ignored. SIGPIPE
// is ignored, so that writing to a closed pipe fails with EPIPE instead of killing
// the process.
namespace cli {

void InstallStopHandlers();
// The signal that asked to stop, or 0.
int StopSignal();
// Ends the process by the signal that asked to stop, with its default action; returns
// only when there was none.
void EndByStopSignal();

} // namespace cli
