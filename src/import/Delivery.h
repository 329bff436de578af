#pragma once

// Sending an import's images: the destinations, their associations or
// DICOMweb requests, the threads that carry them, the operator's turn when
// one fails, and the counts.
//
// The walk hands each image over as it is read from the medium; the image
// goes to destination 1, then to destination 2. Each destination has its
// own workers: up to [DICOM] Associations threads with an association each
// for a DICOM peer, or as many STOW-RS requests in flight for a DICOMweb
// service. Everything that is counted, logged or asked happens on the
// window's thread, in the order the answers come in; the workers only send.

#include "dicom/Dicom.h"
#include "dicomnet/DicomWeb.h"
#include "dicomnet/Network.h"
#include "import/RunView.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace varnelo {

// Where one destination is, as the run reads it from the settings.
struct DeliveryDestination {
    int number = 1;  // 1 or 2
    QString host;
    std::int32_t port = 0;
    std::optional<Error> portError;  // the port setting is no number
    QString callingAE, calledAE;
    DcmTls tls;
    std::optional<DcmWebService> web;  // a DICOMweb service instead of a DICOM peer
    int associations = 1;              // associations (or requests) at once

    // What the operator knows it by: the AE title, or the URL's host.
    QString name() const;
    // Where the error log and the prompt say it is: the host.
    QString where() const;
};

// Destination d (1 or 2) as a DICOMweb service, when [DICOM] RemoteURL(2) is set.
std::optional<DcmWebService> webServiceOf(int d);

// The destinations of this run, from the settings.
std::vector<DeliveryDestination> deliveryDestinations();

// One image on its way.
struct Parcel {
    std::optional<DcmImage> image;  // none when it could not be read
    QString path;
    QString folder;  // of a scan: whose marker it keeps back when it fails
    DcmStoredInstance instance;
    DcmPatient asSent;    // whose image it is as it goes, for the audit trail
    DcmPatient onMedium;  // and as the medium has it
    bool held[2] = {false, false};  // the destination held it before the run: not sent there
    std::optional<Error> loadError;  // it could not be read or prepared: fails without a send
    std::int32_t loadErrorNumber = 0;
    bool identityRefused = false;  // its header cannot take the new identity: not counted as failed
    qint64 bytes = 0;
    // where it stands
    bool ignored = false;
    int destination = 1;  // the one it goes to next
};

// What the run is told of each parcel, on the window's thread.
class DeliveryListener {
public:
    virtual ~DeliveryListener() = default;
    // Destination d stored the image (the summary's count, its confirmation).
    virtual void stored(int d, const Parcel& parcel) = 0;
    // A send was tried: for the audit trail.
    virtual void sent(int d, const Parcel& parcel, bool success) = 0;
    // The image did not reach every destination it was meant for.
    virtual void undelivered(const Parcel& parcel) = 0;
};

// The counts of a run's images as the summary reads them.
struct DeliveryCounts {
    std::int32_t imported = 0;        // reached at least one destination in this run
    int sentEverywhere = 0;           // reached every destination that did not hold it
    int failed = 0;                   // not sent somewhere, whatever the answer
    int ignored = 0;                  // of those: passed over at the prompt
    int alreadyHeld[2] = {0, 0};      // not sent to a destination that held it
    int unsentAtAbort = 0;            // handed over, never sent: the run was aborted first
};

class Delivery {
public:
    // yield gives the window its turn; aborted says whether Abort was
    // pressed; whileWaiting reads ahead from the medium while the window
    // thread has nothing else to do.
    struct Hooks {
        std::function<void()> yield;
        std::function<bool()> aborted;
        std::function<void()> abort;  // the operator chose Abort at the prompt
        // the run's logs: a debug line, an error line, a file's name as logs show it
        std::function<void(const QString&)> debug;
        std::function<void(std::int32_t, const QString&)> error;
        std::function<QString(const QString&)> logName;
    };
    Delivery(std::vector<DeliveryDestination> destinations, FailurePrompt& prompt, DeliveryListener& listener,
             Hooks hooks);
    ~Delivery();
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    // Hands the image over. Waits, giving the window its turns and
    // answering what came back, while the images in flight are at their
    // bound. whileWaiting runs between the turns.
    void submit(std::shared_ptr<Parcel> parcel, const std::function<void()>& whileWaiting = {});
    // Waits until every image handed over has its answer from every
    // destination (or the run was aborted), then closes the associations.
    void finish();
    // The associations of a single-association destination end here, as
    // they did at the end of each folder: the next folder gets a new one.
    void folderDone();
    // Shows a failure to the operator as the workers' failures are shown:
    // nothing is sent meanwhile. Returns the answer.
    std::int16_t ask(const QString& text);

    const DeliveryCounts& counts() const { return counts_; }
    const std::vector<DeliveryDestination>& destinations() const { return destinations_; }
    // Associations opened to destination d (1 or 2) in this run; for tests and logs.
    int associationsOpened(int d) const;

    struct Shared;
    struct Worker;

private:
    void startWorkers();
    // Joins the workers; one still negotiating a further association is left to end on its own.
    void endWorkers();
    // Takes in what the workers answered; true when something was.
    bool takeOutcomes();
    void onOutcome(const std::shared_ptr<Parcel>& parcel, int d, std::int32_t status,
                   const std::optional<Error>& error, std::int32_t failureNumber);
    void forward(const std::shared_ptr<Parcel>& parcel);
    void done(const std::shared_ptr<Parcel>& parcel);
    void abortAll();
    void debug(const QString& line) const;
    void wait(const std::function<bool()>& until, const std::function<void()>& whileWaiting);
    std::int16_t failure(const Parcel& parcel, int d, const QString& reason, std::int32_t number);

    std::vector<DeliveryDestination> destinations_;
    FailurePrompt& prompt_;
    DeliveryListener& listener_;
    Hooks hooks_;
    std::shared_ptr<Shared> shared_;
    std::vector<std::shared_ptr<Worker>> workers_;
    DeliveryCounts counts_;
    int inFlight_ = 0;
    qint64 bytesInFlight_ = 0;
    int capacity_ = 2;
    qint64 byteCapacity_ = 0;
    bool aborted_ = false;
    bool hasWeb_ = false;
    bool finished_ = false;
};

// The proof at the end for a DICOMweb service, which has no storage
// commitment: QIDO-RS lists each study's instances, and every instance it
// does not list is reported as not confirmed. Waits at most waitSeconds;
// keepWaiting, called about every 20 ms, ends the wait with false.
DcmCommitResult proveHeld(const DcmWebService& service, const std::vector<DcmStoredInstance>& instances, int waitSeconds,
                          const std::function<bool()>& keepWaiting);

}  // namespace varnelo
