#pragma once

// What a PACS already holds of a study, asked before anything is sent: Study
// Root C-FIND at STUDY level for the study, at IMAGE level for instances.

#include "dicomnet/Network.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace varnelo {

// What a PACS holds of one study, by Study Root C-FIND at STUDY level.
struct DcmStudyHolding {
    bool Found = false;
    DcmPatient Patient;                  // PatientID, IssuerOfPatientID, PatientName as the PACS holds the study
    std::int32_t RelatedInstances = -1;  // Number of Study Related Instances; -1 when the PACS leaves it out
    // Every answer's patient, Patient first: a PACS may hold one study under
    // several patients, and any of them may be the wrong one.
    QList<DcmPatient> AllPatients;
};

// One association to one PACS for several queries; opened on first use,
// kept until Release() or destruction. Every wait is bounded by
// TimeoutSeconds (the association request and every answer); connecting by
// DicomTimeouts::ConnectSeconds. Throws Error (CannotConnect,
// AssociationRejected, NoPresentationContext, QueryFailed, Timeout, ...) with
// a one-line description. Clients share nothing: one per thread is safe.
class DcmStudyQueryClient {
public:
    QString PeerHost;
    std::int32_t PeerPort = 0;
    QString CalledAETitle, CallingAETitle;
    DcmTls Tls;
    int TimeoutSeconds = 10;
    int ChunkSize = 100;  // SOP Instance UIDs per IMAGE-level query (UID list matching)

    DcmStudyQueryClient();
    ~DcmStudyQueryClient();  // releases the association
    DcmStudyQueryClient(DcmStudyQueryClient&&) noexcept;
    DcmStudyQueryClient& operator=(DcmStudyQueryClient&&) noexcept;

    // Found false when the PACS has no such study. When it holds the study
    // under several patients, the first answer speaks. Text in Unicode,
    // whatever character set the PACS answers in.
    DcmStudyHolding FindStudy(const QString& studyInstanceUid);
    // Which of `sopInstanceUids` the PACS holds in that series: IMAGE level
    // queries (StudyInstanceUID, SeriesInstanceUID, SOPInstanceUID as a UID
    // list of at most ChunkSize).
    QSet<QString> FindInstances(const QString& studyInstanceUid, const QString& seriesInstanceUid,
                                const QStringList& sopInstanceUids);
    void Release();

private:
    struct Impl;
    Impl& impl();
    std::unique_ptr<Impl> impl_;
};

}  // namespace varnelo
