#include "import/MediumPatients.h"

#include "base/Error.h"

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

QString MediumPatients::addImage(const DcmHeader& header)
{
    MediumPatient& p = entry(header.Patient);
    ++p.images;
    const QString studyUid = header.Study.StudyInstanceUID;
    if (!p.studies.contains(studyUid)) {
        p.studies.insert(studyUid);
        ++p.studyCount;
    }
    auto study = std::find_if(p.studyList.begin(), p.studyList.end(),
                              [&](const MediumStudy& s) { return s.uid == studyUid; });
    if (study == p.studyList.end()) {
        MediumStudy s;
        s.uid = studyUid;
        s.date = header.Study.StudyDate;
        s.description = header.Study.StudyDescription;
        p.studyList << s;
        study = p.studyList.end() - 1;
    }
    ++study->images;
    const QString seriesUid = header.Series.SeriesInstanceUID;
    auto series = std::find_if(study->series.begin(), study->series.end(),
                               [&](const MediumSeries& s) { return s.uid == seriesUid; });
    if (series == study->series.end()) {
        MediumSeries s;
        s.uid = seriesUid;
        s.number = header.Series.SeriesNumber;
        s.modality = header.Series.Modality;
        s.description = header.Series.SeriesDescription;
        study->series << s;
        series = study->series.end() - 1;
        if (!s.modality.isEmpty() && !study->modalities.contains(s.modality))
            study->modalities << s.modality;
    }
    ++series->images;
    if (!header.SOPInstanceUID.isEmpty())
        series->instances << header.SOPInstanceUID;
    return p.key;
}

QString MediumPatients::addRecord(const DcmPatient& patient, const QList<MediumStudy>& studies)
{
    MediumPatient& p = entry(patient);
    for (const MediumStudy& s : studies) {
        p.studyCount += 1;
        p.images += s.images;
        if (!s.uid.isEmpty())
            p.studies.insert(s.uid);
        p.studyList << s;
    }
    return p.key;
}

QList<MediumStudy> studiesOfRecords(const DcmDatasetList& studies)
{
    QList<MediumStudy> out;
    for (std::int32_t st = 1; st <= studies.Count(); ++st) {
        try {
            const DcmDataset studyRecord = studies.ItemAt(st);
            const DcmStudyValues values = studyRecord.StudyValues();
            MediumStudy study;
            study.uid = values.StudyInstanceUID;
            study.date = values.StudyDate;
            study.description = values.StudyDescription;
            const DcmDatasetList seriesList = studyRecord.Children();
            for (std::int32_t se = 1; se <= seriesList.Count(); ++se) {
                const DcmDataset seriesRecord = seriesList.ItemAt(se);
                const DcmSeriesValues sv = seriesRecord.SeriesValues();
                MediumSeries series;
                series.uid = sv.SeriesInstanceUID;
                series.number = sv.SeriesNumber;
                series.modality = sv.Modality;
                series.description = sv.SeriesDescription;
                const DcmDatasetList images = seriesRecord.Children();
                series.images = images.Count();
                for (std::int32_t im = 1; im <= images.Count(); ++im) {
                    try {
                        const QString uid = images.ItemAt(im).Attributes().ByTag(0x0004, 0x1511).Value().toString().trimmed();
                        if (!uid.isEmpty())
                            series.instances << uid;
                    } catch (const Error&) {
                    }
                }
                study.images += series.images;
                if (!series.modality.isEmpty() && !study.modalities.contains(series.modality))
                    study.modalities << series.modality;
                study.series << series;
            }
            out << study;
        } catch (const Error&) {
        }
    }
    return out;
}

const MediumStudy* MediumPatients::study(const QString& studyUid) const
{
    for (const MediumPatient& p : patients_)
        for (const MediumStudy& s : p.studyList)
            if (s.uid == studyUid)
                return &s;
    return nullptr;
}

QList<std::pair<qsizetype, const MediumStudy*>> MediumPatients::allStudies() const
{
    QList<std::pair<qsizetype, const MediumStudy*>> out;
    for (qsizetype i = 0; i < patients_.size(); ++i)
        for (const MediumStudy& s : patients_[i].studyList)
            if (!s.uid.isEmpty())
                out.append({i, &s});
    return out;
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

bool needsChoice(const MediumPatients& patients, const NewIdentity& identity,
                 const QList<DestinationHoldings>& holdings)
{
    if (needsChoice(patients, identity))
        return true;
    for (const auto& [index, study] : patients.allStudies()) {
        Q_UNUSED(index);
        if (worstState(holdings, study->uid) != HeldState::New)
            return true;
    }
    return false;
}

HeldState worstState(const QList<DestinationHoldings>& holdings, const QString& studyUid)
{
    HeldState worst = HeldState::New;
    auto rank = [](HeldState s) {
        switch (s) {
        case HeldState::OtherPatient: return 3;
        case HeldState::Held: return 2;
        case HeldState::Partly: return 1;
        case HeldState::New:
        case HeldState::NotAsked: return 0;
        }
        return 0;
    };
    for (const DestinationHoldings& d : holdings) {
        if (!d.asked)
            continue;
        const auto found = d.studies.constFind(studyUid);
        if (found != d.studies.cend() && rank(found->state) > rank(worst))
            worst = found->state;
    }
    return worst;
}

MediumChoice defaultChoice(const MediumPatients& patients, const QList<DestinationHoldings>& holdings)
{
    MediumChoice choice;
    choice.patients = QList<bool>(patients.size(), true);
    for (const auto& [index, study] : patients.allStudies()) {
        Q_UNUSED(index);
        if (worstState(holdings, study->uid) == HeldState::OtherPatient)
            choice.studiesLeftOut.insert(study->uid);
    }
    return choice;
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
