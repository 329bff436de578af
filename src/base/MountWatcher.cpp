#include "base/MountWatcher.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

namespace varnelo {

namespace {
constexpr int kSettleMs = 150;
}

MountWatcher::MountWatcher(QObject* parent)
    : QObject(parent)
{
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &MountWatcher::changed);
    fd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        return;  // no /proc: the list stays as it was read
    // The file is always readable; only the exception condition means news.
    // Each poll() that reports it also clears it, so the notifier does not spin.
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Exception, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { settle_.start(); });
}

MountWatcher::~MountWatcher()
{
    delete notifier_;
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace varnelo
