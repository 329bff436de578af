#include "base/AppState.h"
#include "base/Error.h"
#include "gui/BrowseForFolder.h"
#include "gui/MsgBoxForm.h"
#include "gui/PatientsForm.h"
#include "gui/cAnimControl.h"
#include "import/IdentityValues.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMovie>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <gtest/gtest.h>

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
    EXPECT_EQ(several.windowTitle(), "Patients on this medium");
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
    EXPECT_EQ(several.result(), (QList<bool> {false, true}));

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
    EXPECT_EQ(PatientsForm::choose(&owner, one, picked), std::nullopt);
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

TEST(BrowseForFolder, ShowsFoldersAndArchivesAndChoosesEither)
{
    QTemporaryDir top;
    for (const char* name : {"cd.zip", "DISC.ISO", "notes.txt", "image.dcm"}) {
        QFile f(top.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QDir(top.path()).mkdir("Patient"));
    // Drives the real dialog: what it lists in `top`, then one pick.
    auto pick = [&](const QString& select) {
        QStringList listed;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_TRUE(dialog);
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
        const QString chosen = BrowseForFolder("Select specific folder:");
        listed.sort();
        EXPECT_EQ(listed, QStringList({"DISC.ISO", "Patient", "cd.zip"}));
        return chosen;
    };
    EXPECT_EQ(pick("cd.zip").toStdString(), top.filePath("cd.zip").toStdString());
    EXPECT_EQ(pick("Patient").toStdString(), top.filePath("Patient").toStdString());
}
