// Who an object is about: the patient values of image headers, DICOMDIR
// records and worklist answers, read alike so that they can be compared.

#include "dicom/DicomPrivate.h"

#include "base/FileNames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <span>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnelo {

namespace dicomimpl {

namespace {

QString textIn(DcmItem& item, const DcmTagKey& key)
{
    OFString value;
    if (item.findAndGetOFStringArray(key, value, OFFalse).bad())
        return QString();
    return decodeText(value.c_str(), value.length()).trimmed();
}

const DcmTagKey kQualifierKeys[3] = {DCM_UniversalEntityID, DCM_UniversalEntityIDType, DCM_IdentifierTypeCode};

DcmItem* firstQualifiers(DcmItem& item)
{
    DcmItem* first = nullptr;
    if (item.findAndGetSequenceItem(DCM_IssuerOfPatientIDQualifiersSequence, first, 0, OFFalse).bad())
        return nullptr;
    return first;
}

bool asciiIn(DcmItem& item, const DcmTagKey& key)
{
    OFString value;
    if (item.findAndGetOFStringArray(key, value, OFFalse).bad())
        return true;
    for (size_t j = 0; j < value.length(); ++j) {
        const auto c = static_cast<unsigned char>(value[j]);
        if (c >= 0x80 || c == 0x1B)
            return false;
    }
    return true;
}

DcmPatient readPatient(DcmItem& item)
{
    DcmPatient p;
    p.PatientID = textIn(item, DCM_PatientID);
    p.IssuerOfPatientID = textIn(item, DCM_IssuerOfPatientID);
    p.PatientName = textIn(item, DCM_PatientName);
    p.BirthDate = textIn(item, DCM_PatientBirthDate);
    p.Sex = textIn(item, DCM_PatientSex);
    if (DcmItem* q = firstQualifiers(item)) {
        p.IssuerQualifiers.UniversalEntityID = textIn(*q, DCM_UniversalEntityID);
        p.IssuerQualifiers.UniversalEntityIDType = textIn(*q, DCM_UniversalEntityIDType);
        p.IssuerQualifiers.IdentifierTypeCode = textIn(*q, DCM_IdentifierTypeCode);
    }
    return p;
}

// A copy of the values of `keys` with the character set that applies to
// them, to be turned into UTF-8 while the source stays as it is.
void copyWithCharset(DcmItem& source, std::span<const DcmTagKey> keys, const QByteArray& inheritedCharset, DcmItem& copy)
{
    OFString charset;
    if (source.findAndGetOFStringArray(DCM_SpecificCharacterSet, charset, OFFalse).good() && !charset.empty())
        copy.putAndInsertOFStringArray(DCM_SpecificCharacterSet, charset);
    else if (!inheritedCharset.isEmpty())
        copy.putAndInsertString(DCM_SpecificCharacterSet, inheritedCharset.constData());
    for (const DcmTagKey& key : keys) {
        DcmElement* element = nullptr;
        if (source.findAndGetElement(key, element, OFFalse).good() && element && element->ident() != EVR_SQ)
            copy.insert(static_cast<DcmElement*>(element->clone()), OFTrue);
    }
}

void toUtf8(DcmItem& copy)
{
    TextToUtf8 converter;
    QStringList notes;
    converter.convert(copy, notes);
}

QString uidIn(DcmItem& item, const DcmTagKey& key)
{
    OFString value;
    if (item.findAndGetOFString(key, value, 0, OFFalse).bad())
        return QString();
    return QString::fromLatin1(value.c_str()).trimmed();
}

// One text value, converted only when it is not plain ASCII.
QString convertedText(DcmItem& source, const DcmTagKey& key, const QByteArray& inheritedCharset)
{
    if (asciiIn(source, key))
        return textIn(source, key);
    DcmItem copy;
    copyWithCharset(source, {&key, 1}, inheritedCharset, copy);
    toUtf8(copy);
    return textIn(copy, key);
}

}  // namespace

const DcmTagKey kPatientKeys[5] = {DCM_PatientID, DCM_IssuerOfPatientID, DCM_PatientName, DCM_PatientBirthDate,
                                   DCM_PatientSex};

DcmPatient patientOf(DcmItem& source, const QByteArray& inheritedCharset)
{
    // Plain ASCII, as most IDs and names are, reads the same in every
    // character set: no conversion needed.
    DcmItem* qualifiers = firstQualifiers(source);
    bool ascii = true;
    for (const DcmTagKey& key : kPatientKeys)
        ascii = ascii && asciiIn(source, key);
    for (const DcmTagKey& key : kQualifierKeys)
        ascii = ascii && (!qualifiers || asciiIn(*qualifiers, key));
    if (ascii)
        return readPatient(source);

    DcmItem copy;
    copyWithCharset(source, kPatientKeys, inheritedCharset, copy);
    if (qualifiers)
        copy.insertSequenceItem(DCM_IssuerOfPatientIDQualifiersSequence, static_cast<DcmItem*>(qualifiers->clone()));
    toUtf8(copy);
    return readPatient(copy);
}

DcmStudyValues studyValuesOf(DcmItem& item, const QByteArray& inheritedCharset)
{
    return {uidIn(item, DCM_StudyInstanceUID), uidIn(item, DCM_StudyDate),
            convertedText(item, DCM_StudyDescription, inheritedCharset)};
}

DcmSeriesValues seriesValuesOf(DcmItem& item, const QByteArray& inheritedCharset)
{
    return {uidIn(item, DCM_SeriesInstanceUID), uidIn(item, DCM_Modality), uidIn(item, DCM_SeriesNumber),
            convertedText(item, DCM_SeriesDescription, inheritedCharset)};
}

}  // namespace dicomimpl

using namespace dicomimpl;

namespace {

constexpr qint64 kHeadBytes = 1024 * 1024;           // where the header must end to be read from memory
constexpr qint64 kReadWholeUpTo = 64 * 1024 * 1024;  // files read to their end

// Where the header ends: just past Series Number (0020,0011), which follows
// the study's and the series' UIDs and descriptions.
const DcmTagKey kHeaderEnd(0x0020, 0x0012);

// The header of a file read into memory, from `head`.
std::unique_ptr<DcmFileFormat> headerFromBytes(const QByteArray& head)
{
    auto file = std::make_unique<DcmFileFormat>();
    DcmInputBufferStream in;
    in.setBuffer(head.constData(), static_cast<offile_off_t>(head.size()));
    in.setEos();
    file->transferInit();
    const OFCondition cond = file->readUntilTag(in, EXS_Unknown, EGL_noChange, DCM_MaxReadLength, kHeaderEnd);
    file->transferEnd();
    if (cond.bad())
        return nullptr;
    return file;
}

}  // namespace

DcmHeader DcmUtility::ReadHeader(const QString& path)
{
    ensureInitialised();
    const QString prefix = QStringLiteral("Cannot read %1: ").arg(path);
    // The file is read from its start to its end in one go, as an optical
    // drive reads best: the send that follows finds it in the page cache
    // instead of moving the drive's head back. Only a very large file is read
    // no further than its head.
    QByteArray head;
    {
        const int fd = ::open(encodeFileName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            fail(DicomErrc::FileUnreadable, prefix + QString::fromLocal8Bit(std::strerror(errno)));
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            fail(DicomErrc::FileUnreadable, prefix + QStringLiteral("not a regular file"));
        }
        const qint64 upTo = st.st_size <= kReadWholeUpTo ? st.st_size : kHeadBytes;
        head.resize(static_cast<qsizetype>(std::min(upTo, kHeadBytes)));
        QByteArray rest;
        qint64 done = 0;
        while (done < upTo) {
            const bool inHead = done < head.size();
            if (!inHead && rest.isEmpty())
                rest.resize(static_cast<qsizetype>(std::min<qint64>(upTo - done, kHeadBytes)));
            char* into = inHead ? head.data() + done : rest.data();
            const qint64 want = inHead ? head.size() - done : std::min<qint64>(upTo - done, rest.size());
            const ssize_t n = ::read(fd, into, static_cast<size_t>(want));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        ::close(fd);
        head.truncate(static_cast<qsizetype>(std::min<qint64>(done, head.size())));
    }

    std::unique_ptr<DcmFileFormat> file;
    try {
        file = headerFromBytes(head);
    } catch (const std::exception&) {
    }
    if (!file) {
        // a header longer than the head, or one DCMTK reads only from the file
        file = std::make_unique<DcmFileFormat>();
        OFCondition cond;
        try {
            cond = file->loadFileUntilTag(OFFilename(encodeFileName(path).constData()), EXS_Unknown, EGL_noChange, 1024,
                                          ERM_autoDetect, kHeaderEnd);
        } catch (const std::exception& e) {
            fail(DicomErrc::FileUnreadable, prefix + QStringLiteral("damaged (%1)").arg(QString::fromLocal8Bit(e.what())));
        }
        if (cond.bad())
            fail(DicomErrc::FileUnreadable, prefix + conditionText(cond));
    }
    ::DcmDataset* ds = file->getDataset();
    DcmHeader header;
    header.Patient = patientOf(*ds, QByteArray());
    header.Study = studyValuesOf(*ds, QByteArray());
    header.Series = seriesValuesOf(*ds, QByteArray());
    header.StudyInstanceUID = header.Study.StudyInstanceUID;
    OFString sopClass, sopInstance;
    ds->findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    header.SOPInstanceUID = QString::fromLatin1(sopInstance.c_str()).trimmed();
    header.IsInstance = ds->findAndGetOFString(DCM_SOPClassUID, sopClass).good() && !sopClass.empty() && !sopInstance.empty();
    return header;
}

}  // namespace varnelo
