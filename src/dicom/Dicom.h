#pragma once

// The DICOM toolkit as the rest of the program sees it. Only std and Qt value
// types cross this boundary; the DCMTK objects stay inside src/dicom.
//
// All objects are handles: copying one shares the object it refers to, like a
// reference, and the object lives as long as any handle to it. Indices are
// 1-based. Every operation that cannot be carried out throws varnelo::Error
// with one of the numbers below and a one-line description.

#include "base/Error.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace varnelo {

// Error numbers of the DICOM layer.
namespace DicomErrc {
constexpr std::int32_t FileUnreadable = 40001;         // not DICOM, missing, unreadable; names the file
constexpr std::int32_t InvalidPort = 40002;            // port outside 1..65535
constexpr std::int32_t HostNotFound = 40003;           // the host name does not resolve
constexpr std::int32_t CannotConnect = 40004;          // refused or unreachable
constexpr std::int32_t AssociationRejected = 40005;    // with the peer's reason
constexpr std::int32_t NoPresentationContext = 40006;  // names SOP class and transfer syntax
constexpr std::int32_t Timeout = 40007;                // a bounded wait ran out
constexpr std::int32_t ConnectionLost = 40008;         // peer closed or aborted mid-way
constexpr std::int32_t NetworkFailure = 40009;         // any other ACSE/DIMSE failure
constexpr std::int32_t DicomDirUnreadable = 40010;     // not a DICOMDIR; names the file
constexpr std::int32_t AttributeAbsent = 40011;        // ByTag on a missing attribute
constexpr std::int32_t IndexOutOfRange = 40012;        // ItemAt outside 1..Count
constexpr std::int32_t QueryFailed = 40013;            // C-FIND answered with a failure status
constexpr std::int32_t InvalidValue = 40014;           // a value that cannot be read or converted
constexpr std::int32_t NotASequence = 40015;           // SequenceItems on a plain attribute
constexpr std::int32_t FileChanged = 40016;            // the file changed or went away after it was loaded
constexpr std::int32_t TlsFileUnusable = 40017;        // a [TLS] certificate, key or CA file; names the file
constexpr std::int32_t PeerNotTrusted = 40018;         // the peer's certificate does not chain to a trusted CA
constexpr std::int32_t TlsHandshakeFailed = 40019;     // peer without TLS, silent, or refusing this station
constexpr std::int32_t WebRequestFailed = 40020;       // a DICOMweb service refused or failed a request
constexpr std::int32_t WebAccessRefused = 40021;       // a DICOMweb service refused the user name/password or token
}  // namespace DicomErrc

class DcmDataset;
class DcmDatasetList;
class DcmAttributeList;

// Who an object is about: the values of the Patient module, in Unicode (read
// through the object's Specific Character Set), without padding. BirthDate
// is the DA value as stored ("19800101"), "" when absent.
// The first item of Issuer of Patient ID Qualifiers Sequence (0010,0024):
// who issued the Patient ID, in terms a machine can tell apart.
struct DcmIssuerQualifiers {
    QString UniversalEntityID;      // (0040,0032)
    QString UniversalEntityIDType;  // (0040,0033)
    QString IdentifierTypeCode;     // (0040,0035)
    bool isEmpty() const { return UniversalEntityID.isEmpty() && UniversalEntityIDType.isEmpty() && IdentifierTypeCode.isEmpty(); }
    bool operator==(const DcmIssuerQualifiers&) const = default;
};

struct DcmPatient {
    QString PatientID;
    QString IssuerOfPatientID;
    QString PatientName;
    QString BirthDate;
    QString Sex;
    DcmIssuerQualifiers IssuerQualifiers;
    bool operator==(const DcmPatient&) const = default;
};

// What the operator recognises a study and a series by; descriptions in
// Unicode, read through the object's character set.
struct DcmStudyValues {
    QString StudyInstanceUID, StudyDate, StudyDescription;
};
struct DcmSeriesValues {
    QString SeriesInstanceUID, Modality, SeriesNumber, SeriesDescription;
};

// What a file's first elements say, read without its bulk data.
struct DcmHeader {
    DcmPatient Patient;
    QString StudyInstanceUID;
    bool IsInstance = false;  // has a SOP Class and a SOP Instance UID
    QString SOPInstanceUID;
    DcmStudyValues Study;  // Study.StudyInstanceUID equals StudyInstanceUID
    DcmSeriesValues Series;
};

class DcmAttribute {
public:
    std::uint16_t Group() const;
    std::uint16_t Element() const;
    // Null QVariant when the value is empty or the attribute is a sequence; a
    // QString for one value; a QStringList (in value order) when the attribute
    // holds several. toStringList() gives the list in either case, e.g. for
    // the components of a Referenced File ID (0004,1500).
    QVariant Value() const;
    bool IsSequence() const;
    DcmDatasetList SequenceItems() const;  // throws NotASequence

    struct Impl;
    explicit DcmAttribute(std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> impl_;
};

class DcmAttributeList {
public:
    // "" is a zero-length value. An existing attribute with the same tag is replaced.
    void AddAttribute(std::uint16_t group, std::uint16_t element, const QString& value);
    // The items are copied as they stand: fill them before adding the sequence.
    void AddAttribute(std::uint16_t group, std::uint16_t element, const DcmDatasetList& items);
    DcmAttribute ByTag(std::uint16_t group, std::uint16_t element) const;  // throws AttributeAbsent
    bool Exists(std::uint16_t group, std::uint16_t element) const;
    // All attributes, in ascending tag order.
    std::vector<DcmAttribute> All() const;

    struct Impl;
    explicit DcmAttributeList(std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> impl_;
};

class DcmDataset {
public:
    DcmDataset();  // a new, empty data set

    DcmAttributeList Attributes() const;
    QString PatientName() const;                  // "" when absent
    std::optional<QString> PatientID() const;     // nullopt when absent or empty
    std::optional<QString> PatientSex() const;    // nullopt when absent or empty
    QDate PatientBirthDate() const;               // throws InvalidValue when absent or not a date
    std::optional<QString> BirthDateRaw() const;  // nullopt when absent or empty
    // The patient values of a worklist answer or a DICOMDIR record, read
    // through the character set of the record, else of its DICOMDIR.
    DcmPatient Patient() const;
    // The data set as Explicit VR Little Endian bytes, as a query sends its
    // identifier (for the audit trail); empty when it cannot be encoded.
    QByteArray Encoded() const;
    // The study values of a STUDY record, the series values of a SERIES
    // record (or of any data set holding them), read the same way.
    DcmStudyValues StudyValues() const;
    DcmSeriesValues SeriesValues() const;

    // DICOMDIR navigation: on the data set that ReadFile returned, its
    // top-level (patient) records; on a record, its lower-level records.
    // Records are linked by their file offsets; other data sets have none.
    DcmDatasetList DirectoryRecords() const;
    DcmDatasetList Children() const;

    struct Impl;
    explicit DcmDataset(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const { return impl_; }

private:
    std::shared_ptr<Impl> impl_;
};

class DcmDatasetList {
public:
    DcmDatasetList();  // a new, empty list

    std::int32_t Count() const;
    DcmDataset ItemAt(std::int32_t index) const;  // 1-based; throws IndexOutOfRange
    DcmDataset AppendNew();
    // Reads a DICOMDIR (never writes it back), appends it and returns it.
    // Throws DicomDirUnreadable naming the file.
    DcmDataset ReadFile(const QString& path);

    struct Impl;
    explicit DcmDatasetList(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const { return impl_; }

private:
    std::shared_ptr<Impl> impl_;
};

class DcmImageList;

// One loaded image. Changes stay in memory; the source file is never written.
class DcmImage {
public:
    QString PatientID() const;
    void setPatientID(const QString& value);
    QString StudyInstanceUID() const;
    void setStudyInstanceUID(const QString& value);
    QString SeriesInstanceUID() const;
    void setSeriesInstanceUID(const QString& value);
    QString SOPClassUID() const;
    QString SOPInstanceUID() const;

    DcmPatient Patient() const;
    // Gives the image the identity `to` (import reconciliation). The Patient
    // ID, its Issuer of Patient ID and Issuer of Patient ID Qualifiers
    // Sequence are always taken from `to` (an empty issuer or empty
    // qualifiers remove the attribute; qualifiers become one item of their
    // non-empty values), so that the new ID never keeps the issuer of the
    // old one. `wholeIdentity` also takes name, birth date and sex. The
    // values the image had are kept in it: the old Patient ID with its
    // issuer and qualifiers as an item of Other Patient IDs Sequence, and
    // every attribute changed in an item of Original Attributes Sequence
    // (reason "COERCE", `modifyingSystem`, `when`). Items already there
    // stay. A new value the image's character set cannot hold moves the
    // whole image to ISO_IR 192. Returns false, and changes nothing, when
    // the image has the identity already. Throws InvalidValue for a value
    // that cannot be set.
    bool Reconcile(const DcmPatient& to, bool wholeIdentity, const QString& modifyingSystem, const QDateTime& when);

    // 1 when the object has a SOP Class UID (A), respectively a SOP Instance
    // UID (B), else 0. A DICOMDIR or other non-instance file reports 0 for both.
    std::int32_t CheckValueA() const;
    std::int32_t CheckValueB() const;

    // The image as a DICOM file (part 10), as it stands in memory: an
    // unchanged file in its own transfer syntax is its own bytes; otherwise
    // the data set is written out. `uncompressed` writes it in Explicit VR
    // Little Endian, decompressed. Throws FileChanged when the file changed
    // on disk since it was loaded, InvalidValue when it cannot be written
    // (or decompressed).
    QByteArray Part10Bytes(bool uncompressed = false) const;

    struct Impl;
    explicit DcmImage(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const { return impl_; }

private:
    std::shared_ptr<Impl> impl_;
};

class DcmImageList {
public:
    DcmImageList();
    ~DcmImageList();  // releases the open associations

    DcmImageList(const DcmImageList&) = delete;
    DcmImageList& operator=(const DcmImageList&) = delete;

    void LoadFile(const QString& path);         // throws FileUnreadable naming the file and the reason
    DcmImage ItemAt(std::int32_t index) const;  // 1-based; throws IndexOutOfRange
    std::int32_t Count() const;
    void Clear();            // empties the list
    void CancelReadAhead();  // drops the files hinted and not yet taken

    // A hint that LoadFile(path) comes soon, after the files hinted before.
    // The file is read by ReadAheadOne, e.g. while a send waits for the
    // peer's answer, at most two files ahead. LoadFile behaves exactly as without
    // the hint: a file that changed, vanished or failed to read is read again
    // there and reports its own error. Hints passed by are dropped.
    void Prefetch(const QString& path);
    // Files hinted and not yet taken by LoadFile, and how many of them are
    // read already; for tests and diagnostics.
    std::int32_t ReadAheadQueued() const;
    std::int32_t ReadAheadReady() const;
    // Reads the next hinted file, if one is due; false when none is.
    bool ReadAheadOne();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

class DcmUtility {
public:
    // "2.25." followed by the decimal value of a random UUID.
    static QString NewUID();
    // Reads the toolkit's data dictionary and sets up its codecs now (some
    // 30 ms), so that the first import after start-up does not wait for it.
    static void Prepare();
    // The toolkit's and the JPEG 2000 decoder's versions, for the About box.
    static QString DcmtkVersion();
    static QString OpenJpegVersion();
    // The patient, study and series of a DICOM file, from its elements up
    // to the Series Number, without reading further. Throws FileUnreadable
    // naming the file.
    static DcmHeader ReadHeader(const QString& path);
};

}  // namespace varnelo
