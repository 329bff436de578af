#pragma once

// Reading DICOM files into memory, and reading the next ones ahead.

#include "dicom/DicomPrivate.h"

#include <deque>
#include <memory>

namespace varnelo::dicomimpl {

// The whole file in memory (no lazy loading: the medium may go away), with or
// without file meta information. Throws FileUnreadable naming the file.
// Safe to call from any thread.
std::shared_ptr<DcmFileFormat> loadDicomFile(const QString& path);

// Files the caller will load next, read while one of its sends waits for the
// peer's answer (that time is otherwise idle), at most MaxAhead of them. A
// file is handed over only if it is still the file that was read (same
// device, inode, size and modification time); anything else is left for the
// caller to read itself, so errors and their texts are the same as without
// the read-ahead. Single-threaded: the reading happens inside the caller's
// own calls.
class ReadAhead {
public:
    static constexpr size_t MaxAhead = 2;

    // Queues path unless it is queued already; the oldest beyond MaxAhead is dropped.
    void want(const QString& path);
    // The file read for path, or null. Entries queued before path are
    // dropped: the caller has passed them by.
    std::shared_ptr<DcmFileFormat> take(const QString& path);
    // Reads the first queued file not read yet, if any.
    void readOne();
    // Drops every entry and frees what was read.
    void cancel() { queue_.clear(); }

    bool hasUnread() const;
    int queued() const { return static_cast<int>(queue_.size()); }
    int ready() const;

    struct Stamp {
        bool valid = false;
        unsigned long long device = 0, inode = 0;
        long long size = 0, mtimeSec = 0, mtimeNsec = 0;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const QString& path);

private:
    struct Entry {
        QString path;
        bool read = false;
        Stamp stamp;
        std::shared_ptr<DcmFileFormat> file;  // null when the read failed
    };
    std::deque<Entry> queue_;
};

}  // namespace varnelo::dicomimpl
