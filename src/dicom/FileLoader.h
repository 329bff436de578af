#pragma once

// Reading DICOM files into memory, and reading the next ones ahead.

#include "dicom/DicomPrivate.h"

#include <deque>
#include <memory>

namespace varnelo::dicomimpl {

// What identifies a file's content: device, inode, size and modification time.
struct FileStamp {
    bool valid = false;
    unsigned long long device = 0, inode = 0;
    long long size = 0, mtimeSec = 0, mtimeNsec = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp stampOfPath(const QString& path);

// A DICOM file as it was loaded. A small file is read whole into memory. A
// large one keeps its big values (the pixel data) in the file and reads them
// when they are sent, through a descriptor held open from the load on: a
// path whose file is replaced meanwhile (another CD in the drive) cannot
// change what is read, and a removed medium makes the read fail.
struct LoadedFile {
    DcmFileFormat format;
    QString path;
    int fd = -1;  // held only while big values are still in the file
    FileStamp stamp;
    LoadedFile() = default;
    LoadedFile(const LoadedFile&) = delete;
    LoadedFile& operator=(const LoadedFile&) = delete;
    ~LoadedFile();
    // Throws FileChanged unless the values still in the file can be read as
    // they were when it was loaded (same size and modification time).
    void checkUnchanged() const;
};

// Loads the file, with or without file meta information. Throws
// FileUnreadable naming the file. Safe to call from any thread.
std::shared_ptr<LoadedFile> loadDicomFile(const QString& path);

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
    std::shared_ptr<LoadedFile> take(const QString& path);
    // Reads the first queued file not read yet, if any.
    void readOne();
    // Drops every entry and frees what was read.
    void cancel() { queue_.clear(); }

    bool hasUnread() const;
    int queued() const { return static_cast<int>(queue_.size()); }
    int ready() const;

    using Stamp = FileStamp;
    static Stamp stampOf(const QString& path) { return stampOfPath(path); }

private:
    struct Entry {
        QString path;
        bool read = false;
        Stamp stamp;
        std::shared_ptr<LoadedFile> file;  // null when the read failed
    };
    std::deque<Entry> queue_;
};

}  // namespace varnelo::dicomimpl
