#pragma once

// DICOMweb (STOW-RS and QIDO-RS) to one service, through Qt Network.

#include "dicom/Dicom.h"

#include <QSet>
#include <QString>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace varnelo {

// One DICOMweb destination.
struct DcmWebService {
    QUrl base;                    // e.g. http://pacs:8042/dicom-web
    QString user, password;       // HTTP basic when user is set
    QString token;                // bearer when set (wins over basic)
    QString trustedCertificates;  // https: PEM file or folder; empty = system CAs
};

// Failure Reasons (0008,1197) a caller may want to act on.
namespace DcmWebReason {
// The service does not take the instance's transfer syntax: send it again
// uncompressed. Services answer with either number.
constexpr std::int32_t SyntaxNotSupported = 0xC122;
constexpr std::int32_t SyntaxNotSupportedAlt = 0x0122;
}  // namespace DcmWebReason

// What the service said about one instance of a STOW-RS request.
struct DcmWebOutcome {
    QString sopInstanceUID;
    bool stored = false;          // in Referenced SOP Sequence (warnings count as stored)
    std::int32_t status = 0;      // Failure Reason when failed, else 0 or the Warning Reason
    QString reason;               // plain words, for the operator and the error log
    // The service refused the transfer syntax (by its number or its words).
    bool syntaxRefused() const;
};

// Blocking client for one thread: each call runs a local event loop on the
// calling thread with its own QNetworkAccessManager, every wait bounded
// (connect DicomTimeouts::ConnectSeconds, no progress DimseSeconds).
// Abort() may be called from any thread and ends the call under way at once
// (it then throws Error with DicomErrc::ConnectionLost); it also ends the
// next call if none is under way, until that call has thrown.
class DcmWebClient {
public:
    explicit DcmWebClient(const DcmWebService& service);
    ~DcmWebClient();
    DcmWebClient(const DcmWebClient&) = delete;
    DcmWebClient& operator=(const DcmWebClient&) = delete;

    // STOW-RS of the images as they stand in memory, in one request
    // (multipart/related; type="application/dicom") to {base}/studies.
    // uncompressed: each goes in Explicit VR Little Endian (for a service
    // that refused its syntax). Returns one outcome per image, in the images'
    // order; an instance the response does not mention counts as failed.
    // Throws Error (CannotConnect, HostNotFound, Timeout, ConnectionLost,
    // PeerNotTrusted, TlsHandshakeFailed, WebRequestFailed) for transport
    // failures and HTTP errors that are not about single instances; a 409
    // with a per-instance answer is returned as outcomes.
    std::vector<DcmWebOutcome> Store(const std::vector<DcmImage>& images, bool uncompressed = false);

    // QIDO-RS {base}/studies?limit=1: throws as Store when the service does
    // not answer as a DICOMweb service.
    void Probe();

    // QIDO-RS {base}/studies/{study}/instances, following the service's
    // pages: the SOP Instance UIDs it holds; empty for an unknown study.
    QSet<QString> InstancesOf(const QString& studyInstanceUID);

    void Abort();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The host of a DICOMweb URL, shown where an AE title stands.
QString webDestinationName(const QUrl& base);

}  // namespace varnelo
