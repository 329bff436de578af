#include "import/Holdings.h"

#include "base/Error.h"
#include "dicomnet/DicomWeb.h"
#include "dicomnet/StudyQuery.h"

#include <QThread>

#include <atomic>
#include <mutex>
#include <thread>

namespace varnelo {

namespace {

// One study of the medium, with what its images will carry.
struct StudyTask {
    QString uid;
    DcmPatient carried;
    std::int32_t total = 0;
    QList<std::pair<QString, QStringList>> series;  // Series Instance UID, SOP Instance UIDs
};

// Shared between the waiting caller and a destination's thread; the thread
// may outlive an aborted wait, so it owns its share.
struct Job {
    HoldingsDestination destination;
    QList<StudyTask> tasks;
    int timeoutSeconds = 10;
    std::atomic<bool> cancel {false};
    std::atomic<bool> done {false};
    std::mutex lock;
    DestinationHoldings result;
};

bool sameText(const QString& a, const QString& b)
{
    return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

void run(const std::shared_ptr<Job>& job)
{
    DestinationHoldings out;
    out.asked = true;
    out.complete = true;
    try {
        if (job->destination.web) {
            // A DICOMweb service: QIDO-RS lists each study's instances. Whom
            // it holds a study under is not asked here.
            DcmWebClient web(*job->destination.web);
            for (const StudyTask& task : job->tasks) {
                if (job->cancel)
                    throw Error(0, QStringLiteral("the check was aborted"));
                const QSet<QString> found = web.InstancesOf(task.uid);
                std::int32_t held = 0;
                for (const auto& series : task.series)
                    for (const QString& uid : series.second)
                        if (found.contains(uid)) {
                            out.instances.insert(uid);
                            ++held;
                        }
                out.studies.insert(task.uid, studyState(!found.isEmpty(), task.carried, task.carried, held, task.total));
            }
            std::lock_guard<std::mutex> guard(job->lock);
            job->result = std::move(out);
            job->done = true;
            return;
        }
        DcmStudyQueryClient client;
        client.PeerHost = job->destination.host;
        client.PeerPort = job->destination.port;
        client.CalledAETitle = job->destination.calledAE;
        client.CallingAETitle = job->destination.callingAE;
        client.Tls = job->destination.tls;
        client.TimeoutSeconds = job->timeoutSeconds;
        for (const StudyTask& task : job->tasks) {
            if (job->cancel)
                throw Error(0, QStringLiteral("the check was aborted"));
            const DcmStudyHolding holding = client.FindStudy(task.uid);
            std::int32_t held = 0;
            if (holding.Found) {
                // the UIDs decide: a count alone cannot say which images
                for (const auto& [seriesUid, uids] : task.series) {
                    if (job->cancel)
                        throw Error(0, QStringLiteral("the check was aborted"));
                    if (uids.isEmpty())
                        continue;
                    const QSet<QString> found = client.FindInstances(task.uid, seriesUid, uids);
                    for (const QString& uid : uids)
                        if (found.contains(uid)) {
                            out.instances.insert(uid);
                            ++held;
                        }
                }
            }
            // the study under several patients: the one that is not ours speaks
            DcmPatient atPacs = holding.Patient;
            for (const DcmPatient& p : holding.AllPatients)
                if (studyState(true, p, task.carried, held, task.total).state == HeldState::OtherPatient)
                    atPacs = p;
            out.studies.insert(task.uid, studyState(holding.Found, atPacs, task.carried, held, task.total));
        }
    } catch (const std::exception& e) {
        out = DestinationHoldings();
        out.why = QString::fromLocal8Bit(e.what());
        if (const auto* error = dynamic_cast<const Error*>(&e))
            out.why = error->description();
    }
    std::lock_guard<std::mutex> guard(job->lock);
    job->result = std::move(out);
    job->done = true;
}

}  // namespace

StudyAtDestination studyState(bool found, const DcmPatient& atPacs, const DcmPatient& carried, std::int32_t held,
                              std::int32_t total)
{
    StudyAtDestination s;
    s.total = total;
    s.held = held;
    if (!found)
        return s;
    s.atPacs = atPacs;
    const QString issuerThere = atPacs.IssuerOfPatientID.trimmed();
    const QString issuerHere = carried.IssuerOfPatientID.trimmed();
    const bool otherId = atPacs.PatientID.trimmed() != carried.PatientID.trimmed();
    const bool otherIssuer = !issuerThere.isEmpty() && !issuerHere.isEmpty() && !sameText(issuerThere, issuerHere);
    if (otherId || otherIssuer)
        s.state = HeldState::OtherPatient;
    else if (held > 0 && held >= total)
        s.state = HeldState::Held;
    else if (held > 0)
        s.state = HeldState::Partly;
    return s;
}

QList<DestinationHoldings> askHoldings(const MediumPatients& medium, const CarriedIdentity& carried,
                                       const QList<HoldingsDestination>& destinations, int timeoutSeconds,
                                       const std::function<bool()>& keepWaiting)
{
    QList<StudyTask> tasks;
    for (const auto& [index, study] : medium.allStudies()) {
        StudyTask task;
        task.uid = study->uid;
        task.carried = carried(index);
        task.total = study->images;
        for (const MediumSeries& series : study->series)
            if (!series.uid.isEmpty())
                task.series.append({series.uid, series.instances});
        tasks << task;
    }
    QList<std::shared_ptr<Job>> jobs;
    for (const HoldingsDestination& d : destinations) {
        auto job = std::make_shared<Job>();
        job->destination = d;
        job->tasks = tasks;
        job->timeoutSeconds = timeoutSeconds;
        job->result.aet = d.calledAE.trimmed();
        jobs << job;
        if (tasks.isEmpty()) {
            job->result.asked = job->result.complete = true;
            job->done = true;
            continue;
        }
        // detached: an aborted wait leaves it to end within its bounds
        std::thread([job] { run(job); }).detach();
    }
    bool aborted = false;
    for (;;) {
        bool all = true;
        for (const auto& job : jobs)
            all = all && job->done;
        if (all)
            break;
        if (keepWaiting && !keepWaiting()) {
            aborted = true;
            break;
        }
        QThread::msleep(20);
    }
    QList<DestinationHoldings> out;
    for (const auto& job : jobs) {
        job->cancel = true;
        DestinationHoldings d;
        if (job->done) {
            std::lock_guard<std::mutex> guard(job->lock);
            d = job->result;
        } else {
            d.why = aborted ? QStringLiteral("the check was aborted") : QString();
        }
        d.aet = job->destination.calledAE.trimmed();
        if (!d.asked) {
            d.studies.clear();
            for (const StudyTask& t : tasks) {
                StudyAtDestination s;
                s.state = HeldState::NotAsked;
                s.total = t.total;
                d.studies.insert(t.uid, s);
            }
        }
        // every UID decided: each series of each study has its UIDs known
        if (d.asked)
            for (const StudyTask& t : tasks) {
                std::int32_t known = 0;
                for (const auto& series : t.series)
                    known += static_cast<std::int32_t>(series.second.size());
                d.complete = d.complete && known == t.total;
            }
        out << d;
    }
    return out;
}

}  // namespace varnelo
