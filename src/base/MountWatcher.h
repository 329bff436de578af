#pragma once

#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace varnelo {

// Tells when the kernel's mount table changes: a medium mounted or unmounted
// by anyone. The kernel flags /proc/self/mountinfo as exceptional (POLLPRI)
// after each change, so nothing is polled on a timer.
class MountWatcher : public QObject {
    Q_OBJECT
public:
    explicit MountWatcher(QObject* parent = nullptr);
    ~MountWatcher() override;

    bool isWatching() const { return fd_ >= 0; }

signals:
    // Once per burst: a desktop mounting a disc changes the table several times.
    void changed();

private:
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer settle_;
};

}  // namespace varnelo
