#pragma once

// File names as the file system gives them. A Linux name is a string of bytes
// that need not be valid in the locale's encoding (Latin-1 names on a UTF-8
// system, as USB sticks and some CDs carry). Such a name still has to be
// listed, opened and logged, so every byte that does not decode is kept in
// the QString as one of the lone surrogates U+DC80..U+DCFF and turned back
// into that byte on the way out. Valid names are plain UTF-8 both ways.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace varnelo {

QString decodeFileName(const QByteArray& bytes);
QByteArray encodeFileName(const QString& name);

// A text fit for one log line that reads as what it holds: C0 controls and
// DEL as \n, \r, \t or \xNN, bytes of names that did not decode as \xNN,
// every other control, format (bidi overrides, zero widths) and line or
// paragraph separator as \uXXXX (\UXXXXXXXX beyond the BMP). At most
// kLogFieldMax characters; a longer field ends in kLogFieldCut.
constexpr qsizetype kLogFieldMax = 1024;
inline constexpr char16_t kLogFieldCut[] = u"\u2026[cut]";
QString escapeForLog(const QString& text);

// Opens a file of the user's own, as the logs and the settings are: without
// following a link at the end of the path, and only a regular file that
// belongs to the user (or, with rootMayOwn, to root: the administrator's
// files) and, when maxSize > 0, holds at most maxSize bytes. flags as for
// ::open (O_NOFOLLOW, O_CLOEXEC and O_NONBLOCK are added, so a FIFO never
// blocks). Returns the descriptor, or -1 with errno set and `refusal` a
// plain sentence of why (errno ENOENT: simply not there). A file that
// O_CREAT makes gets createMode, less the umask.
int openOwnFile(const QString& path, int flags, qint64 maxSize, QString& refusal, bool rootMayOwn = false,
                unsigned createMode = 0666);
// The whole of such a file; nothing with `refusal` (and errno) set otherwise.
std::optional<QByteArray> readOwnFile(const QString& path, qint64 maxSize, QString& refusal, bool rootMayOwn = false);

// The path with every link resolved (realpath), or "" when it does not exist.
QString realPathOf(const QString& path);

struct DirEntry {
    QString name;
    bool isDir = false;   // after following a link
    bool isLink = false;  // the entry itself is a symbolic link
};

// The entries of a folder (without "." and ".."), names decoded as above.
// Entries whose type cannot be told (a dangling link) count as files. On
// failure returns false and sets error to errno.
bool listFolder(const QString& folder, std::vector<DirEntry>& out, int& error);

}  // namespace varnelo
