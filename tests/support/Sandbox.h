#pragma once
// Private network sandbox for tests and benchmarks that open sockets.
//
// EnterPrivateNetwork() moves the calling thread (and every thread or process it
// starts afterwards) into a fresh network namespace whose only interface is
// loopback. DeviceNetwork then adds a second namespace for simulated devices,
// joined to the first by a veth pair:
//
//   workstation side  "brw0"  10.77.0.1/24   (the namespace of the test)
//   device side       "brd0"  10.77.0.2/24   (the child namespace)
//
// More addresses can be added on either side. Nothing sent here can leave the
// machine: the namespaces hold no other interfaces.
//
// A switched LAN (Layout::Switched): brw0 and brd0 are ports of a bridge in a third,
// "switch" namespace, and AddBox hangs more device namespaces on it, each a box of
// its own with its link "brd0" and MAC BoxMac(n). Several boxes may hold one address,
// as devices left at a factory default do.
//
// A routed subnet (AddRoutedSubnet): the device namespace becomes a router between
// the workstation's link and a device subnet behind it, in a namespace of its own:
//
//   workstation "brw0" 10.77.0.1/24 -- "brd0" 10.77.0.2/24 [router] "rtr0" 10.77.5.1/24
//                                       -- "brd0" 10.77.5.2/24 [routed devices]
//
// The workstation reaches 10.77.5.0/24 through 10.77.0.2; the routed devices have
// their default route through 10.77.5.1. A broadcast never crosses the router.
#include <netinet/in.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace sandbox {

inline constexpr const char *kWorkstationAddress = "10.77.0.1";
inline constexpr const char *kDeviceAddress = "10.77.0.2";
inline constexpr const char *kWorkstationLink = "brw0";
inline constexpr const char *kDeviceLink = "brd0";
inline constexpr const char *kRoutedSubnet = "10.77.5.0/24";
inline constexpr const char *kRouterRoutedSide = "10.77.5.1";
inline constexpr const char *kRoutedDeviceAddress = "10.77.5.2";

// An IPv4 socket address from dotted text and a port.
sockaddr_in Ipv4(const char *ip, uint16_t port);

// Returns an empty string on success, otherwise why the sandbox could not be made.
std::string EnterPrivateNetwork();

// Runs a command (argv[0] is looked up in PATH) and returns its exit status, or -1.
int RunCommand(const std::vector<std::string> &argv);

enum class Layout { Direct, Switched };

// The MAC of box n (1-based): 02:77:b0:00:HH:LL, as scripts/sandbox gives it too.
std::string BoxMac(int box);

class DeviceNetwork {
public:
    // Creates the device namespace and the veth pair (on a bridge when switched);
    // call EnterPrivateNetwork() first. error() tells whether it worked.
    explicit DeviceNetwork(Layout layout = Layout::Direct);
    ~DeviceNetwork();
    DeviceNetwork(const DeviceNetwork &) = delete;
    DeviceNetwork &operator=(const DeviceNetwork &) = delete;

    const std::string &error() const { return m_error; }
    bool ok() const { return m_error.empty(); }

    // "10.77.0.5/24" style; returns false when `ip` refused. A label ("brw0:1") gives
    // the address the name under which the interface list reports it, as aliases have.
    bool AddWorkstationAddress(const std::string &cidr, const std::string &label = std::string()) const;
    bool RemoveWorkstationAddress(const std::string &cidr) const;
    bool AddDeviceAddress(const std::string &cidr) const;

    // Runs fn on a thread that lives in the device namespace and waits for it.
    // Sockets created by fn stay in the device namespace whichever thread uses them later.
    void RunInDevice(const std::function<void()> &fn) const;

    // A thread in the device namespace, running until fn returns; join it yourself.
    std::thread StartInDevice(std::function<void()> fn) const;

    // Starts a process in the device namespace; returns its pid or -1.
    pid_t SpawnInDevice(const std::vector<std::string> &argv) const;

    // Runs a command in the device namespace and returns its exit status.
    int RunInDeviceCommand(const std::vector<std::string> &argv) const;

    const std::string &namespacePath() const { return m_nsPath; }

    // Makes the device namespace a router to a routed device subnet (see the file
    // comment); false when it could not be made.
    bool AddRoutedSubnet();
    // In the routed devices' namespace: a further address ("10.77.5.7/24"), a
    // function on a thread, a process (its pid or -1), a command (its exit status).
    bool AddRoutedAddress(const std::string &cidr) const;
    void RunInRouted(const std::function<void()> &fn) const;
    pid_t SpawnInRouted(const std::vector<std::string> &argv) const;
    int RunInRoutedCommand(const std::vector<std::string> &argv) const;

    // Switched layout only: a new box holding `cidr` on its link brd0 (up, its data
    // path checked). Returns its number (1, 2, ...) or 0 when it could not be made.
    int AddBox(const std::string &cidr);
    // Runs fn on a thread in box n's namespace and waits for it.
    void RunInBox(int box, const std::function<void()> &fn) const;
    // Starts a process in box n's namespace; returns its pid or -1.
    pid_t SpawnInBox(int box, const std::vector<std::string> &argv) const;
    int RunInBoxCommand(int box, const std::vector<std::string> &argv) const;

private:
    // A namespace kept alive by a forked process until the pipe closes.
    struct Holder {
        pid_t pid = -1;
        int pipe = -1;
        std::string path;
    };
    static bool StartHolder(Holder &holder);
    static void StopHolder(Holder &holder);
    bool WaitDataPath();

    pid_t m_holder = -1;
    int m_holderPipe = -1;
    std::string m_nsPath;
    std::string m_error;
    Layout m_layout = Layout::Direct;
    Holder m_switch;
    std::vector<Holder> m_boxes;
    Holder m_routed;
};

// For benchmarks: the first call moves the calling thread into a private network and
// makes one device network that lives until the process ends; every call returns it,
// or null with the reason in `error`.
const DeviceNetwork *ProcessDeviceNetwork(std::string &error);

// A UDP socket created in the device namespace (or -1).
int DeviceUdpSocket(const DeviceNetwork &net);

} // namespace sandbox
