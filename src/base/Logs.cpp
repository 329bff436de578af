#include "base/Logs.h"

#include "base/FileNames.h"
#include "base/ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStringEncoder>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnelo {

namespace {

constexpr qint64 kRotateAbove = 1000000;

std::function<QDateTime()>& clock()
{
    static std::function<QDateTime()> c;
    return c;
}

std::mutex troubleMutex;
std::optional<LogTrouble> trouble;

void remember(const QString& path, const QString& reason)
{
    const std::lock_guard<std::mutex> lock(troubleMutex);
    if (!trouble)
        trouble = LogTrouble {path, reason};
}

// The logs name patients: only their owner reads them.
constexpr mode_t kPrivateFolder = 0700;
constexpr mode_t kPrivateFile = 0600;

// Takes group's and others' rights from what fd refers to when it is the
// user's own; never gives any.
void tighten(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
        ::fchmod(fd, st.st_mode & 07700);
}

// A folder of logs that an earlier version (or a wide umask) left open to
// others is closed once per run, with the files already in it; a link in it
// is left alone.
void tightenFolder(const QString& folder)
{
    static std::mutex mutex;
    static QStringList done;
    const std::lock_guard<std::mutex> lock(mutex);
    if (done.contains(folder))
        return;
    const int dir = ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    tighten(dir);
    std::vector<DirEntry> entries;
    int error = 0;
    if (listFolder(folder, entries, error)) {
        for (const DirEntry& e : entries) {
            if (e.isLink || e.isDir)
                continue;
            const int fd = ::openat(dir, encodeFileName(e.name).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (fd < 0)
                continue;
            struct stat st {};
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
                tighten(fd);
            ::close(fd);
        }
    }
    ::close(dir);
    done << folder;
}

// Makes the folder, level by level from the first one given, each private;
// false (and the failure remembered) when a level cannot be made.
bool makeFolder(const QString& base, const QStringList& levels)
{
    QString path = base;
    for (const QString& level : levels) {
        path += QLatin1Char('/') + level;
        if (::mkdir(QFile::encodeName(path).constData(), kPrivateFolder) != 0 && errno != EEXIST) {
            remember(path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

// Appends one line; every step is guarded on its own, nothing is thrown and
// the first failure is remembered for TakeLogTrouble().
void appendLine(const QString& current, const QString& retiredPrefix, const QString& line,
                const QString& header = QString())
{
    try {
        const QString folder = logFolder();
        if (folder.isEmpty()) {
            remember(QStringLiteral("Logs"), keepingTrouble().value_or(QStringLiteral("no folder for the logs")));
            return;
        }
        if (!QFileInfo(folder).isDir()) {
            // Beside the program only the last level: the program folder
            // exists. The user's state folder may not, on a first start.
            bool made;
            if (programFolderWritable()) {
                made = makeFolder(programFolder(), {QStringLiteral("Logs")});
            } else {
                const QString state = userStateFolder();
                QDir().mkpath(QFileInfo(state).path());
                made = makeFolder(QFileInfo(state).path(), {QFileInfo(state).fileName(), QStringLiteral("Logs")});
            }
            if (!made)
                return;
        }
        if (!programFolderWritable())
            tightenFolder(userStateFolder());
        tightenFolder(folder);

        const QString path = folder + QLatin1Char('/') + current;
        struct stat st {};
        // only a file of the log's own is retired; anything else is refused below
        if (::lstat(encodeFileName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > kRotateAbove) {
            // A failed rename (same stamp twice in one second) leaves the
            // file in place; the next line tries again.
            QFile::rename(path, folder + QLatin1Char('/') + retiredPrefix + FileStamp() + QStringLiteral(".log"));
        }

        // Not through a link, and only the user's own regular file: a link
        // planted in the folder must not take the receipt elsewhere.
        QString refusal;
        const int fd = openOwnFile(path, O_WRONLY | O_APPEND | O_CREAT, 0, refusal, false, kPrivateFile);
        if (fd < 0) {
            remember(path, refusal);
            return;
        }
        tighten(fd);  // one that was there before, or a file put back meanwhile
        QFile file;
        if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            remember(path, file.errorString());
            return;
        }
        QStringEncoder encoder(QStringEncoder::System);
        QByteArray bytes;
        if (!header.isEmpty() && file.size() == 0)  // a file begun anew says what its columns are
            bytes = encoder.encode(header) + "\r\n";
        bytes += encoder.encode(line);
        bytes += "\r\n";
        // a full disk shows only when the buffer goes out
        if (file.write(bytes) != bytes.size() || !file.flush())
            remember(path, file.errorString());
        file.close();
    } catch (...) {
        remember(current, QStringLiteral("unexpected failure"));
    }
}

}  // namespace

QDateTime now()
{
    if (clock())
        return clock()();
    return QDateTime::currentDateTime();
}

void setClockForTesting(std::function<QDateTime()> c)
{
    clock() = std::move(c);
}

QString logFolder()
{
    if (programFolderWritable())
        return programFolder() + QStringLiteral("/Logs");
    const QString state = userStateFolder();
    return state.isEmpty() ? QString() : state + QStringLiteral("/Logs");
}

std::optional<LogTrouble> TakeLogTrouble()
{
    const std::lock_guard<std::mutex> lock(troubleMutex);
    std::optional<LogTrouble> taken;
    taken.swap(trouble);
    return taken;
}

QString shortDate(const QDate& date)
{
    return shortDate(date, QLocale::system());
}

QString shortDate(const QDate& date, const QLocale& locale)
{
    // The locale's short format with its order and separators, but the year
    // in four digits ("dd.MM.yy" -> "dd.MM.yyyy", "M/d/yy" -> "M/d/yyyy").
    QString format = locale.dateFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    if (!format.contains(QLatin1String("yyyy")))
        format = QStringLiteral("yyyy-MM-dd");  // a format without a year
    return locale.toString(date, format);
}

QString logDateTime(const QDateTime& when)
{
    return shortDate(when.date()) + QLatin1Char(' ') + when.time().toString(QStringLiteral("hh:mm:ss"));
}

QString isoDateTime(const QDateTime& when)
{
    const int offset = when.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
        QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString DateStamp()
{
    return now().date().toString(QStringLiteral("yyyyMMdd"));
}

QString TimeStamp()
{
    return now().time().toString(QStringLiteral("HHmmss"));
}

QString FileStamp()
{
    const QDateTime t = now();  // one reading, so date and time agree at midnight
    return t.date().toString(QStringLiteral("yyyyMMdd")) + t.time().toString(QStringLiteral("HHmmss"));
}

// Fields are separated by a tab, so a line reads well in an editor and splits
// easily; tabs, line breaks and other control characters inside a field (a
// file name may hold any of them) are escaped so that an entry stays one line.
void WriteErrorLog(std::int32_t number, const QString& description, const QString& source)
{
    try {
        appendLine(QStringLiteral("Error.log"), QStringLiteral("error"),
                   logDateTime(now()) + QLatin1Char('\t') + QString::number(number) + QLatin1Char('\t') + escapeForLog(description) +
                       QLatin1Char('\t') + escapeForLog(source));
    } catch (...) {
    }
}

void WriteImportsLog(const QStringList& columns, const QStringList& fields)
{
    try {
        QStringList escaped {isoDateTime(now())};
        for (const QString& f : fields)
            escaped << escapeForLog(f);
        QStringList header {QStringLiteral("time")};
        for (const QString& c : columns)
            header << escapeForLog(c);
        appendLine(QStringLiteral("Imports.log"), QStringLiteral("imports"), escaped.join(QLatin1Char('\t')),
                   header.join(QLatin1Char('\t')));
    } catch (...) {
    }
}

void WriteAuditLog(const QString& message)
{
    try {
        // whole, never cut like the other logs' fields: the message is the
        // record; its XML holds no control characters, a line break would
        // still split it
        QString line = message;
        line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        appendLine(QStringLiteral("Audit.log"), QStringLiteral("audit"), isoDateTime(now()) + QLatin1Char('\t') + line);
    } catch (...) {
    }
}

void WriteDebugLog(const QString& text)
{
    try {
        appendLine(QStringLiteral("Debug.log"), QStringLiteral("debug"), logDateTime(now()) + QLatin1Char('\t') + escapeForLog(text));
    } catch (...) {
    }
}

}  // namespace varnelo
