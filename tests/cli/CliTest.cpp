// brenu-search as a program, in the sandbox against brenu-devsim: what list prints,
// set and reboot as the devices receive them, watch's events, and the exit statuses
// and messages for bad input.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "DevsimBoxes.h"
#include "DevsimHarness.h"
#include "Link.h"
#include "RequestLog.h"
#include "SandboxFixture.h"
#include "device/DeviceRecord.h"
#include "protocol/UdpCastGroup.h"

namespace {

using namespace std::chrono_literals;

struct Result {
    int status = -1;
    std::string out, err;
};

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// brenu-search started with `args`, stdin from /dev/null, stdout to a file (or to
// outFd), stderr to a file.
class CliProcess {
public:
    // `inChild` runs in the child before the program starts (signal dispositions, a
    // network namespace of its own).
    explicit CliProcess(const std::vector<std::string> &args, int outFd = -1, const char *program = BRENU_SEARCH_PATH,
                        void (*inChild)() = nullptr)
    {
        static int counter = 0;
        const std::string base = ::testing::TempDir() + "cli_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
        m_outPath = base + ".out";
        m_errPath = base + ".err";
        m_pid = fork();
        if (m_pid != 0)
            return;
        int in = open("/dev/null", O_RDONLY);
        int out = outFd >= 0 ? outFd : open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (inChild)
            inChild();
        std::vector<char *> argv{const_cast<char *>(program)};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ~CliProcess()
    {
        if (m_pid > 0 && m_status < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        unlink(m_outPath.c_str());
        unlink(m_errPath.c_str());
    }
    std::string Out() const { return ReadFile(m_outPath); }
    void Signal(int signal) { kill(m_pid, signal); }
    pid_t Pid() const { return m_pid; }
    // Waits for the end (killing it after `limit`) and returns what it printed.
    Result Finish(std::chrono::milliseconds limit = 30s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                ADD_FAILURE() << "brenu-search did not end in time";
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
        return Result{m_status, Out(), ReadFile(m_errPath)};
    }

private:
    pid_t m_pid = -1;
    int m_status = -1;
    std::string m_outPath, m_errPath;
};

Result RunCli(const std::vector<std::string> &args)
{
    return CliProcess(args).Finish();
}

class CliTest : public SandboxTest {
protected:
    void StartDevices(const std::vector<std::string> &args)
    {
        const std::string error = devices.Start(*net, args);
        ASSERT_TRUE(error.empty()) << error;
    }
    // The bodies of the update and reboot requests the simulator received.
    std::vector<std::string> Commands() const
    {
        std::vector<std::string> commands;
        for (const std::string &line : devices.LogLines())
            if (line.compare(0, 3, "rx ") == 0 && line.find("/brenu/model/searchbrenu.htm") == std::string::npos &&
                line.find(" len=0 ") == std::string::npos)
            {
                std::string bytes;
                EXPECT_TRUE(devsim::UnescapeBytes(line.substr(line.find(" data=") + 6), bytes)) << line;
                commands.push_back(bytes);
            }
        return commands;
    }

    devsimtest::DevsimProcess devices;
};

const char *kDeviceA = "serial=SN-A,address=10.77.0.2,port=8001,dhcp=off,mask=255.255.255.0,gateway=10.77.0.254,"
                       "dns=10.77.0.253,mac=02:00:00:00:00:01,description=Lab\\, \"bench\"";
const char *kDeviceB = "serial=SN-B,address=10.77.0.3,port=8002,dhcp=on,mask=255.255.0.0,gateway=10.77.0.1,"
                       "dns=10.77.0.1,mac=02:00:00:00:00:02,description=仓库一号";
const char *kDeviceFar = "serial=SN-FAR,address=10.77.1.20,port=80,dhcp=off,mask=255.255.255.0,gateway=10.77.1.1,"
                         "dns=10.77.1.1,mac=02:00:00:00:00:03,description=,answer=broadcast";

TEST_F(CliTest, ListJsonEqualsTheFleetIncludingABroadcastAnswerFromAnotherSubnet)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.1.20/24"));
    // SN-B answers twice per search (one listing entry), SN-A's answer first comes
    // with an incomplete record that is not listed.
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", kDeviceA, "--device", std::string(kDeviceB) + ",fault=double",
                                          "--device", kDeviceFar, "--device", "serial=SN-BAD,mac=,address=10.77.0.2"}));
    const Result list = RunCli({"list", "--wait", "700", "--format", "json"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.err, "");
    const QJsonArray expected = QJsonDocument::fromJson(R"([
      {"serialNo":"SN-A","address":"10.77.0.2","port":8001,"dhcp":false,"subnetMask":"255.255.255.0",
       "gateway":"10.77.0.254","dns":"10.77.0.253","mac":"02:00:00:00:00:01","description":"Lab, \"bench\"",
       "interface":"brw0","localAddress":"10.77.0.1","subnet":"local","source":"10.77.0.2:19010","conflict":[]},
      {"serialNo":"SN-B","address":"10.77.0.3","port":8002,"dhcp":true,"subnetMask":"255.255.0.0",
       "gateway":"10.77.0.1","dns":"10.77.0.1","mac":"02:00:00:00:00:02","description":"仓库一号",
       "interface":"brw0","localAddress":"10.77.0.1","subnet":"local","source":"10.77.0.3:19010","conflict":[]},
      {"serialNo":"SN-FAR","address":"10.77.1.20","port":80,"dhcp":false,"subnetMask":"255.255.255.0",
       "gateway":"10.77.1.1","dns":"10.77.1.1","mac":"02:00:00:00:00:03","description":"",
       "interface":"brw0","localAddress":"10.77.0.1","subnet":"foreign","source":"10.77.1.20:19010",
       "conflict":[]}])")
                                   .array();
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(list.out)).array(), expected) << list.out;

    // The same devices from the one local address named, one per line.
    const Result jsonl = RunCli({"list", "--wait", "500", "--format", "jsonl", "--address", "10.77.0.1"});
    EXPECT_EQ(jsonl.status, 0) << jsonl.err;
    EXPECT_EQ(std::count(jsonl.out.begin(), jsonl.out.end(), '\n'), 3) << jsonl.out;
    EXPECT_EQ(jsonl.out.rfind("{\"serialNo\":\"SN-FAR\"", 0) == std::string::npos, true);
    EXPECT_NE(jsonl.out.find("\n{\"serialNo\":\"SN-FAR\""), std::string::npos) << jsonl.out;

    // With --log the answers are in the log beside the program, and the logger was
    // ended with its exit flush (the end banner): a copy of the program in a folder of
    // its own, so the log is this run's alone.
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(::testing::TempDir()) / ("cli_log_" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::copy_file(BRENU_SEARCH_PATH, folder / "brenu-search");
    const Result logged = CliProcess({"--log", "list", "--wait", "300"}, -1, (folder / "brenu-search").c_str()).Finish();
    EXPECT_EQ(logged.status, 0) << logged.err;
    std::string log, banners;
    for (const fs::directory_entry &day : fs::directory_iterator(folder / "log")) {
        log += ReadFile((day.path() / "BrenuSearchTools_UdpCast.log").string());
        banners += ReadFile((day.path() / "LOG.log").string());
    }
    EXPECT_NE(log.find("SN-FAR"), std::string::npos) << log;
    EXPECT_NE(banners.find("= End ="), std::string::npos) << banners;
    fs::remove_all(folder);
}

TEST_F(CliTest, SetSendsTheDialogsRequestAndTheNextListShowsIt)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.4/24"));
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", kDeviceA, "--device", kDeviceB, "--device",
                                          "serial=SN-NO,address=10.77.0.4,port=8009,fault=command:result-false"}));
    const Result set = RunCli({"set", "SN-A", "--dns", "10.77.0.9", "--gateway", "10.77.0.1"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "SN-A: succeeded\n");
    const std::vector<std::string> sent = Commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].find(R"("api":"/brenu/model/updatecfg.htm","params":{"data":[{"serialNo":"SN-A",)"
                           R"("address":"10.77.0.2","dhcp":false,"subnetMask":"255.255.255.0","gateway":"10.77.0.1",)"
                           R"("dns":"10.77.0.9","mac":"02:00:00:00:00:01","description":"Lab, \"bench\""}]}})"),
              std::string::npos)
        << sent[0];

    const Result list = RunCli({"list", "--wait", "500", "--format", "csv"});
    EXPECT_NE(list.out.find("SN-A,10.77.0.2,8001,false,255.255.255.0,10.77.0.1,10.77.0.9,"), std::string::npos)
        << list.out;

    // The dialog's rules: nothing sent without a change, addresses only with DHCP off
    // (here switched off in the same request); a refusal is exit status 1.
    const Result same = RunCli({"set", "SN-A", "--dns", "10.77.0.9"});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, "SN-A: nothing to change\n");
    const Result dhcpOn = RunCli({"set", "SN-B", "--dns", "10.77.0.9"});
    EXPECT_EQ(dhcpOn.status, 2);
    EXPECT_EQ(dhcpOn.err, "brenu-search: SN-B: the device uses DHCP; add --dhcp off to set addresses\n");
    const Result dhcpOff = RunCli({"set", "SN-B", "--dhcp", "off", "--dns", "10.77.0.9"});
    EXPECT_EQ(dhcpOff.status, 0) << dhcpOff.err;
    const Result refused = RunCli({"set", "SN-NO", "--dhcp", "on"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "SN-NO: refused by the device\n");
    EXPECT_EQ(Commands().size(), 3u);
}

TEST_F(CliTest, DescriptionsInAnyEncodingAreListedReadableAndSentBackByteForByte)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.4/24"));
    const std::string settings = ",dhcp=off,mask=255.255.255.0,gateway=10.77.0.254,dns=10.77.0.253,description=";
    const std::string gbk = "\xB4\xF3\xC3\xC5\xC9\xE3\xCF\xF1\xBB\xFA 2\xBA\xC5"; // "大门摄像机 2号" in GBK
    const std::string utf8 = "大门摄像机 2号";
    const std::string neither = "\x80 ab\xFF";
    ASSERT_NO_FATAL_FAILURE(StartDevices(
        {"--device", "serial=SN-G,address=10.77.0.2,port=8001,mac=02:00:00:00:00:01" + settings + gbk, "--device",
         "serial=SN-U,address=10.77.0.3,port=8002,mac=02:00:00:00:00:02" + settings + utf8, "--device",
         "serial=SN-X,address=10.77.0.4,port=8003,mac=02:00:00:00:00:03" + settings + neither}));
    const Result list = RunCli({"list", "--wait", "700", "--format", "json"});
    ASSERT_EQ(list.status, 0) << list.err;
    std::map<QString, QJsonObject> listed;
    for (const QJsonValue &device : QJsonDocument::fromJson(QByteArray::fromStdString(list.out)).array())
        listed[device["serialNo"].toString()] = device.toObject();
    ASSERT_EQ(listed.size(), 3u) << list.out;
    EXPECT_EQ(listed["SN-G"]["description"].toString(), QString::fromStdString(utf8));
    EXPECT_EQ(listed["SN-G"]["notUtf8"].toArray(), QJsonArray{"description"});
    EXPECT_EQ(listed["SN-U"]["description"].toString(), QString::fromStdString(utf8));
    EXPECT_FALSE(listed["SN-U"].contains("notUtf8"));
    EXPECT_EQ(listed["SN-X"]["description"].toString(), QString::fromUtf8("\uFFFD ab\uFFFD"));

    // set, then a plan: each request carries the description exactly as the device has it.
    for (const char *serial : {"SN-G", "SN-X"}) {
        const Result set = RunCli({"set", serial, "--dns", "10.77.0.9"});
        EXPECT_EQ(set.status, 0) << set.err;
    }
    const std::string plan = ::testing::TempDir() + "plan_text_" + std::to_string(getpid()) + ".csv";
    std::ofstream(plan, std::ios::trunc) << "serialNo,address,subnetMask,gateway,dns,dhcp\n"
                                            "SN-G,10.77.0.20,255.255.255.0,10.77.0.254,10.77.0.9,off\n"
                                            "SN-U,10.77.0.21,255.255.255.0,10.77.0.254,10.77.0.253,off\n";
    const Result applied = RunCli({"apply", plan, "--yes", "--wait", "1500"});
    unlink(plan.c_str());
    EXPECT_EQ(applied.status, 0) << applied.err;
    const std::vector<std::string> sent = Commands();
    ASSERT_EQ(sent.size(), 4u);
    const std::map<std::string, std::string> described{{"1", gbk}, {"2", utf8}, {"3", neither}};
    std::multiset<std::string> macs;
    for (const std::string &request : sent) {
        const size_t mac = request.find("\"mac\":\"02:00:00:00:00:0");
        ASSERT_NE(mac, std::string::npos) << request;
        const std::string which = request.substr(mac + 23, 1);
        macs.insert(which);
        EXPECT_NE(request.find("\",\"description\":\"" + described.at(which) + "\"}"), std::string::npos) << request;
    }
    EXPECT_EQ(macs, (std::multiset<std::string>{"1", "1", "2", "3"}));
}

TEST_F(CliTest, DevicesSharingASerialAreListedApartAndACommandToThemNeedsTheMac)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", "serial=DUP,address=10.77.0.2,port=8001,mac=02:00:00:00:00:0a",
                                          "--device", "serial=DUP,address=10.77.0.3,port=8002,mac=02:00:00:00:00:0b",
                                          "--device", "serial=S2,address=10.77.0.3,port=8003,mac=02:00:00:00:00:0c"}));
    const Result list = RunCli({"list", "--wait", "600", "--format", "json"});
    const QJsonArray devices = QJsonDocument::fromJson(QByteArray::fromStdString(list.out)).array();
    ASSERT_EQ(devices.size(), 3) << list.out;
    EXPECT_EQ(devices[0]["mac"], "02:00:00:00:00:0a");
    EXPECT_EQ(devices[0]["conflict"].toArray(), QJsonArray({"serial"}));
    EXPECT_EQ(devices[1]["conflict"].toArray(), QJsonArray({"serial", "address"}));
    EXPECT_EQ(devices[2]["conflict"].toArray(), QJsonArray({"address"}));

    // Which of the two is meant is not guessed: nothing is sent.
    const Result set = RunCli({"set", "DUP", "--dns", "10.77.0.9"});
    EXPECT_EQ(set.status, 5);
    EXPECT_NE(set.err.find("DUP: 2 devices answer with this serial number (02:00:00:00:00:0a at 10.77.0.2, "
                           "02:00:00:00:00:0b at 10.77.0.3); nothing sent, give --mac to choose one"),
              std::string::npos)
        << set.err;
    EXPECT_EQ(RunCli({"reboot", "S2", "DUP", "--yes"}).status, 5);
    EXPECT_EQ(RunCli({"url", "DUP"}).status, 5);
    EXPECT_TRUE(Commands().empty());

    // --mac pins one (in any letter case). Without S2 this time: a device sharing the
    // pinned one's address would make the request go by exact delivery to its MAC,
    // which no device simulated behind the one interface has.
    this->devices.Stop();
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", "serial=DUP,address=10.77.0.2,port=8001,mac=02:00:00:00:00:0a",
                                          "--device", "serial=DUP,address=10.77.0.3,port=8002,mac=02:00:00:00:00:0b"}));
    const Result url = RunCli({"url", "DUP", "--mac", "02:00:00:00:00:0B"});
    EXPECT_EQ(url.out, "http://10.77.0.3\n");
    const Result pinned = RunCli({"reboot", "DUP", "--mac", "02:00:00:00:00:0b", "--yes"});
    EXPECT_EQ(pinned.status, 0) << pinned.err;
    ASSERT_EQ(Commands().size(), 1u);
    int toPinned = 0;
    for (const std::string &line : this->devices.LogLines())
        toPinned += line.find("reboot.htm") != std::string::npos && line.find(" to=10.77.0.3:8002 ") != std::string::npos;
    EXPECT_EQ(toPinned, 1);
}

TEST_F(CliTest, SetReachesAForeignDeviceOnLinkAndTrustsTheSearchOverTheCommandsAnswer)
{
    // FAR sits in a subnet the workstation has no route to and its command answers are
    // lost; STUCK neither answers commands nor carries them out.
    ASSERT_TRUE(net->AddDeviceAddress("10.77.1.5/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.7/24"));
    ASSERT_NO_FATAL_FAILURE(StartDevices(
        {"--device",
         "serial=FAR,address=10.77.1.5,port=8001,dhcp=off,mask=255.255.255.0,gateway=10.77.1.1,dns=10.77.1.1,answer=broadcast,"
         "fault=command:lost",
         "--device", "serial=STUCK,address=10.77.0.2,port=8002,dhcp=off,fault=command:silent"}));

    const Result dry = RunCli({"set", "FAR", "--address", "10.77.0.7", "--gateway", "10.77.0.254", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("FAR: dry run, nothing sent\n  dhcp        off  (unchanged)\n"
                           "  address     10.77.1.5 -> 10.77.0.7\n  subnetMask  255.255.255.0  (unchanged)\n"
                           "  gateway     10.77.1.1 -> 10.77.0.254\n  dns         10.77.1.1  (unchanged)\n"
                           "  to          10.77.1.5:8001 (on-link through brw0)\n  request     {\"version\":0,"),
              std::string::npos)
        << dry.out;
    // Settings that cannot work are refused unless forced.
    const Result odd = RunCli({"set", "FAR", "--address", "10.77.0.255", "--gateway", "10.77.0.254"});
    EXPECT_EQ(odd.status, 2);
    EXPECT_EQ(odd.err, "brenu-search: FAR: --address 10.77.0.255 is the broadcast address of 10.77.0.0/24; nothing "
                       "sent, give --force to send it\n");
    EXPECT_TRUE(Commands().empty());

    const auto start = std::chrono::steady_clock::now();
    const Result moved = RunCli({"set", "FAR", "--address", "10.77.0.7", "--gateway", "10.77.0.254"});
    EXPECT_EQ(moved.status, 0) << moved.err;
    EXPECT_EQ(moved.out, "FAR: succeeded (its answer to the command was lost; its search answer shows the new "
                         "settings)\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 14s); // not the command's 10 s, then verification
    int onLink = 0;
    for (const std::string &line : this->devices.LogLines())
        onLink += line.find("updatecfg.htm") != std::string::npos && line.find(" to=10.77.1.5:8001 ") != std::string::npos;
    EXPECT_EQ(onLink, 1);

    const Result stuck = RunCli({"set", "STUCK", "--dns", "10.77.0.9", "--verify-timeout", "3000"});
    EXPECT_EQ(stuck.status, 7);
    EXPECT_EQ(stuck.out, "STUCK: not confirmed (sent; no answer, and its search answers did not show the new "
                         "settings within 3000 ms)\n");
}

TEST_F(CliTest, RebootWithYesRebootsEveryDeviceNamedAndReportsEach)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.4/24"));
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", "serial=R1,address=10.77.0.2,port=8001,reboot=200", "--device",
                                          "serial=R2,address=10.77.0.3,port=8002,reboot=200", "--device",
                                          "serial=R3,address=10.77.0.4,port=8003,fault=command:result-false"}));
    const Result two = RunCli({"reboot", "--yes", "R1", "R2"});
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(two.out, "R1: succeeded\nR2: succeeded\n");
    const std::vector<std::string> sent = Commands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_NE(sent[0].find(R"("api":"/brenu/model/reboot.htm","params":{"data":[{"serialNo":"R)"), std::string::npos);

    // Not found wins over a failure; without a terminal nothing happens without --yes.
    std::this_thread::sleep_for(300ms);
    const Result mixed = RunCli({"reboot", "R3", "R9", "R1", "--yes", "--wait", "1000"});
    EXPECT_EQ(mixed.status, 3) << mixed.err;
    EXPECT_EQ(mixed.out, "R3: refused by the device\nR9: not found\nR1: succeeded\n");
    const Result unconfirmed = RunCli({"reboot", "R1"});
    EXPECT_EQ(unconfirmed.status, 2);
    EXPECT_EQ(unconfirmed.err, "brenu-search: not confirmed: standard input is not a terminal, give --yes\n");
    EXPECT_EQ(Commands().size(), 4u);
}

TEST_F(CliTest, WatchReportsADeviceGoingSilentAndComingBack)
{
    ASSERT_NO_FATAL_FAILURE(
        StartDevices({"--device", "serial=W1,address=10.77.0.2,port=8001,reboot=7000", "--reboot-time", "7000"}));
    CliProcess watch({"watch", "--format", "jsonl", "--stale-after", "6"});
    auto waitFor = [&](const std::string &text, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (watch.Out().find(text) == std::string::npos && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(50ms);
        return watch.Out().find(text) != std::string::npos;
    };
    ASSERT_TRUE(waitFor("\"event\":\"appeared\"", 5s)) << watch.Out();
    // The reboot keeps the device silent through the next search (5 s later).
    devsimtest::CommandPeer peer;
    ASSERT_EQ(peer.Connect("10.77.0.2", 8001), "");
    ASSERT_TRUE(peer.Send(devsimtest::CommandFrame("/brenu/model/reboot.htm", "\"serialNo\":\"W1\"")));
    EXPECT_TRUE(waitFor("\"event\":\"silent\"", 10s)) << watch.Out();
    EXPECT_TRUE(waitFor("\"event\":\"back\"", 8s)) << watch.Out();
    watch.Signal(SIGTERM);
    const Result result = watch.Finish(5s);
    EXPECT_EQ(result.status, 1000 + SIGTERM) << result.err; // ended cleanly, then by the signal
    std::vector<std::string> events;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("\"event\":\"");
        ASSERT_NE(at, std::string::npos) << line;
        EXPECT_NE(line.find("\"serialNo\":\"W1\""), std::string::npos) << line;
        events.push_back(line.substr(at + 9, line.find('"', at + 9) - at - 9));
    }
    EXPECT_EQ(events, (std::vector<std::string>{"appeared", "silent", "back"}));
}

TEST_F(CliTest, BadInputGetsOneLineAndStatusTwoAndAClosedPipeEndsQuietly)
{
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", kDeviceA}));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"list", "--colour"}, 2, "Unknown option 'colour'."},
        {{"lst"}, 2, "unknown command 'lst'"},
        {{}, 2, "no command given"},
        {{"list", "--wait", "soon"}, 2, "--wait takes milliseconds from 0 to 3600000, not 'soon'"},
        {{"list", "--format", "xml"}, 2, "unknown format 'xml'"},
        {{"list", "--address", "10.77.0.256"}, 2, "--address takes a local IPv4 address, not '10.77.0.256'"},
        {{"list", "--address", "10.77.0.2"}, 2, "'10.77.0.2' is not an IPv4 address of this machine"},
        {{"set", "SN A", "--dns", "1.2.3.4"}, 2, "'SN A' is not a serial number"},
        {{"set", "SN-A", "--gateway", "10.77.0"}, 2, "--gateway takes an IPv4 address, not '10.77.0'"},
        {{"set", "SN-A"}, 2, "nothing to set"},
        {{"set", "SN-A", "--dhcp", "yes"}, 2, "--dhcp takes on or off, not 'yes'"},
        {{"url", "SN-A", "SN-B"}, 2, "only one serial number"},
        {{"watch", "--stale-after", "0"}, 2, "--stale-after takes seconds"},
        {{"url", "SN-Z", "--wait", "300"}, 3, "brenu-search: SN-Z: not found\n"},
    };
    for (const Case &c : cases) {
        const Result r = RunCli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.size() << " " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("brenu-search: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    const Result url = RunCli({"url", "SN-A"});
    EXPECT_EQ(url.status, 0) << url.err;
    EXPECT_EQ(url.out, "http://10.77.0.2\n");

    // Interrupted while listening: nothing printed, and the program dies by the signal
    // (so a shell loop around it stops too) ...
    CliProcess interrupted({"list", "--wait", "5000"});
    std::this_thread::sleep_for(300ms);
    interrupted.Signal(SIGINT);
    const Result stopped = interrupted.Finish(2s);
    EXPECT_EQ(stopped.status, 1000 + SIGINT);
    EXPECT_EQ(stopped.out, "");
    // ... unless it was started with SIGINT ignored (a background job): then it goes on.
    CliProcess background({"list", "--wait", "1000", "--format", "jsonl"}, -1, BRENU_SEARCH_PATH,
                          [] { signal(SIGINT, SIG_IGN); });
    std::this_thread::sleep_for(300ms);
    background.Signal(SIGINT);
    const Result finished = background.Finish(5s);
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_NE(finished.out.find("\"serialNo\":\"SN-A\""), std::string::npos);

    // Options before the command, and -h.
    const Result before = RunCli({"--wait", "300", "--format", "jsonl", "list"});
    EXPECT_EQ(before.status, 0) << before.err;
    EXPECT_NE(before.out.find("\"serialNo\":\"SN-A\""), std::string::npos);
    const Result shortHelp = RunCli({"set", "-h"});
    EXPECT_EQ(shortHelp.status, 0);
    EXPECT_EQ(shortHelp.out.rfind("usage: brenu-search set SERIAL", 0), 0u) << shortHelp.out;

    // No local address to search from: status 6, said once.
    const Result alone = CliProcess({"list", "--wait", "100"}, -1, BRENU_SEARCH_PATH, [] {
                             if (unshare(CLONE_NEWNET) != 0)
                                 _exit(99);
                         }).Finish();
    EXPECT_EQ(alone.status, 6);
    EXPECT_EQ(alone.err, "brenu-search: no local IPv4 address to search from\n");

    // watch on a quiet network notices a reader that went away without writing.
    int quietPipe[2];
    ASSERT_EQ(pipe2(quietPipe, O_CLOEXEC), 0); // the program holds no reader of its own
    CliProcess watching({"watch", "--address", "10.77.0.1"}, quietPipe[1]);
    close(quietPipe[1]);
    std::this_thread::sleep_for(2s); // SN-A has appeared and been read by now
    char line[4096];
    EXPECT_GT(read(quietPipe[0], line, sizeof line), 0);
    close(quietPipe[0]);
    const auto closedAt = std::chrono::steady_clock::now();
    const Result gone = watching.Finish(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - closedAt, 1500ms);
    EXPECT_EQ(gone.status, 0);

    // Standard output is a pipe nobody reads any more.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    CliProcess closed({"list", "--wait", "300"}, pipeFds[1]);
    close(pipeFds[1]);
    const Result quiet = closed.Finish();
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

// The answers a search group in this process (playing the window) heard, by serial.
struct Heard {
    std::mutex lock;
    std::set<std::string> serials;
    static void Callback(const char *text, int length, void *user)
    {
        auto *heard = static_cast<Heard *>(user);
        const std::string answer(text, static_cast<size_t>(length));
        std::lock_guard<std::mutex> guard(heard->lock);
        for (const char *serial : {"SN-A", "SN-FAR"})
            if (answer.find(std::string("\"serialNo\":\"") + serial + "\"") != std::string::npos)
                heard->serials.insert(serial);
    }
    bool WaitForBoth()
    {
        for (int i = 0; i < 300; ++i) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (serials.size() == 2)
                    return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
};

// Two searches on one machine, started in either order (the window and a list, a
// watch service and the window): both hear every device, the unicast one and the
// one answering by broadcast from another subnet, and the second says once why it
// searches from another port.
TEST_F(CliTest, SecondSearchOnTheMachineHearsEveryDeviceInEitherOrder)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.1.20/24"));
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", kDeviceA, "--device", kDeviceFar}));
    {
        Heard window;
        QUdpCastGroup group(&Heard::Callback, &window);
        group.Start();
        ASSERT_TRUE(group.WaitForSockets(1000));
        const Result list = RunCli({"list", "--wait", "1500", "--format", "jsonl"});
        EXPECT_TRUE(window.WaitForBoth());
        group.Stop();
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_NE(list.out.find("\"serialNo\":\"SN-A\""), std::string::npos) << list.out;
        EXPECT_NE(list.out.find("\"serialNo\":\"SN-FAR\""), std::string::npos) << list.out;
        EXPECT_EQ(std::count(list.err.begin(), list.err.end(), '\n'), 1) << list.err;
        EXPECT_NE(list.err.find("search from 10.77.0.1 on brw0: port 19009 is in use by test_cli (pid " +
                                std::to_string(getpid())),
                  std::string::npos)
            << list.err;
    }
    CliProcess watch({"watch", "--format", "jsonl"});
    std::this_thread::sleep_for(1000ms);
    Heard window;
    QUdpCastGroup group(&Heard::Callback, &window);
    group.Start();
    EXPECT_TRUE(window.WaitForBoth());
    const std::vector<std::string> notes = group.OtherPortNotes();
    group.Stop();
    // The watch keeps hearing its own answers: a round after the window started.
    std::this_thread::sleep_for(5500ms);
    watch.Signal(SIGTERM);
    const Result watched = watch.Finish(5s);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("port 19009 is in use by brenu-search (pid "), std::string::npos) << notes[0];
    EXPECT_EQ(std::count(watched.out.begin(), watched.out.end(), '\n'), 2) << watched.out; // appeared, twice
    EXPECT_EQ(watched.err, "");
}

// When no search socket can be opened at all (19009 held and no other port to be
// had), list says why and ends with status 6 instead of an empty list.
TEST_F(CliTest, ListThatCannotOpenASocketEndsWithStatusSix)
{
    int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in held = sandbox::Ipv4(sandbox::kWorkstationAddress, 19009);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&held), sizeof held), 0);
    std::ofstream("/proc/sys/net/ipv4/ip_local_port_range") << "19009 19009";
    const Result list = RunCli({"list", "--wait", "500"});
    close(blocker);
    EXPECT_EQ(list.status, 6);
    EXPECT_EQ(list.out, "");
    EXPECT_NE(list.err.find("brenu-search: cannot search: 10.77.0.1 on brw0: port 19009: Address already in use, "
                            "held by test_cli (pid " + std::to_string(getpid())),
              std::string::npos)
        << list.err;
}

// doctor: a sound sandbox gives status 0; a strict reverse-path filter on the
// searched interface without a route back is named with its remedy, status 1.
TEST_F(CliTest, DoctorFindsNothingWrongOrNamesTheReversePathFilter)
{
    const Result sound = RunCli({"doctor", "--wait", "300"});
    EXPECT_EQ(sound.status, 0) << sound.out << sound.err;
    EXPECT_NE(sound.out.find("  10.77.0.1 on brw0: searched\n"), std::string::npos) << sound.out;
    EXPECT_NE(sound.out.find("  10.77.0.1 on brw0: searching from port 19009\n"), std::string::npos) << sound.out;
    EXPECT_NE(sound.out.find("  255.255.255.255:19009 on brw0: open\n"), std::string::npos) << sound.out;
    EXPECT_NE(sound.out.find("No problem found."), std::string::npos) << sound.out;

    std::ofstream("/proc/sys/net/ipv4/conf/brw0/rp_filter") << "1";
    const Result strict = RunCli({"doctor", "--wait", "300"});
    EXPECT_EQ(strict.status, 1) << strict.out;
    EXPECT_NE(strict.out.find("brw0: rp_filter 1 (strict): broadcast answers of devices in other subnets are dropped"),
              std::string::npos)
        << strict.out;
    EXPECT_NE(strict.out.find("-> sysctl -w net.ipv4.conf.brw0.rp_filter=0"), std::string::npos) << strict.out;
    EXPECT_NE(strict.out.find("1 problem(s) found."), std::string::npos) << strict.out;
}

// A default-deny inbound firewall on the workstation (nftables: policy drop, only
// established traffic in) drops every answer to the search: doctor names it with
// the fix (status 1) and list hints at it; without the firewall both stay quiet.
TEST_F(CliTest, BehindADefaultDenyFirewallDoctorNamesItAndListHintsAtIt)
{
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", "serial=F1,address=10.77.0.2,port=8001", "--device",
                                          "serial=F2,address=10.77.0.2,port=8002,answer=broadcast"}));
    const std::string rules = ::testing::TempDir() + "firewall_" + std::to_string(getpid()) + ".nft";
    std::ofstream(rules, std::ios::trunc)
        << "table inet workstation {\n  chain input {\n    type filter hook input priority 0; policy drop;\n"
           "    ct state established,related accept\n    iif lo accept\n  }\n}\n";
    ASSERT_EQ(sandbox::RunCommand({"nft", "-f", rules}), 0);
    unlink(rules.c_str());

    const Result doctor = RunCli({"doctor", "--wait", "800"});
    EXPECT_EQ(doctor.status, 1) << doctor.out;
    EXPECT_NE(doctor.out.find("  no answer on brw0 while "), std::string::npos) << doctor.out;
    EXPECT_NE(doctor.out.find("-> open the port: sudo ufw allow brenu-search-tools; or sudo firewall-cmd "
                              "--permanent --add-service=brenu-search-tools"),
              std::string::npos)
        << doctor.out;
    const Result list = RunCli({"list", "--wait", "800", "--format", "json"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "[]\n");
    EXPECT_NE(list.err.find("brenu-search: no answer on brw0 while this machine's firewall dropped "),
              std::string::npos)
        << list.err;

    ASSERT_EQ(sandbox::RunCommand({"nft", "delete", "table", "inet", "workstation"}), 0);
    const Result open = RunCli({"doctor", "--wait", "800"});
    EXPECT_EQ(open.status, 0) << open.out;
    EXPECT_NE(open.out.find("  no incoming packet was dropped during the search\n"), std::string::npos) << open.out;
    EXPECT_NE(open.out.find("2 device(s) answered"), std::string::npos) << open.out;
    const Result quiet = RunCli({"list", "--wait", "800", "--format", "json"});
    EXPECT_EQ(quiet.err, "");
}

// The statuses of apply/assign --format json, in output order.
std::vector<std::string> BatchStatuses(const std::string &json)
{
    std::vector<std::string> statuses;
    for (const QJsonValue &entry : QJsonDocument::fromJson(QByteArray::fromStdString(json)).array())
        statuses.push_back(entry.toObject().value("status").toString().toStdString() + " " +
                           entry.toObject().value("to").toObject().value("address").toString().toStdString());
    return statuses;
}

TEST_F(CliTest, AssignSkipsUsedAddressesVerifiesAndPlansNothingTheSecondTime)
{
    // 10.77.0.21 answers ARP (a host that is not a device), SN-A holds 10.77.0.2 and
    // three generated devices share the factory address 10.77.0.3, behind the device
    // side's one interface (its MAC, by which exact delivery reaches them).
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.21/24"));
    ASSERT_NO_FATAL_FAILURE(StartDevices(
        {"--devices", "3", "--address-pool", "10.77.0.3", "--mac-of-link", sandbox::kDeviceLink, "--device", kDeviceA}));
    const std::vector<std::string> args{"assign", "--start", "10.77.0.20", "--gateway", "10.77.0.254", "--yes",
                                        "--format", "json", "BRSIM000002", "BRSIM000001", "BRSIM000003"};
    const Result first = RunCli(args);
    EXPECT_EQ(first.status, 0) << first.err << first.out;
    EXPECT_EQ(BatchStatuses(first.out), (std::vector<std::string>{"verified 10.77.0.20", "verified 10.77.0.22",
                                                                  "verified 10.77.0.23"}));
    EXPECT_EQ(Commands().size(), 3u);

    const Result again = RunCli(args);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(BatchStatuses(again.out), (std::vector<std::string>{"unchanged 10.77.0.20", "unchanged 10.77.0.22",
                                                                  "unchanged 10.77.0.23"}));

    // From .1 on: .1 is this machine's, .2 is SN-A's own and stays.
    const Result dry = RunCli({"assign", "--start", "10.77.0.1", "--dry-run", "--format", "json", "SN-A"});
    EXPECT_EQ(BatchStatuses(dry.out), (std::vector<std::string>{"unchanged 10.77.0.2"})) << dry.err;
    EXPECT_EQ(Commands().size(), 3u); // nothing sent the second time
}

TEST_F(CliTest, AssignPinsDevicesThatShareASerialByTheirMac)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    // The twin's answers come whole only 400 ms after the first device's: the search
    // must still hear it before deciding that DUP names one device.
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--split-gap", "400", "--device",
                                          "serial=DUP,address=10.77.0.2,port=8001,mac=02:00:00:00:00:0a", "--device",
                                          "serial=DUP,address=10.77.0.3,port=8002,mac=02:00:00:00:00:0b,fault=search:split"}));
    const Result bare = RunCli({"assign", "--start", "10.77.0.40", "--yes", "--format", "json", "DUP"});
    EXPECT_EQ(bare.status, 5) << bare.err;
    EXPECT_EQ(BatchStatuses(bare.out), (std::vector<std::string>{"ambiguous "}));
    EXPECT_EQ(RunCli({"assign", "--start", "10.77.0.40", "DUP@02:00:00:00:00:0B", "DUP@02:00:00:00:00:0b"}).status, 2)
        << "one device named twice";

    const Result pinned = RunCli({"assign", "--start", "10.77.0.40", "--yes", "--format", "json",
                                  "DUP@02:00:00:00:00:0B", "DUP@02:00:00:00:00:0a"});
    EXPECT_EQ(pinned.status, 0) << pinned.err;
    EXPECT_EQ(BatchStatuses(pinned.out), (std::vector<std::string>{"verified 10.77.0.40", "verified 10.77.0.41"}));
    EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(CliTest, ApplyChecksThePlanWholeThenSendsAndGivesEachRowItsVerdict)
{
    // SN-FAR sits in a foreign subnet: its update goes on-link.
    ASSERT_TRUE(net->AddDeviceAddress("10.77.1.20/24"));
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.4/24"));
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", kDeviceA, "--device",
                                          "serial=SN-NO,address=10.77.0.4,port=8009,mac=02:00:00:00:00:09,"
                                          "fault=command:result-false", "--device", kDeviceFar}));
    const std::string plan = ::testing::TempDir() + "plan_" + std::to_string(getpid()) + ".csv";
    auto write = [&](const std::string &text) { std::ofstream(plan, std::ios::trunc) << text; };
    const std::string header = "serialNo,address,subnetMask,gateway,dns,dhcp\n";

    // One bad row (and one address planned twice) refuse the whole plan.
    write(header + "SN-A,10.77.0.30,255.255.255.0,10.77.0.254,10.77.0.253,maybe\n");
    Result refused = RunCli({"apply", plan, "--yes"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("line 2: DHCP 'maybe'"), std::string::npos) << refused.err;
    write(header + "SN-A,10.77.0.30,255.255.255.0,10.77.0.254,10.77.0.253,off\n"
                   "SN-NO,10.77.0.30,255.255.255.0,10.77.0.254,10.77.0.253,off\n");
    refused = RunCli({"apply", plan, "--yes"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("SN-NO: 10.77.0.30 is also planned for SN-A"), std::string::npos) << refused.err;

    write(header + "SN-A,10.77.0.30,255.255.255.0,10.77.0.254,10.77.0.253,off\n"
                   "SN-NO,10.77.0.31,255.255.255.0,10.77.0.254,10.77.0.253,off\n"
                   "SN-GONE,10.77.0.32,255.255.255.0,10.77.0.254,10.77.0.253,off\n"
                   "SN-FAR,10.77.0.33,255.255.255.0,10.77.0.254,10.77.0.253,off\n");
    const Result dry = RunCli({"apply", plan, "--dry-run", "--wait", "1500"});
    EXPECT_EQ(dry.status, 3) << dry.err; // a dry run ends as the run would for rows it would not send
    EXPECT_EQ(BatchStatuses(dry.out), (std::vector<std::string>{"would be sent 10.77.0.30", "would be sent 10.77.0.31",
                                                                "not found ", "would be sent 10.77.0.33"}));
    EXPECT_TRUE(Commands().empty()); // neither the refused plans nor the dry run sent anything

    // Without a terminal and without --yes nothing is sent either.
    EXPECT_EQ(RunCli({"apply", plan, "--wait", "1500"}).status, 2);
    const Result applied = RunCli({"apply", plan, "--yes", "--wait", "1500"});
    EXPECT_EQ(applied.status, 3) << applied.err; // the worst row: not found
    EXPECT_EQ(BatchStatuses(applied.out), (std::vector<std::string>{"verified 10.77.0.30", "refused 10.77.0.31",
                                                                    "not found ", "verified 10.77.0.33"}));
    EXPECT_EQ(Commands().size(), 3u);
    unlink(plan.c_str());
}

// With DHCP on the device keeps no address the workstation chose, so only the MAC
// behind the answer's source tells the device from another host: the neighbour entry
// for 10.77.0.3 names the device side's link, which a made-up MAC is not.
TEST_F(CliTest, DhcpOnIsConfirmedOnlyByAnAnswerSentFromTheDevicesMac)
{
    ASSERT_TRUE(net->AddDeviceAddress("10.77.0.3/24"));
    const std::string device = "serial=DH,address=10.77.0.3,port=8001,dhcp=off,mac=02:00:00:00:00:0f";
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--device", device}));
    const Result other = RunCli({"set", "DH", "--dhcp", "on", "--verify-timeout", "6000"});
    EXPECT_EQ(other.status, 7) << other.err;
    EXPECT_NE(other.out.find("whose MAC on brw0 is "), std::string::npos) << other.out;
    EXPECT_NE(other.out.find(", not the device's MAC 02:00:00:00:00:0f)"), std::string::npos) << other.out;

    devices.Stop();
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--mac-of-link", sandbox::kDeviceLink, "--device", device}));
    const Result own = RunCli({"set", "DH", "--dhcp", "on"});
    EXPECT_EQ(own.status, 0) << own.err << own.out;
}

// One outcome, one status, whichever command meets it (cli/ExitStatus.h). Every
// command is driven into every outcome of the table it can meet, all rows at once
// against one set of simulated devices (each row with a device of its own where the
// row changes it). The grid, "-" where a command cannot meet the outcome:
//
//            0   1 refused/output/problem  2   3   4   5 serial/identity  6   7 silent/yes   8   128+SIGINT
//   list     x   - / x / -                 x   -   x   -                  x   -              -   x
//   watch    x   - / x / -                 x   -   x   -                  x   -              -   x
//   set      x   x / x / -                 x   x   -   x / x              x   x / x          x   x
//   reboot   x   x / x / -                 x   x   -   x / x              x   x / -          x   x
//   url      x   no IPv4 / x / -           x   x   -   x / x              x   -              -   x
//   doctor   x   - / x / x                 x   -   -   -                  1   -              -   x
//   apply    x   x / x / -                 x   x   -   x / x              x   x / x          x   x
//   assign   x   x / x / -                 x   x   -   x / x              x   x / x          x   x
//   --help, --version, usage: 0, 1 (output), 2.
//
// 8 is met through an announced "localhost",
// 127.0.0.1 or subnet broadcast address, a device at a shared address the neighbour
// entry never points at (a copy of the program without its helper), and a chain
// whose holder never verifiably left. doctor in a namespace without an address
// reports that as its problem (1). 4 needs a simulator of its own with more
// devices than a listing holds: the next test.
namespace grid {

// How a row's program is started: stdout to /dev/full, in a network namespace of
// its own (no address), interrupted by SIGINT while it waits, with stdout a pipe
// nobody reads, as a copy without its helper. HeldSearchPort names the rows that
// rely on port 19009 being held (by this test, for every row).
enum class Setup { None, DevFull, NoNetwork, Interrupt, ReaderGone, Portable, HeldSearchPort };

struct Row {
    Row(std::vector<std::string> a, Setup s, int st, std::string e, std::string o = "")
        : args(std::move(a)), setup(s), status(st), err(std::move(e)), out(std::move(o))
    {
    }
    std::vector<std::string> args;
    Setup setup;
    int status;      // 128 + N: ended by signal N
    std::string err; // a fragment of standard error ("" = anything)
    std::string out; // a fragment of standard output ("" = anything)
};

void LeaveNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        _exit(99);
}

// Whether `pid` runs `name` and catches SIGINT (its stop handler is installed).
bool CatchesSigint(pid_t pid, const std::string &name)
{
    if (ReadFile("/proc/" + std::to_string(pid) + "/comm").rfind(name, 0) != 0)
        return false;
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("SigCgt:");
    return at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) & (1ull << (SIGINT - 1)));
}

// The MAC of the device namespace's link: a device announcing it is the one the
// neighbour entry of its address names, as a DHCP-on verification requires.
std::string DeviceLinkMac(const sandbox::DeviceNetwork &net)
{
    devsim::LinkInfo link;
    std::string error;
    net.RunInDevice([&] { devsim::ReadLink(sandbox::kDeviceLink, link, error); });
    return link.mac;
}

} // namespace grid

TEST_F(CliTest, EveryCommandEndsEachOutcomeWithTheOneStatusOfTheTable)
{
    using grid::Row;
    using grid::Setup;
    struct Device {
        const char *serial, *address, *extra;
    } const fleet[] = {
        {"OK", "10.77.0.2", ""},
        {"SET", "10.77.0.3", ""},
        {"RB", "10.77.0.4", ",reboot=200"},
        {"RBF", "10.77.0.5", ",reboot=200"},
        {"APP", "10.77.0.6", ""},
        {"ASG", "10.77.0.7", ""},
        {"NO", "10.77.0.8", ",fault=command:result-false"},
        {"DUP", "10.77.0.9", ",mac=02:00:00:00:00:0a"},
        {"DUP", "10.77.0.10", ",mac=02:00:00:00:00:0b"},
        // One identity from two sources; the one pinned by --at comes back at once
        // from its reboot, so the other rows still hear both.
        {"ID1", "10.77.0.11", ",mac=02:00:00:00:00:0d,reboot=0"},
        {"ID1", "10.77.0.12", ",mac=02:00:00:00:00:0d"},
        {"MUTE", "10.77.0.13", ",fault=command:silent"},
        {"IGN", "10.77.0.14", ",fault=command:ignored"},
        {"LH", "10.77.0.15", ",announce=localhost"},
        {"LO", "10.77.0.16", ",announce=127.0.0.1"},
        {"BC", "10.77.0.17", ",announce=10.77.0.255"},
        {"SH1", "10.77.0.18", ",mac=02:00:00:00:00:21"},
        {"SH2", "10.77.0.18", ",mac=02:00:00:00:00:22"},
        {"CHA", "10.77.0.19", ""},
        {"CHB", "10.77.0.20", ",fault=command:silent"},
        // Two devices at one address that announce a multicast MAC: brenu-link-send
        // refuses to send to one, and that refusal is the reason given.
        {"MC1", "10.77.0.40", ",mac=03:00:00:00:00:31"},
        {"MC2", "10.77.0.40", ",mac=03:00:00:00:00:32"},
    };
    // ASG is switched to DHCP and verified: it announces the link's own MAC.
    const std::string linkMac = grid::DeviceLinkMac(*net);
    ASSERT_FALSE(linkMac.empty());
    std::vector<std::string> args;
    int port = 8001;
    for (const Device &d : fleet) {
        if (std::string(d.address) != "10.77.0.2" && std::string(d.serial) != "SH2" && std::string(d.serial) != "MC2") {
            ASSERT_TRUE(net->AddDeviceAddress(std::string(d.address) + "/24"));
        }
        std::string extra = d.extra;
        if (std::string(d.serial) == "ASG")
            extra += ",mac=" + linkMac;
        else if (extra.find("mac=") == std::string::npos)
            extra += ",mac=02:00:00:00:01:" + std::to_string(10 + port - 8001);
        args.insert(args.end(), {"--device", std::string("serial=") + d.serial + ",address=" + d.address + ",port=" +
                                                 std::to_string(port++) + ",dhcp=off,mask=255.255.255.0,"
                                                 "gateway=10.77.0.254,dns=10.77.0.253" + extra});
    }
    ASSERT_NO_FATAL_FAILURE(StartDevices(args));

    const std::string tmp = ::testing::TempDir() + "grid_" + std::to_string(getpid());
    auto plan = [&](const std::string &name, const std::string &rows) {
        std::ofstream(tmp + name) << "serialNo,address,subnetMask,gateway,dns,dhcp\n" << rows;
        return tmp + name;
    };
    auto row = [](const char *serial, const char *address) {
        return std::string(serial) + "," + address + ",255.255.255.0,10.77.0.254,10.77.0.253,off\n";
    };
    const std::string okPlan = plan("ok.csv", "APP,10.77.0.6,255.255.255.0,10.77.0.254,10.77.0.99,off\n");
    const std::string dryPlan = plan("dry.csv", "OK,10.77.0.2,255.255.255.0,10.77.0.254,10.77.0.98,off\n");
    // A copy of the program alone in a folder: no helper beside it, so a device at a
    // shared address waits for the neighbour entry, which points at no simulated MAC.
    const std::string portable = tmp + "_portable";
    std::filesystem::create_directories(portable);
    std::filesystem::copy_file(BRENU_SEARCH_PATH, portable + "/brenu-search",
                               std::filesystem::copy_options::overwrite_existing);

    const std::string wait = "1500", slow = "8000";
    const std::vector<Row> rows = {
        // The slow ones first: a minute of waiting for the neighbour entry, a command's
        // 10 s and 15 s of verification.
        {{"set", "SH1", "--dhcp", "on"}, Setup::Portable, 8, "", "SH1: not sent: another device at this address answers"},
        {{"reboot", "SH2", "--yes"}, Setup::Portable, 8, "", "SH2: not sent: another device at this address answers"},
        {{"apply", plan("chain.csv", row("CHA", "10.77.0.20") + row("CHB", "10.77.0.21")), "--yes", "--format", "json"},
         Setup::None, 8, "", "\"status\":\"address not freed\""},
        {{"apply", plan("mute.csv", row("MUTE", "10.77.0.30")), "--yes"}, Setup::None, 7, ""},
        {{"assign", "--dhcp", "on", "--yes", "MUTE"}, Setup::None, 7, ""},
        {{"apply", plan("ign.csv", row("IGN", "10.77.0.31")), "--yes"}, Setup::None, 7, ""},
        {{"assign", "--dhcp", "on", "--yes", "IGN"}, Setup::None, 7, ""},
        {{"reboot", "MUTE", "--yes"}, Setup::None, 7, "", "MUTE: not confirmed (sent; no answer in time)\n"},
        {{"set", "MUTE", "--dhcp", "on", "--no-verify"}, Setup::None, 7, "", "not confirmed (sent; no answer in time)"},
        {{"set", "MUTE", "--dhcp", "on", "--verify-timeout", "1000"}, Setup::None, 7, "", "no answer, and its search"},
        {{"set", "IGN", "--dns", "10.77.0.98", "--verify-timeout", "2000"}, Setup::None, 7, "",
         "the device said yes, but its search answers did not show the new settings"},
        // 128 + SIGINT during a wait.
        {{"list", "--wait", slow}, Setup::Interrupt, 128 + SIGINT, ""},
        {{"watch"}, Setup::Interrupt, 128 + SIGINT, ""},
        {{"set", "MUTE", "--dhcp", "on", "--verify-timeout", slow}, Setup::Interrupt, 128 + SIGINT, ""},
        {{"reboot", "MUTE", "--yes"}, Setup::Interrupt, 128 + SIGINT, ""},
        {{"url", "GONE", "--wait", slow}, Setup::Interrupt, 128 + SIGINT, ""},
        {{"doctor", "--wait", slow}, Setup::Interrupt, 128 + SIGINT, ""},
        {{"apply", plan("gone.csv", row("GONE", "10.77.0.32")), "--yes", "--wait", slow}, Setup::Interrupt,
         128 + SIGINT, ""},
        {{"assign", "--dhcp", "on", "--yes", "--wait", slow, "GONE"}, Setup::Interrupt, 128 + SIGINT, ""},
        // 0
        {{"list", "--wait", wait, "--format", "jsonl"}, Setup::None, 0, "", "\"serialNo\":\"OK\""},
        {{"watch"}, Setup::ReaderGone, 0, ""},
        {{"set", "SET", "--dns", "10.77.0.99"}, Setup::None, 0, "", "SET: succeeded\n"},
        {{"reboot", "RB", "--yes"}, Setup::None, 0, "", "RB: succeeded\n"},
        {{"url", "OK"}, Setup::None, 0, "", "http://10.77.0.2\n"},
        {{"apply", okPlan, "--yes", "--format", "json"}, Setup::None, 0, "", "\"status\":\"verified\""},
        {{"assign", "--dhcp", "on", "--yes", "--format", "json", "ASG"}, Setup::None, 0, "", "\"status\":\"verified\""},
        {{"--help"}, Setup::None, 0, "", "Exit status (the same for every command)"},
        {{"--version"}, Setup::None, 0, "", "brenu-search "},
        {{"apply", "--help"}, Setup::None, 0, "", "usage: brenu-search apply"},
        // 1: refused by the device
        {{"set", "NO", "--dhcp", "on"}, Setup::None, 1, "", "NO: refused by the device\n"},
        {{"reboot", "NO", "--yes"}, Setup::None, 1, "", "NO: refused by the device\n"},
        {{"apply", plan("no.csv", row("NO", "10.77.0.33")), "--yes"}, Setup::None, 1, ""},
        {{"assign", "--dhcp", "on", "--yes", "NO"}, Setup::None, 1, ""},
        {{"url", "LH"}, Setup::None, 1, "LH: the device announces no IPv4 address ('localhost')"},
        {{"url", "LO"}, Setup::None, 1, "LO: no page to open: "},
        {{"url", "BC"}, Setup::None, 1, "BC: no page to open: "},
        // 1: the output cannot be written
        {{"list", "--wait", wait}, Setup::DevFull, 1, "cannot write the output"},
        {{"watch"}, Setup::DevFull, 1, "cannot write the output"},
        {{"set", "OK", "--dns", "10.77.0.253"}, Setup::DevFull, 1, "cannot write the output"},
        {{"reboot", "RBF", "--yes"}, Setup::DevFull, 1, "cannot write the output"},
        {{"url", "OK"}, Setup::DevFull, 1, "cannot write the output"},
        {{"doctor", "--wait", "300"}, Setup::DevFull, 1, "cannot write the output"},
        {{"apply", dryPlan, "--dry-run"}, Setup::DevFull, 1, "cannot write the output"},
        {{"assign", "--dhcp", "on", "--dry-run", "OK"}, Setup::DevFull, 1, "cannot write the output"},
        {{"--help"}, Setup::DevFull, 1, "cannot write the output"},
        {{"--version"}, Setup::DevFull, 1, "cannot write the output"},
        // 1: doctor's problems
        {{"doctor", "--wait", "300"}, Setup::HeldSearchPort, 1, "", "instead"},
        {{"doctor", "--wait", "300"}, Setup::NoNetwork, 1, "", "no address to search from"},
        // 2
        {{}, Setup::None, 2, "no command given"},
        {{"lst"}, Setup::None, 2, "unknown command 'lst'"},
        {{"list", "--colour"}, Setup::None, 2, "Unknown option 'colour'."},
        {{"watch", "--stale-after", "0"}, Setup::None, 2, "--stale-after takes seconds"},
        {{"set", "OK"}, Setup::None, 2, "nothing to set"},
        {{"reboot", "RB"}, Setup::None, 2, "standard input is not a terminal, give --yes"},
        {{"url", "OK", "SET"}, Setup::None, 2, "only one serial number"},
        {{"doctor", "--colour"}, Setup::None, 2, "Unknown option 'colour'."},
        {{"apply"}, Setup::None, 2, "the plan file is missing"},
        {{"assign", "OK"}, Setup::None, 2, "--start is missing"},
        // 3
        {{"set", "GONE", "--dns", "10.77.0.9", "--wait", wait}, Setup::None, 3, "GONE: not found"},
        {{"reboot", "GONE", "--yes", "--wait", wait}, Setup::None, 3, "", "GONE: not found\n"},
        {{"url", "GONE", "--wait", wait}, Setup::None, 3, "GONE: not found"},
        {{"apply", tmp + "gone.csv", "--yes", "--wait", wait}, Setup::None, 3, ""},
        {{"apply", tmp + "gone.csv", "--dry-run", "--wait", wait}, Setup::None, 3, ""},
        {{"assign", "--dhcp", "on", "--yes", "--wait", wait, "GONE"}, Setup::None, 3, ""},
        // 5: a serial number two devices answer; one identity answered from two sources
        {{"set", "DUP", "--dns", "10.77.0.9"}, Setup::None, 5,
         "DUP: 2 devices answer with this serial number (02:00:00:00:00:0a at 10.77.0.9, 02:00:00:00:00:0b at "
         "10.77.0.10); nothing sent, give --mac to choose one"},
        {{"reboot", "OK", "DUP", "--yes"}, Setup::None, 5, "give --mac to choose one"},
        {{"url", "DUP"}, Setup::None, 5, "give --mac to choose one"},
        {{"apply", plan("dup.csv", row("DUP", "10.77.0.34")), "--yes"}, Setup::None, 5, ""},
        {{"assign", "--dhcp", "on", "--yes", "DUP"}, Setup::None, 5, ""},
        {{"set", "ID1", "--dns", "10.77.0.9"}, Setup::None, 5, "2 source addresses answer with this serial number and MAC"},
        {{"reboot", "ID1", "--yes"}, Setup::None, 5, "source addresses answer"},
        {{"reboot", "ID1", "--yes", "--at", "10.77.0.9"}, Setup::None, 5, ""},
        {{"url", "ID1"}, Setup::None, 5, "source addresses answer"},
        {{"apply", plan("id.csv", row("ID1", "10.77.0.35")), "--yes"}, Setup::None, 5, ""},
        {{"assign", "--dhcp", "on", "--yes", "ID1"}, Setup::None, 5, "several source addresses answer"},
        // ... unless --at pins the source that is the device.
        {{"url", "ID1", "--at", "10.77.0.12"}, Setup::None, 0, "", "http://10.77.0.12\n"},
        {{"reboot", "ID1", "--yes", "--at", "10.77.0.11"}, Setup::None, 0, "", "ID1: succeeded\n"},
        // 6
        {{"list", "--wait", "100"}, Setup::NoNetwork, 6, "no local IPv4 address to search from"},
        {{"watch"}, Setup::NoNetwork, 6, "no local IPv4 address to search from"},
        {{"set", "OK", "--dhcp", "on"}, Setup::NoNetwork, 6, "no local IPv4 address to search from"},
        {{"reboot", "OK", "--yes"}, Setup::NoNetwork, 6, "no local IPv4 address to search from"},
        {{"url", "OK"}, Setup::NoNetwork, 6, "no local IPv4 address to search from"},
        {{"apply", okPlan, "--yes"}, Setup::NoNetwork, 6, "no local IPv4 address to search from"},
        {{"assign", "--dhcp", "on", "--yes", "OK"}, Setup::NoNetwork, 6, "no local IPv4 address to search from"},
        // 8: an address no command may go to
        {{"set", "LH", "--dhcp", "on"}, Setup::None, 8, "LH: 'localhost' is not an IPv4 address; nothing sent"},
        {{"set", "LO", "--dhcp", "on"}, Setup::None, 8, "127.0.0.1 is a loopback address; nothing sent"},
        {{"reboot", "BC", "--yes"}, Setup::None, 8, "", "10.77.0.255 is the broadcast address of the subnet of brw0"},
        {{"apply", plan("lh.csv", row("LH", "10.77.0.36")), "--yes", "--format", "json"},
         Setup::None, 8, "", "\"status\":\"not sent\""},
        {{"assign", "--dhcp", "on", "--yes", "BC"}, Setup::None, 8, ""},
        // 8: brenu-link-send refused the request; its reason, not another device's turn
        {{"set", "MC1", "--dns", "10.77.0.9"}, Setup::None, 8, "", "MC1: not sent: the device's MAC is no unicast MAC"},
        {{"apply", plan("mc.csv", row("MC2", "10.77.0.37")), "--yes", "--format", "json"},
         Setup::None, 8, "", "\"status\":\"not sent\""},
    };

    // The search port held by this test while the rows run: doctor names that as a
    // problem; every other command searches from another port.
    const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in held = sandbox::Ipv4(sandbox::kWorkstationAddress, 19009);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&held), sizeof held), 0);
    const int devFull = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(devFull, 0);

    std::vector<std::unique_ptr<CliProcess>> running;
    std::vector<bool> interrupted(rows.size());
    for (const Row &r : rows) {
        int outFd = -1, readerGone[2] = {-1, -1};
        if (r.setup == Setup::DevFull)
            outFd = devFull;
        if (r.setup == Setup::ReaderGone) {
            ASSERT_EQ(pipe2(readerGone, O_CLOEXEC), 0);
            close(readerGone[0]);
            outFd = readerGone[1];
        }
        const std::string program = r.setup == Setup::Portable ? portable + "/brenu-search" : BRENU_SEARCH_PATH;
        running.push_back(std::make_unique<CliProcess>(r.args, outFd, program.c_str(),
                                                       r.setup == Setup::NoNetwork ? grid::LeaveNetwork : nullptr));
        if (readerGone[1] >= 0)
            close(readerGone[1]);
    }
    // Each interrupted row gets SIGINT once its stop handler is in place and it has
    // been waiting a moment.
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    for (bool pending = true; pending && std::chrono::steady_clock::now() < giveUp;) {
        pending = false;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].setup != Setup::Interrupt || interrupted[i])
                continue;
            if (grid::CatchesSigint(running[i]->Pid(), "brenu-search")) {
                std::this_thread::sleep_for(300ms);
                running[i]->Signal(SIGINT);
                interrupted[i] = true;
            } else {
                pending = true;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    std::string listed;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row &r = rows[i];
        Result result = running[i]->Finish(60s);
        if (!r.args.empty() && r.args[0] == "list" && r.status == 0)
            listed = result.out;
        if (result.status >= 1000)
            result.status = result.status - 1000 + 128;
        std::string line;
        for (const std::string &arg : r.args)
            line += " " + arg;
        EXPECT_EQ(result.status, r.status) << line << "\n" << result.out << result.err;
        EXPECT_NE(result.err.find(r.err), std::string::npos) << line << "\n" << result.err;
        EXPECT_NE(result.out.find(r.out), std::string::npos) << line << "\n" << result.out;
    }
    close(devFull);
    close(holder);

    // Both sources of ID1 are listed, each marked as an identity conflict.
    std::set<std::string> sources;
    std::istringstream lines(listed);
    for (std::string line; std::getline(lines, line);) {
        const QJsonObject device = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (device["serialNo"] == "ID1") {
            sources.insert(device["source"].toString().toStdString());
            EXPECT_TRUE(device["conflict"].toArray().contains("identity")) << line;
        }
    }
    EXPECT_EQ(sources, (std::set<std::string>{"10.77.0.11:19010", "10.77.0.12:19010"})) << listed;

    // With the port free again doctor finds nothing wrong.
    const Result doctor = RunCli({"doctor", "--wait", "300"});
    EXPECT_EQ(doctor.status, 0) << doctor.out;

    // Nothing reached a device a row said nothing was sent to (OK: dry runs, nothing
    // to change, and a reboot stopped by the ambiguous serial named with it); the one
    // request to ID1 went to the source --at pinned; the chain's holder got its
    // request, the device waiting for its address none.
    auto requestsTo = [&](const std::string &address) {
        int count = 0;
        for (const std::string &line : devices.LogLines())
            count += line.find(" to=" + address + ":") != std::string::npos &&
                     (line.find("updatecfg.htm") != std::string::npos || line.find("reboot.htm") != std::string::npos);
        return count;
    };
    for (const char *address : {"10.77.0.2", "10.77.0.9", "10.77.0.10", "10.77.0.12", "10.77.0.15", "10.77.0.16", "10.77.0.17",
                                "10.77.0.18", "10.77.0.19", "10.77.0.40"})
        EXPECT_EQ(requestsTo(address), 0) << address;
    EXPECT_EQ(requestsTo("10.77.0.11"), 1);
    EXPECT_EQ(requestsTo("10.77.0.20"), 1);
    std::filesystem::remove_all(portable);
    for (const char *name : {"ok.csv", "dry.csv", "chain.csv", "mute.csv", "ign.csv", "gone.csv", "no.csv", "dup.csv",
                             "id.csv", "lh.csv", "mc.csv"})
        unlink((tmp + name).c_str());
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(thread_sanitizer) || __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// 4 for list and watch: more devices answer than a listing holds (answers spread
// over 3 s, so that the searcher's socket takes them; a sanitized build, several
// times slower at taking them, searches three rounds).
TEST_F(CliTest, ListAndWatchEndWithFourWhenMoreDevicesAnswerThanAListingHolds)
{
    ASSERT_NO_FATAL_FAILURE(StartDevices({"--devices", std::to_string(kMaxDeviceRows + 500), "--jitter", "3000"}));
    const std::string wait = kSanitized ? "14500" : "4000";
    const Result list = CliProcess({"list", "--wait", wait, "--format", "jsonl"}).Finish(60s);
    EXPECT_EQ(list.status, 4) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), kMaxDeviceRows + 1);
    EXPECT_NE(list.out.find("{\"overflow\":true,\"limit\":20000,\"ignoredAnswers\":"), std::string::npos);
    EXPECT_NE(list.err.find("more devices answered than a listing holds (20000)"), std::string::npos) << list.err;

    // watch prints its events until the overflow; then its reader goes away.
    int events[2];
    ASSERT_EQ(pipe2(events, O_CLOEXEC), 0);
    CliProcess watch({"watch", "--format", "jsonl"}, events[1]);
    close(events[1]);
    std::string seen;
    char buffer[65536];
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (seen.find("\"event\":\"overflow\"") == std::string::npos && std::chrono::steady_clock::now() < end) {
        const ssize_t got = read(events[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        seen.append(buffer, static_cast<size_t>(got));
        seen.erase(0, seen.size() > 4096 ? seen.size() - 4096 : 0); // the last events are enough
    }
    EXPECT_NE(seen.find("\"event\":\"overflow\""), std::string::npos) << seen;
    close(events[0]);
    EXPECT_EQ(watch.Finish(10s).status, 4);
}

} // namespace

namespace {

namespace fs = std::filesystem;

class SwitchedCliTest : public SwitchedLanTest {
protected:
    void SetUp() override
    {
        SwitchedLanTest::SetUp();
        boxes = std::make_unique<sandbox::DevsimBoxes>(*net, DEVSIM_PATH,
                                                       ::testing::TempDir() + "box_" + std::to_string(getpid()));
    }
    // A box of its own at `address` playing SERIAL with firmware that applies
    // whatever update reaches it.
    void StartBox(const std::string &serial, const std::string &address)
    {
        EXPECT_EQ(boxes->Add(serial, address), "");
    }
    // Update requests the boxes received, and those meant for another box.
    long long Count(const std::string &what) const { return boxes->Count(what); }
    void TearDown() override
    {
        boxes.reset();
        SwitchedLanTest::TearDown();
    }

    std::unique_ptr<sandbox::DevsimBoxes> boxes;
};

TEST_F(SwitchedCliTest, BoxesAtOneAddressAreEachReachedByTheirOwnRequestWithAndWithoutTheHelper)
{
    for (const char *serial : {"SN-S1", "SN-S2"})
        StartBox(serial, "10.77.0.10");
    for (const char *serial : {"SN-S3", "SN-S4"})
        StartBox(serial, "10.77.0.11");

    // Beside its helper the program sends by MAC.
    const Result mac =
        CliProcess({"assign", "--start", "10.77.0.50", "--yes", "--format", "json", "SN-S1", "SN-S2"}).Finish(60s);
    EXPECT_EQ(mac.status, 0) << mac.err;
    EXPECT_NE(mac.err.find("requests to them go by MAC (brenu-link-send)"), std::string::npos) << mac.err;
    EXPECT_EQ(BatchStatuses(mac.out), (std::vector<std::string>{"verified 10.77.0.50", "verified 10.77.0.51"}));

    // A copy alone in a folder (no helper) waits for the neighbour table, one box at a time.
    const std::string folder = ::testing::TempDir() + "portable_" + std::to_string(getpid());
    fs::create_directories(folder);
    fs::copy_file(BRENU_SEARCH_PATH, folder + "/brenu-search", fs::copy_options::overwrite_existing);
    const std::string copy = folder + "/brenu-search";
    const Result neighbour = CliProcess({"assign", "--start", "10.77.0.60", "--yes", "--format", "json", "SN-S3",
                                         "SN-S4"},
                                        -1, copy.c_str())
                                 .Finish(120s);
    EXPECT_EQ(neighbour.status, 0) << neighbour.err;
    EXPECT_NE(neighbour.err.find("one at a time by the neighbour table"), std::string::npos) << neighbour.err;
    EXPECT_EQ(BatchStatuses(neighbour.out),
              (std::vector<std::string>{"verified 10.77.0.60", "verified 10.77.0.61"}));
    fs::remove_all(folder);

    EXPECT_EQ(Count("updatecfg.htm"), 4);
    EXPECT_EQ(Count("note foreign request"), 0); // no request reached another box
}

// A plan naming four boxes that share one factory address, each by its serial
// number, sent beside the helper: each box gets its own request, in parallel.
TEST_F(SwitchedCliTest, APlanReAddressesFourBoxesAtOneAddressEachByItsOwnRequest)
{
    std::string plan = "serialNo,address,subnetMask,gateway,dns,dhcp\n";
    for (int i = 1; i <= 4; ++i) {
        const std::string serial = "SN-P" + std::to_string(i);
        StartBox(serial, "10.77.0.12");
        plan += serial + ",10.77.0.7" + std::to_string(i) + ",255.255.255.0,10.77.0.1,10.77.0.1,off\n";
    }
    const std::string path = ::testing::TempDir() + "switched_plan_" + std::to_string(getpid()) + ".csv";
    std::ofstream(path, std::ios::trunc) << plan;
    const Result applied = CliProcess({"apply", path, "--yes", "--format", "json"}).Finish(60s);
    unlink(path.c_str());
    EXPECT_EQ(applied.status, 0) << applied.err;
    EXPECT_NE(applied.err.find("requests to them go by MAC (brenu-link-send)"), std::string::npos) << applied.err;
    EXPECT_EQ(BatchStatuses(applied.out), (std::vector<std::string>{"verified 10.77.0.71", "verified 10.77.0.72",
                                                                    "verified 10.77.0.73", "verified 10.77.0.74"}));
    EXPECT_EQ(Count("updatecfg.htm"), 4);
    EXPECT_EQ(Count("note foreign request"), 0);
}

// Devices behind a router (the sandbox's routed subnet 10.77.5.0/24): no broadcast
// reaches them, a search range does; they are listed as routed, re-addressed by
// ordinary routing and verified through the range, and watch follows them.
class RoutedCliTest : public CliTest {
protected:
    void SetUp() override
    {
        CliTest::SetUp();
        ASSERT_TRUE(net->AddRoutedSubnet());
        for (const char *address : {"10.77.5.7/24", "10.77.5.8/24", "10.77.5.9/24"})
            ASSERT_TRUE(net->AddRoutedAddress(address));
        const std::string error =
            devices.Start(*net,
                          {"--device", "serial=R1,address=10.77.5.7,port=8001,dhcp=off,gateway=10.77.5.1",
                           "--device", "serial=R2,address=10.77.5.8,port=8002,dhcp=off,gateway=10.77.5.1"},
                          true);
        ASSERT_TRUE(error.empty()) << error;
    }
};

TEST_F(RoutedCliTest, ARangeListsReAddressesAndWatchesDevicesBehindTheRouter)
{
    const Result plain = RunCli({"list", "--wait", "1000", "--format", "json"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, "[]\n");

    const Result list = RunCli({"list", "--wait", "1500", "--format", "json", "--range", "10.77.5.0/24"});
    EXPECT_EQ(list.status, 0) << list.err;
    const QJsonArray listed = QJsonDocument::fromJson(QByteArray::fromStdString(list.out)).array();
    ASSERT_EQ(listed.size(), 2) << list.out;
    for (const QJsonValue &device : listed) {
        EXPECT_EQ(device.toObject()["subnet"].toString(), "routed") << list.out;
        EXPECT_EQ(device.toObject()["localAddress"].toString(), "10.77.0.1") << list.out;
    }

    // Sent by ordinary routing (no on-link delivery could cross the router), and
    // verified by the answer from the new address, which the range covers.
    const Result set = RunCli({"set", "R1", "--address", "10.77.5.9", "--range", "10.77.5.5-10.77.5.20"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "R1: succeeded\n");

    CliProcess watch({"watch", "--format", "jsonl", "--range", "10.77.5.8-10.77.5.9", "--range-rate", "50"});
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end &&
           (watch.Out().find("\"R1\"") == std::string::npos || watch.Out().find("\"R2\"") == std::string::npos))
        std::this_thread::sleep_for(50ms);
    watch.Signal(SIGTERM);
    const Result watched = watch.Finish(5s);
    EXPECT_NE(watched.out.find("\"serialNo\":\"R1\",\"address\":\"10.77.5.9\""), std::string::npos) << watched.out;
    EXPECT_NE(watched.out.find("\"serialNo\":\"R2\""), std::string::npos) << watched.out;
    EXPECT_EQ(watched.out.find("\"subnet\":\"local\""), std::string::npos) << watched.out;
}

TEST_F(CliTest, RangesThatCanNeverBeSearchedAreRefusedWithStatusTwo)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"list", "--range", "127.0.0.0/24"},
          {"watch", "--range", "224.0.0.1-224.0.0.9"},
          {"doctor", "--range", "0.0.0.0/30"},
          {"set", "X", "--dns", "10.77.0.9", "--range", "255.255.255.255/32"},
          {"reboot", "X", "--range", "10.77.0.0/24"}, // holds this machine's 10.77.0.1
          {"url", "X", "--range", "10.0.0.0/8"},       // beyond the bound
          {"list", "--range", "10.77.5.9-10.77.5.1"},
          {"list", "--range", "10.77.5.0/24", "--range-rate", "100000"},
          {"assign", "X", "--start", "10.77.0.50", "--range", "10.77.5.0/33"}}) {
        const Result refused = RunCli(args);
        EXPECT_EQ(refused.status, 2) << args[0] << " " << args[2] << ": " << refused.err;
        EXPECT_NE(refused.err.find("--range"), std::string::npos) << refused.err;
    }
}

} // namespace
