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

// Two images are of one patient when their Patient IDs are equal and their
// names and birth dates are equal without regard to case, spaces and
// trailing "^".
QString patientKey(const DcmPatient& patient);
QString comparableName(const QString& name);
QString comparableText(const QString& text);  // case and spaces ignored

struct MediumPatient {
    DcmPatient patient;   // as the first image (or record) of it has it
    QString key;          // patientKey(patient)
    QSet<QString> studies;  // Study Instance UIDs (a scan) or study records
    std::int32_t studyCount = 0;
    std::int32_t images = 0;
};

// The patients of one medium, in the order they were met.
class MediumPatients {
public:
    // Counts one image (or image record) of `patient` in study `study`.
    void addImage(const DcmPatient& patient, const QString& study);
    // A DICOMDIR patient record with its counts: records that name the same
    // patient are taken together.
    void addRecord(const DcmPatient& patient, std::int32_t studies, std::int32_t images);

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
// Whether an image's own header names this patient of the medium: the same
// Patient ID, and the same name and birth date where both have one.
bool samePatient(const DcmPatient& image, const DcmPatient& onMedium);

// An image whose header names a patient the operator did not choose.
namespace ImportErrc {
constexpr std::int32_t PatientNotChosen = 41001;
constexpr std::int32_t NotConfirmed = 41002;  // a PACS did not confirm what it stored
}

// Whether the operator must choose: several patients under a new ID, or one
// that is not the picked one.
bool needsChoice(const MediumPatients& patients, const NewIdentity& identity);

// One line about a patient for the logs: name, ID, birth date, sex.
QString describePatient(const DcmPatient& patient);

}  // namespace varnelo
