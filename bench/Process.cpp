#include "Process.h"

#include <QDeadlineTimer>
#include <QFile>
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
pid_t spawn(const QString& program, const QStringList& args, bool noDelay, const QString& outPath)
{
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

ChildResult runChild(const QString& program, const QStringList& args, bool noDelay)
{
    char name[] = "/tmp/varnelo-bench-outXXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0)
        ::close(fd);
    const QString outPath = QString::fromLocal8Bit(name);

    ChildResult r;
    const double start = monotonicSeconds();
    const pid_t pid = spawn(program, args, noDelay, outPath);
    int status = 0;
    rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("wait4 failed");
    }
    r.seconds = monotonicSeconds() - start;
    r.peakRssKb = usage.ru_maxrss;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.output = readAll(outPath);
    QFile::remove(outPath);
    return r;
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

}  // namespace varnelo::bench
