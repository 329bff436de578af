#include "base/FileNames.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnelo {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscapedByte(char16_t c)
{
    return c >= 0xDC80 && c <= 0xDCFF;
}

// What a reader could take for something else, or not see at all: controls
// (C1 as well), format characters (bidi, zero widths, the byte-order mark),
// line and paragraph separators, and surrogates that pair with nothing.
bool needsUnicodeEscape(char32_t cp)
{
    switch (QChar::category(cp)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
        return true;
    default:
        return false;
    }
}

// Length of the valid UTF-8 sequence at p (1..4), or 0.
int utf8Sequence(const unsigned char* p, qsizetype left)
{
    const unsigned char c = p[0];
    int n = 0;
    char32_t cp = 0;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0)
        n = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0)
        n = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0)
        n = 4, cp = c & 0x07;
    else
        return 0;
    if (left < n)
        return 0;
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    // overlong forms, surrogates and values beyond Unicode do not decode
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

QString hexByte(unsigned b)
{
    return QStringLiteral("\\x") + QString::number(b, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

}  // namespace

QString decodeFileName(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    qsizetype i = 0;
    qsizetype run = 0;  // start of the current valid stretch
    while (i < bytes.size()) {
        const int n = utf8Sequence(p + i, bytes.size() - i);
        if (n > 0) {
            i += n;
            continue;
        }
        out += QString::fromUtf8(bytes.constData() + run, i - run);
        out += QChar(static_cast<char16_t>(kEscapeBase + p[i]));
        run = ++i;
    }
    out += QString::fromUtf8(bytes.constData() + run, i - run);
    return out;
}

QByteArray encodeFileName(const QString& name)
{
    bool escaped = false;
    for (QChar c : name)
        if (isEscapedByte(c.unicode())) {
            escaped = true;
            break;
        }
    if (!escaped)
        return name.toUtf8();
    QByteArray out;
    qsizetype run = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!isEscapedByte(name[i].unicode()))
            continue;
        out += QStringView(name).mid(run, i - run).toUtf8();
        out += static_cast<char>(name[i].unicode() - kEscapeBase);
        run = i + 1;
    }
    out += QStringView(name).mid(run).toUtf8();
    return out;
}

QString escapeForLog(const QString& text)
{
    QString out;
    out.reserve(std::min(text.size(), kLogFieldMax) + 8);
    const qsizetype cutLength = QStringView(kLogFieldCut).size();
    qsizetype fits = 0;  // where the text may be cut with room for the marker
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        char32_t cp = u;
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode()))
            cp = QChar::surrogateToUcs4(u, text[i + 1].unicode());
        QString piece;
        if (u == '\n')
            piece = QStringLiteral("\\n");
        else if (u == '\r')
            piece = QStringLiteral("\\r");
        else if (u == '\t')
            piece = QStringLiteral("\\t");
        else if (u < 0x20 || u == 0x7F)
            piece = hexByte(u);
        else if (isEscapedByte(u))
            piece = hexByte(u - kEscapeBase);
        else if (needsUnicodeEscape(cp))
            piece = cp > 0xFFFF ? QStringLiteral("\\U") + QString::number(cp, 16).toUpper().rightJustified(8, QLatin1Char('0'))
                                : QStringLiteral("\\u") + QString::number(cp, 16).toUpper().rightJustified(4, QLatin1Char('0'));
        else
            piece = cp > 0xFFFF ? text.mid(i, 2) : QString(QChar(u));
        if (cp > 0xFFFF)
            ++i;
        out += piece;
        if (out.size() <= kLogFieldMax - cutLength)
            fits = out.size();
        if (out.size() > kLogFieldMax) {
            // cut where a whole piece ends, so no escape is left half
            out.truncate(fits);
            out += QStringView(kLogFieldCut);
            return out;
        }
    }
    return out;
}

int openOwnFile(const QString& path, int flags, qint64 maxSize, QString& refusal, bool rootMayOwn, unsigned createMode)
{
    refusal.clear();
    const int fd = ::open(encodeFileName(path).constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                          static_cast<mode_t>(createMode));
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP)
            refusal = QCoreApplication::translate("varnelo::Files", "it is a symbolic link, and only a file of its own is used");
        else if (error == ENXIO)  // a FIFO without a reader, a socket
            refusal = QCoreApplication::translate("varnelo::Files", "it is not a regular file");
        else
            refusal = QString::fromLocal8Bit(std::strerror(error));
        errno = error;
        return -1;
    }
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
        refusal = QString::fromLocal8Bit(std::strerror(error));
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
        refusal = QCoreApplication::translate("varnelo::Files", "it is not a regular file");
    } else if (st.st_uid != ::geteuid() && !(rootMayOwn && st.st_uid == 0)) {
        error = EPERM;
        refusal = QCoreApplication::translate("varnelo::Files", "it belongs to another user");
    } else if (maxSize > 0 && st.st_size > maxSize) {
        error = EFBIG;
        refusal = QCoreApplication::translate("varnelo::Files", "it is larger than %1 bytes").arg(maxSize);
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    // a regular file: reads and writes wait as usual
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<QByteArray> readOwnFile(const QString& path, qint64 maxSize, QString& refusal, bool rootMayOwn)
{
    const int fd = openOwnFile(path, O_RDONLY, maxSize, refusal, rootMayOwn);
    if (fd < 0)
        return std::nullopt;
    QByteArray data;
    // at most maxSize + 1 bytes, whatever the file grows to meanwhile
    const qint64 cap = maxSize > 0 ? maxSize + 1 : std::numeric_limits<qint64>::max();
    char buffer[65536];
    int error = 0;
    while (data.size() < cap) {
        const ssize_t n = ::read(fd, buffer, static_cast<size_t>(std::min<qint64>(sizeof buffer, cap - data.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        data.append(buffer, n);
    }
    ::close(fd);
    if (error == 0 && maxSize > 0 && data.size() > maxSize) {
        error = EFBIG;
        refusal = QCoreApplication::translate("varnelo::Files", "it is larger than %1 bytes").arg(maxSize);
    } else if (error != 0) {
        refusal = QString::fromLocal8Bit(std::strerror(error));
    }
    if (error != 0) {
        errno = error;
        return std::nullopt;
    }
    return data;
}

QString realPathOf(const QString& path)
{
    char* resolved = ::realpath(encodeFileName(path).constData(), nullptr);
    if (!resolved)
        return QString();
    const QString out = decodeFileName(QByteArray(resolved));
    ::free(resolved);
    return out;
}

bool listFolder(const QString& folder, std::vector<DirEntry>& out, int& error)
{
    out.clear();
    const QByteArray native = encodeFileName(folder);
    DIR* dir = ::opendir(native.constData());
    if (!dir) {
        error = errno;
        return false;
    }
    const int fd = ::dirfd(dir);
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
            continue;
        DirEntry entry;
        entry.name = decodeFileName(QByteArray(n));
        unsigned char type = e->d_type;
        entry.isLink = type == DT_LNK;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat st {};
            if (type == DT_UNKNOWN && ::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                entry.isLink = true;
            if (::fstatat(fd, n, &st, 0) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        entry.isDir = type == DT_DIR;
        out.push_back(std::move(entry));
        errno = 0;
    }
    error = errno;
    ::closedir(dir);
    return error == 0;
}

}  // namespace varnelo
