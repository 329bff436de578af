#include "base/AppState.h"
#include "base/Error.h"
#include "base/Logs.h"
#include "gui/AboutForm.h"
#include "gui/BrowseForFolder.h"
#include "gui/MsgBoxForm.h"
#include "gui/PatientsForm.h"
#include "gui/ProgressForm.h"
#include "gui/cAnimControl.h"
#include "import/IdentityValues.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMovie>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <gtest/gtest.h>

#include "GuiTest.h"

using namespace varnelo;

namespace {

// Answers the next prompts by pressing their real buttons.
struct PromptScript {
    explicit PromptScript(std::function<void(MsgBoxForm&)> f) { MsgBoxForm::setAnswererForTesting(std::move(f)); }
    ~PromptScript() { MsgBoxForm::setAnswererForTesting({}); }
};

}  // namespace

TEST(MsgBoxForm, AnswersAndTheAlwaysIgnoreChoice)
{
    QWidget main;
    QString shown;
    bool firstOpenedClear = true;

    {
        PromptScript script([&](MsgBoxForm& f) {
            shown = f.lblMessage()->text();
            firstOpenedClear = !f.chkAlwaysIgnore()->isChecked();
            EXPECT_EQ(f.windowTitle(), "Message");
            f.chkAlwaysIgnore()->setChecked(true);
            f.cmdRetry()->click();
        });
        EXPECT_EQ(MsgBoxForm::ShowMessage(&main, "Error #0: x"), 4);
        EXPECT_TRUE(appState().AlwaysIgnore);
        EXPECT_EQ(shown, "Error #0: x");
        EXPECT_TRUE(firstOpenedClear);
    }
    {
        // a second prompt opens with a clear box
        PromptScript script([&](MsgBoxForm& f) {
            EXPECT_FALSE(f.chkAlwaysIgnore()->isChecked());
            f.cmdIgnore()->click();
        });
        EXPECT_EQ(MsgBoxForm::ShowMessage(&main, "again"), 5);
        EXPECT_FALSE(appState().AlwaysIgnore);
    }
    {
        PromptScript script([&](MsgBoxForm& f) { f.cmdAbort()->click(); });
        EXPECT_EQ(MsgBoxForm::ShowMessage(&main, "abort"), 3);
    }
    {
        // the close box counts as Ignore and does not take the tick over
        PromptScript script([&](MsgBoxForm& f) {
            f.chkAlwaysIgnore()->setChecked(true);
            f.close();
        });
        EXPECT_EQ(MsgBoxForm::ShowMessage(&main, "closed"), 5);
        EXPECT_FALSE(appState().AlwaysIgnore);
    }
    {
        // Escape does nothing; Enter presses the focused button (Abort first)
        PromptScript script([&](MsgBoxForm& f) {
            QTest::keyClick(&f, Qt::Key_Escape);
            EXPECT_TRUE(f.isVisible());
            f.cmdAbort()->setFocus();
            QTest::keyClick(f.cmdAbort(), Qt::Key_Return);
        });
        EXPECT_EQ(MsgBoxForm::ShowMessage(&main, "keys"), 3);
    }
}

TEST(cAnimControl, OpensTheProgramClipWhenTheOwnerIsSet)
{
    QWidget owner;
    owner.resize(113, 49);
    cAnimControl anim;
    anim.setOwner(nullptr);  // nothing happens
    EXPECT_EQ(anim.hwnd(), nullptr);

    anim.setResourceId(2);  // stored, opens with the owner
    EXPECT_FALSE(anim.isOpen());
    anim.setOwner(&owner);
    ASSERT_TRUE(anim.isOpen());
    // without Centre the control takes the clip's frame size
    EXPECT_EQ(anim.Width(), 80);
    EXPECT_EQ(anim.Height(), 50);

    auto* label = qobject_cast<QLabel*>(anim.hwnd());
    ASSERT_NE(label, nullptr);
    ASSERT_NE(label->movie(), nullptr);
    EXPECT_EQ(label->movie()->frameCount(), 29);
    EXPECT_NEAR(label->movie()->nextFrameDelay(), 1000 / 6, 4);
    // the background is transparent: cyan never shows
    const QImage first = label->movie()->currentImage();
    EXPECT_EQ(first.pixelColor(0, 0).alpha(), 0);

    EXPECT_FALSE(anim.isPlaying()) << "AutoPlay is off";
    anim.StartPlay(0, -1, -1);
    EXPECT_TRUE(anim.isPlaying());
    // loops through the last frame and on
    QElapsedTimer t;
    t.start();
    int highest = 0;
    bool wrapped = false;
    while (t.elapsed() < 7000 && !wrapped) {
        QTest::qWait(50);
        const int f = anim.currentFrame();
        if (f < highest)
            wrapped = true;
        highest = std::max(highest, f);
    }
    EXPECT_TRUE(wrapped);
    EXPECT_EQ(highest, 28);
    EXPECT_TRUE(anim.isPlaying());
    anim.StopPlay();
    const int stoppedAt = anim.currentFrame();
    QTest::qWait(400);
    EXPECT_EQ(anim.currentFrame(), stoppedAt);
}

TEST(cAnimControl, CentredAutoPlayAndMissingResourceFile)
{
    QWidget owner;
    owner.resize(113, 49);
    cAnimControl anim;
    anim.setAutoPlay(true);
    anim.setCentre(true);
    anim.setTransparent(true);
    anim.setResourceId(2);
    anim.setOwner(&owner);
    ASSERT_TRUE(anim.isOpen());
    EXPECT_TRUE(anim.isPlaying());
    EXPECT_EQ(anim.Width(), 113) << "centred, the control keeps the owner's size";

    // a resource file that does not exist: empty area, no error
    EXPECT_NO_THROW(anim.setResourceFileName("/nonexistent/Other.rcc"));
    EXPECT_FALSE(anim.isOpen());
    EXPECT_EQ(anim.lastErrorNumber(), 45003);
    EXPECT_EQ(anim.lastErrorDescription(), "Failed to load the resource library '/nonexistent/Other.rcc'");
    // a clip file that is not one
    anim.setFilename("/nonexistent/clip.avi");
    EXPECT_FALSE(anim.isOpen());
    EXPECT_EQ(anim.lastErrorNumber(), 45002);
    EXPECT_EQ(anim.lastErrorDescription(), "Failed to open the file '/nonexistent/clip.avi'");
    anim.StartPlay(0, -1, -1);
    EXPECT_FALSE(anim.isPlaying());
}

TEST(PatientsForm, TicksMarksAndAnswers)
{
    QWidget owner;
    MediumPatients medium;
    DcmPatient mother {"EXT-1", "", "Lindqvist^Maria", "19910423", "F", {}};
    DcmPatient baby {"EXT-1", "", "Lindqvist^Baby Girl", "20261130", "F", {}};
    medium.addImage(mother, "1.2.3");
    medium.addImage(baby, "1.2.4");
    medium.addImage(baby, "1.2.4");
    NewIdentity typed;
    typed.patient.PatientID = "LOC-1";

    PatientsForm several(&owner, medium, typed);
    EXPECT_EQ(several.windowTitle(), "What is on this medium");
    EXPECT_EQ(several.list()->columnCount(), PatientsForm::Count) << "no destination asked, nothing held";
    ASSERT_EQ(several.list()->topLevelItemCount(), 2);
    EXPECT_EQ(several.list()->topLevelItem(1)->text(PatientsForm::Images), "2");
    EXPECT_EQ(several.list()->topLevelItem(1)->text(PatientsForm::Studies), "1");
    // none ticked at first, and nothing to import until one is
    EXPECT_EQ(several.list()->topLevelItem(0)->checkState(PatientsForm::Name), Qt::Unchecked);
    EXPECT_FALSE(several.cmdImport()->isEnabled());
    // what the two do not share is marked; the common ID is not
    EXPECT_TRUE(several.isMarked(0, PatientsForm::Name) && several.isMarked(1, PatientsForm::BirthDate));
    EXPECT_FALSE(several.isMarked(0, PatientsForm::Id) || several.isMarked(0, PatientsForm::Sex));
    EXPECT_TRUE(several.lblIdentity()->text().contains("LOC-1"));
    several.list()->topLevelItem(1)->setCheckState(PatientsForm::Name, Qt::Checked);
    ASSERT_TRUE(several.cmdImport()->isEnabled());
    several.cmdImport()->click();
    ASSERT_TRUE(several.result());
    EXPECT_EQ(several.result()->patients, (QList<bool> {false, true}));

    // one patient against a pick: ticked at first; "Cancel" answers nullopt
    MediumPatients one;
    one.addImage(mother, "1.2.3");
    NewIdentity picked;
    picked.picked = true;
    picked.patient = {"LOC-1", "OURHOSP", "LINDQVIST^MARIA^^", "19910423", "M", {}};
    PatientsForm::setAnswererForTesting([](PatientsForm& f) {
        EXPECT_EQ(f.list()->topLevelItem(0)->checkState(PatientsForm::Name), Qt::Checked);
        EXPECT_TRUE(f.cmdImport()->isEnabled());
        EXPECT_FALSE(f.isMarked(0, PatientsForm::Name)) << "case and trailing carets do not count";
        EXPECT_TRUE(f.isMarked(0, PatientsForm::Sex));
        EXPECT_TRUE(f.lblIdentity()->text().contains("OURHOSP"));
        f.cmdCancel()->click();
    });
    EXPECT_EQ(PatientsForm::choose(&owner, one, picked, {}), std::nullopt);
    PatientsForm::setAnswererForTesting({});
}

// A name is shown as it is stored, every hidden character visible and the
// cell in a direction of its own; what a row leaves empty says so.
TEST(PatientsForm, ShowsWhatNamesHoldAndWhatIsUnknown)
{
    QWidget owner;
    MediumPatients medium;
    medium.addImage({"ID-1", "", "BIDI\u202ELIVE^X", "", "", {}}, "1.2.3");
    medium.addImage({"ID-1", "HOSP_A", "LINE\nBREAK\x1B^Y", "19910423", "F", {}}, "1.2.4");
    medium.addImage({"ID-1", "HOSP_B", "LINE\nBREAK\x1B^Y", "19910423", "F", {}}, "1.2.5");
    NewIdentity typed;
    typed.patient.PatientID = "LOC-1";
    PatientsForm form(&owner, medium, typed);
    QTreeWidget* list = form.list();
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->headerItem()->text(PatientsForm::Issuer), "Issuer of ID");

    EXPECT_EQ(list->topLevelItem(0)->text(PatientsForm::Name), "\u2068BIDI<U+202E>LIVE^X\u2069");
    EXPECT_EQ(list->topLevelItem(1)->text(PatientsForm::Name), "\u2068LINE<U+000A>BREAK<U+001B>^Y\u2069");
    for (int c : {PatientsForm::Issuer, PatientsForm::BirthDate, PatientsForm::Sex})
        EXPECT_EQ(list->topLevelItem(0)->text(c), "(unknown)") << c;
    // two patients apart only by the issuer of their ID: both shown, marked
    EXPECT_EQ(list->topLevelItem(1)->text(PatientsForm::Issuer), "\u2068HOSP_A\u2069");
    EXPECT_EQ(list->topLevelItem(2)->text(PatientsForm::Issuer), "\u2068HOSP_B\u2069");
    EXPECT_TRUE(form.isMarked(1, PatientsForm::Issuer));

    // nothing hidden anywhere but the isolate around each value
    for (int row = 0; row < 3; ++row)
        for (int c = 0; c < PatientsForm::Count; ++c) {
            QString text = list->topLevelItem(row)->text(c);
            if (text.startsWith(QChar(0x2068)) && text.endsWith(QChar(0x2069)))
                text = text.mid(1, text.size() - 2);
            for (const char32_t ch : text.toUcs4())
                EXPECT_FALSE(isHiddenCharacter(ch)) << row << "/" << c << ": U+" << std::hex << static_cast<uint>(ch);
        }
}

namespace {

// A medium of two patients: Maria's CT study, 12 of its 40 images at PACS1,
// and her MR study, which PACS1 holds under Smith^John; Erik's new study.
// PACS2 did not answer.
struct HeldMedium {
    MediumPatients medium;
    QList<DestinationHoldings> holdings;

    HeldMedium()
    {
        MediumStudy ct {"1.2.1", "20260312", "CT THORAX", {"CT", "SR"}, {}, 40};
        ct.series << MediumSeries {"1.2.1.1", "1", "CT", "Thorax 1mm", 30, {}} << MediumSeries {"1.2.1.2", "2", "SR", "", 10, {}};
        MediumStudy mr {"1.2.2", "20250101", "MR KNEE", {"MR"}, {MediumSeries {"1.2.2.1", "3", "MR", "T1", 5, {}}}, 5};
        MediumStudy xa {"1.2.3", "", "", {}, {}, 8};
        medium.addRecord({"EXT-1", "", "Lindqvist^Maria", "19910423", "F", {}}, {ct, mr});
        medium.addRecord({"EXT-2", "", "Lindqvist^Erik", "19600101", "M", {}}, {xa});
        DestinationHoldings one;
        one.aet = "PACS1";
        one.asked = true;
        one.studies["1.2.1"] = {HeldState::Partly, 12, 40, {}};
        one.studies["1.2.2"] = {HeldState::OtherPatient, 5, 5, {"4711", "", "Smith^John", "", "", {}}};
        one.studies["1.2.3"] = {HeldState::New, 0, 8, {}};
        DestinationHoldings two;
        two.aet = "PACS2";
        two.why = "no answer";
        for (const char* uid : {"1.2.1", "1.2.2", "1.2.3"})
            two.studies[uid] = {HeldState::NotAsked, 0, 0, {}};
        holdings << one << two;
    }
};

}  // namespace

// What each destination holds of each study, the ticks the window starts
// with, and the answer as the operator changed it.
TEST(PatientsForm, StudiesShowWhatIsHeldAndComeBackAsTicked)
{
    QWidget owner;
    HeldMedium m;
    PatientsForm form(&owner, m.medium, NewIdentity {}, m.holdings);
    QTreeWidget* tree = form.list();
    const int pacs1 = PatientsForm::destinationColumn(0), pacs2 = PatientsForm::destinationColumn(1);
    const int again = form.sendAgainColumn();
    EXPECT_EQ(tree->headerItem()->text(pacs1), "PACS1");
    EXPECT_EQ(tree->headerItem()->text(pacs2), "PACS2");

    QTreeWidgetItem* ct = form.studyItem("1.2.1");
    QTreeWidgetItem* mr = form.studyItem("1.2.2");
    QTreeWidgetItem* xa = form.studyItem("1.2.3");
    ASSERT_TRUE(ct && mr && xa);
    EXPECT_EQ(ct->parent(), tree->topLevelItem(0));
    EXPECT_TRUE(ct->text(PatientsForm::Name).contains(shownDate(QDate(2026, 3, 12)))) << ct->text(0).toStdString();
    EXPECT_TRUE(ct->text(PatientsForm::Name).contains("CT THORAX") && ct->text(PatientsForm::Name).contains("CT, SR"));
    EXPECT_EQ(ct->text(PatientsForm::Images), "40");
    ASSERT_EQ(ct->childCount(), 2);
    EXPECT_TRUE(ct->child(0)->text(PatientsForm::Name).contains("Series") && ct->child(0)->text(PatientsForm::Name).contains("Thorax 1mm"));
    EXPECT_EQ(ct->child(0)->text(PatientsForm::Images), "30");
    EXPECT_FALSE(ct->child(0)->data(PatientsForm::Name, Qt::CheckStateRole).isValid()) << "no tick for a series";
    EXPECT_TRUE(ct->isExpanded()) << "few rows: studies open";

    EXPECT_EQ(ct->text(pacs1), "12 of 40 held");
    EXPECT_EQ(ct->text(pacs2), "could not be asked");
    EXPECT_EQ(xa->text(pacs1), "new");
    EXPECT_EQ(mr->text(pacs1), "held under \u2068Smith^John\u2069 (ID \u20684711\u2069)");
    // a partly held study goes, its held images not again; one held under
    // another patient stays out, marked; a new one has nothing to send again
    EXPECT_EQ(ct->checkState(PatientsForm::Name), Qt::Checked);
    EXPECT_EQ(ct->checkState(again), Qt::Unchecked);
    EXPECT_EQ(mr->checkState(PatientsForm::Name), Qt::Unchecked);
    EXPECT_FALSE(mr->icon(PatientsForm::Name).isNull());
    EXPECT_EQ(mr->foreground(PatientsForm::Name).color(), QColor(176, 0, 0));
    EXPECT_FALSE(xa->data(again, Qt::CheckStateRole).isValid());
    EXPECT_TRUE(xa->icon(PatientsForm::Name).isNull());
    EXPECT_TRUE(form.lblText()->text().contains("Send again") && form.lblText()->text().contains("another patient") &&
                form.lblText()->text().contains("PACS2"))
        << form.lblText()->text().toStdString();

    // "Send again" on an unticked study ticks it; unticking a patient
    // unticks and locks its studies, and gives them back when ticked again
    ct->setCheckState(PatientsForm::Name, Qt::Unchecked);
    ct->setCheckState(again, Qt::Checked);
    EXPECT_EQ(ct->checkState(PatientsForm::Name), Qt::Checked);
    mr->setCheckState(PatientsForm::Name, Qt::Checked);
    tree->topLevelItem(1)->setCheckState(PatientsForm::Name, Qt::Unchecked);
    EXPECT_EQ(xa->checkState(PatientsForm::Name), Qt::Unchecked);
    EXPECT_TRUE(xa->isDisabled());
    tree->topLevelItem(0)->setCheckState(PatientsForm::Name, Qt::Unchecked);
    EXPECT_FALSE(form.cmdImport()->isEnabled()) << "nothing left to send";
    tree->topLevelItem(0)->setCheckState(PatientsForm::Name, Qt::Checked);
    EXPECT_EQ(mr->checkState(PatientsForm::Name), Qt::Checked);
    ASSERT_TRUE(form.cmdImport()->isEnabled());
    form.cmdImport()->click();
    ASSERT_TRUE(form.result());
    EXPECT_EQ(form.result()->patients, (QList<bool> {true, false}));
    EXPECT_EQ(form.result()->studiesLeftOut, QSet<QString> {"1.2.3"});
    EXPECT_EQ(form.result()->sendAgain, QSet<QString> {"1.2.1"});

    // the progress window's prompt: Escape answers as "Cancel"
    PatientsForm::setAnswererForTesting([](PatientsForm& f) { QTest::keyClick(&f, Qt::Key_Escape); });
    PatientsFormPrompt prompt(&owner);
    EXPECT_EQ(prompt.chooseContents(m.medium, NewIdentity {}, m.holdings), std::nullopt);
    PatientsForm::setAnswererForTesting({});

    // many rows: the studies start closed, the patients open
    MediumStudy large {"1.3.1", "20260312", "CT", {"CT"}, {}, 25};
    for (int i = 1; i <= 25; ++i)
        large.series << MediumSeries {QString("1.3.1.%1").arg(i), QString::number(i), "CT", "", 1, {}};
    m.medium.addRecord({"EXT-3", "", "Berg^Ola", "", "", {}}, {large});
    PatientsForm many(&owner, m.medium, NewIdentity {}, m.holdings);
    EXPECT_FALSE(many.studyItem("1.3.1")->isExpanded());
    EXPECT_TRUE(many.list()->topLevelItem(2)->isExpanded());
}

// A screen reader finds the tree by its name, hears each tick's state and
// ticks it with the cell's action.
TEST(PatientsForm, TicksAreAccessible)
{
    QWidget owner;
    HeldMedium m;
    PatientsForm form(&owner, m.medium, NewIdentity {}, m.holdings);
    form.show();
    QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(form.list());
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->role(), QAccessible::Tree);
    EXPECT_EQ(tree->text(QAccessible::Name), "What is on this medium");

    QTreeWidgetItem* ct = form.studyItem("1.2.1");
    QAccessibleInterface *tick = nullptr, *sendAgain = nullptr, *held = nullptr;
    for (int i = 0; i < tree->childCount(); ++i) {
        QAccessibleInterface* cell = tree->child(i);
        ASSERT_TRUE(cell) << i;
        EXPECT_EQ(tree->indexOfChild(cell), i);
        const QString name = cell->text(QAccessible::Name);
        if (name == ct->text(PatientsForm::Name))
            tick = cell;
        else if (name == "Send again" && !sendAgain)
            sendAgain = cell;
        else if (name == "PACS1: 12 of 40 held")
            held = cell;
    }
    ASSERT_TRUE(tick && sendAgain && held);
    EXPECT_EQ(tree->child(PatientsForm::Images)->text(QAccessible::Name), "Images") << "the header row first";
    EXPECT_TRUE(tick->state().checkable && tick->state().checked);
    EXPECT_TRUE(sendAgain->state().checkable && !sendAgain->state().checked);
    EXPECT_FALSE(held->state().checkable) << "a state, not a tick";
    ASSERT_TRUE(tick->actionInterface() && held->actionInterface());
    EXPECT_TRUE(held->actionInterface()->actionNames().isEmpty());

    tick->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(ct->checkState(PatientsForm::Name), Qt::Unchecked);
    EXPECT_FALSE(tick->state().checked);
    sendAgain->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(ct->checkState(form.sendAgainColumn()), Qt::Checked);
    EXPECT_EQ(ct->checkState(PatientsForm::Name), Qt::Checked) << "sending again sends";

    // an unticked patient's study cannot be ticked
    form.list()->topLevelItem(0)->setCheckState(PatientsForm::Name, Qt::Unchecked);
    EXPECT_TRUE(tick->state().disabled);
    EXPECT_TRUE(tick->actionInterface()->actionNames().isEmpty());
}

TEST(BrowseForFolder, ShowsFoldersAndArchivesAndChoosesEither)
{
    QTemporaryDir top;
    for (const char* name : {"cd.zip", "DISC.ISO", "notes.txt", "image.dcm"}) {
        QFile f(top.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QDir(top.path()).mkdir("Patient"));
    // Drives the real dialog, opened for the box's text `current`: where it
    // opens, what it lists in `top`, then one pick.
    QString openedAt;
    QStringList preselected;
    auto pick = [&](const QString& current, const QString& select) {
        QStringList listed;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_TRUE(dialog);
            openedAt = dialog->directory().absolutePath();
            preselected = dialog->selectedFiles();
            dialog->setDirectory(top.path());
            auto* view = dialog->findChild<QListView*>("listView");
            ASSERT_TRUE(view);
            QElapsedTimer t;
            t.start();
            while (view->model()->rowCount(view->rootIndex()) < 3 && t.elapsed() < 5000)
                QTest::qWait(20);
            for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
                listed << view->model()->index(r, 0, view->rootIndex()).data().toString();
            // as the operator does: a click on the name, or the name typed
            if (auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit"))
                edit->setText(select);
            dialog->selectFile(top.filePath(select));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        const QString chosen = BrowseForFolder("Select specific folder:", current);
        listed.sort();
        EXPECT_EQ(listed, QStringList({"DISC.ISO", "Patient", "cd.zip"}));
        return chosen;
    };
    // the archive in use: its folder, with it selected
    EXPECT_EQ(pick(top.filePath("DISC.ISO"), "cd.zip").toStdString(), top.filePath("cd.zip").toStdString());
    EXPECT_EQ(openedAt, top.path());
    EXPECT_EQ(preselected, QStringList({top.filePath("DISC.ISO")}));
    EXPECT_EQ(pick(top.filePath("Patient"), "Patient").toStdString(), top.filePath("Patient").toStdString());
    EXPECT_EQ(openedAt, top.filePath("Patient"));
    // a folder that is gone, or none yet: the user's home, never "/"
    pick(top.filePath("gone"), "cd.zip");
    EXPECT_EQ(openedAt, QDir::homePath());
    EXPECT_EQ(pickerStartFolder(QString()), QDir::homePath());
    EXPECT_EQ(pickerStartFolder(QStringLiteral("  ") + top.path() + QStringLiteral(" ")), top.path());
}

TEST(ScreenReader, ProgressWindowAndFailurePromptNameEveryControl)
{
    ProgressForm progress(nullptr, [] { return QString(); });
    const QStringList spoken = varnelo::test::spokenNames(&progress);
    EXPECT_TRUE(spoken.contains("pbDetail=Progress of this folder")) << spoken.join(", ").toStdString();
    EXPECT_TRUE(spoken.contains("pbComplete=Progress of the whole import")) << spoken.join(", ").toStdString();
    EXPECT_EQ(varnelo::test::unnamedOrSameNamed(&progress), QStringList());

    MsgBoxForm prompt(&progress);
    EXPECT_FALSE(varnelo::test::spokenNames(&prompt).isEmpty());
    EXPECT_EQ(varnelo::test::unnamedOrSameNamed(&prompt), QStringList());
}

namespace {
class AboutTest : public varnelo::test::GuiTest {
};
}  // namespace

// Help > About: versions, the station and the files in force, as text that
// can be selected and copied whole.
TEST_F(AboutTest, SaysVersionsStationAndFilesAndCopiesThem)
{
    appState().LocalAET = QStringLiteral("STATION7");
    appState().CommitPort = 11113;
    appState().IniPath = dir.filePath(QStringLiteral("user.ini"));
    writeSystemIni("[Locked]\nKeys=DICOM/RemoteAET, Audit/*\n");
    AboutForm about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    auto* text = child<QPlainTextEdit>(&about, "txtAbout");
    const QStringList lines = text->toPlainText().split('\n');
    auto line = [&](const QString& start) {
        for (const QString& l : lines)
            if (l.startsWith(start))
                return l;
        return QStringLiteral("<no line %1>").arg(start);
    };
    EXPECT_TRUE(lines.value(0).startsWith("Varnelo ")) << lines.value(0).toStdString();
    EXPECT_EQ(line("Qt "), QStringLiteral("Qt %1 (built with %2)").arg(qVersion(), QT_VERSION_STR));
    const QRegularExpression version(QStringLiteral("^(DCMTK|OpenJPEG|libarchive) \\d+\\.\\d+\\.\\d+"));
    for (const char* library : {"DCMTK ", "OpenJPEG ", "libarchive "})
        EXPECT_TRUE(version.match(line(library)).hasMatch()) << line(library).toStdString();
    EXPECT_EQ(line("Local AET:"), "Local AET: STATION7");
    EXPECT_EQ(line("CommitPort:"), "CommitPort: 11113");
    EXPECT_EQ(line("Settings file:"), "Settings file: " + dir.filePath("user.ini"));
    EXPECT_EQ(line("System settings file:"), "System settings file: " + dir.filePath("xdg/Varnelo/" + programBaseName() + ".ini"));
    EXPECT_EQ(line("Set by the administrator:"), "Set by the administrator: DICOM/RemoteAET, Audit/*");
    EXPECT_EQ(line("Logs:"), "Logs: " + dir.filePath("Logs"));

    EXPECT_TRUE(text->isReadOnly());
    EXPECT_TRUE(text->textInteractionFlags() & Qt::TextSelectableByMouse);
    QApplication::clipboard()->clear();
    QTest::mouseClick(child<QPushButton>(&about, "cmdCopy"), Qt::LeftButton);
    EXPECT_EQ(QApplication::clipboard()->text(), text->toPlainText());

    // without a system file or a commitment port
    QFile::remove(dir.filePath("xdg/Varnelo/" + programBaseName() + ".ini"));
    appState().CommitPort = 0;
    const QString plain = AboutForm::aboutText();
    EXPECT_TRUE(plain.contains("\nCommitPort: none\n")) << plain.toStdString();
    EXPECT_TRUE(plain.contains("\nSystem settings file: (none)\n")) << plain.toStdString();
    EXPECT_FALSE(plain.contains("Set by the administrator")) << plain.toStdString();
}
