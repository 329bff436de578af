// C-ECHO: whether a peer answers at all.

#include "dicomnet/Association.h"
#include "dicomnet/NetworkPrivate.h"

using namespace varnelo::dicomimpl;

namespace varnelo {

void DcmNetwork::Prepare() { ensureNetworkInitialised(); }

std::int32_t DcmNetwork::ProbeConnection(const QString& host, std::int32_t port, const QString& callingAE,
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

}  // namespace varnelo
