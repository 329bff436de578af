#include "import/ArchiveFolders.h"

#include "base/FileNames.h"

#include <QByteArray>

#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnelo::archivefolders {

namespace {

// An extracted tree is no deeper than this (members are refused deeper);
// each level holds one descriptor while its subfolders go.
constexpr int kMaxDepth = 200;

bool ownFolder(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

// Empties the folder open at `fd` (which it closes).
bool emptyFolder(int fd, int depth)
{
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    // names first: removing while reading may skip entries
    std::vector<QByteArray> names;
    while (const dirent* d = ::readdir(dir)) {
        const QByteArray name(d->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    bool whole = true;
    const int at = ::dirfd(dir);
    for (const QByteArray& name : names) {
        struct stat st {};
        if (::fstatat(at, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            whole = whole && errno == ENOENT;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            whole = (::unlinkat(at, name.constData(), 0) == 0 || errno == ENOENT) && whole;
            continue;
        }
        if (depth >= kMaxDepth) {
            whole = false;
            continue;
        }
        const int sub = ::openat(at, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            whole = false;
            continue;
        }
        whole = emptyFolder(sub, depth + 1) && whole;
        whole = ::unlinkat(at, name.constData(), AT_REMOVEDIR) == 0 && whole;
    }
    ::closedir(dir);
    return whole;
}

// Removes `name` in the folder open at `parent` when it is a folder of this
// user's; what is opened is checked again, so a swap in between is caught.
bool removeAt(int parent, const QByteArray& name)
{
    struct stat before {};
    if (::fstatat(parent, name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!ownFolder(before))
        return false;
    const int fd = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !ownFolder(opened) || opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
        ::close(fd);
        return false;
    }
    const bool whole = emptyFolder(fd, 1);
    return ::unlinkat(parent, name.constData(), AT_REMOVEDIR) == 0 && whole;
}

}  // namespace

bool removeOwnFolder(const QString& path)
{
    const QByteArray native = encodeFileName(path);
    const qsizetype slash = native.lastIndexOf('/');
    const QByteArray parentPath = slash > 0 ? native.left(slash) : QByteArray("/");
    const int parent = ::open(parentPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return false;
    const bool whole = removeAt(parent, native.mid(slash + 1));
    ::close(parent);
    return whole;
}

void removeStale(const QString& temp, const QString& prefix)
{
    const int parent = ::open(encodeFileName(temp).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return;
    const int listing = ::dup(parent);
    DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        ::close(parent);
        return;
    }
    std::vector<QByteArray> stale;
    const QByteArray start = encodeFileName(prefix);
    while (const dirent* d = ::readdir(dir)) {
        const QByteArray name(d->d_name);
        if (!name.startsWith(start))
            continue;
        bool ok = false;
        const qint64 pid = name.mid(start.size()).split('-').value(0).toLongLong(&ok);
        if (!ok || pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;  // its run is still going (or not ours to judge)
        stale.push_back(name);
    }
    ::closedir(dir);
    for (const QByteArray& name : stale)
        removeAt(parent, name);
    ::close(parent);
}

}  // namespace varnelo::archivefolders
