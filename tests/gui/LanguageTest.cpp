#include "GuiTest.h"

#include "base/Logs.h"
#include "gui/BrowseForFolder.h"
#include "gui/ConnectionTestForm.h"
#include "gui/Language.h"
#include "gui/MainForm.h"
#include "gui/MsgBoxForm.h"
#include "gui/OptionForm.h"
#include "gui/PatientsForm.h"
#include "gui/ProgressForm.h"
#include "gui/QtMessageBox.h"
#include "gui/frmWorklist.h"
#include "import/MediumPatients.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTimer>
#include <QTranslator>
#include <QTreeWidget>

#include <algorithm>

using namespace varnelo;
using namespace varnelo::test;

namespace {

const QString kMark = QStringLiteral("\u0166[");

// Marking, every text asked for comes back marked, so that one that skipped
// the translator shows; else it is the German itself, whose widths count.
class PseudoTranslator : public QTranslator {
public:
    PseudoTranslator() { loaded_ = german_.load(QStringLiteral(":/i18n/varnelo_de.qm")); }
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char* disambiguation, int n) const override
    {
        const QString de = german_.translate(context, source, disambiguation, n);
        if (!marking)
            return de;
        return kMark + QString::fromUtf8(source) + QLatin1Char(']');
    }
    bool loaded() const { return loaded_ && !german_.isEmpty(); }
    bool marking = true;

private:
    QTranslator german_;
    bool loaded_ = false;
};

struct Walk {
    QStringList untranslated;
    QStringList clipped;
    int windows = 0;
    int texts = 0;
    int measured = 0;
};

QString bare(const QString& text)
{
    return QString(text).remove(QLatin1Char('&'));
}

class LanguageTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        ASSERT_TRUE(pseudo.loaded()) << "no :/i18n/varnelo_de.qm in the program";
        QCoreApplication::installTranslator(&pseudo);
    }
    void TearDown() override
    {
        QCoreApplication::removeTranslator(&pseudo);
        GuiTest::TearDown();
    }

    // A text is the operator's language when the translator made it, or
    // when it is data of the test (an AE title, a path, a name).
    void checkText(const QString& where, const QString& text)
    {
        if (text.isEmpty() || !pseudo.marking)
            return;
        ++walk.texts;
        if (text.contains(kMark))
            return;
        // what is left without the test's data must be no words
        QString rest = text;
        for (const QString& value : known)
            rest.remove(value);
        if (std::any_of(rest.begin(), rest.end(), [](QChar c) { return c.isLetter(); }))
            walk.untranslated << where + QStringLiteral(": ") + text;
    }

    void checkWidth(const QString& where, const QString& text, int needed, int room)
    {
        if (pseudo.marking)
            return;
        ++walk.measured;
        if (needed > room)
            walk.clipped << QStringLiteral("%1: \"%2\" needs %3 px, has %4").arg(where, text).arg(needed).arg(room);
    }

    void walkWindow(QWidget* window)
    {
        ++walk.windows;
        const QString name = window->objectName().isEmpty() ? QLatin1String(window->metaObject()->className()) : window->objectName();
        checkText(name + QStringLiteral(" title"), window->windowTitle());
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (!w->isVisibleTo(window) || w->window() != window)
                continue;
            const QString where = name + QLatin1Char('/') + w->objectName();
            const QFontMetrics fm(w->font());
            if (auto* label = qobject_cast<QLabel*>(w); label && label->pixmap().isNull()) {
                checkText(where, label->text());
                const bool scrolls = qobject_cast<QScrollArea*>(label->parentWidget() ? label->parentWidget()->parentWidget() : nullptr);
                if (label->text().isEmpty() || scrolls)
                    continue;
                const QRect room = label->contentsRect();
                if (label->wordWrap())
                    checkWidth(where + QStringLiteral(" (height)"), label->text(), label->heightForWidth(room.width()), room.height());
                else
                    for (const QString& line : label->text().split(QLatin1Char('\n')))
                        checkWidth(where, line, fm.horizontalAdvance(bare(line)), room.width());
            } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
                checkText(where, button->text());
                if (button->text().isEmpty())
                    continue;
                // a check box or radio button needs its indicator too
                const int needed = qobject_cast<QPushButton*>(w) ? fm.horizontalAdvance(bare(button->text())) + 6
                                                                : button->sizeHint().width();
                checkWidth(where, button->text(), needed, button->width());
            } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
                checkText(where, group->title());
                checkWidth(where, group->title(), fm.horizontalAdvance(bare(group->title())) + 16, group->width());
            } else if (auto* header = qobject_cast<QHeaderView*>(w)) {
                for (int i = 0; i < header->count(); ++i)
                    checkText(where, header->model()->headerData(i, header->orientation()).toString());
            } else if (auto* edit = qobject_cast<QPlainTextEdit*>(w)) {
                for (const QString& line : edit->toPlainText().split(QLatin1Char('\n')))
                    checkText(where, line);
            } else if (auto* bar = qobject_cast<QMenuBar*>(w)) {
                for (QAction* menu : bar->actions()) {
                    checkText(where, menu->text());
                    if (menu->menu())
                        for (QAction* item : menu->menu()->actions())
                            checkText(where + QLatin1Char('/') + menu->text(), item->text());
                }
            }
        }
    }

    // Walks the next modal window that `open` shows and closes it.
    void walkModal(const std::function<void()>& open)
    {
        bool walked = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (walked || !modal || !modal->isVisible())
                return;
            walked = true;
            walkWindow(modal);
            modal->close();
        });
        poll.start(20);
        open();
        EXPECT_TRUE(walked || waitUntil([&] { return walked; }, 3000)) << "no window came up";
    }

    PseudoTranslator pseudo;
    Walk walk;
    // and what a library says of itself (About: "libarchive 3.6.2")
    QStringList known {QStringLiteral("PACS1"), QStringLiteral("127.0.0.1"), QStringLiteral("104"), QStringLiteral("Varnelo"),
                       QStringLiteral("DCM"), QStringLiteral("Doe^Jane"), QStringLiteral("P1"), QStringLiteral("libarchive")};
};

TEST_F(LanguageTest, EveryWindowShowsTranslatedTextsThatFit)
{
    writeIni("[Default]\nChangeID=1\nSearchBy=2\nLocation=2\nSourceDir=/tmp\nFileSuffix=DCM\n"
             "[DICOM]\nRemoteAET=PACS1\nRemoteIP=127.0.0.1\nRemotePort=104\n");
    MessageBox::setHandler({});
    installQtMessageBox();
    // marked first, then in German
    for (const bool marking : {true, false}) {
        pseudo.marking = marking;
        MainForm main;
        main.show();
        walkWindow(&main);

        {
            OptionForm options(&main);
            options.show();
            walkWindow(&options);
            // its connection test, against a port where nothing answers
            options.findChild<QPushButton*>(QStringLiteral("cmdTestConnections"))->click();
            auto* test = options.findChild<ConnectionTestForm*>();
            ASSERT_TRUE(test);
            EXPECT_TRUE(waitUntil([&] { return test->test().isFinished(); }, 10000));
            walkWindow(test);
        }
        walkModal([&] { main.findChild<QAction*>(QStringLiteral("mnuHelpAbout"))->trigger(); });

        // the worklist, with nothing set up: its window and its plain message
        appState().WorklistAET.clear();
        walkModal([&] { frmWorklist::showModal(&main); });
        walkModal([&] { frmWorklist::showModal(&main); });

        ProgressForm progress(&main, [] { return QString(); });
        progress.showLaunchStatus(QCoreApplication::translate("ImportLaunch", "Connecting to %1 (%2:%3)...")
                                      .arg(QStringLiteral("PACS1"), QStringLiteral("127.0.0.1"), QStringLiteral("104")));
        walkWindow(&progress);
        progress.hide();

        MsgBoxForm::setAnswererForTesting([&](MsgBoxForm& f) {
            walkWindow(&f);
            f.cmdIgnore()->click();
        });
        MsgBoxForm::ShowMessage(&main, QStringLiteral("PACS1 127.0.0.1 104"));
        MsgBoxForm::setAnswererForTesting({});

        MediumPatients medium;
        DcmPatient jane;
        jane.PatientName = QStringLiteral("Doe^Jane");
        jane.PatientID = QStringLiteral("P1");
        medium.addRecord(jane, 1, 3);
        PatientsForm patients(&main, medium, NewIdentity {jane, false});
        patients.show();
        walkWindow(&patients);

        // a summary box as the run shows it, and the folder picker
        walkModal([] { MessageBox::show(QCoreApplication::translate("MessageBox", "and %1 more; the error log lists them all").arg(3),
                                        MessageBox::Icon::Information); });
        setFolderPicker({});
        walkModal([] { BrowseForFolder(QCoreApplication::translate("varnelo::MainForm", "Select specific folder:")); });
    }
    std::printf("pseudo-translation: %d windows walked, %d texts checked, %lld untranslated; %d widths in German, "
                "%lld clipped\n",
                walk.windows, walk.texts, static_cast<long long>(walk.untranslated.size()), walk.measured,
                static_cast<long long>(walk.clipped.size()));
    EXPECT_GE(walk.windows, 2 * 10);
    EXPECT_GT(walk.measured, 30);
    EXPECT_TRUE(walk.untranslated.isEmpty()) << walk.untranslated.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(walk.clipped.isEmpty()) << walk.clipped.join(QLatin1Char('\n')).toStdString();
}

TEST(Language, SettingOrDesktopChoosesAndDatesFollow)
{
    EXPECT_EQ(chosenLanguage(QStringLiteral("de")), "de");
    EXPECT_EQ(chosenLanguage(QStringLiteral("en")), "en");
    const QString desktop = chosenLanguage(QStringLiteral("auto"));
    EXPECT_TRUE(desktop == "de" || desktop == "en") << desktop.toStdString();

    const QLocale before;
    EXPECT_EQ(installTranslations(QStringLiteral("de")), "de");
    EXPECT_EQ(QCoreApplication::translate("varnelo::MsgBoxForm", "Retry"), "Wiederholen");
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Abbrechen") << "Qt's own German";
    EXPECT_EQ(shownDate(QDate(2026, 3, 6)), "06.03.2026");
    for (QTranslator* t : QCoreApplication::instance()->findChildren<QTranslator*>())
        QCoreApplication::removeTranslator(t);
    QLocale::setDefault(before);
    EXPECT_EQ(QCoreApplication::translate("varnelo::MsgBoxForm", "Retry"), "Retry");
}

}  // namespace
