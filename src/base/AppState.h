#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

namespace varnelo {

// Program-wide shared state: the loaded settings and the fields of the
// current import run. One instance lives for the whole process.
struct AppState {
    std::int16_t SearchBy = 0;  // 1 DICOMDIR import, 2 file scan
    std::int16_t Location = 0;  // 1 drive, 2 specific folder
    QString ImportDrive;
    QString DicomDirPath;
    bool ImportWithSubDirs = false;
    QString ImportFolder;
    QString RemoteAET;
    QString RemoteIP;
    QString RemotePort;
    QString RemoteAET2;
    QString RemoteIP2;
    QString RemotePort2;
    bool UseDestination2 = false;
    QString LocalAET;
    QString IniPath;
    QString Drive;
    QString AppName;
    QString FileSuffix;
    std::int16_t WriteLog = 0;  // check-box values: on only when equal to 1
    std::int16_t Validate = 0;
    std::int16_t ImgDirEqStudy = 0;
    bool ChangeID = false;
    // given to a typed Patient ID as its Issuer of Patient ID ([Default] IssuerOfPatientID)
    QString IssuerOfPatientID;
    QString WorklistAET;
    QString WorklistIP;
    QString WorklistPort;
    QString WorklistModality;
    bool AlwaysIgnore = false;
    // [Default] AutoImport: a medium arriving in the selected drive starts
    // the import. [Default] EjectWhenDone: a medium all of whose images were
    // sent and confirmed is ejected after the summary.
    bool AutoImport = false;
    bool EjectWhenDone = false;
    // [Default] Language: "auto" (the desktop's), "en" or "de"; read once at
    // start, since every window takes its texts as it is built.
    QString Language = QStringLiteral("auto");
    // DICOM over TLS, from the settings file only ([DICOM] UseTLS, UseTLS2,
    // [Worklist] UseTLS: on when 1; the [TLS] files are shared by all three).
    bool UseTLS = false;
    bool UseTLS2 = false;
    bool WorklistUseTLS = false;
    // [DICOM] AskHeld, from the settings file only: whether each destination
    // is asked what it holds of the medium before anything is sent (0: not).
    bool AskHeld = true;
    // [DICOM] Associations, Associations2: the most associations an import
    // opens to each destination at once (1 to 8), each image going to the
    // next free one. 1 sends one image after the other on one association.
    std::int32_t Associations = 4;
    std::int32_t Associations2 = 4;
    // [DICOM] RemoteURL, RemoteURL2: when set, that destination is the
    // DICOMweb service at this base URL instead of a DICOM peer.
    QString RemoteURL;
    QString RemoteURL2;
    // [DICOMweb] User and Password (HTTP basic) or Token (bearer) for both
    // DICOMweb destinations; empty: none.
    QString WebUser;
    QString WebPassword;
    QString WebToken;
    // [DICOM] CommitPort, from the settings file only: where a PACS may open
    // an association to report its storage commitment (0 or absent: none).
    std::int32_t CommitPort = 0;
    // [DICOM] CommitHosts, from the settings file only: hosts besides a
    // destination's own from which its reports are taken there (a cluster).
    QStringList CommitHosts;
    QString TLSCertificate;
    QString TLSPrivateKey;
    QString TLSTrustedCertificates;
    // [Audit] Host, Port, Transport ("tls" or "udp"), Site: the audit record
    // repository, from the settings file only (empty host: none; port 0: the
    // transport's own).
    QString AuditHost;
    std::int32_t AuditPort = 0;
    QString AuditTransport = QStringLiteral("tls");
    QString AuditSite;
};

AppState& appState();

}  // namespace varnelo
