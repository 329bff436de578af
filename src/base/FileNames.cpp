#include "base/FileNames.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace varnelo {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscapedByte(char16_t c)
{
    return c >= 0xDC80 && c <= 0xDCFF;
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
    out.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\n')
            out += QLatin1String("\\n");
        else if (u == '\r')
            out += QLatin1String("\\r");
        else if (u == '\t')
            out += QLatin1String("\\t");
        else if (u < 0x20 || u == 0x7F)
            out += hexByte(u);
        else if (isEscapedByte(u))
            out += hexByte(u - kEscapeBase);
        else
            out += c;
    }
    return out;
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
