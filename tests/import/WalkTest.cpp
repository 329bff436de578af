// The walks without a live peer: what is offered, what is logged, what the
// operator is asked, and what the bars show.
#include "import/Fakes.h"

#include "base/AppState.h"
#include "base/Error.h"
#include "base/FileNames.h"
#include "base/Logs.h"
#include "base/ProgramFolder.h"
#include "dicom/Dicom.h"
#include "dicom/testdata/TestData.h"
#include "import/ImportRun.h"
#include "support/Peers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace varnelo;
using namespace varnelo::testing;
namespace td = varnelo::testdata;

namespace {

class Walk : public ::testing::Test {
protected:
    QTemporaryDir program;
    QTemporaryDir media;
    RecordingView view;
    ScriptedPrompt prompt;

    void SetUp() override
    {
        setProgramFolderForTesting(program.path());
        appState() = AppState {};
        AppState& s = appState();
        s.Associations = s.Associations2 = 1;  // one image after the other
        s.LocalAET = "VARNELO";
        s.RemoteAET = "PACS";
        s.RemoteIP = "127.0.0.1";
        s.RemotePort = QString::number(testsupport::freeLoopbackPort());
    }
    void TearDown() override { setProgramFolderForTesting({}); }

    QString mediaPath(const QString& rel) const { return media.path() + "/" + rel; }
    QByteArray log(const char* name) const
    {
        QFile f(program.path() + "/Logs/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void mkdir(const QString& rel) { ASSERT_TRUE(QDir().mkpath(mediaPath(rel))); }
};

}  // namespace

TEST(Suffix, ComparesTheLastCharactersInUpperCase)
{
    EXPECT_TRUE(suffixMatches("a.dcm", "DCM"));
    EXPECT_TRUE(suffixMatches("b.DCM", "dcm"));
    EXPECT_FALSE(suffixMatches("c.dcm.bak", "DCM"));
    EXPECT_TRUE(suffixMatches("XDCM", "dcm"));
    EXPECT_FALSE(suffixMatches("XDCM", ".dcm"));
    EXPECT_TRUE(suffixMatches("IMAGE.DCM", ".dcm"));
    EXPECT_FALSE(suffixMatches("CM", "DCM"));
    EXPECT_TRUE(suffixMatches("anything", ""));
}

TEST_F(Walk, ReferencedFileIdsStayInsideTheMediumAndFindLowerCaseNames)
{
    mkdir("dicom/st000001");
    td::makeNonDicom(mediaPath("dicom/st000001/im000017"), td::NonDicom::Text);
    // exact name first, then without regard to case
    EXPECT_EQ(referencedFilePath(media.path(), {"DICOM", "ST000001", "IM000017"}), mediaPath("dicom/st000001/im000017"));
    EXPECT_EQ(referencedFilePath(media.path(), {"dicom", "", "st000001", "im000017"}), mediaPath("dicom/st000001/im000017"));
    // a missing file keeps the DICOMDIR's spelling, so the load error names it
    EXPECT_EQ(referencedFilePath(media.path(), {"DICOM", "GONE"}), mediaPath("DICOM/GONE"));
    for (const QStringList& bad : {QStringList {"..", "etc", "passwd"}, QStringList {"DICOM", ".", "X"},
                                   QStringList {"/etc/passwd"}, QStringList {"DICOM/../../x"}, QStringList {"A\\B"}}) {
        EXPECT_THROW(referencedFilePath(media.path(), bad), varnelo::Error) << bad.join("|").toStdString();
    }
}

TEST_F(Walk, OneWalkListsEachFolderOnceAndFollowsNoLinkOffTheMedium)
{
    mkdir("dicom/st000001");
    for (int i = 1; i <= 40; ++i)
        td::makeNonDicom(mediaPath(QString("dicom/st000001/im%1").arg(i, 6, 10, QChar('0'))), td::NonDicom::Text);
    // ISO 9660 without Rock Ridge, as some mounts show it: version and dot
    td::makeNonDicom(mediaPath("dicom/st000001/im000041.;1"), td::NonDicom::Text);
    QTemporaryDir elsewhere;
    td::makeNonDicom(elsewhere.path() + "/secret", td::NonDicom::Text);
    ASSERT_TRUE(QFile::link(elsewhere.path(), mediaPath("outsd")));
    ASSERT_TRUE(QFile::link(elsewhere.path() + "/secret", mediaPath("dicom/st000001/im000099")));
    ASSERT_TRUE(QFile::link(mediaPath("dicom/st000001"), mediaPath("dicom/alias")));  // stays on the medium

    ReferencedFiles files(media.path());
    for (int i = 1; i <= 40; ++i)
        EXPECT_EQ(files.path({"DICOM", "ST000001", QString("IM%1").arg(i, 6, 10, QChar('0'))}),
                  mediaPath(QString("dicom/st000001/im%1").arg(i, 6, 10, QChar('0'))));
    EXPECT_EQ(files.path({"DICOM", "ST000001", "IM000041"}), mediaPath("dicom/st000001/im000041.;1"));
    EXPECT_EQ(files.path({"DICOM", "ALIAS", "IM000002"}), mediaPath("dicom/alias/im000002"));
    EXPECT_EQ(files.foldersListed(), 3);  // the medium, dicom, st000001
    EXPECT_THROW(files.path({"OUTSD", "SECRET"}), varnelo::Error);
    EXPECT_THROW(files.path({"DICOM", "ST000001", "IM000099"}), varnelo::Error);
}

TEST_F(Walk, ScanOffersOnlySuffixMatchesAndLogsWhatIsNotDicom)
{
    td::makeNonDicom(mediaPath("a.dcm"), td::NonDicom::Text);
    td::makeNonDicom(mediaPath("b.DCM"), td::NonDicom::RandomBytes);
    td::makeNonDicom(mediaPath("c.dcm.bak"), td::NonDicom::Text);
    appState().FileSuffix = "DCM";
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    const QByteArray errors = log("Error.log");
    EXPECT_EQ(errors.count("\r\n"), 2) << errors.constData();
    EXPECT_TRUE(errors.contains("a.dcm"));
    EXPECT_TRUE(errors.contains("b.DCM"));
    EXPECT_FALSE(errors.contains("c.dcm.bak"));
    EXPECT_TRUE(errors.contains("\tReadCdDirectory\r\n"));
    EXPECT_EQ(view.barMaximum(RunView::Bar::Detail), 3);
    EXPECT_EQ(view.barValue(RunView::Bar::Detail), 3);
    EXPECT_TRUE(prompt.messages.isEmpty());
    EXPECT_EQ(run.ImportedCount, 0);
}

TEST_F(Walk, DeadDestinationPromptsWithStatusHostAndReason)
{
    td::ImageRecipe recipe;
    td::makeSeries(media.path(), 2, recipe);
    appState().WriteLog = 1;
    appState().ChangeID = true;  // a retry sends the image as it was changed, and is not refused for its own change
    prompt.answers = {FailurePrompt::Retry, FailurePrompt::Ignore, FailurePrompt::Abort};
    ImportRun run(view, prompt, [] { return QStringLiteral("NEW"); });
    run.ReadCdDirectory(media.path(), true);

    // retry, ignore for the first image; abort on the second
    ASSERT_EQ(prompt.messages.size(), 3);
    const QString head = QStringLiteral("Error #%1: Failed to transfer image to 127.0.0.1\r\n\r\nReason: ").arg(DicomErrc::CannotConnect);
    for (const QString& message : prompt.messages)
        EXPECT_TRUE(message.startsWith(head)) << message.toStdString();
    EXPECT_GT(prompt.messages[0].size(), head.size());
    EXPECT_TRUE(run.AbortRequested);
    EXPECT_EQ(run.ImportedCount, 0);
    // an aborted folder keeps no marker, so the next run sends it again
    EXPECT_FALSE(QFile::exists(mediaPath("migration.done")));
    const QByteArray debug = log("Debug.log");
    EXPECT_EQ(debug.count("\tSend "), 3);
    EXPECT_EQ(debug.count("\tChange Patient ID: "), 2);
    EXPECT_EQ(debug.count("\tFAILED\r\n"), 3);
    EXPECT_EQ(debug.count("\tOK\r\n"), 0);
    // every failed send is in the error log, with the file
    EXPECT_EQ(log("Error.log").count("IM000001"), 2);
}

TEST_F(Walk, AlwaysIgnoreSkipsThePromptAndStillLogsFailed)
{
    td::makeSeries(media.path(), 3, td::ImageRecipe {});
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Ignore};
    prompt.tickAlwaysIgnore = {true};
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);
    EXPECT_EQ(prompt.messages.size(), 1);
    EXPECT_EQ(log("Debug.log").count("\tFAILED\r\n"), 3);
    // nothing of the folder arrived: it is not done, and the next run sends it
    EXPECT_FALSE(QFile::exists(mediaPath("migration.done")));
    auto pacs = testsupport::Peer::storescp();
    appState().RemoteAET = pacs->aeTitle();
    appState().RemotePort = QString::number(pacs->port());
    ImportRun again(view, prompt, {});
    again.ReadCdDirectory(media.path(), false);
    EXPECT_EQ(again.ImportedCount, 3);
    EXPECT_TRUE(pacs->waitForFiles(3));
    EXPECT_TRUE(QFile::exists(mediaPath("migration.done")));
}

TEST_F(Walk, MarkersPassOverFilesButNotSubfolders)
{
    mkdir("sub");
    td::makeNonDicom(mediaPath("top.dcm"), td::NonDicom::Text);
    td::makeNonDicom(mediaPath("sub/inner.dcm"), td::NonDicom::Text);
    td::makeNonDicom(mediaPath("migration.done"), td::NonDicom::Text);
    appState().WriteLog = 1;
    appState().FileSuffix = "DCM";
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), true);
    const QByteArray errors = log("Error.log");
    EXPECT_FALSE(errors.contains("top.dcm"));
    EXPECT_TRUE(errors.contains("inner.dcm"));
    EXPECT_TRUE(QFile::exists(mediaPath("sub/migration.done")));
    QFile marker(mediaPath("migration.done"));
    ASSERT_TRUE(marker.open(QIODevice::ReadOnly));
    EXPECT_TRUE(marker.readAll().endsWith("\r\n")) << "the marker is rewritten with the date and time";

    // with the log off, markers are neither tested nor written
    QFile::remove(program.path() + "/Logs/Error.log");
    QFile::remove(mediaPath("sub/migration.done"));
    appState().WriteLog = 0;
    ImportRun again(view, prompt, {});
    again.ReadCdDirectory(media.path(), true);
    EXPECT_TRUE(log("Error.log").contains("top.dcm"));
    EXPECT_FALSE(QFile::exists(mediaPath("sub/migration.done")));
}

TEST_F(Walk, MissingFolderIsLoggedOnceAndEndsTheWalk)
{
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(mediaPath("nope"), true);
    const QByteArray errors = log("Error.log");
    EXPECT_EQ(errors.count("\r\n"), 1);
    EXPECT_TRUE(errors.contains("\tProgressForm ReadCdDirectory\r\n"));
}

TEST_F(Walk, LinkLoopsEndInsteadOfRecursingForever)
{
    mkdir("a");
    ASSERT_TRUE(QFile::link(media.path(), mediaPath("a/loop")));
    td::makeNonDicom(mediaPath("a/x.dcm"), td::NonDicom::Text);
    appState().FileSuffix = "DCM";
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), true);
    EXPECT_EQ(log("Error.log").count("x.dcm"), 1);
}

TEST_F(Walk, DicomDirSearchTakesOnlyTheStartFolder)
{
    mkdir("sub");
    td::makeNonDicom(mediaPath("sub/DICOMDIR"), td::NonDicom::Text);
    // as a window left by an earlier step: the search must put the display back
    view.animationVisible = view.animationPlaying = false;
    view.visible[RunView::Bar::Detail] = view.visible[RunView::Bar::Complete] = true;
    ImportRun run(view, prompt, {});
    run.SearchForDicomDir(media.path());
    EXPECT_TRUE(appState().DicomDirPath.isEmpty());
    EXPECT_TRUE(log("Error.log").isEmpty());
    EXPECT_TRUE(view.animationVisible);
    EXPECT_TRUE(view.animationPlaying);
    EXPECT_FALSE(view.visible[RunView::Bar::Detail]);
    EXPECT_FALSE(view.visible[RunView::Bar::Complete]);
    EXPECT_EQ(run.ImportedCount, 0);
}

TEST_F(Walk, UnreadableDicomDirIsLoggedAndDisplayRestored)
{
    td::makeNonDicom(mediaPath("dicomdir.bak"), td::NonDicom::Text);
    ImportRun run(view, prompt, {});
    run.SearchForDicomDir(media.path());
    EXPECT_EQ(appState().DicomDirPath, mediaPath("dicomdir.bak"));
    EXPECT_TRUE(view.labels.contains("DICOMDir found ... importing images"));
    EXPECT_TRUE(log("Error.log").contains("\tProgressForm ReadDicomDir\r\n"));
    EXPECT_FALSE(view.visible[RunView::Bar::Detail]);
    EXPECT_FALSE(view.visible[RunView::Bar::Complete]);
    EXPECT_TRUE(view.animationVisible);
    EXPECT_FALSE(view.busy);
}

// A Referenced File ID of Latin-1 bytes in a DICOMDIR without a character set
// reads as "IMÄGE1"; the medium's name holds the byte 0xC4 itself, as the
// DICOMDIR does, and that is the file meant.
TEST_F(Walk, ReferencedFileIdThatIsNoUtf8FindsTheFileByItsBytes)
{
    mkdir("DICOM");
    td::makeImage(mediaPath("DICOM/IMXGE1"), td::ImageRecipe {});
    td::makeDicomDir(media.path());
    QFile dir(mediaPath("DICOMDIR"));
    ASSERT_TRUE(dir.open(QIODevice::ReadWrite));
    QByteArray bytes = dir.readAll();
    ASSERT_EQ(bytes.count("DICOM\\IMXGE1"), 1);
    bytes.replace("DICOM\\IMXGE1", "DICOM\\IM\xC4GE1");
    ASSERT_TRUE(dir.seek(0));
    ASSERT_EQ(dir.write(bytes), bytes.size());
    dir.close();
    const QByteArray raw = QFile::encodeName(media.path()) + "/DICOM/IM\xC4GE1";
    ASSERT_EQ(::rename(QFile::encodeName(mediaPath("DICOM/IMXGE1")).constData(), raw.constData()), 0);

    DcmDatasetList list;
    DcmDatasetList level = list.ReadFile(mediaPath("DICOMDIR")).DirectoryRecords();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(level.Count(), 1);
        level = level.ItemAt(1).Children();
    }
    ASSERT_EQ(level.Count(), 1);
    const QStringList id = level.ItemAt(1).Attributes().ByTag(0x0004, 0x1500).Value().toStringList();
    EXPECT_EQ(id, QStringList({"DICOM", QStringLiteral("IM\u00C4GE1")}));
    const QString found = referencedFilePath(media.path(), id);
    EXPECT_EQ(encodeFileName(found), raw);
    // a name of those letters in UTF-8 is still the first choice
    td::makeNonDicom(mediaPath(QStringLiteral("DICOM/IM\u00C4GE1")), td::NonDicom::Text);
    EXPECT_EQ(referencedFilePath(media.path(), id), mediaPath(QStringLiteral("DICOM/IM\u00C4GE1")));
}
