#pragma once

#include "base/AuditSender.h"
#include "dicomnet/Network.h"
#include "base/DriveReadAhead.h"
#include "import/Delivery.h"
#include "import/Holdings.h"
#include "import/ReferencedFiles.h"
#include "import/RunView.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPair>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace varnelo {

class ArchiveMedium;
class DcmImageList;

// One import run: the folder scan or the DICOMDIR walk, each image read,
// checked and given its identity, then handed to the Delivery that sends it;
// at the end the confirmation, the markers and the receipt. Runs on the
// window thread and yields to it at fixed points; the run state is read and
// changed between yields (the Delivery's workers only send).
class ImportRun : private DeliveryListener {
public:
    // newPatientId is read at each image (the "New Patient ID:" box).
    ImportRun(RunView& view, FailurePrompt& prompt, std::function<QString()> newPatientId);
    ~ImportRun();

    bool AbortRequested = false;
    std::int32_t ImportedCount = 0;

    // The worklist entry picked for the "New Patient ID:" box, when the box
    // still holds its ID: the images then take its whole identity.
    std::function<std::optional<DcmPatient>()> pickedPatient;
    // A last line for the summary box, given whether the run is clean
    // (summaryIsClean); empty adds nothing. The window says there what
    // becomes of the medium.
    std::function<QString(bool clean)> summaryFooter;
    // Asked when the medium's patients need the operator's choice; without
    // one such a run sends nothing.
    PatientsPrompt* patientsPrompt = nullptr;

    // The patients found on the medium by the last run (with a new identity).
    const MediumPatients& mediumPatients() const { return medium_; }
    // The last run ended at "Cancel" in "Patients on this medium".
    bool cancelled() const { return cancelled_; }
    // What each destination confirmed of the images it stored in the last
    // run: one line each, as the summary shows them.
    const QStringList& confirmations() const { return confirmations_; }
    // The full text of the last run's summary box.
    QString summary() const;
    // Whether the summary can carry the information icon: everything found
    // was sent and no destination reported a loss.
    bool summaryIsClean() const;

    // The whole run, as the progress window's timer starts it. Shows the
    // summary when the walk calls for one.
    void Run();

    void ReadCdDirectory(const QString& folder, bool withSubDirs);
    void SearchForDicomDir(const QString& folder);
    void ReadDicomDir();

    enum class Mode { Scan,
                      DicomDir };

    // Per walk invocation: one image list and what the folder's images share.
    struct Invocation;

    void TransferImage(const QString& path, Mode mode, Invocation& inv);

    static QString summaryText(std::int32_t count);
    // How long the confirmation of one destination is waited for.
    int ConfirmSeconds = 60;
    int ConfirmBatch = 200;  // instances per commitment request
    // The bound of each query asking a destination what it holds already.
    int HoldingsSeconds = 10;
    // Files of a scan that are no images, named one by one in the error log;
    // the rest are counted in one line.
    int UnreadableNamed = 1000;

private:
    // Waits, yielding, until the drive's read-ahead has read the file at
    // `index` of its list; false when Abort was pressed meanwhile.
    bool awaitDrive(qsizetype index);
    void readFolder(const QString& folder, bool withSubDirs);
    // Reads the new identity for this run: the box, and the pick behind it;
    // false (and said) when its values do not fit their attributes.
    bool startIdentity();
    // Start and end of a walk: the counts, the confirmation by each
    // destination, the markers it proves, and the receipt.
    void beginRun();
    void finishRun(const QString& source, Mode mode);
    QStringList confirmStored();
    void writeReceipt(const QString& source, Mode mode) const;
    // Who is on the medium: the scan's headers, read before anything is sent.
    void surveyFile(const QString& path);
    // Fills in what a DICOMDIR patient record leaves out from its first image.
    void fillFromFirstImage(DcmPatient& patient, const DcmDatasetList& studies, ReferencedFiles& files);
    // The check before the first send; false when nothing is to be sent.
    bool choosePatients();
    bool isChosen(const QString& patientKey) const { return !checkPatients_ || chosen_.contains(patientKey); }
    // Refuses an image whose header names a patient the operator did not choose.
    void checkImagePatient(const DcmPatient& patient, const QString& path) const;
    QString resolveFolder(const QString& folder) const;
    bool staysInside(const QString& path);

    RunView& view_;
    FailurePrompt& prompt_;
    std::function<QString()> newPatientId_;
    QSet<QString> visited_;  // canonical folders of this run; a link loop ends here
    QString scanRoot_;       // real path of the scan's start folder
    // Files of this run by device and inode: a file reached twice (a link, two
    // records naming it) is sent once.
    QSet<QPair<quint64, quint64>> taken_;

    // A new identity is given: the medium's patients are known before the
    // first send and each image's header is checked against the choice.
    bool checkPatients_ = false;
    bool surveying_ = false;  // the scan's first pass: headers only
    bool cancelled_ = false;
    NewIdentity identity_;
    MediumPatients medium_;
    QSet<QString> chosen_;               // keys of the patients to send
    // The scan's files, as the survey read them.
    struct SurveyedFile {
        QString patientKey;
        QString study;     // Study Instance UID
        QString instance;  // SOP Instance UID
    };
    QHash<QString, SurveyedFile> surveyed_;
    // What each destination held of the medium before the first send, and
    // what the operator chose about it.
    QList<DestinationHoldings> holdings_;
    QSet<QString> studiesLeftOut_;
    QSet<QString> sendAgain_;
    int alreadyHeld_[2] = {0, 0};  // images not sent to a destination that held them
    int studyLeftOut_ = 0;         // of notChosen_: their study was unticked
    // Who imported which patient's images from which medium to which archive.
    std::unique_ptr<ImportAudit> audit_;
    // Asks each destination what it holds of the surveyed medium.
    void askHoldings();
    // Whether destination d (1 or 2) held the instance before the run, and
    // the operator did not ask for its study to go again.
    bool heldAt(int d, const QString& study, const QString& instance) const;
    // An image every destination holds already: counted and named, not sent,
    // not even read. True when it was passed over so.
    bool passOverHeld(const QString& path, const QString& study, const QString& instance);

    // What each destination stored in this run, to be confirmed.
    struct StoredImage {
        DcmStoredInstance instance;
        QString path;
        QString folder;
    };
    std::vector<StoredImage> stored_[2];
    // The confirmation of each destination, asked for as its images are stored.
    std::unique_ptr<DcmCommitSession> commits_[2];
    QString logTrouble_;
    QString keepingTrouble_;  // settings and logs cannot be kept, said in the first run's summary  // the first log line of the run that could not be written, for its last box
    QStringList pendingMarkers_;  // folders done, marked once their images are confirmed
    QStringList confirmations_;
    QStringList confirmationsShown_;  // the same in the operator's language
    QString problem_;  // why a DICOMDIR run found nothing to send
    QStringList seenPatientIds_;  // without a survey: the IDs of the images taken up
    QHash<QString, QString> sentInstances_;  // SOP Instance UIDs taken up in this run, and their files
    QStringList identityRefused_;  // images whose header could not take the new identity
    // Images of the run: taken up, sent everywhere, failed, ignored, left on the medium.
    // failed_: not sent somewhere, whatever the answer; ignored_: of those, passed over
    int found_ = 0, sentEverywhere_ = 0, failed_ = 0, ignored_ = 0, notChosen_ = 0;
    int listed_ = 0;  // image records of a DICOMDIR
    int unreadable_ = 0;  // files of a scan that are no images
    QElapsedTimer sinceYield_;
    quint64 yields_ = 0, yieldsAtKeepAlive_ = 0;
    // Lets the window have its turn (the run view's yield), and notes when.
    void yield();
    // Yields when the window has waited a while: in loops over files that
    // cost no yield of their own.
    void keepAlive();
    bool endedAborted_ = false;
    bool confirmLoss_ = false;           // a destination confirmed less than it stored, or did not answer
    bool confirmationsNameLog_ = false;  // a confirmation line sends the reader to the error log
    QString endNote_;                    // how the run ended, when neither complete, aborted nor cancelled
    // Where the run stands, for the line under the bars.
    struct Progress {
        QElapsedTimer clock;      // since the run began
        QElapsedTimer sinceFirst;  // since the first image was taken up
        qint64 shownAt = -1;
        int total = 0;   // images to send, when known before
        int done = 0;    // images taken up
        int folders = 0; // folders of a scan entered
        QString patient;
        QString lastId;
    } progress_;
    void showProgress(const QString& patientName);
    bool running_ = false;  // inside a walk started at the top
    // Sends what the walk hands over, and counts what became of it.
    std::unique_ptr<Delivery> delivery_;
    QSet<QString> undeliveredFolders_;  // an image of the folder did not reach every destination
    void stored(int d, const Parcel& parcel) override;
    void sent(int d, const Parcel& parcel, bool success) override;
    void undelivered(const Parcel& parcel) override;
    // Reads the files to come while the current one is sent.
    DriveReadAhead drive_;
    // A ZIP archive or disc image being imported: its members are extracted
    // while the walk goes on.
    std::unique_ptr<ArchiveMedium> archive_;
    // Waits, yielding, until a file of the archive is extracted; false when
    // it never will be (or Abort came meanwhile). True at once without one.
    bool awaitFile(const QString& path);
};

// The receipt line (Logs/Imports.log) of a launch that stopped before its run
// started, e.g. at a destination's connection check: the source it would have
// read, and why it stopped.
void writeStoppedLaunchReceipt(const QString& source, bool dicomDir, const QString& reason);

// True when the name's last characters equal suffix, compared in upper case.
bool suffixMatches(const QString& fileName, const QString& suffix);

}  // namespace varnelo
