#pragma once
// SIGINT and SIGTERM ask the program to end: the handler only records the signal,
// and the waits of the commands look at it. SIGPIPE is ignored, so that writing to a
// closed pipe fails with EPIPE instead of killing the process.
namespace cli {

void InstallStopHandlers();
// The signal that asked to stop, or 0.
int StopSignal();

} // namespace cli
