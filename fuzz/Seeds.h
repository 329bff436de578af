#pragma once

#include <QString>
#include <QStringList>

namespace varnelo::fuzz {

// Writes starting inputs for a target ("imagelist", "dicomdir", "archive", ...)
// into folder, made by the project's test-data code; returns their paths.
QStringList writeSeeds(const QString& target, const QString& folder);

}  // namespace varnelo::fuzz
