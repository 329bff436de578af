// Storage commitment as the requestor (Push Model), and the query that
// stands in for it where a PACS offers none.

#include "base/AppState.h"
#include "dicomnet/Association.h"
#include "dicomnet/CommitListener.h"
#include "dicomnet/CommitReport.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>

#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
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
const std::vector<std::string> kLittleEndian = [] {
    std::vector<std::string> uids;
    for (const conformance::NamedUid& ts : conformance::littleEndianSyntaxes())
        uids.emplace_back(ts.uid);
    return uids;
}();

QString stringIn(DcmItem& item, const DcmTagKey& key)
{
    OFString value;
    item.findAndGetOFString(key, value);
    return QString::fromLatin1(value.c_str()).trimmed();
}

// DCMTK keeps the socket of a connection to itself; a member pointer taken
// through a derived class reaches it.
struct SocketOf : DcmTransportConnection {
    using DcmTransportConnection::getSocket;
};

// Waits at most `ms` for something to read on the association.
void waitForData(const Association& assoc, int ms)
{
    DcmTransportConnection* c = DUL_getTransportConnection(assoc.get()->DULassociation);
    if (!c)
        return;
    pollfd p {(c->*(&SocketOf::getSocket))(), POLLIN, 0};
    ::poll(&p, 1, ms);
}

// How long a report on the request's association may take before the
// association goes back to a walk that waits for the PACS.
constexpr int GraceMs = 2000;

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
        const QByteArray study = it.key().toLatin1();
        for (const conformance::QueryKey& k : conformance::commitQueryKeys())
            keys.putAndInsertString(DcmTagKey(k.group, k.element), k.value ? k.value : study.constData());
        QSet<QString> found;
        const DIC_US status = findOn(
            assoc, id, keys, [&](::DcmDataset& answer) { found.insert(stringIn(answer, DCM_SOPInstanceUID)); },
            DicomTimeouts::DimseSeconds, QStringLiteral("The query of %1 for the study %2 failed").arg(assoc.peer().describe(), it.key()));
        if (status != STATUS_Success)
            fail(DicomErrc::QueryFailed, QStringLiteral("%1 answered the query for the study %2 with the status 0x%3").arg(assoc.peer().describe(), it.key()).arg(status, 4, 16, QLatin1Char('0')));
        for (const DcmStoredInstance* i : it.value())
            if (!found.contains(i->SOPInstanceUID))
                result.failed.emplace_back(i->SOPInstanceUID, QStringLiteral("not found by a query for the instances of its study"));
    }
    result.outcome = DcmCommitResult::Outcome::Answered;
    return result;
}

}  // namespace

// ---- DcmCommitSession ------------------------------------------------------

struct DcmCommitSession::Impl {
    enum class State { Unstarted,
                       Committing,
                       Querying,
                       Failed,
                       NeedsListener };

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
    QString described;               // the peer, for messages on the caller's side
    std::atomic<bool> halt {false};  // stop, as the worker's network waits see it

    // The worker's own from here on.
    Peer peer;
    std::int32_t listenPort = 0;
    QStringList commitHosts;
    size_t batch = 200;
    State state = State::Unstarted;
    QString why;           // for Failed and NeedsListener
    bool refused = false;  // neither commitment nor a query: not asked again
    std::unique_ptr<Association> assoc;
    bool findOffered = false;
    std::shared_ptr<CommitListener> listener;
    QString listenerWhy;
    bool reportsLost = false;  // the association closed under a report, and no listener took it
    std::vector<DcmStoredInstance> all;
    std::vector<DcmStoredInstance> gathering;                   // not yet requested
    std::deque<std::vector<DcmStoredInstance>> held;            // full requests not yet sent
    std::map<QString, std::vector<DcmStoredInstance>> pending;  // by transaction, without a report
    std::vector<CommitReport> reports;
    bool reportsOnListener = false;
    bool walkDone = false;
    QString awaitedHere;  // the request whose report is awaited on the association
    QElapsedTimer awaitedSince;

    TransactionSize known() const
    {
        return [this](const QString& transaction) -> std::optional<size_t> {
            const auto it = pending.find(transaction);
            if (it == pending.end())
                return std::nullopt;
            return it->second.size();
        };
    }

    bool awaitingHere() const { return !reportsOnListener && !awaitedHere.isEmpty() && pending.count(awaitedHere); }

    void start()
    {
        auto a = std::make_unique<Association>(peer, proposedFor(conformance::Commit));
        findOffered = !a->acceptedFor(kStudyRoot).empty();
        if (a->acceptedFor(kCommitClass).empty()) {
            a->release();
            if (!findOffered) {
                refused = true;
                fail(DicomErrc::NoPresentationContext,
                     QStringLiteral("%1 offers neither storage commitment nor a Study Root query").arg(peer.describe()));
            }
            state = State::Querying;
            return;
        }
        assoc = std::move(a);
        state = State::Committing;
        // listening before the first request, so that a quick report finds the port open
        if (listenPort > 0) {
            try {
                listener = CommitListener::on(checkedPort(listenPort), peer.tls);
                listener->admit(this, {addressesOf(QStringList {peer.host} + commitHosts), peer.calledAE});
            } catch (const Error& e) {
                listener.reset();
                listenerWhy = e.description();
            }
        }
    }

    void absorb(CommitReport report, bool fromListener)
    {
        const auto it = pending.find(report.transaction);
        if (it == pending.end())
            return;
        if (!report.refused.isEmpty())
            for (const DcmStoredInstance& i : it->second)
                report.failed.emplace_back(i.SOPInstanceUID, report.refused);
        reports.push_back(std::move(report));
        pending.erase(it);
        reportsOnListener = reportsOnListener || fromListener;
    }

    // The PACS released or dropped the association.
    void peerClosed()
    {
        const bool underReport = awaitingHere();
        assoc->abort();
        assoc.reset();
        awaitedHere.clear();
        if (!underReport || listener)
            return;  // a listener takes the report, if one comes
        if (listenPort == 0) {
            state = State::NeedsListener;
            why = QStringLiteral("%1 closed the association without a commitment report: it reports on an association "
                                 "of its own, and [DICOM] CommitPort is not set")
                      .arg(peer.describe());
        } else {
            reportsLost = true;
        }
    }

    // Leaves the PACS to the walk. A report still awaited on the association
    // cannot come any more: its instances are asked for again later.
    void giveBack()
    {
        if (awaitingHere()) {
            held.push_front(std::move(pending[awaitedHere]));
            pending.erase(awaitedHere);
        }
        awaitedHere.clear();
        assoc->release();
        assoc.reset();
    }

    // Reads what has come, without waiting; sends what may go.
    void poll(bool done)
    {
        walkDone = done;
        if (state != State::Committing)
            return;
        if (assoc && ASC_dataWaiting(assoc->get(), 0)) {
            bool closed = false;
            CommitIncoming in = receiveCommitMessage(assoc->get(), known(), closed);
            if (in.report)
                absorb(std::move(*in.report), false);
            if (closed)
                peerClosed();
        }
        if (listener)
            for (CommitReport& r : listener->take(this))
                absorb(std::move(r), true);
        if (state != State::Committing)
            return;
        const bool walkWants = !walkDone && WalkTraffic::holds(peer);
        if (assoc && !awaitingHere() && (walkWants || held.empty()))
            giveBack();
        else if (assoc && walkWants && awaitedSince.elapsed() > GraceMs)
            giveBack();
        if (!walkWants)
            sendHeld();
    }

    // A request may go when no report can cross it on the association: the
    // PACS reports on associations of its own, or the last report is in.
    bool maySend() const { return reportsOnListener || !pending.count(awaitedHere); }

    void sendHeld()
    {
        while (state == State::Committing && !held.empty() && maySend() && !halt) {
            std::vector<DcmStoredInstance> next = std::move(held.front());
            held.pop_front();
            if (!send(next))
                return;
        }
    }

    // Whether the request went: not when the association could not be
    // opened while the walk goes on.
    bool send(const std::vector<DcmStoredInstance>& instances)
    {
        const QString context = QStringLiteral("The storage commitment request to %1 failed").arg(peer.describe());
        if (!assoc) {
            try {
                assoc = std::make_unique<Association>(peer, std::vector<ProposedContext> {{kCommitClass, kLittleEndian}});
            } catch (const Error&) {
                if (walkDone)
                    throw;
                // the walk may have taken the PACS first: the next window
                held.push_front(instances);
                return false;
            }
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
        pending[transaction] = instances;
        if (listener)
            listener->expect(this, transaction, instances.size());
        bool closed = DIMSE_sendMessageUsingMemoryData(assoc->get(), assoc->acceptedFor(kCommitClass).front().first, &rq,
                                                       nullptr, &action, nullptr, nullptr)
                          .bad();
        // the answer, in steps short enough for the end of the run to stop it
        std::optional<T_DIMSE_N_ActionRSP> answer;
        QElapsedTimer waited;
        waited.start();
        while (!closed && !answer) {
            if (halt || waited.elapsed() > DicomTimeouts::DimseSeconds * 1000) {
                closed = true;
                break;
            }
            if (!ASC_dataWaiting(assoc->get(), 1))
                continue;
            CommitIncoming in = receiveCommitMessage(assoc->get(), known(), closed);
            if (in.report)
                absorb(std::move(*in.report), false);
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
            return true;
        }
        if (answer->DimseStatus != STATUS_Success) {
            // the transaction is dead; a query can still tell what is there
            assoc->release();
            assoc.reset();
            if (!findOffered)
                fail(DicomErrc::QueryFailed, QStringLiteral("%1 refused the storage commitment request with the status 0x%2").arg(peer.describe()).arg(answer->DimseStatus, 4, 16, QLatin1Char('0')));
            state = State::Querying;
            return true;
        }
        awaitedHere = transaction;
        awaitedSince.start();
        return true;
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
            Association a(peer, proposedFor(conformance::CommitQuery));
            result = query(a, a.require(kStudyRoot, QStringLiteral("the query")), all);
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
    d.commitHosts = appState().CommitHosts;
    d.batch = static_cast<size_t>(std::max(1, batchSize));
    d.guarded([&] { d.peer.port = checkedPort(port); });
    d.described = d.peer.describe();
    ensureNetworkInitialised();
    d.worker = std::thread([self = impl_] { self->run(); });
}

DcmCommitSession::~DcmCommitSession()
{
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.m);
    d.stop = true;
    d.halt = true;
    d.cv.notify_all();
    // A worker inside a connect cannot be pulled out of it; it ends on its
    // own bound, and nobody waits for it here.
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
        d.halt = true;
        d.cv.notify_all();
        return result;
    }
}

// ---- the worker ------------------------------------------------------------

void DcmCommitSession::Impl::run()
{
    // Requests go out while the walk holds no association with the PACS:
    // between folders, while the operator answers a failure, and after the
    // walk. A PACS that takes one association at a time then never keeps
    // the walk waiting for longer than one request and its prompt report.
    bool finishingSeen = false;
    int attempts = 0;  // to open the association: once during the walk, once after
    QElapsedTimer waited;
    std::optional<DcmCommitResult> verdict;
    for (;;) {
        std::vector<DcmStoredInstance> news;
        // a report awaited on the association is read as it comes: the walk
        // or the end of the run may be waiting for it
        const bool onSocket = assoc && awaitingHere();
        if (onSocket)
            waitForData(*assoc, 20);
        {
            std::unique_lock<std::mutex> lock(m);
            if (!onSocket)
                cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return stop || (finishing && !finishingSeen); });
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
        if (state == State::Unstarted && !held.empty() && attempts < (finishingSeen ? 2 : 1) &&
            (finishingSeen || !WalkTraffic::holds(peer))) {
            attempts = finishingSeen ? 2 : 1;
            guarded([&] { start(); });
            // Not answered while the walk goes on: asked again once it has
            // ended, unless the PACS refused what was asked.
            if (state == State::Failed && !finishingSeen && !refused)
                state = State::Unstarted;
        }
        guarded([&] { poll(finishingSeen); });
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
    if (listener)
        listener->leave(this);
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
    if (state == State::Failed || state == State::Querying || state == State::NeedsListener)
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
    if (state == State::NeedsListener) {
        result.outcome = DcmCommitResult::Outcome::NeedsListener;
        result.why = why;
        return result;
    }
    if (state == State::Committing && (!pending.empty() || !held.empty())) {
        if (reportsLost && !listener) {
            result.outcome = DcmCommitResult::Outcome::NoAnswer;
            result.why = QStringLiteral("%1 closed the association without a commitment report, and no report can come "
                                        "on an association of its own (%2)")
                             .arg(described, listenerWhy);
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
    for (const CommitReport& report : reports) {
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
