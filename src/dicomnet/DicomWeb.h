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
// uncompressed.
constexpr std::int32_t SyntaxNotSupported = 0xC122;
// The service does not take the SOP class at all (sending it again in
// another syntax does not help).
constexpr std::int32_t SopClassNotSupported = 0x0122;
}  // namespace DcmWebReason

// What became of one instance of a STOW-RS request.
struct DcmWebOutcome {
    QString sopInstanceUID;
    bool stored = false;          // in Referenced SOP Sequence (warnings count as stored)
    std::int32_t status = 0;      // Failure Reason when failed, else 0 or the Warning Reason
    QString reason;               // plain words, for the operator and the error log
    // When the instance never went out because its file could not be read
    // or written (FileChanged, InvalidValue, ...): that Error's number, else 0.
    std::int32_t error = 0;
    // The service refused the transfer syntax (by its number or its words).
    bool syntaxRefused() const;
};

// Blocking client for one thread: each call runs a local event loop on the
// calling thread with its own QNetworkAccessManager, every wait bounded
// (connect DicomTimeouts::ConnectSeconds, no progress DimseSeconds). Redirects
// are followed unless they lead from https to http; the peer's certificate is
// always verified. Abort() may be called from any thread: it ends the call
// under way at once, which then throws Error (ConnectionLost), and every
// later call throws the same at once.
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
    // order; an instance the response does not mention counts as failed, and
    // so does an image whose file cannot be read (with `error` set; the others
    // still go). Throws Error (CannotConnect, HostNotFound, Timeout,
    // ConnectionLost, PeerNotTrusted, TlsHandshakeFailed, TlsFileUnusable,
    // WebAccessRefused for HTTP 401/403, WebRequestFailed for other HTTP
    // errors) for transport failures and HTTP errors that are not about
    // single instances; a 409 with a per-instance answer is returned as
    // outcomes.
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
