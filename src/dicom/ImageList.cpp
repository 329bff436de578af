// Loading images and changing them in memory.

#include "dicom/ImagePrivate.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <dcmtk/dcmdata/dcostrmb.h>

#include <cerrno>
#include <cstring>

#include <unistd.h>

using namespace varnelo::dicomimpl;

namespace varnelo {

struct DcmImageList::Impl {
    std::vector<DcmImage> items;
    std::shared_ptr<ReadAhead> readAhead = std::make_shared<ReadAhead>();
};

namespace {

QString stringOf(const DcmFileFormat& file, const DcmTagKey& key)
{
    OFString value;
    if (const_cast<DcmFileFormat&>(file).getDataset()->findAndGetOFStringArray(key, value).bad())
        return QString();
    return decodeText(value.c_str(), value.length()).trimmed();
}

// A value from the quick walk while DCMTK has not parsed the file, else from DCMTK.
QString valueOf(LoadedFile& file, const DcmTagKey& key, QByteArray RawDicom::*walked)
{
    if (file.raw && !file.parsed()) {
        const QByteArray& bytes = (*file.raw).*walked;
        return decodeText(bytes.constData(), static_cast<size_t>(bytes.size())).trimmed();
    }
    return stringOf(file.format(), key);
}

bool isAscii(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() > 0x7F)
            return false;
    return true;
}

// Whether the data set's character set can carry the value as it stands.
// Only the sets that a value can be written in without code extensions
// count; any other moves the data set to Unicode first.
bool characterSetHolds(::DcmDataset* ds, const QString& value)
{
    if (isAscii(value))
        return true;
    OFString charset;
    ds->findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
    const QString sets = QString::fromLatin1(charset.c_str()).trimmed();
    if (sets == QLatin1String("ISO_IR 192"))
        return true;
    if (sets == QLatin1String("ISO_IR 100")) {
        for (QChar c : value)
            if (c.unicode() > 0xFF)
                return false;
        return true;
    }
    return false;
}

// The elements of a data set that its character set applies to: a copy to
// try a conversion on, because DCMTK stops at the first value it cannot
// convert and leaves the values before it converted.
std::unique_ptr<::DcmDataset> textCopy(::DcmDataset& ds)
{
    auto copy = std::make_unique<::DcmDataset>();
    for (DcmObject* o = ds.nextInContainer(nullptr); o; o = ds.nextInContainer(o)) {
        auto* e = static_cast<DcmElement*>(o);
        if (e->ident() == EVR_SQ || e->getTag() == DCM_SpecificCharacterSet || e->isAffectedBySpecificCharacterSet())
            copy->insert(static_cast<DcmElement*>(e->clone()), OFTrue);
    }
    return copy;
}

OFCondition toolkitToUtf8(::DcmDataset& ds)
{
    try {
        return ds.convertToUTF8();
    } catch (const std::exception& e) {
        return makeOFCondition(0, 1, OF_error, e.what());
    }
}

// A value the image's character set cannot carry: the whole data set moves
// to Unicode (ISO_IR 192), every text value re-encoded, so that the new value
// and the old ones read right together. A data set without a character set
// but with non-ASCII text is taken as Latin-1, as archives read it. DCMTK
// converts where it can; the ISO 2022 sets its iconv lacks (Japanese) are
// read as the worklist answers are. The data set changes only when all of
// its text converts.
void moveToUnicode(LoadedFile& file, const QString& value)
{
    ::DcmDataset* ds = file.format().getDataset();
    OFString declared;
    ds->findAndGetOFStringArray(DCM_SpecificCharacterSet, declared);
    const QString charset = QString::fromLatin1(declared.c_str()).trimmed();
    auto taken = [&](::DcmDataset& d) {
        if (charset.isEmpty())
            d.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
    };
    auto converted = [&] {
        file.modified = true;
        file.uncompressed.reset();
    };

    OFCondition cond;
    {
        const auto trial = textCopy(*ds);
        taken(*trial);
        cond = toolkitToUtf8(*trial);
    }
    if (cond.good()) {
        taken(*ds);
        converted();
        cond = toolkitToUtf8(*ds);
        if (cond.good())
            return;
    } else if (!charset.isEmpty()) {
        TextToUtf8 reader;
        QStringList notes;
        const auto trial = textCopy(*ds);
        reader.convert(*trial, notes);
        if (notes.isEmpty()) {
            converted();
            reader.convert(*ds, notes);
            if (notes.isEmpty())
                return;
        }
    }
    fail(DicomErrc::InvalidValue,
         QCoreApplication::translate("DcmImage",
                                     "Cannot set \"%1\": the image's character set (%2) cannot hold it, and the "
                                     "image's text cannot be converted to Unicode (%3)")
             .arg(value, charset.isEmpty() ? QStringLiteral("none") : charset, conditionText(cond)));
}

// One value of a Long String: no backslash, no control characters, 64 at most.
void checkPatientId(const QString& value)
{
    for (QChar c : value)
        if (c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7F)
            fail(DicomErrc::InvalidValue,
                 QStringLiteral("\"%1\" cannot be a Patient ID: it holds a backslash or a control character").arg(value));
    if (value.size() > 64)
        fail(DicomErrc::InvalidValue,
             QStringLiteral("\"%1\" cannot be a Patient ID: it is longer than 64 characters").arg(value));
}

void setString(LoadedFile& file, const DcmTagKey& key, const QString& value)
{
    ::DcmDataset* ds = file.format().getDataset();
    if (!characterSetHolds(ds, value))
        moveToUnicode(file, value);
    const QByteArray bytes = encodeText(value, ds);
    file.modified = true;
    file.uncompressed.reset();
    OFCondition cond = ds->putAndInsertString(key, bytes.constData(), OFTrue);
    if (cond.bad())
        fail(DicomErrc::InvalidValue,
             QStringLiteral("Cannot set %1 to \"%2\": %3").arg(describeTag(key), value, conditionText(cond)));
}

}  // namespace

// ---- DcmImage -------------------------------------------------------------

DcmImage::DcmImage(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl))
{
}

QString DcmImage::PatientID() const { return valueOf(*impl_->file, DCM_PatientID, &RawDicom::patientId); }
void DcmImage::setPatientID(const QString& value)
{
    checkPatientId(value);
    setString(*impl_->file, DCM_PatientID, value);
}

DcmPatient DcmImage::Patient() const
{
    // the walk picks out the ID only: the rest needs DCMTK's parse
    return patientOf(*impl_->file->format().getDataset(), QByteArray());
}

namespace {

// Whether the image's Issuer of Patient ID Qualifiers Sequence is the one
// item that `to` makes of the qualifiers: the same values, nothing else.
bool qualifiersAre(::DcmDataset* ds, const DcmPatient& before, const DcmIssuerQualifiers& to)
{
    DcmSequenceOfItems* seq = nullptr;
    if (ds->findAndGetSequence(DCM_IssuerOfPatientIDQualifiersSequence, seq).bad() || !seq || seq->card() != 1)
        return false;
    const int given = !to.UniversalEntityID.isEmpty() + !to.UniversalEntityIDType.isEmpty() +
        !to.IdentifierTypeCode.isEmpty();
    return seq->getItem(0)->card() == static_cast<unsigned long>(given) && before.IssuerQualifiers == to;
}

DcmIssuerQualifiers trimmed(const DcmIssuerQualifiers& q)
{
    return {q.UniversalEntityID.trimmed(), q.UniversalEntityIDType.trimmed(), q.IdentifierTypeCode.trimmed()};
}

}  // namespace

bool DcmImage::Reconcile(const DcmPatient& to, bool wholeIdentity, const QString& modifyingSystem, const QDateTime& when)
{
    checkPatientId(to.PatientID);
    LoadedFile& file = *impl_->file;
    ::DcmDataset* ds = file.format().getDataset();
    const DcmPatient before = patientOf(*ds, QByteArray());
    const DcmIssuerQualifiers qualifiers = trimmed(to.IssuerQualifiers);

    // What changes: a value to set (empty: zero length), or an attribute to
    // remove. The issuer always comes with the new ID: the ID the image had
    // may be another hospital's, and its issuer must not stay on ours.
    struct Change {
        DcmTagKey key;
        QString value;
        bool remove = false;
    };
    std::vector<Change> changes;
    const bool newId = before.PatientID != to.PatientID.trimmed();
    if (newId)
        changes.push_back({DCM_PatientID, to.PatientID});
    if (to.IssuerOfPatientID.trimmed().isEmpty()) {
        if (ds->tagExists(DCM_IssuerOfPatientID))
            changes.push_back({DCM_IssuerOfPatientID, QString(), true});
    } else if (before.IssuerOfPatientID != to.IssuerOfPatientID.trimmed()) {
        changes.push_back({DCM_IssuerOfPatientID, to.IssuerOfPatientID});
    }
    const bool newQualifiers = qualifiers.isEmpty() ? ds->tagExists(DCM_IssuerOfPatientIDQualifiersSequence)
                                                    : !qualifiersAre(ds, before, qualifiers);
    if (newQualifiers)
        changes.push_back({DCM_IssuerOfPatientIDQualifiersSequence, QString(), qualifiers.isEmpty()});
    // the old ID with its issuer names the patient in the other hospital
    const bool otherId = !before.PatientID.isEmpty() && !changes.empty();
    if (wholeIdentity) {
        const std::pair<DcmTagKey, const QString*> values[] = {
            {DCM_PatientName, &to.PatientName}, {DCM_PatientBirthDate, &to.BirthDate}, {DCM_PatientSex, &to.Sex}};
        const QString* beforeValues[] = {&before.PatientName, &before.BirthDate, &before.Sex};
        for (size_t i = 0; i < 3; ++i)
            if (*beforeValues[i] != values[i].second->trimmed())
                changes.push_back({values[i].first, *values[i].second});
    }
    if (changes.empty())
        return false;

    // A character set that holds every new value first, so that the old
    // values are kept as they read in it.
    for (const QString& value : {to.PatientID, to.PatientName, to.IssuerOfPatientID, qualifiers.UniversalEntityID,
                                 qualifiers.UniversalEntityIDType, qualifiers.IdentifierTypeCode, modifyingSystem})
        if (!characterSetHolds(ds, value))
            moveToUnicode(file, value);

    auto check = [&](const OFCondition& cond, const QString& what) {
        if (cond.bad())
            fail(DicomErrc::InvalidValue, QStringLiteral("Cannot %1: %2").arg(what, conditionText(cond)));
    };
    auto put = [&](DcmItem& item, const DcmTagKey& key, const QString& value) {
        const QByteArray bytes = encodeText(value, ds);
        check(item.putAndInsertString(key, bytes.constData(), OFTrue),
              QStringLiteral("set %1 to \"%2\"").arg(describeTag(key), value));
    };
    // The value an attribute had; an attribute that was not there is kept
    // with no value.
    auto original = [&](const DcmTagKey& key) -> DcmElement* {
        DcmElement* element = nullptr;
        if (ds->findAndGetElement(key, element, OFFalse).good() && element)
            return static_cast<DcmElement*>(element->clone());
        return DcmItem::newDicomElement(DcmTag(key));
    };

    file.modified = true;
    file.uncompressed.reset();

    // The old Patient ID, with its issuer and the issuer's qualifiers, as
    // another ID of this patient.
    if (otherId) {
        DcmItem* other = nullptr;
        check(ds->findOrCreateSequenceItem(DCM_OtherPatientIDsSequence, other, -2),
              QStringLiteral("add to the Other Patient IDs Sequence"));
        other->insert(original(DCM_PatientID), OFTrue);
        for (const DcmTagKey& key : {DCM_IssuerOfPatientID, DCM_IssuerOfPatientIDQualifiersSequence})
            if (ds->tagExists(key))
                other->insert(original(key), OFTrue);
        put(*other, DCM_TypeOfPatientID, QStringLiteral("TEXT"));
    }

    DcmItem* modification = nullptr;
    check(ds->findOrCreateSequenceItem(DCM_OriginalAttributesSequence, modification, -2),
          QStringLiteral("add to the Original Attributes Sequence"));
    DcmItem* originals = nullptr;
    check(modification->findOrCreateSequenceItem(DCM_ModifiedAttributesSequence, originals, 0),
          QStringLiteral("make the Modified Attributes Sequence"));
    for (const Change& c : changes)
        if (DcmElement* element = original(c.key))
            originals->insert(element, OFTrue);
    put(*modification, DCM_AttributeModificationDateTime, when.toString(QStringLiteral("yyyyMMddHHmmss")));
    put(*modification, DCM_ModifyingSystem, modifyingSystem.trimmed());
    put(*modification, DCM_SourceOfPreviousValues, before.IssuerOfPatientID);
    put(*modification, DCM_ReasonForTheAttributeModification, QStringLiteral("COERCE"));

    for (const Change& c : changes) {
        if (c.remove) {
            ds->findAndDeleteElement(c.key);
        } else if (c.key == DCM_IssuerOfPatientIDQualifiersSequence) {
            ds->findAndDeleteElement(c.key);
            DcmItem* item = nullptr;
            check(ds->findOrCreateSequenceItem(c.key, item, 0), QStringLiteral("make the Issuer of Patient ID Qualifiers Sequence"));
            const std::pair<DcmTagKey, const QString*> values[] = {
                {DCM_UniversalEntityID, &qualifiers.UniversalEntityID},
                {DCM_UniversalEntityIDType, &qualifiers.UniversalEntityIDType},
                {DCM_IdentifierTypeCode, &qualifiers.IdentifierTypeCode}};
            for (const auto& [key, value] : values)
                if (!value->isEmpty())
                    put(*item, key, *value);
        } else {
            put(*ds, c.key, c.value);
        }
    }
    return true;
}
QString DcmImage::StudyInstanceUID() const { return valueOf(*impl_->file, DCM_StudyInstanceUID, &RawDicom::studyUid); }
void DcmImage::setStudyInstanceUID(const QString& value) { setString(*impl_->file, DCM_StudyInstanceUID, value); }
QString DcmImage::SeriesInstanceUID() const { return valueOf(*impl_->file, DCM_SeriesInstanceUID, &RawDicom::seriesUid); }
void DcmImage::setSeriesInstanceUID(const QString& value) { setString(*impl_->file, DCM_SeriesInstanceUID, value); }

QString DcmImage::SOPClassUID() const { return valueOf(*impl_->file, DCM_SOPClassUID, &RawDicom::sopClass); }
QString DcmImage::SOPInstanceUID() const { return valueOf(*impl_->file, DCM_SOPInstanceUID, &RawDicom::sopInstance); }

std::int32_t DcmImage::CheckValueA() const
{
    return valueOf(*impl_->file, DCM_SOPClassUID, &RawDicom::sopClass).isEmpty() ? 0 : 1;
}
std::int32_t DcmImage::CheckValueB() const
{
    return valueOf(*impl_->file, DCM_SOPInstanceUID, &RawDicom::sopInstance).isEmpty() ? 0 : 1;
}

namespace {

// Writes `file` to memory as a part-10 file in `xfer`, in blocks, as DCMTK
// does for a file on disk.
QByteArray writeFileFormat(DcmFileFormat& file, E_TransferSyntax xfer, E_FileWriteMode mode)
{
    QByteArray out;
    std::vector<char> block(1 << 20);
    DcmOutputBufferStream stream(block.data(), static_cast<offile_off_t>(block.size()));
    auto drain = [&] {
        void* data = nullptr;
        offile_off_t length = 0;
        stream.flushBuffer(data, length);
        out.append(static_cast<const char*>(data), static_cast<qsizetype>(length));
    };
    file.transferInit();
    OFCondition cond;
    while ((cond = file.write(stream, xfer, EET_ExplicitLength, nullptr, EGL_recalcGL, EPD_noChange, 0, 0, 0, mode)) ==
           EC_StreamNotifyClient)
        drain();
    file.transferEnd();
    if (cond.bad())
        fail(DicomErrc::InvalidValue, QStringLiteral("Cannot write the image in %1: %2")
                                          .arg(QString::fromLatin1(DcmXfer(xfer).getXferName()), conditionText(cond)));
    drain();
    return out;
}

// The walked bytes of an unchanged file, from its preamble to its data set's end.
QByteArray storedBytes(const LoadedFile& file)
{
    const qint64 end = file.raw->datasetEnd;
    if (file.fd < 0)
        return file.bytes.left(static_cast<qsizetype>(end));
    QByteArray out(static_cast<qsizetype>(end), Qt::Uninitialized);
    for (qint64 done = 0; done < end;) {
        const ssize_t got = ::pread(file.fd, out.data() + done, static_cast<size_t>(end - done), done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            fail(DicomErrc::FileChanged,
                 QStringLiteral("Cannot read %1 any more: %2")
                     .arg(file.path, got < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("it is shorter than it was")));
        done += got;
    }
    // a file replaced while it was read must not go out as a mixture
    file.checkUnchanged();
    return out;
}

}  // namespace

QByteArray DcmImage::Part10Bytes(bool uncompressed) const
{
    LoadedFile& file = *impl_->file;
    if (file.sendsAsStored() &&
        (!uncompressed || file.raw->transferSyntax == DcmXfer(EXS_LittleEndianExplicit).getXferID()))
        return storedBytes(file);
    if (file.fd >= 0)
        file.checkUnchanged();
    DcmFileFormat& format = file.format();
    ::DcmDataset* ds = format.getDataset();
    if (!uncompressed)
        return writeFileFormat(format, ds->getOriginalXfer(), EWM_updateMeta);
    if (DcmXfer(ds->getOriginalXfer()).isNotEncapsulated())
        return writeFileFormat(format, EXS_LittleEndianExplicit, EWM_updateMeta);
    // Decompressed once, into a copy: the file keeps its compressed form for
    // a peer that takes it (the C-STORE side shares the copy).
    if (!file.uncompressed) {
        auto copy = std::make_unique<::DcmDataset>(*ds);
        OFCondition cond;
        try {
            cond = copy->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
        } catch (const std::exception& e) {
            cond = makeOFCondition(0, 1, OF_error, e.what());
        }
        if (cond.bad())
            fail(DicomErrc::InvalidValue,
                 QStringLiteral("Cannot decompress %1: %2").arg(impl_->path, conditionText(cond)));
        file.uncompressed = std::move(copy);
    }
    DcmFileFormat wrapper(file.uncompressed.get(), OFFalse);
    struct GiveBack {
        DcmFileFormat& wrapper;
        ~GiveBack() { wrapper.getAndRemoveDataset(); }
    } giveBack {wrapper};
    return writeFileFormat(wrapper, EXS_LittleEndianExplicit, EWM_createNewMeta);
}

// ---- DcmImageList ---------------------------------------------------------

DcmImageList::DcmImageList()
    : impl_(std::make_unique<Impl>())
{
}

DcmImageList::~DcmImageList()
{
    impl_->readAhead->cancel();
}

void DcmImageList::LoadFile(const QString& path)
{
    auto impl = std::make_shared<DcmImage::Impl>();
    impl->file = impl_->readAhead->take(path);
    if (!impl->file)
        impl->file = loadDicomFile(path);
    impl->path = path;
    impl_->items.emplace_back(impl);
}

DcmImage DcmImageList::ItemAt(std::int32_t index) const
{
    if (index < 1 || index > Count())
        fail(DicomErrc::IndexOutOfRange,
             QStringLiteral("Image %1 does not exist; the list holds %2.").arg(index).arg(Count()));
    return impl_->items[static_cast<size_t>(index - 1)];
}

std::int32_t DcmImageList::Count() const { return static_cast<std::int32_t>(impl_->items.size()); }

void DcmImageList::Clear() { impl_->items.clear(); }

void DcmImageList::CancelReadAhead() { impl_->readAhead->cancel(); }

bool DcmImageList::ReadAheadOne()
{
    if (!impl_->readAhead->hasUnread())
        return false;
    impl_->readAhead->readOne();
    return true;
}

void DcmImageList::Prefetch(const QString& path) { impl_->readAhead->want(path); }

std::int32_t DcmImageList::ReadAheadQueued() const { return impl_->readAhead->queued(); }

std::int32_t DcmImageList::ReadAheadReady() const { return impl_->readAhead->ready(); }

}  // namespace varnelo
