// The count of devices left out of a full table: exact for the few a real overflow
// brings, close for a flood, and nothing counted twice.
#include <gtest/gtest.h>

#include <cmath>

#include "device/UnlistedDevices.h"

namespace {

TEST(UnlistedDevicesTest, CountsDistinctSerialsExactlyWhenFewAndCloselyWhenFlooded)
{
    UnlistedDevices unlisted;
    EXPECT_FALSE(unlisted.Any());
    EXPECT_EQ(unlisted.Estimate(), 0);
    for (int repeat = 0; repeat < 3; ++repeat) {
        for (int i = 0; i < 50; ++i)
            unlisted.Note(QString("SN%1").arg(i));
    }
    EXPECT_TRUE(unlisted.Any());
    EXPECT_EQ(unlisted.Estimate(), 50);

    for (int i = 50; i < 200000; ++i)
        unlisted.Note(QString("FORGED%1").arg(i));
    EXPECT_NEAR(static_cast<double>(unlisted.Estimate()), 200000.0, 2000.0);

    unlisted.Clear();
    EXPECT_FALSE(unlisted.Any());
    unlisted.Note("again");
    EXPECT_EQ(unlisted.Estimate(), 1);
}

} // namespace
