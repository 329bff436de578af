#include "import/ArchiveMedium.h"

#include "base/AppState.h"
#include "base/FileNames.h"
#include "base/Logs.h"
#include "import/ArchiveFolders.h"
#include "import/ArchiveSelection.h"
#include "import/ImportRun.h"

#include <QCoreApplication>
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
#include <sys/statvfs.h>
#include <unistd.h>

namespace varnelo {

namespace {

const QString kSource = QStringLiteral("ArchiveMedium");

// No medium nests folders this deep; the run folder is removed level by level.
constexpr qsizetype kMaxDepth = 64;

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
    QString error() const { return errorOf(a); }
    static QString errorOf(::archive* a)
    {
        const char* text = archive_error_string(a);
        return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
    }
};

struct Archive {
    Q_DECLARE_TR_FUNCTIONS(ArchiveMedium)
};

Error unreadable(const QString& archivePath, const QString& reason)
{
    return Error(ArchiveErrc::Damaged, Archive::tr("%1 cannot be read: %2").arg(archivePath, reason));
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
        throw unreadable(archivePath, r.error());
}

QString decoded(const char* utf8, const char* raw)
{
    if (utf8)
        return QString::fromUtf8(utf8);
    return raw ? QString::fromLatin1(raw) : QString();
}

QString entryName(archive_entry* e)
{
    return decoded(archive_entry_pathname_utf8(e), archive_entry_pathname(e));
}

// The member's path inside the tree, or a null text and why it is refused.
QString cleanName(QString name, QString& why)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.startsWith(QLatin1Char('/'))) {
        why = Archive::tr("its path is absolute");
        return {};
    }
    QStringList parts;
    for (const QString& p : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (p == QLatin1String("."))
            continue;
        if (p == QLatin1String("..")) {
            why = Archive::tr("its path leads out of the archive (\"..\")");
            return {};
        }
        parts << p;
    }
    if (parts.size() > kMaxDepth) {
        why = Archive::tr("its path is deeper than any medium's");
        return {};
    }
    if (parts.isEmpty())
        return QStringLiteral("");  // the root itself, not a refusal
    return parts.join(QLatin1Char('/'));
}

// "DIR/IM" taken: "DIR/IM~2", with the ~2 before the file suffix the scan
// looks for (or the extension), so the walk still takes the file.
QString renamed(const QString& name, int n, const QString& suffix)
{
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    const QString file = name.mid(slash + 1);
    qsizetype at = file.size();
    if (!suffix.isEmpty() && suffixMatches(file, suffix))
        at = file.size() - suffix.size();
    else if (const qsizetype dot = file.lastIndexOf(QLatin1Char('.')); dot > 0)
        at = dot;
    return name.left(slash + 1) + file.left(at) + QStringLiteral("~%1").arg(n) + file.mid(at);
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

bool isDicomDirName(const QString& name)
{
    return name.section(QLatin1Char('/'), -1).compare(QLatin1String("DICOMDIR"), Qt::CaseInsensitive) == 0;
}

}  // namespace

ArchiveMedium::Limits& ArchiveMedium::defaultLimits()
{
    static Limits limits;
    return limits;
}

ArchiveMedium::Selection ArchiveMedium::selectionOfRun()
{
    const AppState& s = appState();
    Selection selection;
    selection.dicomDir = s.SearchBy == 1;
    if (!selection.dicomDir)
        selection.suffix = s.FileSuffix;
    return selection;
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
    archivefolders::removeStale(QDir::tempPath(), QStringLiteral("varnelo-media-"));
}

ArchiveMedium::ArchiveMedium(const QString& archivePath, Limits limits, Selection selection)
    : archive_(QFileInfo(archivePath).absoluteFilePath())
    , limits_(limits)
    , selection_(std::move(selection))
{
}

ArchiveMedium::~ArchiveMedium()
{
    stop();
    if (!base_.isEmpty())
        archivefolders::removeOwnFolder(base_);
}

void ArchiveMedium::checkTotal(std::int64_t total, bool declared) const
{
    const QString temp = QDir::tempPath();
    if (total > usable_)
        throw Error(ArchiveErrc::TooLarge,
                    declared ? Archive::tr("%1 is refused: it would expand to %2, and %3 has only %4 free for it")
                                   .arg(archive_, megabytes(total), temp, megabytes(usable_))
                             : Archive::tr("%1 stops: it expands to more than the %2 free for it in %3")
                                   .arg(archive_, megabytes(usable_), temp));
    if (total > limits_.totalBytes && total / std::max(limits_.totalRatio, 1) > std::max<std::int64_t>(archiveSize_, 1))
        throw Error(ArchiveErrc::TooLarge,
                    (declared ? Archive::tr("%1 is refused: its members would expand to %2, more than %3 times the archive's "
                                   "size (a ZIP bomb)")
                              : Archive::tr("%1 stops: its members expand to more than %2, more than %3 times the archive's "
                                   "size (a ZIP bomb)"))
                        .arg(archive_, megabytes(total))
                        .arg(limits_.totalRatio));
}

void ArchiveMedium::open(const std::function<void()>& keepAlive)
{
    auto turn = [&](qsizetype i) {
        if (keepAlive && i % 256 == 255)
            keepAlive();
    };
    Reader r;
    openReader(r, archive_);
    archiveSize_ = QFileInfo(archive_).size();

    QSet<QString> folders;
    QHash<QString, int> repeats;  // the last "~n" given to a name
    archive_entry* e = nullptr;
    for (int index = 0;; ++index) {
        turn(index);
        const int rc = archive_read_next_header(r.a, &e);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc == ARCHIVE_FATAL)
            throw unreadable(archive_, r.error());
        const QString raw = entryName(e);
        const QString shown = archive_ + QLatin1Char('/') + raw;
        if (rc < ARCHIVE_WARN) {
            WriteErrorLog(ArchiveErrc::Damaged, Archive::tr("%1 cannot be read: %2").arg(shown, r.error()), kSource);
            continue;
        }
        auto refuse = [&](const QString& why) {
            WriteErrorLog(ArchiveErrc::Refused, Archive::tr("%1 is not extracted: %2").arg(shown, why), kSource);
        };
        QString why;
        const QString name = cleanName(raw, why);
        if (name.isNull()) {
            refuse(why);
            continue;
        }
        Member m;
        m.shown = shown;
        m.index = index;
        if (const char* target = archive_entry_hardlink(e)) {
            // a disc image's second name of one file: the file it names, if that is in the tree
            const QString targetName = decoded(archive_entry_hardlink_utf8(e), target);
            QString ignored;
            const QString cleanTarget = cleanName(targetName, ignored);
            const auto at = cleanTarget.isEmpty() ? byPath_.cend() : byPath_.constFind(QStringLiteral("/medium/") + cleanTarget);
            if (name.isEmpty() || at == byPath_.cend() || members_[static_cast<size_t>(*at)].linkTo >= 0) {
                refuse(Archive::tr("it is a hard link to %1, which is not a file of the archive").arg(targetName));
                continue;
            }
            m.linkTo = *at;
            m.declared = 0;
        } else {
            const auto type = archive_entry_filetype(e);
            if (type == AE_IFLNK) {
                const char* target = archive_entry_symlink(e);
                refuse(Archive::tr("it is a symbolic link to %1").arg(target ? QString::fromUtf8(target) : QString()));
                continue;
            }
            if (name.isEmpty())
                continue;  // the root itself
            if (type == AE_IFDIR) {
                folders.insert(name);
                continue;
            }
            if (type != AE_IFREG) {
                refuse(Archive::tr("it is not a regular file"));
                continue;
            }
            if (archive_entry_is_encrypted(e)) {
                encrypted_ << shown;
                WriteErrorLog(ArchiveErrc::Encrypted, Archive::tr("%1 is encrypted and is not extracted").arg(shown), kSource);
                continue;
            }
            if (archive_entry_size_is_set(e) && archive_entry_size(e) >= 0) {
                m.declared = archive_entry_size(e);
                // no member of this archive is compressed into more than the archive
                if (m.declared > limits_.bombBytes && m.declared / std::max(limits_.bombRatio, 1) > std::max<std::int64_t>(archiveSize_, 1))
                    throw Error(ArchiveErrc::TooLarge,
                                Archive::tr("%1 is refused: its member %2 would expand to %3, more than %4 times the "
                                   "archive's size (a ZIP bomb)")
                                    .arg(archive_, name, megabytes(m.declared))
                                    .arg(limits_.bombRatio));
            }
        }
        m.name = name;
        // two members of one name (two patients' "IM1"): the second gets a name of its own
        for (int& n = repeats[name]; byPath_.contains(QStringLiteral("/medium/") + m.name) || folders.contains(m.name);)
            m.name = renamed(name, n = std::max(n, 1) + 1, selection_.suffix);
        if (m.name != name)
            WriteErrorLog(ArchiveErrc::Renamed,
                          Archive::tr("%1 has the name of an earlier member: it is extracted as %2/%3").arg(shown, archive_, m.name),
                          kSource);
        byPath_.insert(QStringLiteral("/medium/") + m.name, static_cast<int>(members_.size()));
        members_.push_back(m);
    }

    // What the walk will read; a hard link brings the file it names along.
    std::vector<size_t> dicomDirs;
    if (selection_.dicomDir) {
        QString best;
        int depth = INT_MAX;
        for (const Member& m : members_)
            if (isDicomDirName(m.name) && m.linkTo < 0) {
                const int d = static_cast<int>(m.name.count(QLatin1Char('/')));
                if (d < depth || (d == depth && m.name < best)) {
                    depth = d;
                    best = m.name;
                }
            }
        dicomDirBase_ = best.contains(QLatin1Char('/')) ? best.section(QLatin1Char('/'), 0, -2) : QString();
        for (size_t i = 0; i < members_.size(); ++i) {
            Member& m = members_[i];
            const qsizetype slash = m.name.lastIndexOf(QLatin1Char('/'));
            const QString folder = slash < 0 ? QString() : m.name.left(slash);
            const bool below = dicomDirBase_.isEmpty() || m.name.startsWith(dicomDirBase_ + QLatin1Char('/'));
            // the walk reads the first file of the folder whose name holds "DICOMDIR"
            if (folder == dicomDirBase_ && m.name.mid(slash + 1).contains(QLatin1String("DICOMDIR"), Qt::CaseInsensitive) &&
                m.linkTo < 0)
                dicomDirs.push_back(i);
            // without a DICOMDIR the walk reads nothing
            m.wanted = !best.isEmpty() && below;
        }
    } else if (!selection_.suffix.isEmpty()) {
        for (Member& m : members_)
            m.wanted = suffixMatches(m.name.section(QLatin1Char('/'), -1), selection_.suffix);
    }
    for (const Member& m : members_)
        if (m.wanted && m.linkTo >= 0)
            members_[static_cast<size_t>(m.linkTo)].wanted = true;

    const QString temp = QDir::tempPath();
    const std::int64_t free = limits_.freeBytes >= 0 ? limits_.freeBytes : freeSpace(temp);
    usable_ = free < 0 ? std::numeric_limits<std::int64_t>::max()
                       : std::max<std::int64_t>(0, free - std::max(free / 10, limits_.keepFree));
    // a DICOMDIR import knows what it takes once the DICOMDIR is read (selectReferenced)
    std::int64_t total = 0;
    for (size_t i = 0; i < members_.size(); ++i)
        if (members_[i].wanted && members_[i].declared > 0 &&
            (!selection_.dicomDir || std::find(dicomDirs.begin(), dicomDirs.end(), i) != dicomDirs.end()))
            total += members_[i].declared;
    checkTotal(total, true);

    QByteArray pattern = encodeFileName(QDir(temp).filePath(folderPrefix() + QStringLiteral("XXXXXX")));
    if (!::mkdtemp(pattern.data()))
        throw Error(ErrNo::PathFileAccess, QStringLiteral("Path/File access error: %1: %2").arg(temp, QString::fromLocal8Bit(std::strerror(errno))));
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

    // The keys become full paths now that the folder is known. Members the
    // walk will not read have no place in the tree.
    QHash<QString, int> byPath;
    state_.assign(members_.size(), State::Pending);
    qsizetype laid = 0;
    for (auto it = byPath_.cbegin(); it != byPath_.cend(); ++it) {
        turn(laid++);
        Member& m = members_[static_cast<size_t>(*it)];
        if (!m.wanted) {
            m.index = -1;
            continue;
        }
        const QString path = base_ + it.key();
        const int fd = ::open(encodeFileName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            WriteErrorLog(ArchiveErrc::Refused,
                          Archive::tr("%1 is not extracted: a folder or file of the same name is in the way").arg(m.shown), kSource);
            m.index = -1;
            continue;
        }
        ::close(fd);
        byPath.insert(path, *it);
    }
    byPath_ = std::move(byPath);
    for (size_t i = 0; i < members_.size(); ++i)
        if (members_[i].index < 0)
            state_[i] = State::Missing;
    std::erase_if(dicomDirs, [&](size_t i) { return members_[i].index < 0; });
    dicomDirs_ = std::move(dicomDirs);
    thread_ = std::thread([this] { extract(); });
}

QString ArchiveMedium::dicomDirFolder() const
{
    QString best;
    int depth = INT_MAX;
    for (auto it = byPath_.cbegin(); it != byPath_.cend(); ++it) {
        const QString& name = members_[static_cast<size_t>(it.value())].name;
        if (!isDicomDirName(name))
            continue;
        const int d = static_cast<int>(name.count(QLatin1Char('/')));
        if (d < depth || (d == depth && it.key() < best)) {
            depth = d;
            best = it.key();
        }
    }
    return best.isEmpty() ? root_ : QFileInfo(best).path();
}

QStringList ArchiveMedium::damaged() const
{
    std::lock_guard lock(mutex_);
    return damaged_;
}

void ArchiveMedium::fail(const Error& error)
{
    std::lock_guard lock(mutex_);
    if (!failure_)
        failure_ = error;
}

void ArchiveMedium::settle(size_t slot, State state)
{
    {
        std::lock_guard lock(mutex_);
        state_[slot] = state;
    }
    changed_.notify_all();
}

void ArchiveMedium::settleLink(size_t slot)
{
    const Member& m = members_[slot];
    const size_t target = static_cast<size_t>(m.linkTo);
    bool ready = false;
    {
        std::lock_guard lock(mutex_);
        ready = state_[target] == State::Ready;
    }
    const QByteArray path = encodeFileName(root_ + QLatin1Char('/') + m.name);
    const QByteArray part = encodeFileName(staging_ + QLatin1Char('/') + QString::number(slot));
    if (ready && ::link(encodeFileName(root_ + QLatin1Char('/') + members_[target].name).constData(), part.constData()) == 0 &&
        ::rename(part.constData(), path.constData()) == 0) {
        settle(slot, State::Ready);
        return;
    }
    ::unlink(part.constData());
    ::unlink(path.constData());
    settle(slot, State::Missing);
}

ArchiveMedium::Outcome ArchiveMedium::extractMember(::archive* a, size_t slot, std::int64_t& total)
{
    const Member& m = members_[slot];
    const QByteArray part = encodeFileName(staging_ + QLatin1Char('/') + QString::number(slot));
    const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw Error(ErrNo::PathFileAccess, QStringLiteral("Path/File access error: %1: %2").arg(staging_, QString::fromLocal8Bit(std::strerror(errno))));
    auto brokenData = [&](int rc) {
        WriteErrorLog(ArchiveErrc::Damaged, Archive::tr("%1 cannot be read: %2").arg(m.shown, Reader::errorOf(a)), kSource);
        {
            std::lock_guard lock(mutex_);
            damaged_ << m.shown;
        }
        // after a fatal error libarchive reads nothing more: the reader is opened again
        return rc == ARCHIVE_FATAL ? Outcome::Reopen : Outcome::Failed;
    };
    const std::int64_t start = archive_filter_bytes(a, -1);
    std::int64_t written = 0;
    Outcome outcome = Outcome::Done;
    try {
        for (;;) {
            const void* buffer = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int d = archive_read_data_block(a, &buffer, &size, &offset);
            if (d == ARCHIVE_EOF)
                break;
            if (d != ARCHIVE_OK && d != ARCHIVE_WARN) {
                outcome = brokenData(d);
                break;
            }
            const std::int64_t end = offset + static_cast<std::int64_t>(size);
            const std::int64_t from = std::max<std::int64_t>(written, offset);
            if (end > from)
                total += end - from;
            written = std::max(written, end);
            // headers can lie: the bytes themselves are counted
            if (m.declared >= 0 && written > m.declared)
                throw Error(ArchiveErrc::TooLarge, Archive::tr("%1 stops: %2 expands beyond the %3 bytes its header gives (a ZIP bomb)").arg(archive_, m.name).arg(m.declared));
            const std::int64_t packed = std::max<std::int64_t>(archive_filter_bytes(a, -1) - start, 1);
            if (written > limits_.bombBytes && written / std::max(limits_.bombRatio, 1) > packed)
                throw Error(ArchiveErrc::TooLarge,
                            Archive::tr("%1 stops: %2 expands to more than %3 times its compressed size (a ZIP bomb)")
                                .arg(archive_, m.name)
                                .arg(limits_.bombRatio));
            checkTotal(total, false);
            // a warning here is a checksum or size that does not match: the bytes are not the image
            if (d == ARCHIVE_WARN) {
                outcome = brokenData(d);
                break;
            }
            const char* p = static_cast<const char*>(buffer);
            std::int64_t at = offset;
            while (size > 0) {
                const ssize_t n = ::pwrite(fd, p, size, at);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw Error(ErrNo::PathFileAccess, QStringLiteral("Path/File access error: %1: %2").arg(staging_, QString::fromLocal8Bit(std::strerror(errno))));
                p += n;
                at += n;
                size -= static_cast<size_t>(n);
            }
            if (stop_)
                break;
        }
        if (outcome == Outcome::Done && written < m.declared && ::ftruncate(fd, m.declared) != 0)
            outcome = Outcome::Failed;
    } catch (...) {
        ::close(fd);
        ::unlink(part.constData());
        throw;
    }
    ::close(fd);
    if (stop_) {
        ::unlink(part.constData());
        return outcome;
    }
    const QByteArray path = encodeFileName(root_ + QLatin1Char('/') + m.name);
    if (outcome == Outcome::Done && ::rename(part.constData(), path.constData()) == 0)
        return outcome;
    ::unlink(part.constData());
    ::unlink(path.constData());  // the empty placeholder says nothing
    return outcome == Outcome::Done ? Outcome::Failed : outcome;
}

void ArchiveMedium::pass(const std::vector<size_t>& todo, std::int64_t& total, std::vector<size_t>* held)
{
    size_t next = 0;
    while (next < todo.size() && !stop_) {
        Reader r;
        openReader(r, archive_);
        bool reopen = false;
        archive_entry* e = nullptr;
        for (int index = 0; next < todo.size() && !stop_ && !reopen; ++index) {
            const int rc = archive_read_next_header(r.a, &e);
            if (rc == ARCHIVE_EOF)
                return;  // what is left becomes Missing at the end
            if (rc == ARCHIVE_FATAL)
                throw unreadable(archive_, r.error());
            const size_t slot = todo[next];
            if (members_[slot].index != index)
                continue;  // the data is skipped by the next header
            ++next;
            if (rc < ARCHIVE_WARN) {
                WriteErrorLog(ArchiveErrc::Damaged, Archive::tr("%1 cannot be read: %2").arg(members_[slot].shown, r.error()), kSource);
                settle(slot, State::Missing);
                continue;
            }
            if (members_[slot].linkTo >= 0) {
                settleLink(slot);
                continue;
            }
            const Outcome outcome = extractMember(r.a, slot, total);
            if (stop_)
                return;
            if (outcome == Outcome::Done && held)
                held->push_back(slot);
            else
                settle(slot, outcome == Outcome::Done ? State::Ready : State::Missing);
            reopen = outcome == Outcome::Reopen;
        }
        if (!reopen)
            return;
    }
}

void ArchiveMedium::selectReferenced(const std::vector<size_t>& dicomDirs)
{
    QSet<QString> referenced;
    bool known = false;
    for (size_t slot : dicomDirs) {
        try {
            referenced.unite(archiveselection::referencedPaths(root_ + QLatin1Char('/') + members_[slot].name));
            known = true;
        } catch (const std::exception&) {
            // the walk says why it cannot use it
        }
    }
    // without a DICOMDIR it can read, the walk decides: every file below stays
    const qsizetype skip = dicomDirBase_.isEmpty() ? 0 : dicomDirBase_.size() + 1;
    for (size_t i = 0; i < members_.size() && known; ++i) {
        Member& m = members_[i];
        if (m.index < 0 || std::find(dicomDirs.begin(), dicomDirs.end(), i) != dicomDirs.end())
            continue;
        if (referenced.contains(archiveselection::foldedPath(m.name.mid(skip))))
            continue;
        m.wanted = false;
    }
    // a link's file stays with the link
    for (const Member& m : members_)
        if (m.index >= 0 && m.wanted && m.linkTo >= 0)
            members_[static_cast<size_t>(m.linkTo)].wanted = true;
    std::int64_t total = 0;
    for (size_t i = 0; i < members_.size(); ++i) {
        if (members_[i].index >= 0 && !members_[i].wanted) {
            ::unlink(encodeFileName(root_ + QLatin1Char('/') + members_[i].name).constData());
            settle(i, State::Missing);
        } else if (members_[i].index >= 0 && members_[i].declared > 0) {
            total += members_[i].declared;
        }
    }
    checkTotal(total, true);
}

void ArchiveMedium::extract()
{
    try {
        std::int64_t total = 0;
        // A DICOMDIR import reads the DICOMDIR first and then only what it
        // references: the DICOMDIR comes out first, and is Ready only once
        // the rest is chosen, so the walk lists folders as they will stay.
        std::vector<size_t> first = dicomDirs_;
        std::sort(first.begin(), first.end(), [&](size_t a, size_t b) { return members_[a].index < members_[b].index; });
        if (!first.empty()) {
            std::vector<size_t> extracted;
            pass(first, total, &extracted);
            selectReferenced(extracted);
            for (size_t slot : extracted)
                settle(slot, State::Ready);
        }
        std::vector<size_t> rest;
        {
            std::lock_guard lock(mutex_);
            for (size_t i = 0; i < members_.size(); ++i)
                if (members_[i].index >= 0 && members_[i].wanted && state_[i] == State::Pending &&
                    std::find(first.begin(), first.end(), i) == first.end())
                    rest.push_back(i);
        }
        std::sort(rest.begin(), rest.end(), [&](size_t a, size_t b) { return members_[a].index < members_[b].index; });
        pass(rest, total);
    } catch (const Error& error) {
        WriteErrorLog(error.number(), error.description(), kSource);
        fail(error);
    } catch (const std::exception& error) {
        fail(unreadable(archive_, QString::fromLocal8Bit(error.what())));
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

QString libarchiveVersion()
{
    return QString::fromUtf8(archive_version_string());
}

}  // namespace varnelo
