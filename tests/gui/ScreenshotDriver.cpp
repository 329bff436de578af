// Saves PNGs of the real main window and Options dialog for the documentation:
//   varnelo_screenshots <output folder> [de]
// With "de", the windows speak German and only the first shots are taken,
// each named with "-de".
// Run under an X server (scripts/screenshots.sh uses Xvfb).

#include "base/AppState.h"
#include "base/Drives.h"
#include "base/Logs.h"
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "dicom/testdata/TestData.h"
#include "gui/BrowseForFolder.h"
#include "gui/Language.h"
#include "gui/MainForm.h"
#include "gui/MsgBoxForm.h"
#include "gui/OptionForm.h"
#include "gui/PatientsForm.h"
#include "gui/ProgressForm.h"
#include "support/Peers.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <functional>

using namespace varnelo;

namespace {

bool settle(QWidget& w)
{
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        return false;
    QTest::qWait(300);
    return true;
}

bool save(QWidget& w, const QString& path)
{
    if (!w.grab().save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s (%dx%d)\n", qPrintable(path), w.width(), w.height());
    return true;
}

// One state of the program: a fresh program folder holding the given settings file.
bool shoot(const QByteArray& ini, const std::function<bool(MainForm&)>& capture)
{
    QTemporaryDir folder;
    if (!folder.isValid())
        return false;
    appState() = AppState {};
    setProgramFolderForTesting(folder.path());
    if (!ini.isEmpty()) {
        QFile f(settingsPath());
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(ini);
    }
    MainForm form;
    const bool ok = settle(form) && capture(form);
    form.hide();
    return ok;
}

// "What is on this medium" as the import shows it after asking two PACS:
// a mother's and her baby's studies under one typed ID, one study partly
// held, one held under another patient; then a medium whose only study the
// PACS holds under another patient.
bool mediumShots(const std::function<QString(const char*)>& png)
{
    QWidget owner;
    MediumPatients medium;
    MediumStudy ct {QStringLiteral("1.2.1"), QStringLiteral("20260312"), QStringLiteral("CT THORAX MIT KM"),
                    {QStringLiteral("CT"), QStringLiteral("SR")}, {}, 40};
    ct.series << MediumSeries {QStringLiteral("1.2.1.1"), QStringLiteral("1"), QStringLiteral("CT"), QStringLiteral("Thorax 1mm"), 30, {}}
              << MediumSeries {QStringLiteral("1.2.1.2"), QStringLiteral("2"), QStringLiteral("CT"), QStringLiteral("Thorax 5mm"), 8, {}}
              << MediumSeries {QStringLiteral("1.2.1.3"), QStringLiteral("3"), QStringLiteral("SR"), QStringLiteral("Dose report"), 2, {}};
    MediumStudy mr {QStringLiteral("1.2.2"), QStringLiteral("20250110"), QStringLiteral("MRT KNIE LINKS"), {QStringLiteral("MR")}, {}, 24};
    mr.series << MediumSeries {QStringLiteral("1.2.2.1"), QStringLiteral("1"), QStringLiteral("MR"), QStringLiteral("PD fs cor"), 12, {}}
              << MediumSeries {QStringLiteral("1.2.2.2"), QStringLiteral("2"), QStringLiteral("MR"), QStringLiteral("T1 sag"), 12, {}};
    MediumStudy us {QStringLiteral("1.2.3"), QStringLiteral("20261201"), QStringLiteral("US SCHAEDEL"), {QStringLiteral("US")}, {}, 6};
    us.series << MediumSeries {QStringLiteral("1.2.3.1"), QStringLiteral("1"), QStringLiteral("US"), QString(), 6, {}};
    medium.addRecord({QStringLiteral("EXT-20931"), QString(), QStringLiteral("Lindqvist^Maria"), QStringLiteral("19910423"),
                      QStringLiteral("F"), {}},
                     {ct, mr});
    medium.addRecord({QStringLiteral("EXT-20931"), QString(), QStringLiteral("Lindqvist^Baby Girl"), QStringLiteral("20261130"),
                      QStringLiteral("F"), {}},
                     {us});
    DestinationHoldings first, backup;
    first.aet = QStringLiteral("PACS_MAIN");
    first.asked = true;
    first.studies[ct.uid] = {HeldState::Partly, 12, 40, {}};
    first.studies[mr.uid] = {HeldState::OtherPatient, 24, 24,
                            {QStringLiteral("LOC-1187"), QStringLiteral("OURHOSP"), QStringLiteral("Lindquist^Maria"), QString(), QString(), {}}};
    first.studies[us.uid] = {HeldState::New, 0, 6, {}};
    backup.aet = QStringLiteral("PACS_BACKUP");
    backup.asked = true;
    for (const MediumStudy* s : {&ct, &mr, &us})
        backup.studies[s->uid] = {HeldState::New, 0, s->images, {}};
    NewIdentity typed;
    typed.patient.PatientID = QStringLiteral("LOC-4711");
    typed.patient.IssuerOfPatientID = QStringLiteral("OURHOSP");

    PatientsForm contents(&owner, medium, typed, {first, backup});
    contents.list()->topLevelItem(0)->setCheckState(PatientsForm::Name, Qt::Checked);
    contents.list()->setCurrentItem(contents.studyItem(ct.uid));
    bool ok = settle(contents) && save(contents, png("medium-contents"));
    contents.hide();

    MediumPatients one;
    one.addRecord({QStringLiteral("EXT-20931"), QString(), QStringLiteral("Lindqvist^Maria"), QStringLiteral("19910423"),
                   QStringLiteral("F"), {}},
                  {mr});
    backup.asked = false;
    backup.why = QStringLiteral("no answer within 10 s");
    PatientsForm other(&owner, one, typed, {first, backup});
    ok = settle(other) && save(other, png("medium-other-patient")) && ok;
    other.hide();
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const bool german = argc == 3 && qstrcmp(argv[2], "de") == 0;
    if (argc != 2 && !german) {
        std::fprintf(stderr, "usage: varnelo_screenshots <output folder> [de]\n");
        return 2;
    }
    if (german)
        installTranslations(QStringLiteral("de"));
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const auto png = [&](const char* name) {
        return out.filePath(QLatin1String(name) + (german ? QStringLiteral("-de.png") : QStringLiteral(".png")));
    };
    // A typical workstation: the system disk and a CD drive with a disc.
    setDriveTable(std::make_shared<FixedDriveTable>(QList<DriveEntry> {
        {QStringLiteral("C:"), QStringLiteral("C: (/)"), QStringLiteral("/"), QStringLiteral("/dev/sda1"), false},
        {QStringLiteral("D:"), QStringLiteral("D: PATIENT_CD (/media/cdrom0)"), QStringLiteral("/media/cdrom0"),
         QStringLiteral("/dev/sr0"), true},
    }));

    // VARNELO_SHOTS=medium: only the window of what is on a medium
    bool ok = mediumShots(png);
    if (qEnvironmentVariable("VARNELO_SHOTS") == QLatin1String("medium"))
        return ok ? 0 : 1;
    ok = shoot({}, [&](MainForm& form) { return save(form, png("main-default")); }) && ok;

    ok = shoot("[Default]\n"
               "SearchBy=2\n"
               "FileSuffix=DCM\n"
               "SourceDir=/media/usb/DICOM\n"
               "WithSubDirs=1\n"
               "Location=2\n"
               "ChangeID=1\n"
               "[DICOM]\n"
               "RemoteAET=ORTHANC\n"
               "RemoteIP=10.0.0.7\n"
               "RemotePort=4242\n"
               "RemoteAET2=ARCHIVE2\n"
               "RemoteIP2=pacs2.example.org\n"
               "RemotePort2=104\n",
               [&](MainForm& form) {
                   if (auto* id = form.findChild<QLineEdit*>(QStringLiteral("txtChangeID")))
                       id->setText(QStringLiteral("PAT-0042"));
                   return save(form, png("main-folder-files-changeid"));
               }) &&
        ok;

    ok = shoot("[DICOM]\nLocalAET=VARNELO_WS1\n[Default]\nWriteLog=1\n", [&](MainForm& form) {
             OptionForm dialog(&form);
             return settle(dialog) && save(dialog, png("options"));
         }) &&
        ok;

    // The progress window while it looks for a DICOMDIR (before the run starts).
    ok = shoot({}, [&](MainForm& form) {
             QTemporaryDir media;
             appState().SearchBy = 1;
             appState().Location = 2;
             appState().ImportFolder = media.path();
             ProgressForm progress(&form, {});
             progress.show();
             if (!QTest::qWaitForWindowExposed(&progress))
                 return false;
             QTest::qWait(40);
             return save(progress, png("progress-dicomdir"));
         }) &&
        ok;

    // The launch's connection check, against a peer that takes the
    // connection and never answers; "Abort" ends it once the shot is taken.
    ok = shoot("[Default]\nSearchBy=1\nLocation=2\nSourceDir=/tmp\n[DICOM]\nLocalAET=VARNELO\nRemoteAET=ORTHANC\n"
               "RemoteIP=127.0.0.1\n",
               [&](MainForm& form) {
                   testsupport::SilentListener silent;
                   form.setBoxText(SettingsView::Box::RemotePort, QString::number(silent.port()));
                   bool shot = false;
                   QTimer::singleShot(600, [&] {
                       auto* progress = qobject_cast<ProgressForm*>(QApplication::activeModalWidget());
                       if (!progress)
                           return;
                       QTest::qWait(100);
                       shot = save(*progress, png("progress-connecting"));
                       progress->cmdAbort()->click();
                   });
                   form.cmdImport_Click();
                   return shot;
               }) &&
        ok;

    // A scan whose destination is down: the progress window at the failure,
    // the failure prompt itself, and the summary at the end.
    ok = shoot({}, [&](MainForm& form) {
             QTemporaryDir media;
             namespace td = varnelo::testdata;
             td::makeNonDicom(media.filePath(QStringLiteral("README.TXT")), td::NonDicom::Text);
             td::makeNonDicom(media.filePath(QStringLiteral("AUTORUN.INF")), td::NonDicom::Text);
             td::makeSeries(media.path(), 3, td::ImageRecipe {});
             AppState& s = appState();
             s.SearchBy = 2;
             s.Location = 2;
             s.ImportFolder = media.path();
             s.LocalAET = QStringLiteral("VARNELO");
             s.RemoteAET = QStringLiteral("ORTHANC");
             s.RemoteIP = QStringLiteral("127.0.0.1");
             s.RemotePort = QString::number(varnelo::testsupport::freeLoopbackPort());

             bool shots = true;
             struct Shooter : FailurePrompt {
                 std::function<std::int16_t(const QString&)> f;
                 std::int16_t ShowMessage(const QString& text) override { return f(text); }
             } prompt;
             ProgressForm* window = nullptr;
             prompt.f = [&](const QString& text) {
                 shots = save(*window, png("progress-scan")) && shots;
                 MsgBoxForm box(window);
                 box.setMessage(text);
                 shots = settle(box) && save(box, png("failure-prompt")) && shots;
                 box.hide();
                 return FailurePrompt::Abort;
             };
             MessageBox::setHandler([&](const MessageBox::Request& r) {
                 QMessageBox summary(QMessageBox::Information, QStringLiteral("Varnelo"), r.text, QMessageBox::Ok, window);
                 shots = settle(summary) && save(summary, png("summary")) && shots;
                 summary.hide();
                 return MessageBox::Answer::Ok;
             });
             ProgressForm progress(
                 &form, [] { return QString(); }, &prompt);
             window = &progress;
             progress.exec();
             MessageBox::setHandler({});
             return shots;
         }) &&
        ok;
    if (german)
        return ok ? 0 : 1;

    // The summary after each answer a PACS can give for what it stored: a
    // DCMTK peer that confirms all, one that fails an instance, one that never
    // answers (the real 60 s), and storescp, which cannot be asked.
    // A whole run in the progress window, as the settings stand; the summary
    // box it ends with is saved as `file`, and the run's receipt printed.
    const auto runToSummary = [&](MainForm& form, const QString& file) {
        bool shot = false;
        ProgressForm* window = nullptr;
        MessageBox::setHandler([&](const MessageBox::Request& r) {
            QMessageBox summary(QMessageBox::Information, QStringLiteral("Varnelo"), r.text, QMessageBox::Ok, window);
            shot = settle(summary) && save(summary, out.filePath(file));
            summary.hide();
            return MessageBox::Answer::Ok;
        });
        ProgressForm progress(&form, [] { return QString(); });
        window = &progress;
        progress.exec();
        MessageBox::setHandler({});
        QFile receipt(logFolder() + QStringLiteral("/Imports.log"));
        if (receipt.open(QIODevice::ReadOnly))
            std::printf("  receipt: %s", receipt.readAll().constData());
        return shot;
    };
    const auto summaryShot = [&](const QString& file, const testsupport::CommitScp::Options& options, bool second) {
        return shoot({}, [&](MainForm& form) {
            QTemporaryDir media;
            const QStringList files = testdata::makeSeries(media.path(), 3, testdata::ImageRecipe {});
            testsupport::CommitScp::Options o = options;
            if (!o.failUids.isEmpty())  // the file named: the instance in it fails
                o.failUids = {QString::fromStdString(testdata::contentOf(files[1])["(0008,0018)"])};
            testsupport::CommitScp scp(o);
            std::unique_ptr<testsupport::Peer> storescp;
            AppState& s = appState();
            s.SearchBy = 2;
            s.Location = 2;
            s.ImportFolder = media.path();
            s.LocalAET = QStringLiteral("VARNELO");
            s.RemoteAET = QStringLiteral("PACS");
            s.RemoteIP = QStringLiteral("127.0.0.1");
            s.RemotePort = QString::number(scp.port());
            if (second) {
                storescp = testsupport::Peer::storescp();
                s.UseDestination2 = true;
                s.RemoteAET2 = storescp->aeTitle();
                s.RemoteIP2 = QStringLiteral("127.0.0.1");
                s.RemotePort2 = QString::number(storescp->port());
            }
            return runToSummary(form, file);
        });
    };
    {
        testsupport::CommitScp::Options all, partial, silent;
        all.aeTitle = partial.aeTitle = silent.aeTitle = QStringLiteral("PACS");
        partial.failUids = {QStringLiteral("the second image")};
        silent.mode = testsupport::CommitScp::Mode::Silent;
        ok = summaryShot(QStringLiteral("summary-confirmed.png"), all, true) && ok;
        ok = summaryShot(QStringLiteral("summary-partial.png"), partial, false) && ok;
        ok = summaryShot(QStringLiteral("summary-no-answer.png"), silent, false) && ok;
    }

    // Orthanc as the PACS, the program one of its modalities: its report
    // comes over an association of its own to CommitPort.
    if (QFileInfo::exists(QStringLiteral("/usr/sbin/Orthanc")))
        ok = shoot({}, [&](MainForm& form) {
                 QTemporaryDir media;
                 testdata::makeSeries(media.path(), 5, testdata::ImageRecipe {});
                 testsupport::Peer::Options o;
                 o.aeTitle = QStringLiteral("ORTHANC");
                 o.modalityAet = QStringLiteral("VARNELO");
                 o.modalityPort = testsupport::freeLoopbackPort();
                 auto orthanc = testsupport::Peer::orthanc(o);
                 if (!orthanc)
                     return false;
                 AppState& s = appState();
                 s.SearchBy = 2;
                 s.Location = 2;
                 s.ImportFolder = media.path();
                 s.LocalAET = QStringLiteral("VARNELO");
                 s.RemoteAET = QStringLiteral("ORTHANC");
                 s.RemoteIP = QStringLiteral("127.0.0.1");
                 s.RemotePort = QString::number(orthanc->port());
                 s.CommitPort = o.modalityPort;
                 return runToSummary(form, QStringLiteral("summary-orthanc.png"));
             }) &&
            ok;

    // "Patients on this medium", from real runs over a folder: a mother's and
    // her baby's images under one typed ID, then one patient against a
    // worklist pick whose name is spelled otherwise.
    const auto patientsShot = [&](const QString& file, const QList<testdata::ImageRecipe>& patients,
                                  const std::optional<DcmPatient>& picked) {
        return shoot({}, [&](MainForm& form) {
            QTemporaryDir media;
            int n = 0;
            for (const testdata::ImageRecipe& r : patients) {
                ++n;
                testdata::makeSeries(media.filePath(QStringLiteral("SE%1").arg(n)), 2 + n, r);
            }
            AppState& s = appState();
            s.SearchBy = 2;
            s.Location = 2;
            s.ImportFolder = media.path();
            s.ImportWithSubDirs = 1;
            s.ChangeID = true;
            s.LocalAET = QStringLiteral("VARNELO");
            bool shot = false;
            PatientsForm::setAnswererForTesting([&](PatientsForm& f) {
                if (f.list()->topLevelItemCount() > 1)
                    f.list()->topLevelItem(0)->setCheckState(PatientsForm::Name, Qt::Checked);
                shot = settle(f) && save(f, out.filePath(file));
                f.cmdCancel()->click();
            });
            const QString id = picked ? picked->PatientID : QStringLiteral("LOC-4711");
            ProgressForm progress(&form, [id] { return id; });
            progress.run().pickedPatient = [picked] { return picked; };
            progress.exec();
            PatientsForm::setAnswererForTesting({});
            return shot;
        });
    };
    testdata::ImageRecipe mother, baby;
    mother.patientName = QStringLiteral("Lindqvist^Maria");
    mother.patientId = QStringLiteral("EXT-20931");
    mother.birthDate = QStringLiteral("19910423");
    mother.sex = QStringLiteral("F");
    baby.patientName = QStringLiteral("Lindqvist^Baby Girl");
    baby.patientId = QStringLiteral("EXT-20931");
    baby.birthDate = QStringLiteral("20261130");
    baby.sex = QStringLiteral("F");
    ok = patientsShot(QStringLiteral("patients-several.png"), {mother, baby}, std::nullopt) && ok;
    DcmPatient local;
    local.PatientID = QStringLiteral("LOC-4711");
    local.IssuerOfPatientID = QStringLiteral("OURHOSP");
    local.PatientName = QString::fromUtf8("Lindkvist^María");
    local.BirthDate = QStringLiteral("19910423");
    local.Sex = QStringLiteral("F");
    ok = patientsShot(QStringLiteral("patients-picked.png"), {mother}, local) && ok;

    // The main window after a pick in the worklist: the ID and whose it is.
    ok = shoot("[Default]\nChangeID=1\nSearchBy=1\n", [&](MainForm& form) {
             auto* box = form.findChild<QLineEdit*>(QStringLiteral("txtChangeID"));
             auto* whose = form.findChild<QLabel*>(QStringLiteral("lblPicked"));
             if (!box || !whose)
                 return false;
             box->setText(local.PatientID);
             whose->setText(QString::fromUtf8("Lindkvist^María, born 23.04.1991, F"));
             return save(form, out.filePath(QStringLiteral("main-picked.png")));
         }) &&
        ok;

    // An archive as the medium: the picker showing a ZIP and a disc image
    // beside the folders, then a run from a disc image made by xorriso.
    ok = shoot({}, [&](MainForm& form) {
             QTemporaryDir downloads;
             QDir(downloads.path()).mkdir(QStringLiteral("Patient CD"));
             for (const char* name : {"from-portal.zip", "colleague-cd.iso", "letter.pdf"})
                 QFile(downloads.filePath(QLatin1String(name))).open(QIODevice::WriteOnly);
             bool shot = false;
             QTimer::singleShot(0, [&] {
                 auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                 if (!dialog)
                     return;
                 dialog->setDirectory(downloads.path());
                 dialog->selectFile(downloads.filePath(QStringLiteral("from-portal.zip")));
                 shot = settle(*dialog) && save(*dialog, out.filePath(QStringLiteral("picker-zip.png")));
                 dialog->reject();
             });
             BrowseForFolder(QStringLiteral("Select specific folder:"));
             (void)form;
             return shot;
         }) &&
        ok;
    {
        QTemporaryDir work;
        namespace td = varnelo::testdata;
        const QString cd = work.filePath(QStringLiteral("cd"));
        td::ImageRecipe recipe;
        recipe.patientName = QStringLiteral("Lindqvist^Erik");
        recipe.clinicalHeader = true;
        td::makeSeries(cd + QStringLiteral("/DICOM/SE1"), 12, recipe);
        td::makeDicomDir(cd);
        const QString iso = work.filePath(QStringLiteral("colleague-cd.iso"));
        const bool made = QProcess::execute(QStringLiteral("xorriso"), {QStringLiteral("-as"), QStringLiteral("mkisofs"), QStringLiteral("-quiet"), QStringLiteral("-J"), QStringLiteral("-R"), QStringLiteral("-o"), iso, cd}) == 0;
        auto storescp = testsupport::Peer::storescp();
        const QByteArray ini = QStringLiteral("[Default]\nSearchBy=1\nLocation=2\nSourceDir=%1\n[DICOM]\nLocalAET=VARNELO\n"
                                              "RemoteAET=%2\nRemoteIP=127.0.0.1\nRemotePort=%3\n")
                                   .arg(iso, storescp->aeTitle())
                                   .arg(storescp->port())
                                   .toUtf8();
        ok = made && shoot(ini, [&](MainForm& form) {
                 bool shot = save(form, out.filePath(QStringLiteral("run-iso.png")));
                 // what "IMPORT" takes from the window
                 AppState& s = appState();
                 s.SearchBy = 1;
                 s.Location = 2;
                 s.ImportFolder = iso;
                 s.LocalAET = QStringLiteral("VARNELO");
                 s.RemoteAET = storescp->aeTitle();
                 s.RemoteIP = QStringLiteral("127.0.0.1");
                 s.RemotePort = QString::number(storescp->port());
                 return runToSummary(form, QStringLiteral("run-iso-summary.png")) && shot;
             }) &&
            ok;
    }

    return ok ? 0 : 1;
}
