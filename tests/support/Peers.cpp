#include "support/Peers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

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
           const QString& storage, const QByteArray& config)
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
        QFile file(dir_.filePath(QStringLiteral("peer.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            throw std::runtime_error("cannot write the peer's configuration");
        arguments.replaceInStrings(QStringLiteral("@CONFIG@"), file.fileName());
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
    const QByteArray config = QStringLiteral(R"({
  "Name": "Varnelo test PACS",%4
  "StorageDirectory": "@STORAGE@",
  "IndexDirectory": "@DIR@/index",
  "DicomAet": "%1",
  "DicomPort": %2,
  %5
  "RemoteAccessAllowed": false,
  "StorageCompression": false,
  "DefaultEncoding": "Utf8",
  "DicomAlwaysAllowFindWorklist": true,
  %3
})")
                                  .arg(options.aeTitle)
                                  .arg(port)
                                  .arg(worklists, tls)
                                  .arg(options.httpPort ? QStringLiteral(R"("HttpServerEnabled": true,
  "HttpPort": %1,
  "AuthenticationEnabled": false,)")
                                                              .arg(options.httpPort)
                                                        : QStringLiteral(R"("HttpServerEnabled": false,)"))
                                  .toUtf8();
    QString program = QStringLiteral("/usr/sbin/Orthanc");
    if (!worklistFolder.isEmpty() && orthancWorklistPlugin().isEmpty())
        program.clear();
    std::unique_ptr<Peer> peer(new Peer(QFileInfo(program).isExecutable() ? program : QString(),
                                        QStringList {QStringLiteral("@CONFIG@")}, port, options.aeTitle,
                                        options.tcpNoDelay, QStringLiteral("storage"), config));
    // Orthanc opens its HTTP port after the DICOM one
    peer->httpPort_ = options.httpPort;
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
    curl.start(QStringLiteral("/usr/bin/curl"),
               {QStringLiteral("-fsS"), QStringLiteral("--max-time"), QStringLiteral("10"),
                QStringLiteral("http://127.0.0.1:%1%2").arg(httpPort_).arg(path)});
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

}  // namespace varnelo::testsupport
