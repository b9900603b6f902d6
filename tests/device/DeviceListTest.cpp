// The one device list: identity by serial number and MAC, events, the bound,
// silence, conflicts and where each device was heard.
#include <gtest/gtest.h>

#include <QSet>

#include <arpa/inet.h>

#include <algorithm>

#include "device/DeviceList.h"
#include "tests/support/TestDevice.h"

namespace {

DeviceRecord Device(const QString &serial, const QString &address = "10.77.0.2",
                    const QString &mac = "02:00:00:00:00:01")
{
    return TestDevice(serial, address, mac);
}

InterfaceAddress Local(const char *address, const char *device = "brw0", const char *mask = "255.255.255.0")
{
    InterfaceAddress local;
    local.address = address;
    local.device = device;
    local.netmask = inet_addr(mask);
    return local;
}

std::vector<DeviceEvent::Kind> Kinds(const std::vector<DeviceEvent> &events)
{
    std::vector<DeviceEvent::Kind> kinds;
    for (const DeviceEvent &e : events)
        kinds.push_back(e.kind);
    return kinds;
}

// A device silent for the forget time is dropped whole: its event, its conflicts
// and its place under the bound go; a device heard across the tick wrap stays.
TEST(DeviceList, DevicesSilentLongAreForgotten)
{
    DeviceList list(2, 1000);
    const InterfaceAddress via = Local("10.77.0.1");
    list.Note(Device("old"), via, 0xFFFFF000u, 0);           // shares 10.77.0.2 with "kept"
    list.Note(Device("kept", "10.77.0.2", "02:00:00:00:00:02"), via, 5000, 0); // after the wrap
    ASSERT_EQ(list.ConflictKinds(*list.Latest("kept")), QStringList{"address"});
    std::vector<DeviceEvent> events;
    EXPECT_EQ(list.ForgetSilentFor(9000, 14000, &events), 0); // "old" is 13096 ms silent
    EXPECT_EQ(list.ForgetSilentFor(9000 + 904, 14000, &events), 1);
    ASSERT_EQ(Kinds(events), (std::vector<DeviceEvent::Kind>{DeviceEvent::Forgotten}));
    EXPECT_EQ(events[0].device.serialNo, "old");
    EXPECT_EQ(list.Latest("old"), nullptr);
    EXPECT_EQ(list.WithSerial("old").size(), 0u);
    EXPECT_TRUE(list.ConflictKinds(*list.Latest("kept")).isEmpty());
    EXPECT_EQ(list.Note(Device("new", "10.77.0.3"), via, 10000, 0).outcome, DeviceList::Heard::Added);
}

TEST(DeviceList, EventsFollowTheDevicesAndTheBoundHolds)
{
    DeviceList list(2, 1000);
    const InterfaceAddress via = Local("10.77.0.1");
    std::vector<DeviceEvent> events;
    list.Note(Device("b"), via, 0, 0, &events);
    list.Note(Device("B"), via, 0, 0, &events);   // another device: serials compare case-sensitively
    list.Note(Device("b"), via, 100, 0, &events); // the same answer again: no event
    EXPECT_EQ(Kinds(events), (std::vector<DeviceEvent::Kind>{DeviceEvent::Appeared, DeviceEvent::Appeared}));

    // Full: a new device is counted, not kept, with one overflow event; devices
    // held still update.
    events.clear();
    EXPECT_EQ(list.Note(Device("c"), via, 200, 0, &events).outcome, DeviceList::Heard::Refused);
    list.Note(Device("b", "10.77.0.2", "02:00:00:00:00:09"), via, 200, 0, &events); // a new MAC is a new device
    DeviceRecord moved = Device("b", "10.77.0.9");
    moved.description = "moved";
    list.Note(moved, via, 300, 0, &events);
    ASSERT_EQ(Kinds(events), (std::vector<DeviceEvent::Kind>{DeviceEvent::Overflow, DeviceEvent::Changed}));
    EXPECT_EQ(events[1].changed, (QStringList{"address", "description"}));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.IgnoredAnswers(), 2);
    EXPECT_EQ(list.UnlistedEstimate(), 2);
    EXPECT_EQ(list.Latest("b")->address, "10.77.0.9");
    EXPECT_EQ(list.Latest("c"), nullptr);
    ASSERT_EQ(list.Devices().size(), 2u);
    EXPECT_EQ(list.Devices()[0].serialNo, "B"); // ordered by serial number

    // Silent once after the threshold, back when heard again.
    events.clear();
    list.MarkSilent(999, &events); // "B" last heard at 0: 999 ms is not yet silent
    EXPECT_TRUE(events.empty());
    list.MarkSilent(1000, &events);
    list.MarkSilent(5000, &events);
    ASSERT_EQ(Kinds(events), (std::vector<DeviceEvent::Kind>{DeviceEvent::Silent, DeviceEvent::Silent}));
    EXPECT_EQ(events[0].device.serialNo, "B");
    EXPECT_EQ(events[1].lastHeardMs, 300);
    EXPECT_TRUE(list.SerialSilent("b"));
    events.clear();
    EXPECT_TRUE(list.Note(Device("B"), via, 6000, 0, &events).back);
    EXPECT_EQ(Kinds(events), (std::vector<DeviceEvent::Kind>{DeviceEvent::Back}));

    // TakeAll hands everything over (to be freed elsewhere) and leaves an empty list
    // with the same bound.
    const DeviceList taken = list.TakeAll();
    EXPECT_EQ(taken.Count(), 2);
    EXPECT_TRUE(taken.Overflowed());
    EXPECT_EQ(taken.Latest("b")->address, "10.77.0.9");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Overflowed());
    EXPECT_EQ(list.Latest("b"), nullptr);
    EXPECT_FALSE(list.SerialSilent("b")) << "no silence left behind";
    list.Note(Device("X"), via, 7000, 0);
    list.Note(Device("Y", "10.77.0.3", "02:00:00:00:00:02"), via, 7000, 0);
    EXPECT_EQ(list.Note(Device("Z", "10.77.0.4", "02:00:00:00:00:03"), via, 7000, 0).outcome,
              DeviceList::Heard::Refused);

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Overflowed());
}

TEST(DeviceList, DevicesSharingASerialOrAnAddressAreConflicts)
{
    DeviceList list;
    const InterfaceAddress via = Local("10.77.0.1");
    list.Note(Device("S1", "10.77.0.2", "02:00:00:00:00:01"), via, 0, 0);
    // The same device with its MAC in other letters: still one device.
    EXPECT_EQ(list.Note(Device("S1", "10.77.0.2", "02:00:00:00:00:0a"), via, 0, 0).outcome,
              DeviceList::Heard::Added);
    EXPECT_EQ(list.Note(Device("S1", "10.77.0.2", "02:00:00:00:00:0A"), via, 0, 0).outcome,
              DeviceList::Heard::Updated);
    ASSERT_EQ(list.WithSerial("S1").size(), 2u);
    EXPECT_NE(list.Find("S1", "02:00:00:00:00:0a"), nullptr);
    const DeviceConflicts serial = list.SerialConflicts("S1");
    EXPECT_EQ(serial.sameSerial, (QStringList{"10.77.0.2 02:00:00:00:00:01", "10.77.0.2 02:00:00:00:00:0A"}));
    EXPECT_TRUE(serial.sameAddress.isEmpty()); // one serial on that address, however many devices

    // A second serial on the address marks both; moving away clears both marks.
    const DeviceList::Heard clash = list.Note(Device("S2", "10.77.0.2", "02:00:00:00:00:02"), via, 0, 0);
    EXPECT_EQ(QSet<QString>(clash.conflictsChanged.begin(), clash.conflictsChanged.end()),
              (QSet<QString>{"S1", "S2"}));
    EXPECT_EQ(list.Conflicts(*list.Latest("S2")).sameAddress, QStringList{"S1"});
    EXPECT_TRUE(list.Conflicts(*list.Latest("S2")).sameSerial.isEmpty());
    // With a bound, the rest are counted (a third device with S1 makes two others).
    list.Note(Device("S1", "10.77.0.2", "02:00:00:00:00:0c"), via, 0, 0);
    const DeviceConflicts some = list.Conflicts(*list.Find("S1", "02:00:00:00:00:01"), 1);
    EXPECT_EQ(some.sameSerial.size() + some.moreSameSerial, 2);
    EXPECT_EQ(some.moreSameSerial, 1);
    EXPECT_EQ(some.sameAddress, QStringList{"S2"});
    EXPECT_EQ(some.moreSameAddress, 0);
    const DeviceList::Heard apart = list.Note(Device("S2", "10.77.0.3", "02:00:00:00:00:02"), via, 0, 0);
    EXPECT_EQ(QSet<QString>(apart.conflictsChanged.begin(), apart.conflictsChanged.end()),
              (QSet<QString>{"S1", "S2"}));
    EXPECT_FALSE(list.Conflicts(*list.Latest("S2")).Any());

    list.ForgetSerial("S1");
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.SerialConflicts("S1").sameSerial, QStringList{});
}

// Commands to a device whose address another device announces go by exact delivery:
// the copies the list gives out say so, and say it no longer once it moved away.
TEST(DeviceList, CopiesTellWhetherAnotherDeviceSharesTheAddress)
{
    DeviceList list;
    const InterfaceAddress via = Local("10.77.0.1");
    list.Note(Device("S1", "10.77.0.10", "02:00:00:00:00:01"), via, 0, 0);
    list.Note(Device("S3", "10.77.0.11", "02:00:00:00:00:03"), via, 0, 0);
    EXPECT_FALSE(list.WithSerial("S1").front().sharedAddress);
    list.Note(Device("S2", "10.77.0.10", "02:00:00:00:00:02"), via, 0, 0);
    HeardDevice resolved;
    ASSERT_EQ(list.Resolve("S1", QString(), &resolved), DeviceList::Target::Found);
    EXPECT_TRUE(resolved.sharedAddress);
    EXPECT_TRUE(list.WithSerial("S2").front().sharedAddress);
    const std::vector<HeardDevice> all = list.Devices();
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const HeardDevice &d) { return d.sharedAddress; }), 2);
    EXPECT_EQ(list.AtAddress("10.77.0.10").size(), 2u);

    list.Note(Device("S2", "10.77.0.20", "02:00:00:00:00:02"), via, 0, 0);
    EXPECT_FALSE(list.WithSerial("S1").front().sharedAddress);
    ASSERT_EQ(list.AtAddress("10.77.0.20").size(), 1u);
    EXPECT_EQ(list.AtAddress("10.77.0.20").front().serialNo, "S2");
    EXPECT_TRUE(list.AtAddress("10.77.0.99").empty());
}

TEST(DeviceList, ADeviceOutsideEverySubnetOfItsInterfaceIsForeign)
{
    DeviceList list;
    // Only the hearing address known: its own subnet decides.
    list.Note(Device("near", "10.77.0.7"), Local("10.77.0.1"), 0, 0);
    list.Note(Device("far", "10.77.1.5"), Local("10.77.0.1"), 0, 0);
    EXPECT_FALSE(list.Latest("near")->foreignSubnet);
    EXPECT_TRUE(list.Latest("far")->foreignSubnet);
    EXPECT_EQ(list.Latest("far")->interfaceName, "brw0");
    EXPECT_EQ(list.Latest("far")->localAddress, "10.77.0.1");

    // Every subnet of the interface counts, not only the hearing address's; another
    // interface's subnet does not.
    list.SetLocalSubnets({Local("10.77.0.1"), Local("10.77.1.1", "brw0", "255.255.255.0"),
                          Local("10.77.2.1", "other")});
    list.Note(Device("far", "10.77.1.5"), Local("10.77.0.1"), 0, 0);
    list.Note(Device("elsewhere", "10.77.2.5"), Local("10.77.0.1"), 0, 0);
    EXPECT_FALSE(list.Latest("far")->foreignSubnet);
    EXPECT_TRUE(list.Latest("elsewhere")->foreignSubnet);
    EXPECT_TRUE(InLocalSubnet({Local("10.77.2.1", "other")}, "other", "10.77.2.200"));
    EXPECT_FALSE(InLocalSubnet({Local("10.77.2.1", "other")}, "other", "10.77.2.x"));

    // A device heard on two addresses keeps the hearing that has a route to it.
    list.Note(Device("elsewhere", "10.77.2.5"), Local("10.77.2.1", "other"), 0, 0);
    list.Note(Device("elsewhere", "10.77.2.5"), Local("10.77.0.1"), 0, 0);
    EXPECT_FALSE(list.Latest("elsewhere")->foreignSubnet);
    EXPECT_EQ(list.Latest("elsewhere")->interfaceName, "other");

    // The subnets stay with a list whose devices were taken.
    list.TakeAll();
    list.Note(Device("elsewhere", "10.77.2.5"), Local("10.77.0.1"), 0, 0);
    EXPECT_TRUE(list.Latest("elsewhere")->foreignSubnet);
}

} // namespace

namespace {

DeviceRecord From(DeviceRecord record, const QString &source)
{
    record.source = AnswerOrigin{source, 8000};
    return record;
}

} // namespace

TEST(DeviceList, OneIdentityFromTwoSourcesIsAConflictThatOnlyAPinnedSourceResolves)
{
    DeviceList list;
    const InterfaceAddress via = Local("10.77.0.1");
    const DeviceRecord real = Device("S1", "10.77.0.2");
    // A host that announces the device's serial number and MAC from its own address.
    const DeviceRecord forged = Device("S1", "10.77.0.66");
    list.Note(From(real, "10.77.0.2"), via, 0, 0);
    HeardDevice device;
    EXPECT_EQ(list.Resolve("S1", "", &device), DeviceList::Target::Found);
    EXPECT_EQ(device.source.address, "10.77.0.2");
    EXPECT_FALSE(AnnouncedElsewhere(device));

    DeviceList::Heard heard = list.Note(From(forged, "10.77.0.66"), via, 100, 0);
    EXPECT_EQ(heard.conflictsChanged, QStringList{"S1"});
    EXPECT_TRUE(list.SerialHasConflict("S1"));
    EXPECT_EQ(list.Resolve("S1", "", &device), DeviceList::Target::IdentityConflict);
    // Both are listed, each with what its source announced.
    const std::vector<ListedDevice> listing = list.Listing();
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0].source.address, "10.77.0.2");
    EXPECT_EQ(listing[1].address, "10.77.0.66");
    EXPECT_EQ(listing[0].conflict, QStringList{"identity"});
    EXPECT_EQ(list.Conflicts(*list.Latest("S1")).sameIdentity, QStringList{QString::fromUtf8("10.77.0.2 \u2192 10.77.0.2")});

    // --at pins the source that announces itself; an address no source answers from,
    // or a source announcing another address than its own, pins nothing.
    EXPECT_EQ(list.Resolve("S1", "", &device, "10.77.0.2"), DeviceList::Target::Found);
    EXPECT_EQ(device.address, "10.77.0.2");
    EXPECT_EQ(list.Resolve("S1", "", &device, "10.77.0.9"), DeviceList::Target::IdentityConflict);
    list.Note(From(real, "10.77.0.66"), via, 200, 0); // the forger now claims the real address
    EXPECT_EQ(list.Resolve("S1", "", &device, "10.77.0.66"), DeviceList::Target::IdentityConflict);

    // The conflict lasts while both answer, and ends once one source has stayed quiet.
    list.Note(From(real, "10.77.0.2"), via, 5000, 0);
    list.Note(From(forged, "10.77.0.66"), via, 5100, 0);
    list.Note(From(real, "10.77.0.2"), via, 10000, 0);
    EXPECT_TRUE(list.SerialHasConflict("S1"));
    heard = list.Note(From(real, "10.77.0.2"), via, 15000, 0);
    EXPECT_EQ(heard.conflictsChanged, QStringList{"S1"});
    EXPECT_FALSE(list.SerialHasConflict("S1"));
    EXPECT_EQ(list.Resolve("S1", "", &device), DeviceList::Target::Found);
    EXPECT_EQ(list.Listing().size(), 1u);

    // A device that moves (its old source falls quiet for longer than a period) is
    // no conflict; an answer relayed from elsewhere is marked.
    list.Note(From(Device("S1", "10.77.0.3"), "10.77.0.3"), via, 21000, 0);
    EXPECT_FALSE(list.SerialHasConflict("S1"));
    list.Note(From(Device("S2", "10.77.0.4"), "10.77.0.5"), via, 21000, 0);
    EXPECT_TRUE(AnnouncedElsewhere(*list.Latest("S2")));

    // A flood of sources for one identity keeps at most kMaxIdentitySources.
    for (int i = 0; i < 3 * kMaxIdentitySources; ++i)
        list.Note(From(Device("S1", "10.77.0.3"), QStringLiteral("10.77.1.%1").arg(i)), via, 22000 + i, 0);
    EXPECT_EQ(static_cast<int>(list.BySource("S1", "02:00:00:00:00:01").size()), kMaxIdentitySources);
    list.ForgetSerial("S1");
    EXPECT_TRUE(list.BySource("S1", "02:00:00:00:00:01").empty());
}

// The identity table keeps a device's description once; every source's copy still
// carries the device's own bytes for it, so a request built from any source sends the
// description back as the device sent it.
TEST(DeviceList, EverySourceOfAnIdentityCarriesTheDevicesDescriptionBytes)
{
    DeviceList list;
    const InterfaceAddress via = Local("10.77.0.1");
    const QByteArray gbk("\xB4\xF3\xC3\xC5 2\xBA\xC5"); // "大门 2号" in GBK
    DeviceRecord read;
    ASSERT_TRUE(ReadDeviceRecord(QByteArray("{\"params\":{\"data\":[{\"description\":\"") + gbk + "\"}]}}", read));
    DeviceRecord real = Device("S1", "10.77.0.2");
    real.description = read.description;
    real.sent = read.sent;
    list.Note(From(real, "10.77.0.2"), via, 0, 0);
    list.Note(From(real, "10.77.0.66"), via, 100, 0);
    const std::vector<HeardDevice> sources = list.BySource("S1", real.mac);
    ASSERT_EQ(sources.size(), 2u);
    for (const HeardDevice &one : sources) {
        EXPECT_EQ(one.description, real.description);
        EXPECT_EQ(DeviceBytes(one, TextMember::Description), gbk);
    }
}
