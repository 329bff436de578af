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

#include <vector>

namespace varnelo {

QString decodeFileName(const QByteArray& bytes);
QByteArray encodeFileName(const QString& name);

// A text fit for one log line: control characters as \n, \r, \t or \xNN,
// bytes of names that did not decode as \xNN.
QString escapeForLog(const QString& text);

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
