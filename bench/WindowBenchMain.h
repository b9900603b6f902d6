#pragma once
// The main function of the benchmarks that build the window: each makes its own
// private network namespace first (the window starts a search group, which
// broadcasts), then runs its benchmarks under an offscreen QApplication.
// `beforeExit` runs once the benchmarks are done, while the application still exists.
#include <benchmark/benchmark.h>

#include <QApplication>

#include <cstdio>
#include <functional>
#include <string>

#include "Sandbox.h"

inline int RunWindowBenchmarks(int argc, char **argv, const char *name, const std::function<void()> &beforeExit = {})
{
    const std::string error = sandbox::EnterPrivateNetwork();
    if (!error.empty()) {
        std::fprintf(stderr, "%s: %s\n", name, error.c_str());
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (beforeExit)
        beforeExit();
    benchmark::Shutdown();
    return 0;
}
