#pragma once

// Who is on a medium, and whether the operator must be asked before its
// images go out under a new identity.

#include "dicom/Dicom.h"

#include <QList>
#include <QSet>
#include <QString>

#include <cstdint>
#include <optional>

namespace varnelo {

// A patient's values as one string, for lookups: the Patient ID, the
// issuer, and name, birth date and sex without regard to case, spaces and
// trailing "^". Whether two images are of one patient is samePatient's
// question: an empty value there matches anything.
QString patientKey(const DcmPatient& patient);
QString comparableName(const QString& name);
QString comparableText(const QString& text);  // case and spaces ignored

struct MediumPatient {
    DcmPatient patient;   // as its images (or records) have it; a value none has stays empty
    QString key;          // patientKey(patient)
    QSet<QString> studies;  // Study Instance UIDs (a scan) or study records
    std::int32_t studyCount = 0;
    std::int32_t images = 0;
};

// The patients of one medium, in the order they were met.
class MediumPatients {
public:
    // Counts one image (or image record) of `patient` in study `study`.
    // Returns the key of the patient it was counted under.
    QString addImage(const DcmPatient& patient, const QString& study);
    // A DICOMDIR patient record with its counts: records that name the same
    // patient are taken together. Returns the key, as addImage.
    QString addRecord(const DcmPatient& patient, std::int32_t studies, std::int32_t images);

    const QList<MediumPatient>& list() const { return patients_; }
    qsizetype size() const { return patients_.size(); }
    bool isEmpty() const { return patients_.isEmpty(); }

private:
    MediumPatient& entry(const DcmPatient& patient);
    QList<MediumPatient> patients_;
};

// The identity the images get: a typed Patient ID (the other values stay as
// on the medium), or a worklist entry's whole identity.
struct NewIdentity {
    DcmPatient patient;
    bool picked = false;  // from the worklist: all five values apply
};

// Whether a picked identity would replace the medium patient's name, birth
// date or sex (compared as for patientKey). A value the medium leaves empty
// (a DICOMDIR record need not carry the birth date) is replaced by nothing.
bool differsFromPicked(const DcmPatient& onMedium, const DcmPatient& picked);
// Fills in what `known` leaves empty (issuer, its qualifiers, name, birth
// date, sex) from `from`, another image of the same patient.
void fillUnknown(DcmPatient& known, const DcmPatient& from);

// Whether an image's own header names this patient of the medium: the same
// Patient ID, and the same issuer, name, birth date and sex where both have
// one. An empty value is unknown, not different.
bool samePatient(const DcmPatient& image, const DcmPatient& onMedium);

// An image whose header names a patient the operator did not choose.
namespace ImportErrc {
constexpr std::int32_t PatientNotChosen = 41001;
constexpr std::int32_t NotConfirmed = 41002;  // a PACS did not confirm what it stored
constexpr std::int32_t DuplicateInstance = 41003;  // another file of the run has its SOP Instance UID
constexpr std::int32_t InvalidIdentity = 41004;    // a new identity whose values do not fit
}

// Whether the operator must choose: several patients under a new ID, or one
// that is not the picked one.
bool needsChoice(const MediumPatients& patients, const NewIdentity& identity);

// One line about a patient for the logs: name, ID, birth date, sex.
QString describePatient(const DcmPatient& patient);

}  // namespace varnelo
