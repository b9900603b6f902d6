// A batch from plan rows to verdicts: matching, the checks on the whole batch, and
// the run's outcomes with a sender standing in for the devices.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <map>
#include <thread>

#include "device/Batch.h"

namespace {

HeardDevice Device(const char *serial, const char *address, const char *mac = "00:00:00:00:00:01")
{
    HeardDevice device;
    device.serialNo = serial;
    device.address = address;
    device.port = 8000;
    device.subnetMask = "255.255.255.0";
    device.gateway = "192.168.1.1";
    device.dns = "192.168.1.1";
    device.mac = mac;
    return device;
}

PlanRow Row(const char *serial, const char *address, const char *mac = "")
{
    PlanRow row;
    row.serialNo = serial;
    row.mac = mac;
    row.settings = NetworkSettings{address, "255.255.255.0", "10.77.0.254", "10.77.0.254", false};
    return row;
}

std::vector<BatchStatus> StatusesOf(const std::vector<BatchEntry> &entries)
{
    std::vector<BatchStatus> statuses;
    for (const BatchEntry &entry : entries)
        statuses.push_back(entry.status);
    return statuses;
}

TEST(Batch, PlanRowsMatchDevicesBySerialAndPinnedMac)
{
    HeardDevice inPlace = Device("DONE", "10.77.0.30");
    inPlace.subnetMask = "255.255.255.0";
    inPlace.gateway = inPlace.dns = "10.77.0.254";
    const std::vector<HeardDevice> devices{Device("A", "192.168.1.10"), Device("TWIN", "192.168.1.10", "AA"),
                                            Device("TWIN", "192.168.1.10", "BB"), inPlace};
    const std::vector<PlanRow> rows{Row("A", "10.77.0.20"),        Row("TWIN", "10.77.0.21"),
                                    Row("TWIN", "10.77.0.22", "bb"), Row("GONE", "10.77.0.23"),
                                    Row("DONE", "10.77.0.30"),       Row("A", "10.77.0.24", "FF")};
    const std::vector<BatchEntry> entries = MatchPlan(rows, devices);
    EXPECT_EQ(StatusesOf(entries),
              (std::vector<BatchStatus>{BatchStatus::Waiting, BatchStatus::Ambiguous, BatchStatus::Waiting,
                                        BatchStatus::Missing, BatchStatus::Unchanged, BatchStatus::Missing}));
    EXPECT_EQ(entries[2].device->mac, "BB");
}

TEST(Batch, TheWholeBatchIsCheckedBeforeSending)
{
    const std::vector<HeardDevice> devices{Device("A", "192.168.1.10"), Device("B", "192.168.1.11"),
                                            Device("C", "192.168.1.12"), Device("KEEP", "10.77.0.40")};
    const std::vector<PlanRow> rows{Row("A", "10.77.0.20"), Row("B", "10.77.0.20"), Row("C", "10.77.0.1")};
    InterfaceAddress workstation;
    workstation.address = "10.77.0.1";
    workstation.netmask = htonl(0xffffff00u);
    const LocalSubnets local{workstation};
    QStringList problems = CheckBatch(MatchPlan(rows, devices), devices, local, true);
    ASSERT_EQ(problems.size(), 2);
    EXPECT_TRUE(problems[0].startsWith("B: 10.77.0.20 is also planned for A")) << problems[0].toStdString();
    EXPECT_TRUE(problems[1].contains("address of this machine"));

    // A device that stays where it is keeps its address; a moving one frees nothing early.
    problems = CheckBatch(MatchPlan({Row("A", "10.77.0.40")}, devices), devices, {}, true);
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(problems[0].contains("address of KEEP"));

    // A device pinned by MAC whose twin answers from the same address would take its request too.
    const std::vector<HeardDevice> twins{Device("TWIN", "192.168.1.10", "AA"), Device("TWIN", "192.168.1.10", "BB")};
    problems = CheckBatch(MatchPlan({Row("TWIN", "10.77.0.41", "AA")}, twins), twins, {}, false);
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(problems[0].contains("answers from 192.168.1.10 too"));
    // Nor may it move onto the address its twin keeps.
    const std::vector<HeardDevice> apart{Device("TWIN", "192.168.1.10", "AA"), Device("TWIN", "192.168.1.11", "BB")};
    problems = CheckBatch(MatchPlan({Row("TWIN", "192.168.1.11", "AA")}, apart), apart, {}, false);
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(problems[0].contains("192.168.1.11 is the address of TWIN"));

    // Insane values pass only when not strict.
    const std::vector<PlanRow> odd{Row("A", "10.77.0.255"), Row("B", "300.1.1.1")};
    EXPECT_EQ(CheckBatch(MatchPlan(odd, devices), devices, {}, true).size(), 2);
    EXPECT_EQ(CheckBatch(MatchPlan({odd[0]}, devices), devices, {}, false).size(), 0);
}

// Devices of a run and what each does with its request.
struct FakeDevices {
    std::map<QString, SendOutcome> outcome;
    std::mutex lock;
    std::vector<QString> sent;

    UpdateSender Sender()
    {
        return [this](const HeardDevice &device, const NetworkSettings &, const std::atomic<bool> *) {
            std::lock_guard<std::mutex> guard(lock);
            sent.push_back(device.serialNo);
            return outcome[device.serialNo];
        };
    }
};

HeardDevice Moved(HeardDevice device, const NetworkSettings &to)
{
    device.address = to.address;
    device.subnetMask = to.subnetMask;
    device.gateway = to.gateway;
    device.dns = to.dns;
    device.dhcp = to.dhcp;
    device.source.address = to.address; // the device itself, from its new address
    return device;
}

TEST(Batch, RunOutcomesComeFromTheSearchAsWellAsTheAnswers)
{
    const std::vector<HeardDevice> devices{Device("OK", "192.168.1.10"), Device("LOST", "192.168.1.11"),
                                            Device("NO", "192.168.1.12"), Device("LIAR", "192.168.1.13"),
                                            Device("SILENT", "192.168.1.14"), Device("SAME", "10.77.0.25"),
                                            Device("UNSENT", "192.168.1.15")};
    std::vector<PlanRow> rows{Row("OK", "10.77.0.20"), Row("LOST", "10.77.0.21"), Row("NO", "10.77.0.22"),
                              Row("LIAR", "10.77.0.23"), Row("SILENT", "10.77.0.24")};
    rows.push_back(Row("SAME", "10.77.0.25"));
    rows.back().settings = SettingsOf(devices[5]);
    rows.push_back(Row("UNSENT", "10.77.0.26")); // no request could leave for it
    FakeDevices fake;
    fake.outcome = {{"OK", SendOutcome::Acknowledged},
                    {"LOST", SendOutcome::NoAnswer},
                    {"NO", SendOutcome::Refused},
                    {"LIAR", SendOutcome::Acknowledged},
                    {"SILENT", SendOutcome::NoAnswer},
                    {"UNSENT", SendOutcome::NotSent}};
    const std::vector<BatchEntry> entries = MatchPlan(rows, devices);
    BatchJob job(entries, fake.Sender(), 200);
    EXPECT_EQ(job.ToSend(), 6);
    // An answer from before the run shows nothing.
    job.Observe(Moved(devices[0], entries[0].target));
    EXPECT_EQ(job.Statuses()[0], BatchStatus::Waiting);
    job.Start();
    auto sentCount = [&] {
        std::lock_guard<std::mutex> guard(fake.lock);
        return fake.sent.size();
    };
    while (sentCount() < 6)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    job.Observe(Moved(devices[0], entries[0].target));
    job.Observe(Moved(devices[1], entries[1].target));
    HeardDevice twin = Moved(devices[3], entries[4].target);
    twin.mac = "FF"; // another device with the serial: not this one
    job.Observe(twin);
    job.Observe(devices[3]); // LIAR said yes and did not change
    while (!job.Done()) {
        job.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(job.Statuses(),
              (std::vector<BatchStatus>{BatchStatus::Verified, BatchStatus::Verified, BatchStatus::Refused,
                                        BatchStatus::NotConfirmed, BatchStatus::NotConfirmed,
                                        BatchStatus::Unchanged, BatchStatus::NotSent}));
    EXPECT_EQ(sentCount(), 6u); // nothing to the device already in place
}

TEST(Batch, OnlyTheDeviceItselfVerifiesItsUpdate)
{
    const HeardDevice device = Device("S1", "192.168.1.10");
    NetworkSettings to = SettingsOf(device);
    to.address = "192.168.1.20";
    const ExpectedSettings expected = ExpectedAfter(device, to);
    const HeardDevice real = Moved(device, to);
    HeardDevice forged = real; // a LAN host answering with the new values from its own address
    forged.source.address = "192.168.1.66";
    EXPECT_EQ(UntrustedReason(real, expected, {}, -1), "");
    EXPECT_TRUE(UntrustedReason(forged, expected, {}, -1).contains("not from the new address"));
    // Another source answering for the device within a search period spoils even the
    // right source; one that fell quiet longer ago does not.
    EXPECT_NE(UntrustedReason(real, expected, {}, 1000), "");
    EXPECT_EQ(UntrustedReason(real, expected, {}, kIdentityWindowMs + 1), "");

    // DHCP on: from the address it announces, on a subnet of the interface that heard it.
    InterfaceAddress eth;
    eth.address = "192.168.1.1";
    eth.device = "eth0";
    eth.netmask = htonl(0xffffff00u);
    NetworkSettings dhcp = SettingsOf(device);
    dhcp.dhcp = true;
    HeardDevice leased = Moved(device, dhcp);
    leased.address = leased.source.address = "192.168.1.77";
    leased.interfaceName = "eth0";
    EXPECT_EQ(UntrustedReason(leased, ExpectedAfter(device, dhcp), {eth}, -1), "");
    leased.interfaceName = "eth1";
    EXPECT_NE(UntrustedReason(leased, ExpectedAfter(device, dhcp), {eth}, -1), "");
    leased.interfaceName = "eth0";
    leased.source.address = "192.168.1.66";
    EXPECT_NE(UntrustedReason(leased, ExpectedAfter(device, dhcp), {eth}, -1), "");

    // In a run: the forger's answer leaves the entry not confirmed, with the reason.
    FakeDevices fake;
    fake.outcome = {{"S1", SendOutcome::Acknowledged}};
    BatchJob job(MatchPlan({Row("S1", "10.77.0.20")}, {device}), fake.Sender(), 100);
    job.SetLocalSubnets({});
    job.Start();
    while (job.Statuses()[0] == BatchStatus::Waiting || job.Statuses()[0] == BatchStatus::Sending)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    HeardDevice forgedRun = Moved(device, job.Entries()[0].target);
    forgedRun.source.address = "10.77.0.66";
    job.Observe(forgedRun);
    while (!job.Done()) {
        job.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(job.Statuses()[0], BatchStatus::NotConfirmed);
    EXPECT_TRUE(job.UntrustedReasons()[0].contains("10.77.0.66"));
}

TEST(Batch, AChainWaitsForTheHolderToLeaveAndARingIsRefused)
{
    const std::vector<HeardDevice> devices{Device("A", "10.77.0.10"), Device("B", "10.77.0.11"),
                                            Device("C", "10.77.0.30")};
    // A takes B's address; B moves on. Listed first, A still goes second.
    const std::vector<BatchEntry> chain = MatchPlan({Row("A", "10.77.0.11"), Row("B", "10.77.0.12")}, devices);
    EXPECT_TRUE(CheckBatch(chain, devices, {}, true).isEmpty());
    FakeDevices fake;
    fake.outcome = {{"A", SendOutcome::Acknowledged}, {"B", SendOutcome::Acknowledged}};
    BatchJob job(chain, fake.Sender(), 2000);
    job.SetLocalSubnets({});
    job.Start();
    auto sent = [&] {
        std::lock_guard<std::mutex> guard(fake.lock);
        return fake.sent;
    };
    while (sent().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sent(), std::vector<QString>{"B"}); // A waits while B holds its address
    job.Observe(Moved(devices[1], chain[1].target));
    while (sent().size() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(sent(), (std::vector<QString>{"B", "A"}));
    job.Cancel();

    // The holder that does not leave keeps the address: nothing is sent to the taker.
    FakeDevices stubborn;
    stubborn.outcome = {{"A", SendOutcome::Acknowledged}, {"B", SendOutcome::Refused}};
    BatchJob stuck(chain, stubborn.Sender(), 100);
    stuck.SetLocalSubnets({});
    stuck.Start();
    while (!stuck.Done()) {
        stuck.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(stuck.Statuses(), (std::vector<BatchStatus>{BatchStatus::HolderStayed, BatchStatus::Refused}));
    EXPECT_EQ(stubborn.sent, std::vector<QString>{"B"});

    // A three-way ring names its rows.
    const QStringList problems =
        CheckBatch(MatchPlan({Row("A", "10.77.0.11"), Row("B", "10.77.0.30"), Row("C", "10.77.0.10")}, devices),
                   devices, {}, true);
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(problems[0].contains("A (10.77.0.10 -> 10.77.0.11)")) << problems[0].toStdString();
    EXPECT_TRUE(problems[0].contains("C (10.77.0.30 -> 10.77.0.10)"));
}

TEST(SuggestBatchSettingsTest, SharedValuesAndTheFirstFreeAddressOfTheHearingSubnet)
{
    InterfaceAddress own;
    own.address = "10.77.0.1";
    own.device = "eth0";
    own.netmask = htonl(0xffffff00u);
    const LocalSubnets local{own};
    auto device = [](const char *address, const char *gateway, const char *dns) {
        HeardDevice made;
        made.address = address;
        made.subnetMask = "255.255.255.0";
        made.gateway = gateway;
        made.dns = dns;
        made.localAddress = "10.77.0.1";
        return made;
    };
    const std::vector<HeardDevice> listed{device("10.77.0.2", "10.77.0.254", "10.77.0.53"),
                                          device("10.77.0.3", "10.77.0.254", "8.8.8.8"),
                                          device("10.77.1.9", "10.77.0.254", "8.8.8.8")};
    // 10.77.0.1 is this machine's, .2 and .3 are listed devices.
    SuggestedSettings all = SuggestBatchSettings(listed, listed, local);
    EXPECT_EQ(all.start, "10.77.0.4");
    EXPECT_EQ(all.mask, "255.255.255.0");
    EXPECT_EQ(all.gateway, "10.77.0.254");
    EXPECT_EQ(all.dns, ""); // they differ
    const SuggestedSettings two = SuggestBatchSettings({listed[1], listed[2]}, listed, local);
    EXPECT_EQ(two.dns, "8.8.8.8");
    // Heard by an address this machine no longer has: no start address to offer.
    HeardDevice stranger = listed[0];
    stranger.localAddress = "192.168.9.9";
    EXPECT_EQ(SuggestBatchSettings({stranger}, listed, local).start, "");
    EXPECT_EQ(SuggestBatchSettings({}, listed, local).mask, "");
}

} // namespace

namespace {

// A neighbour table whose entry for the shared address points where the test says.
struct FakeNeighbours {
    std::mutex lock;
    QString holder;
    int nudges = 0;

    void PointAt(const QString &mac)
    {
        std::lock_guard<std::mutex> guard(lock);
        holder = mac;
    }
    void Use(BatchJob &job, int waitMs)
    {
        job.SetSharedAddressDelivery(
            DeliveryWay::Neighbour,
            [this](const CommandTarget &) {
                std::lock_guard<std::mutex> guard(lock);
                return holder;
            },
            [this](const CommandTarget &) {
                std::lock_guard<std::mutex> guard(lock);
                ++nudges;
            },
            waitMs);
    }
};

HeardDevice SharedDevice(const char *serial, const char *mac)
{
    HeardDevice device = Device(serial, "10.77.0.10", mac);
    device.interfaceName = "brw0";
    device.sharedAddress = true;
    return device;
}

} // namespace

TEST(Batch, WithDhcpOnOnlyAnAnswerSentByTheDevicesMacVerifiesIt)
{
    HeardDevice device = Device("D", "10.77.0.12", "02-00-00-00-00-0D");
    device.interfaceName = "brw0";
    device.localAddress = "10.77.0.1";
    PlanRow row = Row("D", "");
    row.settings.dhcp = true;
    InterfaceAddress brw0;
    brw0.address = "10.77.0.1";
    brw0.device = "brw0";
    brw0.netmask = htonl(0xffffff00u);
    FakeDevices fake;
    fake.outcome = {{"D", SendOutcome::Acknowledged}};
    FakeNeighbours neighbours;
    BatchJob job(MatchPlan({row}, {device}), fake.Sender(), 5000);
    job.SetLocalSubnets({brw0});
    neighbours.Use(job, 1000);
    job.Start();
    while (job.Statuses()[0] != BatchStatus::Acknowledged)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const HeardDevice leased = Moved(device, job.Entries()[0].target);
    const auto nextReading = std::chrono::milliseconds(kSourceMacCheckMs + 50);

    // No entry for the source yet: nudged, not verified, not refused either.
    job.Observe(leased);
    job.Tick();
    job.Tick();
    EXPECT_EQ(job.Statuses()[0], BatchStatus::Acknowledged);
    EXPECT_EQ(neighbours.nudges, 1); // the second look within the interval reads nothing
    // Another host's MAC behind the address: the reason names both.
    neighbours.PointAt("02:00:00:00:00:99");
    std::this_thread::sleep_for(nextReading);
    job.Tick();
    EXPECT_EQ(job.Statuses()[0], BatchStatus::Acknowledged);
    EXPECT_TRUE(job.UntrustedReasons()[0].contains("is 02:00:00:00:00:99, not the device's MAC 02:00:00:00:00:0d"))
        << job.UntrustedReasons()[0].toStdString();
    // The device's own MAC.
    neighbours.PointAt("02:00:00:00:00:0d");
    std::this_thread::sleep_for(nextReading);
    job.Tick();
    EXPECT_EQ(job.Statuses()[0], BatchStatus::Verified);
    EXPECT_EQ(job.UntrustedReasons()[0], "");
}

TEST(Batch, ASharedAddressIsServedOneDeviceAtATimeInTheOrderTheNeighbourTablePointsAtThem)
{
    const std::vector<HeardDevice> devices{SharedDevice("A", "02:00:00:00:00:0a"),
                                           SharedDevice("B", "02:00:00:00:00:0b"),
                                           SharedDevice("C", "02:00:00:00:00:0c"), Device("D", "192.168.1.20")};
    const std::vector<PlanRow> rows{Row("A", "10.77.0.21"), Row("B", "10.77.0.22"), Row("C", "10.77.0.23"),
                                    Row("D", "10.77.0.24")};
    FakeDevices fake;
    fake.outcome = {{"A", SendOutcome::Acknowledged}, {"C", SendOutcome::Acknowledged}, {"D", SendOutcome::Acknowledged}};
    const std::vector<BatchEntry> entries = MatchPlan(rows, devices);
    BatchJob job(entries, fake.Sender(), 2000);
    FakeNeighbours neighbours;
    neighbours.PointAt("02:00:00:00:00:0C");
    neighbours.Use(job, 300);
    job.Start();
    auto sent = [&] {
        std::lock_guard<std::mutex> guard(fake.lock);
        return fake.sent;
    };
    auto waitSent = [&](size_t count) {
        while (sent().size() < count)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    waitSent(2); // C (the entry's holder) and D (its own address) at once
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sent().size(), 2u) << "the next device of the address waits for C's move";
    // C moves; the entry re-resolves to A, which is served next.
    job.Observe(Moved(devices[2], entries[2].target));
    neighbours.PointAt("02:00:00:00:00:0a");
    waitSent(3);
    job.Observe(Moved(devices[0], entries[0].target));
    job.Observe(Moved(devices[3], entries[3].target));
    // Then the entry points at a device outside the batch: B is never reached.
    neighbours.PointAt("02:00:00:00:00:99");
    while (!job.Done()) {
        job.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::vector<QString> order = sent();
    EXPECT_EQ(order.size(), 3u);
    EXPECT_TRUE(std::find(order.begin(), order.end(), "B") == order.end());
    EXPECT_LT(std::find(order.begin(), order.end(), "C"), std::find(order.begin(), order.end(), "A"));
    EXPECT_EQ(job.Statuses(), (std::vector<BatchStatus>{BatchStatus::Verified, BatchStatus::OtherAnswers,
                                                        BatchStatus::Verified, BatchStatus::Verified}));
    EXPECT_GT(neighbours.nudges, 0);
}

TEST(Batch, AnotherDeviceAtAPlannedAddressStopsItsSharedAddress)
{
    const std::vector<HeardDevice> devices{SharedDevice("A", "02:00:00:00:00:0a"),
                                           SharedDevice("B", "02:00:00:00:00:0b")};
    const std::vector<PlanRow> rows{Row("A", "10.77.0.21"), Row("B", "10.77.0.22")};
    FakeDevices fake;
    fake.outcome = {{"A", SendOutcome::Acknowledged}, {"B", SendOutcome::Acknowledged}};
    const std::vector<BatchEntry> entries = MatchPlan(rows, devices);
    BatchJob job(entries, fake.Sender(), 2000);
    FakeNeighbours neighbours;
    neighbours.PointAt("02:00:00:00:00:0a");
    neighbours.Use(job, 300);
    EXPECT_EQ(job.PlannedAddresses().size(), 2);
    job.Start();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(fake.lock);
            if (!fake.sent.empty())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // B's own search answer still at the shared address is no intruder; B turning
    // up at A's planned address means it took A's request.
    job.Observe(devices[1]);
    EXPECT_EQ(job.Statuses()[0], BatchStatus::Acknowledged);
    job.Observe(Moved(devices[1], entries[0].target));
    while (!job.Done()) {
        job.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(job.Statuses(), (std::vector<BatchStatus>{BatchStatus::WrongDevice, BatchStatus::Stopped}));
    std::lock_guard<std::mutex> guard(fake.lock);
    EXPECT_EQ(fake.sent, std::vector<QString>{"A"});
}
