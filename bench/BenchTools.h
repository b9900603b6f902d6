#pragma once
// What the benchmarks that run helper programs share: where those programs are,
// reading the lines they log, and a logger set up as the program sets it up.
#include <fcntl.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kit/Log.h"

namespace benchtools {

// One cost measured with random and with colliding keys: both figures and their
// ratio, as <what>_<unit>_random, <what>_<unit>_colliding and <what>_ratio in a
// benchmark's counters (benchmark::State::counters).
template <typename Counters>
void CountKeyPair(Counters &counters, const std::string &what, const std::string &unit, double random,
                  double colliding)
{
    counters[what + "_" + unit + "_random"] = random;
    counters[what + "_" + unit + "_colliding"] = colliding;
    counters[what + "_ratio"] = colliding / random;
}

// Resident memory of this process in KiB, after the allocator has handed back what
// it holds free; -1 when it cannot be read.
inline long ResidentKiB()
{
    malloc_trim(0);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Starts argv[0] with arguments argv[1...] and its standard output written to the file
// outPath; the child's pid (wait for it with wait4, which also gives its peak memory).
inline pid_t StartWithOutput(std::vector<std::string> argv, const std::string &outPath)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
        _exit(127);
    std::vector<char *> pointers;
    for (std::string &arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    execv(pointers[0], pointers.data());
    _exit(127);
}

// A program built beside this one (bin/<name>).
inline std::string SiblingProgram(const std::string &name)
{
    char path[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string self(path, n > 0 ? static_cast<size_t>(n) : 0);
    return self.substr(0, self.rfind('/') + 1) + name;
}

inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The last line of the file that begins with `prefix`; empty when there is none.
inline std::string LastLine(const std::string &path, const std::string &prefix)
{
    std::ifstream in(path);
    std::string line, found;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            found = line;
    return found;
}

// The number after " key=" in a log line; -1 when the key is missing.
inline long long Field(const std::string &line, const std::string &key)
{
    const size_t at = line.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + key.size() + 2);
}

// Waits until the helper program's log has its "ready" line.
inline bool WaitReady(const std::string &log, std::chrono::seconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (LastLine(log, "ready").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !LastLine(log, "ready").empty();
}

inline int64_t MonotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The logger as the program sets it up, writing into a new temporary directory
// (once per process).
inline void StartLogger()
{
    static const bool started = [] {
        char pattern[] = "/tmp/bench-log-XXXXXX";
        const char *dir = mkdtemp(pattern);
        Vant::LogInit(std::string(dir ? dir : "/tmp") + "/");
        Vant::LogEnable(true);
        Vant::LogSetPrefix("BrenuSearchTools_");
        return true;
    }();
    (void)started;
}

} // namespace benchtools
