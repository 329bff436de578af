// Whole walks against real storescp peers: what arrives, how often the
// peer is asked, what is counted and logged.
#include "import/Fakes.h"

#include "base/AppState.h"
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "dicom/Dicom.h"
#include "dicom/testdata/TestData.h"
#include "import/ArchiveMedium.h"
#include "import/ImportRun.h"
#include "support/Peers.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSysInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace varnelo;
using namespace varnelo::testing;
using namespace varnelo::testsupport;
namespace td = varnelo::testdata;

namespace {

QString attribute(const QString& file, const char* tag)
{
    const auto content = td::contentOf(file);
    const auto it = content.find(tag);
    return it == content.end() ? QString() : QString::fromStdString(it->second).trimmed();
}

QStringList debugLines(const QString& programFolder)
{
    QFile f(programFolder + "/Logs/Debug.log");
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        QByteArray l = line;
        if (l.endsWith('\r'))
            l.chop(1);
        const QList<QByteArray> fields = l.split('\t');
        if (fields.size() >= 2)
            out << QString::fromUtf8(fields.mid(1).join('\t'));
    }
    return out;
}

class Transfer : public ::testing::Test {
protected:
    QTemporaryDir program;
    QTemporaryDir media;
    RecordingView view;
    ScriptedPrompt prompt;
    std::unique_ptr<Peer> pacs;
    QString newId;

    void SetUp() override
    {
        setProgramFolderForTesting(program.path());
        pacs = Peer::storescp();
        ASSERT_TRUE(pacs);
        appState() = AppState {};
        AppState& s = appState();
        s.LocalAET = "VARNELO";
        s.RemoteAET = pacs->aeTitle();
        s.RemoteIP = "127.0.0.1";
        s.RemotePort = QString::number(pacs->port());
        s.AskHeld = false;  // the tests that want it ask for it
        s.Associations = s.Associations2 = 1;  // the tests of several ask for them
    }
    void TearDown() override { setProgramFolderForTesting({}); }

    std::unique_ptr<ImportRun> makeRun()
    {
        return std::make_unique<ImportRun>(view, prompt, [this] { return newId; });
    }
    QString mediaPath(const QString& rel) const { return media.path() + "/" + rel; }
};

}  // namespace

TEST_F(Transfer, ScanSendsEveryImageOverOneAssociationPerFolderAndChangesOnlyThePatientId)
{
    td::ImageRecipe recipe;
    const QStringList a = td::makeSeries(mediaPath("A"), 5, recipe);
    const QStringList b = td::makeSeries(mediaPath("A/B"), 3, recipe);
    td::makeNonDicom(mediaPath("A/readme.txt"), td::NonDicom::Text);
    appState().WriteLog = 1;
    appState().ChangeID = true;
    newId = "NEW 42 ";

    auto run = makeRun();
    run->ReadCdDirectory(mediaPath("A"), true);

    EXPECT_EQ(run->ImportedCount, 8);
    ASSERT_TRUE(pacs->waitForFiles(8));
    EXPECT_EQ(pacs->receivedFiles().size(), 8);
    // one association for each folder, and one to ask for the confirmation
    EXPECT_EQ(pacs->associationsReceived(), 2 + 1);
    EXPECT_TRUE(prompt.messages.isEmpty());
    EXPECT_EQ(run->confirmations(), QStringList {"STORESCP could not be asked to confirm."});
    EXPECT_TRUE(view.labels.contains("Reading the medium..."));
    ASSERT_FALSE(view.statuses.isEmpty());
    EXPECT_EQ(view.statuses.first(), "Image 1 of 8 - Doe^John") << "the survey counted them";

    // the stored data set equals the source but for the Patient ID, typed as is
    for (const QString& stored : pacs->receivedFiles()) {
        const QString sop = attribute(stored, "(0008,0018)");
        const QString source = [&] {
            for (const QString& f : a + b)
                if (attribute(f, "(0008,0018)") == sop)
                    return f;
            return QString();
        }();
        ASSERT_FALSE(source.isEmpty());
        auto expected = td::contentOf(source);
        auto got = td::contentOf(stored);
        EXPECT_EQ(QString::fromStdString(got["(0010,0020)"]).trimmed(), "NEW 42");
        // the old ID stays in the object: as another ID, and as the value it replaced
        EXPECT_EQ(got["(0010,1002)[0](0010,0020)"], "PID0001");
        EXPECT_EQ(got["(0010,1002)[0](0010,0022)"], "TEXT");
        EXPECT_EQ(got["(0400,0561)[0](0400,0550)[0](0010,0020)"], "PID0001");
        EXPECT_EQ(got["(0400,0561)[0](0400,0565)"], "COERCE");
        EXPECT_EQ(got.count("(0400,0561)[0](0400,0550)[0](0010,0010)"), 0u) << "only what changed";
        expected.erase("(0010,0020)");
        for (auto it = got.begin(); it != got.end();)
            it = it->first == "(0010,0020)" || it->first.rfind("(0010,1002)", 0) == 0 || it->first.rfind("(0400,0561)", 0) == 0
                ? got.erase(it)
                : std::next(it);
        EXPECT_EQ(got, expected) << stored.toStdString();
    }

    // the one patient found before the first send, then in scan order:
    // change, send, OK for each image; at the end why nothing was confirmed
    const QStringList lines = debugLines(program.path());
    ASSERT_EQ(lines.size(), 1 + 24 + 1) << lines.join("\n").toStdString();
    EXPECT_TRUE(lines.last().startsWith("STORESCP could not be asked to confirm: ")) << lines.last().toStdString();
    EXPECT_EQ(lines[0], "Patient on this medium: Doe^John, ID PID0001, born 19600515, sex M (2 studies, 8 images)");
    EXPECT_TRUE(lines[1].startsWith("Change Patient ID: PID0001 -> NEW 42 "));
    EXPECT_EQ(lines[2], "Send " + mediaPath("A/IM000001"));
    EXPECT_EQ(lines[3], "OK");
    EXPECT_TRUE(QFile::exists(mediaPath("A/migration.done")));
    EXPECT_TRUE(QFile::exists(mediaPath("A/B/migration.done")));

    // a second run with the transfer log on passes over marked folders
    auto again = makeRun();
    again->ReadCdDirectory(mediaPath("A"), true);
    EXPECT_EQ(again->ImportedCount, 0);
}

// A new Patient ID must arrive as valid DICOM: in a character set that holds
// it (the image moves to Unicode when its own cannot, its other text re-
// encoded with it), and never as two values or beyond 64 characters.
TEST_F(Transfer, NewPatientIdArrivesInACharacterSetThatHoldsIt)
{
    td::ImageRecipe recipe;
    recipe.patientName = QStringLiteral("M\u00FCller^J\u00FCrgen");  // stored as ISO_IR 100
    appState().ChangeID = true;
    int sent = 0;
    // each send its own image: storescp names what it stores by SOP Instance UID
    auto sendWith = [&](const QString& id) {
        const QString folder = mediaPath(QString::number(++sent));
        const QString uid = attribute(td::makeSeries(folder, 1, recipe).front(), "(0008,0018)");
        newId = id;
        makeRun()->ReadCdDirectory(folder, false);
        return uid;
    };
    auto stored = [&](int n, const QString& uid) {
        EXPECT_TRUE(pacs->waitForFiles(n));
        for (const QString& f : pacs->receivedFiles())
            if (attribute(f, "(0008,0018)") == uid)
                return td::contentOf(f);
        ADD_FAILURE() << "not stored: " << uid.toStdString();
        return std::map<std::string, std::string>();
    };

    auto got = stored(1, sendWith(QStringLiteral("M\u00FCller-1")));  // Latin-1 holds it: nothing else changes
    EXPECT_EQ(got["(0008,0005)"], "ISO_IR 100");
    EXPECT_EQ(got["(0010,0020)"], "M\xFC"
                                  "ller-1");
    EXPECT_EQ(got["(0010,0010)"], "M\xFC"
                                  "ller^J\xFC"
                                  "rgen");

    got = stored(2, sendWith(QStringLiteral("\u0141\u00F3d\u017A-\u03A9")));  // Łódź-Ω: beyond Latin-1
    EXPECT_EQ(got["(0008,0005)"], "ISO_IR 192");
    EXPECT_EQ(got["(0010,0020)"], "\xC5\x81\xC3\xB3"
                                  "d\xC5\xBA-\xCE\xA9");
    EXPECT_EQ(got["(0010,0010)"], "M\xC3\xBC"
                                  "ller^J\xC3\xBC"
                                  "rgen")
        << "re-encoded with it";

    for (const QString& bad : {QStringLiteral("NEW\\ID"), QString(65, QLatin1Char('7'))})
        sendWith(bad);
    EXPECT_EQ(pacs->receivedFiles().size(), 2) << "an ID that cannot be one is not sent";
    QFile errors(program.path() + "/Logs/Error.log");
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QByteArray log = errors.readAll();
    EXPECT_EQ(log.count("The new identity does not fit: Patient ID: holds a backslash"), 1) << log.toStdString();
    EXPECT_EQ(log.count("The new identity does not fit: Patient ID: is longer than 64 characters"), 1);

    // a worklist pick is checked the same way, value by value
    DcmPatient pick {"WL-1", "HOSP", recipe.patientName, recipe.birthDate, recipe.sex, {}};  // the same patient
    auto sendPicked = [&](auto change) {
        DcmPatient p = pick;
        change(p);
        const QString folder = mediaPath(QString::number(++sent));
        td::makeSeries(folder, 1, recipe);
        newId = p.PatientID;
        auto run = makeRun();
        run->pickedPatient = [p] { return std::optional<DcmPatient>(p); };
        run->ReadCdDirectory(folder, false);
        return run->ImportedCount;
    };
    EXPECT_EQ(sendPicked([](DcmPatient& p) { p.PatientName = "Doe\\" + QString(88, 'x'); }), 0);
    EXPECT_EQ(sendPicked([](DcmPatient& p) { p.IssuerOfPatientID = "A\\B"; }), 0);
    EXPECT_EQ(sendPicked([](DcmPatient& p) { p.BirthDate = "1991X423"; }), 0);
    EXPECT_EQ(sendPicked([](DcmPatient& p) { p.Sex = "MALEFEMALE"; }), 0);
    EXPECT_EQ(sendPicked([](DcmPatient& p) { p.PatientName = QStringLiteral("BIDI\u202ELIVE^X"); }), 0);
    EXPECT_EQ(sendPicked([](DcmPatient& p) { p.PatientName = QStringLiteral("Doe^\u2028Jane"); }), 0);
    EXPECT_EQ(sendPicked([](DcmPatient&) {}), 1) << "the same pick, fitting, goes";
    ASSERT_TRUE(pacs->waitForFiles(3));
    EXPECT_EQ(pacs->receivedFiles().size(), 3);
}

TEST_F(Transfer, MissingUidsAreFilledPerFolderWhenValidating)
{
    td::ImageRecipe recipe;
    recipe.withStudyUid = false;
    recipe.withSeriesUid = false;
    td::makeSeries(mediaPath("one"), 2, recipe);
    td::makeSeries(mediaPath("two"), 2, recipe);
    td::ImageRecipe hasSeries = recipe;
    hasSeries.withSeriesUid = true;
    hasSeries.seriesUid = "1.2.826.0.1.3680043.2.1143.77";
    hasSeries.sopInstanceUid = "1.2.826.0.1.3680043.2.1143.78";
    td::makeImage(mediaPath("one/KEEP"), hasSeries);
    appState().Validate = 1;
    appState().ImgDirEqStudy = 1;

    auto run = makeRun();
    run->ReadCdDirectory(media.path(), true);
    ASSERT_EQ(run->ImportedCount, 5);
    ASSERT_TRUE(pacs->waitForFiles(5));

    QMap<QString, QString> studyOfSop;
    QSet<QString> series;
    QSet<QString> studies;
    for (const QString& f : pacs->receivedFiles()) {
        const QString study = attribute(f, "(0020,000d)").isEmpty() ? attribute(f, "(0020,000D)") : attribute(f, "(0020,000d)");
        const QString ser = attribute(f, "(0020,000E)");
        EXPECT_TRUE(study.startsWith("2.25.")) << study.toStdString();
        studies << study;
        if (attribute(f, "(0008,0018)") == hasSeries.sopInstanceUid)
            EXPECT_EQ(ser, hasSeries.seriesUid) << "a present UID is never changed";
        else
            series << ser;
    }
    EXPECT_EQ(studies.size(), 2) << "one study per folder";
    EXPECT_EQ(series.size(), 4) << "each image without a series gets its own";
}

TEST_F(Transfer, SecondDestinationFailureDoesNotCostTheCount)
{
    td::makeSeries(media.path(), 3, td::ImageRecipe {});
    appState().UseDestination2 = true;
    appState().RemoteAET2 = "DEAD";
    appState().RemoteIP2 = "127.0.0.1";
    appState().RemotePort2 = QString::number(freeLoopbackPort());
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Ignore};
    prompt.tickAlwaysIgnore = {true};

    auto run = makeRun();
    run->ReadCdDirectory(media.path(), false);
    EXPECT_EQ(run->ImportedCount, 3);
    EXPECT_TRUE(pacs->waitForFiles(3));
    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].startsWith("Error #40004: Failed to transfer image to 127.0.0.1\r\n\r\nReason: "));
    const QStringList lines = debugLines(program.path());
    EXPECT_EQ(lines.count("OK"), 3);
    EXPECT_EQ(lines.count("FAILED"), 3);
}

TEST_F(Transfer, AbortDuringTheSecondImageStopsAfterIt)
{
    td::makeSeries(mediaPath("top"), 4, td::ImageRecipe {});
    td::makeSeries(mediaPath("top/sub"), 2, td::ImageRecipe {});
    appState().WriteLog = 1;
    auto run = makeRun();
    view.onYield = [&] {
        if (run->ImportedCount == 1)  // the first yield after the first image: during the second
            run->AbortRequested = true;
    };
    run->ReadCdDirectory(mediaPath("top"), true);
    EXPECT_EQ(run->ImportedCount, 2);
    ASSERT_TRUE(pacs->waitForFiles(2));
    EXPECT_EQ(pacs->receivedFiles().size(), 2);
    EXPECT_FALSE(QFile::exists(mediaPath("top/migration.done")));
    EXPECT_FALSE(QFile::exists(mediaPath("top/sub/migration.done")));
}

TEST_F(Transfer, DicomDirWalkSendsEveryRecordAndKeepsBothBars)
{
    td::ImageRecipe recipe;
    recipe.studyUid = "1.2.826.0.1.3680043.2.1143.1";
    for (int s = 1; s <= 3; ++s) {
        recipe.seriesUid = QString("1.2.826.0.1.3680043.2.1143.1.%1").arg(s);
        td::makeSeries(mediaPath(QString("DICOM/SE%1").arg(s)), s, recipe);
    }
    td::makeDicomDir(media.path());
    appState().WriteLog = 1;
    auto run = makeRun();
    run->SearchForDicomDir(media.path());
    EXPECT_EQ(run->ImportedCount, 6);
    ASSERT_TRUE(pacs->waitForFiles(6));
    EXPECT_EQ(pacs->associationsReceived(), 1 + 1) << "one for the images, one for the confirmation";
    EXPECT_EQ(view.completeValues, (std::vector<std::int32_t> {0, 1, 2, 3}));
    EXPECT_EQ(view.barMaximum(RunView::Bar::Complete), 3);
    EXPECT_FALSE(view.busy);
    EXPECT_TRUE(view.animationVisible);
    // where it stands: the first image at once, of all the DICOMDIR lists, and whose
    ASSERT_FALSE(view.statuses.isEmpty());
    EXPECT_EQ(view.statuses.first(), "Image 1 of 6 - Doe^John");
    // DICOMDIR order of the transfer log: send before the load
    const QStringList lines = debugLines(program.path());
    ASSERT_EQ(lines.size(), 1 + 12 + 1);
    EXPECT_TRUE(lines[0].startsWith("Patient on this medium: Doe^John, ID PID0001")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("Send " + media.path() + "/DICOM/SE"));
    EXPECT_EQ(lines[2], "OK");
    EXPECT_FALSE(QFile::exists(mediaPath("migration.done")));

    // Records that list a series' images in no order of the files: they go
    // in the order the files lie on the disc, each series still whole.
    td::makeSeries(mediaPath("DICOM/SE3"), 8, recipe);
    td::makeDicomDir(media.path(), td::DirEncoding::ExplicitLittle, true);
    QFile::remove(program.path() + "/Logs/Debug.log");
    run->ImportedCount = 0;
    run->SearchForDicomDir(media.path());
    EXPECT_EQ(run->ImportedCount, 1 + 2 + 8);
    QStringList sent;
    for (const QString& line : debugLines(program.path()))
        if (line.startsWith("Send "))
            sent << line.section(' ', 1, 1);
    ASSERT_EQ(sent.size(), 11);
    for (const QString& series : {QString("/SE1/"), QString("/SE2/"), QString("/SE3/")}) {
        const QStringList of = sent.filter(series);
        QStringList sorted = of;
        sorted.sort();
        EXPECT_EQ(of, sorted) << series.toStdString();
        EXPECT_EQ(sent.indexOf(of.last()) - sent.indexOf(of.first()), of.size() - 1) << series.toStdString();
    }
}

TEST_F(Transfer, LowerCaseMediumIsStillFoundAndEscapingRecordsSendNothing)
{
    td::makeSeries(mediaPath("DICOM/ST1"), 3, td::ImageRecipe {});
    const QStringList outside = td::makeSeries(mediaPath("OUTSD/ST000001"), 1, td::ImageRecipe {});
    td::makeDicomDir(media.path());
    // as Linux shows a plain ISO 9660 disc: every name in lower case
    ASSERT_TRUE(QDir(media.path()).rename("DICOM", "dicom"));
    ASSERT_TRUE(QDir(mediaPath("dicom")).rename("ST1", "st1"));
    for (const char* n : {"IM000001", "IM000002", "IM000003"})
        ASSERT_TRUE(QFile::rename(mediaPath("dicom/st1/") + n, mediaPath("dicom/st1/") + QString(n).toLower()));
    // one folder is a link that leads off the medium, to a real image there
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().rename(mediaPath("OUTSD"), elsewhere.path() + "/other"));
    ASSERT_TRUE(QFile::link(elsewhere.path() + "/other", mediaPath("outsd")));
    // one record is made to point outside the medium by its name
    QFile dir(mediaPath("DICOMDIR"));
    ASSERT_TRUE(dir.open(QIODevice::ReadWrite));
    QByteArray bytes = dir.readAll();
    const qsizetype at = bytes.indexOf("DICOM\\ST1\\IM000002");
    ASSERT_GE(at, 0);
    bytes.replace(at, 18, "..\\..\\..\\IM0000002");  // same length
    dir.seek(0);
    dir.write(bytes);
    dir.close();

    auto run = makeRun();
    run->SearchForDicomDir(media.path());
    EXPECT_EQ(run->ImportedCount, 2);
    EXPECT_TRUE(pacs->waitForFiles(2));
    QFile errors(program.path() + "/Logs/Error.log");
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QByteArray log = errors.readAll();
    EXPECT_EQ(log.count("\r\n"), 2) << log.constData();
    EXPECT_EQ(log.count("\tProgressForm ReadDicomDir\r\n"), 2);
    EXPECT_TRUE(log.contains("OUTSD\\ST000001\\IM000001")) << log.constData();
    EXPECT_TRUE(prompt.messages.isEmpty());
    const QString outsideUid = attribute(QString(outside[0]).replace(mediaPath("OUTSD"), elsewhere.path() + "/other"), "(0008,0018)");
    for (const QString& f : pacs->receivedFiles())
        EXPECT_NE(attribute(f, "(0008,0018)"), outsideUid);
}

TEST_F(Transfer, DicomDirRecordOfAMissingFileIsPromptedWithTheLoadReason)
{
    td::makeSeries(mediaPath("DICOM/ST1"), 2, td::ImageRecipe {});
    td::makeDicomDir(media.path());
    ASSERT_TRUE(QFile::remove(mediaPath("DICOM/ST1/IM000001")));
    prompt.answers = {FailurePrompt::Ignore};
    auto run = makeRun();
    run->SearchForDicomDir(media.path());
    EXPECT_EQ(run->ImportedCount, 1);
    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].contains("IM000001")) << prompt.messages[0].toStdString();
    QFile errors(program.path() + "/Logs/Error.log");
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    EXPECT_EQ(errors.readAll().count("IM000001"), 1) << "one failure, one line";
}

// A JPEG 2000 image that cannot be decoded for a PACS that takes only
// uncompressed data fails like any send: prompt and error-log line with the
// decoder's reason, "FAILED", not counted. The next image still goes.
TEST_F(Transfer, DamagedJpeg2000FailsItsSendWithTheReason)
{
    td::ImageRecipe recipe;
    recipe.syntax = td::Syntax::Jpeg2000;
    const QStringList files = td::makeSeries(media.path(), 2, recipe);
    QFile damaged(files[0]);
    ASSERT_TRUE(damaged.open(QIODevice::ReadWrite));
    QByteArray bytes = damaged.readAll();
    const qsizetype soc = bytes.indexOf(QByteArray("\xFF\x4F\xFF\x51", 4));
    ASSERT_GT(soc, 0);
    bytes[soc + 4] = 0;  // the SIZ marker's length: too short to hold it
    bytes[soc + 5] = 5;
    damaged.seek(0);
    damaged.write(bytes);
    damaged.close();
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Ignore};

    auto run = makeRun();
    run->ReadCdDirectory(media.path(), false);
    EXPECT_EQ(run->ImportedCount, 1);
    ASSERT_TRUE(pacs->waitForFiles(1));
    EXPECT_EQ(pacs->receivedFiles().size(), 1);
    EXPECT_EQ(attribute(pacs->receivedFiles().front(), "(0008,0018)"),
              QString::fromStdString(td::contentOf(files[1], true).at("(0008,0018)")).trimmed());
    ASSERT_EQ(prompt.messages.size(), 1);
    const QString& message = prompt.messages[0];
    EXPECT_TRUE(message.startsWith("Error #40006: Failed to transfer image to 127.0.0.1\r\n\r\nReason: ")) << message.toStdString();
    EXPECT_TRUE(message.contains("JPEG 2000 frame 1 of 1 cannot be decoded")) << message.toStdString();
    EXPECT_TRUE(message.contains("1.2.840.10008.1.2.4.90")) << message.toStdString();
    QFile errors(program.path() + "/Logs/Error.log");
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QByteArray log = errors.readAll();
    EXPECT_EQ(log.count("\r\n"), 1) << log.constData();
    EXPECT_TRUE(log.contains("cannot be decoded")) << log.constData();
    EXPECT_TRUE(log.contains(files[0].toUtf8())) << log.constData();
    const QStringList lines = debugLines(program.path());
    EXPECT_EQ(lines.count("FAILED"), 1);
    EXPECT_EQ(lines.count("OK"), 1);
}

// A DICOMDIR over two patients, the identity picked in the worklist: the
// operator is asked, the chosen patient's images arrive with the local
// identity and keep their own, the other patient's stay on the medium, and an
// image whose header names someone the DICOMDIR does not is refused.
TEST_F(Transfer, DicomDirOfTwoPatientsSendsTheChosenOneReconciledToThePick)
{
    td::ImageRecipe john;  // Doe^John, PID0001, born 19600515, M
    td::ImageRecipe jane;
    jane.patientName = "Roe^Jane";
    jane.patientId = "PID0002";
    jane.birthDate = "19700101";
    td::makeSeries(mediaPath("DICOM/ST1"), 3, john);
    td::makeSeries(mediaPath("DICOM/ST2"), 2, jane);
    td::makeDicomDir(media.path());
    td::ImageRecipe stranger = john;  // the file changed after the DICOMDIR was written
    stranger.patientName = "Poe^Edgar";
    stranger.patientId = "PID0003";
    td::makeImage(mediaPath("DICOM/ST1/IM000003"), stranger);

    appState().WriteLog = 1;
    appState().ChangeID = true;
    newId = "LOC-1";
    DcmPatient local;
    local.PatientID = "LOC-1";
    local.IssuerOfPatientID = "OURHOSP";
    local.PatientName = QString::fromUtf8("Dœ^Jöhn");  // beyond Latin-1
    local.BirthDate = "19600516";
    local.Sex = "M";
    ScriptedPatients patients;
    patients.ticks = QList<bool> {true, false};
    auto run = makeRun();
    run->pickedPatient = [&] { return std::optional<DcmPatient>(local); };
    run->patientsPrompt = &patients;
    run->SearchForDicomDir(media.path());

    ASSERT_EQ(patients.shown.size(), 1);
    const QList<MediumPatient>& found = patients.shown[0].list();
    ASSERT_EQ(found.size(), 2);
    EXPECT_EQ(found[0].patient.PatientName, "Doe^John");
    // what the patient records leave out, from each patient's first image
    EXPECT_EQ(found[1].patient.BirthDate, "19700101");
    EXPECT_EQ(found[1].patient.Sex, "M");
    EXPECT_EQ(found[0].images, 3);
    EXPECT_EQ(found[1].patient.PatientID, "PID0002");
    EXPECT_EQ(found[1].studyCount, 1);
    EXPECT_TRUE(patients.identities[0].picked);

    EXPECT_EQ(run->ImportedCount, 2);
    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].contains("IM000003") && prompt.messages[0].contains("Poe^Edgar"))
        << prompt.messages[0].toStdString();
    ASSERT_TRUE(pacs->waitForFiles(2));
    ASSERT_EQ(pacs->receivedFiles().size(), 2);
    for (const QString& stored : pacs->receivedFiles()) {
        auto got = td::contentOf(stored);
        EXPECT_EQ(got["(0008,0005)"], "ISO_IR 192");
        EXPECT_EQ(got["(0010,0020)"], "LOC-1");
        EXPECT_EQ(got["(0010,0021)"], "OURHOSP");
        EXPECT_EQ(QString::fromStdString(got["(0010,0010)"]), QString::fromUtf8("Dœ^Jöhn"));
        EXPECT_EQ(got["(0010,0030)"], "19600516");
        EXPECT_EQ(got["(0008,0050)"], "A12345") << "the accession number stays";
        EXPECT_EQ(got["(0010,1002)[0](0010,0020)"], "PID0001");
        EXPECT_EQ(got["(0010,1002)[0](0010,0022)"], "TEXT");
        const std::string modified = "(0400,0561)[0](0400,0550)[0]";
        EXPECT_EQ(got[modified + "(0010,0010)"], "Doe^John");
        EXPECT_EQ(got[modified + "(0010,0020)"], "PID0001");
        EXPECT_EQ(got[modified + "(0010,0030)"], "19600515");
        EXPECT_EQ(got.count(modified + "(0010,0021)"), 1u) << "added, so kept without a value";
        EXPECT_EQ(got.count(modified + "(0010,0040)"), 0u) << "the sex did not change";
        EXPECT_EQ(got["(0400,0561)[0](0400,0563)"], "VARNELO");
        EXPECT_EQ(got["(0400,0561)[0](0400,0565)"], "COERCE");
        EXPECT_EQ(got["(0400,0561)[0](0400,0562)"].size(), 14u);
    }
    const QStringList lines = debugLines(program.path());
    EXPECT_EQ(lines.filter(QRegularExpression("^Not sent: .*/DICOM/ST2/IM00000[12]: the patient was not chosen")).size(), 2)
        << lines.join("\n").toStdString();
    EXPECT_EQ(lines.filter("Roe^Jane, ID PID0002, born 19700101, sex M (1 studies, 2 images): not chosen").size(), 1)
        << lines.join("\n").toStdString();
}

// A scan finds the patients in a first pass; "Cancel" sends nothing at all,
// a choice sends only the chosen patient's images, and one patient under a
// typed ID is not asked about.
TEST_F(Transfer, ScanAsksBeforeTheFirstSendOnlyWhenTheMediumHoldsSeveralPatients)
{
    td::ImageRecipe jane;
    jane.patientName = "Roe^Jane";
    jane.patientId = "PID0002";
    td::makeSeries(mediaPath("two/A"), 2, td::ImageRecipe {});
    td::makeSeries(mediaPath("two/B"), 3, jane);
    td::makeSeries(mediaPath("one/A"), 2, td::ImageRecipe {});
    td::ImageRecipe sameButSpaced;  // the same patient, written another way
    sameButSpaced.patientName = "DOE ^ JOHN^^";
    td::makeSeries(mediaPath("one/B"), 1, sameButSpaced);
    appState().ChangeID = true;
    newId = "NEW";
    ScriptedPatients patients;
    patients.cancel = true;
    auto run = makeRun();
    run->patientsPrompt = &patients;
    run->ReadCdDirectory(mediaPath("two"), true);
    EXPECT_TRUE(run->cancelled());
    EXPECT_EQ(run->ImportedCount, 0);
    EXPECT_EQ(pacs->associationsReceived(), 0);
    ASSERT_EQ(patients.shown.size(), 1);
    EXPECT_EQ(patients.shown[0].size(), 2);
    EXPECT_FALSE(patients.identities[0].picked);

    patients.cancel = false;
    patients.ticks = QList<bool> {false, true};
    auto chosen = makeRun();
    chosen->patientsPrompt = &patients;
    chosen->ReadCdDirectory(mediaPath("two"), true);
    EXPECT_EQ(chosen->ImportedCount, 3);
    ASSERT_TRUE(pacs->waitForFiles(3));
    for (const QString& stored : pacs->receivedFiles())
        EXPECT_EQ(attribute(stored, "(0010,1002)[0](0010,0020)"), "PID0002");

    auto single = makeRun();
    single->patientsPrompt = &patients;
    single->ReadCdDirectory(mediaPath("one"), true);
    EXPECT_EQ(single->ImportedCount, 3);
    EXPECT_EQ(patients.shown.size(), 2) << "one patient under a typed ID needs no choice";
    EXPECT_TRUE(prompt.messages.isEmpty());

    // a vendor's file with other IDs of its own keeps them, the old ID after them
    const QString ctSmall = "/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm";
    if (!QFile::exists(ctSmall))
        GTEST_SKIP() << "python3-pydicom's test files are not installed";
    ASSERT_TRUE(QDir().mkpath(mediaPath("vendor")) && QFile::copy(ctSmall, mediaPath("vendor/CT_SMALL")));
    auto vendor = makeRun();
    vendor->ReadCdDirectory(mediaPath("vendor"), false);
    ASSERT_EQ(vendor->ImportedCount, 1);
    const QString sop = attribute(ctSmall, "(0008,0018)");
    ASSERT_TRUE(pacs->waitForFiles(7));
    QString stored;
    for (const QString& f : pacs->receivedFiles())
        if (attribute(f, "(0008,0018)") == sop)
            stored = f;
    ASSERT_FALSE(stored.isEmpty());
    EXPECT_EQ(attribute(stored, "(0010,1002)[0](0010,0020)"), "ABCD1234");
    EXPECT_EQ(attribute(stored, "(0010,1002)[1](0010,0020)"), "1234ABCD");
    EXPECT_EQ(attribute(stored, "(0010,1002)[2](0010,0020)"), "1CT1");
    EXPECT_EQ(attribute(stored, "(0010,0020)"), "NEW");
}

namespace {

// The receipt lines of Logs/Imports.log, split into fields, without the
// header row that begins the file (checked here: it names every column).
enum Column { Time, User, Workstation, Source, Mode, Patients, Identity, End, Found, Sent, Failed, Ignored, NotChosen,
              NoIdentity, Destination1, Destination2, Columns };
QList<QStringList> receipts(const QString& programFolder)
{
    QFile f(programFolder + "/Logs/Imports.log");
    QList<QStringList> out;
    if (f.open(QIODevice::ReadOnly))
        for (QByteArray line : f.readAll().split('\n'))
            if (!line.trimmed().isEmpty())
                out << QString::fromUtf8(line.chopped(line.endsWith('\r') ? 1 : 0)).split('\t');
    if (out.isEmpty())
        return out;
    EXPECT_EQ(out.takeFirst(), (QStringList {"time", "user", "workstation", "source", "mode", "patients", "identity", "end",
                                             "found", "sent", "failed", "ignored", "not chosen", "no identity",
                                             "destination 1", "destination 2"}));
    for (const QStringList& line : out)
        EXPECT_EQ(line.size(), Columns) << line.join(" | ").toStdString();
    return out;
}

}  // namespace

// Who is who: a pick is compared with the images, not only with a DICOMDIR's
// records (which carry no birth date or sex); two issuers make two patients;
// an empty value is unknown, so it neither splits a patient nor fails a send.
TEST_F(Transfer, PatientsAreToldApartByIssuerAndTheImagesNotByWhatTheRecordsLeaveOut)
{
    td::ImageRecipe mother;  // Doe^John, PID0001, born 19600515, M
    mother.patientName = "Doe^Anna";
    mother.sex = "F";
    mother.birthDate = "19900101";
    td::makeSeries(mediaPath("dir/DICOM/ST1"), 2, mother);
    td::makeDicomDir(mediaPath("dir"));
    appState().ChangeID = true;
    newId = "LOC-7";
    DcmPatient baby = {"LOC-7", "", "Doe^Anna", "20240101", "M", {}};  // the same name, born later
    ScriptedPatients patients;
    patients.cancel = true;
    auto run = makeRun();
    run->pickedPatient = [&] { return std::optional<DcmPatient>(baby); };
    run->patientsPrompt = &patients;
    run->SearchForDicomDir(mediaPath("dir"));
    ASSERT_EQ(patients.shown.size(), 1) << "a pick that differs from the images in birth date and sex is asked about";
    EXPECT_EQ(patients.shown[0].list().front().patient.BirthDate, "19900101");
    EXPECT_EQ(pacs->associationsReceived(), 0);

    // ID 123 of two hospitals: two patients, each sent only when chosen
    td::ImageRecipe a, b;
    a.patientId = b.patientId = "123";
    a.issuerOfPatientId = "HOSP_A";
    b.issuerOfPatientId = "HOSP_B";
    td::makeSeries(mediaPath("issuers/A"), 2, a);
    td::makeSeries(mediaPath("issuers/B"), 1, b);
    patients.cancel = false;
    patients.ticks = QList<bool> {false, true};
    appState().IssuerOfPatientID = "OUR_HOSP";  // a typed ID is ours, not the other hospital's
    auto issuers = makeRun();
    issuers->patientsPrompt = &patients;
    issuers->ReadCdDirectory(mediaPath("issuers"), true);
    ASSERT_EQ(patients.shown.size(), 2);
    ASSERT_EQ(patients.shown[1].size(), 2);
    EXPECT_EQ(patients.shown[1].list()[1].patient.IssuerOfPatientID, "HOSP_B");
    EXPECT_EQ(issuers->ImportedCount, 1);
    ASSERT_TRUE(pacs->waitForFiles(1));
    const QString stored = pacs->receivedFiles().front();
    EXPECT_EQ(attribute(stored, "(0010,0020)"), "LOC-7");
    EXPECT_EQ(attribute(stored, "(0010,0021)"), "OUR_HOSP");
    EXPECT_EQ(attribute(stored, "(0010,1002)[0](0010,0021)"), "HOSP_B");
    EXPECT_EQ(attribute(stored, "(0400,0561)[0](0400,0550)[0](0010,0021)"), "HOSP_B");

    // images with and without a birth date and sex: one patient, all sent
    td::ImageRecipe unknown;  // Doe^John, PID0001
    unknown.birthDate.clear();
    unknown.sex.clear();
    td::makeSeries(mediaPath("gaps/A"), 2, td::ImageRecipe {});
    td::makeSeries(mediaPath("gaps/B"), 2, unknown);
    auto gaps = makeRun();
    gaps->patientsPrompt = &patients;
    gaps->ReadCdDirectory(mediaPath("gaps"), true);
    EXPECT_EQ(patients.shown.size(), 2) << "one patient under a typed ID needs no choice";
    ASSERT_EQ(gaps->mediumPatients().size(), 1);
    EXPECT_EQ(gaps->mediumPatients().list().front().images, 4);
    EXPECT_EQ(gaps->ImportedCount, 4);
    EXPECT_TRUE(prompt.messages.isEmpty()) << prompt.messages.join("\n").toStdString();
}

// A folder is marked done only over what went: not when an image of it was
// held back. Two files of one SOP Instance UID with other content: the second
// is refused and named; a byte-identical copy is passed over.
TEST_F(Transfer, MarkersAndConfirmationsFollowTheInstancesThatWent)
{
    appState().WriteLog = 1;
    appState().ChangeID = true;
    newId = "LOC-8";
    td::ImageRecipe jane;
    jane.patientName = "Roe^Jane";
    jane.patientId = "PID0002";
    td::makeSeries(mediaPath("cd/A"), 2, td::ImageRecipe {});
    td::makeSeries(mediaPath("cd/B"), 1, td::ImageRecipe {});
    td::makeImage(mediaPath("cd/B/IM000009"), jane);  // held back: not chosen
    ScriptedPatients patients;
    patients.ticks = QList<bool> {true, false};
    auto run = makeRun();
    run->patientsPrompt = &patients;
    run->ReadCdDirectory(mediaPath("cd"), true);
    EXPECT_EQ(run->ImportedCount, 3);
    EXPECT_TRUE(QFile::exists(mediaPath("cd/A/migration.done")));
    EXPECT_FALSE(QFile::exists(mediaPath("cd/B/migration.done"))) << "Roe^Jane's image is still to be sent";
    patients.ticks = QList<bool> {false, true};
    auto later = makeRun();
    later->patientsPrompt = &patients;
    later->ReadCdDirectory(mediaPath("cd"), true);
    EXPECT_EQ(later->ImportedCount, 1) << "the next import of her finds her image";

    appState().ChangeID = false;
    td::ImageRecipe one;
    one.sopInstanceUid = "1.2.826.0.1.3680043.10.1.77";
    ASSERT_TRUE(QDir().mkpath(mediaPath("dup/A")) && QDir().mkpath(mediaPath("dup/B")));
    td::makeImage(mediaPath("dup/A/IM000001"), one);
    ASSERT_TRUE(QFile::copy(mediaPath("dup/A/IM000001"), mediaPath("dup/A/IM000002")));
    one.patientName = "Other^Content";
    td::makeImage(mediaPath("dup/B/IM000001"), one);
    prompt.messages.clear();
    auto dup = makeRun();
    dup->ReadCdDirectory(mediaPath("dup"), true);
    EXPECT_EQ(dup->ImportedCount, 1);
    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].contains("dup/B/IM000001 has the SOP Instance UID of") &&
                prompt.messages[0].contains("dup/A/IM000001"))
        << prompt.messages[0].toStdString();
    EXPECT_FALSE(QFile::exists(mediaPath("dup/B/migration.done")));
    EXPECT_TRUE(QFile::exists(mediaPath("dup/A/migration.done")));
    const QList<QStringList> lines = receipts(program.path());
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last().mid(Found, 6), (QStringList {"2", "1", "1", "0", "0", "0"}))
        << lines.last().join(" | ").toStdString();
}

// Each way a PACS answers for what it stored: a report on the request's
// association with one instance failed, a report on an association of its
// own, a query where it offers no commitment, silence until the wait ends or
// "Abort" ends it. The summary says it, the error log names what was not
// confirmed, the markers follow the proof, and each run leaves a receipt.
TEST_F(Transfer, EachDestinationConfirmsWhatItStoredOrSaysWhy)
{
    const QStringList a = td::makeSeries(mediaPath("A"), 2, td::ImageRecipe {});
    const QStringList b = td::makeSeries(mediaPath("A/B"), 2, td::ImageRecipe {});
    appState().WriteLog = 1;
    appState().LocalAET = "VARNELO";
    auto runWith = [&](CommitScp& scp, int seconds = 10, int batch = 200) {
        appState().RemoteAET = scp.aeTitle();
        appState().RemotePort = QString::number(scp.port());
        QFile::remove(mediaPath("A/migration.done"));
        QFile::remove(mediaPath("A/B/migration.done"));
        auto run = makeRun();
        run->ConfirmSeconds = seconds;
        run->ConfirmBatch = batch;
        run->ReadCdDirectory(mediaPath("A"), true);
        EXPECT_EQ(run->ImportedCount, 4);
        return run;
    };

    CommitScp::Options same;
    const QString failing = attribute(b[1], "(0008,0018)");
    same.failUids = {failing};
    CommitScp sameScp(same);
    auto run = runWith(sameScp);
    EXPECT_EQ(run->confirmations(), QStringList {"COMMITSCP confirmed 3 of 4 images; the error log names the others."});
    EXPECT_EQ(sameScp.lastActionUids().size(), 4);
    EXPECT_EQ(sameScp.eventReportsAcknowledged(), 1) << "answered with both affected UIDs";
    // in requests of three: the first one's report comes before the second is answered
    QFile::remove(program.path() + "/Logs/Error.log");
    run = runWith(sameScp, 10, 3);
    EXPECT_EQ(run->confirmations(), QStringList {"COMMITSCP confirmed 3 of 4 images; the error log names the others."});
    EXPECT_EQ(sameScp.actionsReceived(), 1 + 2);
    EXPECT_EQ(sameScp.lastActionUids().size(), 1);
    QFile errors(program.path() + "/Logs/Error.log");
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QString errorLog = QString::fromUtf8(errors.readAll());
    EXPECT_EQ(errorLog.count("did not confirm"), 1);
    EXPECT_TRUE(errorLog.contains(b[1]) && errorLog.contains(failing) && errorLog.contains("0x0112"))
        << errorLog.toStdString();
    EXPECT_TRUE(QFile::exists(mediaPath("A/migration.done")));
    EXPECT_FALSE(QFile::exists(mediaPath("A/B/migration.done"))) << "an image of it is not confirmed";

    // DCMTK's own DcmSCP, reporting on the request's association
    {
        DcmtkCommitScp dcmtk;
        appState().RemoteAET = dcmtk.aeTitle();
        appState().RemotePort = QString::number(dcmtk.port());
        QFile::remove(mediaPath("A/migration.done"));
        auto viaDcmtk = makeRun();
        viaDcmtk->ConfirmSeconds = 10;
        viaDcmtk->ReadCdDirectory(mediaPath("A"), true);
        EXPECT_EQ(viaDcmtk->ImportedCount, 4);
        EXPECT_EQ(dcmtk.stored(), 4);
        EXPECT_EQ(viaDcmtk->confirmations(), QStringList {"DCMTKSCP confirmed all 4 images."});
        EXPECT_EQ(dcmtk.reportsAnsweredWithSuccess(), 1);
    }

    CommitScp::Options own;
    own.mode = CommitScp::Mode::NewAssociation;
    own.reportPort = freeLoopbackPort();
    appState().CommitPort = own.reportPort;
    CommitScp ownScp(own);
    run = runWith(ownScp);
    EXPECT_EQ(run->confirmations(), QStringList {"COMMITSCP confirmed all 4 images."});
    EXPECT_EQ(ownScp.eventReportsAcknowledged(), 1);
    EXPECT_TRUE(QFile::exists(mediaPath("A/B/migration.done")));

    CommitScp::Options queried;
    queried.mode = CommitScp::Mode::NoCommitment;
    CommitScp queryScp(queried);
    run = runWith(queryScp);
    EXPECT_EQ(run->confirmations(), QStringList {"COMMITSCP confirmed all 4 images."});
    EXPECT_EQ(queryScp.findsReceived(), 2) << "one query for each of the two studies";

    CommitScp::Options silent;
    silent.mode = CommitScp::Mode::Silent;
    CommitScp silentScp(silent);
    QElapsedTimer waited;
    waited.start();
    run = runWith(silentScp, 2);
    EXPECT_EQ(run->confirmations(), QStringList {"COMMITSCP did not answer within 2 s."});
    EXPECT_GE(waited.elapsed(), 2000);
    EXPECT_FALSE(QFile::exists(mediaPath("A/migration.done"))) << "no proof, no marker";

    // "Abort" ends the wait at once
    auto aborted = makeRun();
    int yields = 0;
    view.onYield = [&] {
        if (silentScp.actionsReceived() == 2 && ++yields == 5)
            aborted->AbortRequested = true;
    };
    waited.restart();
    aborted->ReadCdDirectory(mediaPath("A"), true);
    view.onYield = {};
    EXPECT_EQ(aborted->confirmations(), QStringList {"COMMITSCP did not answer before the wait was aborted."});
    EXPECT_LT(waited.elapsed(), 10000);
    EXPECT_TRUE(aborted->AbortRequested);

    // one receipt a run: who, where, how it ended, the counts, and each destination's result
    const QList<QStringList> lines = receipts(program.path());
    ASSERT_EQ(lines.size(), 7);
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$").match(lines[0][Time]).hasMatch())
        << lines[0][Time].toStdString();
    EXPECT_FALSE(lines[0][User].isEmpty());
    EXPECT_EQ(lines[0][Workstation], QSysInfo::machineHostName());
    EXPECT_EQ(lines[0].mid(Source, 2), (QStringList {mediaPath("A"), "scan"}));
    EXPECT_EQ(lines[0][Patients], "ID PID0001");
    EXPECT_EQ(lines[0][Identity], "unchanged");
    EXPECT_EQ(lines[0][End], "complete");
    EXPECT_EQ(lines[0].mid(Found, 6), (QStringList {"4", "4", "0", "0", "0", "0"}));
    EXPECT_EQ(lines[0][Destination1], "COMMITSCP confirmed 3 of 4 images; the error log names the others.");
    EXPECT_EQ(lines[0][Destination2], "");
    EXPECT_EQ(lines[2][Destination1], "DCMTKSCP confirmed all 4 images.");
    EXPECT_EQ(lines[5][Destination1], "COMMITSCP did not answer within 2 s.");
}

// Orthanc as the archive, the program one of its modalities: its report
// comes over an association of its own to CommitPort; an instance its Lua
// filter threw away after answering the C-STORE with success is reported
// missing; where the modality may not ask for commitment, Orthanc drops the
// association at the request and its query answers instead.
TEST_F(Transfer, OrthancConfirmsWhatItKeptByReportOrByQuery)
{
    const QStringList a = td::makeSeries(mediaPath("A"), 2, td::ImageRecipe {});
    const QStringList b = td::makeSeries(mediaPath("A/B"), 2, td::ImageRecipe {});
    const QString dropped = attribute(b[0], "(0008,0018)");
    td::makeSeries(mediaPath("kept"), 3, td::ImageRecipe {});
    appState().WriteLog = 1;
    appState().LocalAET = "VARNELO";
    appState().CommitPort = freeLoopbackPort();
    Peer::Options o;
    o.aeTitle = "ORTHANC";
    o.modalityAet = "VARNELO";
    o.modalityPort = static_cast<quint16>(appState().CommitPort);
    o.luaScript = QStringLiteral(R"(function ReceivedInstanceFilter(dicom, origin, info)
  return dicom.SOPInstanceUID ~= '%1'
end
)")
                      .arg(dropped);
    std::unique_ptr<Peer> orthanc;
    auto runTo = [&](const QString& folder, int images) {
        appState().RemoteAET = orthanc->aeTitle();
        appState().RemotePort = QString::number(orthanc->port());
        auto run = makeRun();
        run->ConfirmSeconds = 20;
        run->ReadCdDirectory(mediaPath(folder), true);
        EXPECT_EQ(run->ImportedCount, images);
        return run;
    };
    auto notConfirmed = [&] {
        QFile errors(program.path() + "/Logs/Error.log");
        if (!errors.open(QIODevice::ReadOnly))
            return QStringList();
        QStringList lines = QString::fromUtf8(errors.readAll()).split("\r\n", Qt::SkipEmptyParts);
        errors.remove();
        return lines;
    };

    orthanc = Peer::orthanc(o);
    auto run = runTo("kept", 3);
    EXPECT_EQ(run->confirmations(), QStringList {"ORTHANC confirmed all 3 images."}) << orthanc->log().toStdString();
    EXPECT_TRUE(debugLines(program.path()).contains("ORTHANC confirmed 3 of 3 images"));
    EXPECT_TRUE(QFile::exists(mediaPath("kept/migration.done")));
    EXPECT_TRUE(notConfirmed().isEmpty());

    run = runTo("A", 4);
    EXPECT_EQ(run->confirmations(), QStringList {"ORTHANC confirmed 3 of 4 images; the error log names the others."})
        << orthanc->log().toStdString();
    EXPECT_EQ(orthanc->receivedFiles().size(), 3 + 3) << "the filter kept one back";
    QStringList errors = notConfirmed();
    ASSERT_EQ(errors.size(), 1) << errors.join("\n").toStdString();
    EXPECT_TRUE(errors[0].contains(b[0]) && errors[0].contains(dropped) && errors[0].contains("0x0112"))
        << errors[0].toStdString();
    EXPECT_TRUE(QFile::exists(mediaPath("A/migration.done")));
    EXPECT_FALSE(QFile::exists(mediaPath("A/B/migration.done")));

    // not allowed to ask: the query finds what is there
    o.modalityAllowsCommitment = false;
    orthanc = Peer::orthanc(o);
    QFile::remove(mediaPath("kept/migration.done"));
    QFile::remove(mediaPath("A/migration.done"));
    run = runTo("kept", 3);
    EXPECT_EQ(run->confirmations(), QStringList {"ORTHANC confirmed all 3 images."}) << orthanc->log().toStdString();
    EXPECT_TRUE(debugLines(program.path()).contains("ORTHANC confirmed 3 of 3 images (by a query: it offers no storage commitment)"));
    EXPECT_TRUE(QFile::exists(mediaPath("kept/migration.done")));
    run = runTo("A", 4);
    EXPECT_EQ(run->confirmations(), QStringList {"ORTHANC confirmed 3 of 4 images; the error log names the others."})
        << orthanc->log().toStdString();
    errors = notConfirmed();
    ASSERT_EQ(errors.size(), 1) << errors.join("\n").toStdString();
    EXPECT_TRUE(errors[0].contains(b[0]) && errors[0].contains(dropped) && errors[0].contains("not found by a query"))
        << errors[0].toStdString();
    EXPECT_TRUE(QFile::exists(mediaPath("A/migration.done")));
    EXPECT_FALSE(QFile::exists(mediaPath("A/B/migration.done")));
}

namespace {

// Runs one of the tools people make archives with.
::testing::AssertionResult tool(const QString& program, const QStringList& args, const QString& folder = {})
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (!folder.isEmpty())
        p.setWorkingDirectory(folder);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return ::testing::AssertionFailure() << program.toStdString() << " failed: " << p.readAll().toStdString();
    return ::testing::AssertionSuccess();
}

QStringList extractionFolders()
{
    return QDir(QDir::tempPath()).entryList({ArchiveMedium::folderPrefix() + "*"}, QDir::Dirs);
}

}  // namespace

TEST_F(Transfer, ZipAndIsoOfACdArriveAtOrthancAsTheFolderWouldAndLeaveNothingBehind)
{
    // a CD as dcmmkdir makes it, and the archives made of it by the usual tools
    const QString cd = mediaPath("cd");
    td::makeSeries(cd + "/DICOM/ST1/SE1", 3, {});
    td::makeSeries(cd + "/DICOM/ST1/SE2", 2, {});
    const int n = 5;
    ASSERT_TRUE(tool(dcmtkTool("dcmmkdir"), {"-q", "+r", "+id", cd, "+D", cd + "/DICOMDIR"}));
    QTemporaryDir out;
    const QString rockRidge = out.path() + "/joliet-rr.iso", plain = out.path() + "/PLAIN.ISO",
                  portal = out.path() + "/portal.zip", stored = out.path() + "/stored.zip",
                  deflated = out.path() + "/Deflated.ZIP";
    ASSERT_TRUE(tool("xorriso", {"-as", "mkisofs", "-quiet", "-J", "-R", "-o", rockRidge, cd}));
    ASSERT_TRUE(tool("xorriso", {"-as", "mkisofs", "-quiet", "-o", plain, cd}));
    ASSERT_TRUE(tool("zip", {"-q", "-r", "-0", stored, "."}, cd));
    ASSERT_TRUE(tool("zip", {"-q", "-r", deflated, "."}, cd));
    // a portal's ZIP: the CD one folder down, its names with a blank
    ASSERT_TRUE(tool("/usr/bin/python3", {"-c", R"(import os, sys, zipfile
with zipfile.ZipFile(sys.argv[2], 'w', zipfile.ZIP_DEFLATED) as z:
    for d, _, files in os.walk(sys.argv[1]):
        for f in sorted(files):
            p = os.path.join(d, f)
            z.write(p, 'Patient CD/' + os.path.relpath(p, sys.argv[1])))",
                                              cd, portal}));

    Peer::Options o;
    o.aeTitle = "ORTHANC";
    auto orthanc = Peer::orthanc(o);
    ASSERT_TRUE(orthanc);
    AppState& s = appState();
    s.RemoteAET = orthanc->aeTitle();
    s.RemotePort = QString::number(orthanc->port());
    s.Location = 2;
    s.WriteLog = 1;
    s.ImportWithSubDirs = true;
    QStringList boxes;
    const auto previous = MessageBox::setHandler([&](const MessageBox::Request& r) {
        boxes << r.text;
        return MessageBox::Answer::Ok;
    });
    auto logOf = [&](const char* name) {
        QFile f(program.path() + "/Logs/" + name);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    for (const QString& archive : {rockRidge, plain, portal, stored, deflated}) {
        for (const int by : {1, 2}) {
            SCOPED_TRACE((archive + (by == 1 ? " DICOMDIR" : " scan")).toStdString());
            QDir(program.path() + "/Logs").removeRecursively();
            boxes.clear();
            s.ImportFolder = archive;
            s.SearchBy = by;
            auto run = makeRun();
            run->Run();
            EXPECT_EQ(run->ImportedCount, n);
            ASSERT_EQ(boxes.size(), 1);
            EXPECT_TRUE(boxes[0].startsWith(ImportRun::summaryText(n))) << boxes[0].toStdString();
            // the logs name the archive's members, never the folder they were extracted to
            const QStringList sends = debugLines(program.path()).filter(QRegularExpression("^Send "));
            EXPECT_EQ(sends.size(), n);
            for (const QString& line : sends)
                EXPECT_TRUE(line.startsWith("Send " + archive + "/") && line.contains("/DICOM/ST1/SE", Qt::CaseInsensitive))
                    << line.toStdString();
            EXPECT_FALSE(logOf("Debug.log").contains("varnelo-media-"));
            EXPECT_FALSE(logOf("Error.log").contains("varnelo-media-")) << logOf("Error.log").toStdString();
            EXPECT_TRUE(logOf("Imports.log").contains("\t" + archive)) << logOf("Imports.log").toStdString();
            EXPECT_TRUE(extractionFolders().isEmpty());
        }
    }
    // without sub directories the portal's ZIP holds no image at its top
    s.ImportFolder = portal;
    s.SearchBy = 2;
    s.ImportWithSubDirs = false;
    {
        auto run = makeRun();
        run->Run();
        EXPECT_EQ(run->ImportedCount, 0);
    }
    // Abort leaves no extracted file behind either
    s.ImportWithSubDirs = true;
    {
        auto run = makeRun();
        view.onYield = [&] {
            if (run->ImportedCount >= 1)
                run->AbortRequested = true;
        };
        run->Run();
        view.onYield = {};
        EXPECT_GE(run->ImportedCount, 1);
        EXPECT_LT(run->ImportedCount, n);
        EXPECT_TRUE(extractionFolders().isEmpty());
    }
    MessageBox::setHandler(previous);
    // read-only like a CD: no marker anywhere
    EXPECT_FALSE(QDirIterator(cd, {"migration.done"}, QDir::Files, QDirIterator::Subdirectories).hasNext());
    QSet<QString> arrived;
    for (const QString& f : orthanc->receivedFiles())
        arrived.insert(attribute(f, "(0008,0018)"));
    EXPECT_EQ(arrived.size(), n);
}

// Real files in ISO 2022 Japanese (PS3.5's example name, from pydicom's
// character-set files): each takes its own name and another non-ASCII one,
// and arrives at Orthanc in Unicode with its old values readable.
TEST_F(Transfer, Iso2022JapaneseImagesTakeANewIdentityAtOrthanc)
{
    const QString charsets = "/usr/lib/python3/dist-packages/pydicom/data/charset_files/";
    if (!QFile::exists(charsets + "chrH31.dcm") || !QFile::exists(charsets + "chrH32.dcm"))
        GTEST_SKIP() << "python3-pydicom's character-set files are not installed";
    ASSERT_TRUE(QDir().mkpath(mediaPath("jp1")) && QDir().mkpath(mediaPath("jp2")));
    ASSERT_TRUE(QFile::copy(charsets + "chrH31.dcm", mediaPath("jp1/IM1")));
    ASSERT_TRUE(QFile::copy(charsets + "chrH32.dcm", mediaPath("jp2/IM1")));
    Peer::Options o;
    o.aeTitle = "ORTHANC";
    std::unique_ptr<Peer> orthanc = Peer::orthanc(o);
    ASSERT_TRUE(orthanc);
    appState().RemoteAET = orthanc->aeTitle();
    appState().RemotePort = QString::number(orthanc->port());
    appState().ChangeID = true;
    const QString yamada = QString::fromUtf8("Yamada^Tarou=山田^太郎=やまだ^たろう");
    auto send = [&](const QString& folder, const DcmPatient& pick) {
        newId = pick.PatientID;
        auto run = makeRun();
        run->pickedPatient = [pick] { return std::optional<DcmPatient>(pick); };
        ScriptedPatients patients;
        run->patientsPrompt = &patients;
        run->ReadCdDirectory(mediaPath(folder), false);
        return run->ImportedCount;
    };
    EXPECT_EQ(send("jp1", DcmPatient {"LOC-JP1", "", yamada, "", "", {}}), 1) << prompt.messages.join("\n").toStdString();
    // a pick with its issuer and the issuer's qualifiers, as a worklist gives them
    EXPECT_EQ(send("jp2", DcmPatient {"LOC-JP2", "OUR_HOSP", QString::fromUtf8("山田^花子"), "19800101", "F",
                                      {"2.16.840.1.113883.3.999", "ISO", "MR"}}),
              1)
        << prompt.messages.join("\n").toStdString();
    ASSERT_TRUE(orthanc->waitForFiles(2));
    int checked = 0;
    for (const QString& stored : orthanc->receivedFiles()) {
        auto got = td::contentOf(stored);
        EXPECT_EQ(got["(0008,0005)"], "ISO_IR 192");
        const std::string before = got["(0400,0561)[0](0400,0550)[0](0010,0010)"];
        if (got["(0010,0020)"] == "LOC-JP1") {
            EXPECT_EQ(QString::fromStdString(got["(0010,0010)"]), yamada);
            ++checked;
        } else if (got["(0010,0020)"] == "LOC-JP2") {
            EXPECT_EQ(QString::fromStdString(got["(0010,0010)"]), QString::fromUtf8("山田^花子"));
            // the old name, half-width katakana and kanji, readable in Unicode
            EXPECT_EQ(QString::fromStdString(before), QString::fromUtf8("ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう"));
            EXPECT_EQ(got["(0010,1002)[0](0010,0020)"], "H32EXAMPLE");
            EXPECT_EQ(got["(0010,0021)"], "OUR_HOSP");
            EXPECT_EQ(got["(0010,0024)[0](0040,0032)"], "2.16.840.1.113883.3.999");
            EXPECT_EQ(got["(0010,0024)[0](0040,0033)"], "ISO");
            EXPECT_EQ(got["(0010,0024)[0](0040,0035)"], "MR");
            ++checked;
        }
    }
    EXPECT_EQ(checked, 2);
}

// The summary says what happened, below the count: an abort, images that
// failed (whatever the answer), patients not chosen, and where the error log
// is; the information icon only when nothing is missing.
TEST_F(Transfer, SummarySaysWhatWasNotSentAndWarnsWhenAnythingIs)
{
    QList<MessageBox::Request> boxes;
    const auto previous = MessageBox::setHandler([&](const MessageBox::Request& r) {
        boxes << r;
        return MessageBox::Answer::Ok;
    });
    const auto restore = qScopeGuard([&] { MessageBox::setHandler(previous); });
    td::ImageRecipe jane;
    jane.patientName = "Roe^Jane";
    jane.patientId = "PID0002";
    td::makeSeries(mediaPath("two/A"), 2, td::ImageRecipe {});
    td::makeSeries(mediaPath("two/B"), 3, jane);
    AppState& s = appState();
    s.Location = 2;
    s.SearchBy = 2;
    s.ImportFolder = mediaPath("two");
    s.ImportWithSubDirs = true;
    const QString errorLog = QDir::toNativeSeparators(program.path() + "/Logs/Error.log");
    auto summaryOf = [&](ImportRun& run) {
        boxes.clear();
        run.Run();
        EXPECT_EQ(boxes.size(), 1);
        return boxes.isEmpty() ? MessageBox::Request {} : boxes.last();
    };

    auto clean = makeRun();
    MessageBox::Request box = summaryOf(*clean);
    EXPECT_EQ(box.text, "5 images successfully imported!\nSTORESCP could not be asked to confirm.");
    EXPECT_EQ(box.icon, MessageBox::Icon::Information);
    ASSERT_FALSE(view.statuses.isEmpty());
    EXPECT_EQ(view.statuses.first(), "Image 1, folder 1 - Doe^John") << "no total without a survey";
    EXPECT_TRUE(view.finished) << "nothing offers Abort behind the summary";

    s.ChangeID = true;
    newId = "NEW";
    ScriptedPatients patients;
    patients.ticks = QList<bool> {true, false};
    auto one = makeRun();
    one->patientsPrompt = &patients;
    box = summaryOf(*one);
    EXPECT_EQ(box.text, "2 images successfully imported!\n3 images were not sent: their patient was not chosen.\n"
                        "STORESCP could not be asked to confirm.");
    EXPECT_EQ(box.icon, MessageBox::Icon::Warning);
    s.ChangeID = false;

    // a PACS that is gone, "Always ignore" ticked at the first failure
    s.RemotePort = QString::number(freeLoopbackPort());
    prompt.tickAlwaysIgnore = {true};
    auto dead = makeRun();
    box = summaryOf(*dead);
    EXPECT_EQ(box.text, "0 images successfully imported!\n5 images could not be sent; the error log names them.\n" + errorLog);
    EXPECT_EQ(box.icon, MessageBox::Icon::Warning);
    EXPECT_EQ(prompt.messages.size(), 1);

    s.AlwaysIgnore = false;  // as the progress window leaves it
    prompt.answers = {FailurePrompt::Abort};
    auto aborted = makeRun();
    box = summaryOf(*aborted);
    EXPECT_EQ(box.text, "0 images successfully imported!\nThe import was aborted.\n"
                        "1 images could not be sent; the error log names them.\n" + errorLog);
    EXPECT_EQ(box.icon, MessageBox::Icon::Warning);

    // an aborted DICOMDIR run found what the DICOMDIR lists, not what it reached
    td::makeDicomDir(mediaPath("two"));
    s.SearchBy = 1;
    prompt.answers = {FailurePrompt::Abort};
    auto dir = makeRun();
    box = summaryOf(*dir);
    EXPECT_TRUE(box.text.contains("\nThe import was aborted.\n")) << box.text.toStdString();

    const QList<QStringList> lines = receipts(program.path());
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[4][Mode], "DICOMDIR");
    EXPECT_EQ(lines[4][End], "aborted");
    EXPECT_EQ(lines[4].mid(Found, 3), (QStringList {"5", "0", "1"}));
    EXPECT_EQ(lines[1][End], "complete");
    EXPECT_EQ(lines[1].mid(Found, 6), (QStringList {"5", "2", "0", "0", "3", "0"}));
    EXPECT_EQ(lines[2].mid(Found, 6), (QStringList {"5", "0", "5", "5", "0", "0"})) << "failed and ignored apart";
    EXPECT_EQ(lines[3][End], "aborted");
    EXPECT_EQ(lines[3].mid(Found, 6), (QStringList {"1", "0", "1", "0", "0", "0"}));
}

// A scan over many files that are no images names the first ones in the
// error log and counts the rest in one line, and still sends the images.
TEST_F(Transfer, FilesThatAreNoImagesAreNamedUpToABoundThenCounted)
{
    td::makeSeries(mediaPath("mixed"), 1, td::ImageRecipe {});
    for (int i = 0; i < 250; ++i)
        td::makeNonDicom(mediaPath(QString("mixed/NOTE%1.TXT").arg(i, 4, 10, QChar('0'))), td::NonDicom::Text);
    auto run = makeRun();
    run->UnreadableNamed = 200;
    run->ReadCdDirectory(mediaPath("mixed"), false);
    EXPECT_EQ(run->ImportedCount, 1);
    QFile errors(program.path() + "/Logs/Error.log");
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(errors.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 200 + 1);
    EXPECT_TRUE(lines.last().contains("50 more files could not be read as DICOM images")) << lines.last().toStdString();
}

// What the archive holds already decides what goes: a medium partly held
// sends the rest, a medium wholly held sends nothing (by DICOMDIR without
// reading an image), "Send again" sends it anyway, and a study the archive
// holds under another patient stays on the medium unless chosen.
TEST_F(Transfer, OrthancHoldingsDecideWhatGoesAgain)
{
    td::ImageRecipe recipe;
    recipe.studyUid = "1.2.826.0.1.3680043.2.1143.36";
    recipe.seriesUid = recipe.studyUid + ".1";
    const QStringList all = td::makeSeries(mediaPath("CD/SE1"), 6, recipe);
    td::makeDicomDir(mediaPath("CD"));
    ASSERT_TRUE(QDir().mkpath(mediaPath("part")));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(QFile::copy(all[i], mediaPath("part/IM%1").arg(i)));
    td::ImageRecipe elsewhere = recipe;  // the same study, at the archive under another ID
    elsewhere.studyUid = "1.2.826.0.1.3680043.2.1143.37";
    elsewhere.seriesUid = elsewhere.studyUid + ".1";
    elsewhere.patientId = "OTHER-7";
    elsewhere.patientName = "Smith^John";
    td::makeSeries(mediaPath("early"), 1, elsewhere);
    elsewhere.patientId = recipe.patientId;
    elsewhere.patientName = recipe.patientName;
    td::makeSeries(mediaPath("wrong"), 2, elsewhere);

    appState().WriteLog = 1;
    appState().AskHeld = true;
    Peer::Options o;
    o.aeTitle = "ORTHANC";
    o.allowFind = true;
    const auto orthanc = Peer::orthanc(o);
    ASSERT_TRUE(orthanc);
    appState().RemoteAET = orthanc->aeTitle();
    appState().RemotePort = QString::number(orthanc->port());
    ScriptedPatients window;
    auto runOf = [&](const QString& folder, bool dicomDir) {
        auto run = makeRun();
        run->patientsPrompt = &window;
        if (dicomDir)
            run->SearchForDicomDir(mediaPath(folder));
        else
            run->ReadCdDirectory(mediaPath(folder), true);
        return run;
    };

    auto run = runOf("part", false);
    EXPECT_EQ(run->ImportedCount, 2);
    EXPECT_TRUE(window.shown.isEmpty()) << "a medium wholly new asks nothing";
    run = runOf("early", false);
    EXPECT_EQ(run->ImportedCount, 1);

    run = runOf("CD", false);
    EXPECT_EQ(run->ImportedCount, 4);
    ASSERT_EQ(window.holdingsShown.size(), 1);
    const StudyAtDestination partly = window.holdingsShown[0].value(0).studies.value(recipe.studyUid);
    EXPECT_EQ(partly.state, HeldState::Partly);
    EXPECT_EQ(partly.held, 2);
    EXPECT_EQ(partly.total, 6);
    EXPECT_TRUE(run->summary().contains("2 images were already at ORTHANC and were not sent again.")) << run->summary().toStdString();
    EXPECT_EQ(run->confirmations(), QStringList {"ORTHANC confirmed all 4 images."});

    // wholly held: by the DICOMDIR's records, nothing read, nothing sent
    run = runOf("CD", true);
    EXPECT_EQ(run->ImportedCount, 0);
    ASSERT_EQ(window.holdingsShown.size(), 2);
    EXPECT_EQ(window.holdingsShown[1].value(0).studies.value(recipe.studyUid).state, HeldState::Held);
    EXPECT_EQ(run->summary(), "0 images successfully imported!\n6 images were already at ORTHANC and were not sent again.");
    EXPECT_TRUE(run->summaryIsClean());
    const QStringList log = debugLines(program.path());
    EXPECT_EQ(log.filter("Not sent again:").filter("is already at ORTHANC").size(), 2 + 6) << log.join("\n").toStdString();

    // the images held before count as proved: the folder is done
    EXPECT_TRUE(QFile::remove(mediaPath("CD/SE1/migration.done")));
    window.sendAgain = {recipe.studyUid};
    run = runOf("CD", false);
    EXPECT_EQ(run->ImportedCount, 6) << "Send again";
    window.sendAgain.clear();

    run = runOf("wrong", false);
    ASSERT_EQ(window.holdingsShown.size(), 4);
    const StudyAtDestination other = window.holdingsShown[3].value(0).studies.value(elsewhere.studyUid);
    EXPECT_EQ(other.state, HeldState::OtherPatient);
    EXPECT_EQ(other.atPacs.PatientID, "OTHER-7");
    EXPECT_EQ(run->ImportedCount, 0);
    EXPECT_TRUE(run->summary().contains("2 images were not sent: their study was not chosen.")) << run->summary().toStdString();
    EXPECT_FALSE(run->summaryIsClean());
    QFile errors(program.path() + "/Logs/Error.log");
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(errors.readAll()).contains("holds study " + elsewhere.studyUid + " under another patient"));

    // the receipt counts what stayed where it was
    const QList<QStringList> receipt = receipts(program.path());
    ASSERT_EQ(receipt.size(), 6);
    EXPECT_TRUE(receipt[3][Destination1].contains("6 images were already there.")) << receipt[3].join("|").toStdString();
}

// A peer that answers no query holds nothing: everything goes, and the
// receipt says it could not be asked.
TEST_F(Transfer, APeerThatAnswersNoQueryGetsEverything)
{
    td::makeSeries(mediaPath("cd"), 3, td::ImageRecipe {});
    appState().WriteLog = 1;
    appState().AskHeld = true;
    ScriptedPatients window;
    auto run = makeRun();
    run->patientsPrompt = &window;
    run->ReadCdDirectory(mediaPath("cd"), true);
    EXPECT_EQ(run->ImportedCount, 3);
    EXPECT_TRUE(window.shown.isEmpty());
    ASSERT_TRUE(pacs->waitForFiles(3));
    const QList<QStringList> receipt = receipts(program.path());
    ASSERT_EQ(receipt.size(), 1);
    EXPECT_TRUE(receipt[0][Destination1].contains("It could not be asked what it held")) << receipt[0].join("|").toStdString();
}

// Several associations at once: a PACS that takes two from one caller and
// refuses the rest, a failing image among them. Every instance arrives once,
// nobody is asked about the refused associations, the failure names its
// image, and only the folder without a failure is marked.
TEST_F(Transfer, SeveralAssociationsDealTheImagesAndEachArrivesOnce)
{
    LimitedStorePeer::Options o;
    o.maxAssociationsPerCaller = 2;
    o.storeDelayMs = 20;
    const QStringList a = td::makeSeries(mediaPath("A"), 12, td::ImageRecipe {});
    const QStringList b = td::makeSeries(mediaPath("B"), 12, td::ImageRecipe {});
    const QString failing = attribute(b[5], "(0008,0018)");
    o.failInstances << failing;
    LimitedStorePeer peer(o);
    AppState& s = appState();
    s.RemoteAET = peer.aeTitle();
    s.RemotePort = QString::number(peer.port());
    s.Associations = 4;
    s.WriteLog = 1;

    auto run = makeRun();
    run->ReadCdDirectory(media.path(), true);
    EXPECT_EQ(run->ImportedCount, 23);
    ASSERT_EQ(prompt.messages.size(), 1) << prompt.messages.join("\n---\n").toStdString();
    EXPECT_TRUE(prompt.messages[0].contains(b[5])) << prompt.messages[0].toStdString();
    const QMap<QString, int> counts = peer.receivedCounts();
    EXPECT_EQ(counts.size(), 23);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        EXPECT_EQ(it.value(), 1) << it.key().toStdString();
    EXPECT_FALSE(counts.contains(failing));
    EXPECT_EQ(peer.peakAssociations(), 2);
    EXPECT_GE(peer.associationsRejected(), 1);
    EXPECT_TRUE(QFile::exists(mediaPath("A/migration.done")));
    EXPECT_FALSE(QFile::exists(mediaPath("B/migration.done")));
    EXPECT_TRUE(debugLines(program.path()).join("\n").contains("A further association to LIMITEDSCP was not opened"));
    EXPECT_TRUE(run->summary().contains("1 images could not be sent")) << run->summary().toStdString();
}

// storescp without --fork serves one association at a time and leaves the
// others' requests unread: the further ones must never hold an image back.
TEST_F(Transfer, APeerThatServesOneAssociationAtATimeIsNotWaitedFor)
{
    td::makeSeries(mediaPath("S"), 30, td::ImageRecipe {});
    appState().Associations = 4;
    QElapsedTimer clock;
    clock.start();
    auto run = makeRun();
    run->ReadCdDirectory(mediaPath("S"), false);
    EXPECT_EQ(run->ImportedCount, 30);
    EXPECT_TRUE(pacs->waitForFiles(30));
    EXPECT_TRUE(prompt.messages.isEmpty());
    EXPECT_LT(clock.elapsed(), 10000) << "a further association waited for its turn";
}

// A DICOMweb service as the destination: Orthanc's plugin with HTTP basic
// authentication. Images go by STOW-RS with their new identity, the proof at
// the end asks QIDO-RS, and a wrong password is one prompt, not a loss.
TEST_F(Transfer, DicomWebServiceTakesTheImagesAndListsThemAtTheEnd)
{
    const QString plugin = orthancDicomWebPlugin();
    if (plugin.isEmpty())
        GTEST_SKIP() << "Orthanc's DICOMweb plugin is not installed";
    Peer::Options o;
    o.aeTitle = "ORTHANC";
    o.httpPort = freeLoopbackPort();
    o.dicomWeb = true;
    o.httpUser = "station";
    o.httpPassword = "s3cret";
    const auto orthanc = Peer::orthanc(o);
    ASSERT_TRUE(orthanc);
    td::makeSeries(mediaPath("W/1"), 8, td::ImageRecipe {});
    td::ImageRecipe jpeg;
    jpeg.syntax = td::Syntax::JpegLossless;
    td::makeSeries(mediaPath("W/2"), 4, jpeg);
    AppState& s = appState();
    s.RemoteURL = QStringLiteral("http://127.0.0.1:%1/dicom-web").arg(o.httpPort);
    s.WebUser = "station";
    s.WebPassword = "wrong";
    s.Associations = 2;
    s.ChangeID = true;
    newId = "WEB-7";

    prompt.answers = {FailurePrompt::Abort};
    auto refused = makeRun();
    refused->ReadCdDirectory(mediaPath("W"), true);
    EXPECT_EQ(refused->ImportedCount, 0);
    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].contains("refused")) << prompt.messages[0].toStdString();

    prompt.messages.clear();
    s.WebPassword = "s3cret";
    auto run = makeRun();
    run->ReadCdDirectory(mediaPath("W"), true);
    EXPECT_EQ(run->ImportedCount, 12);
    EXPECT_TRUE(prompt.messages.isEmpty()) << prompt.messages.join("\n").toStdString();
    EXPECT_EQ(run->confirmations(), QStringList {"127.0.0.1 confirmed all 12 images."});
    const QByteArray patients = orthanc->restGet("/patients?expand");
    EXPECT_TRUE(patients.contains("WEB-7")) << patients.toStdString();
    EXPECT_EQ(QString::fromUtf8(orthanc->restGet("/instances")).count(QLatin1Char(',')) + 1, 12);

    // the same medium again: the service is asked what it holds, and nothing goes twice
    s.AskHeld = true;
    ScriptedPatients window;
    auto again = makeRun();
    again->patientsPrompt = &window;
    again->ReadCdDirectory(mediaPath("W"), true);
    EXPECT_EQ(again->ImportedCount, 0);
    EXPECT_TRUE(again->summary().contains("12 images were already at 127.0.0.1 and were not sent again."))
        << again->summary().toStdString();
}
