#include "import/MediumPatients.h"

namespace varnelo {

QString comparableText(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text)
        if (!c.isSpace())
            out += c.toUpper();
    return out;
}

QString comparableName(const QString& name)
{
    QString out = comparableText(name);
    while (out.endsWith(QLatin1Char('^')))
        out.chop(1);
    return out;
}

QString patientKey(const DcmPatient& patient)
{
    // a character that no value holds parts the three
    return patient.PatientID.trimmed() + QChar(0x1F) + comparableName(patient.PatientName) + QChar(0x1F) +
        comparableText(patient.BirthDate);
}

MediumPatient& MediumPatients::entry(const DcmPatient& patient)
{
    const QString key = patientKey(patient);
    for (MediumPatient& p : patients_)
        if (p.key == key)
            return p;
    MediumPatient p;
    p.patient = patient;
    p.key = key;
    patients_.append(p);
    return patients_.last();
}

void MediumPatients::addImage(const DcmPatient& patient, const QString& study)
{
    MediumPatient& p = entry(patient);
    ++p.images;
    if (!p.studies.contains(study)) {
        p.studies.insert(study);
        ++p.studyCount;
    }
}

void MediumPatients::addRecord(const DcmPatient& patient, std::int32_t studies, std::int32_t images)
{
    MediumPatient& p = entry(patient);
    p.studyCount += studies;
    p.images += images;
}

namespace {

// A value the medium has that the other replaces (by another or by none).
bool replaced(const QString& onMedium, const QString& other)
{
    return !onMedium.isEmpty() && onMedium != other;
}

bool conflict(const QString& a, const QString& b)
{
    return !a.isEmpty() && !b.isEmpty() && a != b;
}

}  // namespace

bool differsFromPicked(const DcmPatient& onMedium, const DcmPatient& picked)
{
    return replaced(comparableName(onMedium.PatientName), comparableName(picked.PatientName)) ||
        replaced(comparableText(onMedium.BirthDate), comparableText(picked.BirthDate)) ||
        replaced(comparableText(onMedium.Sex), comparableText(picked.Sex));
}

bool samePatient(const DcmPatient& image, const DcmPatient& onMedium)
{
    return image.PatientID.trimmed() == onMedium.PatientID.trimmed() &&
        !conflict(comparableName(image.PatientName), comparableName(onMedium.PatientName)) &&
        !conflict(comparableText(image.BirthDate), comparableText(onMedium.BirthDate));
}

bool needsChoice(const MediumPatients& patients, const NewIdentity& identity)
{
    if (patients.size() > 1)
        return true;
    return identity.picked && patients.size() == 1 && differsFromPicked(patients.list().front().patient, identity.patient);
}

QString describePatient(const DcmPatient& patient)
{
    QStringList parts;
    parts << (patient.PatientName.isEmpty() ? QStringLiteral("(no name)") : patient.PatientName);
    parts << QStringLiteral("ID ") + (patient.PatientID.isEmpty() ? QStringLiteral("(none)") : patient.PatientID);
    if (!patient.IssuerOfPatientID.isEmpty())
        parts.last() += QStringLiteral(" of ") + patient.IssuerOfPatientID;
    if (!patient.BirthDate.isEmpty())
        parts << QStringLiteral("born ") + patient.BirthDate;
    if (!patient.Sex.isEmpty())
        parts << QStringLiteral("sex ") + patient.Sex;
    return parts.join(QStringLiteral(", "));
}

}  // namespace varnelo
