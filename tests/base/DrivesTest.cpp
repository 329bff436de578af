#include "base/Drives.h"
#include "base/DriveReadAhead.h"
#include "base/Error.h"
#include "support/LoopVolume.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <optional>

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

// The machine's own mount table, with a volume mounted for the test: it is
// listed with a letter of its own, ready, and starts at its mount point;
// unmounted, it is gone.
TEST(Drives, SystemTableListsAVolumeMountedNow)
{
    if (const QString why = testsupport::LoopVolume::unavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    QTemporaryDir at;
    testsupport::LoopVolume volume("VARNELO_T1");
    ASSERT_TRUE(volume.mount(at.filePath("disc"))) << volume.error().toStdString();
    SystemDriveTable table;
    auto entryAt = [&](const QString& point) -> std::optional<DriveEntry> {
        for (const DriveEntry& d : table.drives())
            if (d.mountPoint == point)
                return d;
        return std::nullopt;
    };
    const std::optional<DriveEntry> listed = entryAt(volume.mountPoint());
    ASSERT_TRUE(listed) << "a mounted ext4 volume is missing from the drive list";
    EXPECT_GE(listed->designation, QString("D:"));
    EXPECT_TRUE(listed->text.startsWith(listed->designation + " ")) << listed->text.toStdString();
    EXPECT_TRUE(listed->text.contains(volume.mountPoint()));
    EXPECT_EQ(listed->device, volume.device());
    EXPECT_TRUE(table.isReady(listed->designation));
    EXPECT_EQ(table.startFolder(listed->designation), volume.mountPoint());

    ASSERT_TRUE(volume.unmount());
    EXPECT_FALSE(entryAt(at.filePath("disc")));
}

// The drive reads ahead in the given order, never more than its bound past
// what the import is done with, goes on as the import moves, and stops at once.
TEST(DriveReadAhead, StaysWithinItsBoundOfTheImport)
{
    QTemporaryDir media;
    QStringList paths;
    for (int i = 0; i < 10; ++i) {
        paths << media.filePath(QString("IM%1").arg(i));
        QFile f(paths.last());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(1 << 20, char('a' + i)));
    }
    paths << media.filePath("MISSING");  // passed over
    auto settledAt = [](DriveReadAhead& d) {
        std::int64_t last = -1;
        for (int i = 0; i < 200 && d.bytesRead() != last; ++i) {
            last = d.bytesRead();
            QThread::msleep(20);
        }
        return last;
    };
    DriveReadAhead drive(3 << 20);
    drive.start(paths);
    EXPECT_EQ(settledAt(drive), 3 << 20) << "three files ahead of an import that has taken none";
    // the import waits only for what has been read; beyond the bound nothing comes
    EXPECT_TRUE(drive.waitUntilRead(2, 0));
    EXPECT_FALSE(drive.waitUntilRead(3, 50));
    drive.consumed(2);
    EXPECT_TRUE(drive.waitUntilRead(3, 5000));
    EXPECT_EQ(settledAt(drive), 6 << 20) << "files 0 to 2 done: three more from file 3";
    drive.consumed(6);  // the import overtook the reader: file 6 is not read for it
    EXPECT_EQ(settledAt(drive), 9 << 20);
    EXPECT_LE(drive.mostAhead(), 3 << 20);
    drive.consumed(9);
    EXPECT_TRUE(drive.waitUntilRead(10, 5000)) << "a file that cannot be read is passed over, not waited for";
    EXPECT_TRUE(drive.waitUntilRead(-1, 0));
    drive.start(paths.mid(0, 2));  // a new folder: read from its start again
    EXPECT_EQ(settledAt(drive), 11 << 20);

    // of a file beyond the bound (16 GB of nothing, sparse) only its head is waited for
    const QString huge = media.filePath("HUGE");
    {
        QFile f(huge);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(16LL << 30));
    }
    drive.start({huge});
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(drive.waitUntilRead(0, 20000));
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_LT(drive.bytesRead(), (11LL << 20) + (4LL << 30));
    drive.stop();
}
