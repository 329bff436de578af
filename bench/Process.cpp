#include "Process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace varnelo::bench {

namespace {

double monotonicSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Forks and execs; the child dies with the benchmark and writes its output
// to outPath.
pid_t spawn(const QString& program, const QStringList& args, bool noDelay, const QString& outPath,
            const QStringList& environment = {})
{
    std::vector<QByteArray> env;
    for (const QString& e : environment)
        env.push_back(e.toLocal8Bit());
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const QByteArray out = outPath.toLocal8Bit();

    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (noDelay)
            ::setenv("TCP_NODELAY", "1", 1);
        else
            ::unsetenv("TCP_NODELAY");
        for (QByteArray& e : env)
            ::putenv(e.data());
        const int fd = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

QString readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

bool listening(quint16 port)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> cols = line.simplified().split(' ');
        if (cols.size() < 4 || cols[3] != "0A")
            continue;
        const int colon = cols[1].lastIndexOf(':');
        bool ok = false;
        if (colon > 0 && cols[1].mid(colon + 1).toUInt(&ok, 16) == port && ok)
            return true;
    }
    return false;
}

quint16 freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace

static QString temporaryOutput()
{
    char name[] = "/tmp/varnelo-bench-outXXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0)
        ::close(fd);
    return QString::fromLocal8Bit(name);
}

static ChildResult reap(pid_t pid, double start, const QString& outPath)
{
    ChildResult r;
    int status = 0;
    rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("wait4 failed");
    }
    r.seconds = monotonicSeconds() - start;
    r.peakRssKb = usage.ru_maxrss;
    r.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.output = readAll(outPath);
    QFile::remove(outPath);
    return r;
}

ChildResult runChild(const QString& program, const QStringList& args, bool noDelay)
{
    const QString outPath = temporaryOutput();
    const double start = monotonicSeconds();
    const pid_t pid = spawn(program, args, noDelay, outPath);
    return reap(pid, start, outPath);
}

StartedChild startChild(const QString& program, const QStringList& args, const QStringList& environment)
{
    StartedChild child;
    child.outPath = temporaryOutput();
    child.start = monotonicSeconds();
    child.pid = spawn(program, args, true, child.outPath, environment);
    return child;
}

ChildResult finishChild(const StartedChild& child, bool terminate)
{
    if (terminate)
        ::kill(child.pid, SIGTERM);
    return reap(child.pid, child.start, child.outPath);
}

Storescp::Storescp(bool noDelay, const QString& workFolder, const QStringList& extraArgs)
{
    port_ = freeLoopbackPort();
    logPath_ = workFolder + QStringLiteral("/storescp-%1.log").arg(port_);
    pid_ = spawn(QStringLiteral("/usr/bin/storescp"),
                 QStringList {QStringLiteral("-v"), QStringLiteral("--ignore"), QStringLiteral("-aet"), aeTitle(),
                              QStringLiteral("-dhl")}
                     << extraArgs << QString::number(port_),
                 noDelay, logPath_);
    const QDeadlineTimer deadline(10000);
    while (!listening(port_)) {
        int status = 0;
        if (deadline.hasExpired() || ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("storescp did not start: " + readAll(logPath_).toStdString());
        }
        QThread::msleep(20);
    }
}

Storescp::~Storescp()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    QFile::remove(logPath_);
}

int Storescp::storesReceived() const
{
    return static_cast<int>(readAll(logPath_).count(QLatin1String("Received Store Request")));
}

// ---- Orthanc ----------------------------------------------------------------

Orthanc::Orthanc(const QString& workFolder, bool dicomWeb, bool noDelay)
    : folder_(workFolder + (dicomWeb ? QStringLiteral("/orthanc-web") : QStringLiteral("/orthanc")))
    , dicomWeb_(dicomWeb)
    , noDelay_(noDelay)
{
    dicomPort_ = freeLoopbackPort();
    do
        httpPort_ = freeLoopbackPort();
    while (httpPort_ == dicomPort_);
}

Orthanc::~Orthanc()
{
    stop();
}

void Orthanc::stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

void Orthanc::restart()
{
    stop();
    QDir(folder_).removeRecursively();
    QDir().mkpath(folder_);
    QFile config(folder_ + QStringLiteral("/orthanc.json"));
    if (!config.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write the Orthanc configuration");
    config.write(QStringLiteral("{\"Name\": \"Varnelo benchmark\", \"StorageDirectory\": \"%1/storage\", "
                                "\"IndexDirectory\": \"%1/index\", \"DicomAet\": \"ORTHANC\", \"DicomPort\": %2, "
                                "\"HttpPort\": %3, \"RemoteAccessAllowed\": false, \"AuthenticationEnabled\": false, "
                                "\"DicomCheckCalledAet\": false, %4}\n")
                     .arg(folder_)
                     .arg(dicomPort_)
                     .arg(httpPort_)
                     .arg(dicomWeb_ ? QStringLiteral("\"Plugins\": [\"%1\"], \"DicomWeb\": {\"Enable\": true, \"Root\": \"/dicom-web/\"}")
                                          .arg(orthancDicomWebPlugin())
                                    : QStringLiteral("\"Plugins\": []"))
                     .toUtf8());
    config.close();
    const QString log = folder_ + QStringLiteral("/orthanc.log");
    pid_ = spawn(QStringLiteral("/usr/sbin/Orthanc"), {config.fileName()}, noDelay_, log);
    const QDeadlineTimer deadline(60000);
    while (!listening(dicomPort_) || !listening(httpPort_)) {
        int status = 0;
        if (deadline.hasExpired() || ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("Orthanc did not start: " + readAll(log).right(2000).toStdString());
        }
        QThread::msleep(20);
    }
}

int Orthanc::instances() const
{
    const ChildResult r = runChild(QStringLiteral("/usr/bin/curl"),
                                   {QStringLiteral("-fsS"), QStringLiteral("http://127.0.0.1:%1/statistics").arg(httpPort_)}, false);
    static const QRegularExpression count(QStringLiteral("\"CountInstances\"\\s*:\\s*(\\d+)"));
    const auto m = count.match(r.output);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

QString orthancDicomWebPlugin()
{
    for (const char* path : {"/usr/share/orthanc/plugins/libOrthancDicomWeb.so", "/usr/lib/orthanc/libOrthancDicomWeb.so"})
        if (QFile::exists(QString::fromLatin1(path)))
            return QString::fromLatin1(path);
    return {};
}

// ---- wanlink.py -------------------------------------------------------------

WanLink::WanLink(const QString& script, quint16 targetPort, double rttMs, const QString& workFolder)
{
    port_ = freeLoopbackPort();
    logPath_ = workFolder + QStringLiteral("/wanlink-%1.log").arg(port_);
    pid_ = spawn(QStringLiteral("/usr/bin/python3"),
                 {script, QString::number(port_), QString::number(targetPort), QString::number(rttMs)}, false, logPath_);
    const QDeadlineTimer deadline(10000);
    while (!listening(port_)) {
        int status = 0;
        if (deadline.hasExpired() || ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("wanlink.py did not start: " + readAll(logPath_).toStdString());
        }
        QThread::msleep(20);
    }
}

WanLink::~WanLink()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    QFile::remove(logPath_);
}

}  // namespace varnelo::bench
