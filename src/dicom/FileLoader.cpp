#include "dicom/FileLoader.h"

#include "base/FileNames.h"

#include <dcmtk/dcmdata/dcistrmb.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnelo::dicomimpl {

namespace {
constexpr qint64 kLoadWholeUpTo = 4 * 1024 * 1024;

FileStamp stampOfStat(const struct stat& st)
{
    FileStamp s;
    s.valid = S_ISREG(st.st_mode);
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    s.mtimeSec = st.st_mtim.tv_sec;
    s.mtimeNsec = st.st_mtim.tv_nsec;
    return s;
}

QString errnoText(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("no such file");
    case ENAMETOOLONG:
        return QStringLiteral("the path is longer than the system allows");
    case ELOOP:
        return QStringLiteral("too many symbolic links on the way");
    case EIO:
        return QStringLiteral("input/output error (is the medium still there?)");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// A quick look at the first bytes, so that a large file that is not DICOM is
// refused at once instead of being parsed to its end: either the "DICM"
// prefix after the 128-byte preamble, or a data set without one, which
// starts with a tag of group 0002 or 0008 (little or big endian).
bool looksLikeDicom(int fd)
{
    unsigned char head[132];
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof head)) {
        const ssize_t n = ::pread(fd, head + got, sizeof head - got, got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    if (got >= 132 && std::memcmp(head + 128, "DICM", 4) == 0)
        return true;
    if (got < 8)
        return false;
    const unsigned groupLe = head[0] | (head[1] << 8);
    const unsigned groupBe = (head[0] << 8) | head[1];
    return groupLe == 0x0002 || groupLe == 0x0008 || groupBe == 0x0008;
}
}  // namespace

FileStamp stampOfPath(const QString& path)
{
    struct stat st {};
    if (::stat(encodeFileName(path).constData(), &st) != 0)
        return FileStamp();
    return stampOfStat(st);
}

LoadedFile::~LoadedFile()
{
    if (fd >= 0)
        ::close(fd);
}

void LoadedFile::checkUnchanged() const
{
    if (fd < 0)
        return;  // everything is in memory
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        fail(DicomErrc::FileChanged,
             QStringLiteral("Cannot read %1 any more: %2").arg(path, errnoText(errno)));
    const FileStamp now = stampOfStat(st);
    if (!(now == stamp))
        fail(DicomErrc::FileChanged,
             QStringLiteral("%1 has changed since it was read (size or modification time); it is not sent, "
                            "so that no image goes out with parts of another")
                 .arg(path));
}

std::shared_ptr<LoadedFile> loadDicomFile(const QString& path)
{
    ensureInitialised();
    auto unreadable = [&](const QString& why) {
        fail(DicomErrc::FileUnreadable, QStringLiteral("Cannot read %1: %2").arg(path, why));
    };
    const QByteArray native = encodeFileName(path);
    auto loaded = std::make_shared<LoadedFile>();
    loaded->path = path;
    // O_NONBLOCK: a FIFO on the medium must not hang the open
    loaded->fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (loaded->fd < 0) {
        const int error = errno;
        if (error == EACCES) {
            // a folder on the way that may not be entered hides the file
            struct stat st;
            if (::stat(native.constData(), &st) != 0)
                unreadable(QStringLiteral("no permission to reach it"));
            unreadable(QStringLiteral("no permission to read it"));
        }
        unreadable(errnoText(error));
    }
    struct stat st {};
    if (::fstat(loaded->fd, &st) != 0)
        unreadable(errnoText(errno));
    if (!S_ISREG(st.st_mode))
        unreadable(QStringLiteral("not a file"));
    loaded->stamp = stampOfStat(st);
    if (st.st_size == 0)
        unreadable(QStringLiteral("the file is empty"));
    if (!looksLikeDicom(loaded->fd))
        unreadable(QStringLiteral("not a DICOM file (it does not start as one)"));

    // The quick walk first: most files need no more than their own bytes
    // and a few values. A small file is read whole (one read); a large one
    // is walked through the descriptor and keeps it for the send.
    if (st.st_size <= kLoadWholeUpTo) {
        QByteArray bytes(static_cast<qsizetype>(st.st_size), Qt::Uninitialized);
        qint64 done = 0;
        while (done < st.st_size) {
            const ssize_t n = ::pread(loaded->fd, bytes.data() + done, static_cast<size_t>(st.st_size - done), done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                unreadable(errnoText(errno));
            if (n == 0)
                unreadable(QStringLiteral("it ended before its size said (is the medium still there?)"));
            done += n;
        }
        if ((loaded->raw = scanDicom(RawSource {bytes.constData(), -1, st.st_size}))) {
            loaded->bytes = std::move(bytes);
            ::close(loaded->fd);
            loaded->fd = -1;
            return loaded;
        }
    } else if ((loaded->raw = scanDicom(RawSource {nullptr, loaded->fd, st.st_size}))) {
        return loaded;
    }

    // Read through the descriptor, not the path: what is parsed now and what
    // is read later at send time are one and the same file.
    const QByteArray viaFd = "/proc/self/fd/" + QByteArray::number(loaded->fd);
    DcmFileFormat& file = loaded->format_;
    OFCondition cond;
    try {
        cond = file.loadFile(OFFilename(viaFd.constData()), EXS_Unknown, EGL_noChange, DCM_MaxReadLength,
                             ERM_autoDetect);
        // A large file keeps its big values (the pixel data) in the file and
        // sends them from there, as DCMTK's own senders do; the parse above
        // has already checked that the file holds all of them.
        if (cond.good() && st.st_size <= kLoadWholeUpTo)
            cond = file.loadAllDataIntoMemory();
    } catch (const std::exception& e) {
        // DCMTK's parser throws on some damaged files
        unreadable(QStringLiteral("damaged (%1)").arg(QString::fromLocal8Bit(e.what())));
    }
    if (cond.bad())
        unreadable(QStringLiteral("not a DICOM file or damaged (%1)").arg(conditionText(cond)));
    if (file.getDataset()->card() == 0)
        unreadable(QStringLiteral("it holds no DICOM data"));
    loaded->parsed_ = true;
    if (st.st_size <= kLoadWholeUpTo) {
        ::close(loaded->fd);
        loaded->fd = -1;
    }
    return loaded;
}

DcmFileFormat& LoadedFile::format()
{
    if (parsed_)
        return format_;
    auto unreadable = [&](const QString& why) {
        fail(DicomErrc::FileUnreadable, QStringLiteral("Cannot read %1: %2").arg(path, why));
    };
    OFCondition cond;
    try {
        if (fd < 0) {
            // the bytes that were walked, parsed from memory
            cond = readFromBytes(format_, bytes.constData(), static_cast<size_t>(bytes.size()), EXS_Unknown);
        } else {
            checkUnchanged();
            const QByteArray viaFd = "/proc/self/fd/" + QByteArray::number(fd);
            cond = format_.loadFile(OFFilename(viaFd.constData()), EXS_Unknown, EGL_noChange, DCM_MaxReadLength,
                                    ERM_autoDetect);
        }
    } catch (const std::exception& e) {
        unreadable(QStringLiteral("damaged (%1)").arg(QString::fromLocal8Bit(e.what())));
    }
    if (cond.bad())
        unreadable(QStringLiteral("not a DICOM file or damaged (%1)").arg(conditionText(cond)));
    parsed_ = true;
    return format_;
}

// ---- ReadAhead ------------------------------------------------------------

void ReadAhead::want(const QString& path)
{
    for (const Entry& e : queue_)
        if (e.path == path)
            return;
    Entry e;
    e.path = path;
    queue_.push_back(std::move(e));
    while (queue_.size() > MaxAhead)
        queue_.pop_front();
}

std::shared_ptr<LoadedFile> ReadAhead::take(const QString& path)
{
    auto it = std::find_if(queue_.begin(), queue_.end(), [&](const Entry& e) { return e.path == path; });
    if (it == queue_.end())
        return nullptr;  // not asked for: what is queued may still come
    Entry entry = std::move(*it);
    queue_.erase(queue_.begin(), it + 1);
    // A file replaced or removed since it was read must be read again, so
    // that the caller sees what is on the medium now.
    if (!entry.read || !entry.file || !entry.stamp.valid || !(stampOf(path) == entry.stamp))
        return nullptr;
    return std::move(entry.file);
}

void ReadAhead::readOne()
{
    auto it = std::find_if(queue_.begin(), queue_.end(), [](const Entry& e) { return !e.read; });
    if (it == queue_.end())
        return;
    it->read = true;
    it->stamp = stampOf(it->path);
    if (!it->stamp.valid)
        return;
    try {
        it->file = loadDicomFile(it->path);
    } catch (...) {
        // the caller reads it again and reports the error itself
    }
}

bool ReadAhead::hasUnread() const
{
    return std::any_of(queue_.begin(), queue_.end(), [](const Entry& e) { return !e.read; });
}

int ReadAhead::ready() const
{
    return static_cast<int>(std::count_if(queue_.begin(), queue_.end(), [](const Entry& e) { return e.file != nullptr; }));
}

}  // namespace varnelo::dicomimpl
