#pragma once

// Reading DICOM files into memory, and reading the next ones ahead.

#include "dicom/DicomPrivate.h"
#include "dicom/RawFile.h"

#include <deque>
#include <memory>
#include <optional>

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
//
// A file that the quick walk understands (RawFile.h) is not parsed by DCMTK
// at all unless something needs its objects: a value to change, or a
// transfer syntax the peer does not take. Until then it is sent as the bytes
// that were walked, and its few values come from the walk.
struct LoadedFile {
    QString path;
    int fd = -1;  // held only while values are still in the file
    FileStamp stamp;
    std::optional<RawDicom> raw;  // what the quick walk found
    QByteArray bytes;             // the whole file, when the walk read it into memory
    bool modified = false;        // a value was set: the bytes are not the image any more
    // The data set decompressed, for a peer that takes nothing else; made
    // from the current values, dropped when one changes.
    std::unique_ptr<::DcmDataset> uncompressed;

    LoadedFile() = default;
    LoadedFile(const LoadedFile&) = delete;
    LoadedFile& operator=(const LoadedFile&) = delete;
    ~LoadedFile();
    // Throws FileChanged unless the values still in the file can be read as
    // they were when it was loaded (same size and modification time).
    void checkUnchanged() const;
    // DCMTK's objects for the file, parsed on first use. Throws
    // FileUnreadable when DCMTK refuses what the walk accepted.
    DcmFileFormat& format();
    bool parsed() const { return parsed_; }
    // Whether the file goes out as it is stored: walked and unchanged.
    bool sendsAsStored() const { return raw && !modified; }

private:
    friend std::shared_ptr<LoadedFile> loadDicomFile(const QString& path);
    DcmFileFormat format_;
    bool parsed_ = false;
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
