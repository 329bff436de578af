#include "support/Peers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dstorscp.h>
#include <dcmtk/dcmnet/scpthrd.h>

namespace varnelo::testsupport {

namespace {

int loopbackSocket(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("bind() on 127.0.0.1 failed");
    }
    return fd;
}

quint16 boundPort(int fd)
{
    sockaddr_in addr {};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// Whether some socket listens on `port`, read from the kernel's tables so
// that the check itself opens no connection (storescp in single-process mode
// would sit on a silent connection for its whole ACSE timeout).
bool listening(quint16 port)
{
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f {QString::fromLatin1(table)};
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = f.readAll().split('\n');
        for (const QByteArray& line : lines) {
            const QList<QByteArray> cols = line.simplified().split(' ');
            if (cols.size() < 4 || cols[3] != "0A")  // 0A: LISTEN
                continue;
            const QByteArray local = cols[1];
            const int colon = local.lastIndexOf(':');
            bool ok = false;
            if (colon > 0 && local.mid(colon + 1).toUInt(&ok, 16) == port && ok)
                return true;
        }
    }
    return false;
}

}  // namespace

quint16 freeLoopbackPort()
{
    const int fd = loopbackSocket(0);
    const quint16 port = boundPort(fd);
    ::close(fd);
    return port;
}

QString dcmtkTool(const QString& name)
{
    const QString path = QStringLiteral("/usr/bin/") + name;
    return QFileInfo(path).isExecutable() ? path : QString();
}

QStringList filesBelow(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

TestCertificates makeTestCertificates(const QString& folder)
{
    const QString openssl = QStringLiteral("/usr/bin/openssl");
    auto run = [&](const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(folder);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(openssl, args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            throw std::runtime_error("openssl " + args.join(' ').toStdString() + ": " + p.readAll().toStdString());
    };
    auto path = [&](const QString& name) { return QDir(folder).filePath(name); };
    auto ca = [&](const QString& name, const QString& subject) {
        run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2", "-subj", subject, "-keyout",
             name + ".key", "-out", name + ".pem"});
    };
    auto issue = [&](const QString& name, const QString& subject, const QString& issuer) {
        run({"req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", subject, "-keyout", name + ".key", "-out",
             name + ".csr"});
        run({"x509", "-req", "-sha256", "-days", "2", "-in", name + ".csr", "-CA", issuer + ".pem", "-CAkey",
             issuer + ".key", "-set_serial", QString::number(QRandomGenerator::global()->bounded(1, 1 << 30)), "-out",
             name + ".pem"});
    };
    ca("ca", "/CN=Varnelo Test CA");
    issue("server", "/CN=pacs.test", "ca");
    issue("client", "/CN=varnelo.test", "ca");
    run({"pkey", "-in", "client.key", "-aes256", "-passout", "pass:secret", "-out", "client-locked.key"});
    ca("stranger-ca", "/CN=Stranger CA");
    issue("stranger", "/CN=stranger.test", "stranger-ca");
    TestCertificates c;
    c.ca = path("ca.pem");
    c.serverCertificate = path("server.pem");
    c.serverKey = path("server.key");
    c.clientCertificate = path("client.pem");
    c.clientKey = path("client.key");
    c.lockedClientKey = path("client-locked.key");
    c.strangerCa = path("stranger-ca.pem");
    c.strangerCertificate = path("stranger.pem");
    c.strangerKey = path("stranger.key");
    return c;
}

Peer::Peer(const QString& program, const QStringList& args, quint16 port, const QString& aeTitle, bool tcpNoDelay,
           const QString& storage, const QByteArray& config, const QByteArray& lua, const QString& configName)
    : port_(port)
    , aeTitle_(aeTitle)
{
    if (program.isEmpty())
        throw std::runtime_error("peer program not installed");
    if (!dir_.isValid())
        throw std::runtime_error("cannot create a temporary folder");
    QStringList arguments = args;
    if (!storage.isEmpty()) {
        storage_ = dir_.filePath(storage);
        QDir().mkpath(storage_);
        arguments.replaceInStrings(QStringLiteral("@STORAGE@"), storage_);
    }
    if (!config.isEmpty()) {
        QByteArray text = config;
        text.replace("@STORAGE@", storage_.toUtf8()).replace("@DIR@", dir_.path().toUtf8());
        QFile file(dir_.filePath(configName));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            throw std::runtime_error("cannot write the peer's configuration");
        arguments.replaceInStrings(QStringLiteral("@CONFIG@"), file.fileName());
    }
    if (!lua.isEmpty()) {
        QFile file(dir_.filePath(QStringLiteral("peer.lua")));
        if (!file.open(QIODevice::WriteOnly) || file.write(lua) != lua.size())
            throw std::runtime_error("cannot write the peer's Lua script");
    }
    logPath_ = dir_.filePath(QStringLiteral("peer.log"));
    process_ = std::make_unique<QProcess>();
    process_->setWorkingDirectory(dir_.path());
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->setStandardOutputFile(logPath_);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TCP_NODELAY"));
    if (tcpNoDelay)
        env.insert(QStringLiteral("TCP_NODELAY"), QStringLiteral("1"));
    process_->setProcessEnvironment(env);
    process_->start(program, arguments);
    if (!process_->waitForStarted(5000))
        throw std::runtime_error("cannot start " + program.toStdString());
    const QDeadlineTimer deadline(10000);
    while (!listening(port_)) {
        if (deadline.hasExpired() || process_->state() != QProcess::Running) {
            const std::string why = "peer did not start listening: " + log().toStdString();
            stop();
            throw std::runtime_error(why);
        }
        QThread::msleep(20);
    }
}

std::unique_ptr<Peer> Peer::storescp(const Options& options)
{
    const quint16 port = options.port ? options.port : freeLoopbackPort();
    QStringList args;
    args << QStringLiteral("-v") << QStringLiteral("-aet") << options.aeTitle << QStringLiteral("-dhl");
    if (!options.tlsCertificate.isEmpty()) {
        args << QStringLiteral("+tls") << options.tlsPrivateKey << options.tlsCertificate;
        if (options.tlsTrusted.isEmpty())
            args << QStringLiteral("-ic");
        else
            args << QStringLiteral("+cf") << options.tlsTrusted << QStringLiteral("--require-peer-cert");
    }
    args << options.extraArgs << QStringLiteral("-od") << QStringLiteral("@STORAGE@") << QString::number(port);
    return std::unique_ptr<Peer>(new Peer(dcmtkTool(QStringLiteral("storescp")), args, port, options.aeTitle,
                                          options.tcpNoDelay, QStringLiteral("received")));
}

std::unique_ptr<Peer> Peer::storescp()
{
    return storescp(Options());
}

std::unique_ptr<Peer> Peer::wlmscpfs(const QString& dataFolder, const Options& options)
{
    const quint16 port = options.port ? options.port : freeLoopbackPort();
    QStringList args;
    // -csk: answers name the character set of their file, as a site with
    // names beyond ASCII must run it (by default it names none).
    args << QStringLiteral("-v") << QStringLiteral("-s") << QStringLiteral("-csk") << QStringLiteral("-dfp") << dataFolder
         << options.extraArgs << QString::number(port);
    return std::unique_ptr<Peer>(
        new Peer(dcmtkTool(QStringLiteral("wlmscpfs")), args, port, options.aeTitle, options.tcpNoDelay, QString()));
}

std::unique_ptr<Peer> Peer::dcmqrscp(const Options& options)
{
    const quint16 port = options.port ? options.port : freeLoopbackPort();
    const QByteArray config = QStringLiteral(R"(NetworkTCPPort = %1
MaxPDUSize = 16384
MaxAssociations = 16

HostTable BEGIN
HostTable END

VendorTable BEGIN
VendorTable END

AETable BEGIN
%2 @STORAGE@ RW (200, 1024mb) ANY
AETable END
)")
                                  .arg(port)
                                  .arg(options.aeTitle)
                                  .toUtf8();
    // Not single-process: in 3.6.7 that mode crashes once an association
    // that queried ends, while a child process may.
    QStringList args;
    args << QStringLiteral("-v") << QStringLiteral("-c") << QStringLiteral("@CONFIG@") << options.extraArgs
         << QString::number(port);
    return std::unique_ptr<Peer>(new Peer(dcmtkTool(QStringLiteral("dcmqrscp")), args, port, options.aeTitle,
                                          options.tcpNoDelay, QStringLiteral("archive"), config, {},
                                          QStringLiteral("dcmqrscp.cfg")));
}

QString orthancDicomWebPlugin()
{
    for (const char* path : {"/usr/share/orthanc/plugins/libOrthancDicomWeb.so", "/usr/lib/orthanc/libOrthancDicomWeb.so"})
        if (QFileInfo::exists(QString::fromLatin1(path)))
            return QString::fromLatin1(path);
    return QString();
}

QString orthancWorklistPlugin()
{
    for (const char* path :
         {"/usr/share/orthanc/plugins/libModalityWorklists.so", "/usr/lib/orthanc/libModalityWorklists.so"})
        if (QFileInfo::exists(QString::fromLatin1(path)))
            return QString::fromLatin1(path);
    return QString();
}

std::unique_ptr<Peer> Peer::orthanc(const Options& options, const QString& worklistFolder)
{
    const quint16 port = options.port ? options.port : freeLoopbackPort();
    QString tls;
    if (!options.tlsCertificate.isEmpty())
        tls = QStringLiteral(R"(
  "DicomTlsEnabled": true,
  "DicomTlsCertificate": "%1",
  "DicomTlsPrivateKey": "%2",
  "DicomTlsTrustedCertificates": "%3",
  "DicomTlsRemoteCertificateRequired": %4,)")
                  .arg(options.tlsCertificate, options.tlsPrivateKey, options.tlsTrusted,
                       options.tlsTrusted.isEmpty() ? QStringLiteral("false") : QStringLiteral("true"));
    // Orthanc turns C-FIND answers into its DefaultEncoding; UTF-8 keeps
    // every name.
    QString worklists = QStringLiteral(R"("Plugins": [])");
    if (!worklistFolder.isEmpty())
        worklists = QStringLiteral(R"("Plugins": ["%1"],
  "Worklists": { "Enable": true, "Database": "%2" })")
                        .arg(orthancWorklistPlugin(), worklistFolder);
    if (options.dicomWeb) {
        if (worklistFolder.isEmpty())
            worklists = QStringLiteral(R"("Plugins": ["%1"])").arg(orthancDicomWebPlugin());
        else
            worklists.replace(QLatin1String(R"("Plugins": [)"), QStringLiteral(R"("Plugins": ["%1", )").arg(orthancDicomWebPlugin()));
        worklists += QStringLiteral(R"(,
  "DicomWeb": { "Enable": true, "Root": "/dicom-web/" })");
    }
    // The program as a modality, known by the AE title it calls with; a Lua script.
    QString extras;
    if (!options.modalityAet.isEmpty())
        extras = QStringLiteral(R"(
  "DicomModalities": { "varnelo": { "AET": "%1", "Host": "127.0.0.1", "Port": %2, "AllowStorageCommitment": %3,
                                    "UseDicomTls": %4 } },)")
                     .arg(options.modalityAet)
                     .arg(options.modalityPort)
                     .arg(options.modalityAllowsCommitment ? QStringLiteral("true") : QStringLiteral("false"),
                          tls.isEmpty() ? QStringLiteral("false") : QStringLiteral("true"));
    if (!options.luaScript.isEmpty())
        extras += QStringLiteral(R"(
  "LuaScripts": ["@DIR@/peer.lua"],)");
    // users of the HTTP server
    QString httpExtras;
    if (!options.httpUser.isEmpty())
        httpExtras += QStringLiteral(R"("RegisteredUsers": { "%1": "%2" },)").arg(options.httpUser, options.httpPassword);
    const QByteArray config = QStringLiteral(R"({
  "Name": "Varnelo test PACS",%4%6
  "StorageDirectory": "@STORAGE@",
  "IndexDirectory": "@DIR@/index",
  "DicomAet": "%1",
  "DicomPort": %2,
  %5
  "RemoteAccessAllowed": false,
  "StorageCompression": false,
  "DefaultEncoding": "Utf8",
  "DicomAlwaysAllowFindWorklist": true,
  "DicomAlwaysAllowFind": %7,
  %3
})")
                                  .arg(options.aeTitle)
                                  .arg(port)
                                  .arg(worklists, tls)
                                  .arg(options.httpPort ? QStringLiteral(R"("HttpServerEnabled": true,
  "HttpPort": %1,
  %2
  "AuthenticationEnabled": %3,)")
                                                              .arg(options.httpPort)
                                                              .arg(httpExtras, options.httpUser.isEmpty() ? QStringLiteral("false") : QStringLiteral("true"))
                                                        : QStringLiteral(R"("HttpServerEnabled": false,)"),
                                       extras, options.allowFind ? QStringLiteral("true") : QStringLiteral("false"))
                                  .toUtf8();
    QString program = QStringLiteral("/usr/sbin/Orthanc");
    if (!worklistFolder.isEmpty() && orthancWorklistPlugin().isEmpty())
        program.clear();
    if (options.dicomWeb && orthancDicomWebPlugin().isEmpty())
        program.clear();
    std::unique_ptr<Peer> peer(new Peer(QFileInfo(program).isExecutable() ? program : QString(),
                                        QStringList {QStringLiteral("@CONFIG@")}, port, options.aeTitle,
                                        options.tcpNoDelay, QStringLiteral("storage"), config,
                                        options.luaScript.toUtf8()));
    // Orthanc opens its HTTP port after the DICOM one
    peer->httpPort_ = options.httpPort;
    if (!options.httpUser.isEmpty())
        peer->httpCredentials_ = options.httpUser + QLatin1Char(':') + options.httpPassword;
    const QDeadlineTimer deadline(10000);
    while (options.httpPort && !listening(options.httpPort)) {
        if (deadline.hasExpired() || !peer->isRunning())
            throw std::runtime_error("Orthanc's REST API did not start: " + peer->log().toStdString());
        QThread::msleep(20);
    }
    return peer;
}

QByteArray Peer::restGet(const QString& path) const
{
    if (!httpPort_)
        return {};
    QProcess curl;
    QStringList args {QStringLiteral("-fsS"), QStringLiteral("--max-time"), QStringLiteral("10"),
                      QStringLiteral("http://127.0.0.1:%1%2").arg(httpPort_).arg(path)};
    if (!httpCredentials_.isEmpty())
        args << QStringLiteral("-u") << httpCredentials_;
    curl.start(QStringLiteral("/usr/bin/curl"), args);
    if (!curl.waitForFinished(15000) || curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0)
        return {};
    return curl.readAllStandardOutput();
}

Peer::~Peer()
{
    stop();
}

void Peer::stop()
{
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

bool Peer::isRunning() const
{
    return process_ && process_->state() == QProcess::Running;
}

QString Peer::log() const
{
    QFile f(logPath_);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(f.readAll());
}

bool Peer::waitForLog(const QString& text, int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (countInLog(text) < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

bool Peer::waitForFiles(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (receivedFiles().size() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

namespace {

const char* littleEndian[] = {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax};

QString text(DcmItem& item, const DcmTagKey& tag)
{
    OFString value;
    item.findAndGetOFStringArray(tag, value);
    return QString::fromLatin1(value.c_str()).trimmed();
}

// Empty, "*" or one of the backslash-separated UIDs.
bool matches(const QString& key, const QString& value)
{
    return key.isEmpty() || key == QLatin1String("*") || key.split(QLatin1Char('\\')).contains(value);
}

}  // namespace

struct CommitScp::Impl {
    struct Instance {
        QString sopClass, study, series;
    };

    Options o;
    T_ASC_Network* net = nullptr;
    quint16 port = 0;
    std::atomic<bool> stop {false};
    std::thread loop;
    std::vector<std::thread> reporters;  // touched by `loop` only, until it ends
    mutable std::mutex m;
    std::map<QString, Instance> stored;
    QStringList storedUids, lastAction;
    int finds = 0, actions = 0, sent = 0, acknowledged = 0;
    QString listenerIdentity;

    void run()
    {
        while (!stop) {
            if (!ASC_associationWaiting(net, 1))
                continue;
            T_ASC_Association* a = nullptr;
            if (ASC_receiveAssociation(net, &a, ASC_DEFAULTMAXPDU).good() && accept(a))
                serve(a);
            if (a) {
                ASC_dropSCPAssociation(a);
                ASC_destroyAssociation(&a);
            }
        }
    }

    bool accept(T_ASC_Association* a)
    {
        std::vector<const char*> classes(dcmAllStorageSOPClassUIDs,
                                         dcmAllStorageSOPClassUIDs + numberOfDcmAllStorageSOPClassUIDs);
        classes.push_back(UID_VerificationSOPClass);
        classes.push_back(UID_FINDStudyRootQueryRetrieveInformationModel);
        if (o.mode != Mode::NoCommitment)
            classes.push_back(UID_StorageCommitmentPushModelSOPClass);
        ASC_acceptContextsWithPreferredTransferSyntaxes(a->params, classes.data(), int(classes.size()), littleEndian, 2);
        ASC_setAPTitles(a->params, nullptr, nullptr, o.aeTitle.toLatin1().constData());
        return ASC_acknowledgeAssociation(a).good();
    }

    // Commands until release, abort, a minute of silence or stop.
    void serve(T_ASC_Association* a)
    {
        for (int idle = 0; !stop && idle < 60;) {
            T_DIMSE_Message msg;
            T_ASC_PresentationContextID pid = 0;
            const OFCondition c = DIMSE_receiveCommand(a, DIMSE_NONBLOCKING, 1, &pid, &msg, nullptr);
            if (c == DIMSE_NODATAAVAILABLE) {
                ++idle;
                continue;
            }
            if (c == DUL_PEERREQUESTEDRELEASE) {
                ASC_acknowledgeRelease(a);
                return;
            }
            idle = 0;
            bool ok = c.good();
            if (ok && msg.CommandField == DIMSE_C_ECHO_RQ)
                ok = DIMSE_sendEchoResponse(a, pid, &msg.msg.CEchoRQ, STATUS_Success, nullptr).good();
            else if (ok && msg.CommandField == DIMSE_C_STORE_RQ)
                ok = store(a, pid, msg.msg.CStoreRQ);
            else if (ok && msg.CommandField == DIMSE_C_FIND_RQ)
                ok = find(a, pid, msg.msg.CFindRQ);
            else if (ok && msg.CommandField == DIMSE_N_ACTION_RQ)
                ok = action(a, pid, msg.msg.NActionRQ);
            else
                ok = false;
            if (!ok)
                break;
        }
        ASC_abortAssociation(a);
    }

    static std::unique_ptr<DcmDataset> receive(T_ASC_Association* a, T_ASC_PresentationContextID pid)
    {
        DcmDataset* ds = nullptr;
        if (DIMSE_receiveDataSetInMemory(a, DIMSE_NONBLOCKING, 30, &pid, &ds, nullptr, nullptr).bad()) {
            delete ds;
            return nullptr;
        }
        return std::unique_ptr<DcmDataset>(ds);
    }

    bool store(T_ASC_Association* a, T_ASC_PresentationContextID pid, const T_DIMSE_C_StoreRQ& rq)
    {
        const auto ds = receive(a, pid);
        if (!ds)
            return false;
        {
            const std::lock_guard lock(m);
            const QString uid = QString::fromLatin1(rq.AffectedSOPInstanceUID);
            stored[uid] = {QString::fromLatin1(rq.AffectedSOPClassUID), text(*ds, DCM_StudyInstanceUID),
                           text(*ds, DCM_SeriesInstanceUID)};
            storedUids << uid;
        }
        T_DIMSE_C_StoreRSP rsp {};
        rsp.DimseStatus = STATUS_Success;
        return DIMSE_sendStoreResponse(a, pid, &rq, &rsp, nullptr).good();
    }

    bool find(T_ASC_Association* a, T_ASC_PresentationContextID pid, const T_DIMSE_C_FindRQ& rq)
    {
        const auto keys = receive(a, pid);
        if (!keys)
            return false;
        T_DIMSE_C_FindRSP rsp {};
        const std::lock_guard lock(m);
        ++finds;
        if (text(*keys, DCM_QueryRetrieveLevel) != QLatin1String("IMAGE")) {
            rsp.DimseStatus = STATUS_FIND_Failed_UnableToProcess;
            return DIMSE_sendFindResponse(a, pid, &rq, &rsp, nullptr, nullptr).good();
        }
        for (const auto& [uid, i] : stored) {
            if (!matches(text(*keys, DCM_SOPInstanceUID), uid) || !matches(text(*keys, DCM_StudyInstanceUID), i.study)
                || !matches(text(*keys, DCM_SeriesInstanceUID), i.series))
                continue;
            DcmDataset answer;
            answer.putAndInsertString(DCM_QueryRetrieveLevel, "IMAGE");
            answer.putAndInsertString(DCM_StudyInstanceUID, i.study.toLatin1().constData());
            answer.putAndInsertString(DCM_SeriesInstanceUID, i.series.toLatin1().constData());
            answer.putAndInsertString(DCM_SOPInstanceUID, uid.toLatin1().constData());
            answer.putAndInsertString(DCM_SOPClassUID, i.sopClass.toLatin1().constData());
            rsp.DimseStatus = STATUS_Pending;
            if (DIMSE_sendFindResponse(a, pid, &rq, &rsp, &answer, nullptr).bad())
                return false;
        }
        rsp.DimseStatus = STATUS_Success;
        return DIMSE_sendFindResponse(a, pid, &rq, &rsp, nullptr, nullptr).good();
    }

    bool action(T_ASC_Association* a, T_ASC_PresentationContextID pid, const T_DIMSE_N_ActionRQ& rq)
    {
        const auto ds = rq.DataSetType == DIMSE_DATASET_NULL ? std::make_unique<DcmDataset>() : receive(a, pid);
        if (!ds)
            return false;
        QList<std::pair<QString, QString>> refs;  // class, instance
        DcmSequenceOfItems* seq = nullptr;
        if (ds->findAndGetSequence(DCM_ReferencedSOPSequence, seq).good() && seq)
            for (unsigned long n = 0; n < seq->card(); ++n)
                refs.append({text(*seq->getItem(n), DCM_ReferencedSOPClassUID),
                             text(*seq->getItem(n), DCM_ReferencedSOPInstanceUID)});
        {
            const std::lock_guard lock(m);
            ++actions;
            lastAction.clear();
            for (const auto& ref : refs)
                lastAction << ref.second;
        }
        // Like Orthanc: only the well-known instance and action 1.
        Uint16 status = STATUS_Success;
        if (o.mode == Mode::RefuseAction)
            status = STATUS_N_ProcessingFailure;
        else if (strcmp(rq.RequestedSOPInstanceUID, UID_StorageCommitmentPushModelSOPInstance) != 0)
            status = STATUS_N_NoSuchSOPInstance;
        else if (rq.ActionTypeID != 1)
            status = STATUS_N_NoSuchAction;
        T_DIMSE_Message rsp {};
        rsp.CommandField = DIMSE_N_ACTION_RSP;
        T_DIMSE_N_ActionRSP& r = rsp.msg.NActionRSP;
        r.MessageIDBeingRespondedTo = rq.MessageID;
        r.DimseStatus = status;
        r.ActionTypeID = rq.ActionTypeID;
        r.DataSetType = DIMSE_DATASET_NULL;
        r.opts = O_NACTION_AFFECTEDSOPCLASSUID | O_NACTION_AFFECTEDSOPINSTANCEUID | O_NACTION_ACTIONTYPEID;
        OFStandard::strlcpy(r.AffectedSOPClassUID, rq.RequestedSOPClassUID, sizeof r.AffectedSOPClassUID);
        OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.RequestedSOPInstanceUID, sizeof r.AffectedSOPInstanceUID);
        if (DIMSE_sendMessageUsingMemoryData(a, pid, &rsp, nullptr, nullptr, nullptr, nullptr).bad())
            return false;
        const QString transaction = text(*ds, DCM_TransactionUID);
        if (status == STATUS_Success && o.closeAfterAction)
            return false;
        if (status != STATUS_Success || o.mode == Mode::Silent)
            return true;
        if (o.mode == Mode::NewAssociation) {
            reporters.emplace_back([this, transaction, refs] {
                if (pause())
                    reportOnNewAssociation(transaction, refs);
            });
            return true;
        }
        return pause() && report(a, pid, transaction, refs);
    }

    // reportDelayMs, unless stopped first.
    bool pause() const
    {
        for (int ms = 0; ms < o.reportDelayMs && !stop; ms += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !stop;
    }

    // Sends the N-EVENT-REPORT and waits up to 10 s for its answer.
    bool report(T_ASC_Association* a, T_ASC_PresentationContextID pid, const QString& transaction,
                const QList<std::pair<QString, QString>>& refs)
    {
        DcmDataset ds;
        ds.putAndInsertString(DCM_TransactionUID, transaction.toLatin1().constData());
        bool failures = false;
        for (const auto& [sopClass, uid] : refs) {
            Uint16 reason = 0;
            {
                const std::lock_guard lock(m);
                const auto it = stored.find(uid);
                if (it == stored.end() || o.failUids.contains(uid))
                    reason = 0x0112;
                else if (it->second.sopClass != sopClass)
                    reason = 0x0119;
            }
            DcmItem* item = nullptr;
            ds.findOrCreateSequenceItem(reason ? DCM_FailedSOPSequence : DCM_ReferencedSOPSequence, item, -2);
            item->putAndInsertString(DCM_ReferencedSOPClassUID, sopClass.toLatin1().constData());
            item->putAndInsertString(DCM_ReferencedSOPInstanceUID, uid.toLatin1().constData());
            if (reason)
                item->putAndInsertUint16(DCM_FailureReason, reason);
            failures = failures || reason;
        }
        if (o.padReport > 0) {
            DcmSequenceOfItems* seq = nullptr;
            if (ds.findAndGetSequence(DCM_ReferencedSOPSequence, seq).bad() || !seq) {
                seq = new DcmSequenceOfItems(DCM_ReferencedSOPSequence);
                ds.insert(seq);
            }
            for (int n = 0; n < o.padReport; ++n) {
                auto* item = new DcmItem;
                item->putAndInsertString(DCM_ReferencedSOPClassUID, UID_CTImageStorage);
                item->putAndInsertString(DCM_ReferencedSOPInstanceUID,
                                         QStringLiteral("2.25.%1").arg(n + 1).toLatin1().constData());
                seq->append(item);
            }
        }
        T_DIMSE_Message rq {};
        rq.CommandField = DIMSE_N_EVENT_REPORT_RQ;
        T_DIMSE_N_EventReportRQ& r = rq.msg.NEventReportRQ;
        r.MessageID = a->nextMsgID++;
        OFStandard::strlcpy(r.AffectedSOPClassUID, UID_StorageCommitmentPushModelSOPClass, sizeof r.AffectedSOPClassUID);
        OFStandard::strlcpy(r.AffectedSOPInstanceUID, UID_StorageCommitmentPushModelSOPInstance,
                            sizeof r.AffectedSOPInstanceUID);
        r.EventTypeID = failures ? 2 : 1;
        r.DataSetType = DIMSE_DATASET_PRESENT;
        if (DIMSE_sendMessageUsingMemoryData(a, pid, &rq, nullptr, &ds, nullptr, nullptr).bad())
            return false;
        bool answered = false;
        for (int s = 0; s < 10 && !stop; ++s) {
            T_DIMSE_Message rsp;
            T_ASC_PresentationContextID rspPid = 0;
            const OFCondition c = DIMSE_receiveCommand(a, DIMSE_NONBLOCKING, 1, &rspPid, &rsp, nullptr);
            if (c == DIMSE_NODATAAVAILABLE)
                continue;
            const T_DIMSE_N_EventReportRSP& e = rsp.msg.NEventReportRSP;
            const unsigned both = O_NEVENTREPORT_AFFECTEDSOPCLASSUID | O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID;
            answered = c.good() && rsp.CommandField == DIMSE_N_EVENT_REPORT_RSP;
            const std::lock_guard lock(m);
            if (answered && e.MessageIDBeingRespondedTo == r.MessageID && e.DimseStatus == STATUS_Success
                && (e.opts & both) == both)
                ++acknowledged;
            break;
        }
        const std::lock_guard lock(m);
        ++sent;
        return answered;
    }

    void reportOnNewAssociation(const QString& transaction, const QList<std::pair<QString, QString>>& refs)
    {
        T_ASC_Network* requestor = nullptr;
        if (ASC_initializeNetwork(NET_REQUESTOR, 0, 5, &requestor).bad())
            return;
        T_ASC_Parameters* params = nullptr;
        T_ASC_Association* a = nullptr;
        ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
        ASC_setAPTitles(params, o.aeTitle.toLatin1().constData(), o.reportCalledAe.toLatin1().constData(), nullptr);
        const QString address = QStringLiteral("%1:%2").arg(o.reportHost).arg(o.reportPort);
        ASC_setPresentationAddresses(params, "localhost", address.toLatin1().constData());
        ASC_addPresentationContext(params, 1, UID_StorageCommitmentPushModelSOPClass, littleEndian, 2,
                                   ASC_SC_ROLE_SCP);
        if (ASC_requestAssociation(requestor, params, &a).good()) {
            {
                const std::lock_guard lock(m);
                listenerIdentity = QStringLiteral("%1 %2").arg(QLatin1String(params->theirImplementationClassUID),
                                                               QLatin1String(params->theirImplementationVersionName));
            }
            const T_ASC_PresentationContextID pid =
                ASC_findAcceptedPresentationContextID(a, UID_StorageCommitmentPushModelSOPClass);
            if (pid && report(a, pid, transaction, refs))
                ASC_releaseAssociation(a);
            else
                ASC_abortAssociation(a);
        }
        if (a)
            ASC_destroyAssociation(&a);
        else
            ASC_destroyAssociationParameters(&params);
        ASC_dropNetwork(&requestor);
    }
};

CommitScp::CommitScp(const Options& options)
    : d_(std::make_unique<Impl>())
{
    d_->o = options;
    // DCMTK 3.6.7 does not tell which port it got for 0: a free one, again
    // should another listener take it first
    for (int attempt = 0; !d_->net; ++attempt) {
        d_->port = freeLoopbackPort();
        if (ASC_initializeNetwork(NET_ACCEPTOR, d_->port, 5, &d_->net).bad() && attempt == 4)
            throw std::runtime_error("CommitScp cannot listen");
    }
    d_->loop = std::thread([this] { d_->run(); });
}

CommitScp::~CommitScp()
{
    d_->stop = true;
    d_->loop.join();
    for (std::thread& t : d_->reporters)
        t.join();
    ASC_dropNetwork(&d_->net);
}

quint16 CommitScp::port() const
{
    return d_->port;
}

QString CommitScp::aeTitle() const
{
    return d_->o.aeTitle;
}

QStringList CommitScp::storedUids() const
{
    const std::lock_guard lock(d_->m);
    return d_->storedUids;
}

int CommitScp::findsReceived() const
{
    const std::lock_guard lock(d_->m);
    return d_->finds;
}

int CommitScp::actionsReceived() const
{
    const std::lock_guard lock(d_->m);
    return d_->actions;
}

QString CommitScp::reportListenerIdentity() const
{
    const std::lock_guard lock(d_->m);
    return d_->listenerIdentity;
}

QStringList CommitScp::lastActionUids() const
{
    const std::lock_guard lock(d_->m);
    return d_->lastAction;
}

int CommitScp::eventReportsSent() const
{
    const std::lock_guard lock(d_->m);
    return d_->sent;
}

int CommitScp::eventReportsAcknowledged() const
{
    const std::lock_guard lock(d_->m);
    return d_->acknowledged;
}

bool CommitScp::waitForEventReports(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (eventReportsSent() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

AddressRelay::AddressRelay(quint16 targetPort, const QString& fromAddress)
    : target_(targetPort)
    , from_(fromAddress)
{
    fd_ = loopbackSocket(0);
    port_ = boundPort(fd_);
    if (::listen(fd_, 16) != 0) {
        ::close(fd_);
        throw std::runtime_error("listen() failed");
    }
    thread_ = std::thread([this] { run(); });
}

AddressRelay::~AddressRelay()
{
    stop_ = true;
    thread_.join();
    ::close(fd_);
}

// One connection at a time, both ways, until either side closes or stop.
void AddressRelay::run()
{
    while (!stop_) {
        pollfd l {fd_, POLLIN, 0};
        if (::poll(&l, 1, 100) <= 0)
            continue;
        const int in = ::accept(fd_, nullptr, nullptr);
        if (in < 0)
            continue;
        ++connections_;
        const int out = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from {};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, from_.toLatin1().constData(), &from.sin_addr);
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(target_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(out, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
            ::connect(out, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            pollfd both[] = {{in, POLLIN, 0}, {out, POLLIN, 0}};
            char buffer[16384];
            bool open = true;
            while (open && !stop_) {
                if (::poll(both, 2, 100) <= 0)
                    continue;
                for (int i = 0; i < 2 && open; ++i) {
                    if (!(both[i].revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    const ssize_t n = ::read(both[i].fd, buffer, sizeof buffer);
                    open = n > 0 && ::write(both[1 - i].fd, buffer, static_cast<size_t>(n)) == n;
                }
            }
        }
        ::close(out);
        ::close(in);
    }
}

SilentListener::SilentListener()
{
    fd_ = loopbackSocket(0);
    port_ = boundPort(fd_);
    if (::listen(fd_, 16) != 0) {
        ::close(fd_);
        throw std::runtime_error("listen() failed");
    }
}

SilentListener::~SilentListener()
{
    if (fd_ >= 0)
        ::close(fd_);
}

// ---- DcmtkCommitScp ---------------------------------------------------------

namespace {

class CommitStorageScp : public DcmStorageSCP {
public:
    std::atomic<bool> stop {false};
    std::mutex m;
    std::set<std::string> stored;
    int reportsOk = 0;

protected:
    OFBool stopAfterConnectionTimeout() override { return stop; }
    OFBool stopAfterCurrentAssociation() override { return stop; }

    void notifyInstanceStored(const OFString& filename, const OFString& sopClassUID, const OFString& sopInstanceUID,
                              DcmDataset* dataset) const override
    {
        DcmStorageSCP::notifyInstanceStored(filename, sopClassUID, sopInstanceUID, dataset);
        auto* self = const_cast<CommitStorageScp*>(this);
        const std::lock_guard<std::mutex> lock(self->m);
        self->stored.insert(sopInstanceUID.c_str());
    }

    OFCondition handleIncomingCommand(T_DIMSE_Message* msg, const DcmPresentationContextInfo& info) override
    {
        if (msg->CommandField != DIMSE_N_ACTION_RQ)
            return DcmStorageSCP::handleIncomingCommand(msg, info);
        T_DIMSE_N_ActionRQ& rq = msg->msg.NActionRQ;
        DcmDataset* request = nullptr;
        Uint16 actionType = 0;
        OFCondition cond = receiveACTIONRequest(rq, info.presentationContextID, request, actionType);
        if (cond.bad())
            return cond;
        std::unique_ptr<DcmDataset> owned(request);
        cond = sendACTIONResponse(info.presentationContextID, rq.MessageID, rq.RequestedSOPClassUID,
                                  rq.RequestedSOPInstanceUID, STATUS_Success);
        if (cond.bad())
            return cond;
        DcmDataset report;
        OFString transaction;
        owned->findAndGetOFString(DCM_TransactionUID, transaction);
        report.putAndInsertOFStringArray(DCM_TransactionUID, transaction);
        DcmSequenceOfItems* refs = nullptr;
        owned->findAndGetSequence(DCM_ReferencedSOPSequence, refs);
        for (unsigned long i = 0; refs && i < refs->card(); ++i) {
            OFString sopClass, sopInstance;
            refs->getItem(i)->findAndGetOFString(DCM_ReferencedSOPClassUID, sopClass);
            refs->getItem(i)->findAndGetOFString(DCM_ReferencedSOPInstanceUID, sopInstance);
            bool kept = false;
            {
                const std::lock_guard<std::mutex> lock(m);
                kept = stored.count(sopInstance.c_str()) > 0;
            }
            DcmItem* item = nullptr;
            report.findOrCreateSequenceItem(kept ? DCM_ReferencedSOPSequence : DCM_FailedSOPSequence, item, -2);
            item->putAndInsertOFStringArray(DCM_ReferencedSOPClassUID, sopClass);
            item->putAndInsertOFStringArray(DCM_ReferencedSOPInstanceUID, sopInstance);
            if (!kept)
                item->putAndInsertUint16(DCM_FailureReason, 0x0112);
        }
        Uint16 status = 0xFFFF;
        cond = sendEVENTREPORTRequest(info.presentationContextID, UID_StorageCommitmentPushModelSOPInstance,
                                      static_cast<Uint16>(rq.MessageID + 1000), report.tagExists(DCM_FailedSOPSequence) ? 2 : 1,
                                      &report, status);
        if (cond.good() && status == STATUS_Success) {
            const std::lock_guard<std::mutex> lock(m);
            ++reportsOk;
        }
        return cond;
    }
};

}  // namespace

struct DcmtkCommitScp::Impl {
    CommitStorageScp scp;
    QTemporaryDir out;
    quint16 port = 0;
    QString aeTitle;
    std::string ended;  // what listen() returned
    std::thread loop;
};

DcmtkCommitScp::DcmtkCommitScp(const QString& aeTitle, bool commitment)
    : d_(std::make_unique<Impl>())
{
    d_->aeTitle = aeTitle;
    d_->port = freeLoopbackPort();
    CommitStorageScp& scp = d_->scp;
    scp.setAETitle(aeTitle.toStdString().c_str());
    scp.setPort(d_->port);
    scp.setOutputDirectory(d_->out.path().toStdString().c_str());
    scp.setConnectionBlockingMode(DUL_NOBLOCK);
    scp.setConnectionTimeout(1);
    scp.setDIMSETimeout(10);
    scp.setACSETimeout(10);
    OFList<OFString> syntaxes;
    syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
    syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
    for (const char* sop : {UID_CTImageStorage, UID_MRImageStorage, UID_SecondaryCaptureImageStorage,
                            UID_StorageCommitmentPushModelSOPClass})
        if (const OFCondition c = commitment || std::strcmp(sop, UID_StorageCommitmentPushModelSOPClass) != 0
                ? scp.addPresentationContext(sop, syntaxes)
                : EC_Normal;
            c.bad())
            throw std::runtime_error(std::string("DcmStorageSCP refuses ") + sop + ": " + c.text());
    if (const OFCondition c = scp.setAndCheckAssociationProfile("DEFAULT"); c.bad())
        throw std::runtime_error(std::string("DcmStorageSCP has no profile: ") + c.text());
    d_->loop = std::thread([this] { d_->ended = d_->scp.listen().text(); });
    // ready once the port takes a connection
    for (int i = 0; i < 100; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(d_->port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (up)
            return;
        QThread::msleep(20);
    }
    d_->scp.stop = true;
    d_->loop.join();
    throw std::runtime_error("DcmStorageSCP did not listen: " + d_->ended);
}

DcmtkCommitScp::~DcmtkCommitScp()
{
    d_->scp.stop = true;
    if (d_->loop.joinable())
        d_->loop.join();
}

quint16 DcmtkCommitScp::port() const { return d_->port; }
QString DcmtkCommitScp::aeTitle() const { return d_->aeTitle; }

int DcmtkCommitScp::stored() const
{
    const std::lock_guard<std::mutex> lock(d_->scp.m);
    return static_cast<int>(d_->scp.stored.size());
}

int DcmtkCommitScp::reportsAnsweredWithSuccess() const
{
    const std::lock_guard<std::mutex> lock(d_->scp.m);
    return d_->scp.reportsOk;
}


// ---- LimitedStorePeer -------------------------------------------------------

namespace {

// As storescp +xa: a context that offers a compressed syntax beside the
// uncompressed ones gets the compressed one, so an image arrives as sent.
const char* storeSyntaxes[] = {
    UID_JPEG2000LosslessOnlyTransferSyntax, UID_JPEG2000TransferSyntax, UID_JPEGLSLosslessTransferSyntax,
    UID_JPEGLSLossyTransferSyntax, UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess14TransferSyntax,
    UID_JPEGProcess1TransferSyntax, UID_JPEGProcess2_4TransferSyntax, UID_RLELosslessTransferSyntax,
    UID_DeflatedExplicitVRLittleEndianTransferSyntax, UID_LittleEndianExplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax};

// DCMTK keeps an association's socket to itself; the destructor needs it to
// wake a worker that waits for its caller.
struct SocketOf : DcmTransportConnection {
    static int of(T_ASC_Association* a)
    {
        return (DUL_getTransportConnection(a->DULassociation)->*&SocketOf::getSocket)();
    }
};

struct LimitedStoreState {
    LimitedStorePeer::Options o;
    std::atomic<bool> stop {false};
    mutable std::mutex m;
    std::set<int> sockets;        // of associations being served
    std::map<QString, int> held;  // calling AE title -> its associations in hand
    QMap<QString, int> received;
    QStringList callers;
    int kept = 0, failed = 0, accepted = 0, rejected = 0, open = 0, peak = 0;
};

// One association: DcmSCP negotiates and dispatches, we count and decide.
class LimitedStoreScp : public DcmThreadSCP {
public:
    LimitedStoreScp(LimitedStoreState& s, T_ASC_Association* a)
        : s_(s)
        , assoc_(a)
    {
    }

protected:
    OFBool checkCallingAETitleAccepted(const OFString& callingAE) override
    {
        const QString caller = QString::fromLatin1(callingAE.c_str()).trimmed();
        const std::lock_guard lock(s_.m);
        if (!s_.callers.contains(caller))
            s_.callers << caller;
        int& held = s_.held[caller];
        if (s_.stop || (s_.o.maxAssociationsPerCaller > 0 && held >= s_.o.maxAssociationsPerCaller)) {
            s_.rejected += s_.stop ? 0 : 1;
            overLimit_ = true;
            return OFFalse;
        }
        ++held;
        caller_ = caller;
        holding_ = true;
        return OFTrue;
    }

    void refuseAssociation(const DcmRefuseReasonType reason) override
    {
        // transient, "local limit exceeded", as such a PACS answers
        DcmThreadSCP::refuseAssociation(overLimit_ ? DCMSCP_TOO_MANY_ASSOCIATIONS : reason);
    }

    // As storescp: every storage class (more than an association profile
    // may list) and verification, in the syntaxes above.
    OFCondition negotiateAssociation() override
    {
        std::vector<const char*> classes(dcmAllStorageSOPClassUIDs,
                                         dcmAllStorageSOPClassUIDs + numberOfDcmAllStorageSOPClassUIDs);
        classes.push_back(UID_VerificationSOPClass);
        return ASC_acceptContextsWithPreferredTransferSyntaxes(assoc_->params, classes.data(), int(classes.size()),
                                                               storeSyntaxes, int(std::size(storeSyntaxes)));
    }

    void notifyAssociationAcknowledge() override
    {
        const std::lock_guard lock(s_.m);
        ++s_.accepted;
        s_.peak = std::max(s_.peak, ++s_.open);
        open_ = true;
    }

    // Before the release is acknowledged: a caller that reconnects at once
    // finds its place free.
    void notifyReleaseRequest() override { leave(); }
    void notifyAbortRequest() override { leave(); }
    void notifyAssociationTermination() override { leave(); }

    OFCondition handleIncomingCommand(T_DIMSE_Message* msg, const DcmPresentationContextInfo& info) override
    {
        if (msg->CommandField != DIMSE_C_STORE_RQ)
            return DcmThreadSCP::handleIncomingCommand(msg, info);
        DcmDataset* ds = nullptr;
        const OFCondition c = handleSTORERequest(msg->msg.CStoreRQ, info.presentationContextID, ds);
        delete ds;
        return c;
    }

    Uint16 checkSTORERequest(T_DIMSE_C_StoreRQ& rq, DcmDataset*) override
    {
        const QDeadlineTimer work(s_.o.storeDelayMs);
        while (!work.hasExpired() && !s_.stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<qint64>(10, work.remainingTime())));
        const QString uid = QString::fromLatin1(rq.AffectedSOPInstanceUID).trimmed();
        const std::lock_guard lock(s_.m);
        if (s_.o.failInstances.contains(uid)) {
            ++s_.failed;
            return s_.o.failureStatus;
        }
        ++s_.received[uid];
        ++s_.kept;
        return STATUS_Success;
    }

private:
    void leave()
    {
        const std::lock_guard lock(s_.m);
        if (holding_)
            --s_.held[caller_];
        if (open_)
            --s_.open;
        holding_ = open_ = false;
    }

    LimitedStoreState& s_;
    T_ASC_Association* assoc_;
    QString caller_;
    bool overLimit_ = false, holding_ = false, open_ = false;
};

}  // namespace

struct LimitedStorePeer::Impl {
    struct Worker {
        std::thread thread;
        std::atomic<bool> done {false};
    };

    LimitedStoreState s;
    DcmSCPConfig config;  // each association gets a copy
    T_ASC_Network* net = nullptr;
    quint16 port = 0;
    std::thread loop;
    std::list<Worker> workers;  // touched by `loop` only, until it ends

    // DcmThreadSCP::run is meant for a listener that takes the connections
    // and hands each to a worker: this is that listener.
    void run()
    {
        while (!s.stop) {
            T_ASC_Association* a = nullptr;
            const OFCondition c =
                ASC_receiveAssociation(net, &a, ASC_DEFAULTMAXPDU, nullptr, nullptr, OFFalse, DUL_NOBLOCK, 1);
            workers.remove_if([](Worker& w) {
                if (w.done)
                    w.thread.join();
                return bool(w.done);
            });
            if (c.bad()) {
                if (a && c != DUL_NOASSOCIATIONREQUEST)
                    ASC_dropAssociation(a);
                ASC_destroyAssociation(&a);
                continue;
            }
            const int fd = SocketOf::of(a);
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            {
                // under the lock with `stop`, so that the destructor either
                // sees this socket or this one sees `stop`
                const std::lock_guard lock(s.m);
                if (s.stop) {
                    ASC_dropAssociation(a);
                    ASC_destroyAssociation(&a);
                    break;
                }
                s.sockets.insert(fd);
            }
            Worker& w = workers.emplace_back();
            w.thread = std::thread([this, a, fd, &w] {
                {
                    LimitedStoreScp scp(s, a);
                    scp.setConfig(config);
                    scp.run(a);
                    const std::lock_guard lock(s.m);
                    s.sockets.erase(fd);
                }  // the association is dropped here, its socket closed
                w.done = true;
            });
        }
    }
};

LimitedStorePeer::LimitedStorePeer(const Options& options)
    : d_(std::make_unique<Impl>())
{
    d_->s.o = options;
    DcmSCPConfig& c = d_->config;
    c.setAETitle(options.aeTitle.toStdString().c_str());
    c.setRespondWithCalledAETitle(OFFalse);
    c.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    c.setDIMSETimeout(Uint32(options.dimseTimeoutSeconds));
    c.setACSETimeout(5);
    // DCMTK 3.6.7 does not tell which port it got for 0: a free one, again
    // should another listener take it first
    for (int attempt = 0; !d_->net; ++attempt) {
        d_->port = freeLoopbackPort();
        if (ASC_initializeNetwork(NET_ACCEPTOR, d_->port, 5, &d_->net).bad() && attempt == 4)
            throw std::runtime_error("LimitedStorePeer cannot listen");
    }
    d_->loop = std::thread([this] { d_->run(); });
}

LimitedStorePeer::~LimitedStorePeer()
{
    {
        // wakes the workers from their reads; each aborts its association
        const std::lock_guard lock(d_->s.m);
        d_->s.stop = true;
        for (const int fd : d_->s.sockets)
            ::shutdown(fd, SHUT_RDWR);
    }
    d_->loop.join();
    for (Impl::Worker& w : d_->workers)
        w.thread.join();
    ASC_dropNetwork(&d_->net);
}

quint16 LimitedStorePeer::port() const
{
    return d_->port;
}

QString LimitedStorePeer::aeTitle() const
{
    return d_->s.o.aeTitle;
}

QMap<QString, int> LimitedStorePeer::receivedCounts() const
{
    const std::lock_guard lock(d_->s.m);
    return d_->s.received;
}

int LimitedStorePeer::instancesReceived() const
{
    const std::lock_guard lock(d_->s.m);
    return d_->s.kept;
}

int LimitedStorePeer::failuresAnswered() const
{
    const std::lock_guard lock(d_->s.m);
    return d_->s.failed;
}

QStringList LimitedStorePeer::callingAeTitles() const
{
    const std::lock_guard lock(d_->s.m);
    return d_->s.callers;
}

int LimitedStorePeer::associationsAccepted() const
{
    const std::lock_guard lock(d_->s.m);
    return d_->s.accepted;
}

int LimitedStorePeer::associationsRejected() const
{
    const std::lock_guard lock(d_->s.m);
    return d_->s.rejected;
}

int LimitedStorePeer::openAssociations() const
{
    const std::lock_guard lock(d_->s.m);
    return d_->s.open;
}

int LimitedStorePeer::peakAssociations() const
{
    const std::lock_guard lock(d_->s.m);
    return d_->s.peak;
}

bool LimitedStorePeer::waitForInstances(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (instancesReceived() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

}  // namespace varnelo::testsupport
