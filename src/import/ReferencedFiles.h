#pragma once

// Finding the files that a DICOMDIR's records name, on the medium it lies on.

#include <QString>
#include <QStringList>

#include <memory>
#include <unordered_map>

namespace varnelo {

// A file's name as a case-blind look-up sees it: an ISO 9660 version (";1")
// and the dot of a name without extension ("IM000001.") dropped, case folded.
QString foldedFileName(const QString& name);

// One per DICOMDIR walk. path() turns the components of a Referenced File ID
// into the path of the file below the DICOMDIR's folder. Empty components are
// left out. A component that would leave the folder by its name ("..", ".",
// an absolute name, a separator) throws BadFileName, and so does a file whose
// real location, its links resolved, lies outside the folder.
//
// Names are matched exactly first, then without regard to case and without
// the version (";1") and the trailing dot of ISO 9660, as Linux shows a disc
// mounted without Rock Ridge. A name that is not found and was read as
// Latin-1 (bytes that are no UTF-8, no character set given) is looked up by
// those bytes too, as the medium's own name may hold them. Each folder is listed at most once per object
// and its names are looked up in an index, so a lower-case medium costs
// about what an upper-case one does; only links are resolved one by one.
class ReferencedFiles {
public:
    explicit ReferencedFiles(const QString& base);
    ~ReferencedFiles();
    ReferencedFiles(const ReferencedFiles&) = delete;
    ReferencedFiles& operator=(const ReferencedFiles&) = delete;

    // A file that is not there under any case keeps the DICOMDIR's spelling,
    // so that the load reports the name the record gave.
    QString path(const QStringList& components);

    // Folders listed so far; for tests.
    int foldersListed() const { return listed_; }

private:
    struct Folder;
    struct Entry;
    struct Listing;
    Listing& listingOf(Folder& folder);
    const Entry* find(Folder& folder, const QString& name);
    const Entry* findSpelled(Folder& folder, const QString& name);
    Folder* subfolder(Folder& parent, const QString& component, const QStringList& id);
    void mustStayInside(const QString& path, const QString& real, const QStringList& id) const;

    QString base_;
    QString baseReal_;  // "" when the folder does not exist
    std::unique_ptr<Folder> root_;
    std::unordered_map<QString, std::unique_ptr<Listing>> listings_;  // by real path
    int listed_ = 0;
};

// One look-up without an index kept between calls.
QString referencedFilePath(const QString& base, const QStringList& components);

}  // namespace varnelo
