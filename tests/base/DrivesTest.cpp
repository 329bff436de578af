#include "base/Drives.h"
#include "base/Error.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace varnelo;

TEST(Drives, ReadinessFollowsTheMount)
{
    QTemporaryDir media;
    FixedDriveTable table({{"C:", "C: (/)", "/", "/dev/vda", false},
                           {"D:", "D: (no disc) (/dev/sr0)", "", "/dev/sr0", true},
                           {"E:", "E: CD (" + media.path() + ")", media.path(), "/dev/sr1", true}});
    EXPECT_TRUE(table.isReady("C:"));
    EXPECT_FALSE(table.isReady("D:"));
    EXPECT_TRUE(table.isReady("e:"));
    EXPECT_EQ(table.startFolder("E:"), media.path());
    try {
        table.isReady("Q:");
        FAIL() << "a letter without a drive was accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), ErrNo::DeviceUnavailable);
    }
}

TEST(Drives, SystemTableStartsWithRootAsC)
{
    SystemDriveTable table;
    const QList<DriveEntry> drives = table.drives();
    ASSERT_FALSE(drives.isEmpty());
    EXPECT_EQ(drives.first().designation, "C:");
    EXPECT_EQ(drives.first().mountPoint, "/");
    EXPECT_TRUE(table.isReady("C:"));
    QStringList seen;
    for (const DriveEntry& d : drives) {
        // the launch takes the two characters before the first colon
        const qsizetype colon = d.text.indexOf(QLatin1Char(':'));
        ASSERT_GE(colon, 1) << d.text.toStdString();
        EXPECT_EQ(d.text.mid(colon - 1, 2), d.designation);
        EXPECT_FALSE(seen.contains(d.designation));
        seen << d.designation;
    }
}
