#include "dicomnet/Association.h"

#include "dicomnet/Tls.h"

#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>

namespace varnelo::dicomimpl {

namespace {

QString oneLine(const OFString& text)
{
    return QString::fromLocal8Bit(text.c_str()).simplified();
}

QString sopClassName(const std::string& uid)
{
    const char* name = dcmFindNameOfUID(uid.c_str(), nullptr);
    return name ? QStringLiteral("%1 (%2)").arg(QLatin1String(name), QLatin1String(uid.c_str()))
                : QLatin1String(uid.c_str());
}

QString transferSyntaxName(const std::string& uid)
{
    DcmXfer xfer(uid.c_str());
    if (xfer.getXfer() == EXS_Unknown)
        return QLatin1String(uid.c_str());
    return QStringLiteral("%1 (%2)").arg(QLatin1String(xfer.getXferName()), QLatin1String(uid.c_str()));
}

const std::vector<std::string>& uncompressedSyntaxes()
{
    static const std::vector<std::string> all = [] {
        std::vector<std::string> uids;
        for (const conformance::NamedUid& ts : conformance::uncompressedSyntaxes())
            uids.emplace_back(ts.uid);
        return uids;
    }();
    return all;
}

bool isUncompressed(const std::string& ts)
{
    const auto& u = uncompressedSyntaxes();
    return std::find(u.begin(), u.end(), ts) != u.end();
}

// Contexts for what the files sent so far needed: each compressed syntax on
// its own (so the peer can take or refuse it alone), and one context with the
// uncompressed syntaxes per SOP class, the file's own first.
std::vector<ProposedContext> contextsFor(const std::vector<std::pair<std::string, std::string>>& needs)
{
    std::vector<ProposedContext> contexts;
    std::vector<std::string> classes;
    for (const auto& [sop, ts] : needs)
        if (std::find(classes.begin(), classes.end(), sop) == classes.end())
            classes.push_back(sop);
    for (const auto& sop : classes) {
        std::vector<std::string> plain;
        for (const auto& [s, ts] : needs) {
            if (s != sop)
                continue;
            if (isUncompressed(ts)) {
                if (std::find(plain.begin(), plain.end(), ts) == plain.end())
                    plain.push_back(ts);
            } else {
                contexts.push_back({sop, {ts}});
            }
        }
        for (const auto& ts : uncompressedSyntaxes())
            if (std::find(plain.begin(), plain.end(), ts) == plain.end())
                plain.push_back(ts);
        contexts.push_back({sop, plain});
    }
    // Presentation context ids are odd numbers below 256.
    if (contexts.size() > 128)
        contexts.resize(128);
    return contexts;
}

}  // namespace

std::vector<ProposedContext> proposedFor(conformance::Use use)
{
    std::vector<ProposedContext> contexts;
    for (const conformance::Context& c : conformance::contextsFor(use)) {
        ProposedContext p {c.abstractSyntax.toStdString(), {}};
        for (const QString& ts : c.transferSyntaxes)
            p.transferSyntaxes.push_back(ts.toStdString());
        contexts.push_back(std::move(p));
    }
    return contexts;
}

void identifyOurselves(T_ASC_Parameters* params, bool requestor)
{
    const QByteArray uid = conformance::implementationClassUid().toLatin1();
    const QByteArray name = conformance::implementationVersionName().toLatin1();
    OFStandard::strlcpy(params->ourImplementationClassUID, uid.constData(), sizeof params->ourImplementationClassUID);
    OFStandard::strlcpy(params->ourImplementationVersionName, name.constData(), sizeof params->ourImplementationVersionName);
    // the request is built from these; the acknowledgement copies the ones above
    if (!requestor)
        return;
    OFStandard::strlcpy(params->DULparams.callingImplementationClassUID, uid.constData(),
                        sizeof params->DULparams.callingImplementationClassUID);
    OFStandard::strlcpy(params->DULparams.callingImplementationVersionName, name.constData(),
                        sizeof params->DULparams.callingImplementationVersionName);
}

// ---- Association ----------------------------------------------------------

Association::Association(const Peer& peer, const std::vector<ProposedContext>& contexts, int acseSeconds)
    : peer_(peer)
{
    ensureNetworkInitialised();
    const QString what = QStringLiteral("Cannot open an association with %1").arg(peer.describe());
    if (peer.tls.Enabled)
        tls_ = std::make_unique<TlsTransport>(peer.tls);
    OFCondition cond = ASC_initializeNetwork(NET_REQUESTOR, 0, acseSeconds, &net_);
    if (cond.bad())
        throwCondition(cond, what);

    T_ASC_Parameters* params = nullptr;
    cond = ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
    if (cond.bad()) {
        destroy();
        throwCondition(cond, what);
    }
    identifyOurselves(params, true);
    const QByteArray calling = peer.callingAE.toLatin1();
    const QByteArray called = peer.calledAE.toLatin1();
    ASC_setAPTitles(params, calling.constData(), called.constData(), nullptr);
    const QByteArray address = QStringLiteral("%1:%2").arg(peer.host).arg(peer.port).toLatin1();
    ASC_setPresentationAddresses(params, OFStandard::getHostName().c_str(), address.constData());
    if (tls_)
        tls_->attach(net_, params);

    T_ASC_PresentationContextID id = 1;
    for (const auto& ctx : contexts) {
        std::vector<const char*> syntaxes;
        for (const auto& ts : ctx.transferSyntaxes)
            syntaxes.push_back(ts.c_str());
        cond = ASC_addPresentationContext(params, id, ctx.abstractSyntax.c_str(), syntaxes.data(),
                                          static_cast<int>(syntaxes.size()));
        if (cond.bad()) {
            ASC_destroyAssociationParameters(&params);
            destroy();
            throwCondition(cond, what);
        }
        id += 2;
    }

    cond = ASC_requestAssociation(net_, params, &assoc_);
    if (cond.bad()) {
        if (cond == DUL_ASSOCIATIONREJECTED) {
            T_ASC_RejectParameters rej;
            ASC_getRejectParameters(params, &rej);
            OFString reason;
            ASC_printRejectParameters(reason, &rej);
            if (!assoc_)
                ASC_destroyAssociationParameters(&params);
            destroy();
            fail(DicomErrc::AssociationRejected,
                 QStringLiteral("%1 rejected the association: %2").arg(peer.describe(), oneLine(reason)));
        }
        const std::optional<Error> tlsError = tls_ ? tls_->failure(cond, peer.describe()) : std::nullopt;
        if (!assoc_)
            ASC_destroyAssociationParameters(&params);
        destroy();
        if (tlsError)
            throw *tlsError;
        // A TLS peer takes a plain association request for garbage and hangs up.
        if (!peer.tls.Enabled && networkErrorNumber(cond) == DicomErrc::ConnectionLost) {
            try {
                throwCondition(cond, what);
            } catch (const Error& e) {
                fail(e.number(), e.description() +
                         QStringLiteral(". If %1 expects DICOM over TLS, turn on TLS for it.").arg(peer.describe()));
            }
        }
        throwCondition(cond, what);
    }
}

Association::~Association()
{
    if (assoc_)
        abort();
    destroy();
}

void Association::destroy()
{
    if (assoc_)
        ASC_destroyAssociation(&assoc_);
    assoc_ = nullptr;
    if (net_)
        ASC_dropNetwork(&net_);
    net_ = nullptr;
}

void Association::release()
{
    // A peer that already hung up would only make the release wait.
    if (assoc_ && ASC_dataWaiting(assoc_, 0)) {
        abort();
        return;
    }
    if (assoc_ && ASC_releaseAssociation(assoc_).bad())
        ASC_abortAssociation(assoc_);
    destroy();
}

void Association::abort()
{
    if (assoc_)
        ASC_abortAssociation(assoc_);
    destroy();
}

bool Association::peerGone() const
{
    return assoc_ == nullptr || ASC_dataWaiting(assoc_, 0);
}

int Association::acceptedCount() const
{
    return assoc_ ? ASC_countAcceptedPresentationContexts(assoc_->params) : 0;
}

std::vector<std::pair<T_ASC_PresentationContextID, std::string>>
Association::acceptedFor(const std::string& abstractSyntax) const
{
    std::vector<std::pair<T_ASC_PresentationContextID, std::string>> result;
    if (!assoc_)
        return result;
    const int n = ASC_countPresentationContexts(assoc_->params);
    for (int i = 0; i < n; ++i) {
        T_ASC_PresentationContext pc;
        if (ASC_getPresentationContext(assoc_->params, i, &pc).bad())
            continue;
        if (pc.resultReason == ASC_P_ACCEPTANCE && abstractSyntax == pc.abstractSyntax)
            result.emplace_back(pc.presentationContextID, std::string(pc.acceptedTransferSyntax));
    }
    return result;
}

T_ASC_PresentationContextID Association::require(const std::string& abstractSyntax, const QString& what) const
{
    const auto ids = acceptedFor(abstractSyntax);
    if (ids.empty())
        fail(DicomErrc::NoPresentationContext, QStringLiteral("%1 does not offer %2.").arg(peer_.describe(), what));
    return ids.front().first;
}

namespace {

struct FindCallback {
    const std::function<void(::DcmDataset&)>* onMatch;
    std::exception_ptr thrown;
};

void eachMatch(void* data, T_DIMSE_C_FindRQ*, int, T_DIMSE_C_FindRSP*, ::DcmDataset* identifier)
{
    auto* callback = static_cast<FindCallback*>(data);
    if (!identifier || callback->thrown)
        return;
    try {
        (*callback->onMatch)(*identifier);
    } catch (...) {
        // nothing may unwind through DCMTK's C code
        callback->thrown = std::current_exception();
    }
}

}  // namespace

DIC_US findOn(Association& assoc, T_ASC_PresentationContextID id, ::DcmDataset& keys,
              const std::function<void(::DcmDataset&)>& onMatch, int dimseSeconds, const QString& context)
{
    T_ASC_PresentationContext pc;
    if (ASC_findAcceptedPresentationContext(assoc.get()->params, id, &pc).bad())
        fail(DicomErrc::NoPresentationContext, context + QStringLiteral(": no query context was accepted"));
    T_DIMSE_C_FindRQ req;
    std::memset(&req, 0, sizeof req);
    req.MessageID = assoc.nextMessageId();
    OFStandard::strlcpy(req.AffectedSOPClassUID, pc.abstractSyntax, sizeof req.AffectedSOPClassUID);
    req.DataSetType = DIMSE_DATASET_PRESENT;
    req.Priority = DIMSE_PRIORITY_MEDIUM;
    T_DIMSE_C_FindRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    ::DcmDataset* detail = nullptr;
    int responses = 0;
    FindCallback callback {&onMatch, nullptr};
    const OFCondition cond = DIMSE_findUser(assoc.get(), id, &req, &keys, responses, eachMatch, &callback,
                                            DIMSE_NONBLOCKING, dimseSeconds, &rsp, &detail);
    delete detail;
    if (callback.thrown)
        std::rethrow_exception(callback.thrown);
    if (cond.bad())
        throwCondition(cond, context);
    return rsp.DimseStatus;
}

T_ASC_PresentationContextID Association::accepted(const std::string& abstractSyntax,
                                                  const std::string& transferSyntax) const
{
    for (const auto& [id, ts] : acceptedFor(abstractSyntax))
        if (ts == transferSyntax)
            return id;
    return 0;
}

// ---- AssociationPool ------------------------------------------------------

namespace {

struct Choice {
    T_ASC_PresentationContextID id = 0;
    bool conversionFailed = false;
    QString whyNot;  // the decoder's reason, when it gave one
};

// A copy of the data set in an uncompressed transfer syntax, made once per
// file. The file's own data set keeps its encoding: a decoder may drop the
// compressed form when it decompresses, and the next peer may want it.
::DcmDataset* uncompressedCopy(LoadedFile& file, QString& whyNot)
{
    if (!file.uncompressed) {
        auto copy = std::make_unique<::DcmDataset>(*file.format().getDataset());
        OFCondition cond;
        try {
            cond = copy->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
        } catch (const std::exception& e) {
            cond = makeOFCondition(0, 1, OF_error, e.what());
        }
        if (cond.bad()) {
            whyNot = conditionText(cond);
            return nullptr;
        }
        file.uncompressed = std::move(copy);
    }
    return file.uncompressed.get();
}

// A context that can carry the data set: its own transfer syntax, or an
// uncompressed one, decompressing a copy in memory when needed.
Choice choose(const Association& assoc, LoadedFile& file, const std::string& sop, const std::string& ts,
              bool allowConversion)
{
    Choice choice;
    const auto accepted = assoc.acceptedFor(sop);
    for (const auto& [id, t] : accepted)
        if (t == ts) {
            // a changed data set must still be able to write its own encoding
            if (!file.sendsAsStored() && !isUncompressed(ts) &&
                !file.format().getDataset()->canWriteXfer(DcmXfer(ts.c_str()).getXfer()))
                continue;
            choice.id = id;
            return choice;
        }
    if (!allowConversion)
        return choice;
    for (const auto& [id, t] : accepted) {
        if (!isUncompressed(t))
            continue;
        const E_TransferSyntax target = DcmXfer(t.c_str()).getXfer();
        if (!isUncompressed(ts)) {
            ::DcmDataset* ds = uncompressedCopy(file, choice.whyNot);
            if (!ds || !ds->canWriteXfer(target)) {
                choice.conversionFailed = true;
                return choice;
            }
        }
        choice.id = id;
        return choice;
    }
    return choice;
}

}  // namespace

namespace {

std::mutex walkMutex;
std::map<std::pair<QString, std::uint16_t>, int> walkHolds;

std::pair<QString, std::uint16_t> walkKey(const Peer& peer)
{
    return {peer.host.trimmed().toLower(), peer.port};
}

}  // namespace

std::shared_ptr<void> WalkTraffic::hold(const Peer& peer)
{
    const auto key = walkKey(peer);
    {
        const std::lock_guard<std::mutex> lock(walkMutex);
        ++walkHolds[key];
    }
    return std::shared_ptr<void>(nullptr, [key](void*) {
        const std::lock_guard<std::mutex> lock(walkMutex);
        if (--walkHolds[key] <= 0)
            walkHolds.erase(key);
    });
}

bool WalkTraffic::holds(const Peer& peer)
{
    const std::lock_guard<std::mutex> lock(walkMutex);
    return walkHolds.count(walkKey(peer)) > 0;
}

void AssociationPool::openFor(Slot& slot, const Peer& peer)
{
    slot.assoc.reset();
    if (!slot.walkHold)
        slot.walkHold = WalkTraffic::hold(peer);
    slot.assoc = std::make_unique<Association>(peer, contextsFor(slot.needs));
    ++opened_;
}

void AssociationPool::open(const Peer& peer, const std::vector<std::pair<std::string, std::string>>& needs)
{
    ensureNetworkInitialised();
    Slot& slot = slots_[peer];
    slot.needs = needs;
    openFor(slot, peer);
    slot.proposed = slot.needs;
}

std::vector<std::pair<std::string, std::string>> AssociationPool::needs(const Peer& peer) const
{
    const auto found = slots_.find(peer);
    return found == slots_.end() ? std::vector<std::pair<std::string, std::string>>() : found->second.needs;
}

std::int32_t AssociationPool::store(LoadedFile& file, const Peer& peer, const std::function<void()>& whileWaiting)
{
    ensureNetworkInitialised();
    // A file going as it is stored is described by its quick walk; DCMTK's
    // objects are made only when the data set must be converted.
    std::string sop, instance, ts;
    if (file.sendsAsStored()) {
        sop = file.raw->sopClass.toStdString();
        instance = file.raw->sopInstance.toStdString();
        ts = file.raw->transferSyntax;
    } else {
        ::DcmDataset* ds = file.format().getDataset();
        OFString sopValue, instanceValue;
        ds->findAndGetOFStringArray(DCM_SOPClassUID, sopValue);
        ds->findAndGetOFStringArray(DCM_SOPInstanceUID, instanceValue);
        sop = sopValue.c_str();
        instance = instanceValue.c_str();
        // the command names one instance; an object that claims several is not sent
        if (sop.find('\\') != std::string::npos || instance.find('\\') != std::string::npos)
            fail(DicomErrc::InvalidValue,
                 QStringLiteral("The image's SOP Class UID or SOP Instance UID holds more than one value (%1, %2); "
                                "it cannot be sent.")
                     .arg(QString::fromLatin1(sop.c_str()), QString::fromLatin1(instance.c_str())));
        E_TransferSyntax xfer = ds->getOriginalXfer();
        if (xfer == EXS_Unknown)
            xfer = EXS_LittleEndianExplicit;
        ts = DcmXfer(xfer).getXferID();
    }
    if (sop.empty() || instance.empty())
        fail(DicomErrc::InvalidValue,
             QStringLiteral("The image has no SOP Class UID or no SOP Instance UID and cannot be sent."));

    Slot& slot = slots_[peer];
    const auto need = std::make_pair(sop, ts);
    auto found = std::find(slot.needs.begin(), slot.needs.end(), need);
    if (found != slot.needs.end())
        slot.needs.erase(found);
    // Most recent first, so that a long run of mixed files keeps proposing
    // what it is sending now.
    slot.needs.insert(slot.needs.begin(), need);
    if (slot.needs.size() > 48)
        slot.needs.resize(48);

    auto noContext = [&](const Choice& c) {
        slot.assoc.reset();
        QString conversion;
        if (c.conversionFailed)
            conversion = QStringLiteral(", and the image cannot be converted to an uncompressed transfer syntax "
                                        "that it accepts") +
                (c.whyNot.isEmpty() ? QString() : QStringLiteral(": ") + c.whyNot);
        fail(DicomErrc::NoPresentationContext,
             QStringLiteral("%1 accepted no presentation context for %2 in %3%4.")
                 .arg(peer.describe(), sopClassName(sop), transferSyntaxName(ts), conversion));
    };

    bool reused = false;
    T_ASC_PresentationContextID id = 0;
    if (slot.assoc && slot.assoc->peerGone())
        slot.assoc.reset();
    if (slot.assoc) {
        // Convert only if the open association offered the file's own syntax
        // and the peer declined it; otherwise a new association may get it.
        const bool offered = std::find(slot.proposed.begin(), slot.proposed.end(), need) != slot.proposed.end();
        Choice c = choose(*slot.assoc, file, sop, ts, offered);
        if (c.conversionFailed)
            noContext(c);
        if (c.id) {
            id = c.id;
            reused = true;
        } else {
            slot.assoc->release();
            slot.assoc.reset();
        }
    }
    if (!slot.assoc) {
        openFor(slot, peer);
        slot.proposed = slot.needs;
        Choice c = choose(*slot.assoc, file, sop, ts, true);
        if (!c.id)
            noContext(c);
        id = c.id;
    }

    bool requestSent = false;
    try {
        return storeOn(*slot.assoc, file, id, whileWaiting, requestSent);
    } catch (const Error& e) {
        slot.assoc.reset();
        // Once the whole request has gone out the peer may hold the image:
        // sending it again is the operator's choice, not ours.
        if (!reused || requestSent || e.number() != DicomErrc::ConnectionLost)
            throw;
    }
    // The peer dropped the association that was kept open between files
    // before it had the whole request: one attempt on a fresh one.
    openFor(slot, peer);
    slot.proposed = slot.needs;
    Choice c = choose(*slot.assoc, file, sop, ts, true);
    if (!c.id)
        noContext(c);
    try {
        return storeOn(*slot.assoc, file, c.id, whileWaiting, requestSent);
    } catch (const Error&) {
        slot.assoc.reset();
        throw;
    }
}

namespace {

// DCMTK keeps the socket of a connection to itself; a member pointer taken
// through a derived class reaches it without touching the object's layout.
struct SocketOf : DcmTransportConnection {
    using DcmTransportConnection::getSocket;
};

struct WaitContext {
    T_ASC_Association* assoc;
    const std::function<void()>* whileWaiting;
    bool* requestSent;
};

// The whole request is out; the peer's answer is still to come.
void requestIsOut(WaitContext* context)
{
    *context->requestSent = true;
    // A peer with Nagle's algorithm on holds the second part of its response
    // until we acknowledge the first, and Linux delays that acknowledgement
    // by up to 40 ms in request/response traffic: acknowledge at once.
    if (DcmTransportConnection* connection = DUL_getTransportConnection(context->assoc->DULassociation)) {
        const int on = 1;
        const DcmNativeSocketType fd = (connection->*(&SocketOf::getSocket))();
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    if (*context->whileWaiting) {
        try {
            (*context->whileWaiting)();
        } catch (...) {
            // nothing may unwind through DCMTK's C code; the hook is only a head start
        }
    }
}

void storeProgress(void* data, T_DIMSE_StoreProgress* progress, T_DIMSE_C_StoreRQ*)
{
    if (progress->state == DIMSE_StoreEnd)
        requestIsOut(static_cast<WaitContext*>(data));
}

}  // namespace

std::int32_t AssociationPool::storeOn(Association& assoc, LoadedFile& file, T_ASC_PresentationContextID id,
                                      const std::function<void()>& whileWaiting, bool& requestSent)
{
    if (file.sendsAsStored()) {
        T_ASC_PresentationContext pc;
        if (ASC_findAcceptedPresentationContext(assoc.get()->params, id, &pc).good() &&
            file.raw->transferSyntax == pc.acceptedTransferSyntax)
            return storeAsStored(assoc, file, id, whileWaiting, requestSent);
    }
    ::DcmDataset* ds = file.format().getDataset();
    OFString sop, instance;
    ds->findAndGetOFString(DCM_SOPClassUID, sop);
    ds->findAndGetOFString(DCM_SOPInstanceUID, instance);
    T_ASC_PresentationContext pc;
    if (ASC_findAcceptedPresentationContext(assoc.get()->params, id, &pc).good() &&
        isUncompressed(pc.acceptedTransferSyntax) && !DcmXfer(ds->getOriginalXfer()).isNotEncapsulated()) {
        QString whyNot;
        ds = uncompressedCopy(file, whyNot);
        if (!ds)
            fail(DicomErrc::NoPresentationContext,
                 QStringLiteral("%1 takes the image only uncompressed, and it cannot be decompressed: %2")
                     .arg(assoc.peer().describe(), whyNot));
    }

    T_DIMSE_C_StoreRQ req;
    std::memset(&req, 0, sizeof req);
    req.MessageID = assoc.nextMessageId();
    OFStandard::strlcpy(req.AffectedSOPClassUID, sop.c_str(), sizeof req.AffectedSOPClassUID);
    OFStandard::strlcpy(req.AffectedSOPInstanceUID, instance.c_str(), sizeof req.AffectedSOPInstanceUID);
    req.DataSetType = DIMSE_DATASET_PRESENT;
    req.Priority = DIMSE_PRIORITY_MEDIUM;

    T_DIMSE_C_StoreRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    ::DcmDataset* detail = nullptr;
    requestSent = false;
    WaitContext context {assoc.get(), &whileWaiting, &requestSent};
    OFCondition cond = DIMSE_storeUser(assoc.get(), id, &req, nullptr, ds, storeProgress, &context, DIMSE_NONBLOCKING,
                                       DicomTimeouts::DimseSeconds, &rsp, &detail);
    delete detail;
    if (cond.bad())
        throwCondition(cond, QStringLiteral("Cannot send the image to %1").arg(assoc.peer().describe()));
    if (rsp.DimseStatus == STATUS_Success || DICOM_WARNING_STATUS(rsp.DimseStatus))
        return 0;
    return rsp.DimseStatus;
}

// The request as DIMSE would build it, then the file's data set as it is
// stored: no parse, no encoding, the bytes that were walked at loading.
std::int32_t AssociationPool::storeAsStored(Association& assoc, const LoadedFile& file, T_ASC_PresentationContextID id,
                                            const std::function<void()>& whileWaiting, bool& requestSent)
{
    T_ASC_Association* a = assoc.get();
    const RawDicom& raw = *file.raw;
    const QString context = QStringLiteral("Cannot send the image to %1").arg(assoc.peer().describe());
    requestSent = false;

    T_DIMSE_C_StoreRQ req;
    std::memset(&req, 0, sizeof req);
    req.MessageID = assoc.nextMessageId();
    OFStandard::strlcpy(req.AffectedSOPClassUID, raw.sopClass.constData(), sizeof req.AffectedSOPClassUID);
    OFStandard::strlcpy(req.AffectedSOPInstanceUID, raw.sopInstance.constData(), sizeof req.AffectedSOPInstanceUID);
    ::DcmDataset command;
    command.putAndInsertString(DCM_AffectedSOPClassUID, req.AffectedSOPClassUID);
    command.putAndInsertUint16(DCM_CommandField, DIMSE_C_STORE_RQ);
    command.putAndInsertUint16(DCM_MessageID, req.MessageID);
    command.putAndInsertUint16(DCM_Priority, DIMSE_PRIORITY_MEDIUM);
    command.putAndInsertUint16(DCM_CommandDataSetType, DIMSE_DATASET_PRESENT);
    command.putAndInsertString(DCM_AffectedSOPInstanceUID, req.AffectedSOPInstanceUID);
    unsigned char encoded[1024];
    DcmOutputBufferStream out(encoded, sizeof encoded);
    command.transferInit();
    OFCondition cond = command.write(out, EXS_LittleEndianImplicit, EET_ExplicitLength, nullptr, EGL_withGL,
                                     EPD_withoutPadding);
    command.transferEnd();
    if (cond.bad())
        throwCondition(cond, context);
    void* commandBytes = nullptr;
    offile_off_t commandLength = 0;
    out.flushBuffer(commandBytes, commandLength);

    auto write = [&](DUL_DATAPDV type, const void* data, unsigned long length, bool last) {
        DUL_PDV pdv;
        std::memset(&pdv, 0, sizeof pdv);
        pdv.fragmentLength = length;
        pdv.presentationContextID = id;
        pdv.pdvType = type;
        pdv.lastPDV = last ? OFTrue : OFFalse;
        pdv.data = const_cast<void*>(data);
        DUL_PDVLIST list;
        list.count = 1;
        list.pdv = &pdv;
        const OFCondition written = DUL_WritePDVs(&a->DULassociation, &list);
        if (written.bad())
            throwCondition(written, context);
    };
    write(DUL_COMMANDPDV, commandBytes, static_cast<unsigned long>(commandLength), true);

    // PDVs as large as the peer takes (and the global bound allows), even
    unsigned long most = a->sendPDVLength;
    const Uint32 maxPdu = dcmMaxOutgoingPDUSize.get();
    if (most + 12 > maxPdu)
        most = maxPdu - 12;
    most &= ~1ul;
    // A file still on the medium is read in large blocks, each sent as PDVs.
    std::vector<char> block;
    qint64 blockAt = 0;
    const qint64 blockSize = std::max<qint64>(static_cast<qint64>(most), (1 << 20) / static_cast<qint64>(most) * static_cast<qint64>(most));
    for (qint64 at = raw.datasetOffset; at < raw.datasetEnd;) {
        const unsigned long n = static_cast<unsigned long>(std::min<qint64>(static_cast<qint64>(most), raw.datasetEnd - at));
        const bool last = at + static_cast<qint64>(n) == raw.datasetEnd;
        const char* data = nullptr;
        if (file.fd < 0) {
            data = file.bytes.constData() + at;
        } else {
            if (block.empty() || at + static_cast<qint64>(n) > blockAt + static_cast<qint64>(block.size())) {
                blockAt = at;
                block.resize(static_cast<size_t>(std::min(blockSize, raw.datasetEnd - at)));
                for (size_t done = 0; done < block.size();) {
                    const ssize_t got = ::pread(file.fd, block.data() + done, block.size() - done, blockAt + static_cast<qint64>(done));
                    if (got < 0 && errno == EINTR)
                        continue;
                    if (got <= 0)
                        fail(DicomErrc::FileChanged,
                             QStringLiteral("Cannot read %1 any more: %2")
                                 .arg(file.path, got < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("it is shorter than it was")));
                    done += static_cast<size_t>(got);
                }
            }
            // a file that changed while it was read goes no further: without
            // its last part the peer cannot store a mixture
            if (last)
                file.checkUnchanged();
            data = block.data() + (at - blockAt);
        }
        write(DUL_DATASETPDV, data, n, last);
        at += static_cast<qint64>(n);
    }
    WaitContext waiting {a, &whileWaiting, &requestSent};
    requestIsOut(&waiting);

    T_DIMSE_Message rsp;
    std::memset(&rsp, 0, sizeof rsp);
    T_ASC_PresentationContextID answeredOn = 0;
    ::DcmDataset* detail = nullptr;
    cond = DIMSE_receiveCommand(a, DIMSE_NONBLOCKING, DicomTimeouts::DimseSeconds, &answeredOn, &rsp, &detail);
    delete detail;
    if (cond.bad() || cond == DUL_PEERREQUESTEDRELEASE)
        throwCondition(cond, context);
    if (rsp.CommandField != DIMSE_C_STORE_RSP || rsp.msg.CStoreRSP.MessageIDBeingRespondedTo != req.MessageID)
        fail(DicomErrc::NetworkFailure,
             context + QStringLiteral(": the peer answered with something other than the response to this image"));
    if (rsp.msg.CStoreRSP.DataSetType != DIMSE_DATASET_NULL) {
        DIC_UL bytes = 0, pdvs = 0;
        DIMSE_ignoreDataSet(a, DIMSE_NONBLOCKING, DicomTimeouts::DimseSeconds, &bytes, &pdvs);
    }
    const DIC_US status = rsp.msg.CStoreRSP.DimseStatus;
    if (status == STATUS_Success || DICOM_WARNING_STATUS(status))
        return 0;
    return status;
}

void AssociationPool::releaseAll()
{
    for (auto& [peer, slot] : slots_) {
        if (slot.assoc) {
            slot.assoc->release();
            slot.assoc.reset();
        }
        slot.walkHold.reset();
    }
}

}  // namespace varnelo::dicomimpl
