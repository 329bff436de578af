#pragma once

#include <QList>
#include <QString>

#include <memory>

namespace varnelo {

// A drive as the drive selector shows it. Every entry's text holds its
// letter directly followed by ":", e.g. "D: PATIENT_CD (/media/cdrom0)".
struct DriveEntry {
    QString designation;  // "D:"
    QString text;
    QString mountPoint;  // empty for an optical drive without a disc
    QString device;      // "/dev/sr0", or the mounted file system's source
    bool optical = false;
};

// The machine's drives: "/" is C:, optical drives next (also empty ones) in
// device order, then the other mounted local volumes in mount-point order.
class DriveTable {
public:
    virtual ~DriveTable() = default;
    virtual QList<DriveEntry> drives() const = 0;

    // True when the drive's file system is mounted and readable. Throws
    // Error 68 when the designation names no drive.
    bool isReady(const QString& designation) const;
    // The folder an import from this drive starts in (its mount point).
    // Throws Error 68 when the designation names no drive.
    QString startFolder(const QString& designation) const;

protected:
    DriveEntry find(const QString& designation) const;
};

// Reads /proc/self/mounts and /sys/block on each call.
class SystemDriveTable : public DriveTable {
public:
    QList<DriveEntry> drives() const override;
};

// A fixed table, for tests and tools.
class FixedDriveTable : public DriveTable {
public:
    explicit FixedDriveTable(QList<DriveEntry> entries)
        : entries_(std::move(entries))
    {
    }
    QList<DriveEntry> drives() const override { return entries_; }
    void setEntries(QList<DriveEntry> entries) { entries_ = std::move(entries); }

private:
    QList<DriveEntry> entries_;
};

// The table the program uses; tests replace it.
DriveTable& driveTable();
void setDriveTable(std::shared_ptr<DriveTable> table);

}  // namespace varnelo
