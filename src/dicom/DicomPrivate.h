#pragma once

// Shared by the .cpp files of the DICOM folders only (dicom and dicomnet);
// the one header here that includes DCMTK. Nothing else may include it.

#include "dicom/Dicom.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dctk.h>

#include <QByteArray>

namespace varnelo::dicomimpl {

// One-time process set-up of the data side: codecs, reading rules, quiet logger.
void ensureInitialised();

// DCMTK's condition text, which may span lines, on one line.
QString conditionText(const OFCondition& cond);

[[noreturn]] void fail(std::int32_t number, const QString& description);

// Text as DCMTK stores it and back. Values are decoded as UTF-8 when they are
// valid UTF-8, otherwise as Latin-1 (the default repertoire plus ISO_IR 100);
// received answers are made UTF-8 first (TextToUtf8).
QString decodeText(const char* data, size_t length);
QByteArray encodeText(const QString& text, const DcmItem* owner);

// Turns the text of received data sets into UTF-8 through their own Specific
// Character Set (0008,0005), sequence items with a set of their own through
// theirs. A value that cannot be converted keeps its bytes, read as Latin-1,
// and adds a line to `notes`. One object serves the answers of one query.
class TextToUtf8 {
public:
    TextToUtf8();
    ~TextToUtf8();
    TextToUtf8(const TextToUtf8&) = delete;
    TextToUtf8& operator=(const TextToUtf8&) = delete;

    void convert(DcmItem& item, QStringList& notes);

private:
    void convertItem(DcmItem& item, const QString& inherited, QStringList& notes);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The patient values of an item (an image's data set, a DICOMDIR record, a
// worklist answer) in Unicode, through the item's own character set, else
// `inheritedCharset`. The item is not changed.
DcmPatient patientOf(DcmItem& item, const QByteArray& inheritedCharset);
// Patient ID, Issuer of Patient ID, Patient's Name, Birth Date, Sex.
extern const DcmTagKey kPatientKeys[5];
// The study and series values of an image's data set or a DICOMDIR record,
// the descriptions read as patientOf reads the names.
DcmStudyValues studyValuesOf(DcmItem& item, const QByteArray& inheritedCharset);
DcmSeriesValues seriesValuesOf(DcmItem& item, const QByteArray& inheritedCharset);

std::uint16_t checkedPort(std::int32_t port);
QString describeTag(const DcmTagKey& key);

// Something that keeps the DCMTK objects of a data set tree alive.
using Owner = std::shared_ptr<void>;

// Reads a DCMTK object (a whole file or one item) from bytes in memory.
template <class Object>
OFCondition readFromBytes(Object& object, const char* data, size_t size, E_TransferSyntax xfer)
{
    DcmInputBufferStream in;
    in.setBuffer(data, static_cast<offile_off_t>(size));
    in.setEos();
    object.transferInit();
    const OFCondition cond = object.read(in, xfer, EGL_noChange, DCM_MaxReadLength);
    object.transferEnd();
    return cond;
}

}  // namespace varnelo::dicomimpl

namespace varnelo {

struct DcmDataset::Impl {
    dicomimpl::Owner owner;  // keeps `item` alive
    DcmItem* item = nullptr;
    // Set on the data set that DcmDatasetList::ReadFile returned: the records
    // of the DICOMDIR by their file offset.
    struct DirIndex;
    std::shared_ptr<DirIndex> dir;
    // Set on a directory record: the offset of its first lower-level record.
    std::uint32_t lowerOffset = 0;
    // A record (or the DICOMDIR itself, -2) of a DICOMDIR read by the quick
    // walk: `item` is parsed from the file's bytes on first use.
    std::int32_t quickRecord = -1;
};

struct DcmDatasetList::Impl {
    std::vector<DcmDataset> items;
};

struct DcmAttributeList::Impl {
    dicomimpl::Owner owner;
    DcmItem* item = nullptr;
    std::shared_ptr<DcmDataset::Impl> record;  // a quick record whose item is not parsed yet
};

struct DcmAttribute::Impl {
    dicomimpl::Owner owner;
    DcmElement* element = nullptr;
};

// Makes a handle onto an item that `owner` keeps alive.
DcmDataset makeDataset(dicomimpl::Owner owner, DcmItem* item);
// The data set's DCMTK item, parsed first for a quick DICOMDIR record.
DcmItem* itemOf(DcmDataset::Impl& impl);

}  // namespace varnelo
