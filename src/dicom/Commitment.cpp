// Storage commitment as the requestor (Push Model), and the query that
// stands in for it where a PACS offers none.

#include "dicom/Association.h"
#include "dicom/Tls.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
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
    if (!transactions.isEmpty() && !transactions.contains(report.transaction))
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
// of the requests it serves. One per port: the requests to both
// destinations of a run share it, and each takes the reports of its own
// transactions. The sessions that share it run on threads of their own.
class Listener {
public:
    // The listener of `port`, opened now or shared with a request under way.
    static std::shared_ptr<Listener> on(std::uint16_t port, const DcmTls& tls, const QString& caller)
    {
        static std::mutex guard;
        static std::map<std::uint16_t, std::weak_ptr<Listener>> open;
        const std::lock_guard<std::mutex> lock(guard);
        std::shared_ptr<Listener> l = open[port].lock();
        if (!l) {
            l = std::make_shared<Listener>(port, tls);
            open[port] = l;
        }
        const std::lock_guard<std::mutex> own(l->mutex_);
        if (!l->callers_.contains(caller))
            l->callers_ << caller;
        return l;
    }

    Listener(std::uint16_t port, const DcmTls& tls)
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

    // A report for one of `transactions` that has come, if any.
    std::optional<Report> poll(const QSet<QString>& transactions)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!assoc_) {
            if (ASC_associationWaiting(net_, 0))
                accept();
        } else if (ASC_dataWaiting(assoc_, 0)) {
            bool closed = false;
            Incoming in = receiveOne(assoc_, {}, closed);
            if (closed)
                drop();
            if (in.report)
                inbox_.push_back(*in.report);
        }
        for (auto it = inbox_.begin(); it != inbox_.end(); ++it)
            if (transactions.contains(it->transaction)) {
                Report r = *it;
                inbox_.erase(it);
                return r;
            }
        return std::nullopt;
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

    std::mutex mutex_;
    QStringList callers_;
    std::vector<Report> inbox_;  // reports of transactions not asked for yet
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

// ---- DcmCommitSession ------------------------------------------------------

struct DcmCommitSession::Impl {
    enum class State { Unstarted, Committing, Querying, Failed };

    // Shared with the caller's thread, under m.
    std::mutex m;
    std::condition_variable cv;
    std::vector<DcmStoredInstance> incoming;  // added, not yet taken by the worker
    bool finishing = false;
    int waitSeconds = 0;
    bool stop = false;
    bool done = false;  // result holds the verdict
    bool exited = false;
    DcmCommitResult result;
    std::thread worker;
    QString described;  // the peer, for messages on the caller's side

    // The worker's own from here on.
    Peer peer;
    std::int32_t listenPort = 0;
    size_t batch = 200;
    State state = State::Unstarted;
    QString why;  // for Failed
    std::unique_ptr<Association> assoc;
    bool findOffered = false;
    std::shared_ptr<Listener> listener;
    QString listenerWhy;
    std::vector<DcmStoredInstance> all;
    std::vector<DcmStoredInstance> gathering;              // not yet requested
    std::deque<std::vector<DcmStoredInstance>> held;       // full requests waiting for the last report
    QSet<QString> pending;                                 // transactions without a report
    std::vector<Report> reports;
    bool reportsOnListener = false;
    QString lastTransaction;  // of the request whose report is awaited on the association

    void start()
    {
        auto a = std::make_unique<Association>(peer, std::vector<ProposedContext> {{kCommitClass, kLittleEndian},
                                                                                   {kStudyRoot, kLittleEndian}});
        findOffered = !a->acceptedFor(kStudyRoot).empty();
        if (a->acceptedFor(kCommitClass).empty()) {
            a->release();
            if (!findOffered)
                fail(DicomErrc::NoPresentationContext,
                     QStringLiteral("%1 offers neither storage commitment nor a Study Root query").arg(peer.describe()));
            state = State::Querying;
            return;
        }
        assoc = std::move(a);
        state = State::Committing;
        // listening before the first request, so that a quick report finds the port open
        if (listenPort > 0) {
            try {
                listener = Listener::on(checkedPort(listenPort), peer.tls, peer.calledAE);
            } catch (const Error& e) {
                listenerWhy = e.description();
            }
        }
    }

    void absorb(const Incoming& in, bool fromListener)
    {
        if (in.report && pending.remove(in.report->transaction)) {
            reports.push_back(*in.report);
            reportsOnListener = reportsOnListener || fromListener;
        }
    }

    // Reads what has come, without waiting.
    void poll()
    {
        if (state != State::Committing)
            return;
        if (assoc && ASC_dataWaiting(assoc->get(), 0)) {
            bool closed = false;
            absorb(receiveOne(assoc->get(), pending, closed), false);
            if (closed) {
                assoc->abort();
                assoc.reset();
            }
        }
        if (listener)
            while (std::optional<Report> report = listener->poll(pending))
                absorb(Incoming {report, std::nullopt}, true);
        sendHeld();
    }

    // A request may go when no report can cross it on the association: the
    // PACS reports on associations of its own, or the last report is in.
    bool maySend() const { return reportsOnListener || lastTransaction.isEmpty() || !pending.contains(lastTransaction); }

    void sendHeld()
    {
        while (state == State::Committing && !held.empty() && maySend()) {
            std::vector<DcmStoredInstance> next = std::move(held.front());
            held.pop_front();
            send(next);
        }
    }

    void send(const std::vector<DcmStoredInstance>& instances)
    {
        const QString context = QStringLiteral("The storage commitment request to %1 failed").arg(peer.describe());
        if (!assoc) {  // the PACS closed it after a report: on with a new one
            assoc = std::make_unique<Association>(peer, std::vector<ProposedContext> {{kCommitClass, kLittleEndian}});
            if (assoc->acceptedFor(kCommitClass).empty())
                fail(DicomErrc::NoPresentationContext, context + QStringLiteral(": the context was not accepted again"));
        }
        const QString transaction = DcmUtility::NewUID();
        ::DcmDataset action;
        action.putAndInsertString(DCM_TransactionUID, transaction.toLatin1().constData());
        for (const DcmStoredInstance& i : instances) {
            DcmItem* item = nullptr;
            action.findOrCreateSequenceItem(DCM_ReferencedSOPSequence, item, -2);
            item->putAndInsertString(DCM_ReferencedSOPClassUID, i.SOPClassUID.toLatin1().constData());
            item->putAndInsertString(DCM_ReferencedSOPInstanceUID, i.SOPInstanceUID.toLatin1().constData());
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
        bool closed = DIMSE_sendMessageUsingMemoryData(assoc->get(), assoc->acceptedFor(kCommitClass).front().first, &rq,
                                                       nullptr, &action, nullptr, nullptr)
                          .bad();
        std::optional<T_DIMSE_N_ActionRSP> answer;
        while (!closed && !answer) {
            const Incoming in = receiveOne(assoc->get(), pending, closed);
            absorb(in, false);
            answer = in.action;
        }
        if (closed) {
            // A PACS may accept the context and still drop the association at
            // the request (Orthanc, for a modality not allowed to ask): its
            // query may still answer.
            assoc->abort();
            assoc.reset();
            if (!findOffered)
                fail(DicomErrc::ConnectionLost, context + QStringLiteral(": the association was closed"));
            state = State::Querying;
            return;
        }
        if (answer->DimseStatus != STATUS_Success) {
            // the transaction is dead; a query can still tell what is there
            assoc->release();
            assoc.reset();
            if (!findOffered)
                fail(DicomErrc::QueryFailed, QStringLiteral("%1 refused the storage commitment request with the status 0x%2")
                                                 .arg(peer.describe())
                                                 .arg(answer->DimseStatus, 4, 16, QLatin1Char('0')));
            state = State::Querying;
            return;
        }
        lastTransaction = transaction;
    }

    // Runs `step`; an error ends the commitment with its reason.
    template <class F>
    void guarded(F step)
    {
        try {
            step();
        } catch (const Error& e) {
            state = State::Failed;
            why = e.description();
        } catch (const std::exception& e) {
            state = State::Failed;
            why = QString::fromLocal8Bit(e.what());
        }
        if (state == State::Failed && assoc) {
            assoc->abort();
            assoc.reset();
        }
    }

    void run();
    void add(DcmStoredInstance instance);
    std::optional<DcmCommitResult> judge(const QElapsedTimer& waited);

    DcmCommitResult queryAll()
    {
        DcmCommitResult result;
        try {
            Association a(peer, {{kStudyRoot, kLittleEndian}});
            const auto ids = a.acceptedFor(kStudyRoot);
            if (ids.empty())
                fail(DicomErrc::NoPresentationContext, QStringLiteral("%1 does not offer the query").arg(peer.describe()));
            result = query(a, ids.front().first, all);
            a.release();
        } catch (const Error& e) {
            result.outcome = DcmCommitResult::Outcome::NotOffered;
            result.why = e.description();
        }
        return result;
    }
};

// Sessions whose worker was still inside a bounded network wait (a connect,
// a response) when the session ended: the process waits for them at exit
// rather than pulling DCMTK away from under them.
class Lingering {
public:
    static Lingering& instance()
    {
        static Lingering l;
        return l;
    }
    void adopt(std::thread t)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        threads_.push_back(std::move(t));
    }
    ~Lingering()
    {
        for (std::thread& t : threads_)
            if (t.joinable())
                t.join();
    }

private:
    std::mutex mutex_;
    std::vector<std::thread> threads_;
};

DcmCommitSession::DcmCommitSession(const QString& host, std::int32_t port, const QString& callingAE,
                                   const QString& calledAE, const DcmTls& tls, std::int32_t listenPort, int batchSize)
    : impl_(std::make_shared<Impl>())
{
    Impl& d = *impl_;
    d.peer.host = host.trimmed();
    d.peer.callingAE = callingAE.trimmed();
    d.peer.calledAE = calledAE.trimmed();
    d.peer.tls = tls;
    d.listenPort = listenPort;
    d.batch = static_cast<size_t>(std::max(1, batchSize));
    d.guarded([&] { d.peer.port = checkedPort(port); });
    d.described = d.peer.describe();
    ensureInitialised();
    d.worker = std::thread([self = impl_] { self->run(); });
}

DcmCommitSession::~DcmCommitSession()
{
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.m);
    d.stop = true;
    d.cv.notify_all();
    // A worker inside a connect or waiting for a response cannot be pulled
    // out of it; it ends on its own bound, and nobody waits for it here.
    const bool ended = d.cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return d.exited; });
    lock.unlock();
    if (ended)
        d.worker.join();
    else
        Lingering::instance().adopt(std::move(d.worker));
}

void DcmCommitSession::Add(const DcmStoredInstance& instance)
{
    Impl& d = *impl_;
    const std::lock_guard<std::mutex> lock(d.m);
    d.incoming.push_back(instance);
}

DcmCommitResult DcmCommitSession::Finish(int waitSeconds, const std::function<bool()>& keepWaiting)
{
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.m);
    d.finishing = true;
    d.waitSeconds = waitSeconds;
    d.cv.notify_all();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (d.cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return d.done; }))
            return d.result;
        lock.unlock();
        const bool goOn = !keepWaiting || keepWaiting();
        lock.lock();
        if (d.done)
            return d.result;
        DcmCommitResult result;
        if (!goOn) {
            result.outcome = DcmCommitResult::Outcome::Aborted;
        } else if (waited.elapsed() >= static_cast<qint64>(waitSeconds) * 1000 + 1000) {
            // the worker is held in a network wait of its own past the bound
            result.outcome = DcmCommitResult::Outcome::NoAnswer;
            result.why = QStringLiteral("%1 did not answer within %2 s").arg(d.described).arg(waitSeconds);
        } else {
            continue;
        }
        d.stop = true;
        d.cv.notify_all();
        return result;
    }
}

// ---- the worker ------------------------------------------------------------

void DcmCommitSession::Impl::run()
{
    // Requests go out while the walk still sends, so that the PACS checks
    // the first instances while it stores the rest. A PACS that takes one
    // association at a time answers the commitment's only when the walk's
    // own has ended; that wait is here, never in the walk.
    bool finishingSeen = false;
    int attempts = 0;  // to open the association: once during the walk, once after
    QElapsedTimer waited;
    std::optional<DcmCommitResult> verdict;
    for (;;) {
        std::vector<DcmStoredInstance> news;
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait_for(lock, std::chrono::milliseconds(20),
                        [&] { return stop || (finishing && !finishingSeen); });
            if (stop)
                break;
            news.swap(incoming);
            if (finishing && !finishingSeen) {
                finishingSeen = true;
                waited.start();
            }
        }
        for (DcmStoredInstance& i : news)
            add(std::move(i));
        if (finishingSeen && !gathering.empty()) {
            held.push_back(std::move(gathering));
            gathering.clear();
        }
        if (state == State::Unstarted && !held.empty() && attempts < (finishingSeen ? 2 : 1)) {
            attempts = finishingSeen ? 2 : 1;
            guarded([&] { start(); });
            // Refused or not answered while the walk holds the PACS: asked
            // again once the walk has ended.
            if (state == State::Failed && !finishingSeen)
                state = State::Unstarted;
        }
        guarded([&] { poll(); });
        if (finishingSeen && (verdict = judge(waited)))
            break;
    }
    if (assoc) {
        if (verdict)
            assoc->release();
        else
            assoc->abort();
        assoc.reset();
    }
    listener.reset();
    const std::lock_guard<std::mutex> lock(m);
    if (verdict) {
        result = std::move(*verdict);
        done = true;
    }
    exited = true;
    cv.notify_all();
}

void DcmCommitSession::Impl::add(DcmStoredInstance instance)
{
    all.push_back(instance);
    if (state == State::Failed || state == State::Querying)
        return;
    gathering.push_back(std::move(instance));
    if (gathering.size() < batch)
        return;
    held.push_back(std::move(gathering));
    gathering.clear();
}

// The result once everything is answered or the wait is over; nothing while
// reports are still to come.
std::optional<DcmCommitResult> DcmCommitSession::Impl::judge(const QElapsedTimer& waited)
{
    DcmCommitResult result;
    if (all.empty()) {
        result.outcome = DcmCommitResult::Outcome::Answered;
        return result;
    }
    if (state == State::Committing && (!pending.isEmpty() || !held.empty())) {
        if (!assoc && !listener) {
            result.outcome = DcmCommitResult::Outcome::NoAnswer;
            result.why = QStringLiteral("%1 closed the association without a commitment report, and no report can come "
                                        "on an association of its own (%2)")
                             .arg(described, listenerWhy.isEmpty() ? QStringLiteral("[DICOM] CommitPort is not set")
                                                                   : listenerWhy);
            return result;
        }
        if (waited.elapsed() >= static_cast<qint64>(waitSeconds) * 1000) {
            result.outcome = DcmCommitResult::Outcome::NoAnswer;
            result.why = QStringLiteral("%1 sent no commitment report within %2 s%3")
                             .arg(described)
                             .arg(waitSeconds)
                             .arg(listenerWhy.isEmpty() ? QString() : QStringLiteral(" (") + listenerWhy + QLatin1Char(')'));
            return result;
        }
        return std::nullopt;
    }
    if (state == State::Failed || state == State::Unstarted) {
        result.outcome = DcmCommitResult::Outcome::NotOffered;
        result.why = why;
        return result;
    }
    if (state == State::Querying)
        return queryAll();
    result.outcome = DcmCommitResult::Outcome::Answered;
    QSet<QString> named;
    for (const Report& report : reports) {
        named.unite(report.succeeded);
        for (const auto& f : report.failed) {
            named.insert(f.first);
            result.failed.push_back(f);
        }
    }
    for (const DcmStoredInstance& i : all)
        if (!named.contains(i.SOPInstanceUID))
            result.failed.emplace_back(i.SOPInstanceUID, QStringLiteral("not named in the commitment report"));
    return result;
}

}  // namespace varnelo
