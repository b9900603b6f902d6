#pragma once
// The tool's log, as every program of the tool starts it: the logger's worker and
// deleter, the file prefix "BrenuSearchTools_" and 30 days of day directories, in the
// folder the logger chooses (kit/LogLocation.h). Vant::LogShutdown() ends it.
void StartToolLog();
