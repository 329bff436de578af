// Who an object is about: the patient values of image headers, DICOMDIR
// records and worklist answers, read alike so that they can be compared.

#include "dicom/DicomPrivate.h"

#include "base/FileNames.h"

#include <exception>

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

}  // namespace

const DcmTagKey kPatientKeys[5] = {DCM_PatientID, DCM_IssuerOfPatientID, DCM_PatientName, DCM_PatientBirthDate,
                                   DCM_PatientSex};

DcmPatient patientOf(DcmItem& source, const QByteArray& inheritedCharset)
{
    // A copy of the few values, turned into UTF-8 through the character set
    // that applies to them: the source stays as it is.
    DcmItem copy;
    OFString charset;
    if (source.findAndGetOFStringArray(DCM_SpecificCharacterSet, charset, OFFalse).good() && !charset.empty())
        copy.putAndInsertOFStringArray(DCM_SpecificCharacterSet, charset);
    else if (!inheritedCharset.isEmpty())
        copy.putAndInsertString(DCM_SpecificCharacterSet, inheritedCharset.constData());
    for (const DcmTagKey& key : kPatientKeys) {
        DcmElement* element = nullptr;
        if (source.findAndGetElement(key, element, OFFalse).good() && element && element->ident() != EVR_SQ)
            copy.insert(static_cast<DcmElement*>(element->clone()), OFTrue);
    }
    TextToUtf8 toUtf8;
    QStringList notes;
    toUtf8.convert(copy, notes);
    DcmPatient p;
    p.PatientID = textIn(copy, DCM_PatientID);
    p.IssuerOfPatientID = textIn(copy, DCM_IssuerOfPatientID);
    p.PatientName = textIn(copy, DCM_PatientName);
    p.BirthDate = textIn(copy, DCM_PatientBirthDate);
    p.Sex = textIn(copy, DCM_PatientSex);
    return p;
}

}  // namespace dicomimpl

using namespace dicomimpl;

DcmHeader DcmUtility::ReadHeader(const QString& path)
{
    ensureInitialised();
    const QString prefix = QStringLiteral("Cannot read %1: ").arg(path);
    DcmFileFormat file;
    OFCondition cond;
    try {
        // Up to the study: the series and everything after it, the pixel
        // data above all, stay unread, and no long value is loaded.
        cond = file.loadFileUntilTag(OFFilename(encodeFileName(path).constData()), EXS_Unknown, EGL_noChange, 1024,
                                     ERM_autoDetect, DCM_SeriesInstanceUID);
    } catch (const std::exception& e) {
        fail(DicomErrc::FileUnreadable, prefix + QStringLiteral("damaged (%1)").arg(QString::fromLocal8Bit(e.what())));
    }
    if (cond.bad())
        fail(DicomErrc::FileUnreadable, prefix + conditionText(cond));
    ::DcmDataset* ds = file.getDataset();
    DcmHeader header;
    header.Patient = patientOf(*ds, QByteArray());
    OFString value;
    if (ds->findAndGetOFString(DCM_StudyInstanceUID, value).good())
        header.StudyInstanceUID = QString::fromLatin1(value.c_str()).trimmed();
    OFString sopClass, sopInstance;
    header.IsInstance = ds->findAndGetOFString(DCM_SOPClassUID, sopClass).good() && !sopClass.empty() &&
        ds->findAndGetOFString(DCM_SOPInstanceUID, sopInstance).good() && !sopInstance.empty();
    return header;
}

}  // namespace varnelo
