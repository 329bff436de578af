#include "import/ReferencedFiles.h"

#include "base/Error.h"
#include "base/FileNames.h"

#include <QHash>

#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace varnelo {

namespace {

QString join(const QString& folder, const QString& name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

bool isInside(const QString& real, const QString& root)
{
    return real.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'));
}

// The name as the medium may carry it when the DICOMDIR's bytes were no
// valid text and were read as Latin-1: those bytes themselves, as a file
// name keeps them (DCMTK opens the file by its bytes). "" when the name is
// spelled no other way.
QString rawSpelling(const QString& name)
{
    bool high = false;
    for (QChar c : name) {
        if (c.unicode() > 0xFF)
            return QString();
        high = high || c.unicode() > 0x7F;
    }
    if (!high)
        return QString();
    const QString raw = decodeFileName(name.toLatin1());
    return raw == name ? QString() : raw;
}

}  // namespace

QString foldedFileName(const QString& name)
{
    QString bare = name;
    const qsizetype semi = bare.lastIndexOf(QLatin1Char(';'));
    if (semi > 0) {
        bool digits = semi + 1 < bare.size();
        for (qsizetype i = semi + 1; i < bare.size() && digits; ++i)
            digits = bare[i].isDigit();
        if (digits)
            bare.truncate(semi);
    }
    if (bare.size() > 1 && bare.endsWith(QLatin1Char('.')))
        bare.chop(1);
    return bare.toCaseFolded();
}

struct ReferencedFiles::Entry {
    QString name;
    bool isDir = false;
    bool isLink = false;
};

// A folder's names, once per real folder however many paths lead to it.
struct ReferencedFiles::Listing {
    bool listable = false;
    std::vector<Entry> entries;
    QHash<QString, qsizetype> exact, caseless;
};

struct ReferencedFiles::Folder {
    QString path;  // as the walk names it: the base and the names found
    QString real;  // links resolved; inside the base by construction
    Listing* listing = nullptr;
    std::unordered_map<QString, std::unique_ptr<Folder>> subfolders;  // by the component as the DICOMDIR spells it
};

ReferencedFiles::ReferencedFiles(const QString& base)
    : base_(base)
    , baseReal_(realPathOf(base))
    , root_(std::make_unique<Folder>())
{
    root_->path = base;
    root_->real = baseReal_;
}

ReferencedFiles::~ReferencedFiles() = default;

ReferencedFiles::Listing& ReferencedFiles::listingOf(Folder& folder)
{
    if (folder.listing)
        return *folder.listing;
    std::unique_ptr<Listing>& listing = listings_[folder.real.isEmpty() ? folder.path : folder.real];
    if (!listing) {
        listing = std::make_unique<Listing>();
        std::vector<DirEntry> entries;
        int error = 0;
        listing->listable = !folder.real.isEmpty() && listFolder(folder.real, entries, error);
        if (listing->listable) {
            ++listed_;
            // name order, so that of two names that differ only in case the
            // same one is taken on every walk
            std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
            listing->entries.reserve(entries.size());
            for (DirEntry& e : entries) {
                const qsizetype i = static_cast<qsizetype>(listing->entries.size());
                listing->exact.insert(e.name, i);
                const QString key = foldedFileName(e.name);
                if (!listing->caseless.contains(key))
                    listing->caseless.insert(key, i);
                listing->entries.push_back(Entry {std::move(e.name), e.isDir, e.isLink});
            }
        }
    }
    folder.listing = listing.get();
    return *listing;
}

const ReferencedFiles::Entry* ReferencedFiles::find(Folder& folder, const QString& name)
{
    if (const Entry* e = findSpelled(folder, name))
        return e;
    const QString raw = rawSpelling(name);
    return raw.isEmpty() ? nullptr : findSpelled(folder, raw);
}

const ReferencedFiles::Entry* ReferencedFiles::findSpelled(Folder& folder, const QString& name)
{
    Listing& listing = listingOf(folder);
    if (!listing.listable) {
        // a folder that may be entered but not listed: exact names only
        if (listing.exact.contains(name))
            return &listing.entries[static_cast<size_t>(listing.exact.value(name))];
        const QByteArray native = encodeFileName(join(folder.real.isEmpty() ? folder.path : folder.real, name));
        struct stat st {};
        if (::lstat(native.constData(), &st) != 0)
            return nullptr;
        Entry e {name, S_ISDIR(st.st_mode), S_ISLNK(st.st_mode)};
        if (e.isLink && ::stat(native.constData(), &st) == 0)
            e.isDir = S_ISDIR(st.st_mode);
        listing.exact.insert(name, static_cast<qsizetype>(listing.entries.size()));
        listing.entries.push_back(std::move(e));
        return &listing.entries.back();
    }
    qsizetype i = listing.exact.value(name, -1);
    if (i < 0)
        i = listing.caseless.value(foldedFileName(name), -1);
    return i < 0 ? nullptr : &listing.entries[static_cast<size_t>(i)];
}

void ReferencedFiles::mustStayInside(const QString& path, const QString& real, const QStringList& id) const
{
    if (real.isEmpty() || isInside(real, baseReal_))
        return;  // a dangling link: the load says the file is missing
    throw Error(ErrNo::BadFileName,
                QStringLiteral("Bad file name: Referenced File ID \"%1\" leads outside the DICOMDIR's folder through the "
                               "link %2 (to %3)")
                    .arg(id.join(QLatin1Char('\\')), path, real));
}

ReferencedFiles::Folder* ReferencedFiles::subfolder(Folder& parent, const QString& component, const QStringList& id)
{
    auto known = parent.subfolders.find(component);
    if (known != parent.subfolders.end())
        return known->second.get();
    Folder* found = nullptr;
    const Entry* e = find(parent, component);
    if (e && e->isDir) {
        auto folder = std::make_unique<Folder>();
        folder->path = join(parent.path, e->name);
        if (e->isLink) {
            folder->real = realPathOf(folder->path);
            mustStayInside(folder->path, folder->real, id);
        } else {
            folder->real = join(parent.real, e->name);
        }
        found = folder.get();
        parent.subfolders.emplace(component, std::move(folder));
    } else {
        parent.subfolders.emplace(component, nullptr);  // not there: asked once
    }
    return found;
}

QString ReferencedFiles::path(const QStringList& components)
{
    QStringList parts;
    for (const QString& c : components) {
        if (c.isEmpty())
            continue;
        if (c == QLatin1String(".") || c == QLatin1String("..") || c.contains(QLatin1Char('/')) ||
            c.contains(QLatin1Char('\\')) || c.contains(QChar(0)))
            throw Error(ErrNo::BadFileName,
                        QStringLiteral("Bad file name: Referenced File ID component \"%1\" leads outside the DICOMDIR's folder")
                            .arg(c));
        parts << c;
    }
    QString spelled = base_;
    for (const QString& p : parts)
        spelled = join(spelled, p);
    if (parts.isEmpty() || baseReal_.isEmpty())
        return spelled;

    Folder* folder = root_.get();
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        folder = subfolder(*folder, parts[i], parts);
        if (!folder)
            return spelled;
    }
    const Entry* file = find(*folder, parts.back());
    if (!file)
        return spelled;
    const QString path = join(folder->path, file->name);
    if (file->isLink)
        mustStayInside(path, realPathOf(path), parts);
    return path;
}

QString referencedFilePath(const QString& base, const QStringList& components)
{
    return ReferencedFiles(base).path(components);
}

}  // namespace varnelo
