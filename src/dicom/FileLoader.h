#pragma once

// Reading one DICOM file into memory, kept apart so that a read-ahead can
// call it from another thread later.

#include "dicom/DicomPrivate.h"

namespace varnelo::dicomimpl {

// The whole file in memory (no lazy loading: the medium may go away), with or
// without file meta information. Throws FileUnreadable naming the file.
std::shared_ptr<DcmFileFormat> loadDicomFile(const QString& path);

} // namespace varnelo::dicomimpl
