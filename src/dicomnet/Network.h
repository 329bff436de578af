#pragma once

// The network side of the DICOM toolkit as the rest of the program sees it:
// associations, TLS, queries, storage commitment and DICOMweb. As in
// dicom/Dicom.h, only std and Qt value types cross this boundary.

#include "dicom/Dicom.h"

#include <QUrl>

#include <string>
#include <utility>
#include <vector>

namespace varnelo {

// Bounds on every network wait, in seconds.
namespace DicomTimeouts {
constexpr int ConnectSeconds = 10;
constexpr int AcseSeconds = 30;
constexpr int DimseSeconds = 60;
}  // namespace DicomTimeouts

// DICOM over TLS to one peer; off unless Enabled. The peer's certificate is
// always checked against TrustedCertificates (a PEM file, or a folder whose
// PEM files are all read). Certificate and PrivateKey (PEM, the key without a
// password) identify this station; both empty sends no certificate.
struct DcmTls {
    bool Enabled = false;
    QString Certificate;
    QString PrivateKey;
    QString TrustedCertificates;
};

// Modality Worklist C-FIND. Properties are set before RunFind.
class DcmFindClient {
public:
    QString PeerHost;
    std::int32_t PeerPort = 0;
    QString CalledAETitle;
    QString CallingAETitle;
    QString QueryRoot = QStringLiteral("WORKLIST");
    DcmTls Tls;

    // Returns every match once all responses are in, its text in UTF-8
    // whatever Specific Character Set the peer answered in. Throws on
    // anything that is not a clean end of the query (connection, rejection,
    // failure status).
    DcmDatasetList RunFind(const DcmDataset& identifier);

    // Set by RunFind: one line for each answer value that could not be
    // converted from its character set (it reads as Latin-1 instead).
    QStringList Notes;
};

// One instance stored at a PACS, as it is asked about afterwards.
struct DcmStoredInstance {
    QString SOPClassUID;
    QString SOPInstanceUID;
    QString StudyInstanceUID;
};

// What a PACS said about the instances of one request.
struct DcmCommitResult {
    enum class Outcome {
        Answered,    // a commitment report, or the answer to a query
        NotOffered,  // neither commitment nor a query is offered (or could be opened)
        NoAnswer,    // no report within the wait
        Aborted,     // the caller stopped the wait
        // the PACS closed the request's association without a report: it
        // reports on an association of its own, and no listenPort was given
        NeedsListener,
    };
    Outcome outcome = Outcome::NotOffered;
    bool byQuery = false;  // the PACS offers no commitment: a C-FIND decided
    // SOP Instance UID of each instance the PACS did not confirm, with its
    // reason. An answered request confirms every other instance.
    std::vector<std::pair<QString, QString>> failed;
    QString why;  // for NotOffered, NoAnswer and NeedsListener: what happened, for the error log
};

// Asks a PACS to take responsibility for instances it has stored (Storage
// Commitment Push Model). Each instance is added as the PACS stores it; a
// thread of the session's own sends a request for every batchSize of them
// while the import goes on, so that the PACS checks the first ones while it
// stores the rest, and collects the reports: on the request's association,
// or on one that the PACS opens to listenPort (0: none). Where the PACS
// offers no commitment, a Study Root C-FIND at IMAGE level for each study
// shows what it holds. Nothing here waits for the network on the caller's
// thread except Finish, and nothing throws for what the peer does: a failure
// to ask is NotOffered with its reason.
class DcmCommitSession {
public:
    DcmCommitSession(const QString& host, std::int32_t port, const QString& callingAE, const QString& calledAE,
                     const DcmTls& tls, std::int32_t listenPort, int batchSize = 200);
    ~DcmCommitSession();
    DcmCommitSession(const DcmCommitSession&) = delete;
    DcmCommitSession& operator=(const DcmCommitSession&) = delete;

    void Add(const DcmStoredInstance& instance);  // never waits
    // Sends what is left and waits for every report, at most waitSeconds;
    // keepWaiting, called about every 20 ms, ends the wait with false.
    DcmCommitResult Finish(int waitSeconds, const std::function<bool()>& keepWaiting);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// Failure codes of ProbeConnection (0 = success).
namespace ProbeResult {
constexpr std::int32_t Ok = 0;
constexpr std::int32_t CannotConnect = 1;        // host unknown, refused, unreachable, connect timeout
constexpr std::int32_t AssociationRejected = 2;  // the peer rejected, aborted or never answered the association request
constexpr std::int32_t EchoFailed = 3;           // no Verification context, or C-ECHO failed / timed out
}  // namespace ProbeResult

// The associations of one sender: one per peer and AE titles, kept open
// from one image to the next. Each thread that sends has a sender of its
// own; one sender is used by one thread at a time.
class DcmSender {
public:
    DcmSender();
    ~DcmSender();  // aborts what is still open
    DcmSender(const DcmSender&) = delete;
    DcmSender& operator=(const DcmSender&) = delete;

    // C-STORE of the image as it stands in memory. 0 when the peer stored it
    // (success or warning status), otherwise the peer's status. Throws for
    // everything that is not an answer of the peer. Reuses the open
    // association to the same peer and AE titles, and reopens it once when
    // the peer dropped it between two sends. A compressed image goes as it
    // is when the peer takes its transfer syntax, else decompressed in
    // memory (JPEG, JPEG-LS, RLE, JPEG 2000). whileWaiting runs once the
    // data set is on its way, before the answer is read. The image must not
    // be used by another thread meanwhile.
    std::int32_t Store(const DcmImage& image, const QString& host, std::int32_t port, const QString& callingAE,
                       const QString& calledAE, const DcmTls& tls = {}, const std::function<void()>& whileWaiting = {});
    // Releases every open association.
    void Release();
    // What the association to the peer was proposed for so far: (SOP
    // class, transfer syntax) pairs, most recent first.
    using Contexts = std::vector<std::pair<std::string, std::string>>;
    Contexts ContextsFor(const QString& host, std::int32_t port, const QString& callingAE, const QString& calledAE,
                         const DcmTls& tls = {}) const;
    // Opens the association to the peer for these pairs before any image
    // goes (a further association, modelled on one that carries images);
    // throws as Store does when it cannot be opened.
    void Open(const QString& host, std::int32_t port, const QString& callingAE, const QString& calledAE,
              const DcmTls& tls, const Contexts& contexts);
    // Associations opened so far; for tests and logs.
    int OpenedCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class DcmNetwork {
public:
    // Sets up the toolkit's network side once for the process; before the
    // first threads that send start, since it changes the environment.
    static void Prepare();
    // C-ECHO. Throws InvalidPort for a port outside 1..65535, and the TLS
    // errors (TlsFileUnusable, PeerNotTrusted, TlsHandshakeFailed) with
    // what to check, which a code alone could not say.
    static std::int32_t ProbeConnection(const QString& host, std::int32_t port, const QString& callingAE,
                                        const QString& calledAE, const DcmTls& tls = {});
};

}  // namespace varnelo
