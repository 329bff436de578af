#pragma once

// Delivery of the audit trail to the site's audit record repository: syslog
// (RFC 5424) over TLS (RFC 5425) or UDP (RFC 5426). Every message goes to a
// spool folder first and leaves it only once the repository was seen alive
// after it; a thread of the sender's own delivers, so nobody waits for the
// repository.

#include "base/Audit.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>

namespace varnelo {

struct AuditConfig {
    QString host;  // empty: no repository
    int port = 0;  // 0: 6514 over TLS, 514 over UDP
    bool udp = false;
    // [TLS] files: this station's certificate and key, and whom to trust
    // (empty: the system's CAs)
    QString certificate;
    QString privateKey;
    QString trustedCertificates;
    QString spoolFolder;
    int proofMs = 500;  // how long a connection must stay up after a write
};

// The [Audit] and [TLS] settings of appState(), spooling beside the logs.
AuditConfig auditConfigFromSettings();

// One RFC 5424 message carrying `xml`: facility authpriv, severity notice
// (warning for a failure), MSGID IHE+RFC-3881, the XML after a BOM.
QByteArray syslogMessage(const QByteArray& xml, bool failure, const QDateTime& when);

class AuditSender {
public:
    explicit AuditSender(const AuditConfig& config);
    // close(1000)
    ~AuditSender();
    AuditSender(const AuditSender&) = delete;
    AuditSender& operator=(const AuditSender&) = delete;

    // Spools the message and returns; the sender's thread delivers it.
    void send(const QByteArray& message);
    // Gives the sender at most `waitMs` to deliver what is spooled, then
    // stops it; what is left stays spooled for the next start.
    void close(int waitMs);

    struct Worker;

private:
    AuditConfig config_;
    std::unique_ptr<class QThread> thread_;
    Worker* worker_ = nullptr;  // lives on thread_
    int sequence_ = 0;
};

// The program's trail, from the settings in appState(). Each event also
// goes to Logs/Audit.log, whether or not a repository is set.
void startAuditTrail();  // sends Application Start
void stopAuditTrail();   // sends Application Stop, waits at most a second
void auditImport(const audit::Medium& medium, const QList<audit::Patient>& patients, audit::Outcome outcome);
void auditBeginTransferring(const audit::Node& destination, const audit::Patient& patient);
void auditInstancesTransferred(const audit::Node& destination, const audit::Patient& patient, audit::Outcome outcome);
void auditQuery(const audit::Query& query, audit::Outcome outcome);

// What one import run did, gathered image by image: Begin Transferring at a
// patient's first send to a destination, and at the end one DICOM Instances
// Transferred per patient and destination (0 all sent, 4 some failed, 8
// none arrived) and one Import for the medium. Patients are told apart by
// ID and issuer; the studies of `who` are not read.
class ImportAudit {
public:
    explicit ImportAudit(const audit::Medium& medium);
    // An image taken up from the medium.
    void taken(const audit::Patient& who, const QString& studyUid, const QString& sopClassUid);
    // Its send to a destination, whatever the answer.
    void sent(const audit::Node& destination, const audit::Patient& who, const QString& studyUid,
              const QString& sopClassUid, bool ok);
    // Once, at the end of the run; `aborted`: it broke off.
    void finish(bool aborted);

private:
    struct Tally {
        audit::Patient patient;
        int ok = 0;
        int failed = 0;
    };
    static void count(Tally& tally, const QString& studyUid, const QString& sopClassUid, bool counted);
    audit::Medium medium_;
    QList<Tally> taken_;
    struct AtDestination {
        audit::Node node;
        QList<Tally> patients;
    };
    QList<AtDestination> destinations_;
    bool finished_ = false;
};

}  // namespace varnelo
