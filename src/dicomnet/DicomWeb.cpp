// DICOMweb through Qt Network: one request at a time, each in a local event
// loop on the caller's thread, bounded by timers of our own (Qt's transfer
// timeout does not cover the connection).

#include "dicomnet/DicomWeb.h"

#include "dicomnet/Network.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrlQuery>

#include <mutex>
#include <optional>

namespace varnelo {

namespace {

const QByteArray kDicomJson = QByteArrayLiteral("application/dicom+json");

// What came back for one request.
struct Answer {
    int status = 0;  // HTTP status, 0 when no answer came
    QString phrase;
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;
    QList<QSslError> sslErrors;
    enum class Timer { None, Connect, Stalled } timedOut = Timer::None;
};

QString shown(const QUrl& url) { return url.toDisplayString(QUrl::RemoveUserInfo); }

QUrl below(const QUrl& base, const QString& path)
{
    QUrl url = base;
    QString p = url.path();
    if (!p.endsWith(QLatin1Char('/')))
        p += QLatin1Char('/');
    url.setPath(p + path);
    return url;
}

// Words for the reasons a service gives (the storage statuses of DICOM).
QString reasonWords(std::int32_t code)
{
    switch (code) {
    case 0x0110: return QStringLiteral("processing failure");
    case 0x0112: return QStringLiteral("no such object instance");
    case 0x0119: return QStringLiteral("SOP class and instance do not match");
    case 0x0122: return QStringLiteral("SOP class not supported");
    case 0x0124: return QStringLiteral("not authorised");
    case 0xA900: return QStringLiteral("data set does not match the SOP class");
    case 0xC122: return QStringLiteral("transfer syntax not supported");
    case 0xB000: return QStringLiteral("elements were coerced");
    case 0xB006: return QStringLiteral("elements were discarded");
    case 0xB007: return QStringLiteral("data set does not match the SOP class");
    default: break;
    }
    if ((code & 0xFF00) == 0xA700)
        return QStringLiteral("out of resources");
    if ((code & 0xF000) == 0xC000)
        return QStringLiteral("cannot understand");
    return QStringLiteral("reason not given");
}

QString hex(std::int32_t code) { return QStringLiteral("0x") + QString::number(code, 16).toUpper().rightJustified(4, QLatin1Char('0')); }

// The values of one attribute in DICOM JSON.
QJsonArray valuesOf(const QJsonObject& item, const char* tag)
{
    return item.value(QLatin1String(tag)).toObject().value(QLatin1String("Value")).toArray();
}

QString firstString(const QJsonObject& item, const char* tag) { return valuesOf(item, tag).at(0).toString().trimmed(); }

std::optional<std::int32_t> firstNumber(const QJsonObject& item, const char* tag)
{
    const QJsonValue v = valuesOf(item, tag).at(0);
    if (v.isDouble())
        return static_cast<std::int32_t>(v.toDouble());
    if (v.isString()) {
        bool ok = false;
        const int n = v.toString().trimmed().toInt(&ok, 0);
        if (ok)
            return n;
    }
    return std::nullopt;
}

QList<QSslCertificate> certificatesFrom(const QString& path)
{
    QList<QSslCertificate> out;
    const QFileInfo info(path);
    if (info.isDir()) {
        for (const QFileInfo& f : QDir(path).entryInfoList(QDir::Files | QDir::Readable, QDir::Name))
            out += QSslCertificate::fromPath(f.absoluteFilePath(), QSsl::Pem);
    } else {
        out = QSslCertificate::fromPath(path, QSsl::Pem);
    }
    if (out.isEmpty())
        throw Error(DicomErrc::TlsFileUnusable,
                    QStringLiteral("No certificate in PEM form could be read from %1; it should hold the certificate of the CA "
                                   "that issued the DICOMweb service's.")
                        .arg(path));
    return out;
}

}  // namespace

bool DcmWebOutcome::syntaxRefused() const
{
    return !stored && (status == DcmWebReason::SyntaxNotSupported || reason.contains(QLatin1String("transfer syntax"), Qt::CaseInsensitive));
}

QString webDestinationName(const QUrl& base)
{
    return base.host().isEmpty() ? shown(base) : base.host();
}

struct DcmWebClient::Impl {
    DcmWebService service;
    std::optional<QList<QSslCertificate>> trusted;  // read at the first https request

    std::atomic<bool> aborted {false};
    std::mutex mutex;
    QNetworkReply* running = nullptr;  // the reply under way, on the caller's thread

    QNetworkRequest request(const QUrl& url);
    Answer run(QNetworkRequest request, QHttpMultiPart* body);
    [[noreturn]] void fail(const Answer& answer, const QString& doing) const;
};

QNetworkRequest DcmWebClient::Impl::request(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept", kDicomJson);
    if (!service.token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + service.token.toUtf8());
    else if (!service.user.isEmpty())
        request.setRawHeader("Authorization",
                             "Basic " + (service.user + QLatin1Char(':') + service.password).toUtf8().toBase64());
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        if (!service.trustedCertificates.trimmed().isEmpty()) {
            if (!trusted)
                trusted = certificatesFrom(service.trustedCertificates.trimmed());
            tls.setCaCertificates(*trusted);
        }
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        request.setSslConfiguration(tls);
    }
    return request;
}

Answer DcmWebClient::Impl::run(QNetworkRequest request, QHttpMultiPart* body)
{
    std::unique_ptr<QHttpMultiPart> ownedBody(body);
    Answer answer;
    QNetworkAccessManager manager;
    QEventLoop loop;
    QTimer connectTimer, progressTimer;
    connectTimer.setSingleShot(true);
    progressTimer.setSingleShot(true);

    QNetworkReply* reply = body ? manager.post(request, body) : manager.get(request);
    std::unique_ptr<QNetworkReply> ownedReply(reply);
    if (body)
        ownedBody.release()->setParent(reply);

    auto connected = [&] { connectTimer.stop(); };
    auto progress = [&] {
        connectTimer.stop();
        progressTimer.start(DicomTimeouts::DimseSeconds * 1000);
    };
    QObject::connect(reply, &QNetworkReply::requestSent, &loop, progress);
    QObject::connect(reply, &QNetworkReply::encrypted, &loop, connected);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, progress);
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, progress);
    QObject::connect(reply, &QNetworkReply::uploadProgress, &loop, [&](qint64 sent, qint64) {
        if (sent > 0)
            progress();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 got, qint64) {
        if (got > 0)
            progress();
    });
    QObject::connect(reply, &QNetworkReply::sslErrors, &loop, [&](const QList<QSslError>& errors) { answer.sslErrors += errors; });
    QObject::connect(&connectTimer, &QTimer::timeout, &loop, [&] {
        answer.timedOut = Answer::Timer::Connect;
        reply->abort();
    });
    QObject::connect(&progressTimer, &QTimer::timeout, &loop, [&] {
        answer.timedOut = Answer::Timer::Stalled;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connectTimer.start(DicomTimeouts::ConnectSeconds * 1000);
    progressTimer.start(DicomTimeouts::DimseSeconds * 1000);

    bool stopNow = false;
    {
        std::lock_guard lock(mutex);
        running = reply;
        stopNow = aborted;
    }
    if (stopNow)
        reply->abort();
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    {
        std::lock_guard lock(mutex);
        running = nullptr;
    }

    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.phrase = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    if (reply->isOpen())
        answer.body = reply->readAll();
    answer.error = reply->error();
    answer.errorText = reply->errorString();
    return answer;
}

void DcmWebClient::Impl::fail(const Answer& a, const QString& doing) const
{
    const QString at = shown(service.base);
    if (aborted)
        throw Error(DicomErrc::ConnectionLost, QStringLiteral("%1: the request was stopped.").arg(doing));
    if (a.timedOut == Answer::Timer::Connect)
        throw Error(DicomErrc::Timeout, QStringLiteral("%1: no connection within %2 seconds.").arg(doing).arg(DicomTimeouts::ConnectSeconds));
    if (a.timedOut == Answer::Timer::Stalled)
        throw Error(DicomErrc::Timeout, QStringLiteral("%1: the service did not answer for %2 seconds.").arg(doing).arg(DicomTimeouts::DimseSeconds));
    if (a.status == 401 || a.status == 403)
        throw Error(DicomErrc::WebAccessRefused,
                    QStringLiteral("%1: the service refused the user name/password or token (HTTP %2).").arg(doing).arg(a.status));
    if (a.status == 404)
        throw Error(DicomErrc::WebRequestFailed, QStringLiteral("%1: there is no DICOMweb service at %2 (HTTP 404).").arg(doing, at));
    if (a.status >= 500)
        throw Error(DicomErrc::WebRequestFailed,
                    QStringLiteral("%1: the service failed (HTTP %2 %3).").arg(doing).arg(a.status).arg(a.phrase).trimmed());
    if (a.status != 0 && a.status != 200)
        throw Error(DicomErrc::WebRequestFailed,
                    QStringLiteral("%1: the service answered HTTP %2 %3.").arg(doing).arg(a.status).arg(a.phrase).trimmed());
    std::int32_t number = DicomErrc::NetworkFailure;
    QString why = a.errorText;
    switch (a.error) {
    case QNetworkReply::ConnectionRefusedError: number = DicomErrc::CannotConnect; break;
    case QNetworkReply::HostNotFoundError: number = DicomErrc::HostNotFound; break;
    case QNetworkReply::TimeoutError: number = DicomErrc::Timeout; break;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::OperationCanceledError: number = DicomErrc::ConnectionLost; break;
    case QNetworkReply::SslHandshakeFailedError:
        if (!a.sslErrors.isEmpty()) {
            number = DicomErrc::PeerNotTrusted;
            why = QStringLiteral("its certificate is not trusted: %1. Check that the trusted certificates%2 hold the "
                                 "certificate of the CA that issued it")
                      .arg(a.sslErrors.front().errorString(),
                           service.trustedCertificates.isEmpty() ? QStringLiteral(" of the system")
                                                                 : QStringLiteral(" (%1)").arg(service.trustedCertificates));
        } else {
            number = DicomErrc::TlsHandshakeFailed;
        }
        break;
    default:
        if (a.status == 200)
            why = QStringLiteral("the answer did not arrive whole (%1)").arg(a.errorText);
        break;
    }
    throw Error(number, QStringLiteral("%1: %2.").arg(doing, why));
}

DcmWebClient::DcmWebClient(const DcmWebService& service)
    : d(std::make_unique<Impl>())
{
    d->service = service;
}

DcmWebClient::~DcmWebClient() = default;

void DcmWebClient::Abort()
{
    d->aborted = true;
    std::lock_guard lock(d->mutex);
    if (d->running) {
        QNetworkReply* reply = d->running;
        // the reply lives on the caller's thread: abort it there; a reply
        // deleted meanwhile drops the call
        QMetaObject::invokeMethod(reply, [reply] { reply->abort(); }, Qt::QueuedConnection);
    }
}

std::vector<DcmWebOutcome> DcmWebClient::Store(const std::vector<DcmImage>& images, bool uncompressed)
{
    const QUrl url = below(d->service.base, QStringLiteral("studies"));
    const QString doing = QStringLiteral("Cannot store at %1").arg(shown(url));
    if (d->aborted)
        d->fail(Answer(), doing);

    std::vector<DcmWebOutcome> out(images.size());
    auto* multi = new QHttpMultiPart(QHttpMultiPart::RelatedType);
    int parts = 0;
    for (size_t i = 0; i < images.size(); ++i) {
        out[i].sopInstanceUID = images[i].SOPInstanceUID();
        try {
            QHttpPart part;
            part.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/dicom"));
            part.setBody(images[i].Part10Bytes(uncompressed));
            multi->append(part);
            ++parts;
        } catch (const Error& e) {
            out[i].error = e.number();
            out[i].reason = e.description();
        }
    }
    if (parts == 0) {
        delete multi;
        return out;
    }
    QNetworkRequest request = d->request(url);
    request.setRawHeader("Content-Type", "multipart/related; type=\"application/dicom\"; boundary=\"" + multi->boundary() + '"');
    const Answer a = d->run(request, multi);

    // the answer per instance, when there is one
    QMap<QString, DcmWebOutcome> said;
    bool perInstance = false;
    if (a.error == QNetworkReply::NoError || a.status == 409 || a.status == 400 || a.status == 202) {
        const QJsonDocument doc = QJsonDocument::fromJson(a.body);
        const QJsonObject root = doc.isArray() ? doc.array().at(0).toObject() : doc.object();
        for (const QJsonValue& v : valuesOf(root, "00081199")) {
            const QJsonObject item = v.toObject();
            DcmWebOutcome o;
            o.stored = true;
            o.status = firstNumber(item, "00081196").value_or(0);
            if (o.status)
                o.reason = QStringLiteral("Stored with a warning: %1 (%2).").arg(reasonWords(o.status), hex(o.status));
            said[firstString(item, "00081155")] = o;
            perInstance = true;
        }
        for (const QJsonValue& v : valuesOf(root, "00081198")) {
            const QJsonObject item = v.toObject();
            DcmWebOutcome o;
            const auto code = firstNumber(item, "00081197");
            o.status = code.value_or(0);
            o.reason = code ? QStringLiteral("The service refused it: %1 (%2).").arg(reasonWords(o.status), hex(o.status))
                            : QStringLiteral("The service refused it without a reason.");
            said[firstString(item, "00081155")] = o;
            perInstance = true;
        }
    }
    if (a.error != QNetworkReply::NoError && !perInstance)
        d->fail(a, doing);
    if (a.error == QNetworkReply::NoError && a.status != 200 && a.status != 202)
        d->fail(a, doing);  // a 2xx of another kind: not a STOW-RS answer

    for (DcmWebOutcome& o : out) {
        if (o.error)
            continue;
        const auto it = said.constFind(o.sopInstanceUID);
        if (it != said.constEnd()) {
            const QString uid = o.sopInstanceUID;
            o = *it;
            o.sopInstanceUID = uid;
        } else {
            o.reason = o.sopInstanceUID.isEmpty() ? QStringLiteral("The image has no SOP Instance UID.")
                                                  : QStringLiteral("The service's answer does not mention the instance (HTTP %1).").arg(a.status);
        }
    }
    return out;
}

void DcmWebClient::Probe()
{
    QUrl url = below(d->service.base, QStringLiteral("studies"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("limit"), QStringLiteral("1"));
    url.setQuery(query);
    const QString doing = QStringLiteral("The DICOMweb service at %1 does not answer").arg(shown(d->service.base));
    if (d->aborted)
        d->fail(Answer(), doing);
    const Answer a = d->run(d->request(url), nullptr);
    if (a.error != QNetworkReply::NoError)
        d->fail(a, doing);
    if (a.status == 204)
        return;
    QJsonParseError parsed;
    const QJsonDocument doc = QJsonDocument::fromJson(a.body, &parsed);
    if (a.status != 200 || (!a.body.trimmed().isEmpty() && !doc.isArray()))
        throw Error(DicomErrc::WebRequestFailed,
                    QStringLiteral("%1: something answers there, but not as a DICOMweb service (HTTP %2, %3).")
                        .arg(doing)
                        .arg(a.status)
                        .arg(parsed.error != QJsonParseError::NoError ? QStringLiteral("no JSON") : QStringLiteral("no list of studies")));
}

QSet<QString> DcmWebClient::InstancesOf(const QString& studyInstanceUID)
{
    const QUrl base = below(d->service.base, QStringLiteral("studies/%1/instances").arg(studyInstanceUID.trimmed()));
    const QString doing = QStringLiteral("Cannot ask %1 for the instances of study %2").arg(shown(d->service.base), studyInstanceUID);
    QSet<QString> uids;
    // A service may answer in pages, and may not say so: ask on from where
    // the last page ended until a page brings nothing new.
    for (;;) {
        if (d->aborted)
            d->fail(Answer(), doing);
        QUrl url = base;
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("includefield"), QStringLiteral("00080018"));
        if (!uids.isEmpty())
            query.addQueryItem(QStringLiteral("offset"), QString::number(uids.size()));
        url.setQuery(query);
        const Answer a = d->run(d->request(url), nullptr);
        if (a.status == 404 || a.status == 204)
            return uids;
        if (a.error != QNetworkReply::NoError)
            d->fail(a, doing);
        const QJsonDocument doc = QJsonDocument::fromJson(a.body);
        if (a.status != 200 || (!a.body.trimmed().isEmpty() && !doc.isArray()))
            throw Error(DicomErrc::WebRequestFailed,
                        QStringLiteral("%1: the answer (HTTP %2) is not a list of instances.").arg(doing).arg(a.status));
        const qsizetype before = uids.size();
        for (const QJsonValue& v : doc.array()) {
            const QString uid = firstString(v.toObject(), "00080018");
            if (!uid.isEmpty())
                uids.insert(uid);
        }
        if (uids.size() == before)
            return uids;
    }
}

}  // namespace varnelo
