#include "dicom/FileLoader.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include <sys/stat.h>

namespace varnelo::dicomimpl {

namespace {
constexpr qint64 kLoadWholeUpTo = 4 * 1024 * 1024;
}  // namespace

std::shared_ptr<DcmFileFormat> loadDicomFile(const QString& path)
{
    ensureInitialised();
    auto unreadable = [&](const QString& why) {
        fail(DicomErrc::FileUnreadable, QStringLiteral("Cannot read %1: %2").arg(path, why));
    };
    const QFileInfo info(path);
    if (!info.exists()) {
        // a folder on the way that may not be entered hides the file
        struct stat st;
        const QByteArray native = QFile::encodeName(path);
        if (::stat(native.constData(), &st) != 0 && errno == EACCES)
            unreadable(QStringLiteral("no permission to reach it"));
        unreadable(QStringLiteral("no such file"));
    }
    if (!info.isFile())
        unreadable(QStringLiteral("not a file"));
    if (!info.isReadable())
        unreadable(QStringLiteral("no permission to read it"));
    if (info.size() == 0)
        unreadable(QStringLiteral("the file is empty"));

    auto file = std::make_shared<DcmFileFormat>();
    const QByteArray name = QFile::encodeName(path);
    OFCondition cond;
    try {
        cond = file->loadFile(OFFilename(name.constData()), EXS_Unknown, EGL_noChange, DCM_MaxReadLength,
                              ERM_autoDetect);
        // A large file keeps its big values (the pixel data) in the file and
        // sends them from there, as DCMTK's own senders do; the parse above
        // has already checked that the file holds all of them.
        if (cond.good() && info.size() <= kLoadWholeUpTo)
            cond = file->loadAllDataIntoMemory();
    } catch (const std::exception& e) {
        // DCMTK's parser throws on some damaged files
        unreadable(QStringLiteral("damaged (%1)").arg(QString::fromLocal8Bit(e.what())));
    }
    if (cond.bad())
        unreadable(QStringLiteral("not a DICOM file or damaged (%1)").arg(conditionText(cond)));
    if (file->getDataset()->card() == 0)
        unreadable(QStringLiteral("it holds no DICOM data"));
    return file;
}

// ---- ReadAhead ------------------------------------------------------------

ReadAhead::Stamp ReadAhead::stampOf(const QString& path)
{
    Stamp s;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return s;
    s.valid = true;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    s.mtimeSec = st.st_mtim.tv_sec;
    s.mtimeNsec = st.st_mtim.tv_nsec;
    return s;
}

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

std::shared_ptr<DcmFileFormat> ReadAhead::take(const QString& path)
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
