// The command client against a device socket in the sandbox's device namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "SandboxFixture.h"
#include "SearchTestSupport.h"
#include "protocol/Frame.h"
#include "protocol/Json.h"
#include "protocol/UdpClient.h"

using namespace searchtest;
using std::chrono::milliseconds;

namespace {

constexpr uint16_t kDevicePort = 8000;

// A device that waits for one request and answers it with the datagrams `answer`
// gives for the request's bytes.
class FakeDevice {
public:
    using Answer = std::function<std::vector<std::string>(const std::string &request)>;

    FakeDevice(const sandbox::DeviceNetwork &net, Answer answer, int gapMs = 0)
        : m_socket(net, "10.77.0.2", kDevicePort), m_answer(std::move(answer)), m_gapMs(gapMs)
    {
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeDevice() { m_thread.join(); }

    bool ok() const { return m_socket.ok(); }
    // Every non-empty datagram received (the client also sends empty keep-alives).
    std::vector<std::string> Requests() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_requests;
    }

private:
    void Serve()
    {
        Datagram d;
        const auto deadline = Clock::now() + milliseconds(3000);
        while (Clock::now() < deadline && m_socket.Receive(d, 100)) {
            if (d.bytes.empty())
                continue;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_requests.push_back(d.bytes);
            }
            for (const std::string &datagram : m_answer(d.bytes)) {
                if (m_gapMs > 0)
                    std::this_thread::sleep_for(milliseconds(m_gapMs));
                m_socket.SendTo(d.from, d.fromPort, datagram);
            }
            return;
        }
    }

    DeviceSocket m_socket;
    Answer m_answer;
    int m_gapMs;
    mutable std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

// A reboot request for `serial`, as the window builds it.
struct RebootRequest {
    explicit RebootRequest(const std::string &serial)
    {
        json.SetApi("/brenu/model/reboot.htm");
        json.SetDataString(0, "serialNo", serial.c_str());
    }
    operator const Vant::IJson &() const { return json; }
    Vant::CProtocalJson json;
};

class CommandClient : public SandboxTest {
protected:
    // Runs one request and measures it.
    bool Run(QUdpClient &client, const Vant::IJson &request, Vant::CProtocalJson &answer, int limitMs)
    {
        const auto start = Clock::now();
        const bool ok = client.Request(request, answer, limitMs);
        elapsedMs = static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
        return ok;
    }
    long elapsedMs = 0;
};

} // namespace

TEST_F(CommandClient, SendsTheFramedRequestAndReturnsTheFirstValidAnswer)
{
    FakeDevice device(*net, [](const std::string &) { return std::vector<std::string>{BuildFrame(CommandAnswerBody("SN-1", true))}; });
    ASSERT_TRUE(device.ok());
    QUdpClient client;
    ASSERT_TRUE(client.Connect("10.77.0.2", kDevicePort, 0, nullptr));
    const RebootRequest request("SN-1");
    Vant::CProtocalJson answer;
    ASSERT_TRUE(Run(client, request, answer, 10000));
    EXPECT_LT(elapsedMs, 2000); // far below the 3000 ms minimum wait
    EXPECT_EQ(Vant::ValueToString(answer.GetDataValue(0, "serialNo")), "SN-1");
    EXPECT_TRUE(Vant::ValueIsTrue(answer.GetDataValue(0, "result")));
    const std::string expected =
        BuildFrame("{\"version\":0,\"kind\":0,\"sessionId\":\"0\",\"api\":\"/brenu/model/reboot.htm\","
                   "\"params\":{\"data\":[{\"serialNo\":\"SN-1\"}]}}");
    EXPECT_EQ(device.Requests(), (std::vector<std::string>{expected}));
}

TEST_F(CommandClient, FirstOfTwoFramesIsTheAnswerAndTheSecondStaysBuffered)
{
    FakeDevice device(*net, [](const std::string &) {
        return std::vector<std::string>{BuildFrame(CommandAnswerBody("SN-FIRST", true)) +
                                        BuildFrame(CommandAnswerBody("SN-SECOND", false))};
    });
    QUdpClient client;
    ASSERT_TRUE(client.Connect("10.77.0.2", kDevicePort, 0, nullptr));
    Vant::CProtocalJson answer;
    ASSERT_TRUE(Run(client, RebootRequest("SN-FIRST"), answer, 10000));
    EXPECT_EQ(Vant::ValueToString(answer.GetDataValue(0, "serialNo")), "SN-FIRST");
    Vant::CProtocalJson second;
    ASSERT_TRUE(client.ReadResponse(second));
    EXPECT_EQ(Vant::ValueToString(second.GetDataValue(0, "serialNo")), "SN-SECOND");
    EXPECT_FALSE(Vant::ValueIsTrue(second.GetDataValue(0, "result")));
    Vant::CProtocalJson none;
    EXPECT_FALSE(client.ReadResponse(none));
}

TEST_F(CommandClient, GarbageThenAValidFrameInLaterDatagrams)
{
    const std::string frame = BuildFrame(CommandAnswerBody("SN-LATE", true));
    FakeDevice device(
        *net,
        [&](const std::string &) {
            // Garbage, a frame that is not a message, then a valid frame split in two.
            return std::vector<std::string>{"\x7f garbage \x01", BuildFrame("[1,2]"), frame.substr(0, 30),
                                            frame.substr(30)};
        },
        150);
    QUdpClient client;
    ASSERT_TRUE(client.Connect("10.77.0.2", kDevicePort, 0, nullptr));
    Vant::CProtocalJson answer;
    ASSERT_TRUE(Run(client, RebootRequest("SN-LATE"), answer, 10000));
    EXPECT_GE(elapsedMs, 550);
    EXPECT_EQ(Vant::ValueToString(answer.GetDataValue(0, "serialNo")), "SN-LATE");
}

TEST_F(CommandClient, AnAnswerWithoutParamsDataIsNoAnswerAndAShortLimitWaitsTheMinimum)
{
    FakeDevice device(*net, [](const std::string &) {
        return std::vector<std::string>{
            BuildFrame("{\"api\":\"/brenu/model/reboot.htm\",\"params\":{\"serialNo\":\"SN-NODATA\",\"result\":true}}")};
    });
    // Meanwhile a device with nothing on its port: the kernel answers the keep-alive and
    // the request with port-unreachable, which must not fail the request at once.
    long closedElapsedMs = 0;
    bool closedOk = true, closedConnected = false;
    std::thread closedPort([&] {
        QUdpClient closed;
        closedConnected = closed.Connect("10.77.0.2", kDevicePort + 1, 0, nullptr);
        std::this_thread::sleep_for(milliseconds(100)); // the keep-alive's ICMP reply is in
        Vant::CProtocalJson none;
        const auto start = Clock::now();
        closedOk = closed.Request(RebootRequest("SN-CLOSED"), none, 500);
        closedElapsedMs = static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
    });
    QUdpClient client;
    ASSERT_TRUE(client.Connect("10.77.0.2", kDevicePort, 0, nullptr));
    Vant::CProtocalJson answer;
    EXPECT_FALSE(Run(client, RebootRequest("SN-NODATA"), answer, 500));
    closedPort.join();
    EXPECT_GE(elapsedMs, QUdpClient::kMinTimeoutMs);
    // Well below any other limit a fault could produce (the 500 asked for, or 10000).
    EXPECT_LE(elapsedMs, QUdpClient::kMinTimeoutMs + 2000);
    EXPECT_EQ(device.Requests().size(), 1u);
    EXPECT_TRUE(closedConnected);
    EXPECT_FALSE(closedOk);
    EXPECT_GE(closedElapsedMs, QUdpClient::kMinTimeoutMs);
    EXPECT_LE(closedElapsedMs, QUdpClient::kMinTimeoutMs + 2000);
}

TEST_F(CommandClient, RequestWithoutAConnectionFailsAtOnce)
{
    QUdpClient client;
    Vant::CProtocalJson answer;
    EXPECT_FALSE(Run(client, RebootRequest("SN-X"), answer, 10000));
    EXPECT_LT(elapsedMs, 1000); // far below the 3000 ms minimum wait
    EXPECT_FALSE(client.ReadResponse(answer));
}

TEST_F(CommandClient, AFloodOfForgedHeadersIsHeldOnlyUpToTheBufferBoundAndHoldsNoAnswerBack)
{
    QUdpClient client;
    {
        FakeDevice device(
            *net,
            [](const std::string &) {
                // Behind the answer, 588 KB of frame headers that each declare the largest
                // body (as a forger sends them from the device's address and port), then a
                // second answer.
                std::vector<std::string> datagrams{BuildFrame(CommandAnswerBody("SN-FLOOD", true))};
                const std::string forged = std::string(kFrameMagic, kFrameMagicSize) + "0000000000065483";
                datagrams.resize(401, forged + std::string(1472 - forged.size(), 'g'));
                datagrams.push_back(forged);
                datagrams.push_back(BuildFrame(CommandAnswerBody("SN-AFTER", true)));
                return datagrams;
            },
            1);
        ASSERT_TRUE(client.Connect("10.77.0.2", kDevicePort, 0, nullptr));
        Vant::CProtocalJson answer;
        ASSERT_TRUE(Run(client, RebootRequest("SN-FLOOD"), answer, 10000));
        EXPECT_EQ(Vant::ValueToString(answer.GetDataValue(0, "serialNo")), "SN-FLOOD");
        EXPECT_LE(client.BufferedBytes(), QUdpClient::kMaxBufferedBytes);
    } // the device has sent everything
    // The answer behind the last forged header was taken, and the header dropped.
    Vant::CProtocalJson after;
    ASSERT_TRUE(WaitUntil([&] { return client.ReadResponse(after); }, 3000));
    EXPECT_EQ(Vant::ValueToString(after.GetDataValue(0, "serialNo")), "SN-AFTER");
    EXPECT_EQ(client.BufferedBytes(), 0u);
}
