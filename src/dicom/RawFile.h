#pragma once

// A quick walk over the bytes of a DICOM file, without building DCMTK's
// objects: it checks that the structure holds together from the file meta
// information to the last byte, and picks out the few values the program
// reads. A file it accepts can be sent as its own bytes when the peer takes
// its transfer syntax; anything it does not fully understand is left to
// DCMTK's parse, as every file was before.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnelo::dicomimpl {

struct RawDicom {
    std::string transferSyntax;  // UID from the file meta information
    qint64 datasetOffset = 0;    // the data set runs from here...
    qint64 datasetEnd = 0;       // ...to here: the end of the file, or where its trailing padding starts
    qint64 size = 0;
    // Top-level values as stored, their padding removed.
    QByteArray charset, sopClass, sopInstance, patientId, studyUid, seriesUid;
    int elements = 0;  // top-level elements of the data set
};

// The file's bytes: all of them in memory (size is data's), or read through
// a descriptor.
struct RawSource {
    const char* data = nullptr;
    int fd = -1;
    qint64 size = 0;
};

// Nothing for a file it does not fully understand: no file meta information;
// a transfer syntax other than explicit or implicit little endian and the
// encapsulated ones; an odd length; tags out of order; group lengths in
// the data set, or padding anywhere but as its last element; an undefined
// length anywhere but a sequence, an item or encapsulated pixel data; a
// value that runs past what holds it; bytes after the data set. Data Set
// Trailing Padding is not part of what is sent: DCMTK leaves it out of a
// C-STORE too.
std::optional<RawDicom> scanDicom(const RawSource& source);

// For tests and fuzzing: where the walk accepts a file, what DCMTK's parse
// of the same bytes says otherwise about it (readable, transfer syntax,
// number of top-level elements, the values picked out); "" when they agree
// or the walk refuses the file.
QString walkDisagreement(const QByteArray& file);

// A DICOMDIR's directory records as the same walk finds them: where each
// one's item lies in the file (the offset the links name) and its links and
// Referenced File ID, so that a DICOMDIR of many thousand records is read
// without building DCMTK's objects for every one of them.
struct RawDirRecord {
    std::uint32_t offset = 0;  // of its item tag: what other records' links name
    qint64 item = 0, end = 0;  // the item in the file, tag to end
    std::uint32_t next = 0, lower = 0;
    bool hasFileId = false;
    QByteArray fileId;  // (0004,1500) as stored
};
struct RawDicomDir {
    std::string transferSyntax;
    bool explicitVr = true;
    bool hasRoot = false;
    std::uint32_t rootOffset = 0;
    bool hasRecordSequence = false;
    QByteArray charset;  // the DICOMDIR's (0008,0005), as stored
    std::vector<RawDirRecord> records;  // in file order
};
std::optional<RawDicomDir> scanDicomDir(const QByteArray& bytes);

}  // namespace varnelo::dicomimpl
