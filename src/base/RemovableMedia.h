#pragma once

#include "base/Drives.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <optional>

class QDBusMessage;

namespace varnelo {

// The bus UDisks2 is asked on: the system bus, unless a test set the address
// of a bus of its own ("-": no bus at all).
QDBusConnection mediaBus();
void setMediaBusForTesting(const QString& address);

// Removable media through UDisks2 (org.freedesktop.UDisks2): a disc or stick
// that nobody mounted is mounted read-only, without a password prompt, so
// that the mount table (and the drive selector) shows it; a medium is
// unmounted and ejected. Without UDisks2 on the bus the mount table alone
// serves, and eject() asks the kernel.
class RemovableMedia : public QObject {
    Q_OBJECT
public:
    explicit RemovableMedia(const QDBusConnection& bus, QObject* parent = nullptr);

    // UDisks2 answered on the bus.
    bool hasUDisks2() const { return present_; }

    // Unmounts the drive's medium and ejects it. "" when done, else why
    // not, in words for the operator.
    QString eject(const DriveEntry& drive);

signals:
    // A medium could not be mounted; the text is for the operator.
    void problem(const QString& text);
    // UDisks2 mounted a medium for the program.
    void mounted(const QString& mountPoint);
    // After each look at UDisks2's objects, answered or not.
    void scanned();

private slots:
    void objectsChanged(const QDBusMessage& message);

private:
    struct Volume {
        QString path;    // the block object
        QString device;  // "/dev/sr0"
        QString drive;   // the drive object; "/" for none
        QString label;
        QStringList mountPoints;
        bool ignore = false;
    };
    struct Drive {
        bool removable = false;
        bool ejectable = false;
    };

    void rescan();
    void take(const QDBusMessage& reply);
    void mount(const Volume& volume);
    std::optional<Volume> volumeOf(const DriveEntry& drive) const;
    QString kernelEject(const DriveEntry& drive) const;

    QDBusConnection bus_;
    bool present_ = false;
    QTimer rescan_;
    QHash<QString, Volume> volumes_;
    QHash<QString, Drive> drives_;
    // Volumes mounted, or tried once, while their medium stays in: one the
    // operator unmounts is not mounted again behind their back.
    QSet<QString> tried_;
};

}  // namespace varnelo
