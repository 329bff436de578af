#include "import/ArchiveMedium.h"

#include "base/FileNames.h"
#include "base/Logs.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace varnelo {

namespace {

const QString kSource = QStringLiteral("ArchiveMedium");

// libarchive converts names to and from the locale's character set: a C
// locale would turn every name that is not ASCII into an error.
void useUtf8Names()
{
    static std::once_flag once;
    std::call_once(once, [] {
        auto utf8 = [] { return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0; };
        if (utf8())
            return;
        if (std::setlocale(LC_CTYPE, "") && utf8())
            return;
        std::setlocale(LC_CTYPE, "C.UTF-8");
    });
}

struct Reader {
    archive* a = archive_read_new();
    ~Reader() { archive_read_free(a); }
    QString error() const
    {
        const char* text = archive_error_string(a);
        return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
    }
};

Error damaged(const QString& archivePath, const QString& reason)
{
    return Error(ArchiveErrc::Damaged, QStringLiteral("%1 cannot be read: %2").arg(archivePath, reason));
}

void openReader(Reader& r, const QString& archivePath)
{
    useUtf8Names();
    archive_read_support_format_zip_seekable(r.a);
    archive_read_support_format_iso9660(r.a);
    // Names of old Windows archives (no UTF-8 flag) are in the DOS code page;
    // flagged names stay UTF-8.
    archive_read_set_format_option(r.a, "zip", "hdrcharset", "CP437");
    if (archive_read_open_filename(r.a, encodeFileName(archivePath).constData(), 1 << 16) != ARCHIVE_OK)
        throw damaged(archivePath, r.error());
}

QString entryName(archive_entry* e)
{
    if (const char* utf8 = archive_entry_pathname_utf8(e))
        return QString::fromUtf8(utf8);
    const char* raw = archive_entry_pathname(e);
    return raw ? QString::fromLatin1(raw) : QString();
}

// The member's path inside the tree, or a null text and why it is refused.
QString cleanName(QString name, QString& why)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.startsWith(QLatin1Char('/'))) {
        why = QStringLiteral("its path is absolute");
        return {};
    }
    QStringList parts;
    for (const QString& p : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (p == QLatin1String("."))
            continue;
        if (p == QLatin1String("..")) {
            why = QStringLiteral("its path leads out of the archive (\"..\")");
            return {};
        }
        parts << p;
    }
    if (parts.isEmpty())
        return QStringLiteral("");  // the root itself, not a refusal
    return parts.join(QLatin1Char('/'));
}

QString megabytes(std::int64_t bytes)
{
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MB");
}

std::int64_t freeSpace(const QString& folder)
{
    struct statvfs st {};
    if (::statvfs(encodeFileName(folder).constData(), &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

}  // namespace

ArchiveMedium::Limits& ArchiveMedium::defaultLimits()
{
    static Limits limits;
    return limits;
}

bool ArchiveMedium::isArchive(const QString& path)
{
    const QString lower = path.toLower();
    if (!lower.endsWith(QLatin1String(".zip")) && !lower.endsWith(QLatin1String(".iso")))
        return false;
    const QFileInfo info(path);
    return info.isFile();
}

QString ArchiveMedium::folderPrefix()
{
    return QStringLiteral("varnelo-media-%1-").arg(::getpid());
}

void ArchiveMedium::removeStale()
{
    const QString prefix = QStringLiteral("varnelo-media-");
    QDir temp(QDir::tempPath());
    for (const QString& name : temp.entryList({prefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        bool ok = false;
        const qint64 pid = name.mid(prefix.size()).section(QLatin1Char('-'), 0, 0).toLongLong(&ok);
        if (!ok || pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;  // its run is still going (or not ours to judge)
        QDir(temp.filePath(name)).removeRecursively();
    }
}

ArchiveMedium::ArchiveMedium(const QString& archivePath, Limits limits)
    : archive_(QFileInfo(archivePath).absoluteFilePath())
    , limits_(limits)
{
}

ArchiveMedium::~ArchiveMedium()
{
    stop();
    if (!base_.isEmpty())
        QDir(base_).removeRecursively();
}

void ArchiveMedium::open()
{
    Reader r;
    openReader(r, archive_);
    const std::int64_t archiveSize = QFileInfo(archive_).size();

    QSet<QString> folders;
    std::int64_t total = 0;
    archive_entry* e = nullptr;
    for (int index = 0;; ++index) {
        const int rc = archive_read_next_header(r.a, &e);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc == ARCHIVE_FATAL)
            throw damaged(archive_, r.error());
        const QString raw = entryName(e);
        const QString shown = archive_ + QLatin1Char('/') + raw;
        if (rc < ARCHIVE_WARN) {
            WriteErrorLog(ArchiveErrc::Damaged, QStringLiteral("%1 cannot be read: %2").arg(shown, r.error()), kSource);
            continue;
        }
        auto refuse = [&](const QString& why) {
            WriteErrorLog(ArchiveErrc::Refused, QStringLiteral("%1 is not extracted: %2").arg(shown, why), kSource);
        };
        if (const char* target = archive_entry_hardlink(e)) {
            refuse(QStringLiteral("it is a hard link to %1").arg(QString::fromUtf8(target)));
            continue;
        }
        const auto type = archive_entry_filetype(e);
        if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(e);
            refuse(QStringLiteral("it is a symbolic link to %1").arg(target ? QString::fromUtf8(target) : QString()));
            continue;
        }
        QString why;
        const QString name = cleanName(raw, why);
        if (name.isNull()) {
            refuse(why);
            continue;
        }
        if (name.isEmpty())
            continue;  // the root itself
        if (type == AE_IFDIR) {
            folders.insert(name);
            continue;
        }
        if (type != AE_IFREG) {
            refuse(QStringLiteral("it is not a regular file"));
            continue;
        }
        if (archive_entry_is_encrypted(e)) {
            encrypted_ << shown;
            WriteErrorLog(ArchiveErrc::Encrypted, QStringLiteral("%1 is encrypted and is not extracted").arg(shown), kSource);
            continue;
        }
        Member m;
        m.name = name;
        m.index = index;
        if (archive_entry_size_is_set(e)) {
            m.declared = archive_entry_size(e);
            // no member of this archive is compressed into more than the archive
            if (m.declared > limits_.bombBytes && m.declared > limits_.bombRatio * std::max<std::int64_t>(archiveSize, 1))
                throw Error(ArchiveErrc::TooLarge,
                            QStringLiteral("%1 is refused: its member %2 would expand to %3, more than %4 times the "
                                           "archive's size (a ZIP bomb)")
                                .arg(archive_, name, megabytes(m.declared))
                                .arg(limits_.bombRatio));
            total += m.declared;
        }
        const QString path = QStringLiteral("/medium/") + name;
        if (const auto at = byPath_.constFind(path); at != byPath_.cend())
            members_[static_cast<size_t>(*at)].index = -1;  // the later member of the same name wins
        byPath_.insert(path, static_cast<int>(members_.size()));
        members_.push_back(m);
    }

    const QString temp = QDir::tempPath();
    free_ = limits_.freeBytes >= 0 ? limits_.freeBytes : freeSpace(temp);
    if (free_ >= 0 && total > free_)
        throw Error(ArchiveErrc::TooLarge, QStringLiteral("%1 is refused: it would expand to %2, and %3 has only %4 free")
                                               .arg(archive_, megabytes(total), temp, megabytes(free_)));
    if (free_ < 0)
        free_ = std::numeric_limits<std::int64_t>::max();

    QByteArray pattern = encodeFileName(QDir(temp).filePath(folderPrefix() + QStringLiteral("XXXXXX")));
    if (!::mkdtemp(pattern.data()))
        throw Error(ErrNo::PathFileAccess, QStringLiteral("Path/File access error: %1: %2")
                                               .arg(temp, QString::fromLocal8Bit(std::strerror(errno))));
    base_ = QString::fromLocal8Bit(pattern);
    root_ = base_ + QStringLiteral("/medium");
    staging_ = base_ + QStringLiteral("/part");
    QDir dir;
    dir.mkpath(staging_);
    dir.mkpath(root_);
    for (const Member& m : members_) {
        const qsizetype slash = m.name.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            folders.insert(m.name.left(slash));
    }
    for (const QString& f : std::as_const(folders))
        dir.mkpath(root_ + QLatin1Char('/') + f);

    // the keys become full paths now that the folder is known
    QHash<QString, int> byPath;
    state_.assign(members_.size(), State::Pending);
    for (auto it = byPath_.cbegin(); it != byPath_.cend(); ++it) {
        const QString path = base_ + it.key();
        const int fd = ::open(encodeFileName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            WriteErrorLog(ArchiveErrc::Refused,
                          QStringLiteral("%1/%2 is not extracted: a folder or file of the same name is in the way")
                              .arg(archive_, members_[static_cast<size_t>(*it)].name),
                          kSource);
            members_[static_cast<size_t>(*it)].index = -1;
            continue;
        }
        ::close(fd);
        byPath.insert(path, *it);
    }
    byPath_ = std::move(byPath);
    for (size_t i = 0; i < members_.size(); ++i)
        if (members_[i].index < 0)
            state_[i] = State::Missing;
    thread_ = std::thread([this] { extract(); });
}

QString ArchiveMedium::dicomDirFolder() const
{
    QString best;
    int depth = INT_MAX;
    for (auto it = byPath_.cbegin(); it != byPath_.cend(); ++it) {
        const QString& name = members_[static_cast<size_t>(it.value())].name;
        if (name.section(QLatin1Char('/'), -1).compare(QLatin1String("DICOMDIR"), Qt::CaseInsensitive) != 0)
            continue;
        const int d = static_cast<int>(name.count(QLatin1Char('/')));
        if (d < depth || (d == depth && it.key() < best)) {
            depth = d;
            best = it.key();
        }
    }
    return best.isEmpty() ? root_ : QFileInfo(best).path();
}

void ArchiveMedium::fail(const Error& error)
{
    std::lock_guard lock(mutex_);
    if (!failure_)
        failure_ = error;
}

void ArchiveMedium::extract()
{
    std::vector<int> slotOf;  // archive index -> member, -1 for the others
    for (size_t i = 0; i < members_.size(); ++i) {
        const int index = members_[i].index;
        if (index < 0)
            continue;
        if (slotOf.size() <= static_cast<size_t>(index))
            slotOf.resize(static_cast<size_t>(index) + 1, -1);
        slotOf[static_cast<size_t>(index)] = static_cast<int>(i);
    }
    auto settle = [&](size_t slot, State state) {
        {
            std::lock_guard lock(mutex_);
            state_[slot] = state;
        }
        changed_.notify_all();
    };
    try {
        Reader r;
        openReader(r, archive_);
        std::int64_t total = 0;
        archive_entry* e = nullptr;
        for (int index = 0; !stop_; ++index) {
            const int rc = archive_read_next_header(r.a, &e);
            if (rc == ARCHIVE_EOF)
                break;
            if (rc == ARCHIVE_FATAL)
                throw damaged(archive_, r.error());
            if (static_cast<size_t>(index) >= slotOf.size() || slotOf[static_cast<size_t>(index)] < 0)
                continue;  // the data is skipped by the next header
            const size_t slot = static_cast<size_t>(slotOf[static_cast<size_t>(index)]);
            const Member& m = members_[slot];
            const QString shown = archive_ + QLatin1Char('/') + m.name;
            if (rc < ARCHIVE_WARN) {
                WriteErrorLog(ArchiveErrc::Damaged, QStringLiteral("%1 cannot be read: %2").arg(shown, r.error()), kSource);
                settle(slot, State::Missing);
                continue;
            }
            const QByteArray part = encodeFileName(staging_ + QLatin1Char('/') + QString::number(slot));
            const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0)
                throw Error(ErrNo::PathFileAccess, QStringLiteral("Path/File access error: %1: %2")
                                                       .arg(staging_, QString::fromLocal8Bit(std::strerror(errno))));
            const std::int64_t start = archive_filter_bytes(r.a, -1);
            std::int64_t written = 0;
            bool ok = true;
            try {
                for (;;) {
                    const void* buffer = nullptr;
                    size_t size = 0;
                    la_int64_t offset = 0;
                    const int d = archive_read_data_block(r.a, &buffer, &size, &offset);
                    if (d == ARCHIVE_EOF)
                        break;
                    if (d == ARCHIVE_FATAL)
                        throw damaged(archive_, r.error());
                    if (d < ARCHIVE_WARN) {
                        WriteErrorLog(ArchiveErrc::Damaged, QStringLiteral("%1 cannot be read: %2").arg(shown, r.error()), kSource);
                        ok = false;
                        break;
                    }
                    const std::int64_t end = offset + static_cast<std::int64_t>(size);
                    const std::int64_t from = std::max<std::int64_t>(written, offset);
                    if (end > from)
                        total += end - from;
                    written = std::max(written, end);
                    // headers can lie: the bytes themselves are counted
                    if (m.declared >= 0 && written > m.declared)
                        throw Error(ArchiveErrc::TooLarge,
                                    QStringLiteral("%1 stops: %2 expands beyond the %3 bytes its header gives (a ZIP bomb)")
                                        .arg(archive_, m.name)
                                        .arg(m.declared));
                    const std::int64_t packed = std::max<std::int64_t>(archive_filter_bytes(r.a, -1) - start, 1);
                    if (written > limits_.bombBytes && written > limits_.bombRatio * packed)
                        throw Error(ArchiveErrc::TooLarge,
                                    QStringLiteral("%1 stops: %2 expands to more than %3 times its compressed size (a ZIP bomb)")
                                        .arg(archive_, m.name)
                                        .arg(limits_.bombRatio));
                    if (total > free_)
                        throw Error(ArchiveErrc::TooLarge, QStringLiteral("%1 stops: it expands to more than the %2 free in %3")
                                                               .arg(archive_, megabytes(free_), QDir::tempPath()));
                    const char* p = static_cast<const char*>(buffer);
                    std::int64_t at = offset;
                    while (size > 0) {
                        const ssize_t n = ::pwrite(fd, p, size, at);
                        if (n < 0 && errno == EINTR)
                            continue;
                        if (n <= 0)
                            throw Error(ErrNo::PathFileAccess, QStringLiteral("Path/File access error: %1: %2")
                                                                   .arg(staging_, QString::fromLocal8Bit(std::strerror(errno))));
                        p += n;
                        at += n;
                        size -= static_cast<size_t>(n);
                    }
                    if (stop_)
                        break;
                }
                if (written < m.declared && ok && ::ftruncate(fd, m.declared) != 0)
                    ok = false;
            } catch (...) {
                ::close(fd);
                ::unlink(part.constData());
                throw;
            }
            ::close(fd);
            if (stop_)
                break;
            const QString path = root_ + QLatin1Char('/') + m.name;
            if (ok && ::rename(part.constData(), encodeFileName(path).constData()) == 0) {
                settle(slot, State::Ready);
            } else {
                ::unlink(part.constData());
                ::unlink(encodeFileName(path).constData());  // the empty placeholder says nothing
                settle(slot, State::Missing);
            }
        }
    } catch (const Error& error) {
        WriteErrorLog(error.number(), error.description(), kSource);
        fail(error);
    } catch (const std::exception& error) {
        fail(Error(ArchiveErrc::Damaged, QStringLiteral("%1 cannot be read: %2").arg(archive_, QString::fromLocal8Bit(error.what()))));
    }
    {
        std::lock_guard lock(mutex_);
        for (State& s : state_)
            if (s == State::Pending)
                s = State::Missing;
        finished_ = true;
    }
    changed_.notify_all();
}

ArchiveMedium::State ArchiveMedium::waitFor(const QString& path, int ms)
{
    auto at = byPath_.constFind(path);
    if (at == byPath_.cend())
        at = byPath_.constFind(QDir::cleanPath(path));
    if (at == byPath_.cend())
        return State::Ready;
    const size_t slot = static_cast<size_t>(*at);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return state_[slot] != State::Pending; });
    return state_[slot];
}

std::optional<Error> ArchiveMedium::failure() const
{
    std::lock_guard lock(mutex_);
    return failure_;
}

bool ArchiveMedium::finished() const
{
    std::lock_guard lock(mutex_);
    return finished_;
}

QString ArchiveMedium::logName(const QString& text) const
{
    if (root_.isEmpty())
        return text;
    QString out = text;
    return out.replace(root_, archive_);
}

void ArchiveMedium::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

}  // namespace varnelo
