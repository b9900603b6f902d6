// brenu-hostile: one hostile host at a steady rate (see Hostile.h). Run it only in
// the device namespace of the network sandbox: it refuses to start anywhere else.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Hostile.h"

namespace {

volatile sig_atomic_t g_quit = 0;

void OnSignal(int) { g_quit = 1; }

double Now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void Line(FILE *log, const std::string &text)
{
    if (log) {
        std::fprintf(log, "%s\n", text.c_str());
        std::fflush(log);
    }
}

} // namespace

int main(int argc, char **argv)
{
    using namespace hostile;
    Options options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "brenu-hostile: %s\n%s", error.c_str(), UsageText());
        return 2;
    }
    error = CheckSafety(options);
    if (!error.empty()) {
        std::fprintf(stderr, "brenu-hostile: refusing to run: %s\n", error.c_str());
        return 1;
    }
    const bool forged = options.mode == Mode::ForgedHeader;
    // Forged sources need a raw socket, where the program writes the IP header itself.
    const int fd = forged ? socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_RAW)
                          : devsim::OpenUdpSocket(devsim::Endpoint{options.from, 0}, true, 4 << 20, error);
    if (fd < 0) {
        std::fprintf(stderr, "brenu-hostile: %s\n", forged ? std::strerror(errno) : error.c_str());
        return 1;
    }
    const std::string headers = ForgedHeaders(options.stack);
    FILE *log = options.log.empty() ? nullptr : std::fopen(options.log.c_str(), "a");
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const std::string oversize(options.size, 'o');
    const pid_t parent = getppid();
    const double start = Now();
    uint64_t sent = 0, refused = 0;
    Line(log, "ready");
    // Every millisecond: whatever the rate says is due by now.
    while (!g_quit) {
        const double elapsed = Now() - start;
        if (options.seconds > 0 && elapsed >= options.seconds)
            break;
        if (options.exitWithParent && getppid() != parent)
            break;
        const auto due = static_cast<uint64_t>(elapsed * options.rate);
        while (sent + refused < due && !g_quit) {
            const uint64_t index = sent + refused;
            int result = 0;
            if (forged) {
                const devsim::Endpoint &from = options.spoofs[index % options.spoofs.size()];
                const devsim::Endpoint &to = options.targets[(index / options.spoofs.size()) % options.targets.size()];
                const bool stray = options.pattern[(index / options.spoofs.size()) % options.pattern.size()] == 's';
                const std::string packet = SpoofedUdpPacket(from, to, stray ? std::string(kStraySize, 's') : headers);
                const sockaddr_in address = devsim::ToSockaddr(to);
                result = sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&address),
                                sizeof address) < 0
                             ? errno
                             : 0;
            } else {
                const devsim::Endpoint &to = options.targets[index % options.targets.size()];
                const std::string datagram = options.mode == Mode::LateFail         ? LateFailDatagram(sent, options.size)
                                             : options.mode == Mode::CollidingAnswers ? CollidingAnswer(index % 16384,
                                                                                                        options.from)
                                                                                      : oversize;
                result = devsim::SendDatagram(fd, to, 0, datagram.data(), datagram.size());
            }
            if (result == 0)
                ++sent;
            else if (result == EAGAIN || result == ENOBUFS)
                break; // the send buffer is full: the rest is due at the next tick
            else
                ++refused;
        }
        timespec tick{0, 1000000};
        nanosleep(&tick, nullptr);
    }
    const double took = Now() - start;
    Line(log, "summary sent=" + std::to_string(sent) + " refused=" + std::to_string(refused) +
                  " bytes=" + std::to_string(sent * options.size) + " seconds=" + std::to_string(took));
    if (log)
        std::fclose(log);
    close(fd);
    return 0;
}
