#include "SearchTestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "kit/Log.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"

namespace searchtest {

namespace {

sockaddr_in Endpoint(const std::string &ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

std::string AddressText(const in_addr &address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

} // namespace

bool WaitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

DeviceSocket::DeviceSocket(const sandbox::DeviceNetwork &net, const std::string &ip, uint16_t port)
{
    net.RunInDevice([&] {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            m_error = std::string("socket: ") + std::strerror(errno);
            return;
        }
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        sockaddr_in local = Endpoint(ip, port);
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            m_error = "bind " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno);
            close(m_fd);
            m_fd = -1;
        }
    });
}

DeviceSocket::~DeviceSocket()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool DeviceSocket::SendTo(const std::string &ip, uint16_t port, const std::string &bytes) const
{
    sockaddr_in to = Endpoint(ip, port);
    return sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

bool DeviceSocket::Receive(Datagram &datagram, int timeoutMs) const
{
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return false;
    char data[65536];
    char control[256];
    sockaddr_in from{};
    iovec io{data, sizeof data};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(m_fd, &message, 0);
    if (n < 0)
        return false;
    datagram.at = Clock::now();
    datagram.bytes.assign(data, static_cast<size_t>(n));
    datagram.from = AddressText(from.sin_addr);
    datagram.fromPort = ntohs(from.sin_port);
    datagram.to.clear();
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            datagram.to = AddressText(info.ipi_addr);
        }
    }
    return true;
}

std::string SearchAnswerBody(const std::string &serial, const std::string &api)
{
    return "{ \"version\": 0, \"kind\": 0, \"sessionId\": \"0\", \"api\": \"" + api +
           "\",\n  \"params\": { \"data\": [ { \"serialNo\": \"" + serial +
           "\", \"address\": \"10.77.0.2\", \"port\": 8000, \"dhcp\": false, \"subnetMask\": \"255.255.255.0\", "
           "\"gateway\": \"10.77.0.254\", \"dns\": \"10.77.0.253\", \"mac\": \"02:00:00:00:00:01\", "
           "\"description\": \"\xE6\xB5\x8B\xE8\xAF\x95 device\" } ] } }";
}

std::string CommandAnswerBody(const std::string &serial, bool result)
{
    return std::string("{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/brenu/model/reboot.htm\","
                       "\"params\":{\"data\":[{\"serialNo\":\"") +
           serial + "\",\"result\":" + (result ? "true" : "false") + "}]}}";
}

std::string SearchAnswerFrame(const std::string &serial, const std::string &api)
{
    return BuildFrame(SearchAnswerBody(serial, api));
}

std::string Compact(const std::string &body)
{
    Vant::CProtocalJson json;
    if (!json.Parse(body))
        return {};
    return json.ToString();
}

std::string SerialOf(const std::string &text)
{
    Vant::CProtocalJson json;
    if (!json.Parse(text))
        return {};
    return Vant::ValueToString(json.GetDataValue(0, "serialNo"));
}

void Collector::Callback(const char *text, int length, void *user)
{
    auto *self = static_cast<Collector *>(user);
    std::string copy(text, static_cast<size_t>(length));
    if (self->onText)
        self->onText(copy);
    {
        std::lock_guard<std::mutex> lock(self->m_lock);
        self->m_texts.push_back(std::move(copy));
    }
    self->m_changed.notify_all();
}

std::vector<std::string> Collector::Texts() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_texts;
}

size_t Collector::Count() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_texts.size();
}

bool Collector::WaitForCount(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_texts.size() >= count; });
}

namespace {

std::string g_madeLogDirectory;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// Best effort at exit: the day directories and files the test process left.
void RemoveMadeLogDirectory()
{
    if (!g_madeLogDirectory.empty())
        nftw(g_madeLogDirectory.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
}

} // namespace

std::string TestLogDirectory()
{
    static const std::string directory = [] {
        char pattern[] = "/tmp/brenu-search-log-XXXXXX";
        const char *made = mkdtemp(pattern);
        if (!made)
            return std::string();
        g_madeLogDirectory = made;
        std::atexit(RemoveMadeLogDirectory);
        Vant::LogInit(g_madeLogDirectory + "/");
        Vant::LogEnable(true);
        return Vant::LogInstance() ? Vant::LogInstance()->LogDirectory() : std::string();
    }();
    return directory;
}

std::vector<std::string> LogLines(const std::string &context)
{
    std::vector<std::string> lines;
    const std::string root = TestLogDirectory();
    DIR *dir = opendir(root.c_str());
    if (!dir)
        return lines;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::istringstream file(ReadFile(root + entry->d_name + "/" + context + ".log"));
        std::string line;
        while (std::getline(file, line))
            lines.push_back(line);
    }
    closedir(dir);
    return lines;
}

size_t CountLogLines(const std::string &context, const std::string &marker)
{
    size_t count = 0;
    for (const std::string &line : LogLines(context)) {
        if (line.find(marker) != std::string::npos)
            ++count;
    }
    return count;
}

std::string SimulatorPath()
{
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    return path.substr(0, path.rfind('/') + 1) + "brenu-devsim";
}

Simulator::Simulator(const sandbox::DeviceNetwork &net, std::vector<std::string> options)
{
    char pattern[] = "/tmp/brenu-devsim-log-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0)
        close(fd);
    m_logPath = pattern;
    std::vector<std::string> argv{SimulatorPath(), "--quiet", "--exit-with-parent", "--log", m_logPath};
    argv.insert(argv.end(), options.begin(), options.end());
    m_pid = net.SpawnInDevice(argv);
}

Simulator::~Simulator()
{
    Finish();
    if (!m_logPath.empty())
        unlink(m_logPath.c_str());
}

bool Simulator::WaitReady(int timeoutMs, std::string &why) const
{
    if (m_pid <= 0) {
        why = "could not start " + SimulatorPath();
        return false;
    }
    const bool ready = WaitUntil([&] { return Log().rfind("ready ", 0) == 0 || Log().find("\nready ") != std::string::npos; },
                                 timeoutMs);
    if (!ready)
        why = "no ready line; log:\n" + Log();
    return ready;
}

std::string Simulator::Finish()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    std::istringstream log(Log());
    std::string line, summary;
    while (std::getline(log, line)) {
        if (line.rfind("summary ", 0) == 0)
            summary = line;
    }
    return summary;
}

std::string Simulator::Log() const
{
    return ReadFile(m_logPath);
}

long long SummaryValue(const std::string &summary, const std::string &key)
{
    const std::string needle = " " + key + "=";
    const size_t at = summary.find(needle);
    if (at == std::string::npos)
        return -1;
    return std::atoll(summary.c_str() + at + needle.size());
}

} // namespace searchtest
