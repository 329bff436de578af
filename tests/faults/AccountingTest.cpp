// An import of many files, junk mixed in, against a peer that refuses some
// stores, with "Always ignore further messages": every file is accounted for.
// VARNELO_ACCOUNTING_FILES sets the number of files (default 10,000, about
// ten seconds).
#include "faults/FaultKit.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>

using namespace varnelo;
using namespace varnelo::faults;
using testdata::FaultyScp;

namespace {

constexpr int FilesPerFolder = 500;
constexpr int JunkPerKindPerFolder = FilesPerFolder / 100;  // 1 % of each kind

enum class Kind { Image,
                  NotDicom,
                  Truncated,
                  DicomDirLike,
                  Empty };

int fileCount()
{
    const int n = qEnvironmentVariableIntValue("VARNELO_ACCOUNTING_FILES");
    return n >= FilesPerFolder ? n : 10000;
}

class Accounting : public FaultTest {};

// Every line of the transfer log, the retired ones first.
QStringList allDebugLines(const QString& logs)
{
    QStringList files = QDir(logs).entryList({"debug*.log"}, QDir::Files, QDir::Name);
    files.removeAll("Debug.log");
    files << "Debug.log";
    QStringList out;
    for (const QString& name : files) {
        QFile f(logs + "/" + name);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (QByteArray l : f.readAll().split('\n')) {
            if (l.endsWith('\r'))
                l.chop(1);
            const qsizetype tab = l.indexOf('\t');
            if (tab >= 0)
                out << QString::fromUtf8(l.mid(tab + 1));
        }
    }
    return out;
}

}  // namespace

TEST_F(Accounting, EveryFileIsStoredOrLoggedOnceAndTheCountIsWhatThePeerHolds)
{
    const int total = fileCount();
    const int folders = total / FilesPerFolder;

    // One real image, one DICOMDIR: the rest are copies with new UIDs or cuts.
    QTemporaryDir scratch;
    testdata::ImageRecipe recipe;
    recipe.rows = recipe.columns = 16;
    ASSERT_TRUE(QDir().mkpath(scratch.path() + "/IMG"));
    testdata::makeImage(scratch.path() + "/IMG/IM000001", recipe);
    testdata::makeDicomDir(scratch.path());
    QFile dicomDir(scratch.path() + "/DICOMDIR");
    ASSERT_TRUE(dicomDir.open(QIODevice::ReadOnly));
    const QByteArray dicomDirBytes = dicomDir.readAll();
    QFile big(scratch.path() + "/IMG/IM000001");
    ASSERT_TRUE(big.open(QIODevice::ReadOnly));
    const QByteArray imageBytes = big.readAll();

    QElapsedTimer t;
    t.start();
    QHash<QString, Kind> kinds;
    QHash<QString, QString> uidOf;  // image path -> SOP Instance UID
    for (int f = 0; f < folders; ++f) {
        const QString folder = mediaPath(QStringLiteral("F%1").arg(f, 3, 10, QLatin1Char('0')));
        ASSERT_TRUE(QDir().mkpath(folder));
        for (int i = 0; i < FilesPerFolder; ++i) {
            const QString path = folder + QStringLiteral("/%1").arg(i, 4, 10, QLatin1Char('0'));
            const int slot = i % 100;
            Kind kind = Kind::Image;
            if (slot == 11)
                kind = Kind::NotDicom;
            else if (slot == 33)
                kind = Kind::Truncated;
            else if (slot == 55)
                kind = Kind::DicomDirLike;
            else if (slot == 77)
                kind = Kind::Empty;
            kinds[path] = kind;
            QFile out(path);
            switch (kind) {
            case Kind::Image:
                recipe.instanceNumber = i + 1;
                uidOf[path] = testdata::makeImage(path, recipe);
                break;
            case Kind::NotDicom:
                testdata::makeNonDicom(path, i % 2 ? testdata::NonDicom::RandomBytes : testdata::NonDicom::Text);
                break;
            case Kind::Truncated:
                ASSERT_TRUE(out.open(QIODevice::WriteOnly));
                // in the pixel data, or inside the meta header
                out.write(imageBytes.left(i % 2 ? imageBytes.size() - 100 : 200));
                break;
            case Kind::DicomDirLike:
                ASSERT_TRUE(out.open(QIODevice::WriteOnly));
                out.write(dicomDirBytes);
                break;
            case Kind::Empty:
                ASSERT_TRUE(out.open(QIODevice::WriteOnly));
                break;
            }
        }
    }
    std::printf("made %d files in %lld ms\n", total, static_cast<long long>(t.elapsed()));

    FaultyScp::Options o;
    o.status = [](int ordinal, const QString&) -> std::uint16_t { return ordinal % 100 == 50 ? 0xA700 : 0; };
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Ignore};
    prompt.tickAlwaysIgnore = {true};

    t.restart();
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), true);
    std::printf("imported %d of %d files in %lld ms\n", run.ImportedCount, total, static_cast<long long>(t.elapsed()));

    const QStringList held = pacs.held();
    const QStringList requested = pacs.requested();
    const QSet<QString> heldSet(held.begin(), held.end());
    EXPECT_EQ(prompt.messages.size(), 1);
    EXPECT_EQ(held.size(), heldSet.size()) << "an image held twice";
    EXPECT_EQ(requested.size(), QSet<QString>(requested.begin(), requested.end()).size()) << "an image sent twice";
    EXPECT_EQ(run.ImportedCount, held.size());
    const int images = static_cast<int>(uidOf.size());
    const int refused = static_cast<int>(requested.size() - held.size());
    EXPECT_EQ(requested.size(), images) << "every image offered once, nothing else";
    EXPECT_EQ(refused, images / 100 + (images % 100 >= 50 ? 1 : 0));

    // Attribute every log line to its file.
    QHash<QString, int> errorLines;
    const auto errs = errors();
    for (const ErrorEntry& e : errs) {
        const qsizetype at = e.description.indexOf(media.path());
        ASSERT_GE(at, 0) << "an error line names no file: " << e.description.toStdString();
        const QString rest = e.description.mid(at);
        const QString path = rest.left(media.path().size() + 10);  // "/Fnnn/nnnn"
        ++errorLines[path];
        EXPECT_EQ(e.source, "ReadCdDirectory");
    }
    QHash<QString, int> failedLines, okLines;
    QString current;
    for (const QString& line : allDebugLines(program.path() + "/Logs")) {
        if (line.startsWith("Send "))
            current = line.mid(5);
        else if (line == "FAILED")
            ++failedLines[current];
        else if (line == "OK")
            ++okLines[current];
    }

    int lost = 0;
    for (auto it = kinds.constBegin(); it != kinds.constEnd(); ++it) {
        const QString& path = it.key();
        const bool stored = it.value() == Kind::Image && heldSet.contains(uidOf[path]);
        const int e = errorLines.value(path), fl = failedLines.value(path), ok = okLines.value(path);
        if (stored) {
            EXPECT_EQ(ok, 1) << path.toStdString();
            EXPECT_EQ(e + fl, 0) << path.toStdString();
        } else if (it.value() == Kind::DicomDirLike) {
            // not an instance: passed over without a word, never sent
            EXPECT_EQ(e + fl + ok, 0) << path.toStdString();
        } else if (it.value() == Kind::Image) {
            // refused: its error line, its FAILED line
            EXPECT_EQ(e, 1) << path.toStdString();
            EXPECT_EQ(fl, 1) << path.toStdString();
            EXPECT_EQ(ok, 0) << path.toStdString();
        } else {
            EXPECT_EQ(e, 1) << path.toStdString();
            EXPECT_EQ(fl + ok, 0) << path.toStdString();
        }
        if (!stored && e + fl == 0 && it.value() != Kind::DicomDirLike)
            ++lost;
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(static_cast<int>(errs.size()), refused + (total / 100) * 3);
}
