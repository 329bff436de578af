#include "dicomnet/NetworkPrivate.h"

#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <csignal>
#include <cstdlib>
#include <mutex>

namespace varnelo::dicomimpl {

void ensureNetworkInitialised()
{
    ensureInitialised();
    static std::once_flag once;
    std::call_once(once, [] {
        dcmConnectionTimeout.set(DicomTimeouts::ConnectSeconds);
        // A reverse lookup of the peer can stall for the resolver's timeout.
        dcmDisableGethostbyaddr.set(OFTrue);
        // DCMTK 3.6.7 has no switch for Nagle's algorithm other than this
        // variable, read when each connection is set up. With Nagle on, every
        // C-STORE waits for the peer's delayed ACK (40 ms or more on loopback).
        ::setenv("TCP_NODELAY", "1", 1);
        // A peer that vanishes mid-write must give an error, not end the process.
        std::signal(SIGPIPE, SIG_IGN);
    });
}

std::int32_t networkErrorNumber(const OFCondition& cond)
{
    if (cond.module() != OFM_dcmnet)
        return DicomErrc::NetworkFailure;
    switch (cond.code()) {
    case DULC_UNKNOWNHOST:
        return DicomErrc::HostNotFound;
    case DULC_TCPINITERROR:  // refused, unreachable, or the connect bound ran out
        return DicomErrc::CannotConnect;
    case DULC_ASSOCIATIONREJECTED:
        return DicomErrc::AssociationRejected;
    case DULC_READTIMEOUT:
        return DicomErrc::Timeout;
    case DULC_PEERABORTEDASSOCIATION:
    case DULC_NETWORKCLOSED:
    case DULC_PEERREQUESTEDRELEASE:
    case DULC_TCPIOERROR:
        return DicomErrc::ConnectionLost;
    default:
        break;
    }
    if (cond == DIMSE_NODATAAVAILABLE)
        return DicomErrc::Timeout;
    if (cond == DIMSE_SENDFAILED || cond == DIMSE_RECEIVEFAILED || cond == DIMSE_READPDVFAILED)
        return DicomErrc::ConnectionLost;
    return DicomErrc::NetworkFailure;
}

void throwCondition(const OFCondition& cond, const QString& context)
{
    const std::int32_t number = networkErrorNumber(cond);
    QString why = conditionText(cond);
    switch (number) {
    case DicomErrc::Timeout:
        why = QStringLiteral("no answer within the time limit (%1)").arg(why);
        break;
    case DicomErrc::ConnectionLost:
        why = QStringLiteral("the connection was lost (%1)").arg(why);
        break;
    case DicomErrc::HostNotFound:
        why = QStringLiteral("the host name is unknown (%1)").arg(why);
        break;
    default:
        break;
    }
    fail(number, context + QLatin1String(": ") + why);
}

}  // namespace varnelo::dicomimpl
