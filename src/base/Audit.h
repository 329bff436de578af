#pragma once

// Audit messages of the IHE audit trail: who imported which patient's images
// from which medium to which archive, as XML after DICOM PS3.15 A.5. The
// builders here only write the XML; AuditSender.h delivers it.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace varnelo::audit {

enum class Outcome : int {
    Success = 0,
    MinorFailure = 4,    // some images failed
    SeriousFailure = 8,  // nothing reached the destination, or the run broke off
    MajorFailure = 12,   // the program itself cannot go on
};

// A DICOM peer: an AE title at a host.
struct Node {
    QString aeTitle;
    QString host;
};

// This program at the moment of an event.
struct Station {
    QString aeTitle;    // [DICOM] LocalAET
    QString host;       // this machine's name
    QString processId;  // as the system's own logs name the process
    QString user;       // the account the program runs under
    QString site;       // [Audit] Site, may be empty
    QDateTime when;

    // Filled from appState(), the system and the clock of the logs.
    static Station current();
};

struct SopClassCount {
    QString uid;
    int count = 0;
};

struct Study {
    QString uid;                      // Study Instance UID
    QString description;              // the study's own description, may be empty
    QList<SopClassCount> sopClasses;  // what of it this event touched
};

struct Patient {
    QString id;
    QString issuer;  // Issuer of Patient ID, may be empty
    QString name;    // DICOM PN, as in the images
    QList<Study> studies;
};

enum class MediaType { CD,
                       DVD,
                       USB,
                       URI };

struct Medium {
    QString id;  // the volume label, or the folder or archive as a file: URI
    MediaType type = MediaType::URI;
};

// A medium as the import sees it: the start folder or archive, and whether
// it lies on a drive of the drive selector (optical: a disc). A disc or USB
// volume is named by its label where it has one, else by its mount point.
Medium describeMedium(const QString& path, bool fromDrive, bool optical);

struct Query {
    Node peer;
    QString sopClassUid;     // the information model asked
    QByteArray identifier;   // the query's identifier as it went over the wire
    QString transferSyntax;  // the identifier's transfer syntax UID
};

// Each returns one complete AuditMessage document (UTF-8, no declaration of
// its own line breaks: one line).
QByteArray applicationActivity(const Station& station, bool start);
QByteArray importEvent(const Station& station, const Medium& medium, const QList<Patient>& patients, Outcome outcome);
QByteArray beginTransferring(const Station& station, const Node& destination, const Patient& patient, Outcome outcome);
QByteArray instancesTransferred(const Station& station, const Node& destination, const Patient& patient, Outcome outcome);
QByteArray query(const Station& station, const Query& query, Outcome outcome);

}  // namespace varnelo::audit
