#include "GuiTest.h"

#include "base/RemovableMedia.h"
#include "base/Version.h"
#include "gui/DriveCombo.h"
#include "gui/MainForm.h"
#include "support/LoopVolume.h"
#include "support/UDisks2Mock.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

#include <cstdio>

#include <memory>

using namespace varnelo;
using varnelo::test::GuiTest;
using varnelo::test::spokenNames;
using varnelo::test::unnamedOrSameNamed;

namespace {

class MainFormTest : public GuiTest {
protected:
    std::unique_ptr<MainForm> open()
    {
        auto form = std::make_unique<MainForm>();
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return form;
    }

    QLineEdit* edit(const MainForm& f, const char* name) { return child<QLineEdit>(&f, name); }
    QRadioButton* radio(const MainForm& f, const char* name) { return child<QRadioButton>(&f, name); }
    bool shown(const MainForm& f, const char* name) { return !child<QWidget>(&f, name)->isHidden(); }

    // Types characters that QTest's key tables do not know (non-ASCII).
    static void typeChar(QWidget* w, QChar c)
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
        QApplication::sendEvent(w, &release);
    }

    static QString version()
    {
        return QStringLiteral("%1.%2.%3").arg(VARNELO_VERSION_MAJOR).arg(VARNELO_VERSION_MINOR).arg(VARNELO_VERSION_PATCH);
    }
};

TEST_F(MainFormTest, PortBoxesTakeDigitsAndBackspaceOnly)
{
    auto form = open();
    QLineEdit* port = edit(*form, "txtPort");
    QTest::keyClicks(port, "1a2");
    EXPECT_EQ(port->text(), "12");
    QTest::keyClick(port, Qt::Key_Backspace);
    EXPECT_EQ(port->text(), "1");
    QTest::keyClicks(port, "234567");
    EXPECT_EQ(port->text(), "12345") << "destination 1 port takes five characters";

    QLineEdit* port2 = edit(*form, "txtPort2");
    QTest::keyClicks(port2, "9x.8 7-");
    EXPECT_EQ(port2->text(), "987");
    QTest::keyClicks(port2, "6543");
    EXPECT_EQ(port2->text(), "9876543") << "destination 2 port is not limited";

    // Pasting obeys the same rule as typing.
    QGuiApplication::clipboard()->setText(QStringLiteral("1-0 4"));
    port2->clear();
    QTest::keyClick(port2, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(port2->text(), "104");
}

TEST_F(MainFormTest, SuffixTakesAsciiLettersAndDigitsShownUpperCase)
{
    writeIni("[Default]\nSearchBy=2\n");
    auto form = open();
    QLineEdit* suffix = edit(*form, "txtSuffix");
    QTest::keyClicks(suffix, ".dcm");
    EXPECT_EQ(suffix->text(), "DCM");
    QTest::keyClicks(suffix, " _");
    typeChar(suffix, QChar(0x00e9));
    typeChar(suffix, QChar(0x00c4));
    QTest::keyClicks(suffix, "1");
    EXPECT_EQ(suffix->text(), "DCM1") << "blank, accented letter and punctuation are dropped";

    // Every key release puts the caret after the last character.
    QTest::keyClick(suffix, Qt::Key_Home);
    EXPECT_EQ(suffix->cursorPosition(), 4);

    QGuiApplication::clipboard()->setText(QStringLiteral("x.y9"));
    suffix->clear();
    QTest::keyClick(suffix, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(suffix->text(), "XY9");
}

TEST_F(MainFormTest, AeTitleBoxesStopAtSixteenTypedCharacters)
{
    auto form = open();
    for (const char* name : {"txtAET", "txtAET2"}) {
        QLineEdit* aet = edit(*form, name);
        QTest::keyClicks(aet, "ABCDEFGHIJKLMNOPQ");
        EXPECT_EQ(aet->text(), "ABCDEFGHIJKLMNOP") << name;
    }
    QLineEdit* ip = edit(*form, "txtIP");
    QTest::keyClicks(ip, "a-rather-long-host-name.example.org");
    EXPECT_EQ(ip->text(), "a-rather-long-host-name.example.org");
}

// A dead key or a compose sequence arrives as an input-method commit, not as
// a key press: the same filters and limits hold.
TEST_F(MainFormTest, InputMethodCommitsObeyEachBoxsRules)
{
    auto form = open();
    auto commit = [](QLineEdit* box, const QString& text) {
        QInputMethodEvent event;
        event.setCommitString(text);
        QCoreApplication::sendEvent(box, &event);
    };
    commit(edit(*form, "txtPort"), QStringLiteral("\u00E9"));
    EXPECT_EQ(edit(*form, "txtPort")->text(), "");
    commit(edit(*form, "txtPort2"), QStringLiteral("1\u00E94"));
    EXPECT_EQ(edit(*form, "txtPort2")->text(), "14");
    commit(edit(*form, "txtAET"), QString(21, QLatin1Char('A')));
    EXPECT_EQ(edit(*form, "txtAET")->text(), QString(16, QLatin1Char('A')));
    commit(edit(*form, "txtSuffix"), QStringLiteral("d\u00E9c"));
    EXPECT_EQ(edit(*form, "txtSuffix")->text(), "DC");
    commit(edit(*form, "txtChangeID"), QStringLiteral("NEW\\ID"));
    EXPECT_EQ(edit(*form, "txtChangeID")->text(), "NEWID") << "a backslash would make two IDs";
}

TEST_F(MainFormTest, StoredValuesAreShownWholeEvenBeyondTheTypingLimit)
{
    // Displaying a value must not change what the next save writes back.
    writeIni("[DICOM]\nRemoteAET=ABCDEFGHIJKLMNOPQRST\nRemotePort=1234567\n");
    auto form = open();
    EXPECT_EQ(edit(*form, "txtAET")->text(), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(edit(*form, "txtPort")->text(), "1234567");
    form->close();
    EXPECT_EQ(iniValue("DICOM/RemoteAET"), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(iniValue("DICOM/RemotePort"), "1234567");
}

TEST_F(MainFormTest, DriveSelectorIgnoresTypedLetters)
{
    auto form = open();
    auto* drives = child<DriveCombo>(form.get(), "cboDrive");
    ASSERT_EQ(drives->count(), 3);
    ASSERT_EQ(drives->currentIndex(), 0);
    QTest::keyClicks(drives, "e");
    EXPECT_EQ(drives->currentIndex(), 0);
    EXPECT_EQ(drives->itemText(2), "E: USBSTICK (/media/usb)");
}

TEST_F(MainFormTest, FirstStartShowsDefaults)
{
    auto form = open();
    EXPECT_TRUE(radio(*form, "optLocation0")->isChecked());
    EXPECT_TRUE(radio(*form, "optSearchBy0")->isChecked());
    EXPECT_EQ(appState().Location, 1);
    EXPECT_EQ(appState().SearchBy, 1);
    EXPECT_EQ(appState().LocalAET, "Varnelo");
    EXPECT_EQ(appState().IniPath, iniPath());

    EXPECT_TRUE(shown(*form, "cboDrive"));
    EXPECT_TRUE(shown(*form, "Label5"));
    for (const char* name : {"txtSpecialFolder", "cmdBrowse", "chkWithSubDirs", "lblSuffix", "txtSuffix", "lblChangeID",
                             "txtChangeID"})
        EXPECT_FALSE(shown(*form, name)) << name;

    EXPECT_EQ(form->windowTitle(), "Varnelo " + version());
    EXPECT_FALSE(QFile::exists(iniPath())) << "loading writes nothing";
}

TEST_F(MainFormTest, OptionClicksSetAppStateAndSwitchRows)
{
    auto form = open();
    QTest::mouseClick(radio(*form, "optLocation1"), Qt::LeftButton);
    EXPECT_EQ(appState().Location, 2);
    EXPECT_TRUE(shown(*form, "txtSpecialFolder"));
    EXPECT_TRUE(shown(*form, "cmdBrowse"));
    EXPECT_TRUE(shown(*form, "chkWithSubDirs"));
    EXPECT_TRUE(shown(*form, "Label5"));
    EXPECT_FALSE(shown(*form, "cboDrive"));
    EXPECT_EQ(form->driveSelectorText(), "C: (/)") << "a hidden selector keeps its selection";

    QTest::mouseClick(radio(*form, "optSearchBy1"), Qt::LeftButton);
    EXPECT_EQ(appState().SearchBy, 2);
    EXPECT_TRUE(shown(*form, "lblSuffix"));
    EXPECT_TRUE(shown(*form, "txtSuffix"));
    EXPECT_FALSE(radio(*form, "optSearchBy0")->isChecked());
    EXPECT_TRUE(radio(*form, "optLocation1")->isChecked()) << "the two groups are independent";

    QTest::mouseClick(radio(*form, "optLocation0"), Qt::LeftButton);
    QTest::mouseClick(radio(*form, "optSearchBy0"), Qt::LeftButton);
    EXPECT_EQ(appState().Location, 1);
    EXPECT_EQ(appState().SearchBy, 1);
    EXPECT_TRUE(shown(*form, "cboDrive"));
    EXPECT_FALSE(shown(*form, "txtSpecialFolder"));
    EXPECT_FALSE(shown(*form, "txtSuffix"));
}

TEST_F(MainFormTest, SettingsFileFillsTheWindow)
{
    writeIni("; station 3\n"
             "[Default]\n"
             "SearchBy=2\n"
             "FileSuffix=  DCM  \n"
             "SourceDir=/data/import\n"
             "WithSubDirs=1\n"
             "Location=2\n"
             "AppName=Import Station\n"
             "ChangeID=True\n"
             "[DICOM]\n"
             "RemoteAET=PACS\n"
             "RemoteIP=10.0.0.7\n"
             "RemotePort=104\n"
             "RemoteIP2=pacs2\n");
    auto form = open();
    EXPECT_TRUE(radio(*form, "optSearchBy1")->isChecked());
    EXPECT_TRUE(radio(*form, "optLocation1")->isChecked());
    EXPECT_EQ(edit(*form, "txtSuffix")->text(), "DCM");
    EXPECT_TRUE(shown(*form, "txtSuffix"));
    EXPECT_EQ(edit(*form, "txtSpecialFolder")->text(), "/data/import");
    EXPECT_TRUE(shown(*form, "txtSpecialFolder"));
    EXPECT_FALSE(shown(*form, "cboDrive"));
    EXPECT_TRUE(child<QCheckBox>(form.get(), "chkWithSubDirs")->isChecked());
    EXPECT_TRUE(form->withSubDirsTicked());
    EXPECT_EQ(edit(*form, "txtAET")->text(), "PACS");
    EXPECT_EQ(edit(*form, "txtIP")->text(), "10.0.0.7");
    EXPECT_EQ(edit(*form, "txtPort")->text(), "104");
    EXPECT_EQ(edit(*form, "txtIP2")->text(), "pacs2");
    EXPECT_TRUE(form->isNewPatientIdVisible());
    EXPECT_TRUE(shown(*form, "lblChangeID"));
    EXPECT_EQ(form->windowTitle(), "Import Station " + version());
}

TEST_F(MainFormTest, OptionNumberWithoutOptionSelectsNone)
{
    writeIni("[Default]\nSearchBy=3\nLocation=abc\nFileSuffix=DCM\n");
    auto form = open();
    EXPECT_EQ(appState().SearchBy, 3);
    EXPECT_FALSE(radio(*form, "optSearchBy0")->isChecked());
    EXPECT_FALSE(radio(*form, "optSearchBy1")->isChecked());
    EXPECT_EQ(appState().Location, 0);
    EXPECT_FALSE(radio(*form, "optLocation0")->isChecked());
    EXPECT_FALSE(radio(*form, "optLocation1")->isChecked());
    EXPECT_EQ(edit(*form, "txtSuffix")->text(), "DCM") << "loading goes on after a bad key";

    // The operator can still pick one.
    QTest::mouseClick(radio(*form, "optSearchBy1"), Qt::LeftButton);
    EXPECT_TRUE(radio(*form, "optSearchBy1")->isChecked());
    EXPECT_EQ(appState().SearchBy, 2);
}

TEST_F(MainFormTest, StoredDrivePreselectsItsEntry)
{
    const int ownSelection = DriveCombo().currentIndex();

    writeIni("[Default]\nDrive=e:\n");
    {
        auto form = open();
        EXPECT_EQ(form->driveSelectorText(), "E: USBSTICK (/media/usb)");
    }
    appState() = AppState {};
    writeIni("[Default]\nDrive=Z:\n");
    {
        auto form = open();
        EXPECT_EQ(child<DriveCombo>(form.get(), "cboDrive")->currentIndex(), ownSelection);
        EXPECT_EQ(appState().Drive, "Z:") << "an absent drive is still remembered";
    }
}

TEST_F(MainFormTest, AppIcoInProgramFolderBecomesWindowIcon)
{
    const auto centreColour = [](const QIcon& icon) { return icon.pixmap(32, 32).toImage().pixelColor(16, 16); };
    QColor builtIn;
    {
        auto form = open();
        ASSERT_FALSE(form->windowIcon().isNull());
        builtIn = centreColour(form->windowIcon());
    }

    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(dir.filePath(QStringLiteral("APP.ICO")), "ICO"));
    appState() = AppState {};
    auto form = open();
    EXPECT_EQ(centreColour(form->windowIcon()), QColor(Qt::red)) << "the name is matched without regard to case";
    EXPECT_NE(builtIn, QColor(Qt::red));

    // A file that is no icon leaves the built-in one.
    QFile bad(dir.filePath(QStringLiteral("APP.ICO")));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly | QIODevice::Truncate));
    bad.write("not an icon");
    bad.close();
    appState() = AppState {};
    auto plain = open();
    EXPECT_EQ(centreColour(plain->windowIcon()), builtIn);
}

TEST_F(MainFormTest, FolderPickerFillsTheBoxUnlessCancelled)
{
    writeIni("[Default]\nLocation=2\nSourceDir=/old\n");
    auto form = open();
    QStringList prompts, startedFrom;
    QString answer;
    setFolderPicker([&](const QString& prompt, const QString& current) {
        prompts << prompt;
        startedFrom << current;
        return answer;
    });
    QPushButton* browse = child<QPushButton>(form.get(), "cmdBrowse");
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_EQ(edit(*form, "txtSpecialFolder")->text(), "/old") << "cancelled";

    answer = QStringLiteral("/media/usb/DICOM");
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_EQ(edit(*form, "txtSpecialFolder")->text(), "/media/usb/DICOM");
    // Enter on the focused button opens it too, at the folder just chosen
    browse->setFocus();
    QTest::keyClick(browse, Qt::Key_Return);
    EXPECT_EQ(prompts, QStringList(3, "Select specific folder:"));
    EXPECT_EQ(startedFrom, QStringList({"/old", "/old", "/media/usb/DICOM"}));
}

namespace {
// Counts the two big buttons' clicks instead of launching anything.
class CountingForm : public MainForm {
public:
    int imports = 0;
    int worklists = 0;
    void cmdImport_Click() override { ++imports; }
    void cmdWKL_Click() override { ++worklists; }
};
}  // namespace

TEST_F(MainFormTest, KeyboardStartsImportAndWorklistAndEveryMenuHasAMnemonic)
{
    CountingForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    auto* import = child<QPushButton>(&form, "cmdImport");
    import->setFocus();
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space})
        QTest::keyClick(import, key);
    EXPECT_EQ(form.imports, 3);
    auto* worklist = child<QPushButton>(&form, "cmdWKL");
    worklist->setFocus();
    QTest::keyClick(worklist, Qt::Key_Return);
    EXPECT_EQ(form.worklists, 1);
    EXPECT_EQ(form.imports, 3);

    QStringList mnemonics;
    for (QAction* menu : form.menuBar()->actions()) {
        const QKeySequence mnemonic = QKeySequence::mnemonic(menu->text());
        EXPECT_FALSE(mnemonic.isEmpty()) << menu->text().toStdString();
        mnemonics << mnemonic.toString();
    }
    EXPECT_EQ(mnemonics, QStringList({"Alt+F", "Alt+V", "Alt+H"}));
}

TEST_F(MainFormTest, TabEntersEachOptionGroupAtItsCheckedButton)
{
    writeIni("[Default]\nSearchBy=2\nLocation=2\n");
    auto form = open();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    const auto tab = [](bool back = false) {
        QTest::keyClick(QApplication::focusWidget(), back ? Qt::Key_Backtab : Qt::Key_Tab);
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    };
    radio(*form, "optSearchBy1")->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(tab(), "optLocation1") << "over the unchecked first button";
    EXPECT_EQ(tab(), "txtSpecialFolder");
    EXPECT_EQ(tab(true), "optLocation1");
    EXPECT_EQ(tab(true), "optSearchBy1");

    // the arrows choose within a group; Tab comes back to the new choice
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    EXPECT_TRUE(radio(*form, "optSearchBy0")->isChecked());
    EXPECT_EQ(appState().SearchBy, 1);
    EXPECT_EQ(tab(), "optLocation1");
    EXPECT_EQ(tab(true), "optSearchBy0");

    // a choice the settings make is the stop too
    form->selectLocationOption(1);
    EXPECT_EQ(tab(), "optLocation0");
    EXPECT_EQ(tab(), "cboDrive") << "the folder row is hidden";
}

TEST_F(MainFormTest, EveryControlHasANameOfItsOwnForAScreenReader)
{
    writeIni("[Default]\nChangeID=1\n");
    auto form = open();
    const QStringList spoken = spokenNames(form.get());
    for (const char* expected :
         {"txtAET=Destination 1 AE title", "txtIP=Destination 1 host", "txtPort=Destination 1 port",
          "txtAET2=Destination 2 AE title", "txtIP2=Destination 2 host", "txtPort2=Destination 2 port",
          "txtSpecialFolder=Source folder", "txtChangeID=New Patient ID", "cmdImport=IMPORT", "cmdWKL=Worklist",
          "optLocation1=Specific Folder", "chkWithSubDirs=Include sub directories"})
        EXPECT_TRUE(spoken.contains(expected)) << expected << " not in " << spoken.join(", ").toStdString();
    EXPECT_EQ(unnamedOrSameNamed(form.get()), QStringList());
}

TEST_F(MainFormTest, ClosingSavesExactlyTheTwelveWindowKeys)
{
    auto form = open();
    edit(*form, "txtAET")->setText(QStringLiteral("PACS"));
    edit(*form, "txtPort2")->setText(QStringLiteral("11112"));
    edit(*form, "txtChangeID")->setText(QStringLiteral("NEWID"));
    form->close();

    EXPECT_EQ(iniKeys(), QStringList({"Default/SearchBy", "Default/FileSuffix", "Default/Drive", "Default/SourceDir", "Default/WithSubDirs", "Default/Location", "DICOM/RemoteAET", "DICOM/RemoteIP", "DICOM/RemotePort", "DICOM/RemoteAET2", "DICOM/RemoteIP2", "DICOM/RemotePort2"}));
    EXPECT_EQ(iniValue("Default/SearchBy"), "1");
    EXPECT_EQ(iniValue("Default/Location"), "1");
    EXPECT_EQ(iniValue("Default/WithSubDirs"), "0");
    EXPECT_EQ(iniValue("DICOM/RemoteAET"), "PACS");
    EXPECT_EQ(iniValue("DICOM/RemotePort2"), "11112");
    EXPECT_EQ(appState().RemoteAET, "PACS");
    EXPECT_FALSE(iniBytes().contains("NEWID")) << "the new patient ID is never stored";
}

TEST_F(MainFormTest, FileExitSavesAndClosesEveryWindow)
{
    auto form = open();
    QWidget other;
    other.show();
    QTest::mouseClick(radio(*form, "optSearchBy1"), Qt::LeftButton);
    edit(*form, "txtSuffix")->setText(QStringLiteral("DCM"));
    child<QAction>(form.get(), "mnuFileExit")->trigger();

    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(other.isVisible());
    EXPECT_EQ(iniValue("Default/SearchBy"), "2");
    EXPECT_EQ(iniValue("Default/FileSuffix"), "DCM");
    EXPECT_EQ(iniKeys().size(), 12) << "the second save replaces, it does not add";
}

TEST_F(MainFormTest, AboutBoxNamesTheSettingsFileAndTheLogsInForce)
{
    auto form = open();
    child<QAction>(form.get(), "mnuHelpAbout")->trigger();
    auto* about = form->findChild<QDialog*>("AboutForm");
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    EXPECT_TRUE(about->isModal());
    ASSERT_TRUE(iniPath().startsWith(dir.path() + "/")) << "a writable program folder keeps the file";
    const QString text = child<QPlainTextEdit>(about, "txtAbout")->toPlainText();
    EXPECT_TRUE(text.startsWith("Varnelo " + version() + "\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nSettings file: " + iniPath() + "\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nLogs: " + dir.path() + "/Logs")) << text.toStdString();
    const QPointer<QDialog> gone(about);
    QTest::mouseClick(child<QPushButton>(about, "cmdOK"), Qt::LeftButton);
    EXPECT_TRUE(!gone || !gone->isVisible());
}

}  // namespace

// --- Drives that come and go ---------------------------------------------------

// The table changes under the selector (the fixed table, as on any machine):
// the choice stays with its drive whatever letter it gets, an arrival is
// told for the entry that gained a medium, and a chosen drive that went
// away is chosen again when it comes back.
TEST_F(MainFormTest, DriveSelectorKeepsTheChoiceAcrossChanges)
{
    auto table = std::make_shared<FixedDriveTable>(QList<DriveEntry> {
        {"C:", "C: (/)", "/", "/dev/sda1", false},
        {"D:", "D: (no disc) (/dev/sr0)", "", "/dev/sr0", true},
        {"E:", "E: (/media/usb)", "/media/usb", "/dev/sdb1", false},
    });
    setDriveTable(table);
    DriveCombo combo;
    QSignalSpy arrived(&combo, &DriveCombo::mediumArrived);
    combo.setCurrentIndex(1);  // the optical drive, empty

    table->setEntries({{"C:", "C: (/)", "/", "/dev/sda1", false},
                       {"D:", "D: PATIENT_CD (/media/cdrom0)", "/media/cdrom0", "/dev/sr0", true},
                       {"E:", "E: (/media/a)", "/media/a", "/dev/sdc1", false},
                       {"F:", "F: (/media/usb)", "/media/usb", "/dev/sdb1", false}});
    combo.follow();
    EXPECT_EQ(combo.currentText(), "D: PATIENT_CD (/media/cdrom0)");
    ASSERT_EQ(arrived.size(), 2) << "the disc in D: and the new stick in E:";
    EXPECT_EQ(arrived[0][0].toInt(), 1);
    EXPECT_EQ(arrived[1][0].toInt(), 2);

    combo.setCurrentIndex(3);  // the operator takes the stick, now F:
    arrived.clear();
    table->setEntries({{"C:", "C: (/)", "/", "/dev/sda1", false},
                       {"D:", "D: (no disc) (/dev/sr0)", "", "/dev/sr0", true},
                       {"E:", "E: (/media/usb)", "/media/usb", "/dev/sdb1", false}});
    combo.follow();
    EXPECT_EQ(combo.currentText(), "E: (/media/usb)") << "the same stick under its new letter";
    EXPECT_TRUE(arrived.isEmpty());

    table->setEntries({{"C:", "C: (/)", "/", "/dev/sda1", false}, {"D:", "D: (no disc) (/dev/sr0)", "", "/dev/sr0", true}});
    combo.follow();
    EXPECT_EQ(combo.currentIndex(), 0) << "gone: the first entry shows";
    table->setEntries({{"C:", "C: (/)", "/", "/dev/sda1", false},
                       {"D:", "D: (no disc) (/dev/sr0)", "", "/dev/sr0", true},
                       {"E:", "E: (/media/usb)", "/media/usb", "/dev/sdb1", false}});
    combo.follow();
    EXPECT_EQ(combo.currentText(), "E: (/media/usb)") << "back in: chosen again";
    ASSERT_EQ(arrived.size(), 1);
    EXPECT_EQ(arrived[0][0].toInt(), 2);

    // another stick at the same place, swapped between two looks
    arrived.clear();
    table->setEntries({{"C:", "C: (/)", "/", "/dev/sda1", false},
                       {"D:", "D: (no disc) (/dev/sr0)", "", "/dev/sr0", true},
                       {"E:", "E: (/media/usb)", "/media/usb", "/dev/sdd1", false}});
    combo.follow();
    ASSERT_EQ(arrived.size(), 1);
    EXPECT_EQ(arrived[0][0].toInt(), 2);
}

// The machine's own mount table, changed by real mounts while the window is
// open: the selector shows each change within a second.
TEST_F(MainFormTest, DriveSelectorFollowsRealMountsWithinASecond)
{
    if (const QString why = testsupport::LoopVolume::unavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    setDriveTable(nullptr);
    QTemporaryDir at;
    testsupport::LoopVolume a("VARNELO_A"), b("VARNELO_B");
    auto form = open();
    auto* combo = child<DriveCombo>(form.get(), "cboDrive");
    QSignalSpy arrived(combo, &DriveCombo::mediumArrived);

    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(a.mount(at.filePath("m_later"))) << a.error().toStdString();
    const QString pointA = a.mountPoint();
    ASSERT_TRUE(waitUntil([&] { return entryAt(*combo, pointA) >= 0; }, 1000)) << "not listed within a second";
    std::printf("mounted volume listed after %lld ms: %s\n", clock.elapsed(), qPrintable(combo->itemText(entryAt(*combo, pointA))));
    combo->setCurrentIndex(entryAt(*combo, pointA));
    ASSERT_FALSE(arrived.isEmpty());

    // one that sorts first takes the letter; the choice stays with its volume
    ASSERT_TRUE(b.mount(at.filePath("m_early"))) << b.error().toStdString();
    ASSERT_TRUE(waitUntil([&] { return entryAt(*combo, b.mountPoint()) >= 0; }, 1000));
    EXPECT_LT(entryAt(*combo, b.mountPoint()), entryAt(*combo, pointA));
    EXPECT_EQ(combo->currentIndex(), entryAt(*combo, pointA));
    EXPECT_TRUE(form->driveSelectorText().endsWith("(" + pointA + ")"));

    clock.restart();
    ASSERT_TRUE(a.unmount());
    ASSERT_TRUE(waitUntil([&] { return entryAt(*combo, pointA) < 0; }, 1000)) << "still listed a second after unmounting";
    std::printf("unmounted volume gone after %lld ms\n", clock.elapsed());
    arrived.clear();
    ASSERT_TRUE(a.mount(at.filePath("m_later")));
    ASSERT_TRUE(waitUntil([&] { return entryAt(*combo, pointA) >= 0; }, 1000));
    EXPECT_EQ(combo->currentIndex(), entryAt(*combo, pointA)) << "back in: chosen again";
    EXPECT_EQ(arrived.size(), 1);
}

// UDisks2 (a stand-in on a private bus): a medium nobody mounted is mounted
// read-only without a password prompt; what UDisks2 refuses reaches the
// operator in plain words; ejecting unmounts, then opens the drive.
TEST_F(MainFormTest, UDisks2MountsInsertedMediaAndSaysWhatItRefused)
{
    if (const QString why = testsupport::UDisks2Mock::unavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    testsupport::UDisks2Mock udisks;
    ASSERT_TRUE(udisks.isRunning()) << udisks.log().toStdString();
    setMediaBusForTesting(udisks.address());
    auto form = open();
    auto eventsNamed = [&](const QString& method) {
        QStringList out;
        for (const QString& e : udisks.events())
            if (e.section(' ', 1, 1) == method)
                out << e;
        return out;
    };

    udisks.addDrive("cdrom", true);
    udisks.insertMedium("cdrom", "/dev/sr7", "PATIENT_CD", "/media/varnelo/PATIENT_CD", false);
    ASSERT_TRUE(waitUntil([&] { return !eventsNamed("Mount").isEmpty(); }, 5000)) << udisks.log().toStdString();
    const QStringList mounts = eventsNamed("Mount");
    ASSERT_EQ(mounts.size(), 1);
    EXPECT_TRUE(mounts[0].endsWith("/block_devices/sr7 auth.no_user_interaction=1,options=ro")) << mounts[0].toStdString();
    EXPECT_EQ(form->mediaStatus(), "");

    udisks.addDrive("usb", false);
    udisks.failNext("Mount", "org.freedesktop.UDisks2.Error.DeviceBusy");
    udisks.insertMedium("usb", "/dev/sdz1", "STICK", "/media/varnelo/STICK", false);
    ASSERT_TRUE(waitUntil([&] { return !form->mediaStatus().isEmpty(); }, 5000));
    EXPECT_EQ(form->mediaStatus(), "The medium \"STICK\" (/dev/sdz1) is busy: another program is using it, so it was not opened.");

    udisks.addDrive("usb2", false);
    udisks.failNext("Mount", "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain");
    udisks.insertMedium("usb2", "/dev/sdy1", "", "/media/varnelo/sdy1", false);
    ASSERT_TRUE(waitUntil([&] { return form->mediaStatus().contains("sdy1"); }, 5000));
    EXPECT_TRUE(form->mediaStatus().startsWith("The medium in /dev/sdy1 was not opened: this user may not mount media here."))
        << form->mediaStatus().toStdString();
    EXPECT_EQ(eventsNamed("Mount").size(), 3) << "each medium tried once";

    RemovableMedia media(mediaBus());
    QSignalSpy scanned(&media, &RemovableMedia::scanned);
    ASSERT_TRUE(scanned.wait(5000));
    EXPECT_TRUE(media.hasUDisks2());
    const DriveEntry cd {"D:", "D: PATIENT_CD (/media/varnelo/PATIENT_CD)", "/media/varnelo/PATIENT_CD", "/dev/sr7", true};
    udisks.failNext("Unmount", "org.freedesktop.UDisks2.Error.DeviceBusy");
    EXPECT_EQ(media.eject(cd), "The medium \"PATIENT_CD\" (/dev/sr7) is busy: a program still has files open on it. "
                               "Close that program, then eject the medium by hand.");
    udisks.failNext("Eject", "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain");
    EXPECT_TRUE(media.eject(cd).startsWith("The medium \"PATIENT_CD\" (/dev/sr7) was not ejected: this user may not eject"));
    EXPECT_EQ(media.eject(cd), "");
    const QStringList events = udisks.events();
    ASSERT_GE(events.size(), 3);
    EXPECT_TRUE(events[events.size() - 2].contains(" Eject-refused ")) << events.join('\n').toStdString();
    EXPECT_TRUE(events.last().contains(" Eject /org/freedesktop/UDisks2/drives/cdrom auth.no_user_interaction=1"))
        << events.join('\n').toStdString();
    EXPECT_EQ(eventsNamed("Unmount").size(), 2) << "the first refused as busy, the second done";
}

// Without UDisks2 on the bus the mount table serves alone, and nobody is told.
TEST_F(MainFormTest, NoUDisks2OnTheBusIsNoMessage)
{
    if (const QString why = testsupport::UDisks2Mock::unavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    testsupport::UDisks2Mock bus(false);
    setMediaBusForTesting(bus.address());
    RemovableMedia media(mediaBus());
    QSignalSpy scanned(&media, &RemovableMedia::scanned);
    QSignalSpy problems(&media, &RemovableMedia::problem);
    ASSERT_TRUE(scanned.wait(5000));
    EXPECT_FALSE(media.hasUDisks2());
    EXPECT_TRUE(problems.isEmpty());
    auto form = open();
    QTest::qWait(300);
    EXPECT_EQ(form->mediaStatus(), "");
}
