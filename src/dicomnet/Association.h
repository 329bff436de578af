#pragma once

// Associations as the requestor: one open association with bounded waits,
// and the pool that the image list keeps for its sends.

#include "dicomnet/Conformance.h"
#include "dicomnet/NetworkPrivate.h"
#include "dicom/FileLoader.h"

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace varnelo::dicomimpl {

class TlsTransport;

struct Peer {
    QString host;
    std::uint16_t port = 0;
    QString callingAE;
    QString calledAE;
    DcmTls tls;

    QString describe() const
    {
        return QStringLiteral("%1:%2 (%3%4)").arg(host).arg(port).arg(calledAE, tls.Enabled ? QStringLiteral(", TLS") : QString());
    }
    auto key() const
    {
        return std::tie(host, port, callingAE, calledAE, tls.Enabled, tls.Certificate, tls.PrivateKey, tls.TrustedCertificates);
    }
    bool operator<(const Peer& other) const { return key() < other.key(); }
};

struct ProposedContext {
    std::string abstractSyntax;
    std::vector<std::string> transferSyntaxes;
};

// The contexts of conformance::proposals() for one use.
std::vector<ProposedContext> proposedFor(conformance::Use use);

// This program's Implementation Class UID and Version Name on an
// association's parameters: as requestor before the request, as acceptor
// before the acknowledgement.
void identifyOurselves(T_ASC_Parameters* params, bool requestor);

// One association, aborted on destruction unless released before.
class Association {
public:
    // Opens the association or throws our error (connect, rejection with
    // its reason, ACSE timeout). Connecting is bounded by
    // DicomTimeouts::ConnectSeconds for every association alike: DCMTK
    // 3.6.7 takes that bound from a process-wide setting only.
    Association(const Peer& peer, const std::vector<ProposedContext>& contexts,
                int acseSeconds = DicomTimeouts::AcseSeconds);
    ~Association();
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    T_ASC_Association* get() const { return assoc_; }
    const Peer& peer() const { return peer_; }
    // The accepted context for the abstract syntax and transfer syntax, or 0.
    T_ASC_PresentationContextID accepted(const std::string& abstractSyntax, const std::string& transferSyntax) const;
    // The transfer syntaxes accepted for an abstract syntax, by context id.
    std::vector<std::pair<T_ASC_PresentationContextID, std::string>> acceptedFor(const std::string& abstractSyntax) const;
    int acceptedCount() const;
    // The first accepted context for the abstract syntax; throws
    // NoPresentationContext saying that the peer does not offer `what`.
    T_ASC_PresentationContextID require(const std::string& abstractSyntax, const QString& what) const;
    // Something arrived while idle: an abort, a release request or a closed
    // socket. Either way the association cannot carry another request.
    bool peerGone() const;
    DIC_US nextMessageId() { return assoc_->nextMsgID++; }

    void release();
    void abort();

private:
    void destroy();

    Peer peer_;
    std::unique_ptr<TlsTransport> tls_;  // outlives net_, which uses it
    T_ASC_Network* net_ = nullptr;
    T_ASC_Association* assoc_ = nullptr;
};

// One C-FIND on an open association, in the model of context `id`: each
// match goes to `onMatch` as it arrives. Returns the final status; throws,
// naming `context`, for anything that is not an answer, and rethrows what
// onMatch threw once DCMTK is done.
DIC_US findOn(Association& assoc, T_ASC_PresentationContextID id, ::DcmDataset& keys,
              const std::function<void(::DcmDataset&)>& onMatch, int dimseSeconds, const QString& context);

// The peers the walk holds an association with, by host and port. Storage
// commitment opens an association of its own only while the walk holds none
// there: a PACS that takes one association at a time would otherwise keep
// the walk's next one waiting.
class WalkTraffic {
public:
    // The walk holds `peer` while the returned token lives.
    static std::shared_ptr<void> hold(const Peer& peer);
    static bool holds(const Peer& peer);
};

// The associations of one image list, one per peer and AE titles.
class AssociationPool {
public:
    ~AssociationPool() { releaseAll(); }
    // whileWaiting runs once the data set is on its way, before the
    // response is read: the time the peer takes to answer is free for it.
    // A file that goes as it is stored, in a transfer syntax the peer takes,
    // is sent as its own bytes; anything else is encoded by DCMTK.
    std::int32_t store(LoadedFile& file, const Peer& peer, const std::function<void()>& whileWaiting = {});
    void releaseAll();
    // Opens the association to `peer` for these (SOP class, transfer
    // syntax) pairs ahead of the first image, or throws as store does.
    void open(const Peer& peer, const std::vector<std::pair<std::string, std::string>>& needs);
    // What the association to `peer` was proposed for so far.
    std::vector<std::pair<std::string, std::string>> needs(const Peer& peer) const;
    // Number of associations opened so far; for tests and logs.
    int openedCount() const { return opened_; }

private:
    struct Slot {
        std::unique_ptr<Association> assoc;
        std::vector<std::pair<std::string, std::string>> needs;     // (SOP class, transfer syntax) seen
        std::vector<std::pair<std::string, std::string>> proposed;  // what the open association offered
        // from the first association until releaseAll: a context that needs
        // a new association in the middle of a folder lets nobody in between
        std::shared_ptr<void> walkHold;
    };
    std::int32_t storeOn(Association& assoc, LoadedFile& file, T_ASC_PresentationContextID id,
                         const std::function<void()>& whileWaiting,
                         bool& requestSent);
    std::int32_t storeAsStored(Association& assoc, const LoadedFile& file, T_ASC_PresentationContextID id,
                               const std::function<void()>& whileWaiting, bool& requestSent);
    void openFor(Slot& slot, const Peer& peer);

    std::map<Peer, Slot> slots_;
    int opened_ = 0;
};

}  // namespace varnelo::dicomimpl
