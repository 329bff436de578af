#include "base/RemovableMedia.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <linux/cdrom.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace varnelo {

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");

constexpr int kAskMs = 5000;     // UDisks2 answers from memory
constexpr int kMountMs = 60000;  // a disc spins up first
constexpr int kEjectMs = 30000;

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

QString& testAddress()
{
    static QString address;
    return address;
}

// "ay" of UDisks2: a path with its terminating NUL.
QString bytesText(QByteArray bytes)
{
    if (bytes.endsWith('\0'))
        bytes.chop(1);
    return QString::fromLocal8Bit(bytes);
}

QStringList mountPointsOf(const QVariant& value)
{
    QList<QByteArray> list;
    if (value.canConvert<QDBusArgument>())
        value.value<QDBusArgument>() >> list;
    QStringList out;
    for (const QByteArray& b : list)
        out << bytesText(b);
    return out;
}

QString canonical(const QString& path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

QVariantMap noPrompt()
{
    return {{QStringLiteral("auth.no_user_interaction"), true}};
}

// What UDisks2 refused, as the operator can act on it.
QString inWords(const QDBusError& error, const QString& what, bool mounting)
{
    const QString name = error.name();
    if (name == QLatin1String("org.freedesktop.UDisks2.Error.DeviceBusy"))
        return mounting ? RemovableMedia::tr("%1 is busy: another program is using it, so it was not opened.").arg(what)
                        : RemovableMedia::tr("%1 is busy: a program still has files open on it. Close that program, then eject "
                             "the medium by hand.")
                              .arg(what);
    if (name.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")))
        return mounting ? RemovableMedia::tr("%1 was not opened: this user may not mount media here. Log in at the machine itself, "
                             "or ask the administrator to allow it (Varnelo's README, \"Drives\").")
                              .arg(what)
                        : RemovableMedia::tr("%1 was not ejected: this user may not eject media here. Log in at the machine itself, "
                             "or ask the administrator to allow it (Varnelo's README, \"Drives\").")
                              .arg(what);
    return (mounting ? RemovableMedia::tr("%1 could not be opened: %2") : RemovableMedia::tr("%1 could not be ejected: %2")).arg(what, error.message());
}

QString describe(const QString& label, const QString& device)
{
    return label.isEmpty() ? RemovableMedia::tr("The medium in %1").arg(device) : RemovableMedia::tr("The medium \"%1\" (%2)").arg(label, device);
}

// Only media a person takes out are ever unmounted by the kernel fallback:
// optical discs, removable block devices, disc images on loop devices.
bool isRemovableDevice(const QString& device)
{
    const QString name = QFileInfo(canonical(device)).fileName();
    if (name.startsWith(QLatin1String("loop")) || name.startsWith(QLatin1String("sr")))
        return true;
    const QString sys = canonical(QStringLiteral("/sys/class/block/") + name);
    for (const QString& file : {sys + QStringLiteral("/removable"), QFileInfo(sys).path() + QStringLiteral("/removable")}) {
        QFile f(file);
        // sysfs files report a size of a page: read what there is, not by size
        if (f.open(QIODevice::ReadOnly))
            return f.readAll().trimmed() == "1";
    }
    return false;
}

}  // namespace

QDBusConnection mediaBus()
{
    const QString& address = testAddress();
    if (address.isEmpty())
        return QDBusConnection::systemBus();
    if (address == QLatin1String("-"))
        return QDBusConnection(QStringLiteral("varnelo-no-bus"));
    return QDBusConnection::connectToBus(address, QStringLiteral("varnelo-media-") + QString::number(qHash(address)));
}

void setMediaBusForTesting(const QString& address)
{
    testAddress() = address;
}

RemovableMedia::RemovableMedia(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , bus_(bus)
{
    rescan_.setSingleShot(true);
    rescan_.setInterval(50);  // a medium arrives as several signals
    connect(&rescan_, &QTimer::timeout, this, &RemovableMedia::rescan);
    if (!bus_.isConnected()) {
        QTimer::singleShot(0, this, &RemovableMedia::scanned);
        return;
    }
    bus_.connect(kService, kRoot, kObjectManager, QStringLiteral("InterfacesAdded"), this, SLOT(objectsChanged(QDBusMessage)));
    bus_.connect(kService, kRoot, kObjectManager, QStringLiteral("InterfacesRemoved"), this, SLOT(objectsChanged(QDBusMessage)));
    // any object of UDisks2: a drive's medium, a file system's mount points
    bus_.connect(kService, QString(), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
                 this, SLOT(objectsChanged(QDBusMessage)));
    // UDisks2 started (or restarted) after the program
    auto* watcher = new QDBusServiceWatcher(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { rescan_.start(); });
    rescan();
}

void RemovableMedia::objectsChanged(const QDBusMessage&)
{
    rescan_.start();
}

void RemovableMedia::rescan()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kRoot, kObjectManager, QStringLiteral("GetManagedObjects"));
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, kAskMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending] {
        pending->deleteLater();
        take(pending->reply());
        emit scanned();
    });
}

void RemovableMedia::take(const QDBusMessage& reply)
{
    volumes_.clear();
    drives_.clear();
    // No UDisks2 (not installed, not allowed): the mount table serves alone.
    present_ = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
    if (!present_)
        return;
    ManagedObjects objects;
    reply.arguments().constFirst().value<QDBusArgument>() >> objects;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        const Interfaces& ifaces = it.value();
        if (ifaces.contains(kDrive)) {
            const QVariantMap& p = ifaces[kDrive];
            Drive d;
            d.removable = p.value(QStringLiteral("Removable")).toBool() || p.value(QStringLiteral("MediaRemovable")).toBool() ||
                p.value(QStringLiteral("Optical")).toBool();
            d.ejectable = p.value(QStringLiteral("Ejectable")).toBool();
            drives_.insert(it.key().path(), d);
        }
        if (ifaces.contains(kBlock) && ifaces.contains(kFilesystem)) {
            const QVariantMap& b = ifaces[kBlock];
            Volume v;
            v.path = it.key().path();
            v.device = bytesText(b.value(QStringLiteral("Device")).toByteArray());
            v.drive = qvariant_cast<QDBusObjectPath>(b.value(QStringLiteral("Drive"))).path();
            v.label = b.value(QStringLiteral("IdLabel")).toString();
            v.ignore = b.value(QStringLiteral("HintIgnore")).toBool();
            v.mountPoints = mountPointsOf(ifaces[kFilesystem].value(QStringLiteral("MountPoints")));
            volumes_.insert(v.path, v);
        }
    }
    // a medium taken out (its file system gone) may be mounted when it comes back
    for (auto it = tried_.begin(); it != tried_.end();)
        it = volumes_.contains(*it) ? std::next(it) : tried_.erase(it);
    for (const Volume& v : std::as_const(volumes_)) {
        if (tried_.contains(v.path))
            continue;
        if (!v.mountPoints.isEmpty()) {
            tried_.insert(v.path);  // the desktop mounted it
            continue;
        }
        if (v.ignore || !drives_.value(v.drive).removable)
            continue;
        tried_.insert(v.path);
        mount(v);
    }
}

void RemovableMedia::mount(const Volume& v)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, v.path, kFilesystem, QStringLiteral("Mount"));
    QVariantMap options = noPrompt();
    options.insert(QStringLiteral("options"), QStringLiteral("ro"));
    call << options;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, kMountMs), this);
    const QString what = describe(v.label, v.device);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, what] {
        pending->deleteLater();
        const QDBusMessage reply = pending->reply();
        if (reply.type() == QDBusMessage::ReplyMessage) {
            emit mounted(reply.arguments().value(0).toString());
            return;
        }
        const QDBusError error(reply);
        // the desktop was quicker: the mount table shows it all the same
        if (error.name() != QLatin1String("org.freedesktop.UDisks2.Error.AlreadyMounted"))
            emit problem(inWords(error, what, true));
    });
}

std::optional<RemovableMedia::Volume> RemovableMedia::volumeOf(const DriveEntry& d) const
{
    for (const Volume& v : volumes_) {
        if (!d.mountPoint.isEmpty() && v.mountPoints.contains(d.mountPoint))
            return v;
    }
    for (const Volume& v : volumes_) {
        if (!d.device.isEmpty() && canonical(v.device) == canonical(d.device))
            return v;
    }
    return std::nullopt;
}

QString RemovableMedia::eject(const DriveEntry& d)
{
    if (d.mountPoint == QLatin1String("/"))
        return RemovableMedia::tr("The system's own volume (%1) is never ejected.").arg(d.designation);
    if (present_) {
        // what UDisks2 knows now, not at the last signal
        const QDBusMessage ask = QDBusMessage::createMethodCall(kService, kRoot, kObjectManager, QStringLiteral("GetManagedObjects"));
        take(bus_.call(ask, QDBus::Block, kAskMs));
    }
    if (!present_)
        return kernelEject(d);
    const std::optional<Volume> v = volumeOf(d);
    if (!v)
        return kernelEject(d);
    const QString what = describe(v->label, v->device);
    const Drive drive = drives_.value(v->drive);
    if (!drive.removable)
        return RemovableMedia::tr("%1 is not a removable medium: it stays mounted.").arg(what);
    if (!v->mountPoints.isEmpty()) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, v->path, kFilesystem, QStringLiteral("Unmount"));
        call << noPrompt();
        const QDBusMessage reply = bus_.call(call, QDBus::Block, kEjectMs);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return inWords(QDBusError(reply), what, false);
    }
    if (drive.ejectable) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, v->drive, kDrive, QStringLiteral("Eject"));
        call << noPrompt();
        const QDBusMessage reply = bus_.call(call, QDBus::Block, kEjectMs);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return inWords(QDBusError(reply), what, false);
    }
    return QString();
}

QString RemovableMedia::kernelEject(const DriveEntry& d) const
{
    const QString what = describe(QString(), d.device.isEmpty() ? d.mountPoint : d.device);
    if (!d.optical && !isRemovableDevice(d.device))
        return RemovableMedia::tr("%1 is not a removable medium: it stays mounted.").arg(what);
    if (!d.mountPoint.isEmpty() && ::umount2(QFile::encodeName(d.mountPoint).constData(), 0) != 0) {
        const int err = errno;
        if (err == EBUSY)
            return RemovableMedia::tr("%1 is busy: a program still has files open on it. Close that program, then eject the medium "
                      "by hand.")
                .arg(what);
        // a mount the user may undo (fstab "user"): umount(8) is allowed to
        QProcess umount;
        umount.start(QStringLiteral("umount"), {d.mountPoint});
        if (!umount.waitForFinished(kEjectMs) || umount.exitStatus() != QProcess::NormalExit || umount.exitCode() != 0) {
            const QString why = QString::fromLocal8Bit(umount.readAllStandardError()).trimmed();
            return RemovableMedia::tr("%1 could not be unmounted: %2").arg(what, why.isEmpty() ? QString::fromLocal8Bit(std::strerror(err)) : why);
        }
    }
    if (!d.optical)
        return QString();
    const int fd = ::open(QFile::encodeName(d.device).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::ioctl(fd, CDROMEJECT, 0) != 0) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        return RemovableMedia::tr("%1 could not be ejected: %2").arg(what, QString::fromLocal8Bit(std::strerror(err)));
    }
    ::close(fd);
    return QString();
}

}  // namespace varnelo
