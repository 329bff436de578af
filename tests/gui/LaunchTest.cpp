// "IMPORT" from the main window down to the peers: the checks, their
// messages, the settings written, and images arriving.
#include "GuiTest.h"

#include "base/RemovableMedia.h"
#include "dicom/testdata/FaultyScp.h"
#include "dicom/testdata/TestData.h"
#include "gui/MainForm.h"
#include "gui/MsgBoxForm.h"
#include "gui/PatientsForm.h"
#include "gui/ProgressForm.h"
#include "gui/frmWorklist.h"
#include "support/LoopVolume.h"
#include "support/Peers.h"
#include "support/UDisks2Mock.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QRegularExpression>
#include <QSet>
#include <QTreeWidget>

#include <QAction>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <set>

using namespace varnelo;
using namespace varnelo::testsupport;
using varnelo::test::GuiTest;
namespace td = varnelo::testdata;

namespace {

// Counts how often the launch asks whether a drive is ready.
class CountingDriveTable : public FixedDriveTable {
public:
    using FixedDriveTable::FixedDriveTable;
    mutable int asked = 0;
    QList<DriveEntry> drives() const override
    {
        ++asked;
        return FixedDriveTable::drives();
    }
};

class Launch : public GuiTest {
protected:
    QTemporaryDir media;
    QList<MessageBox::Request> boxes;
    MessageBox::Answer questionAnswer = MessageBox::Answer::Yes;
    std::unique_ptr<MainForm> form;
    std::shared_ptr<CountingDriveTable> drives;

    void SetUp() override
    {
        GuiTest::SetUp();
        // E: is a mounted medium, D: an empty optical drive
        drives = std::make_shared<CountingDriveTable>(QList<DriveEntry> {
            {"C:", "C: (/)", "/", "/dev/sda1", false},
            {"D:", "D: (no disc) (/dev/sr0)", "", "/dev/sr0", true},
            {"E:", "E: PATIENT_CD (" + media.path() + ")", media.path(), "/dev/sr1", true},
        });
        setDriveTable(drives);
        MessageBox::setHandler([this](const MessageBox::Request& r) {
            boxes << r;
            return r.buttons == MessageBox::Buttons::YesNo ? questionAnswer : MessageBox::Answer::Ok;
        });
        writeIni("[Default]\nDrive=E:\n");
        form = std::make_unique<MainForm>();
        form->show();
    }

    void set(const char* name, const QString& text) { child<QLineEdit>(form.get(), name)->setText(text); }
    QString text(const char* name) { return child<QLineEdit>(form.get(), name)->text(); }
    void click(const char* name) { child<QRadioButton>(form.get(), name)->click(); }
    void destination1(const Peer& p)
    {
        set("txtAET", " " + p.aeTitle() + " ");
        set("txtIP", "  127.0.0.1 ");
        set("txtPort", QString::number(p.port()));
    }
    QStringList texts() const
    {
        QStringList out;
        for (const auto& b : boxes)
            out << b.text;
        return out;
    }
    // A DICOMDIR over the medium made by DCMTK's own dcmmkdir.
    void burnDicomDir()
    {
        QFile::remove(media.path() + "/DICOMDIR");
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(dcmtkTool("dcmmkdir"), {"-q", "+r", "+id", media.path(), "+D", media.path() + "/DICOMDIR"});
        ASSERT_TRUE(p.waitForFinished(20000) && p.exitCode() == 0) << p.readAll().toStdString();
    }
    // A main window that reads its settings from the ini written now.
    void restart(const QByteArray& ini)
    {
        form.reset();
        writeIni(ini);
        form = std::make_unique<MainForm>();
        form->show();
    }
};

// "Change Patient ID" on; Orthanc is the destination and the worklist.
QByteArray orthancIni(const Peer& orthanc)
{
    return "[Default]\nDrive=E:\nChangeID=1\n[DICOM]\nLocalAET=VARNELO\nRemoteAET=" + orthanc.aeTitle().toUtf8() +
        "\nRemoteIP=127.0.0.1\nRemotePort=" + QByteArray::number(orthanc.port()) + "\n[Worklist]\nAET=" +
        orthanc.aeTitle().toUtf8() + "\nIP=127.0.0.1\nPort=" + QByteArray::number(orthanc.port()) + "\nModality=CT\n";
}

QJsonArray restArray(const Peer& peer, const QString& path)
{
    return QJsonDocument::fromJson(peer.restGet(path)).array();
}

// The patient attributes of a file wherever they are, nested ones after
// the path of their sequences: "(0010,1002).(0010,0020) LO [EXT-77]";
// dcmdump lists them tag by tag.
QStringList patientAttributes(const QString& file)
{
    QStringList args {"+U8", "+s", "+p"};
    for (const char* tag : {"0010,0010", "0010,0020", "0010,0021", "0010,0022", "0010,0024", "0010,0030",
                            "0010,0040", "0400,0562", "0400,0563", "0400,0564", "0400,0565"})
        args << "+P" << tag;
    QProcess p;
    p.start(dcmtkTool("dcmdump"), args << file);
    p.waitForFinished(10000);
    QStringList lines;
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
        lines << line.left(line.indexOf('#')).simplified();
    return lines;
}

}  // namespace

TEST_F(Launch, DriveNotReadyIsAskedElevenTimesThenAbandoned)
{
    form->setBoxText(SettingsView::Box::RemoteAET, "X");  // no connection test may happen
    auto* combo = child<QWidget>(form.get(), "cboDrive");
    ASSERT_NE(combo, nullptr);
    QMetaObject::invokeMethod(combo, "setCurrentIndex", Q_ARG(int, 1));  // D:, no disc
    drives->asked = 0;
    form->cmdImport_Click();
    EXPECT_EQ(drives->asked, 11) << "the first check and ten more, 250 ms apart";
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].text.startsWith("Your selected drive is not ready!\nNo disc or medium could be read in D:."))
        << boxes[0].text.toStdString();
    EXPECT_EQ(boxes[0].icon, MessageBox::Icon::Warning);
    EXPECT_EQ(appState().Drive, "D:");
    EXPECT_EQ(iniBytes(), QByteArray("[Default]\nDrive=E:\n")) << "nothing saved";
    EXPECT_TRUE(form->isImportEnabled());

    // File > Import chosen while the launch waits starts no second launch
    boxes.clear();
    auto* menuImport = form->findChild<QAction*>("mnuFileImport");
    ASSERT_NE(menuImport, nullptr);
    QMetaObject::invokeMethod(menuImport, &QAction::trigger, Qt::QueuedConnection);
    form->cmdImport_Click();
    EXPECT_EQ(boxes.size(), 1);

    // File > Exit while the launch waits ends it at once, without a message
    // and without a second save
    boxes.clear();
    drives->asked = 0;
    QTimer::singleShot(600, form.get(), [this] { child<QAction>(form.get(), "mnuFileExit")->trigger(); });
    form->cmdImport_Click();
    EXPECT_LE(drives->asked, 4);
    EXPECT_TRUE(boxes.isEmpty()) << texts().join('|').toStdString();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(iniBytes().count("SearchBy="), 1);
}

TEST_F(Launch, DestinationChecksAndTheirMessages)
{
    click("optLocation1");
    click("optSearchBy1");  // a folder without DICOMDIR: the PACS is what is checked
    set("txtSpecialFolder", media.path());
    set("txtAET", "PACS");
    set("txtIP", "127.0.0.1");
    form->cmdImport_Click();
    ASSERT_EQ(boxes.size(), 1);
    // the prescribed sentence first, then which box is empty
    EXPECT_TRUE(boxes[0].text.startsWith("Please enter a valid DICOM Storage Class Provider\n")) << boxes[0].text.toStdString();
    EXPECT_TRUE(boxes[0].text.contains("\"Remote Port:\" is empty")) << boxes[0].text.toStdString();
    EXPECT_EQ(boxes[0].icon, MessageBox::Icon::Error);

    boxes.clear();
    set("txtPort", QString::number(freeLoopbackPort()));
    form->cmdImport_Click();
    ASSERT_EQ(boxes.size(), 1);
    const QStringList failed = boxes[0].text.split('\n');
    EXPECT_EQ(failed[0], "#1: Connection to Storage Class Provider (127.0.0.1) failed!");
    // in the operator's words: who does not answer, and that nothing went out
    EXPECT_EQ(failed.value(1), QString("PACS at 127.0.0.1 port %1 does not answer. Nothing was sent. Check that the PACS is "
                                       "running, or ask your administrator.").arg(text("txtPort")));
    EXPECT_EQ(boxes[0].icon, MessageBox::Icon::Warning);

    // a port beyond 32 bits is an error of the launch itself: shown and logged
    boxes.clear();
    form->setBoxText(SettingsView::Box::RemotePort, "99999999999");
    form->cmdImport_Click();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].text.startsWith("#6 ")) << boxes[0].text.toStdString();
    EXPECT_EQ(boxes[0].icon, MessageBox::Icon::Error);
    QFile log(dir.path() + "/Logs/Error.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("\tMainForm cmdImport_Click\r\n"));
    EXPECT_TRUE(form->isImportEnabled());
    EXPECT_EQ(iniBytes(), QByteArray("[Default]\nDrive=E:\n"));

    // the port comes from its box alone, and nothing is cut on the way: a
    // live peer would answer every one of these if they went out
    auto pacs = Peer::storescp();
    destination1(*pacs);
    const QList<std::pair<const char*, QString>> refused = {
        {"txtIP", "127.0.0.1:" + QString::number(pacs->port())},
        {"txtIP", "::1"},
        {"txtAET", pacs->aeTitle() + "_WITH_17_CHARS"},
    };
    for (const auto& [box, value] : refused) {
        destination1(*pacs);
        set(box, value);
        boxes.clear();
        form->cmdImport_Click();
        ASSERT_EQ(boxes.size(), 1) << value.toStdString();
        EXPECT_TRUE(boxes[0].text.startsWith("Destination #1: \"Remote")) << boxes[0].text.toStdString();
        EXPECT_TRUE(boxes[0].text.contains(value)) << boxes[0].text.toStdString();
    }
    EXPECT_EQ(pacs->associationsReceived(), 0);
}

TEST_F(Launch, ScanWithoutSuffixAsksThenImportsToOneDestination)
{
    auto pacs = Peer::storescp();
    ASSERT_TRUE(pacs);
    td::makeSeries(media.path() + "/scan", 4, td::ImageRecipe {});
    click("optLocation1");
    click("optSearchBy1");
    set("txtSpecialFolder", media.path() + "/scan");
    destination1(*pacs);
    set("txtAET2", "ONLY");
    set("txtIP2", "127.0.0.1");  // partly filled: ignored without a message

    questionAnswer = MessageBox::Answer::No;
    form->cmdImport_Click();
    const QString allFiles = "No file suffix defined, ALL files will be scanned!\nEvery file in the folder is read, also files "
                             "that are no images; on a full disc this takes longer. Import all files?";
    ASSERT_EQ(texts(), QStringList {allFiles});
    EXPECT_EQ(boxes[0].buttons, MessageBox::Buttons::YesNo);
    EXPECT_EQ(boxes[0].icon, MessageBox::Icon::None);
    EXPECT_EQ(text("txtIP"), "127.0.0.1") << "boxes are trimmed even when the launch is abandoned";
    EXPECT_TRUE(pacs->receivedFiles().isEmpty());

    boxes.clear();
    questionAnswer = MessageBox::Answer::Yes;
    form->cmdImport_Click();
    EXPECT_EQ(texts(), (QStringList {allFiles, "4 images successfully imported!\nSTORESCP could not be asked to confirm."}));
    EXPECT_TRUE(pacs->waitForFiles(4));
    EXPECT_FALSE(appState().UseDestination2);
    EXPECT_EQ(appState().RemoteAET, pacs->aeTitle());
    EXPECT_TRUE(iniBytes().contains("RemotePort=" + QByteArray::number(pacs->port())));
    EXPECT_TRUE(iniBytes().contains("Drive=E:"));
    EXPECT_TRUE(form->isImportEnabled());
}

// A DICOMweb service as destination 1: the launch asks it by QIDO-RS, says
// plainly when it refuses the station's credentials, and the AE title, IP and
// port boxes may stay empty.
TEST_F(Launch, DicomWebDestinationIsAskedFirstAndSaysWhyItRefuses)
{
    if (orthancDicomWebPlugin().isEmpty())
        GTEST_SKIP() << "Orthanc's DICOMweb plugin is not installed";
    Peer::Options o;
    o.httpPort = freeLoopbackPort();
    o.dicomWeb = true;
    o.httpUser = "station";
    o.httpPassword = "s3cret";
    const auto orthanc = Peer::orthanc(o);
    ASSERT_TRUE(orthanc);
    td::makeSeries(media.path() + "/scan", 5, td::ImageRecipe {});
    click("optLocation1");
    click("optSearchBy1");
    set("txtSpecialFolder", media.path() + "/scan");
    set("txtSuffix", "");
    questionAnswer = MessageBox::Answer::Yes;
    appState().RemoteURL = QStringLiteral("http://127.0.0.1:%1/dicom-web").arg(o.httpPort);
    appState().WebUser = "station";
    appState().WebPassword = "guess";

    form->cmdImport_Click();
    ASSERT_EQ(boxes.size(), 1) << texts().join("|").toStdString();
    EXPECT_TRUE(boxes[0].text.contains("refused this station's user name and password or token")) << boxes[0].text.toStdString();
    EXPECT_EQ(orthanc->restGet("/instances"), "[]");

    boxes.clear();
    appState().WebPassword = "s3cret";
    form->cmdImport_Click();
    EXPECT_EQ(texts().value(texts().size() - 1),
              "5 images successfully imported!\n127.0.0.1 confirmed all 5 images.") << texts().join("|").toStdString();
}

TEST_F(Launch, DicomDirFromADriveToTwoDestinations)
{
    auto pacs1 = Peer::storescp();
    auto pacs2 = Peer::storescp();
    ASSERT_TRUE(pacs1 && pacs2);
    td::makeSeries(media.path() + "/DICOM/SE1", 3, td::ImageRecipe {});
    td::makeDicomDir(media.path());
    destination1(*pacs1);
    set("txtAET2", pacs2->aeTitle());
    set("txtIP2", "127.0.0.1");
    set("txtPort2", QString::number(pacs2->port()));
    form->cmdImport_Click();
    // storescp offers neither commitment nor a query: one line for each
    EXPECT_EQ(texts(), QStringList {"3 images successfully imported!\nSTORESCP could not be asked to confirm.\n"
                                    "STORESCP could not be asked to confirm."});
    EXPECT_TRUE(appState().UseDestination2);
    EXPECT_TRUE(pacs1->waitForFiles(3));
    EXPECT_TRUE(pacs2->waitForFiles(3));
    EXPECT_EQ(appState().DicomDirPath, media.path() + "/DICOMDIR");
}

TEST_F(Launch, ScanFromTheWindowWithSuffixNewIdUidsAndAFailingSecondDestination)
{
    auto pacs = Peer::storescp();
    ASSERT_TRUE(pacs);
    // two folders of images without Study/Series UIDs, and files the suffix leaves out
    td::ImageRecipe recipe;
    recipe.withStudyUid = false;
    recipe.withSeriesUid = false;
    for (const QString& folder : {QString("/scan"), QString("/scan/sub")}) {
        ASSERT_TRUE(QDir().mkpath(media.path() + folder));
        for (int i = 1; i <= 2; ++i) {
            recipe.sopInstanceUid = QString("1.2.826.0.1.3680043.2.1143.%1.%2").arg(folder.size()).arg(i);
            td::makeImage(media.path() + folder + QString("/IMG%1.DCM").arg(i), recipe);
        }
    }
    td::makeImage(media.path() + "/scan/IMG3.BAK", recipe);
    td::makeNonDicom(media.path() + "/scan/sub/notes.dcm", td::NonDicom::Text);

    appState().ChangeID = true;
    appState().Validate = 1;
    appState().ImgDirEqStudy = 1;
    appState().WriteLog = 1;
    form->setNewPatientIdVisible(true);
    click("optLocation1");
    click("optSearchBy1");
    set("txtSpecialFolder", media.path() + "/scan");
    child<QCheckBox>(form.get(), "chkWithSubDirs")->setChecked(true);
    set("txtSuffix", "dcm");
    set("txtChangeID", "NEW-7");
    destination1(*pacs);
    // destination 2 answers the echo but refuses every image: out of resources
    td::FaultyScp::Options full;
    full.status = [](int, const QString&) -> std::uint16_t { return 0xA700; };
    td::FaultyScp pacs2(full);
    set("txtAET2", pacs2.aeTitle());
    set("txtIP2", "127.0.0.1");
    set("txtPort2", QString::number(pacs2.port()));

    QStringList prompts;
    int answered = 0;
    MsgBoxForm::setAnswererForTesting([&](MsgBoxForm& f) {
        prompts << f.lblMessage()->text();
        if (answered++ == 0) {
            f.cmdRetry()->click();  // the same image again, still failing
        } else {
            f.chkAlwaysIgnore()->setChecked(true);
            f.cmdIgnore()->click();
        }
    });
    form->cmdImport_Click();
    MsgBoxForm::setAnswererForTesting({});

    EXPECT_EQ(texts(), QStringList {"4 images successfully imported!\n4 images could not be sent; the error log names "
                                    "them.\nSTORESCP could not be asked to confirm.\n" +
                                    dir.path() + "/Logs/Error.log"});
    EXPECT_EQ(boxes[0].icon, MessageBox::Icon::Warning);
    ASSERT_TRUE(pacs->waitForFiles(4));
    EXPECT_EQ(pacs->receivedFiles().size(), 4);
    ASSERT_EQ(prompts.size(), 2) << "after the tick no further prompt";
    // the peer's status, said plainly, and the image
    EXPECT_TRUE(prompts[0].startsWith("Error #42752: Failed to transfer image to 127.0.0.1\r\n\r\nReason: ")) << prompts[0].toStdString();
    EXPECT_TRUE(prompts[0].contains("(status 0xa700).\r\n\r\nImage: ")) << prompts[0].toStdString();
    EXPECT_TRUE(pacs2.held().isEmpty());
    EXPECT_EQ(pacs2.requested().size(), 5) << "four images and one retry";
    EXPECT_FALSE(appState().AlwaysIgnore) << "cleared when the progress window closed";

    QSet<QString> studies;
    for (const QString& f : pacs->receivedFiles()) {
        const auto content = td::contentOf(f);
        EXPECT_EQ(QString::fromStdString(content.at("(0010,0020)")).trimmed(), "NEW-7");
        studies << QString::fromStdString(content.at("(0020,000D)")).trimmed();
    }
    EXPECT_EQ(studies.size(), 2) << "one study for each folder";

    QFile debug(dir.path() + "/Logs/Debug.log");
    ASSERT_TRUE(debug.open(QIODevice::ReadOnly));
    const QByteArray lines = debug.readAll();
    EXPECT_EQ(lines.count("\tOK\r\n"), 4);
    EXPECT_EQ(lines.count("\tFAILED\r\n"), 5) << "one per failed attempt: a retry and four images";
    EXPECT_EQ(lines.count("\tChange Patient ID: PID0001 -> NEW-7\r\n"), 4);
    // destination 2 holds none of them: the folders are not done
    EXPECT_FALSE(QFile::exists(media.path() + "/scan/sub/migration.done"));
}

TEST_F(Launch, TlsToOrthancAndStorescpAsTheSettingsFileSays)
{
    QTemporaryDir keys;
    const TestCertificates certs = makeTestCertificates(keys.path());
    Peer::Options o;
    o.tlsCertificate = certs.serverCertificate;
    o.tlsPrivateKey = certs.serverKey;
    o.tlsTrusted = certs.ca;
    o.aeTitle = "ORTHANC";
    // this station as Orthanc's modality: its report comes over TLS to CommitPort
    o.modalityAet = "VARNELO";
    o.modalityPort = freeLoopbackPort();
    auto orthanc = Peer::orthanc(o);
    o.aeTitle = "STORESCP";
    auto scp = Peer::storescp(o);
    td::makeSeries(media.path() + "/DICOM/SE1", 3, td::ImageRecipe {});
    td::makeDicomDir(media.path());

    const QByteArray tls = "[TLS]\nCertificate=" + certs.clientCertificate.toUtf8() + "\nPrivateKey=" +
        certs.clientKey.toUtf8() + "\nTrustedCertificates=" + certs.ca.toUtf8() + "\n";
    writeIni("[Default]\nDrive=E:\n[DICOM]\nLocalAET=VARNELO\nCommitPort=" + QByteArray::number(o.modalityPort) +
             "\nRemoteAET=ORTHANC\nRemoteIP=127.0.0.1\nRemotePort=" + QByteArray::number(orthanc->port()) +
             "\nUseTLS=1\nRemoteAET2=STORESCP\nRemoteIP2=127.0.0.1\nRemotePort2=" + QByteArray::number(scp->port()) +
             "\nUseTLS2=1\n" + tls);
    form = std::make_unique<MainForm>();
    form->show();
    form->cmdImport_Click();
    // storescp offers neither commitment nor a query
    EXPECT_EQ(texts(), QStringList {"3 images successfully imported!\nORTHANC confirmed all 3 images.\n"
                                    "STORESCP could not be asked to confirm."})
        << orthanc->log().toStdString();
    EXPECT_TRUE(orthanc->waitForFiles(3));
    EXPECT_TRUE(scp->waitForFiles(3));
    EXPECT_TRUE(iniBytes().contains("\nUseTLS=1\n"));
    EXPECT_TRUE(iniBytes().contains("\nUseTLS2=1\n" + tls)) << "saved as they were";

    // Destination 2's certificate from a CA this station does not trust:
    // the connection test says what to check, and the error log has it.
    o.tlsCertificate = certs.strangerCertificate;
    o.tlsPrivateKey = certs.strangerKey;
    scp = Peer::storescp(o);
    set("txtPort2", QString::number(scp->port()));
    boxes.clear();
    form->cmdImport_Click();
    ASSERT_EQ(boxes.size(), 1);
    const QString expected = "#40018 The certificate of 127.0.0.1:" + QString::number(scp->port()) +
        " (STORESCP, TLS), /CN=stranger.test, is not trusted: ";
    EXPECT_TRUE(boxes[0].text.startsWith(expected)) << boxes[0].text.toStdString();
    EXPECT_EQ(boxes[0].icon, MessageBox::Icon::Error);
    QFile log(dir.path() + "/Logs/Error.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray logged = log.readAll();
    EXPECT_TRUE(logged.contains("\t40018\t" + expected.mid(7).toUtf8())) << logged.constData();
    EXPECT_TRUE(logged.endsWith("\tMainForm cmdImport_Click\r\n"));
    EXPECT_EQ(scp->receivedFiles().size(), 0);
}

// A worklist pick from Orthanc's worklist, a CD whose patient is spelt
// otherwise, the operator's tick, and Orthanc keeping the reconciled images.
TEST_F(Launch, WorklistPickReconcilesTheMediumsPatientInOrthanc)
{
    if (orthancWorklistPlugin().isEmpty())
        GTEST_SKIP() << "Orthanc's worklist plugin is not installed";
    QTemporaryDir wl;
    td::WorklistEntry entry;
    entry.patientName = QString::fromUtf8("Müller^Hans");
    entry.patientId = "LOC-4711";
    entry.issuerOfPatientId = "OURHOSP";
    entry.birthDate = "19600515";
    entry.sex = "M";
    Peer::Options o;
    o.aeTitle = "ORTHANC";
    o.httpPort = freeLoopbackPort();
    auto orthanc = Peer::orthanc(o, td::makeWorklist(wl.path(), o.aeTitle, {entry}) + "/ORTHANC");

    td::ImageRecipe cd;
    cd.patientName = "MUELLER^HANS";
    cd.patientId = "EXT-77";
    cd.issuerOfPatientId = "OTHERHOSP";
    cd.birthDate = "19600515";
    cd.sex = "M";
    td::makeSeries(media.path() + "/DICOM/SE1", 3, cd);
    burnDicomDir();
    restart(orthancIni(*orthanc));

    // the worklist opened from the main window; its only row double-clicked
    QTimer poll;
    poll.callOnTimeout([&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* list = qobject_cast<frmWorklist*>(w) ? static_cast<frmWorklist*>(w)->list() : nullptr;
            if (!list || !w->isVisible() || list->topLevelItemCount() < 1)
                continue;
            poll.stop();
            const QPoint at = list->visualItemRect(list->topLevelItem(0)).center();
            QTest::mousePress(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            QTest::mouseRelease(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            QTimer::singleShot(3000, w, &QWidget::close);  // a pick that does not close it fails below
            return;
        }
    });
    poll.start(20);
    QTimer::singleShot(15000, &poll, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<frmWorklist*>(w))
                w->close();
    });
    form->cmdWKL_Click();
    ASSERT_EQ(text("txtChangeID"), "LOC-4711") << orthanc->log().toStdString();

    QStringList shown;
    PatientsForm::setAnswererForTesting([&](PatientsForm& f) {
        for (int i = 0; i < f.list()->topLevelItemCount(); ++i)
            shown << f.list()->topLevelItem(i)->text(PatientsForm::Name) + "|" + f.list()->topLevelItem(i)->text(PatientsForm::Id);
        f.list()->topLevelItem(0)->setCheckState(0, Qt::Checked);
        f.cmdImport()->click();
    });
    form->cmdImport_Click();
    PatientsForm::setAnswererForTesting({});
    EXPECT_EQ(shown, QStringList {"\u2068MUELLER^HANS\u2069|\u2068EXT-77\u2069"}) << "the name differs from the pick: asked";
    EXPECT_EQ(texts(), QStringList {"3 images successfully imported!\nORTHANC could not be asked to confirm."});
    ASSERT_TRUE(orthanc->waitForFiles(3));

    const QJsonArray patients = restArray(*orthanc, "/patients?expand");
    ASSERT_EQ(patients.size(), 1);
    const QJsonObject tags = patients[0].toObject()["MainDicomTags"].toObject();
    EXPECT_EQ(tags["PatientID"].toString(), "LOC-4711");
    EXPECT_EQ(tags["PatientName"].toString(), QString::fromUtf8("Müller^Hans"));
    const QJsonArray instances = restArray(*orthanc, "/instances");
    ASSERT_EQ(instances.size(), 3);

    QTemporaryDir back;
    QFile stored(back.filePath("stored.dcm"));
    ASSERT_TRUE(stored.open(QIODevice::WriteOnly));
    stored.write(orthanc->restGet("/instances/" + instances[0].toString() + "/file"));
    stored.close();
    QStringList found = patientAttributes(stored.fileName());
    found.sort();
    const QRegularExpression when(R"(^\(0400,0561\)\.\(0400,0562\) DT \[\d{14}\]$)");
    EXPECT_EQ(found.removeIf([&](const QString& l) { return when.match(l).hasMatch(); }), 1) << found.join('\n').toStdString();
    // birth date and sex were the same: not kept as original values
    EXPECT_EQ(found, (QStringList {
                         QString::fromUtf8("(0010,0010) PN [Müller^Hans]"),
                         "(0010,0020) LO [LOC-4711]",
                         "(0010,0021) LO [OURHOSP]",
                         "(0010,0030) DA [19600515]",
                         "(0010,0040) CS [M]",
                         "(0010,1002).(0010,0020) LO [EXT-77]",
                         "(0010,1002).(0010,0021) LO [OTHERHOSP]",
                         "(0010,1002).(0010,0022) CS [TEXT]",
                         "(0400,0561).(0400,0550).(0010,0010) PN [MUELLER^HANS]",
                         "(0400,0561).(0400,0550).(0010,0020) LO [EXT-77]",
                         "(0400,0561).(0400,0550).(0010,0021) LO [OTHERHOSP]",
                         "(0400,0561).(0400,0563) LO [VARNELO]",
                         "(0400,0561).(0400,0564) LO [OTHERHOSP]",
                         "(0400,0561).(0400,0565) CS [COERCE]",
                     }));
}

// A typed Patient ID: a medium of two patients asks, and Cancel sends
// nothing; a medium of one patient is sent without asking, only its ID new.
TEST_F(Launch, TypedIdAsksOnlyForAMediumOfSeveralPatients)
{
    Peer::Options o;
    o.aeTitle = "ORTHANC";
    o.httpPort = freeLoopbackPort();
    auto orthanc = Peer::orthanc(o);
    td::ImageRecipe a, b;
    a.patientName = "MUELLER^HANS";
    a.patientId = "EXT-77";
    b.patientName = "SCHMIDT^EVA";
    b.patientId = "EXT-78";
    b.birthDate = "19710203";
    b.sex = "F";
    td::makeSeries(media.path() + "/DICOM/P1", 2, a);
    td::makeSeries(media.path() + "/DICOM/P2", 2, b);
    burnDicomDir();
    restart(orthancIni(*orthanc));
    set("txtChangeID", "NEW-1");

    QList<int> asked;  // rows of each window shown
    PatientsForm::setAnswererForTesting([&](PatientsForm& f) {
        asked << f.list()->topLevelItemCount();
        f.list()->topLevelItem(0)->setCheckState(0, Qt::Checked);
        f.cmdCancel()->click();
    });
    form->cmdImport_Click();
    EXPECT_EQ(asked, QList<int> {2});
    EXPECT_TRUE(boxes.isEmpty()) << texts().join('|').toStdString();
    EXPECT_EQ(restArray(*orthanc, "/instances").size(), 0);
    EXPECT_TRUE(orthanc->receivedFiles().isEmpty());

    EXPECT_EQ(text("txtChangeID"), "") << "the cancelled run ended the ID too";

    ASSERT_TRUE(QDir(media.path() + "/DICOM/P2").removeRecursively());
    burnDicomDir();
    set("txtChangeID", "NEW-1");
    asked.clear();
    form->cmdImport_Click();
    PatientsForm::setAnswererForTesting({});
    EXPECT_TRUE(asked.isEmpty());
    EXPECT_EQ(texts(), QStringList {"2 images successfully imported!\nORTHANC could not be asked to confirm."});
    ASSERT_TRUE(orthanc->waitForFiles(2));
    const QJsonArray patients = restArray(*orthanc, "/patients?expand");
    ASSERT_EQ(patients.size(), 1);
    const QJsonObject tags = patients[0].toObject()["MainDicomTags"].toObject();
    EXPECT_EQ(tags["PatientID"].toString(), "NEW-1");
    EXPECT_EQ(tags["PatientName"].toString(), "MUELLER^HANS");
}

// A new ID is given to one medium only: after the run the box is empty, the
// next IMPORT asks, and the keyboard is not left in a destination's boxes.
TEST_F(Launch, NewIdEndsWithItsRunAndAnEmptyBoxAsksFirst)
{
    auto pacs = Peer::storescp();
    td::makeSeries(media.path() + "/DICOM/SE1", 2, td::ImageRecipe {});
    td::makeDicomDir(media.path());
    appState().ChangeID = true;
    form->setNewPatientIdVisible(true);
    destination1(*pacs);
    auto* importButton = child<QPushButton>(form.get(), "cmdImport");
    auto* newId = child<QLineEdit>(form.get(), "txtChangeID");
    auto focused = [this] { return form->focusWidget() ? form->focusWidget()->objectName() : QString(); };
    const QString summary = "2 images successfully imported!\nSTORESCP could not be asked to confirm.";
    const QString question = "No new Patient ID is given: the images keep the IDs they have on the medium. Import "
                             "them unchanged?";
    auto patientIds = [](const Peer& peer) {
        QStringList ids;
        for (const QString& f : peer.receivedFiles())
            ids << QString::fromStdString(td::contentOf(f).at("(0010,0020)")).trimmed();
        return ids;
    };

    set("txtChangeID", "NEW-1");
    importButton->setFocus();
    form->cmdImport_Click();
    EXPECT_EQ(texts(), QStringList {summary});
    ASSERT_TRUE(pacs->waitForFiles(2));
    EXPECT_EQ(patientIds(*pacs), (QStringList {"NEW-1", "NEW-1"}));
    EXPECT_EQ(newId->text(), "");
    EXPECT_EQ(focused(), "txtChangeID") << "not destination 1's AE title, where the next ID would land";

    // the next medium, the box left alone: asked, and No sends nothing
    auto next = Peer::storescp();
    destination1(*next);
    boxes.clear();
    questionAnswer = MessageBox::Answer::No;
    importButton->setFocus();
    form->cmdImport_Click();
    ASSERT_EQ(texts(), QStringList {question});
    EXPECT_EQ(boxes[0].buttons, MessageBox::Buttons::YesNo);
    EXPECT_EQ(boxes[0].defaultAnswer, MessageBox::Answer::No) << "a hasty Enter must not send under the old IDs";
    EXPECT_TRUE(next->receivedFiles().isEmpty());
    EXPECT_EQ(focused(), "cmdImport");

    // Yes sends them as they are on the medium, not under the first ID
    boxes.clear();
    questionAnswer = MessageBox::Answer::Yes;
    form->cmdImport_Click();
    EXPECT_EQ(texts(), (QStringList {question, summary}));
    ASSERT_TRUE(next->waitForFiles(2));
    EXPECT_EQ(patientIds(*next), (QStringList {"PID0001", "PID0001"}));
    EXPECT_EQ(focused(), "txtChangeID");

    // without the row, IMPORT takes the keyboard back
    appState().ChangeID = false;
    form->setNewPatientIdVisible(false);
    boxes.clear();
    form->cmdImport_Click();
    EXPECT_EQ(texts(), QStringList {summary});
    EXPECT_EQ(focused(), "cmdImport");
}

// A new identity that does not fit its attributes is refused before the
// destinations are even asked, naming the value and what is wrong.
TEST_F(Launch, NewIdentityThatDoesNotFitIsRefusedBeforeAnythingIsSent)
{
    auto pacs = Peer::storescp();
    td::makeSeries(media.path() + "/DICOM/SE1", 1, td::ImageRecipe {});
    td::makeDicomDir(media.path());
    restart("[Default]\nDrive=E:\nChangeID=1\nIssuerOfPatientID=HOSP\\A\n");
    destination1(*pacs);
    const QList<std::pair<QString, QString>> refused = {
        {"NEW-1", "Issuer of Patient ID: holds a backslash, which would split it into two values"},
        {QString(65, 'X'), "Patient ID: is longer than 64 characters"},
        {"   ", "\"New Patient ID:\" holds only spaces."},
    };
    for (const auto& [id, problem] : refused) {
        set("txtChangeID", id);
        boxes.clear();
        form->cmdImport_Click();
        ASSERT_EQ(boxes.size(), 1) << id.toStdString();
        EXPECT_TRUE(boxes[0].text.contains(problem)) << boxes[0].text.toStdString();
        EXPECT_EQ(boxes[0].icon, MessageBox::Icon::Warning);
        EXPECT_EQ(text("txtChangeID"), id) << "no run took place: the ID stays";
    }
    EXPECT_EQ(pacs->associationsReceived(), 0);
    EXPECT_TRUE(form->isImportEnabled());
}

// A destination that takes the connection and then says nothing: the
// progress window names it while the launch waits, "Abort" ends the wait at
// once, and the stopped launch leaves a receipt line and nothing else. A
// destination that refuses leaves one error line and its receipt.
TEST_F(Launch, ConnectionCheckShowsWhomItWaitsForAndAbortEndsIt)
{
    auto pacs = Peer::storescp();
    SilentListener silent;
    td::makeSeries(media.path() + "/DICOM/SE1", 2, td::ImageRecipe {});
    td::makeDicomDir(media.path());
    destination1(*pacs);
    set("txtAET2", "ORTHANC");
    set("txtIP2", "127.0.0.1");
    set("txtPort2", QString::number(silent.port()));
    const QString waitingFor = "ORTHANC (127.0.0.1:" + QString::number(silent.port()) + ")";

    QString shown;
    bool importEnabled = true;
    QElapsedTimer sinceAbort;
    QTimer poll;
    poll.callOnTimeout([&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* progress = qobject_cast<ProgressForm*>(w);
            if (!progress || !progress->isVisible() || !progress->Label1()->text().contains("ORTHANC"))
                continue;
            poll.stop();
            shown = progress->Label1()->text();
            importEnabled = form->isImportEnabled();
            sinceAbort.start();
            progress->cmdAbort()->click();
            return;
        }
    });
    poll.start(50);
    form->cmdImport_Click();
    poll.stop();
    ASSERT_TRUE(sinceAbort.isValid()) << "the progress window never named ORTHANC";
    EXPECT_LT(sinceAbort.elapsed(), 500);
    EXPECT_EQ(shown, "Connecting to " + waitingFor + "...");
    EXPECT_FALSE(importEnabled);
    EXPECT_TRUE(boxes.isEmpty()) << texts().join('|').toStdString();
    EXPECT_TRUE(form->isImportEnabled());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the main window takes input again";
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<ProgressForm*>(w) && w->isVisible());
    EXPECT_EQ(pacs->associationsReceived(), 1) << "destination 1's echo only";
    EXPECT_TRUE(pacs->receivedFiles().isEmpty());
    EXPECT_EQ(iniBytes(), QByteArray("[Default]\nDrive=E:\n")) << "nothing saved";
    EXPECT_FALSE(QFile::exists(dir.path() + "/Logs/Error.log")) << "an abort is not an error";

    auto receipts = [this] {
        QFile f(dir.path() + "/Logs/Imports.log");
        QStringList lines;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray& l : f.readAll().split('\n'))
                if (l.contains("stopped at launch"))
                    lines << QString::fromUtf8(l).trimmed();
        return lines;
    };
    QStringList lines = receipts();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains("aborted by the operator while connecting to " + waitingFor)) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].split('\t').contains("E:")) << "the drive it would have read: " << lines[0].toStdString();

    // destination 2 refuses: one box, one error line, one more receipt line
    const QString closed = QString::number(freeLoopbackPort());
    set("txtPort2", closed);
    form->cmdImport_Click();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].text.startsWith("#1: Connection to Storage Class Provider (127.0.0.1) failed!\n"));
    EXPECT_TRUE(boxes[0].text.contains(" does not answer. Nothing was sent.")) << boxes[0].text.toStdString();
    QFile errors(dir.path() + "/Logs/Error.log");
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QByteArray errorLines = errors.readAll();
    EXPECT_EQ(errorLines.count("\r\n"), 1) << errorLines.constData();
    EXPECT_TRUE(errorLines.contains("ORTHANC (127.0.0.1:" + closed.toUtf8() + ")")) << errorLines.constData();
    lines = receipts();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].contains("ORTHANC (127.0.0.1:" + closed + ") could not be reached")) << lines[1].toStdString();
    EXPECT_TRUE(pacs->receivedFiles().isEmpty());
    EXPECT_TRUE(form->isImportEnabled());
}

// --- The drive itself -------------------------------------------------------------

// "CD or Hard Drive" on the machine's own drive table: a volume mounted now
// is imported by its letter, from its DICOMDIR, to a real storescp.
TEST_F(Launch, DicomDirFromAMountedVolumeByItsLetter)
{
    if (const QString why = LoopVolume::unavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    QTemporaryDir at;
    LoopVolume disc("PATIENT_CD");
    ASSERT_TRUE(disc.mount(at.filePath("cdrom"))) << disc.error().toStdString();
    const QStringList burnt = td::makeSeries(disc.mountPoint() + "/DICOM/SE1", 3, td::ImageRecipe {});
    td::makeDicomDir(disc.mountPoint());
    auto pacs = Peer::storescp();
    ASSERT_TRUE(pacs);
    setDriveTable(nullptr);
    restart("[Default]\nSearchBy=1\nLocation=1\n");
    auto* combo = child<QComboBox>(form.get(), "cboDrive");
    const int index = entryAt(*combo, disc.mountPoint());
    ASSERT_GE(index, 0) << "the volume is not in the drive list";
    combo->setCurrentIndex(index);
    const QString letter = combo->currentText().left(2);
    destination1(*pacs);
    form->cmdImport_Click();
    std::printf("drive entry: %s\nsummary: %s\n", qPrintable(combo->itemText(index)), qPrintable(texts().join('|')));
    EXPECT_EQ(texts(), QStringList {"3 images successfully imported!\nSTORESCP could not be asked to confirm."});
    EXPECT_EQ(appState().ImportDrive, letter);
    EXPECT_EQ(appState().DicomDirPath, disc.mountPoint() + "/DICOMDIR");
    ASSERT_TRUE(pacs->waitForFiles(3));
    std::set<std::string> sent, arrived;
    for (const QString& f : burnt)
        sent.insert(td::contentOf(f)["(0008,0018)"]);
    for (const QString& f : pacs->receivedFiles())
        arrived.insert(td::contentOf(f)["(0008,0018)"]);
    EXPECT_EQ(arrived, sent);
}

namespace {

// A disc of `images` images under a DICOMDIR, burnt and taken out.
void burn(LoopVolume& disc, const QString& at, int images, const QString& patientId)
{
    ASSERT_TRUE(disc.mount(at)) << disc.error().toStdString();
    td::ImageRecipe r;
    r.patientId = patientId;
    td::makeSeries(disc.mountPoint() + "/DICOM/SE1", images, r);
    td::makeDicomDir(disc.mountPoint());
    ASSERT_TRUE(disc.unmount());
}

QByteArray discIni(const Peer& pacs)
{
    return "[Default]\nSearchBy=1\nLocation=1\nAutoImport=1\nEjectWhenDone=1\n[DICOM]\nRemoteAET=" + pacs.aeTitle().toUtf8() +
        "\nRemoteIP=127.0.0.1\nRemotePort=" + QByteArray::number(pacs.port()) + "\n";
}

}  // namespace

// Disc after disc without UDisks2: the first by IMPORT, the next by putting
// it in; each unmounted once all of it was sent, and the window asks for the
// next.
TEST_F(Launch, DiscAfterDiscThroughTheMountTable)
{
    if (const QString why = LoopVolume::unavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    QTemporaryDir at;
    const QString point = QDir(at.path()).canonicalPath() + "/cdrom";
    LoopVolume disc1("DISC1"), disc2("DISC2");
    burn(disc1, point, 2, "P1");
    burn(disc2, point, 3, "P2");
    auto pacs = Peer::storescp();
    ASSERT_TRUE(pacs);
    setDriveTable(nullptr);
    ASSERT_TRUE(disc1.mount(point));
    restart(discIni(*pacs));
    auto* combo = child<QComboBox>(form.get(), "cboDrive");
    combo->setCurrentIndex(entryAt(*combo, point));
    form->cmdImport_Click();
    EXPECT_EQ(texts(), QStringList {"2 images successfully imported!\nSTORESCP could not be asked to confirm."});
    EXPECT_EQ(form->mediaStatus(), "Insert the next disc.");
    EXPECT_TRUE(waitUntil([&] { return entryAt(*combo, point) < 0; }, 1000)) << "disc 1 is still mounted";

    boxes.clear();
    ASSERT_TRUE(disc2.mount(point));
    ASSERT_TRUE(waitUntil([&] { return !boxes.isEmpty() && form->mediaStatus() == "Insert the next disc."; }, 30000))
        << texts().join('|').toStdString() << " / " << form->mediaStatus().toStdString();
    EXPECT_EQ(texts(), QStringList {"3 images successfully imported!\nSTORESCP could not be asked to confirm."});
    EXPECT_TRUE(pacs->waitForFiles(5));
    EXPECT_TRUE(waitUntil([&] { return entryAt(*combo, point) < 0; }, 1000)) << "disc 2 is still mounted";
}

// A destination that does not confirm an image: the disc stays in, and the
// window says why.
TEST_F(Launch, DiscStaysInWhenNotEverythingWasProved)
{
    const QStringList files = td::makeSeries(media.path() + "/DICOM/SE1", 2, td::ImageRecipe {});
    td::makeDicomDir(media.path());
    CommitScp::Options o;
    o.failUids = {QString::fromStdString(td::contentOf(files[1])["(0008,0018)"])};
    CommitScp scp(o);
    restart("[Default]\nDrive=E:\nSearchBy=1\nLocation=1\nEjectWhenDone=1\n[DICOM]\nLocalAET=VARNELO\nRemoteAET=" +
            scp.aeTitle().toUtf8() + "\nRemoteIP=127.0.0.1\nRemotePort=" + QByteArray::number(scp.port()) + "\n");
    form->cmdImport_Click();
    // one box, the summary: no eject was tried (of a drive that is no real mount it would have failed aloud)
    ASSERT_EQ(boxes.size(), 1) << texts().join('|').toStdString();
    EXPECT_EQ(boxes[0].icon, MessageBox::Icon::Warning);
    EXPECT_TRUE(boxes[0].text.endsWith("\n\nThe disc stays in the drive: not everything was proved."))
        << boxes[0].text.toStdString();
    EXPECT_EQ(form->mediaStatus(), "The disc stays in the drive: not everything was proved.");
}

// The same through UDisks2 (the stand-in on a private bus, mounting for
// real): from a medium appearing in the drive to its ejection, with times.
TEST_F(Launch, DiscAfterDiscThroughUDisks2)
{
    if (const QString why = LoopVolume::unavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    if (const QString why = UDisks2Mock::unavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    QTemporaryDir at;
    const QString point = QDir(at.path()).canonicalPath() + "/media/VARNELO_CD";
    LoopVolume disc1("DISC1"), disc2("DISC2");
    burn(disc1, point, 2, "P1");
    burn(disc2, point, 3, "P2");
    ASSERT_TRUE(disc1.attach() && disc2.attach());
    auto pacs = Peer::storescp();
    ASSERT_TRUE(pacs);
    UDisks2Mock udisks;
    ASSERT_TRUE(udisks.isRunning()) << udisks.log().toStdString();
    setMediaBusForTesting(udisks.address());
    setDriveTable(nullptr);
    restart(discIni(*pacs));
    auto* combo = child<QComboBox>(form.get(), "cboDrive");

    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    QElapsedTimer clock;
    clock.start();
    QStringList times;
    auto mark = [&](const QString& what) { times << QString("%1 ms  %2").arg(clock.elapsed(), 6).arg(what); };
    QObject::connect(form.get(), &MainForm::importRequested, [&] { mark("import started, from " + form->driveSelectorText()); });
    MessageBox::setHandler([&](const MessageBox::Request& r) {
        boxes << r;
        mark("summary shown: " + QString(r.text).replace('\n', ' '));
        return MessageBox::Answer::Ok;
    });
    auto waitForStatus = [&](const QString& text) {
        const bool shown = waitUntil([&] { return form->mediaStatus() == text; }, 30000);
        mark("window: " + form->mediaStatus());
        return shown;
    };

    udisks.addDrive("cdrom", true);
    mark("disc 1 put in (" + disc1.device() + ")");
    udisks.insertMedium("cdrom", disc1.device(), "DISC1", point, true);
    ASSERT_TRUE(waitUntil([&] { return entryAt(*combo, point) >= 0; }, 5000)) << udisks.log().toStdString();
    mark("listed: " + combo->itemText(entryAt(*combo, point)));
    combo->setCurrentIndex(entryAt(*combo, point));  // the operator chooses the drive once
    form->cmdImport_Click();
    ASSERT_TRUE(waitForStatus("Insert the next disc."));
    ASSERT_TRUE(waitUntil([&] { return entryAt(*combo, point) < 0; }, 1000)) << "disc 1 is still listed";
    mark("disc 1 gone from the list");

    mark("disc 2 put in (" + disc2.device() + ")");
    udisks.insertMedium("cdrom", disc2.device(), "DISC2", point, true);
    ASSERT_TRUE(waitUntil([&] { return entryAt(*combo, point) >= 0; }, 5000));
    mark("listed: " + combo->itemText(entryAt(*combo, point)));
    ASSERT_TRUE(waitUntil([&] { return boxes.size() == 2; }, 30000))
        << texts().join('|').toStdString() << "\nwindow: " << form->mediaStatus().toStdString()
        << "\nchosen: " << combo->currentText().toStdString() << "\n"
        << udisks.events().join('\n').toStdString();
    EXPECT_TRUE(waitForStatus("Insert the next disc."));
    EXPECT_TRUE(waitUntil([&] { return entryAt(*combo, point) < 0; }, 1000)) << "disc 2 is still mounted";
    EXPECT_TRUE(pacs->waitForFiles(5));

    // UDisks2's side of it, on the same clock
    QStringList calls;
    for (const QString& e : udisks.events()) {
        const qint64 ms = qint64(e.section(' ', 0, 0).toDouble() * 1000) - start;
        times << QString("%1 ms  UDisks2: %2").arg(ms, 6).arg(e.section(' ', 1));
        calls << e.section(' ', 1, 1);
    }
    std::stable_sort(times.begin(), times.end(), [](const QString& a, const QString& b) {
        return a.section(' ', 0, 0, QString::SectionSkipEmpty).toLongLong() < b.section(' ', 0, 0, QString::SectionSkipEmpty).toLongLong();
    });
    std::printf("%s\n", qPrintable(times.join('\n')));
    RecordProperty("sequence", times.join(" | ").toStdString());
    EXPECT_EQ(calls, QStringList({"MediumInserted", "Mount", "Unmount", "Eject", "MediumInserted", "Mount", "Unmount", "Eject"}));
    for (const QString& e : udisks.events()) {
        if (e.section(' ', 1, 1) == "Mount") {
            EXPECT_TRUE(e.endsWith("auth.no_user_interaction=1,options=ro")) << e.toStdString();
        }
    }
    EXPECT_EQ(texts(), QStringList({"2 images successfully imported!\nSTORESCP could not be asked to confirm.", "3 images successfully imported!\nSTORESCP could not be asked to confirm."}));
}
