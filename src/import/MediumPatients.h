#pragma once

// Who is on a medium, and whether the operator must be asked before its
// images go out under a new identity.

#include "dicom/Dicom.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <utility>

namespace varnelo {

// A patient's values as one string, for lookups: the Patient ID, the
// issuer, and name, birth date and sex without regard to case, spaces and
// trailing "^". Whether two images are of one patient is samePatient's
// question: an empty value there matches anything.
QString patientKey(const DcmPatient& patient);
QString comparableName(const QString& name);
QString comparableText(const QString& text);  // case and spaces ignored

// One series of a study on the medium, as its images (or records) say.
struct MediumSeries {
    QString uid;          // Series Instance UID; empty when the files leave it out
    QString number;       // Series Number as written
    QString modality;
    QString description;
    std::int32_t images = 0;
    QStringList instances;  // SOP Instance UIDs, as far as known (a record may lack one)
};

// One study on the medium: what the operator recognises it by, and its series.
struct MediumStudy {
    QString uid;          // Study Instance UID; empty when the files leave it out
    QString date;         // YYYYMMDD as written
    QString description;
    QStringList modalities;  // of its series, in the order met, each once
    QList<MediumSeries> series;
    std::int32_t images = 0;
};

struct MediumPatient {
    DcmPatient patient;   // as its images (or records) have it; a value none has stays empty
    QString key;          // patientKey(patient)
    QSet<QString> studies;  // Study Instance UIDs (a scan) or study records
    std::int32_t studyCount = 0;
    std::int32_t images = 0;
    QList<MediumStudy> studyList;  // in the order met
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
    // An image with its study and series, from its header (a scan's survey).
    QString addImage(const DcmHeader& header);
    // A DICOMDIR patient record with its studies, series and image UIDs.
    QString addRecord(const DcmPatient& patient, const QList<MediumStudy>& studies);

    // The study with this UID, or nullptr.
    const MediumStudy* study(const QString& studyUid) const;
    // Every study of the medium with a UID, as (patient index, study).
    QList<std::pair<qsizetype, const MediumStudy*>> allStudies() const;

    const QList<MediumPatient>& list() const { return patients_; }
    qsizetype size() const { return patients_.size(); }
    bool isEmpty() const { return patients_.isEmpty(); }

private:
    MediumPatient& entry(const DcmPatient& patient);
    QList<MediumPatient> patients_;
};

// What a destination already holds of one study of the medium.
enum class HeldState {
    New,           // the PACS holds none of its images
    Partly,        // some of them
    Held,          // all of them
    OtherPatient,  // the PACS holds the study under another Patient ID or issuer
    NotAsked,      // the destination could not be asked: treated as holding nothing
};

struct StudyAtDestination {
    HeldState state = HeldState::New;
    std::int32_t held = 0;   // the medium's images the PACS holds
    std::int32_t total = 0;  // the medium's images of the study
    DcmPatient atPacs;       // whom the PACS holds the study under (when it holds it)
};

// What one destination holds of the medium.
struct DestinationHoldings {
    QString aet;            // the destination's AE title, as the summary names it
    bool asked = false;     // false: it could not be asked, and holds nothing here
    QString why;            // when not asked: what happened, for the error log
    QHash<QString, StudyAtDestination> studies;  // by Study Instance UID
    QSet<QString> instances;  // SOP Instance UIDs it holds of the medium's
    bool complete = false;    // every study was asked and every UID decided
};

// The operator's answer in the window that shows what is on the medium.
struct MediumChoice {
    QList<bool> patients;          // one tick per patient, in the medium's order
    QSet<QString> studiesLeftOut;  // Study Instance UIDs of studies unticked
    QSet<QString> sendAgain;       // studies whose images already held go again
};

// A DICOMDIR patient record's studies, series and image UIDs, from its
// STUDY, SERIES and IMAGE records. A record in error is passed over: the walk
// reports it when its turn comes.
QList<MediumStudy> studiesOfRecords(const DcmDatasetList& studies);

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
constexpr std::int32_t HeldUnderOtherPatient = 41005;  // a PACS holds a study of the medium under another patient
}

// Whether the operator must choose: several patients under a new ID, or one
// that is not the picked one.
bool needsChoice(const MediumPatients& patients, const NewIdentity& identity);
// ... or a destination already holds a study, wholly, in part, or under
// another patient: then too the operator decides.
bool needsChoice(const MediumPatients& patients, const NewIdentity& identity,
                 const QList<DestinationHoldings>& holdings);
// The answer when nobody is asked, and the window's ticks as it opens: every
// patient, every study but one held under another patient, nothing sent again.
MediumChoice defaultChoice(const MediumPatients& patients, const QList<DestinationHoldings>& holdings);
// The state of a study at the destinations that were asked, the most telling
// first (another patient, held, partly held, new).
HeldState worstState(const QList<DestinationHoldings>& holdings, const QString& studyUid);

// One line about a patient for the logs: name, ID, birth date, sex.
QString describePatient(const DcmPatient& patient);

}  // namespace varnelo
