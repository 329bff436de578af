#include "base/IniFile.h"

#include "base/FileNames.h"
#include "base/ProgramFolder.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cerrno>
#include <mutex>
#include <optional>
#include <vector>

namespace varnelo {

namespace {

struct Line {
    QByteArray text;  // without its line ending
    QByteArray eol;   // "\n", "\r\n" or "" for a last line without one
};

std::vector<Line> splitLines(const QByteArray& data)
{
    std::vector<Line> lines;
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype nl = data.indexOf('\n', start);
        if (nl < 0) {
            lines.push_back({data.mid(start), {}});
            break;
        }
        qsizetype end = nl;
        if (end > start && data.at(end - 1) == '\r')
            --end;
        lines.push_back({data.mid(start, end - start), data.mid(end, nl + 1 - end)});
        start = nl + 1;
    }
    return lines;
}

// A file that starts with a byte-order mark keeps its encoding: editors save
// "Unicode" as UTF-16, and some put a mark before UTF-8. Inside, the lines are
// handled as the locale's bytes (UTF-8), and turned back on writing.
enum class FileEncoding { Plain,
                          Utf8Mark,
                          Utf16Le,
                          Utf16Be };

FileEncoding normalise(QByteArray& data)
{
    if (data.startsWith("\xEF\xBB\xBF")) {
        data.remove(0, 3);
        return FileEncoding::Utf8Mark;
    }
    const bool le = data.startsWith("\xFF\xFE"), be = data.startsWith("\xFE\xFF");
    if (!le && !be)
        return FileEncoding::Plain;
    QStringDecoder decoder(le ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
    const QString text = decoder.decode(QByteArrayView(data).sliced(2));
    data = text.toUtf8();
    return le ? FileEncoding::Utf16Le : FileEncoding::Utf16Be;
}

QByteArray restore(const QByteArray& data, FileEncoding encoding)
{
    switch (encoding) {
    case FileEncoding::Plain:
        return data;
    case FileEncoding::Utf8Mark:
        return "\xEF\xBB\xBF" + data;
    case FileEncoding::Utf16Le:
    case FileEncoding::Utf16Be: {
        const bool le = encoding == FileEncoding::Utf16Le;
        QStringEncoder encoder(le ? QStringEncoder::Utf16LE : QStringEncoder::Utf16BE);
        return QByteArray(le ? "\xFF\xFE" : "\xFE\xFF") + QByteArray(encoder.encode(QString::fromUtf8(data)));
    }
    }
    return data;
}

QString decode(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::System);
    return decoder.decode(bytes);
}

QByteArray encode(const QString& text)
{
    QStringEncoder encoder(QStringEncoder::System);
    return encoder.encode(text);
}

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString trimBlanks(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlank(s.at(b)))
        ++b;
    while (e > b && isBlank(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

// A section header's name, or nothing when the line is not a header.
std::optional<QString> sectionName(const QString& line)
{
    const QString t = trimBlanks(line);
    if (!t.startsWith(QLatin1Char('[')))
        return std::nullopt;
    qsizetype close = t.indexOf(QLatin1Char(']'));
    QString name = close < 0 ? t.mid(1) : t.mid(1, close - 1);
    return trimBlanks(name);
}

struct KeyLine {
    QString key;
    QString value;
};

std::optional<KeyLine> keyLine(const QString& line)
{
    const QString t = trimBlanks(line);
    if (t.isEmpty() || t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('[')))
        return std::nullopt;
    qsizetype eq = t.indexOf(QLatin1Char('='));
    if (eq < 0)
        return std::nullopt;
    return KeyLine {trimBlanks(t.left(eq)), trimBlanks(t.mid(eq + 1))};
}

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// A value or name may not break the line structure of the file.
QString oneLine(QString s)
{
    s.replace(QLatin1Char('\r'), QLatin1Char(' '));
    s.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return s;
}

std::mutex troubleMutex;
struct {
    QString path;
    QString message;
} trouble;

// Remembers why `path` was refused, or forgets it when it was read after all.
void noteTrouble(const QString& path, const QString& refusal)
{
    const std::lock_guard<std::mutex> lock(troubleMutex);
    if (!refusal.isEmpty()) {
        trouble.path = path;
        trouble.message = QCoreApplication::translate("varnelo::IniFile",
                                                      "The settings file %1 is not used: %2. The program goes on with "
                                                      "its defaults, and what is changed is not saved.")
                              .arg(path, refusal);
    } else if (trouble.path == path) {
        trouble = {};
    }
}

}  // namespace

QString settingsTrouble()
{
    const std::lock_guard<std::mutex> lock(troubleMutex);
    return trouble.message;
}

QString ReadIniValue(const QString& section, const QString& key, const QString& def, const QString& path, int size)
{
    return FindIniValue(section, key, path, size).value_or(def);
}

std::optional<QString> FindIniValue(const QString& section, const QString& key, const QString& path, int size)
{
    QString refusal;
    const bool rootMayOwn = isAdministratorsSettings(path) || (!path.isEmpty() && path == administratorsSettingsFile());
    std::optional<QByteArray> read = readOwnFile(path, kSettingsFileMax, refusal, rootMayOwn);
    const int error = errno;
    noteTrouble(path, read || error == ENOENT ? QString() : refusal);
    if (!read)
        return std::nullopt;
    QByteArray& data = *read;
    normalise(data);
    const std::vector<Line> lines = splitLines(data);
    bool inSection = false;
    for (const Line& l : lines) {
        const QString text = decode(l.text);
        if (auto name = sectionName(text)) {
            if (inSection)
                break;  // the first matching section is the one that counts
            inSection = sameName(*name, section);
            continue;
        }
        if (!inSection)
            continue;
        if (auto kv = keyLine(text); kv && sameName(kv->key, key)) {
            const int cap = size > 0 ? size - 1 : 0;
            return kv->value.left(cap);
        }
    }
    return std::nullopt;
}

bool WriteIniValue(const QString& section, const QString& key, const QString& value, const QString& path)
{
    const QString cleanSection = oneLine(section);
    const QString cleanKey = oneLine(key);
    const QString cleanValue = oneLine(value);

    if (isAdministratorsSettings(path))
        return false;
    QString refusal;
    std::optional<QByteArray> read = readOwnFile(path, kSettingsFileMax, refusal);
    const int error = errno;
    if (!read && error != ENOENT) {
        noteTrouble(path, refusal);
        return false;
    }
    noteTrouble(path, QString());
    if (read && !QFileInfo(path).isWritable())
        return false;
    QByteArray data = read.value_or(QByteArray());
    const FileEncoding encoding = normalise(data);

    std::vector<Line> lines = splitLines(data);
    QByteArray eol = "\n";
    for (const Line& l : lines) {
        if (!l.eol.isEmpty()) {
            eol = l.eol;
            break;
        }
    }

    // Locate the section, its last key line and the key itself.
    std::optional<size_t> header, lastKey, found;
    for (size_t i = 0; i < lines.size(); ++i) {
        const QString text = decode(lines[i].text);
        if (auto name = sectionName(text)) {
            if (header)
                break;
            if (sameName(*name, cleanSection))
                header = i;
            continue;
        }
        if (!header)
            continue;
        if (auto kv = keyLine(text)) {
            lastKey = i;
            if (sameName(kv->key, cleanKey)) {
                found = i;
                break;
            }
        }
    }

    auto ensureEol = [&](size_t index) {
        if (lines[index].eol.isEmpty())
            lines[index].eol = eol;
    };

    if (found) {
        // Keep the key as the file spells it and the line's own ending.
        const QString existingKey = keyLine(decode(lines[*found].text))->key;
        const QByteArray text = encode(existingKey + QLatin1Char('=') + cleanValue);
        // The file already says so: no rewrite (and no sync) for a value that stays.
        if (text == lines[*found].text)
            return true;
        lines[*found].text = text;
    } else if (header) {
        const size_t after = lastKey ? *lastKey : *header;
        ensureEol(after);
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after) + 1,
                     Line {encode(cleanKey + QLatin1Char('=') + cleanValue), eol});
    } else {
        if (!lines.empty())
            ensureEol(lines.size() - 1);
        lines.push_back(Line {encode(QLatin1Char('[') + cleanSection + QLatin1Char(']')), eol});
        lines.push_back(Line {encode(cleanKey + QLatin1Char('=') + cleanValue), eol});
    }

    QByteArray out;
    out.reserve(data.size() + 64);
    for (const Line& l : lines) {
        out += l.text;
        out += l.eol;
    }
    out = restore(out, encoding);

    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(out) != out.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

}  // namespace varnelo
