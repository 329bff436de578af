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
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace varnelo {

namespace ArchiveErrc {
constexpr std::int32_t Damaged = 41101;    // libarchive cannot read it (its reason follows)
constexpr std::int32_t Refused = 41102;    // a member that would leave the folder, or a link
constexpr std::int32_t Encrypted = 41103;  // a member that needs a password
constexpr std::int32_t TooLarge = 41104;   // a bomb, or more than the disk holds
}  // namespace ArchiveErrc

// Opens the archive, checks every member's name, type and size from the
// headers, and lays out the folder tree at once: every folder, and an empty
// placeholder for every file, so that a listing of any folder is complete
// from the start. A thread of its own then extracts the files in archive
// order; each is written beside the tree and renamed over its placeholder
// when it is complete, so a file in the tree is either empty or whole. The
// import asks waitFor() before it reads a file.
//
// Nothing leaves the folder: members named with "..", with an absolute path,
// links and device files are not materialised (an error-log line each), and
// encrypted members neither. The bytes are counted while extracting, since
// headers can lie: a member expanding more than its header said, or more
// than the bomb limits allow, or more than the disk holds, stops the
// extraction. The folder is removed when the object goes.
class ArchiveMedium {
public:
    struct Limits {
        // A member is a bomb when it expands to more than this ...
        std::int64_t bombBytes = 1LL << 30;
        // ... and to more than this many times its compressed size.
        int bombRatio = 100;
        // Free space of the temporary folder; -1: as the file system says.
        std::int64_t freeBytes = -1;
    };
    // What new media get; tests lower the limits.
    static Limits& defaultLimits();

    // A .zip or .iso file (by its suffix, in any case) that is a regular file.
    static bool isArchive(const QString& path);
    // Removes the folders of runs whose process is gone (a crash leaves them).
    static void removeStale();
    // "varnelo-media-<pid>-" under the temporary folder.
    static QString folderPrefix();

    explicit ArchiveMedium(const QString& archivePath, Limits limits = defaultLimits());
    ~ArchiveMedium();
    ArchiveMedium(const ArchiveMedium&) = delete;
    ArchiveMedium& operator=(const ArchiveMedium&) = delete;

    // Reads the headers, lays out the tree and starts extracting. Throws
    // Error (ArchiveErrc) when the archive cannot be used at all.
    void open();

    // The folder that stands for the archive's root.
    const QString& root() const { return root_; }
    const QString& archive() const { return archive_; }
    // The encrypted members, not extracted; for the operator.
    const QStringList& encrypted() const { return encrypted_; }
    // The folder of the shallowest DICOMDIR, the root when there is none.
    QString dicomDirFolder() const;

    enum class State { Ready,     // whole in the tree, or not a member of the archive
                       Pending,   // still to come
                       Missing }; // refused, or its extraction failed
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
        QString name;      // path inside the archive, cleaned
        int index = 0;     // position in archive order
        std::int64_t declared = -1;
    };
    void extract();
    void fail(const Error& error);

    const QString archive_;
    const Limits limits_;
    QString base_;     // the run's folder: the tree and the files being written
    QString root_;     // base_/medium
    QString staging_;  // base_/part
    std::vector<Member> members_;  // the files to extract, in archive order
    QHash<QString, int> byPath_;   // tree path -> index into members_
    QStringList encrypted_;
    std::int64_t free_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<State> state_;
    std::optional<Error> failure_;
    bool finished_ = false;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

}  // namespace varnelo
