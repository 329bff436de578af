// varnelo-bench: Varnelo's import (the real scan and DICOMDIR walk, with
// their yields and progress updates) timed against DCMTK's storescu and
// dcmsend on the same files and the same storescp, in one run, alternating.
// Every sender, Varnelo included, runs as a child process of its own so that
// its peak resident memory can be read when it is reaped.
//
//   varnelo-bench run --data DIR [--reps N] [--markdown FILE] [--command TEXT]
//   varnelo-bench child scan|dicomdir FOLDER PORT AET [--suffix S] [--log] [--tls CERT KEY CA]
//
// DIR is laid out by scripts/bench.sh: small/DICOM (with small/DICOMDIR over
// it), large, j2k, rejected, rss1k, rss20k. A folder that is missing skips its case.

#include "BenchView.h"
#include "Process.h"

#include "base/AppState.h"
#include "base/ProgramFolder.h"
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

int childMain(const QStringList& args)
{
    // child MODE FOLDER PORT AET [--suffix S] [--log]
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
    s.WriteLog = args.contains(QStringLiteral("--log")) ? 1 : 0;
    const qsizetype tls = args.indexOf(QStringLiteral("--tls"));
    if (tls > 0 && tls + 3 < args.size()) {
        s.UseTLS = true;
        s.TLSCertificate = args[tls + 1];
        s.TLSPrivateKey = args[tls + 2];
        s.TLSTrustedCertificates = args[tls + 3];
    }

    // With the transfer log on the scan leaves a marker that would make the
    // next run pass the folder over; take it away again after timing.
    const QString marker = folder + QStringLiteral("/migration.done");
    const bool markerBefore = QFile::exists(marker);

    SilentView view;
    AbortingPrompt prompt;
    ImportRun run(view, prompt, [] { return QString(); });
    QElapsedTimer timer;
    timer.start();
    if (dicomDir)
        run.SearchForDicomDir(folder);
    else
        run.ReadCdDirectory(folder, false);
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    if (!markerBefore)
        QFile::remove(marker);

    QFile errors(programDir.filePath(QStringLiteral("Logs/Error.log")));
    int errorLines = 0;
    if (errors.open(QIODevice::ReadOnly))
        errorLines = static_cast<int>(errors.readAll().count('\n'));
    std::printf("imported=%d seconds=%.4f prompts=%d errorlines=%d yields=%ld\n", run.ImportedCount, seconds,
                prompt.shown, errorLines, view.yields);
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

struct Sender {
    QString caseName;
    QString name;
    bool isStorescu = false;
    // Runs once; returns the result and the number of images it claims or the peer saw.
    std::function<ChildResult()> run;
    Storescp* peer = nullptr;
    int expectedStores = 0;
    // filled in by the run
    std::vector<double> seconds;
    double walkSeconds = -1;  // Varnelo's own figure for the walk, without process start
    long peakRssKb = 0;
    QStringList problems;
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
};

QString self()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

Sender varnelo(const QString& caseName, const QString& name, Storescp& peer, const QString& mode,
               const QString& folder, const QStringList& extra, int expected)
{
    Sender s;
    s.caseName = caseName;
    s.name = name;
    s.peer = &peer;
    s.expectedStores = expected;
    QStringList args {QStringLiteral("child"), mode, folder, QString::number(peer.port()), peer.aeTitle()};
    args << extra;
    s.run = [args] { return runChild(self(), args, true); };
    return s;
}

Sender dcmtk(const QString& caseName, const QString& tool, const QStringList& options, Storescp& peer,
             const QString& input, int expected)
{
    Sender s;
    s.caseName = caseName;
    s.name = tool + QLatin1Char(' ') + options.join(QLatin1Char(' '));
    s.isStorescu = tool == QLatin1String("storescu");
    s.peer = &peer;
    s.expectedStores = expected;
    QStringList args = options;
    args << QStringLiteral("-aec") << peer.aeTitle() << QStringLiteral("127.0.0.1") << QString::number(peer.port())
         << input;
    const QString program = QStringLiteral("/usr/bin/") + tool;
    s.run = [program, args] { return runChild(program, args, true); };
    return s;
}

void runGroup(Group& g)
{
    std::printf("\n== %s: %d files, %.1f MB ==\n", qPrintable(g.title), g.set.files, g.set.bytes / 1e6);
    std::fflush(stdout);
    const size_t n = g.senders.size();
    for (int rep = 0; rep < g.reps; ++rep) {
        // rotate the order so that no sender always runs first or last
        for (size_t k = 0; k < n; ++k) {
            Sender& s = g.senders[(k + static_cast<size_t>(rep)) % n];
            const int before = s.peer->storesReceived();
            const ChildResult r = s.run();
            // storescp logs asynchronously to the sender's end; give it a moment
            int received = s.peer->storesReceived() - before;
            for (int i = 0; i < 50 && received < s.expectedStores; ++i) {
                QThread::msleep(20);
                received = s.peer->storesReceived() - before;
            }
            s.seconds.push_back(r.seconds);
            s.peakRssKb = std::max(s.peakRssKb, r.peakRssKb);
            static const QRegularExpression walk(QStringLiteral("seconds=([0-9.]+)"));
            const auto m = walk.match(r.output);
            if (m.hasMatch()) {
                const double w = m.captured(1).toDouble();
                s.walkSeconds = s.walkSeconds < 0 ? w : std::min(s.walkSeconds, w);
            }
            if (received != s.expectedStores)
                s.problems << QStringLiteral("peer received %1 of %2").arg(received).arg(s.expectedStores);
            if (r.exitCode != 0 && s.expectedStores > 0)
                s.problems << QStringLiteral("exit code %1: %2").arg(r.exitCode).arg(r.output.left(300).simplified());
            std::printf("  %-40s %-34s %8.3f s  %7.1f MB\n", qPrintable(s.caseName), qPrintable(s.name), r.seconds,
                        r.peakRssKb / 1024.0);
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
            out += (i < 2 ? r[i].leftJustified(width[static_cast<size_t>(i)]) : r[i].rightJustified(width[static_cast<size_t>(i)])) + QStringLiteral("  ");
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
    if (data.isEmpty()) {
        std::fprintf(stderr, "usage: varnelo-bench run --data DIR [--reps N] [--markdown FILE] [--command TEXT]\n");
        return 2;
    }
    auto loadAverage = [] {
        QFile f(QStringLiteral("/proc/loadavg"));
        return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2) : QString();
    };
    const QString loadBefore = loadAverage();
    QTemporaryDir work;
    Storescp fast(true, work.path());
    Storescp nagle(false, work.path());

    auto exists = [&](const QString& sub) { return QFileInfo(data + QLatin1Char('/') + sub).exists(); };
    const QStringList sdr {QStringLiteral("+sd"), QStringLiteral("+r")};
    std::vector<Group> groups;

    const QString kSmall = QStringLiteral("2,000 small, scan");
    const QString kDir = QStringLiteral("2,000 small, DICOMDIR");
    const QString kLarge = QStringLiteral("100 large, scan");
    const QString kRejected = QStringLiteral("100,000 rejected by suffix");
    const QString kNagle = QStringLiteral("2,000 small, peer with Nagle");
    const QString kTls = QStringLiteral("2,000 small, scan, TLS");
    if (exists(QStringLiteral("small/DICOM"))) {
        Group g;
        g.set = fileSet(data + QStringLiteral("/small/DICOM"));
        g.title = QStringLiteral("small images, scan and DICOMDIR");
        g.reps = reps;
        const int n = g.set.files;
        g.senders.push_back(varnelo(kSmall, QStringLiteral("Varnelo"), fast, QStringLiteral("scan"), g.set.folder, {}, n));
        g.senders.push_back(dcmtk(kSmall, QStringLiteral("storescu"), sdr, fast, g.set.folder, n));
        g.senders.push_back(dcmtk(kSmall, QStringLiteral("dcmsend"), sdr, fast, g.set.folder, n));
        if (exists(QStringLiteral("small/DICOMDIR"))) {
            g.senders.push_back(varnelo(kDir, QStringLiteral("Varnelo"), fast, QStringLiteral("dicomdir"),
                                        data + QStringLiteral("/small"), {}, n));
            g.senders.push_back(dcmtk(kDir, QStringLiteral("dcmsend"), {QStringLiteral("+rd")}, fast,
                                      data + QStringLiteral("/small/DICOMDIR"), n));
        }
        g.senders.push_back(varnelo(kSmall, QStringLiteral("Varnelo, transfer log on"), fast, QStringLiteral("scan"),
                                    g.set.folder, {QStringLiteral("--log")}, n));
        groups.push_back(std::move(g));

        Group ng;
        ng.set = groups.back().set;
        ng.title = QStringLiteral("small images, storescp without TCP_NODELAY");
        ng.reps = reps;
        // Varnelo against both peers in one alternation. storescu and dcmsend
        // are left out: they wait for delayed ACKs here, about 44 ms an image.
        ng.senders.push_back(varnelo(kNagle, QStringLiteral("Varnelo"), nagle, QStringLiteral("scan"), ng.set.folder, {}, n));
        ng.senders.push_back(varnelo(kNagle, QStringLiteral("Varnelo, peer with TCP_NODELAY"), fast, QStringLiteral("scan"),
                                     ng.set.folder, {}, n));
        groups.push_back(std::move(ng));
    }
    // The same images over TLS (both sides verified, BCP 195), with Varnelo
    // in the clear in the same alternation for the comparison.
    std::unique_ptr<Storescp> secure;
    Certificates certs;
    if (exists(QStringLiteral("small/DICOM")) && makeCertificates(work.path(), certs)) {
        secure = std::make_unique<Storescp>(true, work.path(),
                                            QStringList {QStringLiteral("+tls"), certs.serverKey, certs.serverCertificate,
                                                         QStringLiteral("+cf"), certs.ca, QStringLiteral("--require-peer-cert")});
        Group g;
        g.set = fileSet(data + QStringLiteral("/small/DICOM"));
        g.title = QStringLiteral("small images over TLS");
        g.reps = reps;
        const int n = g.set.files;
        g.senders.push_back(varnelo(kTls, QStringLiteral("Varnelo"), *secure, QStringLiteral("scan"), g.set.folder,
                                    {QStringLiteral("--tls"), certs.clientCertificate, certs.clientKey, certs.ca}, n));
        Sender storescu = dcmtk(kTls, QStringLiteral("storescu"),
                                sdr + QStringList {QStringLiteral("+tls"), certs.clientKey, certs.clientCertificate, QStringLiteral("+cf"), certs.ca},
                                *secure, g.set.folder, n);
        storescu.name = QStringLiteral("storescu +sd +r +tls");
        g.senders.push_back(storescu);
        g.senders.push_back(varnelo(kTls, QStringLiteral("Varnelo in the clear"), fast, QStringLiteral("scan"), g.set.folder, {}, n));
        groups.push_back(std::move(g));
    }
    if (exists(QStringLiteral("large"))) {
        Group g;
        g.set = fileSet(data + QStringLiteral("/large"));
        g.title = QStringLiteral("large multi-frame images");
        g.reps = reps;
        const int n = g.set.files;
        g.senders.push_back(varnelo(kLarge, QStringLiteral("Varnelo"), fast, QStringLiteral("scan"), g.set.folder, {}, n));
        g.senders.push_back(dcmtk(kLarge, QStringLiteral("storescu"), sdr, fast, g.set.folder, n));
        g.senders.push_back(dcmtk(kLarge, QStringLiteral("dcmsend"), sdr, fast, g.set.folder, n));
        groups.push_back(std::move(g));
    }
    // JPEG 2000 to a peer that takes only uncompressed data: each image is
    // decoded in memory on its way. DCMTK's senders cannot decode it.
    if (exists(QStringLiteral("j2k"))) {
        Group g;
        g.set = fileSet(data + QStringLiteral("/j2k"));
        g.title = QStringLiteral("JPEG 2000 multi-frame images, decoded");
        g.reps = 1;
        const QString name = QStringLiteral("%1 JPEG 2000 large, decoded").arg(g.set.files);
        g.senders.push_back(varnelo(name, QStringLiteral("Varnelo"), fast, QStringLiteral("scan"), g.set.folder, {}, g.set.files));
        groups.push_back(std::move(g));
    }
    if (exists(QStringLiteral("rejected"))) {
        Group g;
        g.set = fileSet(data + QStringLiteral("/rejected"));
        g.title = QStringLiteral("files the suffix filter rejects");
        g.reps = reps;
        g.senders.push_back(varnelo(kRejected, QStringLiteral("Varnelo, suffix .dcm"), fast, QStringLiteral("scan"),
                                    g.set.folder, {QStringLiteral("--suffix"), QStringLiteral(".dcm")}, 0));
        g.senders.push_back(dcmtk(kRejected, QStringLiteral("storescu"),
                                  {QStringLiteral("+sd"), QStringLiteral("+r"), QStringLiteral("+sp"), QStringLiteral("*.dcm")},
                                  fast, g.set.folder, 0));
        g.senders.push_back(dcmtk(kRejected, QStringLiteral("dcmsend"),
                                  {QStringLiteral("+sd"), QStringLiteral("+r"), QStringLiteral("+sp"), QStringLiteral("*.dcm")},
                                  fast, g.set.folder, 0));
        groups.push_back(std::move(g));
    }
    for (const QString& sub : {QStringLiteral("rss1k"), QStringLiteral("rss20k")}) {
        if (!exists(sub))
            continue;
        Group g;
        g.set = fileSet(data + QLatin1Char('/') + sub);
        const QString name = QStringLiteral("%L1 small, memory").arg(g.set.files);
        g.title = name;
        g.reps = 1;
        const int n = g.set.files;
        g.senders.push_back(varnelo(name, QStringLiteral("Varnelo"), fast, QStringLiteral("scan"), g.set.folder, {}, n));
        g.senders.push_back(dcmtk(name, QStringLiteral("storescu"), sdr, fast, g.set.folder, n));
        g.senders.push_back(dcmtk(name, QStringLiteral("dcmsend"), sdr, fast, g.set.folder, n));
        groups.push_back(std::move(g));
    }
    for (Group& g : groups)
        runGroup(g);

    // ---- the table ----
    Table t;
    t.header = QStringList {QStringLiteral("Case"), QStringLiteral("Sender"), QStringLiteral("Wall s"),
                            QStringLiteral("Runs (min-max) s"), QStringLiteral("Images/s"), QStringLiteral("MB/s"),
                            QStringLiteral("Peak RSS MB"), QStringLiteral("Ratio to storescu")};
    std::map<QString, double> storescuByCase;
    std::map<std::pair<QString, QString>, double> wall;
    std::map<QString, const FileSet*> setOf;
    for (const Group& g : groups)
        for (const Sender& s : g.senders) {
            wall[{s.caseName, s.name}] = median(s.seconds);
            setOf[s.caseName] = &g.set;
            if (s.isStorescu)
                storescuByCase[s.caseName] = median(s.seconds);
        }
    // The DICOMDIR case has no storescu of its own: storescu cannot read a
    // DICOMDIR, so it is compared with storescu's scan of the same files.
    if (storescuByCase.count(kSmall))
        storescuByCase[kDir] = storescuByCase[kSmall];
    QStringList problems;
    for (const Group& g : groups)
        for (const Sender& s : g.senders) {
            const double w = median(s.seconds);
            const int images = s.expectedStores;
            const double mb = images > 0 ? g.set.bytes / 1e6 : 0;
            const auto sc = storescuByCase.find(s.caseName);
            QString ratio = QStringLiteral("-");
            if (sc != storescuByCase.end() && sc->second > 0 && !s.isStorescu)
                ratio = QString::number(w / sc->second, 'f', 2);
            if (s.isStorescu)
                ratio = QStringLiteral("1.00");
            QString wallText = QString::number(w, 'f', 3);
            if (s.walkSeconds >= 0 && images == 0)
                wallText += QStringLiteral(" (walk %1)").arg(s.walkSeconds, 0, 'f', 3);
            const auto [lo, hi] = std::minmax_element(s.seconds.begin(), s.seconds.end());
            t.rows.push_back({s.caseName, s.name, wallText,
                              QStringLiteral("%1-%2 (n=%3)").arg(*lo, 0, 'f', 3).arg(*hi, 0, 'f', 3).arg(s.seconds.size()),
                              images > 0 ? QString::number(images / w, 'f', 0) : QStringLiteral("-"),
                              images > 0 ? QString::number(mb / w, 'f', 1) : QStringLiteral("-"),
                              QString::number(s.peakRssKb / 1024.0, 'f', 1), ratio});
            for (const QString& p : s.problems)
                problems << QStringLiteral("%1 / %2: %3").arg(s.caseName, s.name, p);
        }

    // ---- the targets ----
    QStringList targets;
    auto verdict = [](bool ok) { return ok ? QStringLiteral("met") : QStringLiteral("MISSED"); };
    auto ratioOf = [&](const QString& c, const QString& a, const QString& b) -> std::optional<double> {
        const auto x = wall.find({c, a});
        if (x == wall.end())
            return std::nullopt;
        const double denominator = b.isEmpty() ? (storescuByCase.count(c) ? storescuByCase[c] : 0) : wall[{c, b}];
        if (denominator <= 0)
            return std::nullopt;
        return x->second / denominator;
    };
    if (auto r = ratioOf(kSmall, QStringLiteral("Varnelo"), {}))
        targets << QStringLiteral("2,000 small by scan, Varnelo / storescu <= 0.85: %1 (%2)").arg(*r, 0, 'f', 2).arg(verdict(*r <= 0.85));
    if (auto r = ratioOf(kLarge, QStringLiteral("Varnelo"), {}))
        targets << QStringLiteral("100 large, Varnelo / storescu <= 1.0: %1 (%2)").arg(*r, 0, 'f', 2).arg(verdict(*r <= 1.0));
    if (wall.count({kDir, QStringLiteral("Varnelo")}) && wall.count({kSmall, QStringLiteral("Varnelo")})) {
        const double r = wall[{kDir, QStringLiteral("Varnelo")}] / wall[{kSmall, QStringLiteral("Varnelo")}];
        targets << QStringLiteral("DICOMDIR within 5 %% of the scan: DICOMDIR / scan = %1 (%2)").arg(r, 0, 'f', 3).arg(verdict(r <= 1.05));
    }
    for (const Group& g : groups)
        for (const Sender& s : g.senders) {
            if (s.caseName == kRejected && s.name.startsWith(QLatin1String("Varnelo"))) {
                const double w = median(s.seconds);
                targets << QStringLiteral("100,000 rejected files under 1 s: %1 s for the whole process, %2 s for the walk (%3)")
                               .arg(w, 0, 'f', 3)
                               .arg(s.walkSeconds, 0, 'f', 3)
                               .arg(verdict(w < 1.0));
            }
            if (s.name == QLatin1String("Varnelo") && s.expectedStores > 0 && s.caseName != kNagle) {
                const double limitMb = 64 + 2 * g.set.largest / 1048576.0;
                const double peak = s.peakRssKb / 1024.0;
                targets << QStringLiteral("peak RSS, %1: %2 MB, limit %3 MB (%4)")
                               .arg(s.caseName)
                               .arg(peak, 0, 'f', 1)
                               .arg(limitMb, 0, 'f', 1)
                               .arg(verdict(peak <= limitMb));
            }
        }
    if (wall.count({kTls, QStringLiteral("Varnelo")}) && wall.count({kTls, QStringLiteral("Varnelo in the clear")})) {
        const double r = wall[{kTls, QStringLiteral("Varnelo")}] / wall[{kTls, QStringLiteral("Varnelo in the clear")}];
        targets << QStringLiteral("2,000 small over TLS, Varnelo TLS / Varnelo in the clear: %1 (for information)").arg(r, 0, 'f', 2);
    }
    if (wall.count({kNagle, QStringLiteral("Varnelo")}) && wall.count({kNagle, QStringLiteral("Varnelo, peer with TCP_NODELAY")})) {
        const double r = wall[{kNagle, QStringLiteral("Varnelo")}] / wall[{kNagle, QStringLiteral("Varnelo, peer with TCP_NODELAY")}];
        targets << QStringLiteral("peer with Nagle, Varnelo / Varnelo against TCP_NODELAY peer <= 1.1: %1 (%2)")
                       .arg(r, 0, 'f', 2)
                       .arg(verdict(r <= 1.1));
    }

    const QString when = QDateTime::currentDateTime().toString(Qt::ISODate);
    const QString load = QStringLiteral("load average %1 before, %2 after").arg(loadBefore, loadAverage());
    const QString host = machine();
    QTextStream out(stdout);
    out << "\n"
        << plain(t) << "\nTargets:\n";
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
          << "Each sender runs as its own process against the same storescp on 127.0.0.1 (`storescp --ignore`, "
             "TCP_NODELAY=1 unless the case says otherwise), the senders alternating, "
          << reps << " runs each (1 for the memory cases); wall time is the median, from the start of the process "
                     "to its end. Peak RSS is the process's ru_maxrss. Varnelo runs its real scan or DICOMDIR walk with a "
                     "run view that draws nothing; storescu and dcmsend run with `+sd +r` (dcmsend `+rd` for the DICOMDIR).\n\n"
          << markdown(t) << "\n## Targets\n\n";
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
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnelo-bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: varnelo-bench run --data DIR [--reps N] [--markdown FILE]\n"
                         "       varnelo-bench child scan|dicomdir FOLDER PORT AET [--suffix S] [--log]\n");
    return 2;
}
