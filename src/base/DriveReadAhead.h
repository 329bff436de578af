#pragma once

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace varnelo {

// Keeps a slow drive busy while the import sends: a thread of its own reads
// the files that come next, in the order given (the order they lie on the
// disc), from start to end, so that the import's own reads find them in the
// page cache. It never gets more than `maxAhead` bytes ahead of the files
// the import has done with, and keeps nothing itself: what it read is the
// kernel's cache, and the import still reads, checks and sends each file as
// it finds it. A file it cannot read is simply passed over.
class DriveReadAhead {
public:
    // Whether reading ahead pays off for files below `folder`: an optical
    // disc (ISO 9660, UDF) or a user-space mount (FUSE: network shares, the
    // simulated drive). A local disk serves the import at once; reading
    // ahead there only costs a second copy.
    static bool worthwhileFor(const QString& folder);

    static constexpr std::int64_t DefaultMaxAhead = 64LL * 1024 * 1024;

    explicit DriveReadAhead(std::int64_t maxAhead = DefaultMaxAhead);
    ~DriveReadAhead();
    DriveReadAhead(const DriveReadAhead&) = delete;
    DriveReadAhead& operator=(const DriveReadAhead&) = delete;

    // The files to read, replacing any list before; reading starts at once.
    void start(const QStringList& paths);
    // The import is done with the files up to `index` of the list.
    void consumed(qsizetype index);
    // Whether the file at `index` has been read (or passed over, or is not
    // in the list), waiting for it at most `ms`: the import calls this
    // between yields, so that a slow drive never holds the window. Of a file
    // larger than the bound only its first MB is waited for: the import
    // reads such a file's values when it sends them, and refuses one that is
    // no DICOM by its first bytes.
    bool waitUntilRead(qsizetype index, int ms);
    // Stops reading; returns within one chunk's read.
    void stop();

    // For tests: bytes read so far, and the most that was ever read ahead.
    std::int64_t bytesRead() const;
    std::int64_t mostAhead() const;

private:
    void run();
    std::int64_t aheadLocked() const;

    const std::int64_t maxAhead_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    QStringList paths_;
    std::vector<std::int64_t> sizes_;  // of the files read, by index
    qsizetype next_ = 0;               // the next file to read
    qsizetype inFlight_ = -1;          // the file being read, its size and the bytes read of it
    std::int64_t inFlightSize_ = 0, inFlightDone_ = 0;
    qsizetype consumed_ = -1;
    std::int64_t bytesRead_ = 0;
    std::int64_t mostAhead_ = 0;
    std::uint64_t generation_ = 0;  // a new list stops the file under way
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace varnelo
