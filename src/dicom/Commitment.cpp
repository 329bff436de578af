// Storage commitment as the requestor (Push Model), and the query that
// stands in for it where a PACS offers none.

#include "dicom/Association.h"
#include "dicom/Tls.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

using namespace varnelo::dicomimpl;

namespace varnelo {

namespace {

const char* const kCommitClass = UID_StorageCommitmentPushModelSOPClass;
const char* const kCommitInstance = UID_StorageCommitmentPushModelSOPInstance;
const char* const kStudyRoot = UID_FINDStudyRootQueryRetrieveInformationModel;
const std::vector<std::string> kLittleEndian = {UID_LittleEndianExplicitTransferSyntax,
                                                UID_LittleEndianImplicitTransferSyntax};

QString failureReason(Uint16 code)
{
    QString name;
    switch (code) {
    case 0x0110:
        name = QStringLiteral("processing failure");
        break;
    case 0x0112:
        name = QStringLiteral("no such object instance");
        break;
    case 0x0119:
        name = QStringLiteral("class-instance conflict");
        break;
    case 0x0122:
        name = QStringLiteral("SOP class not supported");
        break;
    case 0x0131:
        name = QStringLiteral("duplicate transaction UID");
        break;
    case 0x0213:
        name = QStringLiteral("resource limitation");
        break;
    default:
        name = QStringLiteral("failure");
        break;
    }
    return QStringLiteral("%1 (0x%2)").arg(name).arg(code, 4, 16, QLatin1Char('0'));
}

QString stringIn(DcmItem& item, const DcmTagKey& key)
{
    OFString value;
    item.findAndGetOFString(key, value);
    return QString::fromLatin1(value.c_str()).trimmed();
}

// What one N-EVENT-REPORT said.
struct Report {
    QString transaction;
    QSet<QString> succeeded;
    std::vector<std::pair<QString, QString>> failed;
};

// The report in an N-EVENT-REPORT's data set, or nothing when it reports
// none of the transactions awaited.
std::optional<Report> readReport(::DcmDataset& ds, const QSet<QString>& transactions)
{
    Report report;
    report.transaction = stringIn(ds, DCM_TransactionUID);
    if (!transactions.contains(report.transaction))
        return std::nullopt;
    DcmSequenceOfItems* seq = nullptr;
    if (ds.findAndGetSequence(DCM_ReferencedSOPSequence, seq).good() && seq)
        for (unsigned long i = 0; i < seq->card(); ++i)
            report.succeeded.insert(stringIn(*seq->getItem(i), DCM_ReferencedSOPInstanceUID));
    seq = nullptr;
    if (ds.findAndGetSequence(DCM_FailedSOPSequence, seq).good() && seq)
        for (unsigned long i = 0; i < seq->card(); ++i) {
            DcmItem* item = seq->getItem(i);
            Uint16 reason = 0;
            const bool hasReason = item->findAndGetUint16(DCM_FailureReason, reason).good();
            report.failed.emplace_back(stringIn(*item, DCM_ReferencedSOPInstanceUID),
                                       hasReason ? failureReason(reason) : QStringLiteral("no reason given"));
        }
    return report;
}

// One message that arrived on an association that carries requests or
// reports: the answer to an N-ACTION, or a report.
struct Incoming {
    std::optional<Report> report;
    std::optional<T_DIMSE_N_ActionRSP> action;
};

// Reads one message: an N-EVENT-REPORT is answered (with both Affected SOP
// UIDs, which some PACS insist on) and returned when it reports one of
// `transactions`; an N-ACTION answer is returned. `closed` is set when the
// peer released or dropped the association.
Incoming receiveOne(T_ASC_Association* assoc, const QSet<QString>& transactions, bool& closed)
{
    T_DIMSE_Message msg;
    std::memset(&msg, 0, sizeof msg);
    T_ASC_PresentationContextID id = 0;
    ::DcmDataset* detail = nullptr;
    OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, DicomTimeouts::DimseSeconds, &id, &msg, &detail);
    delete detail;
    if (cond == DUL_PEERREQUESTEDRELEASE) {
        ASC_acknowledgeRelease(assoc);
        closed = true;
        return {};
    }
    if (cond.bad()) {
        closed = true;
        return {};
    }
    if (msg.CommandField == DIMSE_N_ACTION_RSP) {
        DIC_UL bytes = 0, pdvs = 0;
        if (msg.msg.NActionRSP.DataSetType != DIMSE_DATASET_NULL)
            DIMSE_ignoreDataSet(assoc, DIMSE_NONBLOCKING, DicomTimeouts::DimseSeconds, &bytes, &pdvs);
        return {std::nullopt, msg.msg.NActionRSP};
    }
    if (msg.CommandField != DIMSE_N_EVENT_REPORT_RQ) {
        // nothing else is expected here; a data set that came with it is dropped
        DIC_UL bytes = 0, pdvs = 0;
        if (msg.CommandField == DIMSE_C_STORE_RQ && msg.msg.CStoreRQ.DataSetType != DIMSE_DATASET_NULL)
            DIMSE_ignoreDataSet(assoc, DIMSE_NONBLOCKING, DicomTimeouts::DimseSeconds, &bytes, &pdvs);
        return {};
    }
    const T_DIMSE_N_EventReportRQ& rq = msg.msg.NEventReportRQ;
    std::unique_ptr<::DcmDataset> data;
    if (rq.DataSetType != DIMSE_DATASET_NULL) {
        ::DcmDataset* received = nullptr;
        cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING, DicomTimeouts::DimseSeconds, &id, &received,
                                            nullptr, nullptr);
        data.reset(received);
        if (cond.bad()) {
            closed = true;
            return {};
        }
    }
    T_DIMSE_Message rsp;
    std::memset(&rsp, 0, sizeof rsp);
    rsp.CommandField = DIMSE_N_EVENT_REPORT_RSP;
    T_DIMSE_N_EventReportRSP& r = rsp.msg.NEventReportRSP;
    r.MessageIDBeingRespondedTo = rq.MessageID;
    r.DimseStatus = STATUS_Success;
    r.DataSetType = DIMSE_DATASET_NULL;
    r.EventTypeID = rq.EventTypeID;
    OFStandard::strlcpy(r.AffectedSOPClassUID, rq.AffectedSOPClassUID, sizeof r.AffectedSOPClassUID);
    OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID, sizeof r.AffectedSOPInstanceUID);
    r.opts = O_NEVENTREPORT_AFFECTEDSOPCLASSUID | O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID | O_NEVENTREPORT_EVENTTYPEID;
    DIMSE_sendMessageUsingMemoryData(assoc, id, &rsp, nullptr, nullptr, nullptr, nullptr);
    if (!data)
        return {};
    return {readReport(*data, transactions), std::nullopt};
}

// The port on which a PACS may open an association to deliver its report.
// Takes only the storage commitment SOP class, and only from the AE titles
// named.
class Listener {
public:
    Listener(std::uint16_t port, const DcmTls& tls, QStringList callers)
        : callers_(std::move(callers))
    {
        if (tls.Enabled)
            tls_ = std::make_unique<TlsTransport>(tls, true);
        const OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, port, DicomTimeouts::AcseSeconds, &net_);
        if (cond.bad())
            throwCondition(cond, QStringLiteral("Cannot listen on port %1 for storage commitment reports").arg(port));
        if (tls_)
            tls_->attachAcceptor(net_);
    }
    ~Listener()
    {
        drop();
        if (net_)
            ASC_dropNetwork(&net_);
    }

    std::optional<Report> poll(const QSet<QString>& transactions)
    {
        if (!assoc_) {
            if (!ASC_associationWaiting(net_, 0))
                return std::nullopt;
            accept();
            return std::nullopt;
        }
        if (!ASC_dataWaiting(assoc_, 0))
            return std::nullopt;
        bool closed = false;
        Incoming in = receiveOne(assoc_, transactions, closed);
        if (closed)
            drop();
        return in.report;
    }

private:
    void accept()
    {
        T_ASC_Association* assoc = nullptr;
        OFCondition cond = ASC_receiveAssociation(net_, &assoc, ASC_DEFAULTMAXPDU, nullptr, nullptr, tls_ != nullptr,
                                                  DUL_NOBLOCK, DicomTimeouts::AcseSeconds);
        if (cond.bad()) {
            if (assoc) {
                ASC_dropAssociation(assoc);
                ASC_destroyAssociation(&assoc);
            }
            return;
        }
        const QString calling = QString::fromLatin1(assoc->params->DULparams.callingAPTitle).trimmed();
        if (!callers_.contains(calling)) {
            T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                          ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED};
            ASC_rejectAssociation(assoc, &rej);
            ASC_dropAssociation(assoc);
            ASC_destroyAssociation(&assoc);
            return;
        }
        const char* abstract[] = {kCommitClass};
        const char* syntaxes[] = {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax};
        ASC_acceptContextsWithPreferredTransferSyntaxes(assoc->params, abstract, 1, syntaxes, 2, ASC_SC_ROLE_SCUSCP);
        if (ASC_countAcceptedPresentationContexts(assoc->params) == 0 || ASC_acknowledgeAssociation(assoc).bad()) {
            ASC_dropAssociation(assoc);
            ASC_destroyAssociation(&assoc);
            return;
        }
        assoc_ = assoc;
    }
    void drop()
    {
        if (!assoc_)
            return;
        ASC_dropSCPAssociation(assoc_);
        ASC_destroyAssociation(&assoc_);
        assoc_ = nullptr;
    }

    QStringList callers_;
    std::unique_ptr<TlsTransport> tls_;  // outlives net_
    T_ASC_Network* net_ = nullptr;
    T_ASC_Association* assoc_ = nullptr;
};

struct FoundInstances {
    QSet<QString> uids;
};

void collectInstance(void* data, T_DIMSE_C_FindRQ*, int, T_DIMSE_C_FindRSP*, ::DcmDataset* identifier)
{
    if (identifier)
        static_cast<FoundInstances*>(data)->uids.insert(stringIn(*identifier, DCM_SOPInstanceUID));
}

// What the PACS holds of each study, by Study Root C-FIND at IMAGE level.
DcmCommitResult query(Association& assoc, T_ASC_PresentationContextID id,
                      const std::vector<DcmStoredInstance>& instances)
{
    QHash<QString, std::vector<const DcmStoredInstance*>> byStudy;
    for (const DcmStoredInstance& i : instances)
        byStudy[i.StudyInstanceUID].push_back(&i);
    DcmCommitResult result;
    result.byQuery = true;
    for (auto it = byStudy.cbegin(); it != byStudy.cend(); ++it) {
        ::DcmDataset keys;
        keys.putAndInsertString(DCM_QueryRetrieveLevel, "IMAGE");
        keys.putAndInsertString(DCM_StudyInstanceUID, it.key().toLatin1().constData());
        keys.putAndInsertString(DCM_SeriesInstanceUID, "");
        keys.putAndInsertString(DCM_SOPInstanceUID, "");
        keys.putAndInsertString(DCM_SOPClassUID, "");
        T_DIMSE_C_FindRQ req;
        std::memset(&req, 0, sizeof req);
        req.MessageID = assoc.nextMessageId();
        OFStandard::strlcpy(req.AffectedSOPClassUID, kStudyRoot, sizeof req.AffectedSOPClassUID);
        req.DataSetType = DIMSE_DATASET_PRESENT;
        req.Priority = DIMSE_PRIORITY_MEDIUM;
        T_DIMSE_C_FindRSP rsp;
        std::memset(&rsp, 0, sizeof rsp);
        ::DcmDataset* detail = nullptr;
        int responses = 0;
        FoundInstances found;
        const OFCondition cond = DIMSE_findUser(assoc.get(), id, &req, &keys, responses, collectInstance, &found,
                                                DIMSE_NONBLOCKING, DicomTimeouts::DimseSeconds, &rsp, &detail);
        delete detail;
        if (cond.bad())
            throwCondition(cond, QStringLiteral("The query of %1 for the study %2 failed").arg(assoc.peer().describe(), it.key()));
        if (rsp.DimseStatus != STATUS_Success)
            fail(DicomErrc::QueryFailed, QStringLiteral("%1 answered the query for the study %2 with the status 0x%3")
                                             .arg(assoc.peer().describe(), it.key())
                                             .arg(rsp.DimseStatus, 4, 16, QLatin1Char('0')));
        for (const DcmStoredInstance* i : it.value())
            if (!found.uids.contains(i->SOPInstanceUID))
                result.failed.emplace_back(i->SOPInstanceUID, QStringLiteral("not found by a query for the instances of its study"));
    }
    result.outcome = DcmCommitResult::Outcome::Answered;
    return result;
}

}  // namespace

DcmCommitResult DcmCommitClient::Request(const std::vector<DcmStoredInstance>& instances)
{
    DcmCommitResult result;
    try {
        ensureInitialised();
        const Peer peer {PeerHost.trimmed(), checkedPort(PeerPort), CallingAETitle.trimmed(), CalledAETitle.trimmed(), Tls};
        auto assoc = std::make_unique<Association>(peer, std::vector<ProposedContext> {{kCommitClass, kLittleEndian},
                                                                                       {kStudyRoot, kLittleEndian}});
        const auto commit = assoc->acceptedFor(kCommitClass);
        const auto find = assoc->acceptedFor(kStudyRoot);
        // the query, on the first association or on one of its own
        auto byQuery = [&] {
            if (!assoc || assoc->acceptedFor(kStudyRoot).empty()) {
                if (assoc)
                    assoc->release();
                assoc = std::make_unique<Association>(peer, std::vector<ProposedContext> {{kStudyRoot, kLittleEndian}});
            }
            const auto ids = assoc->acceptedFor(kStudyRoot);
            if (ids.empty())
                fail(DicomErrc::NoPresentationContext, QStringLiteral("%1 no longer offers the query").arg(peer.describe()));
            DcmCommitResult r = query(*assoc, ids.front().first, instances);
            assoc->release();
            return r;
        };
        if (commit.empty()) {
            if (!find.empty())
                return byQuery();
            assoc->release();
            result.why = QStringLiteral("%1 offers neither storage commitment nor a Study Root query").arg(peer.describe());
            return result;
        }

        // Listening before the request, so that a quick report finds the port open.
        std::unique_ptr<Listener> listener;
        QString listenerWhy;
        if (ListenPort > 0) {
            try {
                listener = std::make_unique<Listener>(checkedPort(ListenPort), Tls, QStringList {peer.calledAE});
            } catch (const Error& e) {
                listenerWhy = e.description();
            }
        }

        // A PACS checks the instances of a request one after another, and
        // some take longer per instance the longer the list: requests of a
        // few hundred each. Where the reports come on associations of the
        // PACS's own, the requests all go out at once and are checked side
        // by side; where a report comes on the request's association, the
        // next request waits for it, so that the two never cross.
        const QString context = QStringLiteral("The storage commitment request to %1 failed").arg(peer.describe());
        QSet<QString> pending;
        std::vector<Report> reports;
        bool reportsOnListener = false;
        auto absorb = [&](const Incoming& in, bool fromListener) {
            if (in.report && pending.remove(in.report->transaction)) {
                reports.push_back(*in.report);
                reportsOnListener = reportsOnListener || fromListener;
            }
        };
        // Waits for reports until `done`; the outcome when it ends otherwise.
        QElapsedTimer waited;
        waited.start();
        auto await = [&](const std::function<bool()>& done) -> std::optional<DcmCommitResult::Outcome> {
            while (!done()) {
                if (assoc && ASC_dataWaiting(assoc->get(), 0)) {
                    bool closed = false;
                    absorb(receiveOne(assoc->get(), pending, closed), false);
                    if (closed) {
                        assoc->abort();
                        assoc.reset();
                    }
                }
                if (listener)
                    if (std::optional<Report> report = listener->poll(pending))
                        absorb(Incoming {report, std::nullopt}, true);
                if (done())
                    break;
                if (!assoc && !listener) {
                    result.why = QStringLiteral("%1 closed the association without a commitment report, and no "
                                                "report can come on an association of its own (%2)")
                                     .arg(peer.describe(), listenerWhy.isEmpty() ? QStringLiteral("[DICOM] CommitPort is not set")
                                                                                   : listenerWhy);
                    return DcmCommitResult::Outcome::NoAnswer;
                }
                if (waited.elapsed() >= static_cast<qint64>(WaitSeconds) * 1000) {
                    result.why = QStringLiteral("%1 sent no commitment report within %2 s%3")
                                     .arg(peer.describe())
                                     .arg(WaitSeconds)
                                     .arg(listenerWhy.isEmpty() ? QString() : QStringLiteral(" (") + listenerWhy + QLatin1Char(')'));
                    return DcmCommitResult::Outcome::NoAnswer;
                }
                if (KeepWaiting && !KeepWaiting())
                    return DcmCommitResult::Outcome::Aborted;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            return std::nullopt;
        };

        const size_t batch = static_cast<size_t>(std::max(1, BatchSize));
        for (size_t first = 0; first < instances.size(); first += batch) {
            if (!assoc)  // the PACS closed it after a report: on with a new one
                assoc = std::make_unique<Association>(peer, std::vector<ProposedContext> {{kCommitClass, kLittleEndian}});
            const auto contexts = assoc->acceptedFor(kCommitClass);
            if (contexts.empty())
                fail(DicomErrc::NoPresentationContext, context + QStringLiteral(": the context was not accepted again"));
            const QString transaction = DcmUtility::NewUID();
            ::DcmDataset action;
            action.putAndInsertString(DCM_TransactionUID, transaction.toLatin1().constData());
            for (size_t k = first; k < std::min(instances.size(), first + batch); ++k) {
                DcmItem* item = nullptr;
                action.findOrCreateSequenceItem(DCM_ReferencedSOPSequence, item, -2);
                item->putAndInsertString(DCM_ReferencedSOPClassUID, instances[k].SOPClassUID.toLatin1().constData());
                item->putAndInsertString(DCM_ReferencedSOPInstanceUID, instances[k].SOPInstanceUID.toLatin1().constData());
            }
            T_DIMSE_Message rq;
            std::memset(&rq, 0, sizeof rq);
            rq.CommandField = DIMSE_N_ACTION_RQ;
            T_DIMSE_N_ActionRQ& a = rq.msg.NActionRQ;
            a.MessageID = assoc->nextMessageId();
            OFStandard::strlcpy(a.RequestedSOPClassUID, kCommitClass, sizeof a.RequestedSOPClassUID);
            OFStandard::strlcpy(a.RequestedSOPInstanceUID, kCommitInstance, sizeof a.RequestedSOPInstanceUID);
            a.ActionTypeID = 1;
            a.DataSetType = DIMSE_DATASET_PRESENT;
            pending.insert(transaction);
            bool closed = DIMSE_sendMessageUsingMemoryData(assoc->get(), contexts.front().first, &rq, nullptr, &action,
                                                           nullptr, nullptr)
                              .bad();
            std::optional<T_DIMSE_N_ActionRSP> answer;
            while (!closed && !answer) {
                const Incoming in = receiveOne(assoc->get(), pending, closed);
                absorb(in, false);
                answer = in.action;
            }
            if (closed) {
                // A PACS may accept the context and still drop the association
                // at the request (Orthanc, for a modality not allowed to ask):
                // its query may still answer, on an association of its own.
                assoc->abort();
                assoc.reset();
                if (find.empty())
                    fail(DicomErrc::ConnectionLost, context + QStringLiteral(": the association was closed"));
                return byQuery();
            }
            if (const DIC_US status = answer->DimseStatus; status != STATUS_Success) {
                // the transaction is dead; a query can still tell what is there
                if (!find.empty())
                    return byQuery();
                assoc->release();
                result.why = QStringLiteral("%1 refused the storage commitment request with the status 0x%2")
                                 .arg(peer.describe())
                                 .arg(status, 4, 16, QLatin1Char('0'));
                return result;
            }
            if (!reportsOnListener && first + batch < instances.size())
                if (const auto outcome = await([&] { return !pending.contains(transaction); })) {
                    result.outcome = *outcome;
                    return result;
                }
        }
        if (const auto outcome = await([&] { return pending.isEmpty(); })) {
            result.outcome = *outcome;
            return result;
        }
        if (assoc)
            assoc->release();

        result.outcome = DcmCommitResult::Outcome::Answered;
        QSet<QString> named;
        for (const Report& report : reports) {
            named.unite(report.succeeded);
            for (const auto& f : report.failed) {
                named.insert(f.first);
                result.failed.push_back(f);
            }
        }
        for (const DcmStoredInstance& i : instances)
            if (!named.contains(i.SOPInstanceUID))
                result.failed.emplace_back(i.SOPInstanceUID, QStringLiteral("not named in the commitment report"));
    } catch (const Error& e) {
        result.outcome = DcmCommitResult::Outcome::NotOffered;
        result.why = e.description();
    } catch (const std::exception& e) {
        result.outcome = DcmCommitResult::Outcome::NotOffered;
        result.why = QString::fromLocal8Bit(e.what());
    }
    return result;
}

}  // namespace varnelo
