#include "import/ConnectionCheck.h"
#include "dicomnet/Network.h"

#include "base/AppState.h"
#include "base/Logs.h"
#include "dicomnet/Conformance.h"
#include "dicomnet/ConnectionProbe.h"
#include "import/ImportLaunch.h"

#include <QCoreApplication>
#include <QDate>
#include <QTimer>

#include <mutex>
#include <optional>
#include <thread>

namespace varnelo {

namespace {

// lupdate files the texts of these free functions under the namespace
QString tr(const char* text)
{
    return QCoreApplication::translate("varnelo", text);
}

const QString kLogSource = QStringLiteral("OptionForm Test connections");

// "CT, MR and US"; past `shown` names, "CT, MR, US, CR, DX and 17 more".
QString listed(const QStringList& names, qsizetype shown = 5)
{
    if (names.size() == 1)
        return names.front();
    if (names.size() <= shown)
        return tr("%1 and %2").arg(names.mid(0, names.size() - 1).join(QStringLiteral(", ")), names.back());
    return tr("%1 and %2 more").arg(names.mid(0, shown).join(QStringLiteral(", "))).arg(names.size() - shown);
}

std::optional<std::int32_t> portOf(const QString& text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

CheckResult failure(const QString& line, std::int32_t number, const QString& detail)
{
    return {line, true, number, detail};
}

// The line for an association or echo that did not work out.
CheckResult probeFailure(const QString& who, const ConnectionTarget& t, std::int32_t status, std::int32_t number,
                         const QString& why)
{
    const QString where = t.host.trimmed() + QLatin1Char(':') + t.port.trimmed();
    switch (number) {
    case DicomErrc::TlsFileUnusable:
    case DicomErrc::PeerNotTrusted:
    case DicomErrc::TlsHandshakeFailed:
        return failure(tr("%1: %2").arg(who, why), number, why);
    default:
        break;
    }
    switch (status) {
    case ProbeResult::CannotConnect:
        return failure(number == DicomErrc::HostNotFound ? tr("%1: the address %2 is not known.").arg(who, t.host.trimmed())
                                                         : tr("%1: nothing answers at %2.").arg(who, where),
                       number, why);
    case ProbeResult::AssociationRejected:
        return failure(number == DicomErrc::Timeout
                           ? tr("%1: takes the connection at %2 but does not answer.").arg(who, where)
                           : tr("%1: refuses this station (%2).").arg(who, why),
                       number, why);
    default:
        return failure(tr("%1: accepts this station but does not answer the echo.").arg(who), number, why);
    }
}

CheckResult checkDestination(const ConnectionTarget& t, const QString& callingAE)
{
    const QString who = t.aeTitle.trimmed();
    const std::optional<std::int32_t> port = portOf(t.port);
    if (!port)
        return failure(tr("%1: \"%2\" is not a port number.").arg(who, t.port.trimmed()), DicomErrc::InvalidPort,
                       QStringLiteral("%1: the port \"%2\" is not a number from 1 to 65535").arg(who, t.port.trimmed()));
    const DcmDestinationProbe probe = ProbeDestination(t.host, *port, callingAE, t.aeTitle, t.tls);
    if (probe.status != ProbeResult::Ok)
        return probeFailure(who, t, probe.status, probe.error, probe.why);
    const QString confirms = probe.commitment ? tr("confirms storage")
        : probe.studyQuery                    ? tr("does not confirm storage; a query checks what it holds")
                                              : tr("does not confirm storage");
    if (probe.storageClasses.isEmpty())
        return failure(tr("%1: answers, but takes none of the images this program sends; %2.").arg(who, confirms),
                       DicomErrc::NoPresentationContext,
                       QStringLiteral("%1 at %2:%3 accepted none of the storage SOP classes proposed")
                           .arg(who, t.host.trimmed(), t.port.trimmed()));
    return passed(tr("%1: answers; %2; %3.").arg(who, takenPhrase(probe.storageClasses), confirms));
}

// A DICOMweb destination: does it answer a query for one study.
CheckResult checkWebDestination(const ConnectionTarget& t)
{
    const QUrl& url = t.web.base;
    const QString who = webDestinationName(url);
    const QString shown = url.toDisplayString(QUrl::RemoveUserInfo);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return failure(tr("%1: \"%2\" is not an http or https address.").arg(who, shown), DicomErrc::InvalidValue,
                       QStringLiteral("The DICOMweb address \"%1\" is not an http or https URL").arg(shown));
    try {
        DcmWebClient(t.web).Probe();
        return passed(tr("%1: answers as a DICOMweb service.").arg(who));
    } catch (const Error& e) {
        const QString where = url.host() + QLatin1Char(':') + QString::number(url.port(scheme == QLatin1String("https") ? 443 : 80));
        switch (e.number()) {
        case DicomErrc::HostNotFound:
            return failure(tr("%1: the address %2 is not known.").arg(who, url.host()), e.number(), e.description());
        case DicomErrc::CannotConnect:
            return failure(tr("%1: nothing answers at %2.").arg(who, where), e.number(), e.description());
        case DicomErrc::Timeout:
            return failure(tr("%1: takes the connection at %2 but does not answer.").arg(who, where), e.number(), e.description());
        case DicomErrc::WebAccessRefused:
            return failure(tr("%1: refuses the user name and password or the token.").arg(who), e.number(), e.description());
        case DicomErrc::WebRequestFailed:
            return failure(tr("%1: no DICOMweb service answers at %2.").arg(who, shown), e.number(), e.description());
        default:
            return failure(tr("%1: %2").arg(who, e.description()), e.number(), e.description());
        }
    }
}

CheckResult checkWorklist(const ConnectionTarget& t, const QString& callingAE, const QDate& today)
{
    const QString who = tr("WORKLIST");
    QStringList missing;
    if (t.aeTitle.trimmed().isEmpty())
        missing << tr("AE title");
    if (t.host.trimmed().isEmpty())
        missing << tr("address");
    if (t.port.trimmed().isEmpty())
        missing << tr("port");
    if (!missing.isEmpty())
        return failure(tr("%1: its %2 is not set.").arg(who, listed(missing)), DicomErrc::InvalidValue,
                       QStringLiteral("The worklist provider has no %1").arg(missing.join(QStringLiteral(", "))));
    const std::optional<std::int32_t> port = portOf(t.port);
    if (!port)
        return failure(tr("%1: \"%2\" is not a port number.").arg(who, t.port.trimmed()), DicomErrc::InvalidPort,
                       QStringLiteral("The worklist port \"%1\" is not a number from 1 to 65535").arg(t.port.trimmed()));

    // Every step scheduled today, whoever it is for.
    DcmDataset identifier;
    DcmDatasetList steps;
    steps.AppendNew().Attributes().AddAttribute(0x0040, 0x0002, today.toString(QStringLiteral("yyyyMMdd")));
    identifier.Attributes().AddAttribute(0x0010, 0x0010, QString());
    identifier.Attributes().AddAttribute(0x0040, 0x0100, steps);
    DcmFindClient find;
    find.PeerHost = t.host.trimmed();
    find.PeerPort = *port;
    find.CalledAETitle = t.aeTitle.trimmed();
    find.CallingAETitle = callingAE.trimmed();
    find.Tls = t.tls;
    try {
        const std::int32_t entries = find.RunFind(identifier).Count();
        return passed(entries == 1 ? tr("%1: answers; 1 entry today.").arg(who)
                                   : tr("%1: answers; %2 entries today.").arg(who).arg(entries));
    } catch (const Error& e) {
        switch (e.number()) {
        case DicomErrc::HostNotFound:
        case DicomErrc::CannotConnect:
            return probeFailure(who, t, ProbeResult::CannotConnect, e.number(), e.description());
        case DicomErrc::AssociationRejected:
        case DicomErrc::Timeout:
        case DicomErrc::TlsFileUnusable:
        case DicomErrc::PeerNotTrusted:
        case DicomErrc::TlsHandshakeFailed:
            return probeFailure(who, t, ProbeResult::AssociationRejected, e.number(), e.description());
        case DicomErrc::NoPresentationContext:
            return failure(tr("%1: answers, but offers no worklist.").arg(who), e.number(), e.description());
        default:
            return failure(tr("%1: the query failed (%2).").arg(who, e.description()), e.number(), e.description());
        }
    }
}

CheckResult checkPort(std::int32_t port)
{
    const DcmPortCheck check = CheckListenPort(port);
    const QString what = tr("Port %1 for confirmations").arg(port);
    const QString detail = QStringLiteral("[DICOM] CommitPort %1 cannot be listened on: %2").arg(port).arg(check.why);
    switch (check.state) {
    case DcmPortCheck::State::Free:
        return passed(tr("%1: free.").arg(what));
    case DcmPortCheck::State::InUse:
        return failure(tr("%1: in use by another program.").arg(what), DicomErrc::CannotConnect, detail);
    case DcmPortCheck::State::NeedsPrivilege:
        return failure(tr("%1: needs administrator rights.").arg(what), DicomErrc::CannotConnect, detail);
    case DcmPortCheck::State::Unusable:
        break;
    }
    return failure(tr("%1: cannot be opened (%2).").arg(what, check.why), DicomErrc::CannotConnect, detail);
}

}  // namespace

QString takenPhrase(const QStringList& acceptedClasses)
{
    QStringList taken, refused;
    for (const conformance::StorageClass& c : conformance::storageClasses()) {
        const QString modality = QLatin1String(c.modality);
        if (acceptedClasses.contains(QLatin1String(c.uid))) {
            refused.removeAll(modality);
            if (!taken.contains(modality))
                taken << modality;
        } else if (!taken.contains(modality) && !refused.contains(modality)) {
            refused << modality;
        }
    }
    if (taken.isEmpty())
        return tr("takes none of the images this program sends");
    QString phrase = tr("takes %1").arg(listed(taken));
    if (!refused.isEmpty())
        phrase += tr(", not %1").arg(listed(refused, 3));
    return phrase;
}

ConnectionSettings savedConnectionSettings(const SettingsView* mainWindow)
{
    using Box = SettingsView::Box;
    const AppState& s = appState();
    auto box = [&](Box b, const QString& saved) { return mainWindow ? mainWindow->boxText(b) : saved; };
    ConnectionSettings settings;
    settings.localAET = s.LocalAET;
    settings.destinations.push_back({box(Box::RemoteAET, s.RemoteAET), box(Box::RemoteIP, s.RemoteIP),
                                     box(Box::RemotePort, s.RemotePort), destinationTls(1), {}});
    settings.destinations.push_back({box(Box::RemoteAET2, s.RemoteAET2), box(Box::RemoteIP2, s.RemoteIP2),
                                     box(Box::RemotePort2, s.RemotePort2), destinationTls(2), {}});
    const QString urls[2] = {s.RemoteURL, s.RemoteURL2};
    for (int d = 0; d < 2; ++d) {
        DcmWebService& web = settings.destinations[static_cast<size_t>(d)].web;
        web.base = QUrl(urls[d].trimmed());
        web.user = s.WebUser;
        web.password = s.WebPassword;
        web.token = s.WebToken;
        web.trustedCertificates = s.TLSTrustedCertificates;
    }
    settings.worklist = {s.WorklistAET, s.WorklistIP, s.WorklistPort, {s.WorklistUseTLS, s.TLSCertificate, s.TLSPrivateKey, s.TLSTrustedCertificates}, {}};
    settings.commitPort = s.CommitPort;
    return settings;
}

std::vector<ConnectionCheck> connectionChecks(const ConnectionSettings& settings)
{
    std::vector<ConnectionCheck> checks;
    const QString callingAE = settings.localAET;
    for (const ConnectionTarget& d : settings.destinations) {
        if (!d.isComplete())
            continue;
        if (!d.web.base.isEmpty())
            checks.push_back({tr("%1: checking...").arg(webDestinationName(d.web.base)), [d] { return checkWebDestination(d); }});
        else
            checks.push_back({tr("%1: checking...").arg(d.aeTitle.trimmed()), [d, callingAE] { return checkDestination(d, callingAE); }});
    }
    if (checks.empty())
        checks.push_back({QString(), [] {
                              return failure(tr("No destination is complete: each needs its AE title, address and port."),
                                             DicomErrc::InvalidValue, QStringLiteral("No destination is complete"));
                          }});
    if (!settings.worklist.isEmpty()) {
        const ConnectionTarget w = settings.worklist;
        const QDate today = QDate::currentDate();
        checks.push_back({tr("%1: checking...").arg(tr("WORKLIST")), [w, callingAE, today] { return checkWorklist(w, callingAE, today); }});
    }
    if (settings.commitPort > 0) {
        const std::int32_t port = settings.commitPort;
        checks.push_back({tr("Port %1 for confirmations: checking...").arg(port), [port] { return checkPort(port); }});
    }
    return checks;
}

// ---- ConnectionTest ---------------------------------------------------------

struct ConnectionTest::Shared {
    std::mutex m;
    std::vector<std::optional<CheckResult>> results;
};

ConnectionTest::ConnectionTest(QObject* parent)
    : QObject(parent)
    , timer_(new QTimer(this))
{
    timer_->setInterval(50);
    connect(timer_, &QTimer::timeout, this, &ConnectionTest::poll);
}

ConnectionTest::~ConnectionTest() = default;

void ConnectionTest::start(const ConnectionSettings& settings, int boundSeconds)
{
    const std::vector<ConnectionCheck> checks = connectionChecks(settings);
    // A new start leaves the threads of the last one writing into their own state.
    shared_ = std::make_shared<Shared>();
    shared_->results.resize(checks.size());
    pending_.clear();
    lines_.clear();
    ended_.assign(checks.size(), false);
    boundMs_ = boundSeconds * 1000;
    finished_ = false;
    for (size_t i = 0; i < checks.size(); ++i) {
        pending_.push_back(checks[i].pending);
        lines_ << checks[i].pending;
        // Never joined: a peer that keeps the connection and says nothing
        // would hold the window until the network's bounds run out.
        std::thread([shared = shared_, i, run = checks[i].run] {
            CheckResult result;
            try {
                result = run();
            } catch (const Error& e) {
                result = failure(e.description(), e.number(), e.description());
            } catch (const std::exception& e) {
                result = failure(QString::fromLocal8Bit(e.what()), DicomErrc::NetworkFailure, QString::fromLocal8Bit(e.what()));
            }
            const std::lock_guard<std::mutex> lock(shared->m);
            shared->results[i] = std::move(result);
        }).detach();
    }
    clock_.start();
    timer_->start();
    emit linesChanged();
    poll();
}

void ConnectionTest::poll()
{
    if (finished_)
        return;
    std::vector<std::optional<CheckResult>> results;
    {
        const std::lock_guard<std::mutex> lock(shared_->m);
        results = shared_->results;
    }
    bool changed = false;
    const bool outOfTime = clock_.elapsed() >= boundMs_;
    for (size_t i = 0; i < results.size(); ++i) {
        if (ended_[i])
            continue;
        std::optional<CheckResult> r = results[i];
        if (!r && outOfTime) {
            QString who = pending_[i];
            who = who.left(who.indexOf(QLatin1Char(':')));
            r = failure(tr("%1: no answer within %2 seconds.").arg(who).arg(boundMs_ / 1000), DicomErrc::Timeout,
                        QStringLiteral("%1: no answer within %2 seconds").arg(who).arg(boundMs_ / 1000));
        }
        if (!r)
            continue;
        ended_[i] = true;
        lines_[static_cast<qsizetype>(i)] = r->line;
        changed = true;
        if (r->failed)
            WriteErrorLog(r->number, r->detail.isEmpty() ? r->line : r->detail, kLogSource);
    }
    if (changed)
        emit linesChanged();
    if (std::all_of(ended_.begin(), ended_.end(), [](bool e) { return e; })) {
        finished_ = true;
        timer_->stop();
        emit finished();
    }
}

}  // namespace varnelo
