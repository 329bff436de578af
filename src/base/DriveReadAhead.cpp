#include "base/DriveReadAhead.h"

#include "base/FileNames.h"

#include <algorithm>
#include <chrono>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace varnelo {

namespace {

// One read: a 48x CD takes about 35 ms for it, so a stop is never far away.
constexpr size_t kChunk = 256 * 1024;
// What the import waits for of a file larger than the bound.
constexpr std::int64_t kHead = 1024 * 1024;

}  // namespace

bool DriveReadAhead::worthwhileFor(const QString& folder)
{
    struct statfs fs {};
    if (::statfs(encodeFileName(folder).constData(), &fs) != 0)
        return false;
    constexpr long kIso9660 = 0x9660, kUdf = 0x15013346, kFuse = 0x65735546;
    const long type = static_cast<long>(fs.f_type);
    return type == kIso9660 || type == kUdf || type == kFuse;
}

DriveReadAhead::DriveReadAhead(std::int64_t maxAhead)
    : maxAhead_(maxAhead)
{
}

DriveReadAhead::~DriveReadAhead()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        ++generation_;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void DriveReadAhead::start(const QStringList& paths)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_ = paths;
        sizes_.assign(static_cast<size_t>(paths.size()), 0);
        next_ = 0;
        consumed_ = -1;
        stop_ = false;
        ++generation_;
    }
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
    wake_.notify_all();
}

void DriveReadAhead::consumed(qsizetype index)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        consumed_ = std::max(consumed_, index);
        // the import overtook the reader: it reads those files itself
        next_ = std::max(next_, consumed_ + 1);
    }
    wake_.notify_all();
}

bool DriveReadAhead::waitUntilRead(qsizetype index, int ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto read = [&] {
        return stop_ || index < 0 || index >= paths_.size() || index < next_ ||
            (index == inFlight_ && inFlightSize_ > maxAhead_ && inFlightDone_ >= kHead);
    };
    return wake_.wait_for(lock, std::chrono::milliseconds(ms), read);
}

void DriveReadAhead::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.clear();
        sizes_.clear();
        next_ = 0;
        consumed_ = -1;
        ++generation_;
    }
    wake_.notify_all();
}

std::int64_t DriveReadAhead::bytesRead() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return bytesRead_;
}

std::int64_t DriveReadAhead::mostAhead() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mostAhead_;
}

std::int64_t DriveReadAhead::aheadLocked() const
{
    std::int64_t ahead = 0;
    for (qsizetype i = consumed_ + 1; i < next_ && i < static_cast<qsizetype>(sizes_.size()); ++i)
        ahead += sizes_[static_cast<size_t>(i)];
    return ahead;
}

void DriveReadAhead::run()
{
    std::vector<char> buffer(kChunk);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || (next_ < paths_.size() && aheadLocked() < maxAhead_); });
        if (stop_)
            return;
        const qsizetype index = next_;
        const QByteArray name = encodeFileName(paths_[index]);
        const std::uint64_t generation = generation_;
        lock.unlock();

        std::int64_t size = 0, done = 0;
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            size = st.st_size;
            {
                std::lock_guard<std::mutex> start(mutex_);
                inFlight_ = index;
                inFlightSize_ = size;
                inFlightDone_ = 0;
            }
            for (;;) {
                const ssize_t n = ::read(fd, buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += n;
                std::lock_guard<std::mutex> check(mutex_);
                bytesRead_ += n;
                inFlightDone_ = done;
                if (size > maxAhead_ && done >= kHead && done - n < kHead)
                    wake_.notify_all();  // an import waiting for the head of a large file
                // a new list, a stop, or the import already past this file
                if (stop_ || generation_ != generation || consumed_ >= index)
                    break;
            }
        }
        if (fd >= 0)
            ::close(fd);

        lock.lock();
        inFlight_ = -1;
        if (generation_ != generation)
            continue;
        if (index < static_cast<qsizetype>(sizes_.size()))
            sizes_[static_cast<size_t>(index)] = std::max(size, done);
        if (next_ == index)
            ++next_;
        mostAhead_ = std::max(mostAhead_, aheadLocked());
        wake_.notify_all();  // for an import waiting for this file
    }
}

}  // namespace varnelo
