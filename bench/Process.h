#pragma once

// Child processes for the benchmark, started and reaped by hand so that each
// one's peak resident memory can be read from wait4().

#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace varnelo::bench {

struct ChildResult {
    double seconds = 0;     // wall time from fork to reaping
    long peakRssKb = 0;     // ru_maxrss of this child alone
    double cpuSeconds = 0;  // user and system time of this child alone
    int exitCode = -1;      // -1 when it did not exit normally
    QString output;         // stdout and stderr together
};

// Runs program with args to its end. TCP_NODELAY is set to 1 in its
// environment when noDelay, else removed from it.
ChildResult runChild(const QString& program, const QStringList& args, bool noDelay);

// The same in two steps, for a program that is driven while it runs.
// `environment` holds extra "NAME=value" entries.
struct StartedChild {
    pid_t pid = -1;
    QString outPath;
    double start = 0;
};
StartedChild startChild(const QString& program, const QStringList& args, const QStringList& environment);
// Waits for the child's end, after SIGTERM when `terminate`.
ChildResult finishChild(const StartedChild& child, bool terminate);

// DCMTK's storescp on a loopback port, discarding what it receives. It is
// killed by the destructor, and by the kernel if the benchmark dies first.
class Storescp {
public:
    // extraArgs go before the port, e.g. the TLS options.
    Storescp(bool noDelay, const QString& workFolder, const QStringList& extraArgs = {});
    ~Storescp();
    Storescp(const Storescp&) = delete;
    Storescp& operator=(const Storescp&) = delete;

    quint16 port() const { return port_; }
    QString aeTitle() const { return QStringLiteral("BENCHSCP"); }
    // C-STORE requests it has received so far (from its verbose log).
    int storesReceived() const;

private:
    pid_t pid_ = -1;
    quint16 port_ = 0;
    QString logPath_;
};

// Debian's Orthanc on loopback ports, as a real PACS would answer (it keeps
// Nagle's algorithm on). restart() gives it fresh, empty storage. With
// dicomWeb, its DICOMweb plugin serves STOW-RS and QIDO-RS at /dicom-web/;
// with noDelay, TCP_NODELAY=1 (read by DCMTK, which its DICOM server runs on).
class Orthanc {
public:
    explicit Orthanc(const QString& workFolder, bool dicomWeb = false, bool noDelay = false);
    ~Orthanc();
    Orthanc(const Orthanc&) = delete;
    Orthanc& operator=(const Orthanc&) = delete;

    void restart();
    void stop();
    int instances() const;  // what it holds now, through its REST interface
    quint16 port() const { return dicomPort_; }
    quint16 httpPort() const { return httpPort_; }
    QString aeTitle() const { return QStringLiteral("ORTHANC"); }

private:
    QString folder_;
    quint16 dicomPort_ = 0, httpPort_ = 0;
    bool dicomWeb_ = false, noDelay_ = false;
    pid_t pid_ = -1;
};

// The DICOMweb plugin of Debian's orthanc-dicomweb; empty when not installed.
QString orthancDicomWebPlugin();

// A wide-area link in software (wanlink.py): a TCP proxy on a free loopback
// port that delays everything by half of rttMs each way on its way to
// targetPort. Stopped by the destructor.
class WanLink {
public:
    WanLink(const QString& script, quint16 targetPort, double rttMs, const QString& workFolder);
    ~WanLink();
    WanLink(const WanLink&) = delete;
    WanLink& operator=(const WanLink&) = delete;

    quint16 port() const { return port_; }

private:
    pid_t pid_ = -1;
    quint16 port_ = 0;
    QString logPath_;
};

}  // namespace varnelo::bench
