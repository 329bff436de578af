#pragma once

// The temporary folders of archive runs: made by one process, removed by it
// or, after a crash, by the next run. Removal goes through directory handles
// and never follows a link, so a link planted in /tmp under a run folder's
// name (or inside one) costs its target nothing.

#include <QString>

namespace varnelo::archivefolders {

// Removes `path` and everything below it, if it is a folder of this user's
// (not a link). False when something was left.
bool removeOwnFolder(const QString& path);

// Removes the folders "<prefix><pid>-*" in `temp` whose process is gone,
// that are real folders of this user's; links and other users' folders stay.
void removeStale(const QString& temp, const QString& prefix);

}  // namespace varnelo::archivefolders
