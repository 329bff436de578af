#include "import/MediumPatients.h"

#include <algorithm>
#include <utility>

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
    // a character that no value holds parts them
    const QChar unit(0x1F);
    return patient.PatientID.trimmed() + unit + comparableText(patient.IssuerOfPatientID) + unit +
        comparableName(patient.PatientName) + unit + comparableText(patient.BirthDate) + unit +
        comparableText(patient.Sex);
}

void fillUnknown(DcmPatient& known, const DcmPatient& from)
{
    for (auto [mine, theirs] : {std::pair {&known.IssuerOfPatientID, &from.IssuerOfPatientID},
                                std::pair {&known.PatientName, &from.PatientName},
                                std::pair {&known.BirthDate, &from.BirthDate}, std::pair {&known.Sex, &from.Sex}})
        if (mine->isEmpty())
            *mine = *theirs;
    if (known.IssuerQualifiers.isEmpty())
        known.IssuerQualifiers = from.IssuerQualifiers;
}

MediumPatient& MediumPatients::entry(const DcmPatient& patient)
{
    // An image that leaves a value out is of the patient whose other values
    // it shares; what it has fills in what that patient's first image left out.
    for (MediumPatient& p : patients_)
        if (samePatient(patient, p.patient)) {
            fillUnknown(p.patient, patient);
            return p;
        }
    MediumPatient p;
    p.patient = patient;
    p.key = patientKey(patient);
    // two patients never share a key, whatever was filled in since
    for (int n = 2; std::any_of(patients_.cbegin(), patients_.cend(), [&](const MediumPatient& o) { return o.key == p.key; }); ++n)
        p.key = patientKey(patient) + QChar(0x1F) + QString::number(n);
    patients_.append(p);
    return patients_.last();
}

QString MediumPatients::addImage(const DcmPatient& patient, const QString& study)
{
    MediumPatient& p = entry(patient);
    ++p.images;
    if (!p.studies.contains(study)) {
        p.studies.insert(study);
        ++p.studyCount;
    }
    return p.key;
}

QString MediumPatients::addRecord(const DcmPatient& patient, std::int32_t studies, std::int32_t images)
{
    MediumPatient& p = entry(patient);
    p.studyCount += studies;
    p.images += images;
    return p.key;
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
        !conflict(comparableText(image.IssuerOfPatientID), comparableText(onMedium.IssuerOfPatientID)) &&
        !conflict(comparableName(image.PatientName), comparableName(onMedium.PatientName)) &&
        !conflict(comparableText(image.BirthDate), comparableText(onMedium.BirthDate)) &&
        !conflict(comparableText(image.Sex), comparableText(onMedium.Sex));
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
