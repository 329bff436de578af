#pragma once

// Real DICOM peers for the tests: DCMTK's storescp and wlmscpfs and Orthanc
// started as child processes on free loopback ports, in folders of their
// own, a PACS with storage commitment and one that limits each caller's
// associations, both run by DCMTK in this process, and a listener that takes
// TCP connections and never answers. Every peer is stopped by its destructor,
// so a failing test does not leave one behind.

#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>

namespace varnelo::testsupport {

// A port on 127.0.0.1 that nothing listens on at the moment of the call.
quint16 freeLoopbackPort();

// Full path of a DCMTK tool, or "" when it is not installed.
QString dcmtkTool(const QString& name);

// Orthanc's ModalityWorklists plugin, or "" when it is not installed.
QString orthancWorklistPlugin();
// Orthanc's DICOMweb plugin, or "" when it is not installed.
QString orthancDicomWebPlugin();

// Files below `folder`, recursively, sorted.
QStringList filesBelow(const QString& folder);

// Certificates made with the openssl command for TLS tests (RSA 2048, PEM,
// keys without a password): a CA with a server and a client certificate it
// issued, and a CA of its own that nobody trusts, with one certificate.
struct TestCertificates {
    QString ca;
    QString serverCertificate, serverKey;
    QString clientCertificate, clientKey;
    QString lockedClientKey;  // clientKey under a password
    QString strangerCa;
    QString strangerCertificate, strangerKey;  // issued by strangerCa
};
// Writes them into `folder`; throws when openssl fails.
TestCertificates makeTestCertificates(const QString& folder);

// A child process that serves DICOM on a loopback port.
class Peer {
public:
    struct Options {
        Options() {}
        QString aeTitle = QStringLiteral("STORESCP");
        QStringList extraArgs;    // e.g. "+xi" (implicit only), "+xa", "--refuse"
        bool tcpNoDelay = false;  // sets TCP_NODELAY=1 in the peer's environment
        quint16 port = 0;         // 0: a free one
        // DICOM over TLS (storescp and Orthanc) with this certificate and
        // key; with tlsTrusted the peer requires and checks ours, else it
        // takes connections without a client certificate.
        QString tlsCertificate, tlsPrivateKey, tlsTrusted;
        // Orthanc: its REST API on 127.0.0.1 at this port (0: none).
        quint16 httpPort = 0;
        // Orthanc: the program as a known modality at 127.0.0.1:modalityPort
        // (none when modalityAet is empty). Orthanc answers an N-ACTION from
        // that AE title only, and always on a new association to that port,
        // over TLS when Orthanc serves TLS (with the same certificate);
        // without modalityAllowsCommitment it refuses the N-ACTION.
        QString modalityAet;
        quint16 modalityPort = 0;
        bool modalityAllowsCommitment = true;
        // Orthanc: C-FIND from any AE title (else only from modalityAet).
        bool allowFind = false;
        // Orthanc: a Lua script it runs, e.g. a ReceivedInstanceFilter that
        // returns false for an instance: Orthanc then answers its C-STORE
        // with success (0x0000) and does not keep it.
        QString luaScript;
        // Orthanc with an httpPort: its DICOMweb plugin at /dicom-web/; HTTP
        // basic authentication when httpUser is set.
        bool dicomWeb = false;
        QString httpUser, httpPassword;
    };

    // storescp -v writing what it receives into storageFolder().
    static std::unique_ptr<Peer> storescp(const Options& options);
    static std::unique_ptr<Peer> storescp();
    // wlmscpfs in single-process mode over `dataFolder` (one subfolder per AE
    // title), answering in the character set of each file.
    static std::unique_ptr<Peer> wlmscpfs(const QString& dataFolder, const Options& options);
    // DCMTK's dcmqrscp: a query/retrieve archive that stores what it
    // receives (storageFolder()) and answers Study Root C-FIND over it,
    // one process for each association. It leaves Number of Study Related
    // Instances out and answers in the character set of the stored files.
    static std::unique_ptr<Peer> dcmqrscp(const Options& options);
    // Orthanc (a PACS that takes compressed syntaxes too) without its HTTP
    // server; storageFolder() holds the files as it stored them. With a
    // `worklistFolder`, its ModalityWorklists plugin answers worklist C-FIND
    // from any AE title with the .wl files there (the folder itself, not a
    // subfolder per AE title), as UTF-8 whatever the files hold.
    static std::unique_ptr<Peer> orthanc(const Options& options, const QString& worklistFolder = QString());

    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    quint16 port() const { return port_; }
    QString aeTitle() const { return aeTitle_; }
    QString storageFolder() const { return storage_; }
    QStringList receivedFiles() const { return filesBelow(storage_); }
    // Waits until `count` files have arrived, at most timeoutMs.
    bool waitForFiles(int count, int timeoutMs = 10000) const;

    // Everything the peer has written to stdout and stderr so far.
    QString log() const;
    int countInLog(const QString& text) const { return log().count(text); }
    // Number of associations the peer has accepted or refused so far.
    int associationsReceived() const { return countInLog(QStringLiteral("Association Received")); }
    bool waitForLog(const QString& text, int count, int timeoutMs = 10000) const;

    // Orthanc started with an httpPort: the body of GET `path` from its REST
    // API ("" when the request fails), by curl.
    QByteArray restGet(const QString& path) const;

    bool isRunning() const;
    void stop();

private:
    // `config`, when given, is written to `configName` before the start, with
    // @STORAGE@ and @DIR@ replaced; @CONFIG@ in args names that file. `lua`,
    // when given, is written to "peer.lua" beside it.
    Peer(const QString& program, const QStringList& args, quint16 port, const QString& aeTitle, bool tcpNoDelay,
         const QString& storageSubfolder, const QByteArray& config = {}, const QByteArray& lua = {},
         const QString& configName = QStringLiteral("peer.json"));

    QTemporaryDir dir_;
    QString storage_;
    QString logPath_;
    quint16 port_ = 0;
    quint16 httpPort_ = 0;
    QString httpCredentials_;  // user:password for the REST API, when it asks
    QString aeTitle_;
    std::unique_ptr<QProcess> process_;
};

// A PACS with storage commitment run by DCMTK in this process, on a free
// loopback port, one association at a time in a thread of its own; the
// destructor stops it within about two seconds (a report still waiting for
// its answer may hold it up to ten). It takes C-ECHO, C-STORE of any storage
// SOP class in little endian explicit or implicit (keeping only the
// instances' UIDs), Study Root C-FIND at IMAGE level over what it took, and
// the storage commitment N-ACTION from a requestor in the SCU role. An
// instance is reported committed when it was stored with the SOP class the
// N-ACTION names; otherwise it fails with reason 0x0112 (not stored) or
// 0x0119 (other class).
class CommitScp {
public:
    enum class Mode {
        SameAssociation,  // the report follows the N-ACTION-RSP on its association
        NewAssociation,   // the report goes over an association of its own to reportHost:reportPort
        Silent,           // the N-ACTION succeeds, no report ever comes
        NoCommitment,     // the storage commitment context is refused
        RefuseAction,     // the N-ACTION is answered with 0x0110, processing failure
    };
    struct Options {
        Options() {}
        Mode mode = Mode::SameAssociation;
        QString aeTitle = QStringLiteral("COMMITSCP");
        QStringList failUids;   // reported failed (0x0112) even when stored
        int reportDelayMs = 0;  // from the N-ACTION-RSP to the report
        // NewAssociation: the report's destination, called with aeTitle as
        // calling AE, proposing the SCP role for the storage commitment class.
        QString reportHost = QStringLiteral("127.0.0.1");
        quint16 reportPort = 0;
        QString reportCalledAe = QStringLiteral("VARNELO");
        // After answering the N-ACTION, it ends the association (as a PACS
        // that reports on one of its own does).
        bool closeAfterAction = false;
        // Items the report lists besides the instances asked for.
        int padReport = 0;
    };

    // Throws when it cannot listen.
    explicit CommitScp(const Options& options = Options());
    ~CommitScp();
    CommitScp(const CommitScp&) = delete;
    CommitScp& operator=(const CommitScp&) = delete;

    quint16 port() const;
    QString aeTitle() const;
    // SOP Instance UIDs of the C-STOREs taken, in order, a repeated one again.
    QStringList storedUids() const;
    int findsReceived() const;
    int actionsReceived() const;
    // The Referenced SOP Instance UIDs of the last N-ACTION, in its order.
    QStringList lastActionUids() const;
    // NewAssociation: the Implementation Class UID and Version Name, joined
    // by a blank, that the report's receiver answered with; "" before.
    QString reportListenerIdentity() const;
    // N-EVENT-REPORTs sent, counted once their answer came or the wait for
    // it (10 s) ended; of these, the ones answered with success and, as
    // Orthanc insists on, with the Affected SOP Class and Instance UIDs.
    int eventReportsSent() const;
    int eventReportsAcknowledged() const;
    bool waitForEventReports(int count, int timeoutMs = 10000) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// DCMTK's own storage SCP (DcmStorageSCP, on DcmSCP) with the storage
// commitment service added the way DcmSCP offers it: the N-ACTION is
// answered, then the report goes on the same association with
// sendEVENTREPORTRequest, naming every instance it stored as committed and
// the others as failed (0x0112). Without `commitment` it refuses the storage
// commitment context.
class DcmtkCommitScp {
public:
    // Throws when it cannot listen.
    explicit DcmtkCommitScp(const QString& aeTitle = QStringLiteral("DCMTKSCP"), bool commitment = true);
    ~DcmtkCommitScp();
    DcmtkCommitScp(const DcmtkCommitScp&) = delete;
    DcmtkCommitScp& operator=(const DcmtkCommitScp&) = delete;

    quint16 port() const;
    QString aeTitle() const;
    int stored() const;
    int reportsAnsweredWithSuccess() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// A storage SCP run by DCMTK in this process (a DcmThreadSCP on a thread of
// its own for each association), on a free loopback port, that behaves
// like a PACS which serves several associations at once but only so many
// from one calling AE title: one more from that caller is rejected as
// transient, "local limit exceeded", while the others stay open. It takes
// C-ECHO and C-STORE of every storage SOP class in the uncompressed, deflated,
// JPEG, JPEG-LS, JPEG 2000 and RLE syntaxes, keeping only the instances' UIDs.
// The destructor stops it within about a second, open associations too
// (up to five when a caller has connected and not yet asked for one).
class LimitedStorePeer {
public:
    struct Options {
        Options() {}
        QString aeTitle = QStringLiteral("LIMITEDSCP");
        int maxAssociationsPerCaller = 0;  // 0: no limit
        // C-STOREs of these SOP Instance UIDs are answered with failureStatus
        // and not kept.
        QStringList failInstances;
        quint16 failureStatus = 0xA700;  // refused: out of resources
        int storeDelayMs = 0;            // from the data set's arrival to the answer
        int dimseTimeoutSeconds = 30;    // an idle association is aborted after this
    };

    // Throws when it cannot listen.
    explicit LimitedStorePeer(const Options& options = Options());
    ~LimitedStorePeer();
    LimitedStorePeer(const LimitedStorePeer&) = delete;
    LimitedStorePeer& operator=(const LimitedStorePeer&) = delete;

    quint16 port() const;
    QString aeTitle() const;
    // SOP Instance UID -> how many times it was kept (failed ones are not).
    QMap<QString, int> receivedCounts() const;
    // C-STOREs kept, a repeated instance again.
    int instancesReceived() const;
    // C-STOREs answered with failureStatus.
    int failuresAnswered() const;
    // Calling AE titles of all association requests, each once, as first seen.
    QStringList callingAeTitles() const;
    int associationsAccepted() const;
    int associationsRejected() const;  // over maxAssociationsPerCaller
    int openAssociations() const;
    // Most associations open at the same time so far.
    int peakAssociations() const;
    // Waits until `count` C-STOREs have been kept, at most timeoutMs.
    bool waitForInstances(int count, int timeoutMs = 10000) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// Passes TCP connections from a loopback port on to 127.0.0.1:targetPort,
// connecting from another loopback address (say 127.0.0.2), so that a peer
// of the tests reaches the program from an address of its choice.
class AddressRelay {
public:
    AddressRelay(quint16 targetPort, const QString& fromAddress);
    ~AddressRelay();
    AddressRelay(const AddressRelay&) = delete;
    AddressRelay& operator=(const AddressRelay&) = delete;
    quint16 port() const { return port_; }
    int connections() const { return connections_; }

private:
    void run();
    int fd_ = -1;
    quint16 port_ = 0;
    quint16 target_ = 0;
    QString from_;
    std::atomic<int> connections_ {0};
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

// Listens on a loopback port and never accepts: the kernel completes the TCP
// handshake from the backlog, so a client connects and then hears nothing.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    quint16 port() const { return port_; }

private:
    int fd_ = -1;
    quint16 port_ = 0;
};

}  // namespace varnelo::testsupport
