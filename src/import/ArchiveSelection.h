#pragma once

// Which members of an archive the walk will read, so that no other is
// extracted: in a scan the names that end in the file suffix, in a DICOMDIR
// import the DICOMDIR and the files its records reference.

#include <QSet>
#include <QString>

namespace varnelo::archiveselection {

// A path below the DICOMDIR's folder ("DICOM/ST1/IM1") as the case-blind
// look-up of a Referenced File ID sees it: each name case folded, without
// an ISO 9660 version (";1") or the dot of a name without extension.
QString foldedPath(const QString& relative);

// The Referenced File IDs of the records of the DICOMDIR at `path`, made by
// foldedPath. Throws Error when the DICOMDIR cannot be read.
QSet<QString> referencedPaths(const QString& path);

}  // namespace varnelo::archiveselection
