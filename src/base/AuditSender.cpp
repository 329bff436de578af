#include "base/AuditSender.h"

#include "base/AppState.h"
#include "base/FileNames.h"
#include "base/Logs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnelo {

namespace {

constexpr int kConnectMs = 10000;
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 60000;
constexpr int kBatch = 100;           // messages written before the connection must prove itself
constexpr int kWriteStallMs = 15000;  // a repository that takes nothing for so long is gone
constexpr std::int32_t kAuditErrorNumber = 75;

QString syslogHostName()
{
    QString name = QHostInfo::localHostName();
    const QString domain = QHostInfo::localDomainName();
    if (!domain.isEmpty() && !name.contains(QLatin1Char('.')))
        name += QLatin1Char('.') + domain;
    // printable ASCII without blanks, at most 255
    QString out;
    for (QChar c : name)
        out += (c.unicode() > 32 && c.unicode() < 127) ? c : QLatin1Char('_');
    return out.isEmpty() ? QStringLiteral("-") : out.left(255);
}

QString tlsFileProblem(const char* key, const QString& path, const QString& what)
{
    return QCoreApplication::translate("AuditSender", "[TLS] %1 %2 %3").arg(QLatin1String(key), path, what);
}

}  // namespace

QByteArray syslogMessage(const QByteArray& xml, bool failure, const QDateTime& when)
{
    constexpr int kAuthpriv = 10;
    const int severity = failure ? 4 : 5;  // warning : notice
    const int offset = when.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    const QString stamp = when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
        (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
        QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
    QByteArray out = '<' + QByteArray::number(kAuthpriv * 8 + severity) + ">1 " + stamp.toLatin1() + ' ' +
        syslogHostName().toLatin1() + " Varnelo " + QByteArray::number(QCoreApplication::applicationPid()) +
        " IHE+RFC-3881 - \xEF\xBB\xBF";
    out += xml;
    return out;
}

AuditConfig auditConfigFromSettings()
{
    const AppState& s = appState();
    AuditConfig c;
    c.host = s.AuditHost.trimmed();
    c.udp = s.AuditTransport.trimmed().compare(QLatin1String("udp"), Qt::CaseInsensitive) == 0;
    c.port = s.AuditPort > 0 ? s.AuditPort : (c.udp ? 514 : 6514);
    c.certificate = s.TLSCertificate.trimmed();
    c.privateKey = s.TLSPrivateKey.trimmed();
    c.trustedCertificates = s.TLSTrustedCertificates.trimmed();
    const QString logs = logFolder();
    if (!logs.isEmpty())
        c.spoolFolder = logs + QStringLiteral("/AuditSpool");
    return c;
}

// One message waiting: its spool file ("" when it could not be spooled and
// lives in memory only) and its bytes.
struct Spooled {
    QString file;
    QByteArray data;
};

// Lives on the sender's thread and owns everything there.
struct AuditSender::Worker : QObject {
    explicit Worker(const AuditConfig& c)
        : config(c)
    {
        if (config.port <= 0)
            config.port = config.udp ? 514 : 6514;
    }

    AuditConfig config;
    QList<Spooled> queue;
    int inFlight = 0;  // the first of the queue written, not yet proven
    enum class State { Idle,
                       Connecting,
                       Proving,
                       Waiting,
                       Done } state = State::Idle;
    QAbstractSocket* socket = nullptr;
    QTimer* retry = nullptr;
    QTimer* proof = nullptr;
    QTimer* connectLimit = nullptr;
    qint64 provingSince = 0;
    int backoffMs = 0;
    bool troubleTold = false;
    bool stopping = false;

    QString peer() const { return config.host + QLatin1Char(':') + QString::number(config.port); }

    void begin()
    {
        retry = new QTimer(this);
        retry->setSingleShot(true);
        connect(retry, &QTimer::timeout, this, [this] {
            state = State::Idle;
            pump();
        });
        proof = new QTimer(this);
        proof->setSingleShot(true);
        connect(proof, &QTimer::timeout, this, [this] { proven(); });
        connectLimit = new QTimer(this);
        connectLimit->setSingleShot(true);
        connect(connectLimit, &QTimer::timeout, this,
                [this] { failed(QCoreApplication::translate("AuditSender", "no connection within %1 seconds").arg(kConnectMs / 1000)); });

        // what an earlier run could not deliver, oldest first
        const QDir dir(config.spoolFolder);
        const QStringList spooled = config.spoolFolder.isEmpty()
            ? QStringList()
            : dir.entryList({QStringLiteral("*.syslog")}, QDir::Files, QDir::Name);
        for (const QString& name : spooled) {
            QFile f(dir.filePath(name));
            if (f.open(QIODevice::ReadOnly))
                queue.append({f.fileName(), f.readAll()});
        }
        pump();
    }

    void add(const Spooled& item)
    {
        // begin() may have found its file in the spool already
        if (!item.file.isEmpty() && std::any_of(queue.cbegin(), queue.cend(), [&](const Spooled& q) { return q.file == item.file; }))
            return;
        queue.append(item);
        if (state == State::Idle)
            pump();
    }

    void shutdown(int waitMs)
    {
        stopping = true;
        QTimer::singleShot(waitMs, this, [this] { finish(); });
        if (state == State::Waiting)  // the repository is down: no point in waiting
            finish();
        else if (state == State::Idle)
            pump();
    }

    void finish()
    {
        if (state == State::Done)
            return;
        state = State::Done;
        dropSocket();
        retry->stop();
        proof->stop();
        connectLimit->stop();
        thread()->quit();
    }

    void dropSocket()
    {
        if (!socket)
            return;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        socket = nullptr;
    }

    void pump()
    {
        if (state != State::Idle)
            return;
        if (queue.isEmpty()) {
            if (stopping)
                finish();
            return;
        }
        if (socket && socket->state() == QAbstractSocket::ConnectedState) {
            write();
            return;
        }
        dropSocket();
        if (config.udp)
            openUdp();
        else
            openTls();
    }

    void watch(QAbstractSocket* s)
    {
        socket = s;
        connect(s, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) { lost(); });
        connect(s, &QAbstractSocket::disconnected, this, [this] { lost(); });
        // a repository says nothing; whatever comes is dropped
        connect(s, &QIODevice::readyRead, this, [this] {
            if (socket)
                socket->readAll();
        });
    }

    void openUdp()
    {
        auto* udp = new QUdpSocket(this);
        watch(udp);
        connect(udp, &QAbstractSocket::connected, this, [this] {
            connectLimit->stop();
            state = State::Idle;
            pump();
        });
        state = State::Connecting;
        connectLimit->start(kConnectMs);
        udp->connectToHost(config.host, static_cast<quint16>(config.port));
    }

    void openTls()
    {
        QString problem;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setProtocol(QSsl::TlsV1_2OrLater);
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!config.trustedCertificates.isEmpty()) {
            const QString& path = config.trustedCertificates;
            const QList<QSslCertificate> cas = QFileInfo(path).isDir()
                ? QSslCertificate::fromPath(path + QStringLiteral("/*"), QSsl::Pem, QSslCertificate::PatternSyntax::Wildcard)
                : QSslCertificate::fromPath(path, QSsl::Pem);
            if (cas.isEmpty())
                problem = tlsFileProblem("TrustedCertificates", path, QCoreApplication::translate("AuditSender", "holds no PEM certificate."));
            tls.setCaCertificates(cas);
        }
        if (problem.isEmpty() && (!config.certificate.isEmpty() || !config.privateKey.isEmpty())) {
            const QList<QSslCertificate> own = QSslCertificate::fromPath(config.certificate, QSsl::Pem);
            QFile keyFile(config.privateKey);
            QSslKey key;
            if (keyFile.open(QIODevice::ReadOnly)) {
                const QByteArray pem = keyFile.readAll();
                for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
                    key = QSslKey(pem, algorithm, QSsl::Pem);
                    if (!key.isNull())
                        break;
                }
            }
            if (own.isEmpty())
                problem = tlsFileProblem("Certificate", config.certificate, QCoreApplication::translate("AuditSender", "is not a PEM certificate."));
            else if (key.isNull())
                problem = tlsFileProblem("PrivateKey", config.privateKey,
                                         QCoreApplication::translate("AuditSender", "is not a PEM private key without a password."));
            else {
                tls.setLocalCertificate(own.first());
                tls.setPrivateKey(key);
            }
        }
        if (!problem.isEmpty()) {
            failed(problem);
            return;
        }

        auto* s = new QSslSocket(this);
        s->setSslConfiguration(tls);
        watch(s);
        connect(s, &QSslSocket::encrypted, this, [this] {
            connectLimit->stop();
            state = State::Idle;
            pump();
        });
        state = State::Connecting;
        connectLimit->start(kConnectMs);
        s->connectToHostEncrypted(config.host, static_cast<quint16>(config.port));
    }

    void write()
    {
        inFlight = static_cast<int>(std::min<qsizetype>(queue.size(), kBatch));
        QByteArray bytes;
        for (int i = 0; i < inFlight; ++i) {
            const QByteArray& data = queue[i].data;
            if (config.udp) {
                // one message a datagram
                if (socket->write(data) != data.size()) {
                    failed(socket->errorString());
                    return;
                }
            } else {
                bytes += QByteArray::number(data.size()) + ' ' + data;
            }
        }
        if (!config.udp && socket->write(bytes) != bytes.size()) {
            failed(socket->errorString());
            return;
        }
        // A write only reached our own buffers; a repository that refuses
        // this station (after a TLS 1.3 handshake) or went away says so by
        // closing. Only a connection still up a moment later proves it.
        state = State::Proving;
        provingSince = QDateTime::currentMSecsSinceEpoch();
        proof->start(config.proofMs);
    }

    void proven()
    {
        if (state != State::Proving || !socket)
            return;
        auto* tls = qobject_cast<QSslSocket*>(socket);
        const bool unsent = socket->bytesToWrite() > 0 || (tls && tls->encryptedBytesToWrite() > 0);
        if (socket->state() != QAbstractSocket::ConnectedState) {
            lost();
            return;
        }
        if (unsent) {
            if (QDateTime::currentMSecsSinceEpoch() - provingSince > kWriteStallMs)
                failed(QCoreApplication::translate("AuditSender", "it takes no data"));
            else
                proof->start(config.proofMs);
            return;
        }
        for (int i = 0; i < inFlight; ++i) {
            if (!queue.first().file.isEmpty())
                QFile::remove(queue.first().file);
            queue.removeFirst();
        }
        inFlight = 0;
        backoffMs = 0;
        if (troubleTold) {
            WriteDebugLog(QStringLiteral("Audit: the repository %1 takes messages again").arg(peer()));
            troubleTold = false;
        }
        state = State::Idle;
        pump();
    }

    // The socket failed or closed.
    void lost()
    {
        if (!socket)
            return;
        const QString why = socket->errorString();
        if (state == State::Idle || state == State::Waiting || state == State::Done) {
            // closed between messages: the next one opens a new connection
            dropSocket();
            return;
        }
        failed(why);
    }

    void failed(const QString& why)
    {
        proof->stop();
        connectLimit->stop();
        inFlight = 0;
        dropSocket();
        if (state == State::Done)
            return;
        if (!troubleTold) {
            // once per outage, not once per message
            WriteErrorLog(kAuditErrorNumber,
                          QCoreApplication::translate("AuditSender",
                                                      "The audit record repository %1 did not take the audit messages (%2). They "
                                                      "are kept and sent when it answers again.")
                              .arg(peer(), why),
                          QStringLiteral("AuditSender"));
            troubleTold = true;
        }
        if (stopping) {
            finish();
            return;
        }
        backoffMs = backoffMs == 0 ? kFirstRetryMs : std::min(backoffMs * 2, kLastRetryMs);
        state = State::Waiting;
        retry->start(backoffMs);
    }
};

namespace {

// 0700, made level by level: the spool holds patient data.
bool makePrivateFolder(const QString& path)
{
    const QByteArray encoded = encodeFileName(path);
    if (::mkdir(encoded.constData(), 0700) == 0)
        return true;
    if (errno != EEXIST) {
        const QString parent = QFileInfo(path).path();
        if (parent == path || !QFileInfo(parent).isDir()) {
            if (parent == path || !makePrivateFolder(parent))
                return false;
        }
        if (::mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::lstat(encoded.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (((st.st_mode & 077) == 0) || ::chmod(encoded.constData(), 0700) == 0);
}

// Written under a temporary name and renamed, so that a start never reads
// half a message.
QString spool(const QString& folder, const QByteArray& data, int sequence)
{
    if (folder.isEmpty() || !makePrivateFolder(folder))
        return {};
    const QString base = folder + QLatin1Char('/') +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddHHmmsszzz")) + QLatin1Char('-') +
        QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-') +
        QStringLiteral("%1").arg(sequence, 6, 10, QLatin1Char('0'));
    const QString temporary = base + QStringLiteral(".tmp");
    const int fd = ::open(encodeFileName(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return {};
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const bool ok = done == data.size() && ::fsync(fd) == 0;
    ::close(fd);
    const QString file = base + QStringLiteral(".syslog");
    if (!ok || ::rename(encodeFileName(temporary).constData(), encodeFileName(file).constData()) != 0) {
        QFile::remove(temporary);
        return {};
    }
    return file;
}

}  // namespace

AuditSender::AuditSender(const AuditConfig& config)
    : config_(config)
    , thread_(std::make_unique<QThread>())
    , worker_(new Worker(config))
{
    thread_->setObjectName(QStringLiteral("AuditSender"));
    worker_->moveToThread(thread_.get());
    QObject::connect(thread_.get(), &QThread::finished, worker_, &QObject::deleteLater);
    thread_->start();
    Worker* w = worker_;
    QMetaObject::invokeMethod(
        worker_, [w] { w->begin(); }, Qt::QueuedConnection);
}

AuditSender::~AuditSender()
{
    close(1000);
}

void AuditSender::send(const QByteArray& message)
{
    if (!worker_)
        return;
    const Spooled item {spool(config_.spoolFolder, message, ++sequence_), message};
    Worker* w = worker_;
    QMetaObject::invokeMethod(
        worker_, [w, item] { w->add(item); }, Qt::QueuedConnection);
}

void AuditSender::close(int waitMs)
{
    if (!worker_)
        return;
    Worker* w = worker_;
    worker_ = nullptr;
    QMetaObject::invokeMethod(
        w, [w, waitMs] { w->shutdown(waitMs); }, Qt::QueuedConnection);
    if (!thread_->wait(waitMs + 200)) {
        thread_->quit();
        thread_->wait();
    }
}

namespace {

std::mutex trailMutex;
std::unique_ptr<AuditSender> trail;

void record(const QByteArray& xml, audit::Outcome outcome)
{
    try {
        WriteAuditLog(QString::fromUtf8(xml));
        const std::lock_guard<std::mutex> lock(trailMutex);
        if (trail)
            trail->send(syslogMessage(xml, outcome != audit::Outcome::Success, now()));
    } catch (...) {
        // the trail never breaks what it records
    }
}

}  // namespace

void startAuditTrail()
{
    const AuditConfig config = auditConfigFromSettings();
    {
        const std::lock_guard<std::mutex> lock(trailMutex);
        trail.reset();
        if (!config.host.isEmpty())
            trail = std::make_unique<AuditSender>(config);
    }
    record(audit::applicationActivity(audit::Station::current(), true), audit::Outcome::Success);
}

void stopAuditTrail()
{
    record(audit::applicationActivity(audit::Station::current(), false), audit::Outcome::Success);
    std::unique_ptr<AuditSender> last;
    {
        const std::lock_guard<std::mutex> lock(trailMutex);
        last.swap(trail);
    }
    if (last)
        last->close(1000);
}

void auditImport(const audit::Medium& medium, const QList<audit::Patient>& patients, audit::Outcome outcome)
{
    record(audit::importEvent(audit::Station::current(), medium, patients, outcome), outcome);
}

void auditBeginTransferring(const audit::Node& destination, const audit::Patient& patient)
{
    record(audit::beginTransferring(audit::Station::current(), destination, patient, audit::Outcome::Success),
           audit::Outcome::Success);
}

void auditInstancesTransferred(const audit::Node& destination, const audit::Patient& patient, audit::Outcome outcome)
{
    record(audit::instancesTransferred(audit::Station::current(), destination, patient, outcome), outcome);
}

void auditQuery(const audit::Query& query, audit::Outcome outcome)
{
    record(audit::query(audit::Station::current(), query, outcome), outcome);
}

namespace {

bool samePatient(const audit::Patient& a, const audit::Patient& b)
{
    return a.id == b.id && a.issuer == b.issuer;
}

}  // namespace

ImportAudit::ImportAudit(const audit::Medium& medium)
    : medium_(medium)
{
}

void ImportAudit::count(Tally& tally, const QString& studyUid, const QString& sopClassUid, bool counted)
{
    auto study = std::find_if(tally.patient.studies.begin(), tally.patient.studies.end(),
                              [&](const audit::Study& s) { return s.uid == studyUid; });
    if (study == tally.patient.studies.end()) {
        tally.patient.studies.append({studyUid, QString(), {}});
        study = tally.patient.studies.end() - 1;
    }
    auto sop = std::find_if(study->sopClasses.begin(), study->sopClasses.end(),
                            [&](const audit::SopClassCount& c) { return c.uid == sopClassUid; });
    if (sop == study->sopClasses.end()) {
        study->sopClasses.append({sopClassUid, 0});
        sop = study->sopClasses.end() - 1;
    }
    if (counted)
        ++sop->count;
}

void ImportAudit::taken(const audit::Patient& who, const QString& studyUid, const QString& sopClassUid)
{
    auto it = std::find_if(taken_.begin(), taken_.end(), [&](const Tally& t) { return samePatient(t.patient, who); });
    if (it == taken_.end()) {
        taken_.append({{who.id, who.issuer, who.name, {}}, 0, 0});
        it = taken_.end() - 1;
    }
    count(*it, studyUid, sopClassUid, true);
}

void ImportAudit::sent(const audit::Node& destination, const audit::Patient& who, const QString& studyUid,
                       const QString& sopClassUid, bool ok)
{
    auto d = std::find_if(destinations_.begin(), destinations_.end(), [&](const AtDestination& a) {
        return a.node.aeTitle == destination.aeTitle && a.node.host == destination.host;
    });
    if (d == destinations_.end()) {
        destinations_.append({destination, {}});
        d = destinations_.end() - 1;
    }
    auto it = std::find_if(d->patients.begin(), d->patients.end(), [&](const Tally& t) { return samePatient(t.patient, who); });
    if (it == d->patients.end()) {
        audit::Patient first {who.id, who.issuer, who.name, {{studyUid, QString(), {{sopClassUid, 1}}}}};
        auditBeginTransferring(destination, first);
        d->patients.append({{who.id, who.issuer, who.name, {}}, 0, 0});
        it = d->patients.end() - 1;
    }
    count(*it, studyUid, sopClassUid, ok);
    ++(ok ? it->ok : it->failed);
}

void ImportAudit::finish(bool aborted)
{
    if (finished_)
        return;
    finished_ = true;
    int ok = 0, failed = 0;
    for (const AtDestination& d : destinations_) {
        for (const Tally& t : d.patients) {
            ok += t.ok;
            failed += t.failed;
            const audit::Outcome outcome = t.ok == 0 ? audit::Outcome::SeriousFailure
                : t.failed > 0                       ? audit::Outcome::MinorFailure
                                                     : audit::Outcome::Success;
            auditInstancesTransferred(d.node, t.patient, outcome);
        }
    }
    QList<audit::Patient> patients;
    for (const Tally& t : taken_)
        patients << t.patient;
    audit::Outcome outcome = audit::Outcome::Success;
    if (failed > 0 || aborted)
        outcome = ok > 0 || (taken_.isEmpty() && failed == 0) ? audit::Outcome::MinorFailure : audit::Outcome::SeriousFailure;
    auditImport(medium_, patients, outcome);
}

}  // namespace varnelo
