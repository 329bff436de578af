// Reading the next file while the peer answers: the images that arrive, their
// order, and what happens to a file that changes, vanishes or cannot be read
// after the list was told it comes next. Against storescp on loopback.
#include "import/Fakes.h"

#include "base/AppState.h"
#include "base/Error.h"
#include "base/ProgramFolder.h"
#include "dicom/Dicom.h"
#include "dicomnet/Network.h"
#include "dicom/testdata/TestData.h"
#include "import/ImportRun.h"
#include "support/Peers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>
#include <set>

// Readable QString values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

using namespace varnelo;
using varnelo::testsupport::Peer;
namespace td = varnelo::testdata;

namespace {

// Images IM000001... with patient IDs P1... (or all P, as one patient for a
// DICOMDIR) and SOP Instance UIDs 1.2.826.0.1.9.<k>.
class Files {
public:
    QTemporaryDir dir;
    QStringList paths;
    QStringList uids;

    explicit Files(int count, const QString& sub = QString(), bool onePatient = false)
    {
        const QString folder = sub.isEmpty() ? dir.path() : dir.filePath(sub);
        QDir().mkpath(folder);
        for (int k = 1; k <= count; ++k) {
            td::ImageRecipe recipe;
            recipe.patientId = onePatient ? QStringLiteral("P") : QStringLiteral("P%1").arg(k);
            recipe.sopInstanceUid = QStringLiteral("1.2.826.0.1.9.%1").arg(k);
            recipe.studyUid = QStringLiteral("1.2.826.0.1.9.0.1");
            recipe.seriesUid = QStringLiteral("1.2.826.0.1.9.0.2");
            const QString path = QStringLiteral("%1/IM%2").arg(folder).arg(k, 6, 10, QLatin1Char('0'));
            td::makeImage(path, recipe);
            paths << path;
            uids << recipe.sopInstanceUid;
        }
    }
};

std::unique_ptr<Peer> storescp()
{
    Peer::Options o;
    o.tcpNoDelay = true;
    return Peer::storescp(o);
}

// Sends the list's image; the next hinted file is read while the peer answers.
std::int32_t send(DcmSender& sender, DcmImageList& list, const Peer& peer)
{
    return sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer.port(), QStringLiteral("VARNELO"), peer.aeTitle(),
                        {}, [&list] { list.ReadAheadOne(); });
}

// The SOP Instance UIDs of what the peer stored, from its file names.
std::multiset<QString> receivedUids(const Peer& peer)
{
    std::multiset<QString> uids;
    for (const QString& f : peer.receivedFiles()) {
        const QString name = QFileInfo(f).fileName();
        uids.insert(name.mid(name.indexOf(QLatin1Char('.')) + 1));
    }
    return uids;
}

std::multiset<QString> asSet(const QStringList& list)
{
    return std::multiset<QString>(list.begin(), list.end());
}

class ReadAhead : public ::testing::Test {
protected:
    std::unique_ptr<Peer> peer = storescp();
};

}  // namespace

TEST_F(ReadAhead, EachFileArrivesOnceInOrderAndTheNextIsReadDuringTheSend)
{
    Files files(5);
    {
        DcmImageList list;
        DcmSender sender;
        for (int k = 0; k < files.paths.size(); ++k) {
            if (k + 1 < files.paths.size())
                list.Prefetch(files.paths[k + 1]);
            list.LoadFile(files.paths[k]);
            ASSERT_EQ(list.Count(), 1);
            EXPECT_EQ(list.ItemAt(1).PatientID(), QStringLiteral("P%1").arg(k + 1));
            ASSERT_EQ(send(sender, list, *peer), 0);
            // the hinted file was read while the peer answered
            EXPECT_EQ(list.ReadAheadReady(), k + 1 < files.paths.size() ? 1 : 0) << "after image " << k + 1;
            list.Clear();
        }
        EXPECT_EQ(list.ReadAheadQueued(), 0);
    }
    ASSERT_TRUE(peer->waitForLog(QStringLiteral("Received Store Request"), 5));
    ASSERT_TRUE(peer->waitForFiles(5));
    EXPECT_EQ(peer->countInLog(QStringLiteral("Received Store Request")), 5);
    EXPECT_EQ(receivedUids(*peer), asSet(files.uids));
    EXPECT_EQ(peer->associationsReceived(), 1);
}

TEST_F(ReadAhead, AFileThatChangedOrVanishedAfterItWasReadIsReadAgain)
{
    Files files(3);
    DcmImageList list;
    DcmSender sender;
    list.Prefetch(files.paths[1]);
    list.Prefetch(files.paths[2]);
    list.LoadFile(files.paths[0]);
    ASSERT_EQ(send(sender, list, *peer), 0);
    list.Clear();
    ASSERT_EQ(list.ReadAheadReady(), 1);

    // replaced by another image after it was read: the new content counts
    td::ImageRecipe other;
    other.patientId = QStringLiteral("REPLACED");
    ASSERT_TRUE(QFile::remove(files.paths[1]));
    td::makeImage(files.paths[1], other);
    list.LoadFile(files.paths[1]);
    EXPECT_EQ(list.ItemAt(1).PatientID(), QStringLiteral("REPLACED"));
    ASSERT_EQ(send(sender, list, *peer), 0);  // reads the third ahead
    list.Clear();
    ASSERT_EQ(list.ReadAheadReady(), 1);

    // gone after it was read: the load fails as it would have without the hint
    ASSERT_TRUE(QFile::remove(files.paths[2]));
    try {
        list.LoadFile(files.paths[2]);
        FAIL() << "a vanished file was loaded";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), DicomErrc::FileUnreadable);
        EXPECT_TRUE(e.description().contains(QStringLiteral("no such file"))) << e.description().toStdString();
    }
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(ReadAhead, AFileThatCannotBeReadReportsTheSameErrorAsWithoutTheHint)
{
    Files files(1);
    const QString junk = files.dir.filePath(QStringLiteral("JUNK"));
    td::makeNonDicom(junk, td::NonDicom::RandomBytes);
    const QString missing = files.dir.filePath(QStringLiteral("MISSING"));

    auto errorOf = [](DcmImageList& list, const QString& path) {
        try {
            list.LoadFile(path);
        } catch (const Error& e) {
            return QStringLiteral("%1 %2").arg(e.number()).arg(e.description());
        }
        return QStringLiteral("loaded");
    };
    DcmImageList plain;
    const QString junkError = errorOf(plain, junk);
    const QString missingError = errorOf(plain, missing);
    ASSERT_NE(junkError, QStringLiteral("loaded"));

    DcmImageList list;

    DcmSender sender;
    list.Prefetch(junk);
    list.Prefetch(missing);
    list.LoadFile(files.paths[0]);
    ASSERT_EQ(send(sender, list, *peer), 0);
    list.Clear();
    EXPECT_EQ(list.ReadAheadQueued(), 2);
    EXPECT_EQ(list.ReadAheadReady(), 0);
    EXPECT_EQ(errorOf(list, junk), junkError);
    EXPECT_EQ(errorOf(list, missing), missingError);
}

TEST_F(ReadAhead, ReleaseDropsWhatWasReadClearKeepsItAndAtMostTwoAreQueued)
{
    Files files(5);
    DcmImageList list;
    DcmSender sender;
    list.Prefetch(files.paths[1]);
    list.LoadFile(files.paths[0]);
    ASSERT_EQ(send(sender, list, *peer), 0);
    list.Clear();
    EXPECT_EQ(list.ReadAheadReady(), 1) << "Clear ends the current image, not the next one";

    sender.Release();
    list.CancelReadAhead();
    EXPECT_EQ(list.ReadAheadQueued(), 0);
    EXPECT_EQ(list.ReadAheadReady(), 0);
    list.LoadFile(files.paths[1]);
    EXPECT_EQ(list.ItemAt(1).PatientID(), QStringLiteral("P2"));
    list.Clear();

    for (const QString& p : files.paths)
        list.Prefetch(p);
    EXPECT_EQ(list.ReadAheadQueued(), 2);
    // a file whose hint was pushed out still loads, and hints passed by go
    list.LoadFile(files.paths[0]);
    EXPECT_EQ(list.ItemAt(1).PatientID(), QStringLiteral("P1"));
    list.Clear();
    list.LoadFile(files.paths[4]);
    EXPECT_EQ(list.ItemAt(1).PatientID(), QStringLiteral("P5"));
    EXPECT_EQ(list.ReadAheadQueued(), 0);
}

// ---- the walks with the read-ahead -----------------------------------------

namespace {

// Runs a hook when the detail bar reaches a value: the moment between the
// end of one image and the load of the next.
class HookedView : public varnelo::testing::RecordingView {
public:
    std::map<std::int32_t, std::function<void()>> atDetail;
    void setBarValue(Bar b, std::int32_t v) override
    {
        RecordingView::setBarValue(b, v);
        if (b == Bar::Detail && atDetail.count(v))
            atDetail[v]();
    }
};

class ReadAheadWalk : public ::testing::Test {
protected:
    QTemporaryDir program;
    HookedView view;
    varnelo::testing::ScriptedPrompt prompt;
    std::unique_ptr<Peer> peer = storescp();

    void SetUp() override
    {
        setProgramFolderForTesting(program.path());
        appState() = AppState {};
        AppState& s = appState();
        s.LocalAET = QStringLiteral("VARNELO");
        s.RemoteAET = peer->aeTitle();
        s.RemoteIP = QStringLiteral("127.0.0.1");
        s.RemotePort = QString::number(peer->port());
        s.WriteLog = 1;
        s.AskHeld = false;  // the read-ahead of the sending pass is what is watched
        s.Associations = s.Associations2 = 1;
        s.AlwaysIgnore = true;
    }
    void TearDown() override { setProgramFolderForTesting({}); }

    QStringList logLines(const char* name) const
    {
        QFile f(program.path() + QStringLiteral("/Logs/") + QLatin1String(name));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromLocal8Bit(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        return lines;
    }
    // The debug lines without their time stamps.
    QStringList debugTexts() const
    {
        QStringList out;
        for (const QString& line : logLines("Debug.log"))
            for (const QString& key : {QStringLiteral("Send "), QStringLiteral("OK"), QStringLiteral("FAILED")}) {
                const qsizetype at = line.indexOf(key);
                if (at >= 0) {
                    out << line.mid(at);
                    break;
                }
            }
        return out;
    }
};

}  // namespace

TEST_F(ReadAheadWalk, ScanSendsInFolderOrderOnceEachAndSkipsFilesThatBrokeOrVanished)
{
    Files files(6);
    const QString folder = files.dir.path();
    // the third is junk; the fifth vanishes after the fourth's send read it ahead
    ASSERT_TRUE(QFile::remove(files.paths[2]));
    td::makeNonDicom(files.paths[2], td::NonDicom::Text);
    view.atDetail[4] = [&] { ASSERT_TRUE(QFile::remove(files.paths[4])); };

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(folder, false);

    EXPECT_EQ(run.ImportedCount, 4);
    const QStringList expected {QStringLiteral("Send ") + files.paths[0], QStringLiteral("OK"),
                                QStringLiteral("Send ") + files.paths[1], QStringLiteral("OK"),
                                QStringLiteral("Send ") + files.paths[3], QStringLiteral("OK"),
                                QStringLiteral("Send ") + files.paths[5], QStringLiteral("OK")};
    EXPECT_EQ(debugTexts(), expected);
    const QStringList errors = logLines("Error.log");
    ASSERT_EQ(errors.size(), 2) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors[0].contains(files.paths[2]));
    EXPECT_TRUE(errors[1].contains(files.paths[4]) && errors[1].contains(QStringLiteral("no such file")));

    ASSERT_TRUE(peer->waitForFiles(4));
    EXPECT_EQ(peer->countInLog(QStringLiteral("Received Store Request")), 4);
    EXPECT_EQ(receivedUids(*peer), asSet({files.uids[0], files.uids[1], files.uids[3], files.uids[5]}));
}

TEST_F(ReadAheadWalk, DicomDirSendsInRecordOrderOnceEachAndFailsTheVanishedFile)
{
    Files files(5, QStringLiteral("DICOM"), true);  // one series: the walk hints within a series
    td::makeDicomDir(files.dir.path());
    view.atDetail[3] = [&] { ASSERT_TRUE(QFile::remove(files.paths[3])); };

    ImportRun run(view, prompt, {});
    run.SearchForDicomDir(files.dir.path());

    EXPECT_EQ(run.ImportedCount, 4);
    QStringList expected;
    for (int k = 0; k < 5; ++k)
        expected << QStringLiteral("Send ") + files.paths[k] << (k == 3 ? QStringLiteral("FAILED") : QStringLiteral("OK"));
    EXPECT_EQ(debugTexts(), expected);
    ASSERT_TRUE(peer->waitForFiles(4));
    EXPECT_EQ(peer->countInLog(QStringLiteral("Received Store Request")), 4);
    EXPECT_EQ(receivedUids(*peer), asSet({files.uids[0], files.uids[1], files.uids[2], files.uids[4]}));
}
