#pragma once

// A volume mounted for a test: an ext4 file system in an image file on a
// loop device, the way a disc or a stick appears in the mount table. Needs
// root and loop devices; unavailable() says why a machine does not allow it.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

#include <unistd.h>

namespace varnelo::testsupport {

class LoopVolume {
public:
    // "" when volumes can be mounted here, else why not.
    static QString unavailable()
    {
        static const QString why = [] {
            if (::geteuid() != 0)
                return QStringLiteral("mounting a loop device needs root");
            if (!QFile::exists(QStringLiteral("/dev/loop-control")))
                return QStringLiteral("no loop devices (/dev/loop-control)");
            if (tool(QStringLiteral("mkfs.ext4")).isEmpty())
                return QStringLiteral("mkfs.ext4 is not installed (e2fsprogs)");
            LoopVolume probe(QStringLiteral("PROBE"));
            QTemporaryDir at;
            if (!probe.mount(at.path()))
                return QStringLiteral("mount -o loop is not allowed here: ") + probe.error();
            probe.unmount();
            return QString();
        }();
        return why;
    }

    explicit LoopVolume(const QString& label, int megabytes = 16)
    {
        image_ = dir_.filePath(QStringLiteral("volume.img"));
        QFile f(image_);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(megabytes) << 20)) {
            error_ = QStringLiteral("cannot make the image file");
            return;
        }
        f.close();
        made_ = run(tool(QStringLiteral("mkfs.ext4")), {QStringLiteral("-q"), QStringLiteral("-L"), label, image_});
    }
    ~LoopVolume() { detach(); }
    LoopVolume(const LoopVolume&) = delete;
    LoopVolume& operator=(const LoopVolume&) = delete;

    // Puts the image on a loop device of its own, unmounted: a disc in its drive.
    bool attach()
    {
        return made_ && (!device_.isEmpty() || run(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), image_}, &device_));
    }
    // Mounts the volume at `at` (made when missing).
    bool mount(const QString& at, bool readOnly = false)
    {
        if (!attach())
            return false;
        QDir().mkpath(at);
        QStringList args;
        if (readOnly)
            args << QStringLiteral("-o") << QStringLiteral("ro");
        if (!run(QStringLiteral("mount"), args << device_ << at))
            return false;
        at_ = QDir(at).canonicalPath();
        return true;
    }
    // Unmounts it; the loop device stays, as a drive keeps its disc.
    bool unmount()
    {
        bool ok = true;
        if (!at_.isEmpty())
            ok = run(QStringLiteral("umount"), {at_}) || run(QStringLiteral("umount"), {QStringLiteral("-l"), at_});
        at_.clear();
        return ok;
    }
    // Lets go of the loop device too (unmounted first).
    // Mounts of it made by others (the UDisks2 stand-in) go too, so that a
    // failed test leaves nothing mounted.
    void detach()
    {
        unmount();
        QFile mounts(QStringLiteral("/proc/self/mounts"));
        if (!device_.isEmpty() && mounts.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : mounts.readAll().split('\n')) {
                const QList<QByteArray> fields = line.split(' ');
                if (fields.size() > 1 && QString::fromLocal8Bit(fields[0]) == device_)
                    run(QStringLiteral("umount"), {QStringLiteral("-l"), QString::fromLocal8Bit(fields[1])});
            }
        }
        if (!device_.isEmpty())
            run(QStringLiteral("losetup"), {QStringLiteral("-d"), device_});
        device_.clear();
    }

    QString device() const { return device_; }  // "/dev/loop3" while attached
    QString mountPoint() const { return at_; }
    QString error() const { return error_; }

    static QString tool(const QString& name)
    {
        const QString found = QStandardPaths::findExecutable(name);
        return found.isEmpty() ? QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")}) : found;
    }

private:
    bool run(const QString& program, const QStringList& args, QString* out = nullptr)
    {
        QProcess p;
        p.start(program, args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            error_ = program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QStringLiteral(": ") +
                QString::fromLocal8Bit(p.readAllStandardError()).trimmed() + p.errorString();
            return false;
        }
        if (out)
            *out = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        return true;
    }

    QTemporaryDir dir_;
    QString image_;
    QString device_;
    QString at_;
    QString error_;
    bool made_ = false;
};

}  // namespace varnelo::testsupport
