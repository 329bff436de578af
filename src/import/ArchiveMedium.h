#pragma once

// A ZIP archive or an ISO 9660 disc image imported as if it were a medium:
// its members are extracted into a temporary folder of the run, and the
// import walks that folder.

#include "base/Error.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct archive;  // libarchive's reader

namespace varnelo {

namespace ArchiveErrc {
constexpr std::int32_t Damaged = 41101;    // libarchive cannot read it (its reason follows)
constexpr std::int32_t Refused = 41102;    // a member that would leave the folder, or a link
constexpr std::int32_t Encrypted = 41103;  // a member that needs a password
constexpr std::int32_t TooLarge = 41104;   // a bomb, or more than the disk holds
constexpr std::int32_t Renamed = 41105;    // a second member of one name, extracted under another
}  // namespace ArchiveErrc

// Opens the archive, checks every member's name, type and size from the
// headers, and lays out the folder tree at once: every folder, and an empty
// placeholder for every file, so that a listing of any folder is complete
// from the start. A thread of its own then extracts the files in archive
// order; each is written beside the tree and renamed over its placeholder
// when it is complete, so a file in the tree is either empty or whole. The
// import asks waitFor() before it reads a file.
//
// Only the members the walk will read are extracted (see Selection). A
// second member of a name already taken is extracted as "name~2" (an
// error-log line says so); a hard link of a disc image becomes a hard link
// to the file it names, so the walk takes that file once.
//
// Nothing leaves the folder: members named with "..", with an absolute path,
// symbolic links and device files are not materialised (an error-log line
// each), and encrypted members neither. The bytes are counted while
// extracting, since headers can lie: a member expanding more than its header
// said, or more than the bomb limits allow, or the archive as a whole
// expanding beyond its bounds or the free space it may take, stops the
// extraction. A member whose data is damaged fails alone (damaged()). The
// folder is removed when the object goes, without following links.
class ArchiveMedium {
public:
    struct Limits {
        // A member is a bomb when it expands to more than this ...
        std::int64_t bombBytes = 1LL << 30;
        // ... and to more than this many times its compressed size.
        int bombRatio = 100;
        // The whole archive is a bomb when what is extracted of it comes
        // to more than this ...
        std::int64_t totalBytes = 1LL << 30;
        // ... and to more than this many times the archive's size.
        int totalRatio = 100;
        // Free space of the temporary folder; -1: as the file system says.
        std::int64_t freeBytes = -1;
        // What the extraction leaves of it: a tenth, and at least this much.
        std::int64_t keepFree = 512LL << 20;
    };
    // Which members the walk will read.
    struct Selection {
        bool dicomDir = false;  // the DICOMDIR and the files its records reference
        QString suffix;         // otherwise: names that end in it, in any case ("" for all)
    };
    // As the run is set up (AppState's SearchBy and FileSuffix).
    static Selection selectionOfRun();
    // What new media get; tests lower the limits.
    static Limits& defaultLimits();

    // A .zip or .iso file (by its suffix, in any case) that is a regular file.
    static bool isArchive(const QString& path);
    // Removes the folders of runs whose process is gone (a crash leaves them).
    static void removeStale();
    // "varnelo-media-<pid>-" under the temporary folder.
    static QString folderPrefix();

    explicit ArchiveMedium(const QString& archivePath, Limits limits = defaultLimits(),
                           Selection selection = selectionOfRun());
    ~ArchiveMedium();
    ArchiveMedium(const ArchiveMedium&) = delete;
    ArchiveMedium& operator=(const ArchiveMedium&) = delete;

    // Reads the headers, lays out the tree and starts extracting. Throws
    // Error (ArchiveErrc) when the archive cannot be used at all. An archive
    // of many thousand members takes a while: `keepAlive` is called between
    // them, so that the caller's window keeps its turns.
    void open(const std::function<void()>& keepAlive = {});

    // The folder that stands for the archive's root.
    const QString& root() const { return root_; }
    const QString& archive() const { return archive_; }
    // The encrypted members, not extracted; for the operator.
    const QStringList& encrypted() const { return encrypted_; }
    // The folder of the shallowest DICOMDIR, the root when there is none.
    QString dicomDirFolder() const;
    // The members whose data could not be read ("archive.zip/DIR/IM1"), so
    // far; each is Missing and logged, and the others go on.
    QStringList damaged() const;

    enum class State { Ready,      // whole in the tree, or not a member of the archive
                       Pending,    // still to come
                       Missing };  // refused, not read by the walk, or its extraction failed
    // Waits at most `ms` for the file at `path` in the tree.
    State waitFor(const QString& path, int ms);
    // The position of the file at `path` in archive order, the order it is
    // extracted in; -1 for a path that is no member.
    int orderOf(const QString& path) const
    {
        const auto at = byPath_.constFind(path);
        return at == byPath_.cend() ? -1 : *at;
    }
    // Why the extraction stopped before the end, if it did.
    std::optional<Error> failure() const;
    // True when every member is extracted or failed.
    bool finished() const;

    // The text with the tree's path replaced by the archive's, so that a log
    // line names "archive.zip/DIR/IM1".
    QString logName(const QString& text) const;

    // Stops extracting and waits for the thread.
    void stop();

private:
    struct Member {
        QString name;   // path in the tree: cleaned, renamed when the name was taken
        QString shown;  // "archive.zip/" and the name in the archive, for the logs
        int index = 0;  // position in archive order; -1: not extracted
        std::int64_t declared = -1;
        int linkTo = -1;  // a hard link: the member it names
        bool wanted = true;
    };
    enum class Outcome { Done,
                         Failed,
                         Reopen };
    void extract();
    // Extracts the members `todo` (in archive order); a damaged member fails alone.
    // With `held`, what is extracted is listed there instead of made Ready.
    void pass(const std::vector<size_t>& todo, std::int64_t& total, std::vector<size_t>* held = nullptr);
    Outcome extractMember(::archive* a, size_t slot, std::int64_t& total);
    void settle(size_t slot, State state);
    void settleLink(size_t slot);
    void selectReferenced(const std::vector<size_t>& dicomDirs);
    void checkTotal(std::int64_t total, bool declared) const;
    void fail(const Error& error);

    const QString archive_;
    const Limits limits_;
    const Selection selection_;
    std::int64_t archiveSize_ = 0;
    std::int64_t usable_ = 0;        // of the free space
    std::vector<size_t> dicomDirs_;  // DICOMDIR import: the files the walk may take for the DICOMDIR
    QString dicomDirBase_;           // DICOMDIR import: the folder of the DICOMDIR, relative to the root
    QString base_;                   // the run's folder: the tree and the files being written
    QString root_;                   // base_/medium
    QString staging_;                // base_/part
    std::vector<Member> members_;    // the files to extract, in archive order
    QHash<QString, int> byPath_;     // tree path -> index into members_
    QStringList encrypted_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<State> state_;
    std::optional<Error> failure_;
    QStringList damaged_;
    bool finished_ = false;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

// libarchive's own words for its version ("libarchive 3.6.2"),
// for the About box.
QString libarchiveVersion();

}  // namespace varnelo
