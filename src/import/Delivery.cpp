#include "import/Delivery.h"

#include "base/AppState.h"
#include "base/Convert.h"
#include "base/Logs.h"
#include "import/ImportLaunch.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace varnelo {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("varnelo::Delivery", text);
}


// A STOW-RS request carries at most this many instances, or bytes.
constexpr int kBatchImages = 50;
constexpr qint64 kBatchBytes = 16 * 1024 * 1024;
// A batch that is not full goes once its first image has waited this long.
constexpr qint64 kBatchWaitMs = 20;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

QString DeliveryDestination::name() const
{
    return web ? webDestinationName(web->base) : calledAE.trimmed();
}

QString DeliveryDestination::where() const
{
    return web ? webDestinationName(web->base) : host;
}

std::optional<DcmWebService> webServiceOf(int d)
{
    const AppState& s = appState();
    const QString url = (d == 1 ? s.RemoteURL : s.RemoteURL2).trimmed();
    if (url.isEmpty())
        return std::nullopt;
    DcmWebService web;
    web.base = QUrl(url);
    web.user = s.WebUser;
    web.password = s.WebPassword;
    web.token = s.WebToken;
    web.trustedCertificates = s.TLSTrustedCertificates;
    return web;
}

std::vector<DeliveryDestination> deliveryDestinations()
{
    const AppState& s = appState();
    std::vector<DeliveryDestination> list;
    for (int d = 1; d <= (s.UseDestination2 ? 2 : 1); ++d) {
        DeliveryDestination dest;
        dest.number = d;
        dest.host = d == 1 ? s.RemoteIP : s.RemoteIP2;
        try {
            dest.port = toInt32(d == 1 ? s.RemotePort : s.RemotePort2);
        } catch (const Error& e) {
            dest.portError = e;  // each send fails with it, as the operator sees
        }
        dest.callingAE = s.LocalAET;
        dest.calledAE = d == 1 ? s.RemoteAET : s.RemoteAET2;
        dest.tls = destinationTls(static_cast<std::int16_t>(d));
        dest.associations = std::clamp(d == 1 ? s.Associations : s.Associations2, 1, 8);
        dest.web = webServiceOf(d);
        list.push_back(dest);
    }
    return list;
}

// What the window thread and the workers share; guarded by `m`.
struct Delivery::Shared {
    struct Outcome {
        std::shared_ptr<Parcel> parcel;
        int d = 1;
        std::int32_t status = 0;
        std::optional<Error> error;
        QString reason;  // a DICOMweb service's words for a refused instance
    };
    struct Queued {
        std::shared_ptr<Parcel> parcel;
        qint64 at = 0;  // when it was queued
    };
    std::mutex m;
    std::condition_variable work;     // the workers wait here
    std::condition_variable answers;  // the window thread waits here
    std::deque<Queued> queue[2];
    std::deque<Outcome> outcomes;
    QStringList notes;       // lines for the debug log, from the workers
    bool holdBack = false;   // a prompt is open: nothing new is sent
    int holdTicket = 0;      // each prompt: idle workers release their associations
    bool closing = false;    // nothing more comes: workers end when their queue is empty
    bool abort = false;      // end now
    int releaseTicket[2] = {0, 0};  // a folder ended: a single association is released
    // the contexts the first association of a DICOM destination was
    // opened for, once it stored an image: the further ones are modelled on it
    std::optional<DcmSender::Contexts> firstContexts[2];
    int opened[2] = {0, 0};
    bool flush = false;  // the window thread waits: a DICOMweb batch goes as it is
};

struct Delivery::Worker {
    int d = 1;
    int index = 0;
    std::thread thread;
    std::atomic<bool> opening {false};  // negotiating a further association
    DcmWebClient* web = nullptr;        // guarded by Shared::m
};

namespace {

void dicomWorker(std::shared_ptr<Delivery::Shared> sh, Delivery::Worker* w, DeliveryDestination dest)
{
    using Shared = Delivery::Shared;
    const int q = dest.number - 1;
    DcmSender sender;
    if (w->index > 0) {
        // A further association: opened ahead, once the first one carries
        // images, and only then takes images of its own, so that a peer
        // that serves one association at a time never holds an image back.
        DcmSender::Contexts contexts;
        {
            std::unique_lock<std::mutex> lock(sh->m);
            sh->work.wait(lock, [&] { return sh->abort || sh->closing || sh->firstContexts[q].has_value(); });
            if (!sh->firstContexts[q] || sh->abort || sh->closing)
                return;
            contexts = *sh->firstContexts[q];
        }
        w->opening = true;
        try {
            sender.Open(dest.host, dest.port, dest.callingAE, dest.calledAE, dest.tls, contexts);
        } catch (const std::exception& e) {
            w->opening = false;
            const auto* ours = dynamic_cast<const Error*>(&e);
            const std::lock_guard<std::mutex> lock(sh->m);
            sh->notes << QStringLiteral("A further association to %1 was not opened; the import goes on with the others: %2")
                             .arg(dest.calledAE.trimmed(), ours ? ours->description() : QString::fromLocal8Bit(e.what()));
            return;
        }
        w->opening = false;
        const std::lock_guard<std::mutex> lock(sh->m);
        ++sh->opened[q];
    }
    // Only a single association is given up while a prompt is open, as
    // between folders: with several, one given up would let the peer turn to
    // another still waiting, and an image reopening it would wait behind that.
    const bool single = dest.associations == 1;
    int releaseSeen = 0, holdSeen = 0;
    {
        const std::lock_guard<std::mutex> lock(sh->m);
        releaseSeen = sh->releaseTicket[q];
        holdSeen = sh->holdTicket;
    }
    for (;;) {
        std::shared_ptr<Parcel> parcel;
        bool release = false;
        {
            std::unique_lock<std::mutex> lock(sh->m);
            sh->work.wait(lock, [&] {
                return sh->abort || sh->releaseTicket[q] != releaseSeen || (single && sh->holdBack && sh->holdTicket != holdSeen) ||
                    (!sh->holdBack && !sh->queue[q].empty()) || (sh->closing && sh->queue[q].empty());
            });
            if (sh->abort)
                break;
            if (sh->releaseTicket[q] != releaseSeen || (single && sh->holdBack && sh->holdTicket != holdSeen)) {
                releaseSeen = sh->releaseTicket[q];
                holdSeen = sh->holdTicket;
                release = true;
            } else if (!sh->holdBack && !sh->queue[q].empty()) {
                parcel = sh->queue[q].front().parcel;
                sh->queue[q].pop_front();
            } else {
                break;  // closing, and nothing left
            }
        }
        if (release) {
            sender.Release();
            continue;
        }
        Shared::Outcome out;
        out.parcel = parcel;
        out.d = dest.number;
        const int before = sender.OpenedCount();
        try {
            if (dest.portError)
                throw *dest.portError;
            out.status = sender.Store(*parcel->image, dest.host, dest.port, dest.callingAE, dest.calledAE, dest.tls);
        } catch (const Error& e) {
            out.error = e;
        } catch (const std::exception& e) {
            out.error = Error(DicomErrc::NetworkFailure, QString::fromLocal8Bit(e.what()));
        }
        const std::lock_guard<std::mutex> lock(sh->m);
        sh->opened[q] += sender.OpenedCount() - before;
        if (w->index == 0 && !out.error && out.status == 0 && !sh->firstContexts[q]) {
            sh->firstContexts[q] = sender.ContextsFor(dest.host, dest.port, dest.callingAE, dest.calledAE, dest.tls);
            sh->work.notify_all();
        }
        sh->outcomes.push_back(std::move(out));
        sh->answers.notify_all();
    }
    sender.Release();
}

void webWorker(std::shared_ptr<Delivery::Shared> sh, Delivery::Worker* w, DeliveryDestination dest)
{
    using Shared = Delivery::Shared;
    const int q = dest.number - 1;
    DcmWebClient client(*dest.web);
    {
        const std::lock_guard<std::mutex> lock(sh->m);
        if (sh->abort)
            return;
        w->web = &client;
    }
    for (;;) {
        std::vector<std::shared_ptr<Parcel>> batch;
        {
            std::unique_lock<std::mutex> lock(sh->m);
            for (;;) {
                if (sh->abort)
                    break;
                auto& queue = sh->queue[q];
                if (!sh->holdBack && !queue.empty()) {
                    qint64 bytes = 0;
                    int n = 0;
                    for (const auto& e : queue) {
                        if (n == kBatchImages || (n > 0 && bytes + e.parcel->bytes > kBatchBytes))
                            break;
                        bytes += e.parcel->bytes;
                        ++n;
                    }
                    const bool full = n < static_cast<int>(queue.size()) || n == kBatchImages;
                    if (full || sh->flush || sh->closing || nowMs() - queue.front().at >= kBatchWaitMs) {
                        for (int i = 0; i < n; ++i) {
                            batch.push_back(queue.front().parcel);
                            queue.pop_front();
                        }
                        break;
                    }
                    sh->work.wait_for(lock, std::chrono::milliseconds(5));
                    continue;
                }
                if (sh->closing && queue.empty())
                    break;
                sh->work.wait(lock);
            }
            if (batch.empty()) {
                w->web = nullptr;
                return;
            }
        }
        std::vector<DcmImage> images;
        for (const auto& p : batch)
            images.push_back(*p->image);
        std::vector<Shared::Outcome> outs(batch.size());
        try {
            std::vector<DcmWebOutcome> answers = client.Store(images);
            // a service that does not take an image's syntax gets it uncompressed
            std::vector<size_t> again;
            for (size_t i = 0; i < answers.size(); ++i)
                if (!answers[i].stored && answers[i].syntaxRefused())
                    again.push_back(i);
            if (!again.empty()) {
                std::vector<DcmImage> plain;
                for (size_t i : again)
                    plain.push_back(images[i]);
                const std::vector<DcmWebOutcome> second = client.Store(plain, true);
                for (size_t j = 0; j < again.size() && j < second.size(); ++j)
                    answers[again[j]] = second[j];
            }
            for (size_t i = 0; i < batch.size(); ++i) {
                outs[i].status = i < answers.size() && answers[i].stored ? 0 : (i < answers.size() && answers[i].status ? answers[i].status : 0xA700);
                if (i < answers.size() && !answers[i].stored)
                    outs[i].reason = answers[i].reason;
            }
        } catch (const Error& e) {
            for (auto& o : outs)
                o.error = e;
        } catch (const std::exception& e) {
            for (auto& o : outs)
                o.error = Error(DicomErrc::NetworkFailure, QString::fromLocal8Bit(e.what()));
        }
        const std::lock_guard<std::mutex> lock(sh->m);
        for (size_t i = 0; i < batch.size(); ++i) {
            outs[i].parcel = batch[i];
            outs[i].d = dest.number;
            sh->outcomes.push_back(std::move(outs[i]));
        }
        sh->answers.notify_all();
    }
}

}  // namespace

Delivery::Delivery(std::vector<DeliveryDestination> destinations, FailurePrompt& prompt, DeliveryListener& listener,
                   Hooks hooks)
    : destinations_(std::move(destinations))
    , prompt_(prompt)
    , listener_(listener)
    , hooks_(std::move(hooks))
    , shared_(std::make_shared<Shared>())
{
    // The images in flight: one for each association or a few batches for
    // each DICOMweb destination, and one being read.
    capacity_ = 1;
    bool single = true;
    for (const DeliveryDestination& d : destinations_) {
        single = single && !d.web && d.associations == 1;
        hasWeb_ = hasWeb_ || d.web.has_value();
        if (d.web) {
            capacity_ += (d.associations + 1) * kBatchImages;
            byteCapacity_ += (d.associations + 1) * kBatchBytes;
        } else {
            capacity_ += d.associations;
        }
    }
    // One association everywhere: one image after the other, as the walk
    // reads them, the next one read while the peer answers.
    if (single)
        capacity_ = 1;
    DcmNetwork::Prepare();  // before the first thread: it sets the process's environment
    startWorkers();
}

Delivery::~Delivery()
{
    {
        const std::lock_guard<std::mutex> lock(shared_->m);
        if (!finished_)
            shared_->abort = true;
        shared_->closing = true;
        for (const auto& w : workers_)
            if (w->web)
                w->web->Abort();
    }
    shared_->work.notify_all();
    endWorkers();
}

void Delivery::endWorkers()
{
    for (const auto& w : workers_) {
        if (!w->thread.joinable())
            continue;
        // an attempt still negotiating is not waited for: it ends within its bound
        if (w->opening)
            w->thread.detach();
        else
            w->thread.join();
    }
}

void Delivery::startWorkers()
{
    for (const DeliveryDestination& dest : destinations_) {
        for (int i = 0; i < dest.associations; ++i) {
            auto w = std::make_shared<Worker>();
            w->d = dest.number;
            w->index = i;
            // the worker's own state outlives the Delivery when it is left behind
            Worker* raw = w.get();
            std::shared_ptr<Shared> sh = shared_;
            if (dest.web)
                w->thread = std::thread([sh, w, dest] { webWorker(sh, w.get(), dest); });
            else
                w->thread = std::thread([sh, w, dest] { dicomWorker(sh, w.get(), dest); });
            (void)raw;
            workers_.push_back(std::move(w));
        }
    }
}

int Delivery::associationsOpened(int d) const
{
    const std::lock_guard<std::mutex> lock(shared_->m);
    return shared_->opened[d - 1];
}

void Delivery::wait(const std::function<bool()>& until, const std::function<void()>& whileWaiting)
{
    QElapsedTimer sinceYield;
    sinceYield.start();
    while (!until()) {
        if (takeOutcomes())
            continue;
        // Abort in the window: what was handed over to a DICOM peer still
        // goes (each send is bounded), as the image under way always did;
        // DICOMweb requests, which carry many images, end at once.
        if (!aborted_ && hasWeb_ && hooks_.aborted && hooks_.aborted()) {
            abortAll();
            continue;
        }
        if (sinceYield.elapsed() >= 20) {
            if (hooks_.yield)
                hooks_.yield();
            sinceYield.restart();
            continue;
        }
        if (whileWaiting) {
            whileWaiting();
        }
        std::unique_lock<std::mutex> lock(shared_->m);
        shared_->flush = true;
        shared_->work.notify_all();
        if (shared_->outcomes.empty())
            shared_->answers.wait_for(lock, std::chrono::milliseconds(10));
        shared_->flush = false;
    }
}

void Delivery::submit(std::shared_ptr<Parcel> parcel, const std::function<void()>& whileWaiting)
{
    takeOutcomes();
    if (aborted_)
        return;
    ++inFlight_;
    bytesInFlight_ += parcel->bytes;
    parcel->destination = 1;
    if (parcel->loadError) {
        // it never goes out: the operator hears of it as of a failed send
        onOutcome(parcel, 1, 0, parcel->loadError, parcel->loadErrorNumber);
    } else if (parcel->held[0]) {
        ++counts_.alreadyHeld[0];
        debug(QStringLiteral("Not sent again: %1 (SOP Instance UID %2) is already at %3")
                          .arg(parcel->path, parcel->instance.SOPInstanceUID, destinations_[0].name()));
        forward(parcel);
    } else {
        const std::lock_guard<std::mutex> lock(shared_->m);
        shared_->queue[0].push_back({parcel, nowMs()});
        shared_->work.notify_all();
    }
    wait([&] { return aborted_ || (inFlight_ < capacity_ && (byteCapacity_ == 0 || bytesInFlight_ < byteCapacity_)); },
         whileWaiting);
}

void Delivery::finish()
{
    wait([&] { return aborted_ || inFlight_ == 0; }, {});
    {
        const std::lock_guard<std::mutex> lock(shared_->m);
        shared_->closing = true;
    }
    shared_->work.notify_all();
    if (aborted_) {
        // what was under way when Abort came: its answer still counts
        for (const auto& w : workers_)
            if (w->thread.joinable() && !w->opening)
                w->thread.join();
        takeOutcomes();
    }
    finished_ = true;
    endWorkers();
    takeOutcomes();
}

void Delivery::debug(const QString& line) const
{
    if (hooks_.debug)
        hooks_.debug(line);
}

void Delivery::folderDone()
{
    const std::lock_guard<std::mutex> lock(shared_->m);
    for (const DeliveryDestination& d : destinations_)
        if (!d.web && d.associations == 1)
            ++shared_->releaseTicket[d.number - 1];
    shared_->work.notify_all();
}

bool Delivery::takeOutcomes()
{
    std::deque<Shared::Outcome> outs;
    QStringList notes;
    {
        const std::lock_guard<std::mutex> lock(shared_->m);
        outs.swap(shared_->outcomes);
        notes.swap(shared_->notes);
    }
    for (const QString& n : notes)
        debug(n);
    for (Shared::Outcome& o : outs) {
        if (!o.error && o.status != 0 && !o.reason.isEmpty())
            o.error = Error(o.status, o.reason);
        onOutcome(o.parcel, o.d, o.status, o.error, o.error ? o.error->number() : o.status);
    }
    return !outs.empty();
}

void Delivery::onOutcome(const std::shared_ptr<Parcel>& parcel, int d, std::int32_t status,
                         const std::optional<Error>& error, std::int32_t failureNumber)
{
    const DeliveryDestination& dest = destinations_[static_cast<size_t>(d - 1)];
    const bool ok = !error && status == 0;
    if (!parcel->loadError)
        listener_.sent(d, *parcel, ok);
    if (ok) {
        if (d == 1)
            debug(QStringLiteral("OK"));
        if (d == 1 || parcel->held[0])
            ++counts_.imported;  // it went somewhere in this run
        listener_.stored(d, *parcel);
        forward(parcel);
        return;
    }
    QString reason;
    if (parcel->loadError) {
        reason = parcel->loadError->description();  // logged when it happened
    } else if (error) {
        reason = error->description();
        if (hooks_.error)
            hooks_.error(error->number(), error->description() + QStringLiteral(" (") + parcel->path + QLatin1Char(')'));
    } else {
        if (hooks_.error)
            hooks_.error(status, QStringLiteral("%1 refused %2 with status 0x%3").arg(dest.where(), parcel->path, QString::number(status, 16)));
        reason = tr("%1 refused the image (status 0x%2).").arg(dest.name(), QString::number(status, 16));
    }
    if (aborted_) {
        // after Abort nobody is asked: the image failed
        listener_.undelivered(*parcel);
        if (!parcel->identityRefused)
            ++counts_.failed;
        --inFlight_;
        bytesInFlight_ -= parcel->bytes;
        return;
    }
    const std::int16_t answer = failure(*parcel, d, reason, failureNumber);
    if (answer == FailurePrompt::Retry) {
        if (parcel->loadError) {
            onOutcome(parcel, d, status, error, failureNumber);
            return;
        }
        debug(QStringLiteral("Send ") + parcel->path);  // each attempt is in the transfer log
        const std::lock_guard<std::mutex> lock(shared_->m);
        shared_->queue[d - 1].push_front({parcel, nowMs()});
        shared_->work.notify_all();
        return;
    }
    listener_.undelivered(*parcel);
    if (answer == FailurePrompt::Abort) {
        if (!parcel->identityRefused)
            ++counts_.failed;
        --inFlight_;
        bytesInFlight_ -= parcel->bytes;
        abortAll();
        if (hooks_.abort)
            hooks_.abort();
        return;
    }
    parcel->ignored = true;  // Ignore: on to the next destination
    forward(parcel);
}

void Delivery::forward(const std::shared_ptr<Parcel>& parcel)
{
    if (parcel->destination == 1 && destinations_.size() > 1) {
        parcel->destination = 2;
        if (parcel->held[1]) {
            ++counts_.alreadyHeld[1];
            debug(QStringLiteral("Not sent again: %1 (SOP Instance UID %2) is already at %3")
                              .arg(parcel->path, parcel->instance.SOPInstanceUID, destinations_[1].name()));
        } else if (aborted_) {
            listener_.undelivered(*parcel);
            if (!parcel->identityRefused)
                ++counts_.failed;
            --inFlight_;
            bytesInFlight_ -= parcel->bytes;
            return;
        } else {
            const std::lock_guard<std::mutex> lock(shared_->m);
            shared_->queue[1].push_back({parcel, nowMs()});
            shared_->work.notify_all();
            return;
        }
    }
    done(parcel);
}

void Delivery::done(const std::shared_ptr<Parcel>& parcel)
{
    if (!parcel->ignored) {
        if (!parcel->held[0] || (destinations_.size() > 1 && !parcel->held[1]))
            ++counts_.sentEverywhere;
    } else if (!parcel->identityRefused) {
        ++counts_.failed;
        ++counts_.ignored;
    }
    --inFlight_;
    bytesInFlight_ -= parcel->bytes;
}

void Delivery::abortAll()
{
    if (aborted_)
        return;
    aborted_ = true;
    std::deque<Shared::Queued> dropped[2];
    {
        const std::lock_guard<std::mutex> lock(shared_->m);
        shared_->abort = true;
        for (int q = 0; q < 2; ++q)
            dropped[q].swap(shared_->queue[q]);
        for (const auto& w : workers_)
            if (w->web)
                w->web->Abort();
    }
    shared_->work.notify_all();
    for (const auto& queue : dropped) {
        for (const Shared::Queued& e : queue) {
            // handed over, never sent: as if the walk had not reached it;
            // one that reached destination 1 counts as not sent to 2
            listener_.undelivered(*e.parcel);
            if (e.parcel->destination == 1)
                ++counts_.unsentAtAbort;
            else if (!e.parcel->identityRefused)
                ++counts_.failed;
            --inFlight_;
            bytesInFlight_ -= e.parcel->bytes;
        }
    }
}

DcmCommitResult proveHeld(const DcmWebService& service, const std::vector<DcmStoredInstance>& instances, int waitSeconds,
                          const std::function<bool()>& keepWaiting)
{
    struct State {
        std::mutex m;
        bool done = false;
        DcmCommitResult result;
        std::unique_ptr<DcmWebClient> client;
    };
    auto state = std::make_shared<State>();
    state->client = std::make_unique<DcmWebClient>(service);
    std::thread([state, instances] {
        DcmCommitResult result;
        try {
            QHash<QString, QStringList> byStudy;
            for (const DcmStoredInstance& i : instances)
                byStudy[i.StudyInstanceUID] << i.SOPInstanceUID;
            for (auto it = byStudy.cbegin(); it != byStudy.cend(); ++it) {
                const QSet<QString> held = state->client->InstancesOf(it.key());
                for (const QString& uid : it.value())
                    if (!held.contains(uid))
                        result.failed.emplace_back(uid, QStringLiteral("the service does not list it in its study"));
            }
            result.outcome = DcmCommitResult::Outcome::Answered;
            result.byQuery = true;
        } catch (const std::exception& e) {
            const auto* ours = dynamic_cast<const Error*>(&e);
            result.outcome = DcmCommitResult::Outcome::NotOffered;
            result.why = ours ? ours->description() : QString::fromLocal8Bit(e.what());
        }
        const std::lock_guard<std::mutex> lock(state->m);
        state->result = std::move(result);
        state->done = true;
    }).detach();  // it holds what it needs; Abort ends its request at once
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(state->m);
            if (state->done)
                return state->result;
        }
        const bool go = keepWaiting();
        if (!go || clock.elapsed() >= qint64(waitSeconds) * 1000) {
            state->client->Abort();
            DcmCommitResult result;
            result.outcome = go ? DcmCommitResult::Outcome::NoAnswer : DcmCommitResult::Outcome::Aborted;
            result.why = QStringLiteral("%1 did not list its instances within %2 s").arg(service.base.toDisplayString()).arg(waitSeconds);
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::int16_t Delivery::ask(const QString& text)
{
    {
        const std::lock_guard<std::mutex> lock(shared_->m);
        shared_->holdBack = true;
        ++shared_->holdTicket;  // an operator may leave the prompt open for long: free the peer meanwhile
    }
    shared_->work.notify_all();
    const std::int16_t answer = prompt_.ShowMessage(text);
    {
        const std::lock_guard<std::mutex> lock(shared_->m);
        shared_->holdBack = false;
    }
    shared_->work.notify_all();
    return answer;
}

std::int16_t Delivery::failure(const Parcel& parcel, int d, const QString& reason, std::int32_t number)
{
    debug(QStringLiteral("FAILED"));
    if (appState().AlwaysIgnore)
        return FailurePrompt::Ignore;
    const DeliveryDestination& dest = destinations_[static_cast<size_t>(d - 1)];
    const QString text = tr("Error #%1: Failed to transfer image to %2").arg(QString::number(number), dest.where()) +
        QStringLiteral("\r\n\r\n") + tr("Reason: %1").arg(reason) + QStringLiteral("\r\n\r\n") +
        tr("Image: %1").arg(hooks_.logName ? hooks_.logName(parcel.path) : parcel.path);
    return ask(text);
}

}  // namespace varnelo
