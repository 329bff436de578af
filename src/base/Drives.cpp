#include "base/Drives.h"

#include "base/Error.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>

#include <algorithm>

namespace varnelo {

namespace {

std::shared_ptr<DriveTable>& tableSlot()
{
    static std::shared_ptr<DriveTable> table = std::make_shared<SystemDriveTable>();
    return table;
}

struct Mount {
    QString source;
    QString point;
    QString type;
};

// /proc/self/mounts escapes blanks and a few others as octal (\040).
QString unescapeMountField(const QByteArray& field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int c = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out += static_cast<char>(c);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return QString::fromLocal8Bit(out);
}

QList<Mount> readMounts()
{
    QList<Mount> mounts;
    QFile f(QStringLiteral("/proc/self/mounts"));
    if (!f.open(QIODevice::ReadOnly))
        return mounts;
    // A file of /proc has no size: atEnd() is true before the first line.
    // readAll() reads until the kernel has nothing more to give.
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() < 3)
            continue;
        mounts.append({unescapeMountField(parts[0]), unescapeMountField(parts[1]), QString::fromLatin1(parts[2])});
    }
    return mounts;
}

bool isLocalFileSystem(const Mount& m)
{
    static const QSet<QString> types = {
        QStringLiteral("ext2"), QStringLiteral("ext3"), QStringLiteral("ext4"), QStringLiteral("xfs"),
        QStringLiteral("btrfs"), QStringLiteral("vfat"), QStringLiteral("exfat"), QStringLiteral("ntfs"),
        QStringLiteral("ntfs3"), QStringLiteral("fuseblk"), QStringLiteral("iso9660"), QStringLiteral("udf"),
        QStringLiteral("f2fs"), QStringLiteral("hfsplus"), QStringLiteral("jfs"), QStringLiteral("reiserfs"),
        QStringLiteral("msdos"), QStringLiteral("zfs")};
    return m.source.startsWith(QLatin1String("/dev/")) && types.contains(m.type);
}

QString canonicalDevice(const QString& path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

// Volume labels by device, from /dev/disk/by-label.
QMap<QString, QString> labels()
{
    QMap<QString, QString> out;
    QDir dir(QStringLiteral("/dev/disk/by-label"));
    for (const QFileInfo& link : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        QString name = link.fileName();
        name.replace(QLatin1String("\\x20"), QLatin1String(" "));
        out.insert(canonicalDevice(link.absoluteFilePath()), name);
    }
    return out;
}

QString entryText(const QString& designation, const QString& label, const QString& where)
{
    QString text = designation;
    if (!label.isEmpty())
        text += QLatin1Char(' ') + label;
    text += QStringLiteral(" (") + where + QLatin1Char(')');
    return text;
}

}  // namespace

DriveEntry DriveTable::find(const QString& designation) const
{
    const QString wanted = designation.trimmed().toUpper();
    for (const DriveEntry& d : drives()) {
        if (d.designation.toUpper() == wanted)
            return d;
    }
    throw Error(ErrNo::DeviceUnavailable, QStringLiteral("Device unavailable: no drive %1").arg(designation));
}

bool DriveTable::isReady(const QString& designation) const
{
    const DriveEntry d = find(designation);
    if (d.mountPoint.isEmpty())
        return false;
    const QFileInfo info(d.mountPoint);
    return info.isDir() && info.isReadable() && QDir(d.mountPoint).isReadable();
}

QString DriveTable::startFolder(const QString& designation) const
{
    return find(designation).mountPoint;
}

QList<DriveEntry> SystemDriveTable::drives() const
{
    const QList<Mount> mounts = readMounts();
    const QMap<QString, QString> volumeLabels = labels();
    QList<DriveEntry> out;
    char letter = 'C';

    DriveEntry root;
    root.designation = QStringLiteral("C:");
    root.mountPoint = QStringLiteral("/");
    for (const Mount& m : mounts) {
        if (m.point == QLatin1String("/"))
            root.device = m.source;
    }
    root.text = entryText(root.designation, volumeLabels.value(canonicalDevice(root.device)), QStringLiteral("/"));
    out.append(root);
    ++letter;

    // Optical drives, also those without a disc, in device order.
    QStringList optical;
    for (const QString& name : QDir(QStringLiteral("/sys/block")).entryList({QStringLiteral("sr*")}, QDir::AllEntries | QDir::System))
        optical.append(QStringLiteral("/dev/") + name);
    std::sort(optical.begin(), optical.end(), [](const QString& a, const QString& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    QSet<QString> used {QStringLiteral("/")};
    for (const QString& dev : optical) {
        if (letter > 'Z')
            break;
        DriveEntry d;
        d.designation = QString(QLatin1Char(letter++)) + QLatin1Char(':');
        d.device = dev;
        d.optical = true;
        for (const Mount& m : mounts) {
            if (canonicalDevice(m.source) == canonicalDevice(dev)) {
                d.mountPoint = m.point;
                break;
            }
        }
        if (!d.mountPoint.isEmpty())
            used.insert(d.mountPoint);
        d.text = d.mountPoint.isEmpty()
            ? entryText(d.designation, QCoreApplication::translate("Drives", "(no disc)"), dev)
            : entryText(d.designation, volumeLabels.value(canonicalDevice(dev)), d.mountPoint);
        out.append(d);
    }

    // The other mounted local volumes, in mount-point order.
    QList<Mount> others;
    for (const Mount& m : mounts) {
        if (!used.contains(m.point) && isLocalFileSystem(m))
            others.append(m);
    }
    std::sort(others.begin(), others.end(), [](const Mount& a, const Mount& b) { return a.point < b.point; });
    for (const Mount& m : others) {
        if (letter > 'Z')
            break;
        if (used.contains(m.point))
            continue;
        used.insert(m.point);
        DriveEntry d;
        d.designation = QString(QLatin1Char(letter++)) + QLatin1Char(':');
        d.device = m.source;
        d.mountPoint = m.point;
        d.text = entryText(d.designation, volumeLabels.value(canonicalDevice(m.source)), m.point);
        out.append(d);
    }
    return out;
}

DriveTable& driveTable()
{
    return *tableSlot();
}

void setDriveTable(std::shared_ptr<DriveTable> table)
{
    tableSlot() = table ? std::move(table) : std::make_shared<SystemDriveTable>();
}

}  // namespace varnelo
