// brenu-devsim: simulated Brenu devices for tests, benchmarks and demos. Run it only
// in the device namespace of the network sandbox (see UsageText).
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Simulator.h"

int main(int argc, char **argv)
{
    using namespace devsim;
    // Blocked before anything else so that they reach the poll loop's signalfd.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    Options options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "brenu-devsim: %s\n%s", error.c_str(), UsageText());
        return 2;
    }
    if (options.help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    std::vector<DeviceConfig> devices;
    if (!BuildDevices(options, devices, error)) {
        std::fprintf(stderr, "brenu-devsim: %s\n", error.c_str());
        return 2;
    }
    Simulator simulator(options, std::move(devices));
    if (!simulator.Open(error)) {
        std::fprintf(stderr, "brenu-devsim: %s\n", error.c_str());
        return 1;
    }
    return simulator.Run();
}
