#include "device/DeviceList.h"
#include "device/KeyedText.h"

#include <gtest/gtest.h>

#include <QSet>

namespace {

// 2^bits serial numbers that Qt 5's qHash(QString, seed) gives one value for every
// seed: two 8-character blocks that collide from any state, chained.
QStringList CollidingSerials(int bits)
{
    QStringList serials;
    for (int n = 0; n < (1 << bits); ++n) {
        QString serial;
        for (int b = 0; b < bits; ++b)
            serial += (n >> b) & 1 ? QStringLiteral("F9IT5YIR") : QStringLiteral("0QNI285Q");
        serials << serial;
    }
    return serials;
}

} // namespace

TEST(KeyedText, KeysThatCollideInQtHashSpreadOut)
{
    const QStringList serials = CollidingSerials(8);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 hashes a seeded QString with SipHash (or AES), where these keys do not
    // collide; the keyed hash below must spread them out under either version.
    for (uint seed : {1u, 12345u}) // nonzero, as QHash seeds itself
        for (const QString &serial : serials)
            ASSERT_EQ(qHash(serial, seed), qHash(serials[0], seed)) << "the keys no longer collide in qHash";
#endif
    QSet<KeyedText::HashValue> hashes;
    for (const QString &serial : serials)
        hashes.insert(qHash(KeyedText(serial)));
    // 256 keys in 2^32 values: a coincidence or two at most, never one bucket.
    EXPECT_GE(hashes.size(), serials.size() - 2);

    KeyedTextHash<int> table;
    for (int i = 0; i < serials.size(); ++i)
        table[serials[i]] = i;
    EXPECT_EQ(table.value(serials[77]), 77);
    EXPECT_EQ(KeyedTextKeys(table).size(), serials.size());
}

TEST(KeyedText, DeviceListHoldsCollidingSerialsApart)
{
    DeviceList list;
    InterfaceAddress heardOn;
    heardOn.address = "10.77.0.1";
    heardOn.device = "brw0";
    const QStringList serials = CollidingSerials(6);
    for (int i = 0; i < serials.size(); ++i) {
        DeviceRecord record;
        record.serialNo = serials[i];
        record.mac = QStringLiteral("00:11:22:33:44:%1").arg(i, 2, 16, QLatin1Char('0'));
        record.address = QStringLiteral("10.77.0.%1").arg(i + 2);
        list.Note(record, heardOn, 1, 1);
    }
    EXPECT_EQ(list.Count(), serials.size());
    ASSERT_NE(list.Find(serials[5], QStringLiteral("00:11:22:33:44:05")), nullptr);
    EXPECT_EQ(list.WithSerial(serials[9]).size(), 1u);
    EXPECT_FALSE(list.SerialHasConflict(serials[9]));
}

TEST(KeyedText, ConflictNamingStopsAtTheBoundAndCountsTheRest)
{
    // 200 devices answer with serial S and 200 other serials from S's address.
    DeviceList list;
    InterfaceAddress heardOn;
    heardOn.address = "10.77.0.1";
    heardOn.device = "brw0";
    auto record = [](const QString &serial, int n) {
        DeviceRecord r;
        r.serialNo = serial;
        r.mac = QStringLiteral("02:00:00:00:%1:%2").arg(n / 256, 2, 16, QLatin1Char('0')).arg(n % 256, 2, 16, QLatin1Char('0'));
        r.address = QStringLiteral("10.77.0.9");
        return r;
    };
    for (int i = 0; i < 200; ++i) {
        list.Note(record(QStringLiteral("S"), i), heardOn, 1, 1);
        list.Note(record(QStringLiteral("T%1").arg(i), 1000 + i), heardOn, 1, 1);
    }
    const DeviceConflicts row = list.SerialConflicts(QStringLiteral("S"), 8);
    EXPECT_EQ(row.sameSerial.size(), 8);
    EXPECT_EQ(row.moreSameSerial, 192);
    EXPECT_EQ(row.sameAddress.size(), 8);
    EXPECT_EQ(row.moreSameAddress, 192);
    EXPECT_FALSE(row.sameAddress.contains(QStringLiteral("S")));
    EXPECT_EQ(list.WithSerial(QStringLiteral("S"), kMaxConflictNames).size(), size_t(kMaxConflictNames));
    EXPECT_EQ(list.CountWithSerial(QStringLiteral("S")), 200);
    const DeviceConflicts one = list.Conflicts(*list.Latest(QStringLiteral("T5")));
    EXPECT_EQ(one.sameAddress.size(), kMaxConflictNames);
    EXPECT_EQ(one.sameAddress.size() + one.moreSameAddress, 200); // S and 199 other T
}
