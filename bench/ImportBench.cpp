// varnelo-bench: Varnelo's import timed as the operator meets it (the real
// program under X: press IMPORT, stop at the summary box) and headless (the
// real scan and DICOMDIR walk with a view that draws nothing), against
// DCMTK's storescu and dcmsend on the same files and the same peer, in one
// run, alternating. Every sender runs as a child process of its own so that
// its peak resident memory can be read when it is reaped.
//
//   varnelo-bench run --data DIR [--reps N] [--display :N --program VARNELO]
//                     [--markdown FILE] [--command TEXT] [--only REGEX]
//   varnelo-bench wan --data DIR --wanlink WANLINK.PY [--delays 0,2,10,40] [--reps N]
//                     [--display :N --program VARNELO] [--markdown FILE] [--command TEXT] [--only REGEX]
//   varnelo-bench child scan|dicomdir FOLDER PORT AET [--suffix S] [--tls CERT KEY CA] [--newid ID]
//                       [--no-held] [--associations N] [--url DICOMWEB-URL]
//
// DIR is laid out by scripts/bench.sh: real (2,000 images with a clinical
// header, DICOMDIR over them), generated, orthanc, large, j2k, upper10k (10,000
// images in one folder and a DICOMDIR), lower10k (the same as a plain ISO
// 9660 mount shows it: lower case), rejected. A missing folder skips its
// case; without --display the in-window figures are left out. For `wan`, DIR
// holds wan-small and wan-large, each a folder of images, and every sender
// reaches its peer through wanlink.py at each of the round trip times.

#include "BenchView.h"
#include "Process.h"
#include "Window.h"

#include "base/AppState.h"
#include "base/ProgramFolder.h"
#include "import/ArchiveMedium.h"
#include "import/ImportRun.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

using namespace varnelo;
using namespace varnelo::bench;

namespace {

// ---- child: one import run of Varnelo's own code ---------------------------

// Reads every file below folder once, in the order a mastering tool lays
// them on a disc (a folder's files by name, then its subfolders): one read of
// the disc, the least any importer can take from a drive.
qint64 readInDiscOrder(const QString& folder)
{
    QDir dir(folder);
    qint64 bytes = 0;
    QStringList files = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& name : files) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (QByteArray chunk; !(chunk = f.read(1 << 20)).isEmpty();)
            bytes += chunk.size();
    }
    for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name))
        bytes += readInDiscOrder(dir.filePath(sub));
    return bytes;
}

int childMain(const QStringList& args)
{
    if (args.size() == 3 && args[1] == QLatin1String("read")) {
        std::printf("read=%lld\n", static_cast<long long>(readInDiscOrder(args[2])));
        return 0;
    }
    // child MODE FOLDER PORT AET [--suffix S] [--newid ID] [--no-held] [--associations N] [--url URL]
    if (args.size() < 5)
        return 2;
    const bool dicomDir = args[1] == QLatin1String("dicomdir");
    const QString folder = args[2];
    QString suffix;
    const qsizetype at = args.indexOf(QStringLiteral("--suffix"));
    if (at > 0 && at + 1 < args.size())
        suffix = args[at + 1];

    QTemporaryDir programDir;
    setProgramFolderForTesting(programDir.path());
    AppState& s = appState();
    s.SearchBy = dicomDir ? 1 : 2;
    s.Location = 2;
    s.ImportFolder = folder;
    s.RemoteIP = QStringLiteral("127.0.0.1");
    s.RemotePort = args[3];
    s.RemoteAET = args[4];
    s.LocalAET = QStringLiteral("VARNELO");
    s.FileSuffix = suffix;
    s.WriteLog = 0;
    const qsizetype tls = args.indexOf(QStringLiteral("--tls"));
    if (tls > 0 && tls + 3 < args.size()) {
        s.UseTLS = true;
        s.TLSCertificate = args[tls + 1];
        s.TLSPrivateKey = args[tls + 2];
        s.TLSTrustedCertificates = args[tls + 3];
    }

    // a typed Patient ID: the medium's patients are surveyed first, and all are chosen
    QString newId;
    if (const qsizetype id = args.indexOf(QStringLiteral("--newid")); id > 0 && id + 1 < args.size()) {
        newId = args[id + 1];
        s.ChangeID = true;
    }
    // --no-held: nobody is asked what it holds already, as before that check
    s.AskHeld = !args.contains(QStringLiteral("--no-held"));
    // --associations N: [DICOM] Associations; --url URL: a DICOMweb service instead of the peer
    if (const qsizetype a = args.indexOf(QStringLiteral("--associations")); a > 0 && a + 1 < args.size())
        s.Associations = args[a + 1].toInt();
    if (const qsizetype u = args.indexOf(QStringLiteral("--url")); u > 0 && u + 1 < args.size())
        s.RemoteURL = args[u + 1];
    // the operator takes what the window offers
    struct AllPatients : PatientsPrompt {
        std::optional<MediumChoice> chooseContents(const MediumPatients& patients, const NewIdentity&,
                                                   const QList<DestinationHoldings>& holdings) override
        {
            return defaultChoice(patients, holdings);
        }
    } allPatients;

    SilentView view;
    AbortingPrompt prompt;
    ImportRun run(view, prompt, [newId] { return newId; });
    run.patientsPrompt = &allPatients;
    QElapsedTimer timer;
    timer.start();
    view.sinceYield.start();
    if (ArchiveMedium::isArchive(folder)) {
        // a ZIP or disc image goes the whole way, as the window runs it
        s.ImportWithSubDirs = true;
        run.Run();
    } else if (dicomDir) {
        run.SearchForDicomDir(folder);
    } else {
        run.ReadCdDirectory(folder, false);
    }
    view.endOfRun();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;

    QFile errors(programDir.filePath(QStringLiteral("Logs/Error.log")));
    int errorLines = 0;
    if (errors.open(QIODevice::ReadOnly))
        errorLines = static_cast<int>(errors.readAll().count('\n'));
    std::printf("imported=%d seconds=%.4f prompts=%d errorlines=%d yields=%ld longestgap=%.4f\n", run.ImportedCount,
                seconds, prompt.shown, errorLines, view.yields, static_cast<double>(view.longestGapNs) / 1e9);
    if (prompt.shown)
        std::printf("first prompt: %s\n", qPrintable(prompt.first));
    return prompt.shown || errorLines ? 1 : 0;
}

// ---- the run ---------------------------------------------------------------

struct FileSet {
    QString folder;
    int files = 0;
    qint64 bytes = 0;
    qint64 largest = 0;
};

FileSet fileSet(const QString& folder)
{
    FileSet set;
    set.folder = folder;
    QDirIterator it(folder, QDir::Files);
    while (it.hasNext()) {
        it.next();
        const qint64 size = it.fileInfo().size();
        ++set.files;
        set.bytes += size;
        set.largest = std::max(set.largest, size);
    }
    return set;
}

// What receives the images: counts what arrived during one run.
struct Receiver {
    QString aeTitle;
    quint16 port = 0;
    std::function<void()> before;   // just before the sender starts (not timed)
    std::function<int()> received;  // after it ended: images that arrived in this run
};

Receiver storescpReceiver(Storescp& peer, int expected)
{
    auto count = std::make_shared<int>(0);
    Receiver r;
    r.aeTitle = peer.aeTitle();
    r.port = peer.port();
    r.before = [&peer, count] { *count = peer.storesReceived(); };
    r.received = [&peer, count, expected] {
        // storescp logs asynchronously to the sender's end; give it a moment
        int n = peer.storesReceived() - *count;
        for (int i = 0; i < 50 && n < expected; ++i) {
            QThread::msleep(20);
            n = peer.storesReceived() - *count;
        }
        return n;
    };
    return r;
}

Receiver orthancReceiver(Orthanc& pacs)
{
    Receiver r;
    r.aeTitle = pacs.aeTitle();
    r.port = pacs.port();
    r.before = [&pacs] { pacs.restart(); };
    r.received = [&pacs] { return pacs.instances(); };
    return r;
}

// A simulated optical drive (slowdrive.py) over a folder, mounted afresh for
// each run so that every run starts with a cold cache.
struct DriveSetup {
    QString script;  // slowdrive.py
    QString source;  // the folder that is the disc
    QString mount;   // where the senders find it
    double rate = 7.2;
};

struct DriveReport {
    bool ok = false;
    qint64 bytes = 0;
    int seeks = 0;
    double busy = 0;
    double once = 0;  // the medium's size at the drive's rate
    QString problem;
};

bool mounted(const QString& path)
{
    QFile f(QStringLiteral("/proc/mounts"));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray needle = QLatin1Char(' ').toLatin1() + QFile::encodeName(path) + ' ';
    return f.readAll().contains(needle);
}

class SlowDrive {
public:
    explicit SlowDrive(const DriveSetup& setup)
        : setup_(setup)
    {
        QDir().mkpath(setup.mount);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral("/usr/bin/python3"), {setup.script, setup.source, setup.mount, QStringLiteral("--rate"),
                                                            QString::number(setup.rate)});
        QElapsedTimer t;
        t.start();
        while (!mounted(setup.mount) && t.elapsed() < 20000 && process_.state() != QProcess::NotRunning)
            QThread::msleep(20);
    }
    ~SlowDrive()
    {
        if (process_.state() != QProcess::NotRunning)
            stop();
    }
    bool up() const { return mounted(setup_.mount); }
    DriveReport stop()
    {
        DriveReport r;
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(20000)) {
                QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), setup_.mount});
                process_.waitForFinished(5000);
            }
        }
        const QString output = QString::fromLocal8Bit(process_.readAll());
        static const QRegularExpression line(QStringLiteral(
            "slowdrive: ([0-9]+) bytes read, ([0-9]+) seeks, drive busy ([0-9.]+) s \\(medium [0-9]+ bytes: ([0-9.]+) s"));
        QRegularExpressionMatch last;
        for (auto it = line.globalMatch(output); it.hasNext();)
            last = it.next();
        if (!last.hasMatch()) {
            r.problem = QStringLiteral("no report from the drive: ") + output.left(300).simplified();
            return r;
        }
        r.ok = true;
        r.bytes = last.captured(1).toLongLong();
        r.seeks = last.captured(2).toInt();
        r.busy = last.captured(3).toDouble();
        r.once = last.captured(4).toDouble();
        return r;
    }

private:
    DriveSetup setup_;
    QProcess process_;
};

struct Outcome {
    ChildResult process;
    double abortAnswer = -1;
    double longestGap = -1;
    QString problem;
};

struct Sender {
    QString caseName;
    QString name;     // the row: "Varnelo, scan", "storescu +sd +r", ...
    QString variant;  // "window", "headless" or "" for DCMTK's tools
    bool isStorescu = false;
    std::function<Outcome()> run;
    QStringList childArgs;                      // headless: varnelo-bench's child
    std::optional<WindowRunOptions> windowRun;  // in the window
    Receiver receiver;
    int expectedStores = 0;
    // filled in by the run
    std::vector<double> seconds;
    std::vector<double> okSeconds;  // of the runs that went without a problem
    std::vector<double> cpu;  // the sender's own processor time
    std::vector<double> abortAnswers;
    double longestGap = -1;
    long peakRssKb = 0;
    QStringList problems;
    int maxReps = -1;  // fewer runs than its group's (DCMTK's tools on a drive)
    // from the drive, for each run
    std::vector<double> driveBusy, driveOnce;
    std::vector<int> driveSeeks;
    std::vector<qint64> driveBytes;
};

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Group {
    QString title;
    FileSet set;
    int reps = 1;
    std::vector<Sender> senders;
    std::optional<DriveSetup> drive;  // each run from a freshly mounted drive
};

QString self()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

struct Context {
    QString display;  // empty: no in-window runs
    QString program;  // the Varnelo executable
    // another build, run beside this one on the local disk
    QString baselineBench, baselineProgram, baselineLabel;
};

std::function<Outcome()> headlessRun(const QString& bench, const QStringList& args)
{
    return [bench, args] {
        Outcome o;
        o.process = runChild(bench, args, true);
        static const QRegularExpression gap(QStringLiteral("longestgap=([0-9.]+)"));
        const auto m = gap.match(o.process.output);
        if (m.hasMatch())
            o.longestGap = m.captured(1).toDouble();
        if (o.process.exitCode != 0)
            o.problem = QStringLiteral("exit code %1: %2").arg(o.process.exitCode).arg(o.process.output.left(300).simplified());
        return o;
    };
}

std::function<Outcome()> windowRunOf(const WindowRunOptions& options)
{
    return [options] {
        const WindowRunResult w = runInWindow(options);
        Outcome o;
        o.process = w.process;
        o.abortAnswer = w.abortAnswer;
        o.problem = w.problem;
        return o;
    };
}

Sender headless(const QString& caseName, const QString& name, const Receiver& receiver, bool dicomDir,
                const QString& folder, const QStringList& extra, int expected)
{
    Sender s;
    s.caseName = caseName;
    s.name = name;
    s.variant = QStringLiteral("headless");
    s.receiver = receiver;
    s.expectedStores = expected;
    QStringList args {QStringLiteral("child"), dicomDir ? QStringLiteral("dicomdir") : QStringLiteral("scan"), folder,
                      QString::number(receiver.port), receiver.aeTitle};
    args << extra;
    s.childArgs = args;
    s.run = headlessRun(self(), args);
    return s;
}

// extraDicom: more lines of the [DICOM] section ("Associations=1\n")
QString settingsFor(const Receiver& receiver, bool dicomDir, const QString& folder, const QString& extraDicom = {},
                    const QString& suffix = {})
{
    return QStringLiteral("[Default]\nSearchBy=%1\nLocation=2\nSourceDir=%2\nWithSubDirs=0\nWriteLog=0\nFileSuffix=%5\n"
                          "[DICOM]\nLocalAET=VARNELO\nRemoteAET=%3\nRemoteIP=127.0.0.1\nRemotePort=%4\n")
               .arg(dicomDir ? 1 : 2)
               .arg(folder, receiver.aeTitle)
               .arg(receiver.port)
               .arg(suffix) +
        extraDicom;
}

Sender inWindow(const Context& ctx, const QString& caseName, const QString& name, const Receiver& receiver,
                bool dicomDir, const QString& folder, int expected, double abortAfter = -1,
                const QString& extraDicom = {}, const QString& suffix = {})
{
    Sender s;
    s.caseName = caseName;
    s.name = name;
    s.variant = QStringLiteral("window");
    s.receiver = receiver;
    s.expectedStores = expected;
    WindowRunOptions options;
    options.display = ctx.display;
    options.program = ctx.program;
    options.settings = settingsFor(receiver, dicomDir, folder, extraDicom, suffix);
    options.abortAfter = abortAfter;
    s.windowRun = options;
    s.run = windowRunOf(options);
    return s;
}

Sender dcmtk(const QString& caseName, const QString& tool, const QStringList& options, const Receiver& receiver,
             const QString& input, int expected)
{
    Sender s;
    s.caseName = caseName;
    s.name = tool + QLatin1Char(' ') + options.join(QLatin1Char(' '));
    s.isStorescu = tool == QLatin1String("storescu");
    s.receiver = receiver;
    s.expectedStores = expected;
    QStringList args = options;
    args << QStringLiteral("-aec") << receiver.aeTitle << QStringLiteral("127.0.0.1") << QString::number(receiver.port)
         << input;
    const QString program = QStringLiteral("/usr/bin/") + tool;
    s.run = [program, args, expected] {
        Outcome o;
        o.process = runChild(program, args, true);
        if (o.process.exitCode != 0 && expected > 0)
            o.problem = QStringLiteral("exit code %1: %2").arg(o.process.exitCode).arg(o.process.output.left(300).simplified());
        return o;
    };
    return s;
}

// Reads every file once, so that all senders find them in the page cache
// (this machine's cache does not keep everything the benchmark made).
void warm(const QString& folder)
{
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly))
            while (!f.read(1 << 20).isEmpty()) {
            }
    }
}

void runGroup(Group& g)
{
    std::printf("\n== %s: %d files, %.1f MB ==\n", qPrintable(g.title), g.set.files, g.set.bytes / 1e6);
    std::fflush(stdout);
    if (!g.drive)
        warm(g.set.folder);  // the DICOMDIR beside it is small and read first by each walk
    const size_t n = g.senders.size();
    for (int rep = 0; rep < g.reps; ++rep) {
        // rotate the order so that no sender always runs first or last
        for (size_t k = 0; k < n; ++k) {
            Sender& s = g.senders[(k + static_cast<size_t>(rep)) % n];
            if (s.maxReps >= 0 && static_cast<int>(s.seconds.size()) >= s.maxReps)
                continue;
            if (s.receiver.before)
                s.receiver.before();
            Outcome o;
            std::unique_ptr<SlowDrive> drive;
            if (g.drive) {
                drive = std::make_unique<SlowDrive>(*g.drive);
                if (!drive->up())
                    o.problem = QStringLiteral("the drive did not mount at ") + g.drive->mount;
            }
            try {
                if (o.problem.isEmpty())
                    o = s.run();
            } catch (const std::exception& e) {
                o.problem = QString::fromLocal8Bit(e.what());
            }
            QString driveText;
            if (drive) {
                const DriveReport d = drive->stop();
                if (d.ok) {
                    s.driveBusy.push_back(d.busy);
                    s.driveOnce.push_back(d.once);
                    s.driveSeeks.push_back(d.seeks);
                    s.driveBytes.push_back(d.bytes);
                    driveText = QStringLiteral("  drive busy %1 s, %2 seeks, %3 MB read").arg(d.busy, 0, 'f', 2).arg(d.seeks).arg(d.bytes / 1e6, 0, 'f', 1);
                } else if (o.problem.isEmpty()) {
                    o.problem = d.problem;
                }
            }
            const int received = s.receiver.received ? s.receiver.received() : 0;
            s.seconds.push_back(o.process.seconds);
            s.peakRssKb = std::max(s.peakRssKb, o.process.peakRssKb);
            s.cpu.push_back(o.process.cpuSeconds);
            if (o.abortAnswer >= 0)
                s.abortAnswers.push_back(o.abortAnswer);
            s.longestGap = std::max(s.longestGap, o.longestGap);
            // an aborted run sends only part of the images
            const bool short_ = o.abortAnswer < 0 && received != s.expectedStores;
            if (short_)
                s.problems << QStringLiteral("peer received %1 of %2").arg(received).arg(s.expectedStores);
            if (!o.problem.isEmpty())
                s.problems << o.problem;
            if (!short_ && o.problem.isEmpty())
                s.okSeconds.push_back(o.process.seconds);
            std::printf("  %-44s %-30s %-8s %8.3f s  cpu %6.3f s  %7.1f MB%s%s\n", qPrintable(s.caseName),
                        qPrintable(s.name), qPrintable(s.variant), o.process.seconds, o.process.cpuSeconds,
                        o.process.peakRssKb / 1024.0,
                        o.abortAnswer >= 0 ? qPrintable(QStringLiteral("  abort answered in %1 s").arg(o.abortAnswer, 0, 'f', 3))
                                           : "",
                        qPrintable(driveText));
            std::fflush(stdout);
        }
    }
}

QString machine()
{
    QString cpu;
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly))
        for (const QByteArray& line : info.readAll().split('\n'))
            if (line.startsWith("model name")) {
                cpu = QString::fromLatin1(line.mid(line.indexOf(':') + 1)).trimmed();
                break;
            }
    qint64 memKb = 0;
    QFile mem(QStringLiteral("/proc/meminfo"));
    if (mem.open(QIODevice::ReadOnly))
        for (const QByteArray& line : mem.readAll().split('\n'))
            if (line.startsWith("MemTotal:"))
                memKb = line.simplified().split(' ').value(1).toLongLong();
    QProcess version;
    version.start(QStringLiteral("/usr/bin/storescu"), {QStringLiteral("--version")});
    version.waitForFinished(5000);
    QString dcmtkVersion = QString::fromLocal8Bit(version.readAllStandardOutput()).split(QLatin1Char('\n')).value(0);
    dcmtkVersion.remove(QRegularExpression(QStringLiteral("^\\$dcmtk: ")));
    dcmtkVersion.remove(QLatin1Char('$'));
    return QStringLiteral("%1 cores (%2), %3 GB memory, %4 %5, %6")
        .arg(QThread::idealThreadCount())
        .arg(cpu.isEmpty() ? QStringLiteral("unknown CPU") : cpu)
        .arg(memKb / 1024.0 / 1024.0, 0, 'f', 1)
        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion(), dcmtkVersion.trimmed());
}

struct Table {
    QStringList header;
    std::vector<QStringList> rows;
};

QString plain(const Table& t)
{
    std::vector<int> width(static_cast<size_t>(t.header.size()), 0);
    auto widen = [&](const QStringList& r) {
        for (int i = 0; i < r.size(); ++i)
            width[static_cast<size_t>(i)] = std::max(width[static_cast<size_t>(i)], static_cast<int>(r[i].size()));
    };
    widen(t.header);
    for (const auto& r : t.rows)
        widen(r);
    QString out;
    auto line = [&](const QStringList& r) {
        for (int i = 0; i < r.size(); ++i)
            out += (i < 2 ? r[i].leftJustified(width[static_cast<size_t>(i)]) : r[i].rightJustified(width[static_cast<size_t>(i)])) +
                QStringLiteral("  ");
        out += QLatin1Char('\n');
    };
    line(t.header);
    for (const auto& r : t.rows)
        line(r);
    return out;
}

QString markdown(const Table& t)
{
    QString out = QStringLiteral("| ") + t.header.join(QStringLiteral(" | ")) + QStringLiteral(" |\n|");
    for (int i = 0; i < t.header.size(); ++i)
        out += i < 2 ? QStringLiteral("---|") : QStringLiteral("---:|");
    out += QLatin1Char('\n');
    for (const auto& r : t.rows)
        out += QStringLiteral("| ") + r.join(QStringLiteral(" | ")) + QStringLiteral(" |\n");
    return out;
}

// A CA with a server and a client certificate for the TLS case, made with
// the openssl command; false when that is not possible.
struct Certificates {
    QString ca, serverCertificate, serverKey, clientCertificate, clientKey;
};

bool makeCertificates(const QString& folder, Certificates& c)
{
    auto run = [&](const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(folder);
        p.start(QStringLiteral("/usr/bin/openssl"), args);
        return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    };
    const auto issue = [&](const QString& name, const QString& subject) {
        return run({"req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", subject, "-keyout", name + ".key", "-out",
                    name + ".csr"}) &&
            run({"x509", "-req", "-sha256", "-days", "2", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-set_serial", name == QLatin1String("server") ? "1" : "2", "-out", name + ".pem"});
    };
    if (!run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2", "-subj", "/CN=Bench CA",
              "-keyout", "ca.key", "-out", "ca.pem"}) ||
        !issue(QStringLiteral("server"), QStringLiteral("/CN=bench-pacs")) ||
        !issue(QStringLiteral("client"), QStringLiteral("/CN=bench-station")))
        return false;
    const QDir d(folder);
    c = {d.filePath("ca.pem"), d.filePath("server.pem"), d.filePath("server.key"), d.filePath("client.pem"),
         d.filePath("client.key")};
    return true;
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2) : QString();
}

int runMain(const QStringList& args)
{
    auto option = [&](const QString& name, const QString& fallback) {
        const qsizetype i = args.indexOf(name);
        return i > 0 && i + 1 < args.size() ? args[i + 1] : fallback;
    };
    const QString data = option(QStringLiteral("--data"), QString());
    const int reps = option(QStringLiteral("--reps"), QStringLiteral("3")).toInt();
    const QString markdownPath = option(QStringLiteral("--markdown"), QString());
    const QString command = option(QStringLiteral("--command"), QStringLiteral("varnelo-bench ") + args.mid(1).join(QLatin1Char(' ')));
    Context ctx;
    ctx.display = option(QStringLiteral("--display"), QString());
    ctx.program = option(QStringLiteral("--program"), QString());
    ctx.baselineBench = option(QStringLiteral("--baseline"), QString());
    ctx.baselineProgram = option(QStringLiteral("--baseline-program"), QString());
    ctx.baselineLabel = option(QStringLiteral("--baseline-label"), QStringLiteral("the baseline"));
    if (data.isEmpty() || ctx.display.isEmpty() != ctx.program.isEmpty() ||
        (!ctx.baselineBench.isEmpty() && !ctx.display.isEmpty() && ctx.baselineProgram.isEmpty())) {
        std::fprintf(stderr, "usage: varnelo-bench run --data DIR [--reps N] [--display :N --program VARNELO] "
                             "[--markdown FILE] [--command TEXT] [--baseline VARNELO-BENCH --baseline-program VARNELO "
                             "--baseline-label REV]\n");
        return 2;
    }
    const bool window = !ctx.display.isEmpty();
    const QString loadBefore = loadAverage();
    QTemporaryDir work;
    Storescp fast(true, work.path());

    auto exists = [&](const QString& sub) { return QFileInfo(data + QLatin1Char('/') + sub).exists(); };
    auto path = [&](const QString& sub) { return data + QLatin1Char('/') + sub; };
    const QStringList sdr {QStringLiteral("+sd"), QStringLiteral("+r")};
    std::vector<Group> groups;
    std::unique_ptr<Orthanc> orthanc;

    // Case names carry the number of files found (a --quick run has fewer).
    auto countOf = [&](const QString& sub) { return fileSet(path(sub)).files; };
    auto named = [](const char* text, int n) { return QString::fromLatin1(text).arg(n); };
    const int realCount = countOf(QStringLiteral("real/DICOM")), folderCount = countOf(QStringLiteral("upper10k/DICOM"));
    const QString kReal = named("%L1 CT, clinical header, scan", realCount);
    const QString kRealDir = named("%L1 CT, clinical header, DICOMDIR", realCount);
    const QString kGenerated = named("%L1 generated (minimal header), scan", countOf(QStringLiteral("generated")));
    const QString kOrthanc = named("%L1 CT, clinical header, to Orthanc", countOf(QStringLiteral("orthanc")));
    const QString kLarge = named("%L1 large (20 MB), scan", countOf(QStringLiteral("large")));
    const QString kUpper = named("%L1 in one folder, DICOMDIR, upper case", folderCount);
    const QString kLower = named("%L1 in one folder, DICOMDIR, lower case", folderCount);
    const QString kLive = named("%L1 in one folder, Abort pressed", folderCount);
    const QString kRejected = named("%L1 rejected by suffix", countOf(QStringLiteral("rejected")));
    const QString kTls = named("%L1 CT, clinical header, scan, TLS", realCount);
    const QString scanName = QStringLiteral("Varnelo");

    if (exists(QStringLiteral("real/DICOM"))) {
        Group g;
        g.set = fileSet(path(QStringLiteral("real/DICOM")));
        g.title = QStringLiteral("CT images with a clinical header, scan and DICOMDIR");
        g.reps = reps;
        const int n = g.set.files;
        const Receiver r = storescpReceiver(fast, n);
        if (window)
            g.senders.push_back(inWindow(ctx, kReal, scanName, r, false, g.set.folder, n));
        g.senders.push_back(headless(kReal, scanName, r, false, g.set.folder, {}, n));
        g.senders.push_back(dcmtk(kReal, QStringLiteral("storescu"), sdr, r, g.set.folder, n));
        g.senders.push_back(dcmtk(kReal, QStringLiteral("dcmsend"), sdr, r, g.set.folder, n));
        if (exists(QStringLiteral("real/DICOMDIR"))) {
            if (window)
                g.senders.push_back(inWindow(ctx, kRealDir, scanName, r, true, path(QStringLiteral("real")), n));
            g.senders.push_back(headless(kRealDir, scanName, r, true, path(QStringLiteral("real")), {}, n));
            g.senders.push_back(dcmtk(kRealDir, QStringLiteral("dcmsend"), {QStringLiteral("+rd")}, r,
                                      path(QStringLiteral("real/DICOMDIR")), n));
        }
        groups.push_back(std::move(g));
    }
    // The same images over TLS (both sides verified), with Varnelo in the
    // clear in the same alternation for the comparison.
    std::unique_ptr<Storescp> secure;
    Certificates certs;
    if (exists(QStringLiteral("real/DICOM")) && makeCertificates(work.path(), certs)) {
        secure = std::make_unique<Storescp>(true, work.path(),
                                            QStringList {QStringLiteral("+tls"), certs.serverKey, certs.serverCertificate,
                                                         QStringLiteral("+cf"), certs.ca, QStringLiteral("--require-peer-cert")});
        Group g;
        g.set = fileSet(path(QStringLiteral("real/DICOM")));
        g.title = QStringLiteral("CT images with a clinical header over TLS");
        g.reps = reps;
        const int n = g.set.files;
        const Receiver r = storescpReceiver(*secure, n);
        g.senders.push_back(headless(kTls, scanName, r, false, g.set.folder,
                                     {QStringLiteral("--tls"), certs.clientCertificate, certs.clientKey, certs.ca}, n));
        Sender storescu = dcmtk(kTls, QStringLiteral("storescu"),
                                sdr + QStringList {QStringLiteral("+tls"), certs.clientKey, certs.clientCertificate, QStringLiteral("+cf"), certs.ca},
                                r, g.set.folder, n);
        storescu.name = QStringLiteral("storescu +sd +r +tls");
        g.senders.push_back(storescu);
        g.senders.push_back(headless(kTls, QStringLiteral("Varnelo in the clear"), storescpReceiver(fast, n), false,
                                     g.set.folder, {}, n));
        groups.push_back(std::move(g));
    }
    if (exists(QStringLiteral("generated"))) {
        Group g;
        g.set = fileSet(path(QStringLiteral("generated")));
        g.title = QStringLiteral("generated images, the same size with a minimal header");
        g.reps = reps;
        const int n = g.set.files;
        const Receiver r = storescpReceiver(fast, n);
        g.senders.push_back(headless(kGenerated, scanName, r, false, g.set.folder, {}, n));
        g.senders.push_back(dcmtk(kGenerated, QStringLiteral("storescu"), sdr, r, g.set.folder, n));
        groups.push_back(std::move(g));
    }
    // A major vendor's CT header as scanners write it (private groups, Other
    // Patient IDs, trailing padding): pydicom's CT_small.dcm, copied.
    const QString kVendor = named("%L1 copies of a vendor's CT (CT_small.dcm), scan", countOf(QStringLiteral("vendor")));
    if (exists(QStringLiteral("vendor"))) {
        Group g;
        g.set = fileSet(path(QStringLiteral("vendor")));
        g.title = QStringLiteral("a vendor's CT file, copied");
        g.reps = reps;
        const int n = g.set.files;
        const Receiver r = storescpReceiver(fast, n);
        if (window)
            g.senders.push_back(inWindow(ctx, kVendor, scanName, r, false, g.set.folder, n));
        g.senders.push_back(headless(kVendor, scanName, r, false, g.set.folder, {}, n));
        g.senders.push_back(dcmtk(kVendor, QStringLiteral("storescu"), sdr, r, g.set.folder, n));
        g.senders.push_back(dcmtk(kVendor, QStringLiteral("dcmsend"), sdr, r, g.set.folder, n));
        groups.push_back(std::move(g));
    }
    if (exists(QStringLiteral("orthanc")) && QFileInfo::exists(QStringLiteral("/usr/sbin/Orthanc"))) {
        orthanc = std::make_unique<Orthanc>(work.path());
        Group g;
        g.set = fileSet(path(QStringLiteral("orthanc")));
        g.title = QStringLiteral("clinical CT images to Orthanc, fresh storage each run");
        g.reps = std::min(reps, 3);  // storescu and dcmsend wait for delayed ACKs here
        const int n = g.set.files;
        const Receiver r = orthancReceiver(*orthanc);
        if (window)
            g.senders.push_back(inWindow(ctx, kOrthanc, scanName, r, false, g.set.folder, n));
        g.senders.push_back(headless(kOrthanc, scanName, r, false, g.set.folder, {}, n));
        g.senders.push_back(dcmtk(kOrthanc, QStringLiteral("storescu"), sdr, r, g.set.folder, n));
        g.senders.push_back(dcmtk(kOrthanc, QStringLiteral("dcmsend"), sdr, r, g.set.folder, n));
        groups.push_back(std::move(g));
    }
    if (exists(QStringLiteral("large"))) {
        Group g;
        g.set = fileSet(path(QStringLiteral("large")));
        g.title = QStringLiteral("large multi-frame images");
        g.reps = reps;
        const int n = g.set.files;
        const Receiver r = storescpReceiver(fast, n);
        if (window)
            g.senders.push_back(inWindow(ctx, kLarge, scanName, r, false, g.set.folder, n));
        g.senders.push_back(headless(kLarge, scanName, r, false, g.set.folder, {}, n));
        g.senders.push_back(dcmtk(kLarge, QStringLiteral("storescu"), sdr, r, g.set.folder, n));
        g.senders.push_back(dcmtk(kLarge, QStringLiteral("dcmsend"), sdr, r, g.set.folder, n));
        groups.push_back(std::move(g));
    }
    // JPEG 2000 to a peer that takes only uncompressed data: each image is
    // decoded in memory on its way. DCMTK's senders cannot decode it.
    if (exists(QStringLiteral("j2k"))) {
        Group g;
        g.set = fileSet(path(QStringLiteral("j2k")));
        g.title = QStringLiteral("JPEG 2000 multi-frame images, decoded");
        g.reps = 1;
        const QString name = QStringLiteral("%1 JPEG 2000 large, decoded").arg(g.set.files);
        g.senders.push_back(headless(name, scanName, storescpReceiver(fast, g.set.files), false, g.set.folder, {}, g.set.files));
        groups.push_back(std::move(g));
    }
    if (exists(QStringLiteral("upper10k/DICOM")) && exists(QStringLiteral("lower10k/dicom"))) {
        Group g;
        g.set = fileSet(path(QStringLiteral("upper10k/DICOM")));
        g.title = QStringLiteral("a DICOMDIR of images in one folder, as written and as a plain ISO 9660 mount shows it");
        g.reps = reps;
        const int n = g.set.files;
        const Receiver r = storescpReceiver(fast, n);
        const QString upper = path(QStringLiteral("upper10k")), lower = path(QStringLiteral("lower10k"));
        if (window) {
            g.senders.push_back(inWindow(ctx, kUpper, scanName, r, true, upper, n));
            g.senders.push_back(inWindow(ctx, kLower, scanName, r, true, lower, n));
        }
        g.senders.push_back(headless(kUpper, scanName, r, true, upper, {}, n));
        g.senders.push_back(headless(kLower, scanName, r, true, lower, {}, n));
        g.senders.push_back(dcmtk(kUpper, QStringLiteral("dcmsend"), {QStringLiteral("+rd")}, r,
                                  upper + QStringLiteral("/DICOMDIR"), n));
        groups.push_back(std::move(g));

        // The window stays live: Abort pressed at points of a long run, and
        // the longest time between two yields of a headless run.
        Group live;
        live.set = groups.back().set;
        live.title = QStringLiteral("the window during a long run");
        live.reps = 1;
        const QString folder = upper + QStringLiteral("/DICOM");
        if (window) {
            for (double at : {0.0, 0.5, 1.5, 2.5}) {  // the run takes about 3 s here
                live.senders.push_back(inWindow(ctx, kLive, QStringLiteral("Varnelo, scan, Abort after %1 s").arg(at), r,
                                                false, folder, n, at));
                live.senders.push_back(inWindow(ctx, kLive, QStringLiteral("Varnelo, DICOMDIR, Abort after %1 s").arg(at),
                                                r, true, upper, n, at));
            }
        }
        live.senders.push_back(headless(kLive, QStringLiteral("Varnelo, scan, no Abort"), r, false, folder, {}, n));
        groups.push_back(std::move(live));
    }
    if (exists(QStringLiteral("rejected"))) {
        Group g;
        g.set = fileSet(path(QStringLiteral("rejected")));
        g.title = QStringLiteral("files the suffix filter rejects");
        g.reps = reps;
        const Receiver r = storescpReceiver(fast, 0);
        const QStringList filter {QStringLiteral("+sd"), QStringLiteral("+r"), QStringLiteral("+sp"), QStringLiteral("*.dcm")};
        g.senders.push_back(headless(kRejected, QStringLiteral("Varnelo, suffix .dcm"), r, false, g.set.folder,
                                     {QStringLiteral("--suffix"), QStringLiteral(".dcm")}, 0));
        g.senders.push_back(dcmtk(kRejected, QStringLiteral("storescu"), filter, r, g.set.folder, 0));
        g.senders.push_back(dcmtk(kRejected, QStringLiteral("dcmsend"), filter, r, g.set.folder, 0));
        groups.push_back(std::move(g));
    }
    // Another build beside this one: each of the program's runs from the local
    // disk gets a twin that runs the other build's program the same way, in
    // the same alternation (the Abort cases and the drive are left out).
    const QString baselineSuffix = QStringLiteral(" at ") + ctx.baselineLabel;
    if (!ctx.baselineBench.isEmpty())
        for (Group& g : groups) {
            std::vector<Sender> twins;
            for (const Sender& s : g.senders) {
                if (s.caseName == kLive || (s.childArgs.isEmpty() && !s.windowRun))
                    continue;
                Sender twin = s;
                twin.name += baselineSuffix;
                if (s.windowRun) {
                    WindowRunOptions options = *s.windowRun;
                    options.program = ctx.baselineProgram;
                    twin.run = windowRunOf(options);
                } else {
                    twin.run = headlessRun(ctx.baselineBench, s.childArgs);
                }
                twins.push_back(std::move(twin));
            }
            for (Sender& t : twins)
                g.senders.push_back(std::move(t));
        }
    // From a simulated optical drive (slowdrive.py), mounted afresh for each
    // run: one read of the disc in its order is the limit; DCMTK's tools,
    // which move the head for every file, run once.
    const QString slowdrive = qEnvironmentVariable("SLOWDRIVE", QStringLiteral("/work/shared/tools/slowdrive.py"));
    std::vector<QString> driveCases;  // in table order
    int mounts = 0;
    auto driveGroup = [&](const QString& sub, double rate, const QString& title) {
        Group g;
        g.set = fileSet(path(sub + QStringLiteral("/DICOM")));
        g.title = title;
        g.reps = reps;
        g.drive = DriveSetup {slowdrive, path(sub), work.filePath(QStringLiteral("drive%1").arg(++mounts)), rate};
        return g;
    };
    auto speed = [](double rate) {
        return rate < 10 ? QStringLiteral("48x CD, %1 MB/s").arg(rate) : QStringLiteral("16x DVD, %1 MB/s").arg(rate);
    };
    auto reader = [&](const QString& caseName, const Group& g) {
        Sender s;
        s.caseName = caseName;
        s.name = QStringLiteral("one read of the disc");
        s.variant = QStringLiteral("headless");
        s.receiver = storescpReceiver(fast, 0);
        const QString mount = g.drive->mount;
        s.run = [mount] {
            Outcome o;
            o.process = runChild(self(), {QStringLiteral("child"), QStringLiteral("read"), mount}, true);
            if (o.process.exitCode != 0)
                o.problem = QStringLiteral("the read failed: ") + o.process.output.left(300).simplified();
            return o;
        };
        return s;
    };
    auto once = [](Sender s) {
        s.maxReps = 1;
        return s;
    };
    const bool driveData = exists(QStringLiteral("drive/cd/DICOM")) && QFileInfo::exists(slowdrive) && QFileInfo::exists(QStringLiteral("/dev/fuse"));
    if (driveData) {
        for (double rate : {7.2, 21.0}) {
            Group g = driveGroup(QStringLiteral("drive/cd"), rate, QStringLiteral("CT images from a simulated drive (%1)").arg(speed(rate)));
            const int n = g.set.files;
            const QString mount = g.drive->mount;
            const QString scanCase = named("%L1 CT from a drive, scan", n) + QStringLiteral(" (%1)").arg(speed(rate));
            const QString dirCase = named("%L1 CT from a drive, DICOMDIR", n) + QStringLiteral(" (%1)").arg(speed(rate));
            const Receiver r = storescpReceiver(fast, n);
            g.senders.push_back(reader(scanCase, g));
            if (window)
                g.senders.push_back(inWindow(ctx, scanCase, scanName, r, false, mount + QStringLiteral("/DICOM"), n));
            g.senders.push_back(headless(scanCase, scanName, r, false, mount + QStringLiteral("/DICOM"), {}, n));
            g.senders.push_back(once(dcmtk(scanCase, QStringLiteral("storescu"), sdr, r, mount + QStringLiteral("/DICOM"), n)));
            g.senders.push_back(once(dcmtk(scanCase, QStringLiteral("dcmsend"), sdr, r, mount + QStringLiteral("/DICOM"), n)));
            if (window)
                g.senders.push_back(inWindow(ctx, dirCase, scanName, r, true, mount, n));
            g.senders.push_back(headless(dirCase, scanName, r, true, mount, {}, n));
            g.senders.push_back(once(dcmtk(dirCase, QStringLiteral("dcmsend"), {QStringLiteral("+rd")}, r, mount + QStringLiteral("/DICOMDIR"), n)));
            if (window)
                g.senders.push_back(once(inWindow(ctx, dirCase, QStringLiteral("Varnelo, Abort after 3 s"), r, true, mount, n, 3.0)));
            driveCases.push_back(scanCase);
            driveCases.push_back(dirCase);
            groups.push_back(std::move(g));
            if (exists(QStringLiteral("drive/shuffled/DICOM"))) {
                Group h = driveGroup(QStringLiteral("drive/shuffled"), rate,
                                     QStringLiteral("a DICOMDIR whose records follow no order of the files (%1)").arg(speed(rate)));
                const QString shuffled = named("%L1 CT from a drive, DICOMDIR, shuffled records", n) + QStringLiteral(" (%1)").arg(speed(rate));
                h.senders.push_back(reader(shuffled, h));
                if (window)
                    h.senders.push_back(inWindow(ctx, shuffled, scanName, r, true, h.drive->mount, n));
                h.senders.push_back(headless(shuffled, scanName, r, true, h.drive->mount, {}, n));
                h.senders.push_back(once(dcmtk(shuffled, QStringLiteral("dcmsend"), {QStringLiteral("+rd")}, r,
                                               h.drive->mount + QStringLiteral("/DICOMDIR"), n)));
                driveCases.push_back(shuffled);
                groups.push_back(std::move(h));
            }
        }
        if (exists(QStringLiteral("drive/large/DICOM"))) {
            Group g = driveGroup(QStringLiteral("drive/large"), 21.0, QStringLiteral("large images from a simulated DVD"));
            g.reps = 1;  // 2 GB at 21 MB/s: about 100 s a run
            const int n = g.set.files;
            const QString c = named("%L1 large (20 MB) from a drive, scan", n) + QStringLiteral(" (%1)").arg(speed(21.0));
            const Receiver r = storescpReceiver(fast, n);
            g.senders.push_back(reader(c, g));
            if (window)
                g.senders.push_back(inWindow(ctx, c, scanName, r, false, g.drive->mount + QStringLiteral("/DICOM"), n));
            g.senders.push_back(headless(c, scanName, r, false, g.drive->mount + QStringLiteral("/DICOM"), {}, n));
            g.senders.push_back(once(dcmtk(c, QStringLiteral("storescu"), sdr, r, g.drive->mount + QStringLiteral("/DICOM"), n)));
            g.senders.push_back(once(dcmtk(c, QStringLiteral("dcmsend"), sdr, r, g.drive->mount + QStringLiteral("/DICOM"), n)));
            if (window)  // Abort while a 20 MB file is on its way from the drive
                g.senders.push_back(once(inWindow(ctx, c, QStringLiteral("Varnelo, Abort after 3 s"), r, false,
                                                  g.drive->mount + QStringLiteral("/DICOM"), n, 3.0)));
            driveCases.push_back(c);
            groups.push_back(std::move(g));
        }
        if (QFileInfo::exists(QStringLiteral("/usr/sbin/Orthanc"))) {
            if (!orthanc)
                orthanc = std::make_unique<Orthanc>(work.path());
            Group g = driveGroup(QStringLiteral("drive/cd"), 7.2, QStringLiteral("CT images from a simulated CD to Orthanc"));
            g.reps = std::min(reps, 3);
            const int n = g.set.files;
            const QString c = named("%L1 CT from a drive, DICOMDIR, to Orthanc", n) + QStringLiteral(" (%1)").arg(speed(7.2));
            const Receiver r = orthancReceiver(*orthanc);
            g.senders.push_back(reader(c, g));
            if (window)
                g.senders.push_back(inWindow(ctx, c, scanName, r, true, g.drive->mount, n));
            g.senders.push_back(headless(c, scanName, r, true, g.drive->mount, {}, n));
            g.senders.push_back(once(dcmtk(c, QStringLiteral("dcmsend"), {QStringLiteral("+rd")}, r, g.drive->mount + QStringLiteral("/DICOMDIR"), n)));
            g.senders.back().receiver.before = r.before;
            driveCases.push_back(c);
            groups.push_back(std::move(g));
        }
    }

    // --only REGEX keeps the senders whose "case / sender / variant" matches, for profiling one of them
    if (const QString only = option(QStringLiteral("--only"), QString()); !only.isEmpty()) {
        const QRegularExpression keep(only);
        for (Group& g : groups)
            g.senders.erase(std::remove_if(g.senders.begin(), g.senders.end(),
                                           [&](const Sender& s) {
                                               return !keep.match(s.caseName + QStringLiteral(" / ") + s.name +
                                                                  QStringLiteral(" / ") + s.variant)
                                                           .hasMatch();
                                           }),
                            g.senders.end());
        groups.erase(std::remove_if(groups.begin(), groups.end(), [](const Group& g) { return g.senders.empty(); }),
                     groups.end());
    }
    for (Group& g : groups)
        runGroup(g);
    if (orthanc)
        orthanc->stop();

    // ---- the table: one row per case and sender, in the window and headless side by side ----
    struct Row {
        const Group* group = nullptr;
        QString caseName, name;
        const Sender* window = nullptr;
        const Sender* headless = nullptr;
    };
    std::vector<Row> rows;
    std::map<QString, double> storescuByCase;
    for (const Group& g : groups)
        for (const Sender& s : g.senders) {
            if (g.drive)
                continue;  // a table of their own
            if (s.isStorescu)
                storescuByCase[s.caseName] = median(s.seconds);
            auto it = std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.caseName == s.caseName && r.name == s.name; });
            if (it == rows.end()) {
                rows.push_back(Row {&g, s.caseName, s.name, nullptr, nullptr});
                it = rows.end() - 1;
            }
            (s.variant == QLatin1String("window") ? it->window : it->headless) = &s;
        }
    // storescu cannot read a DICOMDIR: the DICOMDIR cases are compared with
    // its scan of the same files
    if (storescuByCase.count(kReal))
        storescuByCase[kRealDir] = storescuByCase[kReal];

    Table t;
    t.header = QStringList {QStringLiteral("Case"), QStringLiteral("Sender"), QStringLiteral("In the window s"),
                            QStringLiteral("Headless s"), QStringLiteral("Runs (min-max) s"), QStringLiteral("Images/s"),
                            QStringLiteral("CPU s (window / headless)"), QStringLiteral("Peak RSS MB"),
                            QStringLiteral("Ratio to storescu (window / headless)")};
    QStringList problems;
    auto figure = [](const Sender* s) { return s ? QString::number(median(s->seconds), 'f', 3) : QStringLiteral("-"); };
    for (const Row& r : rows) {
        const Sender* main = r.window ? r.window : r.headless;
        QStringList ranges;
        long rss = 0;
        for (const Sender* s : {r.window, r.headless}) {
            if (!s || s->seconds.empty())
                continue;
            const auto [lo, hi] = std::minmax_element(s->seconds.begin(), s->seconds.end());
            ranges << QStringLiteral("%1-%2").arg(*lo, 0, 'f', 3).arg(*hi, 0, 'f', 3);
            rss = std::max(rss, s->peakRssKb);
            for (const QString& p : s->problems)
                problems << QStringLiteral("%1 / %2 (%3): %4").arg(s->caseName, s->name, s->variant, p);
        }
        // ratios: "window / headless" for Varnelo, one figure for the tools
        QString ratio = QStringLiteral("-");
        const auto sc = storescuByCase.find(r.caseName);
        if (main->isStorescu) {
            ratio = QStringLiteral("1.00");
        } else if (sc != storescuByCase.end() && sc->second > 0) {
            auto of = [&](const Sender* s) {
                return s ? QString::number(median(s->seconds) / sc->second, 'f', 2) : QStringLiteral("-");
            };
            ratio = main->variant.isEmpty() ? of(r.headless) : of(r.window) + QStringLiteral(" / ") + of(r.headless);
        }
        QString nameText = r.name;
        QString windowText = figure(r.window), headlessText = figure(r.headless);
        if (main->variant.isEmpty())  // storescu, dcmsend: a process of their own, no window
            windowText = QStringLiteral("-");
        if (r.window && !r.window->abortAnswers.empty())
            windowText += QStringLiteral(" (Abort answered in %1)").arg(r.window->abortAnswers.front(), 0, 'f', 3);
        if (r.headless && r.headless->longestGap >= 0 && r.caseName == kLive)
            headlessText += QStringLiteral(" (longest gap %1)").arg(r.headless->longestGap, 0, 'f', 3);
        auto cpuOf = [](const Sender* s) { return s ? QString::number(median(s->cpu), 'f', 3) : QStringLiteral("-"); };
        const QString cpuText = main->variant.isEmpty() ? cpuOf(r.headless) : cpuOf(r.window) + QStringLiteral(" / ") + cpuOf(r.headless);
        const int images = main->expectedStores;
        const double best = r.window ? median(r.window->seconds) : median(main->seconds);
        t.rows.push_back({r.caseName, nameText, windowText, headlessText,
                          ranges.join(QStringLiteral(", ")) + QStringLiteral(" (n=%1)").arg(main->seconds.size()),
                          images > 0 && r.caseName != kLive ? QString::number(images / best, 'f', 0) : QStringLiteral("-"),
                          cpuText, QString::number(rss / 1024.0, 'f', 1), ratio});
    }

    // ---- from a drive: each case against one read of the disc ----
    QStringList targets;
    auto verdict = [](bool ok) { return ok ? QStringLiteral("met") : QStringLiteral("MISSED"); };
    Table driveTable;
    driveTable.header = QStringList {QStringLiteral("Case"), QStringLiteral("One read of the disc s (drive busy s)"),
                                     QStringLiteral("Varnelo in the window s (x one read)"),
                                     QStringLiteral("Varnelo headless s (x one read)"), QStringLiteral("storescu +sd +r s"),
                                     QStringLiteral("dcmsend s"),
                                     QStringLiteral("Head moves (read / window / headless / storescu / dcmsend)"),
                                     QStringLiteral("Peak RSS MB (window / headless)")};
    for (const QString& c : driveCases) {
        const Sender *read = nullptr, *win = nullptr, *head = nullptr, *scu = nullptr, *send = nullptr;
        for (const Group& g : groups)
            for (const Sender& s : g.senders) {
                // the group's one read of the disc is the limit of each of its cases
                if (!read && s.name == QLatin1String("one read of the disc") && !s.seconds.empty() &&
                    std::any_of(g.senders.begin(), g.senders.end(), [&](const Sender& o) { return o.caseName == c; }))
                    read = &s;
                if (s.caseName != c || s.seconds.empty())
                    continue;
                for (const QString& p : s.problems)
                    problems << QStringLiteral("%1 / %2 (%3): %4").arg(s.caseName, s.name, s.variant, p);
                if (!s.abortAnswers.empty()) {
                    const double a = *std::max_element(s.abortAnswers.begin(), s.abortAnswers.end());
                    targets << QStringLiteral("%1, Abort answered within 0.2 s while the drive reads: %2 s (%3)")
                                   .arg(c)
                                   .arg(a, 0, 'f', 3)
                                   .arg(verdict(a <= 0.2));
                } else if (s.name == QLatin1String("one read of the disc"))
                    continue;
                else if (s.variant == QLatin1String("window"))
                    win = &s;
                else if (s.variant == QLatin1String("headless"))
                    head = &s;
                else if (s.isStorescu)
                    scu = &s;
                else
                    send = &s;
            }
        if (!read)
            continue;
        const double limit = median(read->seconds);
        auto seconds = [&](const Sender* s, bool ratio) {
            if (!s)
                return QStringLiteral("-");
            const double m = median(s->seconds);
            return ratio ? QStringLiteral("%1 (%2)").arg(m, 0, 'f', 2).arg(m / limit, 0, 'f', 2) : QString::number(m, 'f', 2);
        };
        auto moves = [](const Sender* s) {
            if (!s || s->driveSeeks.empty())
                return QStringLiteral("-");
            std::vector<double> v(s->driveSeeks.begin(), s->driveSeeks.end());
            return QString::number(median(v), 'f', 0);
        };
        auto rssOf = [](const Sender* s) { return s ? QString::number(s->peakRssKb / 1024.0, 'f', 1) : QStringLiteral("-"); };
        driveTable.rows.push_back({c,
                                   QStringLiteral("%1 (%2)").arg(limit, 0, 'f', 2).arg(median(read->driveBusy), 0, 'f', 2),
                                   seconds(win, true), seconds(head, true), seconds(scu, false), seconds(send, false),
                                   QStringList {moves(read), moves(win), moves(head), moves(scu), moves(send)}.join(QStringLiteral(" / ")),
                                   rssOf(win) + QStringLiteral(" / ") + rssOf(head)});
        const double goal = c.contains(QLatin1String("shuffled")) ? 1.2 : 1.1;
        for (const Sender* s : {win, head})
            if (s) {
                const double r = median(s->seconds) / limit;
                targets << QStringLiteral("%1, %2, Varnelo <= %3 x one read of the disc: %4 (%5)")
                               .arg(c, s->variant == QLatin1String("window") ? QStringLiteral("in the window") : QStringLiteral("headless"))
                               .arg(goal, 0, 'f', 1)
                               .arg(r, 0, 'f', 2)
                               .arg(verdict(r <= goal));
            }
    }

    // ---- the goals ----
    auto find = [&](const QString& c, const QString& name, const QString& variant) -> const Sender* {
        for (const Group& g : groups)
            for (const Sender& s : g.senders)
                if (s.caseName == c && s.name == name && s.variant == variant && !s.seconds.empty())
                    return &s;
        return nullptr;
    };
    if (!ctx.baselineBench.isEmpty())
        for (const Group& g : groups)
            for (const Sender& twin : g.senders)
                if (twin.name.endsWith(baselineSuffix) && !twin.seconds.empty())
                    if (const Sender* s = find(twin.caseName, twin.name.chopped(baselineSuffix.size()), twin.variant)) {
                        const double r = median(s->seconds) / median(twin.seconds);
                        targets << QStringLiteral("%1, %2, %3, no slower than at %4 by more than 5 %: %5 (%6)")
                                       .arg(twin.caseName, s->name, twin.variant == QLatin1String("window") ? QStringLiteral("in the window") : QStringLiteral("headless"), ctx.baselineLabel)
                                       .arg(r, 0, 'f', 3)
                                       .arg(verdict(r <= 1.05));
                    }
    for (const QString& variant : {QStringLiteral("window"), QStringLiteral("headless")}) {
        const QString where = variant == QLatin1String("window") ? QStringLiteral("in the window") : QStringLiteral("headless");
        if (const Sender* v = find(kReal, scanName, variant); v && storescuByCase.count(kReal)) {
            const double r = median(v->seconds) / storescuByCase[kReal];
            targets << QStringLiteral("%1, %2, Varnelo / storescu <= 0.85: %3 (%4)").arg(kReal, where).arg(r, 0, 'f', 2).arg(verdict(r <= 0.85));
        }
        const Sender* scan = find(kReal, scanName, variant);
        const Sender* dir = find(kRealDir, scanName, variant);
        if (scan && dir) {
            const double r = median(dir->seconds) / median(scan->seconds);
            targets << QStringLiteral("DICOMDIR walk within 5 % of the scan, %1: DICOMDIR / scan = %2 (%3)").arg(where).arg(r, 0, 'f', 3).arg(verdict(r <= 1.05));
        }
        const Sender* up = find(kUpper, scanName, variant);
        const Sender* low = find(kLower, scanName, variant);
        if (up && low) {
            const double r = median(low->seconds) / median(up->seconds);
            targets << QStringLiteral("%L1 in one folder, lower-case DICOMDIR within 1.1 x the upper-case walk, %2: %3 (%4)")
                           .arg(folderCount)
                           .arg(where)
                           .arg(r, 0, 'f', 3)
                           .arg(verdict(r <= 1.1));
        }
        if (const Sender* v = find(kVendor, scanName, variant); v && storescuByCase.count(kVendor)) {
            const double r = median(v->seconds) / storescuByCase[kVendor];
            targets << QStringLiteral("%1, %2, Varnelo / storescu <= 0.8: %3 (%4)").arg(kVendor, where).arg(r, 0, 'f', 2).arg(verdict(r <= 0.8));
        }
        if (const Sender* v = find(kLarge, scanName, variant); v && storescuByCase.count(kLarge)) {
            const double r = median(v->seconds) / storescuByCase[kLarge];
            targets << QStringLiteral("%1, %2, Varnelo / storescu <= 1.0: %3 (%4)").arg(kLarge, where).arg(r, 0, 'f', 2).arg(verdict(r <= 1.0));
        }
        if (const Sender* v = find(kOrthanc, scanName, variant); v && storescuByCase.count(kOrthanc)) {
            const double r = median(v->seconds) / storescuByCase[kOrthanc];
            targets << QStringLiteral("%1, %2, Varnelo / storescu (keep the lead, < 1): %3 (%4)").arg(kOrthanc, where).arg(r, 0, 'f', 2).arg(verdict(r < 1.0));
        }
    }
    if (const Sender* tlsOn = find(kTls, scanName, QStringLiteral("headless")),
        *clear = find(kTls, QStringLiteral("Varnelo in the clear"), QStringLiteral("headless"));
        tlsOn && clear)
        targets << QStringLiteral("%1, Varnelo over TLS / Varnelo in the clear: %2 (for information)")
                       .arg(kTls)
                       .arg(median(tlsOn->seconds) / median(clear->seconds), 0, 'f', 2);
    for (const Group& g : groups)
        for (const Sender& s : g.senders) {
            if (s.caseName == kLive && !s.abortAnswers.empty()) {
                const double a = *std::max_element(s.abortAnswers.begin(), s.abortAnswers.end());
                targets << QStringLiteral("Abort answered within 0.2 s, %1: %2 s (%3)").arg(s.name).arg(a, 0, 'f', 3).arg(verdict(a <= 0.2));
            }
            if (s.variant == QLatin1String("headless") && s.longestGap >= 0 && (s.caseName == kLive || s.caseName == kUpper || s.caseName == kLower))
                targets << QStringLiteral("longest time without a yield (repaint, Abort) within 0.2 s, %1, %2: %3 s (%4)")
                               .arg(s.caseName, s.name)
                               .arg(s.longestGap, 0, 'f', 3)
                               .arg(verdict(s.longestGap <= 0.2));
            if (s.caseName == kRejected && s.name.startsWith(QLatin1String("Varnelo")) && !s.name.endsWith(baselineSuffix)) {
                const double w = median(s.seconds);
                targets << QStringLiteral("%1 under 1 s: %2 s (%3)").arg(kRejected).arg(w, 0, 'f', 3).arg(verdict(w < 1.0));
            }
            if (s.name == scanName && s.expectedStores > 0 && s.variant == QLatin1String("headless") && s.caseName != kOrthanc &&
                s.caseName != kGenerated) {
                const double limitMb = 64 + 2 * g.set.largest / 1048576.0;
                const double peak = s.peakRssKb / 1024.0;
                targets << QStringLiteral("peak RSS, %1, headless: %2 MB, limit %3 MB (%4)")
                               .arg(s.caseName)
                               .arg(peak, 0, 'f', 1)
                               .arg(limitMb, 0, 'f', 1)
                               .arg(verdict(peak <= limitMb));
            }
        }

    const QString when = QDateTime::currentDateTime().toString(Qt::ISODate);
    const QString load = QStringLiteral("load average %1 before, %2 after").arg(loadBefore, loadAverage());
    const QString host = machine();
    QTextStream out(stdout);
    out << "\n"
        << plain(t) << "\n";
    if (!driveTable.rows.empty())
        out << "From a simulated drive:\n" << plain(driveTable) << "\n";
    out << "Goals:\n";
    for (const QString& line : targets)
        out << "  " << line << "\n";
    if (!problems.isEmpty()) {
        out << "\nProblems:\n";
        for (const QString& p : problems)
            out << "  " << p << "\n";
    }
    out << "\n"
        << when << ", " << host << ", " << load << "\n";
    out.flush();

    if (!markdownPath.isEmpty()) {
        QFile md(markdownPath);
        if (!md.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            throw std::runtime_error("cannot write " + markdownPath.toStdString());
        QTextStream m(&md);
        m << "# Import speed\n\n"
          << "Measured " << when << " on " << host << " (" << load << ").\n\n"
          << "Command: `" << command << "`\n\n"
          << "Each sender runs as its own process against the same peer on 127.0.0.1 (`storescp --ignore` with "
             "TCP_NODELAY=1, or Debian's Orthanc with fresh storage for each run), the senders alternating, "
          << reps << " runs each (at most 3 against Orthanc, 1 for the Abort cases); the figure is the median. "
                     "**In the window**: the built program on an Xvfb display, from the press of IMPORT to the appearance of "
                     "the summary box (the time the question about a scan without suffix stands open is left out), watched "
                     "through X events. **Headless**: Varnelo's real scan or DICOMDIR walk with a run view that draws nothing, "
                     "from the start of the process to its end, like storescu and dcmsend (`+sd +r`, dcmsend `+rd` for a "
                     "DICOMDIR). CPU is the sender process's own user and system time (for the window, from the program's start to "
                     "its end). Peak RSS is the process's ru_maxrss.";
        if (!ctx.baselineBench.isEmpty())
            m << " Rows \"Varnelo at " << ctx.baselineLabel << "\" run the program built from that commit the same way, "
                 "in the same alternation: the goals compare each case with it.";
        m << "\n\n" << markdown(t) << "\n";
        if (!driveTable.rows.empty())
            m << "## From a simulated optical drive\n\n"
              << "Each run reads its files from `slowdrive.py` (a CD or DVD drive in software: one head, the read rate, "
                 "20 ms plus up to 130 ms for a head move), mounted afresh so that it starts with a cold cache, over the "
                 "same files as above laid out as a mastering tool writes them. **One read of the disc** reads every file "
                 "once in that order and sends nothing: the least any importer can take. DCMTK's tools, which move the "
                 "head for every file, run once per case; the others "
              << reps << " times (once for the large images, at most 3 times against Orthanc).\n\n"
              << markdown(driveTable) << "\n";
        m << "## Goals\n\n";
        for (const QString& line : targets)
            m << "- " << line << "\n";
        if (!problems.isEmpty()) {
            m << "\n## Problems seen in this run\n\n";
            for (const QString& p : problems)
                m << "- " << p << "\n";
        }
    }
    return problems.isEmpty() ? 0 : 1;
}

// ---- over a wide-area link --------------------------------------------------
//
// Every sender reaches its peer through wanlink.py at each round trip time;
// the figures are compared within the run: with one association to the same
// peer at the same delay, and with the same case at 0 ms (through the proxy,
// never a direct connection).

struct WanData {
    QString sub;    // below --data
    QString label;  // the table's "Data"
    bool full = true;  // every case; else the headless ones the goals need
};

int wanMain(const QStringList& args)
{
    auto option = [&](const QString& name, const QString& fallback) {
        const qsizetype i = args.indexOf(name);
        return i > 0 && i + 1 < args.size() ? args[i + 1] : fallback;
    };
    const QString data = option(QStringLiteral("--data"), QString());
    const QString script = option(QStringLiteral("--wanlink"), QString());
    const int reps = option(QStringLiteral("--reps"), QStringLiteral("3")).toInt();
    const QString markdownPath = option(QStringLiteral("--markdown"), QString());
    const QString command = option(QStringLiteral("--command"), QStringLiteral("varnelo-bench ") + args.join(QLatin1Char(' ')));
    std::vector<double> delays;
    for (const QString& d : option(QStringLiteral("--delays"), QStringLiteral("0,2,10,40")).split(QLatin1Char(',')))
        delays.push_back(d.toDouble());
    Context ctx;
    ctx.display = option(QStringLiteral("--display"), QString());
    ctx.program = option(QStringLiteral("--program"), QString());
    if (data.isEmpty() || script.isEmpty() || ctx.display.isEmpty() != ctx.program.isEmpty()) {
        std::fprintf(stderr, "usage: varnelo-bench wan --data DIR --wanlink WANLINK.PY [--delays 0,2,10,40] [--reps N] "
                             "[--display :N --program VARNELO] [--markdown FILE] [--command TEXT] [--only REGEX]\n");
        return 2;
    }
    const bool window = !ctx.display.isEmpty();
    const QString loadBefore = loadAverage();
    QTemporaryDir work;
    // a PACS serves several associations at once: storescp forks for each.
    // Both peers set TCP_NODELAY, as wanlink.py asks of the peer behind it.
    Storescp scp(true, work.path(), {QStringLiteral("--fork")});
    std::unique_ptr<Orthanc> orthanc;
    if (QFileInfo::exists(QStringLiteral("/usr/sbin/Orthanc")))
        orthanc = std::make_unique<Orthanc>(work.path(), !orthancDicomWebPlugin().isEmpty(), true);
    const bool web = orthanc && !orthancDicomWebPlugin().isEmpty();
    std::vector<std::unique_ptr<WanLink>> links;
    auto link = [&](quint16 target, double rtt) {
        links.push_back(std::make_unique<WanLink>(script, target, rtt, work.path()));
        return links.back()->port();
    };

    const std::vector<WanData> sets {{QStringLiteral("wan-small"), QStringLiteral("%L1 CT, 8 series"), true},
                                     {QStringLiteral("wan-large"), QStringLiteral("%L1 CT, 512 x 512"), false}};
    auto scpName = [](int a) {
        return QStringLiteral("storescp: Varnelo, %1 association%2%3")
            .arg(a)
            .arg(a == 1 ? QString() : QStringLiteral("s"))
            .arg(a == 4 ? QStringLiteral(" (default)") : QString());
    };
    auto pacsName = [](int a) {
        return QStringLiteral("Orthanc: Varnelo, DICOM, %1 association%2%3")
            .arg(a)
            .arg(a == 1 ? QString() : QStringLiteral("s"))
            .arg(a == 4 ? QStringLiteral(" (default)") : QString());
    };
    const QString stowName = QStringLiteral("Orthanc: Varnelo, STOW-RS (4 requests)");
    // the files end in .dcm, so the window asks nothing before it sends
    const QString suffix = QStringLiteral(".dcm");
    auto held = [&](int a) {
        return QStringList {QStringLiteral("--no-held"), QStringLiteral("--associations"), QString::number(a),
                            QStringLiteral("--suffix"), suffix};
    };
    auto extra = [](int a, const QString& url = {}) {
        return QStringLiteral("AskHeld=0\nAssociations=%1\n").arg(a) + (url.isEmpty() ? QString() : QStringLiteral("RemoteURL=%1\n").arg(url));
    };
    auto caseOf = [](const QString& label, double rtt) { return QStringLiteral("%1, %2 ms").arg(label).arg(rtt); };

    std::vector<Group> groups;
    std::vector<QString> labels;
    const QStringList sdr {QStringLiteral("+sd"), QStringLiteral("+r")};
    for (const WanData& set : sets) {
        const QString folder = data + QLatin1Char('/') + set.sub;
        if (!QFileInfo::exists(folder))
            continue;
        const FileSet files = fileSet(folder);
        const int n = files.files;
        const QString label = set.label.arg(n);
        labels.push_back(label);
        for (double rtt : delays) {
            Group g;
            g.set = files;
            g.title = QStringLiteral("%1 through a link of %2 ms round trip").arg(label).arg(rtt);
            g.reps = reps;
            const QString c = caseOf(label, rtt);
            Receiver toScp = storescpReceiver(scp, n);
            toScp.port = link(scp.port(), rtt);
            for (int a : {1, 2, 4, 8})
                if (set.full || a != 2)
                    g.senders.push_back(headless(c, scpName(a), toScp, false, folder, held(a), n));
            if (window && set.full)
                for (int a : {1, 4})
                    g.senders.push_back(inWindow(ctx, c, scpName(a), toScp, false, folder, n, -1, extra(a), suffix));
            for (const QString& tool : {QStringLiteral("storescu"), QStringLiteral("dcmsend")})
                if (set.full || tool == QLatin1String("storescu")) {
                    Sender s = dcmtk(c, tool, sdr, toScp, folder, n);
                    s.name = QStringLiteral("storescp: ") + s.name;
                    g.senders.push_back(s);
                }
            if (orthanc) {
                Receiver toPacs = orthancReceiver(*orthanc);
                toPacs.port = link(orthanc->port(), rtt);
                for (int a : {1, 4})
                    g.senders.push_back(headless(c, pacsName(a), toPacs, false, folder, held(a), n));
                if (window && set.full)
                    for (int a : {1, 4})
                        g.senders.push_back(inWindow(ctx, c, pacsName(a), toPacs, false, folder, n, -1, extra(a), suffix));
                if (web) {
                    const QString url = QStringLiteral("http://127.0.0.1:%1/dicom-web").arg(link(orthanc->httpPort(), rtt));
                    g.senders.push_back(headless(c, stowName, toPacs, false, folder,
                                                 held(4) << QStringLiteral("--url") << url, n));
                    if (window && set.full)
                        g.senders.push_back(inWindow(ctx, c, stowName, toPacs, false, folder, n, -1, extra(4, url), suffix));
                }
            }
            groups.push_back(std::move(g));
        }
    }
    if (groups.empty()) {
        std::fprintf(stderr, "varnelo-bench wan: no wan-small or wan-large below %s\n", qPrintable(data));
        return 2;
    }
    if (const QString only = option(QStringLiteral("--only"), QString()); !only.isEmpty()) {
        const QRegularExpression keep(only);
        for (Group& g : groups)
            g.senders.erase(std::remove_if(g.senders.begin(), g.senders.end(),
                                           [&](const Sender& s) {
                                               return !keep.match(s.caseName + QStringLiteral(" / ") + s.name +
                                                                  QStringLiteral(" / ") + s.variant)
                                                           .hasMatch();
                                           }),
                            g.senders.end());
        groups.erase(std::remove_if(groups.begin(), groups.end(), [](const Group& g) { return g.senders.empty(); }),
                     groups.end());
    }
    for (Group& g : groups)
        runGroup(g);
    if (orthanc)
        orthanc->stop();
    links.clear();

    // only the runs that went well count: a run that failed is listed under the problems
    auto find = [&](const QString& c, const QString& name, const QString& variant) -> const Sender* {
        for (const Group& g : groups)
            for (const Sender& s : g.senders)
                if (s.caseName == c && s.name == name && s.variant == variant && !s.okSeconds.empty())
                    return &s;
        return nullptr;
    };
    auto med = [](const Sender* s) { return s ? median(s->okSeconds) : 0.0; };

    QStringList problems;
    for (const Group& g : groups)
        for (const Sender& s : g.senders)
            for (const QString& p : s.problems)
                problems << QStringLiteral("%1 / %2 (%3): %4").arg(s.caseName, s.name, s.variant.isEmpty() ? QStringLiteral("tool") : s.variant, p);

    // ---- the table: a row per case and sender, in the window and headless side by side ----
    Table t;
    t.header = QStringList {QStringLiteral("Data, round trip"), QStringLiteral("Peer: sender"), QStringLiteral("In the window s"),
                            QStringLiteral("Headless s"), QStringLiteral("Runs (min-max) s"), QStringLiteral("Images/s"),
                            QStringLiteral("x 1 association, same peer (window / headless)"),
                            QStringLiteral("x 0 ms (window / headless)"), QStringLiteral("Peak RSS MB (window / headless)")};
    const QString kHeadless = QStringLiteral("headless"), kWindow = QStringLiteral("window");
    for (const Group& g : groups) {
        const QString c = g.senders.front().caseName;
        const QString label = c.section(QStringLiteral(", "), 0, -2);
        const QString zero = caseOf(label, 0);
        QStringList done;
        for (const Sender& first : g.senders) {
            if (done.contains(first.name))
                continue;
            done << first.name;
            const bool tool = first.variant.isEmpty();
            const Sender* win = tool ? nullptr : find(c, first.name, kWindow);
            const Sender* head = tool ? &first : find(c, first.name, kHeadless);
            if (tool && first.okSeconds.empty())
                head = nullptr;
            QStringList ranges;
            for (const Sender* s : {win, head}) {
                if (!s)
                    continue;
                const auto [lo, hi] = std::minmax_element(s->okSeconds.begin(), s->okSeconds.end());
                ranges << QStringLiteral("%1-%2").arg(*lo, 0, 'f', 2).arg(*hi, 0, 'f', 2);
            }
            // the same peer with one association: its window run for a window row
            const QString one = first.name.startsWith(QLatin1String("storescp")) ? scpName(1) : pacsName(1);
            auto ratio = [&](const Sender* s, const Sender* base) {
                return s && base && med(base) > 0 ? QString::number(med(s) / med(base), 'f', 2) : QStringLiteral("-");
            };
            auto pair = [&](const QString& w, const QString& h) { return tool ? h : w + QStringLiteral(" / ") + h; };
            const Sender* oneHead = find(c, one, kHeadless);
            const Sender* oneWin = find(c, one, kWindow);
            auto secondsOf = [](const Sender* s) { return s ? QString::number(median(s->okSeconds), 'f', 2) : QStringLiteral("-"); };
            auto rssOf = [](const Sender* s) { return s ? QString::number(s->peakRssKb / 1024.0, 'f', 1) : QStringLiteral("-"); };
            const Sender* main = head ? head : win;
            t.rows.push_back({c, first.name, tool ? QStringLiteral("-") : secondsOf(win), secondsOf(head),
                              ranges.join(QStringLiteral(", ")) + QStringLiteral(" (n=%1)").arg(main ? main->okSeconds.size() : 0),
                              main && med(main) > 0 ? QString::number(first.expectedStores / med(main), 'f', 0) : QStringLiteral("-"),
                              pair(ratio(win, oneWin), ratio(head, oneHead)),
                              pair(ratio(win, find(zero, first.name, kWindow)), ratio(head, tool ? find(zero, first.name, QString()) : find(zero, first.name, kHeadless))),
                              pair(rssOf(win), rssOf(head))});
        }
    }

    // ---- the goals, each within this run ----
    QStringList goals;
    auto verdict = [](bool ok) { return ok ? QStringLiteral("PASS") : QStringLiteral("FAIL"); };
    auto goal = [&](const QString& text, const Sender* a, const Sender* b, double limit) {
        if (!a || !b || med(b) <= 0)
            return;
        const double r = med(a) / med(b);
        goals << QStringLiteral("%1 %2: %3 / %4 s = %5 (limit %6)")
                     .arg(verdict(r <= limit), text)
                     .arg(med(a), 0, 'f', 2)
                     .arg(med(b), 0, 'f', 2)
                     .arg(r, 0, 'f', 3)
                     .arg(limit, 0, 'f', 2);
    };
    for (const QString& label : labels) {
        const QString at0 = caseOf(label, 0), at10 = caseOf(label, 10);
        for (const QString& v : {kHeadless, kWindow}) {
            const QString where = v == kWindow ? QStringLiteral("in the window") : QStringLiteral("headless");
            goal(QStringLiteral("%1, 10 ms, storescp, %2: 4 associations (default) <= 0.3 x 1 association").arg(label, where),
                 find(at10, scpName(4), v), find(at10, scpName(1), v), 0.3);
            goal(QStringLiteral("%1, 0 ms, storescp, %2: 4 associations (default) within 5 % of 1 association").arg(label, where),
                 find(at0, scpName(4), v), find(at0, scpName(1), v), 1.05);
            goal(QStringLiteral("%1, 0 ms, Orthanc by DICOM, %2: 4 associations (default) within 5 % of 1 association").arg(label, where),
                 find(at0, pacsName(4), v), find(at0, pacsName(1), v), 1.05);
            goal(QStringLiteral("%1, Orthanc by STOW-RS, %2: 10 ms <= 2 x 0 ms").arg(label, where), find(at10, stowName, v),
                 find(at0, stowName, v), 2.0);
            goal(QStringLiteral("%1, 0 ms, Orthanc, %2: STOW-RS <= 1.5 x DICOM (4 associations, default)").arg(label, where),
                 find(at0, stowName, v), find(at0, pacsName(4), v), 1.5);
        }
        // peak memory of each case, for the record: the largest of the delays
        for (const Group& g : groups)
            for (const Sender& s : g.senders)
                if (s.caseName == at0 && !s.variant.isEmpty()) {
                    long peak = 0;
                    for (double rtt : delays)
                        if (const Sender* o = find(caseOf(label, rtt), s.name, s.variant))
                            peak = std::max(peak, o->peakRssKb);
                    goals << QStringLiteral("INFO %1, %2, %3: peak RSS %4 MB over all delays")
                                 .arg(label, s.name, s.variant)
                                 .arg(peak / 1024.0, 0, 'f', 1);
                }
    }

    const QString when = QDateTime::currentDateTime().toString(Qt::ISODate);
    const QString load = QStringLiteral("load average %1 before, %2 after").arg(loadBefore, loadAverage());
    const QString host = machine();
    QTextStream out(stdout);
    out << "\n" << plain(t) << "\nGoals:\n";
    for (const QString& line : goals)
        out << "  " << line << "\n";
    if (!problems.isEmpty()) {
        out << "\nProblems:\n";
        for (const QString& p : problems)
            out << "  " << p << "\n";
    }
    out << "\n" << when << ", " << host << ", " << load << "\n";
    out.flush();

    if (!markdownPath.isEmpty()) {
        QString section;
        QTextStream m(&section);
        QStringList rtts;
        for (double rtt : delays)
            rtts << QString::number(rtt);
        m << "<!-- wide-area -->\n## Over a wide-area link\n\n"
          << "Measured " << when << " on " << host << " (" << load << ").\n\n"
          << "Command: `" << command << "`\n\n"
          << "Every sender reaches its peer through `wanlink.py` (a TCP proxy on 127.0.0.1 that delays each chunk by half "
             "the round trip each way, bandwidth not limited) at "
          << rtts.join(QStringLiteral(", "))
          << " ms; 0 ms is the proxy's own cost, and every ratio is taken within this run. Peers: `storescp --ignore "
             "--fork` (TCP_NODELAY=1; a process for each association, as a PACS serves several at once) and Debian's "
             "Orthanc with its DICOMweb plugin, given fresh storage before each run, by DICOM or by STOW-RS to "
             "`/dicom-web` on its HTTP port. Varnelo asks no destination what it holds (AskHeld=0), so only the sending "
             "is timed; \"associations\" is `[DICOM] Associations`, and STOW-RS runs at the default of 4 requests in "
             "flight. **In the window**: the built program on an Xvfb display, from the press of IMPORT to the summary "
             "box. **Headless**: Varnelo's real scan with a view that draws nothing, the whole process, like storescu "
             "and dcmsend (`+sd +r`). The large images run headless only, with fewer senders. The files end in "
             "`.dcm` and every sender takes only those (the window then asks nothing before it sends). "
          << reps << " runs of each, the senders alternating; the figure is the median. Peak RSS is the sender "
             "process's ru_maxrss.\n\n"
          << markdown(t) << "\n### Goals\n\n";
        for (const QString& line : goals)
            m << "- " << line << "\n";
        if (!problems.isEmpty()) {
            m << "\n### Problems seen in this run\n\n";
            for (const QString& p : problems)
                m << "- " << p << "\n";
        }
        m << "<!-- /wide-area -->\n";
        m.flush();
        // the section replaces the last one, or follows what is there
        QFile md(markdownPath);
        QString text;
        if (md.open(QIODevice::ReadOnly | QIODevice::Text))
            text = QString::fromUtf8(md.readAll());
        md.close();
        const qsizetype from = text.indexOf(QLatin1String("<!-- wide-area -->"));
        const QString end = QStringLiteral("<!-- /wide-area -->\n");
        const qsizetype to = text.indexOf(end);
        if (from >= 0 && to > from)
            text.replace(from, to + end.size() - from, section);
        else
            text += (text.isEmpty() || text.endsWith(QLatin1String("\n\n")) ? QString() : QStringLiteral("\n")) + section;
        if (!md.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            throw std::runtime_error("cannot write " + markdownPath.toStdString());
        md.write(text.toUtf8());
    }
    return problems.isEmpty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    try {
        if (args.size() > 1 && args[1] == QLatin1String("child")) {
            QCoreApplication app(argc, argv);
            return childMain(args.mid(1));
        }
        if (args.size() > 1 && args[1] == QLatin1String("run")) {
            QCoreApplication app(argc, argv);
            return runMain(args.mid(1));
        }
        if (args.size() > 1 && args[1] == QLatin1String("wan")) {
            QCoreApplication app(argc, argv);
            return wanMain(args.mid(1));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnelo-bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: varnelo-bench run --data DIR [--reps N] [--display :N --program VARNELO] [--markdown FILE]\n"
                         "       varnelo-bench wan --data DIR --wanlink WANLINK.PY [--delays 0,2,10,40] [--reps N] [...]\n"
                         "       varnelo-bench child scan|dicomdir FOLDER PORT AET [--suffix S] [--newid ID]\n");
    return 2;
}
