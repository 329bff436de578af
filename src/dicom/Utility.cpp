#include "dicom/Association.h"

#include <QUuid>

#include <dcmtk/dcmdata/dcuid.h>
#include <openjpeg.h>

#include <algorithm>
#include <cstring>

using namespace varnelo::dicomimpl;

namespace varnelo {

void DcmUtility::Prepare()
{
    ensureInitialised();
    (void)dcmDataDict.isDictionaryLoaded();  // loads it on first use
}

QString DcmUtility::NewUID()
{
    // A version 4 UUID read as one 128-bit number (ISO/IEC 9834-8).
    const QByteArray bytes = QUuid::createUuid().toRfc4122();
    unsigned __int128 value = 0;
    for (char b : bytes)
        value = (value << 8) | static_cast<unsigned char>(b);
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    std::reverse(digits.begin(), digits.end());
    return QStringLiteral("2.25.") + QString::fromLatin1(digits.c_str());
}

std::int32_t DcmUtility::ProbeConnection(const QString& host, std::int32_t port, const QString& callingAE,
                                         const QString& calledAE, const DcmTls& tls)
{
    Peer peer {host.trimmed(), checkedPort(port), callingAE.trimmed(), calledAE.trimmed(), tls};
    std::unique_ptr<Association> assoc;
    try {
        assoc = std::make_unique<Association>(peer, proposedFor(conformance::Echo));
    } catch (const Error& e) {
        switch (e.number()) {
        case DicomErrc::TlsFileUnusable:
        case DicomErrc::PeerNotTrusted:
        case DicomErrc::TlsHandshakeFailed:
            throw;
        case DicomErrc::HostNotFound:
        case DicomErrc::CannotConnect:
            return ProbeResult::CannotConnect;
        default:  // rejected, aborted, or no answer to the request in time
            return ProbeResult::AssociationRejected;
        }
    }
    const auto accepted = assoc->acceptedFor(UID_VerificationSOPClass);
    if (accepted.empty())
        return ProbeResult::EchoFailed;
    DIC_US status = 0;
    ::DcmDataset* detail = nullptr;
    OFCondition cond = DIMSE_echoUser(assoc->get(), assoc->nextMessageId(), DIMSE_NONBLOCKING,
                                      DicomTimeouts::DimseSeconds, &status, &detail);
    delete detail;
    if (cond.bad())
        return ProbeResult::EchoFailed;  // the association is aborted on the way out
    assoc->release();
    return status == STATUS_Success ? ProbeResult::Ok : ProbeResult::EchoFailed;
}

QString DcmUtility::DcmtkVersion()
{
    return QString::fromLatin1(OFFIS_DCMTK_VERSION_STRING);
}

QString DcmUtility::OpenJpegVersion()
{
    // the library in use, which may be newer than the headers
    return QString::fromLatin1(opj_version());
}

}  // namespace varnelo
