#pragma once

// What the Options dialog's connection test asks of a peer and of this
// machine, without sending an image.

#include "dicomnet/Network.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace varnelo {

// One association proposing what this program proposes (conformance.h,
// ConnectionTest), and a C-ECHO on it.
struct DcmDestinationProbe {
    std::int32_t status = ProbeResult::CannotConnect;  // ProbeResult
    std::int32_t error = 0;                            // the DicomErrc number of a failure, 0 when none
    QString why;                                       // what failed, in one line
    QStringList storageClasses;                        // storage SOP classes accepted, in the table's order
    bool commitment = false;                           // Storage Commitment Push Model accepted
    bool studyQuery = false;                           // Study Root C-FIND accepted
};
// Throws InvalidPort only; every failure of the peer is in the result.
DcmDestinationProbe ProbeDestination(const QString& host, std::int32_t port, const QString& callingAE,
                                     const QString& calledAE, const DcmTls& tls = {});

// Whether the commitment listener could open `port` now, tried by opening
// it the way the listener does and closing it at once.
struct DcmPortCheck {
    enum class State { Free,
                       InUse,
                       NeedsPrivilege,
                       Unusable };
    State state = State::Unusable;
    QString why;  // the system's words, for Unusable and the log
};
DcmPortCheck CheckListenPort(std::int32_t port);

}  // namespace varnelo
