#include "GuiTest.h"

#include "base/Settings.h"
#include "gui/ConnectionTestForm.h"
#include "gui/MainForm.h"
#include "gui/OptionForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace varnelo;
using varnelo::test::GuiTest;

namespace {

class OptionFormTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        main = std::make_unique<MainForm>();
        main->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(main.get()));
    }

    void TearDown() override
    {
        main.reset();
        GuiTest::TearDown();
    }

    std::unique_ptr<OptionForm> open()
    {
        auto dialog = std::make_unique<OptionForm>(main.get());
        dialog->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        return dialog;
    }

    static void setWorklist(const QString& aet, const QString& ip, const QString& port, const QString& modality)
    {
        appState().WorklistAET = aet;
        appState().WorklistIP = ip;
        appState().WorklistPort = port;
        appState().WorklistModality = modality;
    }

    // The twelve fields the dialog edits, as text.
    static QStringList optionFields(const AppState& s)
    {
        return {s.LocalAET, QString::number(s.WriteLog), QString::number(s.Validate), QString::number(s.ImgDirEqStudy),
                QString::number(s.ChangeID), s.IssuerOfPatientID, QString::number(s.AutoImport),
                QString::number(s.EjectWhenDone), s.WorklistAET, s.WorklistIP, s.WorklistPort, s.WorklistModality};
    }

    std::unique_ptr<MainForm> main;
};

TEST_F(OptionFormTest, OkStoresEveryValueAndWritesSeventeenKeysInOrder)
{
    ASSERT_FALSE(QFile::exists(iniPath()));
    setWorklist("WLSCP", "10.0.0.9", "4242", "CT");
    auto dialog = open();
    auto* aet = child<QLineEdit>(dialog.get(), "txtLocalAET");
    aet->clear();
    QTest::keyClicks(aet, "STATION1");
    child<QCheckBox>(dialog.get(), "chkMergeLog")->setChecked(true);
    child<QCheckBox>(dialog.get(), "chkStudyDir")->setChecked(true);
    child<QCheckBox>(dialog.get(), "chkChangeID")->setChecked(true);
    EXPECT_FALSE(child<QCheckBox>(dialog.get(), "chkAutoImport")->isChecked()) << "off by default";
    EXPECT_FALSE(child<QCheckBox>(dialog.get(), "chkEjectWhenDone")->isChecked()) << "off by default";
    child<QCheckBox>(dialog.get(), "chkEjectWhenDone")->setChecked(true);
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);

    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(appState().AutoImport);
    EXPECT_TRUE(appState().EjectWhenDone);
    const AppState& s = appState();
    EXPECT_EQ(s.LocalAET, "STATION1");
    EXPECT_EQ(s.WriteLog, 1);
    EXPECT_EQ(s.Validate, 0);
    EXPECT_EQ(s.ImgDirEqStudy, 1);
    EXPECT_TRUE(s.ChangeID);
    EXPECT_EQ(s.WorklistAET, "WLSCP");
    EXPECT_EQ(s.WorklistIP, "10.0.0.9");
    EXPECT_EQ(s.WorklistPort, "4242");
    EXPECT_EQ(s.WorklistModality, "CT");

    // Written one key at a time into a missing file: the order shows in the
    // order of the sections and of the keys within them.
    EXPECT_EQ(iniEntries(), QStringList({"Default/ChangeID=1", "Default/IssuerOfPatientID=", "Default/WriteLog=1", "Default/Validate=0", "Default/ImgDirEqStudy=1", "Default/AutoImport=0", "Default/EjectWhenDone=1", "Default/Language=auto", "DICOM/LocalAET=STATION1", "DICOM/Associations=4", "DICOM/Associations2=4", "DICOM/RemoteURL=", "DICOM/RemoteURL2=", "Worklist/AET=WLSCP", "Worklist/IP=10.0.0.9", "Worklist/Port=4242", "Worklist/Modality=CT"}));
}

// The language box shows the file's choice, each language by its own name;
// OK writes the one picked, Cancel nothing.
TEST_F(OptionFormTest, LanguageBoxRoundTripsThroughTheFile)
{
    writeIni("[Default]\nLanguage=de\n");
    main = std::make_unique<MainForm>();
    auto dialog = open();
    auto* box = child<QComboBox>(dialog.get(), "cboLanguage");
    EXPECT_EQ(box->currentText(), "Deutsch");
    EXPECT_EQ(box->count(), 3);
    box->setCurrentIndex(box->findText(QStringLiteral("English")));
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdCancel"), Qt::LeftButton);
    EXPECT_EQ(iniValue("Default/Language"), "de");
    EXPECT_EQ(appState().Language, "de");

    dialog = open();
    box = child<QComboBox>(dialog.get(), "cboLanguage");
    EXPECT_EQ(box->currentText(), "Deutsch") << "Cancel kept the choice";
    box->setCurrentIndex(box->findText(QStringLiteral("English")));
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);
    EXPECT_EQ(iniValue("Default/Language"), "en");
    EXPECT_EQ(appState().Language, "en");
    EXPECT_EQ(languageSetting(iniPath()), "en") << "what the next start reads";
}

TEST_F(OptionFormTest, ChangePatientIdShowsAndHidesTheMainWindowRow)
{
    ASSERT_FALSE(main->isNewPatientIdVisible());
    auto dialog = open();
    child<QCheckBox>(dialog.get(), "chkChangeID")->setChecked(true);
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);
    EXPECT_TRUE(main->isNewPatientIdVisible());

    dialog = open();
    EXPECT_TRUE(child<QCheckBox>(dialog.get(), "chkChangeID")->isChecked()) << "loaded from AppState";
    child<QCheckBox>(dialog.get(), "chkChangeID")->setChecked(false);
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);
    EXPECT_FALSE(main->isNewPatientIdVisible());
    EXPECT_FALSE(appState().ChangeID);
    EXPECT_EQ(iniValue("Default/ChangeID"), "0");
}

// Disc after disc: both switches come from the file into the dialog, and a
// value that is no number leaves its switch off.
TEST_F(OptionFormTest, DiscSwitchesComeFromTheFile)
{
    writeIni("[Default]\nAutoImport=1\nEjectWhenDone=x\n");
    main = std::make_unique<MainForm>();
    EXPECT_TRUE(appState().AutoImport);
    EXPECT_FALSE(appState().EjectWhenDone);
    auto dialog = open();
    EXPECT_TRUE(child<QCheckBox>(dialog.get(), "chkAutoImport")->isChecked());
    EXPECT_FALSE(child<QCheckBox>(dialog.get(), "chkEjectWhenDone")->isChecked());
    child<QCheckBox>(dialog.get(), "chkAutoImport")->setChecked(false);
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);
    EXPECT_EQ(iniValue("Default/AutoImport"), "0");
    EXPECT_EQ(iniValue("Default/EjectWhenDone"), "0");
}

// The issuer of typed IDs: from the file into the dialog, back through OK,
// and read again by the next start.
TEST_F(OptionFormTest, IssuerOfTypedIdsRoundTripsThroughTheDialogAndTheFile)
{
    writeIni("[Default]\nChangeID=1\nIssuerOfPatientID=HOSP_A\n");
    main = std::make_unique<MainForm>();
    auto dialog = open();
    auto* issuer = child<QLineEdit>(dialog.get(), "txtIssuer");
    EXPECT_EQ(issuer->text(), "HOSP_A");
    EXPECT_TRUE(issuer->isEnabled());
    issuer->clear();
    QTest::keyClicks(issuer, " HOSP\\B ");  // a backslash would make it two values
    EXPECT_EQ(issuer->text(), " HOSPB ");
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);
    EXPECT_EQ(appState().IssuerOfPatientID, "HOSPB");
    EXPECT_EQ(iniValue("Default/IssuerOfPatientID"), "HOSPB");

    dialog.reset();  // before its owner goes
    appState() = AppState {};
    main = std::make_unique<MainForm>();
    EXPECT_EQ(appState().IssuerOfPatientID, "HOSPB");
    // without "Change Patient ID" it has nothing to act on
    dialog = open();
    issuer = child<QLineEdit>(dialog.get(), "txtIssuer");
    child<QCheckBox>(dialog.get(), "chkChangeID")->setChecked(false);
    EXPECT_FALSE(issuer->isEnabled());
}

TEST_F(OptionFormTest, HiddenWorklistFieldsAreWrittenBackUnchanged)
{
    writeIni("[Worklist]\nAET=OLD\n");
    setWorklist("MWL", "mwl.example.org", "105", "MR");
    auto dialog = open();
    auto* group = child<QGroupBox>(dialog.get(), "fraWKL");
    for (const char* name : {"txtWLIP", "txtWLAET", "txtWLPort", "txtModality"}) {
        auto* box = child<QLineEdit>(group, name);
        EXPECT_FALSE(group->rect().intersects(box->geometry())) << name << " lies outside the collapsed group";
        EXPECT_EQ(box->focusPolicy(), Qt::NoFocus) << name;
    }
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);
    EXPECT_EQ(iniEntries().filter(QStringLiteral("Worklist/")),
              QStringList({"Worklist/AET=MWL", "Worklist/IP=mwl.example.org", "Worklist/Port=105", "Worklist/Modality=MR"}));
}

TEST_F(OptionFormTest, CancelEscapeAndCloseBoxChangeNothing)
{
    writeIni("; kept\n[Default]\nChangeID=0\nWriteLog=1\n[DICOM]\nLocalAET=KEEP\n");
    const QByteArray before = iniBytes();
    appState().LocalAET = QStringLiteral("KEEP");
    appState().WriteLog = 1;
    setWorklist("A", "B", "C", "D");
    const AppState saved = appState();

    enum Way { CancelButton,
               EscapeKey,
               CloseBox };
    for (const Way way : {CancelButton, EscapeKey, CloseBox}) {
        auto dialog = open();
        child<QLineEdit>(dialog.get(), "txtLocalAET")->setText(QStringLiteral("CHANGED"));
        for (const char* name : {"chkMergeLog", "chkValidate", "chkStudyDir", "chkChangeID", "chkAutoImport", "chkEjectWhenDone"})
            child<QCheckBox>(dialog.get(), name)->toggle();
        for (const char* name : {"txtWLIP", "txtWLAET", "txtWLPort", "txtModality", "txtIssuer"})
            child<QLineEdit>(dialog.get(), name)->setText(QStringLiteral("X"));
        if (way == CancelButton)
            QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdCancel"), Qt::LeftButton);
        else if (way == EscapeKey)
            QTest::keyClick(child<QLineEdit>(dialog.get(), "txtLocalAET"), Qt::Key_Escape);
        else
            dialog->close();

        EXPECT_FALSE(dialog->isVisible()) << way;
        EXPECT_EQ(dialog->result(), QDialog::Rejected) << way;
        EXPECT_EQ(optionFields(appState()), optionFields(saved));
        EXPECT_EQ(iniBytes(), before);
        EXPECT_FALSE(main->isNewPatientIdVisible());
    }
}

TEST_F(OptionFormTest, KeyboardOkHasFocusEnterBelongsToFocus)
{
    auto dialog = open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    auto* ok = child<QPushButton>(dialog.get(), "cmdOK");
    EXPECT_EQ(QApplication::focusWidget(), ok);
    EXPECT_FALSE(ok->isDefault());
    EXPECT_FALSE(child<QPushButton>(dialog.get(), "cmdCancel")->isDefault());

    auto* aet = child<QLineEdit>(dialog.get(), "txtLocalAET");
    aet->setFocus();
    QTest::keyClick(aet, Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible()) << "Enter in a text box presses no button";
    EXPECT_FALSE(QFile::exists(iniPath()));

    ok->setFocus();
    QTest::keyClick(ok, Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(QFile::exists(iniPath()));
}

TEST_F(OptionFormTest, EveryControlHasANameOfItsOwnForAScreenReader)
{
    auto dialog = open();
    const QStringList spoken = varnelo::test::spokenNames(dialog.get());
    for (const char* expected : {"txtLocalAET=Local AE title", "cmdCancel=Cancel", "chkChangeID=Change Patient ID",
                                 "txtWLPort=Worklist port", "spnAssociations2=Destination 2 associations",
                                 "txtRemoteURL=Destination 1 DICOMweb URL"})
        EXPECT_TRUE(spoken.contains(expected)) << expected << " not in " << spoken.join(", ").toStdString();
    EXPECT_EQ(varnelo::test::unnamedOrSameNamed(dialog.get()), QStringList());
}

// Associations and DICOMweb URL of each destination: from the file into the
// dialog (out of range and no number as the program reads them), within 1 to
// 8 by the keyboard, back through OK, and read again by the next start.
TEST_F(OptionFormTest, DestinationsRoundTripThroughTheDialogAndTheFile)
{
    writeIni("[DICOM]\nAssociations=12\nAssociations2=many\nRemoteURL= http://pacs:8042/dicom-web \n");
    main = std::make_unique<MainForm>();
    auto dialog = open();
    auto* spin1 = child<QSpinBox>(dialog.get(), "spnAssociations");
    auto* spin2 = child<QSpinBox>(dialog.get(), "spnAssociations2");
    auto* url1 = child<QLineEdit>(dialog.get(), "txtRemoteURL");
    auto* url2 = child<QLineEdit>(dialog.get(), "txtRemoteURL2");
    EXPECT_EQ(spin1->value(), 8);
    EXPECT_EQ(spin2->value(), 4);
    EXPECT_EQ(url1->text(), "http://pacs:8042/dicom-web");
    EXPECT_EQ(url2->text(), "");

    spin1->setFocus();
    QTest::keyClick(spin1, Qt::Key_Up);
    EXPECT_EQ(spin1->value(), 8) << "8 at most";
    spin1->selectAll();
    QTest::keyClicks(spin1, "0");
    QTest::keyClick(spin1, Qt::Key_Tab);
    EXPECT_GE(spin1->value(), 1) << "1 at least";
    spin1->selectAll();
    QTest::keyClicks(spin1, "1");
    QTest::keyClick(spin2, Qt::Key_Down);
    url1->clear();
    QTest::keyClicks(url2, " https://archive.example.org/dicom-web ");
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);

    const auto fields = [] {
        const AppState& s = appState();
        return QStringList {QString::number(s.Associations), QString::number(s.Associations2), s.RemoteURL, s.RemoteURL2};
    };
    const QStringList saved {"1", "3", "", "https://archive.example.org/dicom-web"};
    EXPECT_EQ(fields(), saved);
    EXPECT_EQ(QStringList({iniValue("DICOM/Associations"), iniValue("DICOM/Associations2"), iniValue("DICOM/RemoteURL"),
                           iniValue("DICOM/RemoteURL2")}),
              saved);

    dialog.reset();  // before its owner goes
    appState() = AppState {};
    main = std::make_unique<MainForm>();
    EXPECT_EQ(fields(), saved) << "what the next start reads";
}

// The labels' mnemonics are the dialog's own, one key each, and lead to a box.
TEST_F(OptionFormTest, MnemonicsDifferAndLeadToTheirBoxes)
{
    auto dialog = open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    QStringList keys;
    for (QLabel* label : dialog->findChildren<QLabel*>()) {
        const QKeySequence key = QKeySequence::mnemonic(label->text());
        if (key.isEmpty())
            continue;
        EXPECT_FALSE(keys.contains(key.toString())) << label->text().toStdString();
        keys << key.toString();
        EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString();
    }
    EXPECT_GE(keys.size(), 4);
    QTest::keyClick(dialog.get(), Qt::Key_S, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), child<QSpinBox>(dialog.get(), "spnAssociations2"));
    QTest::keyClick(dialog.get(), Qt::Key_U, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), child<QLineEdit>(dialog.get(), "txtRemoteURL"));
}

TEST_F(OptionFormTest, LocalAeTitleTakesSixteenCharacters)
{
    auto dialog = open();
    auto* aet = child<QLineEdit>(dialog.get(), "txtLocalAET");
    aet->clear();
    QTest::keyClicks(aet, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(aet->text(), "ABCDEFGHIJKLMNOP");
}

// The button checks what the dialog holds, before OK: a stopped PACS named
// in the main window and a worklist whose port is typed but not yet saved.
TEST_F(OptionFormTest, TestConnectionsShowsOneLineForEachCheck)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const int stopped = ntohs(address.sin_port);
    ::close(fd);  // nothing listens there now
    main->setBoxText(SettingsView::Box::RemoteAET, QStringLiteral("DEADPACS"));
    main->setBoxText(SettingsView::Box::RemoteIP, QStringLiteral("127.0.0.1"));
    main->setBoxText(SettingsView::Box::RemotePort, QString::number(stopped));
    setWorklist(QStringLiteral("WLM"), QStringLiteral("127.0.0.1"), QString(), QStringLiteral("CT"));

    auto dialog = open();
    child<QLineEdit>(dialog.get(), "txtWLPort")->setText(QString::number(stopped));
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdTestConnections"), Qt::LeftButton);
    auto* form = dialog->findChild<ConnectionTestForm*>(QStringLiteral("ConnectionTestForm"));
    ASSERT_TRUE(form);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->test().isFinished(); }, 10000));
    const QString text = child<QPlainTextEdit>(form, "txtResults")->toPlainText();
    EXPECT_EQ(text, QStringLiteral("DEADPACS: nothing answers at 127.0.0.1:%1.\nWORKLIST: nothing answers at 127.0.0.1:%1.").arg(stopped));
    EXPECT_TRUE(child<QPlainTextEdit>(form, "txtResults")->isReadOnly());
    // nothing was saved by the check
    EXPECT_TRUE(appState().WorklistPort.isEmpty());

    QPointer<ConnectionTestForm> alive(form);
    QTest::mouseClick(child<QPushButton>(form, "cmdClose"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return alive.isNull(); }, 2000));
}

TEST_F(OptionFormTest, TakesTheMainWindowIcon)
{
    QPixmap blue(16, 16);
    blue.fill(Qt::blue);
    main->setWindowIcon(QIcon(blue));
    auto dialog = open();
    EXPECT_EQ(dialog->windowIcon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::blue));
}

}  // namespace

// What the administrator locked shows its value, takes no typing and says
// why, in the main window and in the Options; OK and Exit leave it unwritten.
TEST_F(OptionFormTest, LockedKeysAreReadOnlyAndSayWhoSetThem)
{
    writeSystemIni("[Locked]\nKeys=DICOM/RemoteAET,DICOM/RemoteIP,DICOM/RemotePort,DICOM/LocalAET,Default/WriteLog,"
                   "Default/Location\n[DICOM]\nRemoteAET=PACS\nRemoteIP=10.1.1.1\nRemotePort=104\nLocalAET=STATION\n"
                   "[Default]\nWriteLog=1\nLocation=2\n");
    writeIni("[DICOM]\nRemoteAET=MINE\nLocalAET=ME\n[Default]\nWriteLog=0\n");
    main = std::make_unique<MainForm>();
    main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(main.get()));
    const QString why = "Set by your administrator.";

    for (const char* name : {"txtAET", "txtIP", "txtPort"}) {
        auto* box = child<QLineEdit>(main.get(), name);
        EXPECT_TRUE(box->isReadOnly()) << name;
        EXPECT_EQ(box->toolTip(), why) << name;
    }
    auto* aet = child<QLineEdit>(main.get(), "txtAET");
    EXPECT_EQ(aet->text(), "PACS");
    QTest::keyClicks(aet, "X");
    EXPECT_EQ(aet->text(), "PACS");
    EXPECT_FALSE(child<QLineEdit>(main.get(), "txtAET2")->isReadOnly()) << "destination 2 is the operator's";
    auto* folder = child<QRadioButton>(main.get(), "optLocation1");
    EXPECT_TRUE(folder->isChecked());
    EXPECT_FALSE(folder->isEnabled());
    EXPECT_FALSE(child<QRadioButton>(main.get(), "optLocation0")->isEnabled());
    EXPECT_EQ(folder->toolTip(), why);
    EXPECT_TRUE(child<QRadioButton>(main.get(), "optSearchBy1")->isEnabled());

    auto dialog = open();
    auto* local = child<QLineEdit>(dialog.get(), "txtLocalAET");
    EXPECT_EQ(local->text(), "STATION");
    EXPECT_TRUE(local->isReadOnly());
    EXPECT_EQ(local->toolTip(), why);
    QTest::keyClicks(local, "Z");
    auto* log = child<QCheckBox>(dialog.get(), "chkMergeLog");
    EXPECT_TRUE(log->isChecked());
    EXPECT_FALSE(log->isEnabled());
    EXPECT_EQ(log->toolTip(), why);
    EXPECT_TRUE(child<QCheckBox>(dialog.get(), "chkValidate")->isEnabled());
    child<QCheckBox>(dialog.get(), "chkValidate")->setChecked(true);
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);
    EXPECT_EQ(appState().LocalAET, "STATION");
    EXPECT_EQ(appState().WriteLog, 1);

    child<QAction>(main.get(), "mnuFileExit")->trigger();
    EXPECT_EQ(appState().RemoteAET, "PACS") << "the import sends where the administrator said";
    EXPECT_EQ(iniValue("DICOM/RemoteAET"), "MINE") << "left as it was";
    EXPECT_EQ(iniValue("DICOM/LocalAET"), "ME");
    EXPECT_EQ(iniValue("Default/WriteLog"), "0");
    EXPECT_EQ(iniValue("DICOM/RemoteIP"), "<missing>");
    EXPECT_EQ(iniValue("Default/Validate"), "1") << "what is not locked is written";
}

TEST_F(OptionFormTest, LockedDestinationKeysAreReadOnlyAndNotWritten)
{
    writeSystemIni("[Locked]\nKeys=DICOM/Associations2,DICOM/RemoteURL\n"
                   "[DICOM]\nAssociations2=2\nRemoteURL=https://pacs.example.org/dicom-web\n");
    writeIni("[DICOM]\nAssociations2=6\nRemoteURL=http://mine\n");
    main = std::make_unique<MainForm>();
    auto dialog = open();
    const QString why = "Set by your administrator.";
    auto* spin2 = child<QSpinBox>(dialog.get(), "spnAssociations2");
    auto* url1 = child<QLineEdit>(dialog.get(), "txtRemoteURL");
    EXPECT_EQ(spin2->value(), 2);
    EXPECT_TRUE(spin2->isReadOnly());
    EXPECT_EQ(spin2->toolTip(), why);
    spin2->setFocus();
    QTest::keyClick(spin2, Qt::Key_Up);
    EXPECT_EQ(spin2->value(), 2);
    EXPECT_EQ(url1->text(), "https://pacs.example.org/dicom-web");
    EXPECT_TRUE(url1->isReadOnly());
    EXPECT_EQ(url1->toolTip(), why);
    QTest::keyClicks(url1, "x");
    EXPECT_FALSE(child<QSpinBox>(dialog.get(), "spnAssociations")->isReadOnly());
    EXPECT_FALSE(child<QLineEdit>(dialog.get(), "txtRemoteURL2")->isReadOnly());
    child<QSpinBox>(dialog.get(), "spnAssociations")->setValue(5);
    QTest::mouseClick(child<QPushButton>(dialog.get(), "cmdOK"), Qt::LeftButton);

    EXPECT_EQ(appState().Associations2, 2);
    EXPECT_EQ(appState().RemoteURL, "https://pacs.example.org/dicom-web");
    EXPECT_EQ(iniValue("DICOM/Associations2"), "6") << "left as it was";
    EXPECT_EQ(iniValue("DICOM/RemoteURL"), "http://mine");
    EXPECT_EQ(iniValue("DICOM/Associations"), "5") << "what is not locked is written";
}
