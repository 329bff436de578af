#pragma once

// DICOM over TLS as the requestor: the transport layer of one association,
// and what a failed handshake means in words an operator can act on.

#include "dicomnet/NetworkPrivate.h"

#include <dcmtk/dcmnet/assoc.h>

#include <memory>
#include <optional>

namespace varnelo::dicomimpl {

class TlsTransport {
public:
    // Reads the trusted CAs and this station's certificate and key; throws
    // TlsFileUnusable naming the key and file that cannot be used.
    // As `acceptor` it serves a listening port: this station's certificate
    // is then required.
    explicit TlsTransport(const DcmTls& settings, bool acceptor = false);
    ~TlsTransport();
    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    // The association of these parameters runs over TLS on this network.
    // The network must be dropped before this object goes.
    void attach(T_ASC_Network* net, T_ASC_Parameters* params);
    // The associations this network accepts run over TLS.
    void attachAcceptor(T_ASC_Network* net);

    // After a failed association request: the error that says what to
    // check when TLS was the cause, else nothing.
    std::optional<Error> failure(const OFCondition& cond, const QString& peer) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varnelo::dicomimpl
