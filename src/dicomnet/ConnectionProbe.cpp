#include "dicomnet/ConnectionProbe.h"

#include "dicomnet/Association.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace varnelo::dicomimpl;

namespace varnelo {

DcmDestinationProbe ProbeDestination(const QString& host, std::int32_t port, const QString& callingAE,
                                     const QString& calledAE, const DcmTls& tls)
{
    Peer peer {host.trimmed(), checkedPort(port), callingAE.trimmed(), calledAE.trimmed(), tls};
    DcmDestinationProbe result;
    std::unique_ptr<Association> assoc;
    try {
        assoc = std::make_unique<Association>(peer, proposedFor(conformance::ConnectionTest));
    } catch (const Error& e) {
        result.error = e.number();
        result.why = e.description();
        result.status = e.number() == DicomErrc::HostNotFound || e.number() == DicomErrc::CannotConnect
            ? ProbeResult::CannotConnect
            : ProbeResult::AssociationRejected;
        return result;
    }
    for (const conformance::StorageClass& c : conformance::storageClasses())
        if (!assoc->acceptedFor(c.uid).empty())
            result.storageClasses << QLatin1String(c.uid);
    result.commitment = !assoc->acceptedFor(UID_StorageCommitmentPushModelSOPClass).empty();
    result.studyQuery = !assoc->acceptedFor(UID_FINDStudyRootQueryRetrieveInformationModel).empty();

    result.status = ProbeResult::EchoFailed;
    if (assoc->acceptedFor(UID_VerificationSOPClass).empty()) {
        result.error = DicomErrc::NoPresentationContext;
        result.why = QStringLiteral("%1 does not accept the Verification SOP class").arg(peer.describe());
        assoc->release();
        return result;
    }
    DIC_US status = 0;
    ::DcmDataset* detail = nullptr;
    const OFCondition cond = DIMSE_echoUser(assoc->get(), assoc->nextMessageId(), DIMSE_NONBLOCKING,
                                            DicomTimeouts::DimseSeconds, &status, &detail);
    delete detail;
    if (cond.bad()) {
        result.error = networkErrorNumber(cond);
        result.why = QStringLiteral("The echo to %1 failed: %2").arg(peer.describe(), conditionText(cond));
        return result;  // the association is aborted on the way out
    }
    assoc->release();
    if (status != STATUS_Success) {
        result.error = DicomErrc::NetworkFailure;
        result.why = QStringLiteral("%1 answered the echo with the status 0x%2").arg(peer.describe()).arg(status, 4, 16, QLatin1Char('0'));
        return result;
    }
    result.status = ProbeResult::Ok;
    return result;
}

DcmPortCheck CheckListenPort(std::int32_t port)
{
    const std::uint16_t p = checkedPort(port);
    DcmPortCheck result;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.why = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    // as DCMTK opens its listening socket
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(p);
    int failure = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0)
        failure = errno;
    ::close(fd);
    result.why = failure ? QString::fromLocal8Bit(std::strerror(failure)) : QString();
    switch (failure) {
    case 0:
        result.state = DcmPortCheck::State::Free;
        break;
    case EADDRINUSE:
        result.state = DcmPortCheck::State::InUse;
        break;
    case EACCES:
    case EPERM:
        result.state = DcmPortCheck::State::NeedsPrivilege;
        break;
    default:
        result.state = DcmPortCheck::State::Unusable;
        break;
    }
    return result;
}

}  // namespace varnelo
