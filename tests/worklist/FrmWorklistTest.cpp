// The worklist window on the offscreen platform: its layout and face, one
// query per opening against a real wlmscpfs, a long list, a busy day in time
// order with its filter, names in several writings, Escape, a failed query
// closing it, and a row picked for the main window's new Patient ID.

#include "WorklistTestKit.h"

#include "base/AppState.h"
#include "gui/MainForm.h"
#include "gui/frmWorklist.h"
#include "support/Peers.h"

#include <dicom/testdata/TestData.h>

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTime>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <functional>

using namespace varnelo;
using namespace varnelo::wltest;

namespace {

frmWorklist* openWorklist()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* f = qobject_cast<frmWorklist*>(w); f && f->isVisible())
            return f;
    return nullptr;
}

// Runs frmWorklist::showModal(owner), or `open`; `whileOpen` is called every
// 20 ms with the open window until it returns true. A window still open after
// the deadline is closed, and reported.
bool runModal(QWidget* owner, const std::function<bool(frmWorklist*)>& whileOpen, int deadlineMs = 15000,
              const std::function<void()>& open = {})
{
    bool timedOut = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (frmWorklist* w = openWorklist(); w && whileOpen && whileOpen(w))
            poll.stop();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] {
        if (frmWorklist* w = openWorklist()) {
            timedOut = true;
            w->close();
        }
    });
    poll.start();
    deadline.start(deadlineMs);
    if (open)
        open();
    else
        frmWorklist::showModal(owner);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return !timedOut;
}

struct Settings {
    explicit Settings(const QString& port)
        : saved(appState())
    {
        AppState& s = appState();
        s.LocalAET = QStringLiteral("VARNELO");
        s.WorklistAET = QStringLiteral("WLPROV");
        s.WorklistIP = QStringLiteral("127.0.0.1");
        s.WorklistPort = port;
        s.WorklistModality = QStringLiteral("CT");
    }
    ~Settings() { appState() = saved; }
    AppState saved;
};

}  // namespace

TEST(WorklistWindow, Layout)
{
    frmWorklist window;
    EXPECT_EQ(window.windowTitle(), "Worklist");
    EXPECT_EQ(window.size(), QSize(776, 385));  // 11640 x 5775 twips
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.font().family(), "Arial");
    EXPECT_DOUBLE_EQ(window.font().pointSizeF(), 12.0);

    auto* list = window.findChild<QTreeWidget*>(QStringLiteral("lvWorklist"));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->font().family(), "Tahoma");
    EXPECT_DOUBLE_EQ(list->font().pointSizeF(), 15.75);
    // The Tahoma of fonts-wine, not fontconfig's wider stand-in, so that a
    // time fits its column uncut.
    EXPECT_EQ(QFontInfo(list->font()).family(), "Tahoma");
    EXPECT_LE(QFontMetrics(list->font()).horizontalAdvance(QStringLiteral("10:15:00")), 96 - 2 * 6);
    EXPECT_FALSE(list->header()->isHidden());
    ASSERT_EQ(list->columnCount(), 10);
    const QStringList headers = {"Time", "Last Name", "First Name", "M.I.", "Date of Birth", "ID", "Sex",
                                 "Accession", "Bodypart", "Study Description"};
    for (int c = 0; c < 10; ++c) {
        EXPECT_EQ(list->headerItem()->text(c), headers[c]);
        // no header cut ("Date of Bi")
        EXPECT_GE(list->columnWidth(c), list->header()->sectionSizeHint(c)) << c;
    }
    EXPECT_EQ(list->topLevelItemCount(), 0);

    // the filter above the list, named by its label
    QLineEdit* filter = window.filterBox();
    ASSERT_NE(filter, nullptr);
    auto* label = window.findChild<QLabel*>(QStringLiteral("lblFilter"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text().remove(QLatin1Char('&')), "Filter:");
    EXPECT_EQ(label->buddy(), filter);
    EXPECT_EQ(list->accessibleName(), "Worklist");

    // the list takes the room the window gains (opened as the operator does:
    // it queries when it becomes active)
    QTemporaryDir data;
    const auto peer = testsupport::Peer::wlmscpfs(
        testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), {testdata::WorklistEntry {}}),
        testsupport::Peer::Options {});
    Settings settings(QString::number(peer->port()));
    Harness harness;
    QWidget owner;
    owner.show();
    QSize before, after;
    bool filterAbove = false;
    runModal(&owner, [&](frmWorklist* w) {
        if (w->list()->topLevelItemCount() < 1)
            return false;
        before = w->list()->size();
        filterAbove = w->filterBox()->geometry().bottom() < w->list()->geometry().top();
        w->resize(w->width() + 324, w->height() + 315);
        (void)QTest::qWaitFor([&] { return w->list()->size() != before; }, 2000);
        after = w->list()->size();
        w->close();
        return true;
    });
    EXPECT_GT(before.height(), 300);
    EXPECT_TRUE(filterAbove);
    EXPECT_EQ(after, before + QSize(324, 315));
}

namespace {

// An entry of `name` and `id` whose first step starts at `time` today;
// a null time: no step.
void addEntry(DcmDatasetList& results, const QString& name, const QString& id, const QString& time = QString())
{
    DcmAttributeList a = results.AppendNew().Attributes();
    a.AddAttribute(0x0008, 0x0005, QStringLiteral("ISO_IR 192"));
    a.AddAttribute(0x0010, 0x0010, name);
    a.AddAttribute(0x0010, 0x0020, id);
    if (time.isNull())
        return;
    DcmDatasetList steps;
    DcmAttributeList step = steps.AppendNew().Attributes();
    step.AddAttribute(0x0040, 0x0002, QStringLiteral("20261208"));
    step.AddAttribute(0x0040, 0x0003, time);
    a.AddAttribute(0x0040, 0x0100, steps);
}

QStringList column(const QTreeWidget* list, int c, bool shownOnly = false)
{
    QStringList cells;
    for (int r = 0; r < list->topLevelItemCount(); ++r)
        if (!shownOnly || !list->topLevelItem(r)->isHidden())
            cells << list->topLevelItem(r)->text(c);
    return cells;
}

}  // namespace

TEST(WorklistWindow, BusyDayInTimeOrderWithColumnsThatHoldTheirText)
{
    DcmDatasetList results;
    addEntry(results, QStringLiteral("Late^Lou"), QStringLiteral("P1"), QStringLiteral("113000"));
    addEntry(results, QStringLiteral("Nostep^Nina"), QStringLiteral("P2"));
    addEntry(results, QStringLiteral("Early^Eve"), QStringLiteral("P3"), QStringLiteral("080000"));
    addEntry(results, QStringLiteral("Mid^Max"), QStringLiteral("LOC-4711-0815-2026-XYZ"), QStringLiteral("0915"));
    addEntry(results, QStringLiteral("Second^Sam"), QStringLiteral("P5"), QStringLiteral("080000"));
    frmWorklist window;
    window.SaveData(results);
    QTreeWidget* list = window.list();
    EXPECT_EQ(column(list, WorklistColumn::Time), QStringList({"08:00:00", "08:00:00", "09:15:00", "11:30:00", ""}));
    EXPECT_EQ(column(list, WorklistColumn::LastName), QStringList({"Early", "Second", "Mid", "Late", "Nostep"}));
    // no cell cut ("LOC-47...")
    const QFontMetrics metrics(list->font());
    EXPECT_GE(list->columnWidth(WorklistColumn::PatientId),
              metrics.horizontalAdvance(QStringLiteral("LOC-4711-0815-2026-XYZ")));
}

TEST(WorklistWindow, TypingInTheListFiltersByNameOrIdAndEscapeCloses)
{
    QTemporaryDir data;
    std::vector<testdata::WorklistEntry> entries(202);
    for (int i = 0; i < 200; ++i) {
        entries[i].patientName = QStringLiteral("Name%1^Given").arg(i, 3, 10, QLatin1Char('0'));
        entries[i].patientId = QStringLiteral("ID%1").arg(i);
        entries[i].time = QTime(7, 0).addSecs(i * 60).toString(QStringLiteral("hhmmss"));
    }
    entries[200].patientName = QStringLiteral("Müller^Anna");
    entries[200].patientId = QStringLiteral("M-77");
    entries[201].patientName = QStringLiteral("Yamada^Tarou=山田^太郎=やまだ^たろう");
    entries[201].patientId = QStringLiteral("J-1");
    entries[201].characterSet = QStringLiteral("ISO_IR 192");
    const auto peer = testsupport::Peer::wlmscpfs(testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), entries),
                                                  testsupport::Peer::Options {});
    Settings settings(QString::number(peer->port()));
    Harness harness;
    QWidget owner;
    owner.show();

    bool checked = false;
    const bool closedByEscape = runModal(&owner, [&](frmWorklist* w) {
        QTreeWidget* list = w->list();
        if (list->topLevelItemCount() < 202 || checked)
            return false;
        checked = true;
        QLineEdit* filter = w->filterBox();
        EXPECT_EQ(w->focusWidget(), list) << "the rows come first";
        list->setCurrentItem(list->topLevelItem(0));

        // typed in the list, it lands in the filter
        for (QChar c : QStringLiteral("mül")) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(list, &press);
        }
        EXPECT_EQ(filter->text(), "mül");
        EXPECT_EQ(w->focusWidget(), filter);
        EXPECT_EQ(column(list, WorklistColumn::LastName, true), QStringList({"Müller"}));
        // by ID, and by a writing of the name the cells do not show
        filter->setText(QStringLiteral("id19"));
        EXPECT_EQ(column(list, WorklistColumn::PatientId, true).size(), 11);  // ID19, ID190..ID199
        filter->setText(QStringLiteral("山田"));
        EXPECT_EQ(column(list, WorklistColumn::PatientId, true), QStringList({"J-1"}));

        // Enter goes on to the one row left; the first row, hidden, is no longer current
        QTest::keyClick(filter, Qt::Key_Return);
        EXPECT_EQ(w->focusWidget(), list);
        EXPECT_TRUE(list->currentItem() && list->currentItem()->text(WorklistColumn::PatientId) == "J-1");
        EXPECT_TRUE(w->isVisible()) << "Enter picks only while Change Patient ID is on";

        filter->clear();
        EXPECT_EQ(column(list, WorklistColumn::PatientId, true).size(), 202);
        QTest::keyClick(list, Qt::Key_Escape);
        return true;
    });
    EXPECT_TRUE(checked) << "the list never filled";
    EXPECT_TRUE(closedByEscape) << "Escape left the worklist open";
    EXPECT_TRUE(harness.boxes.empty());
}

TEST(WorklistWindow, NameGroupsFillTheCellsFromOneGroupAndShowTheOthersOnHover)
{
    DcmDatasetList results;
    addEntry(results, QStringLiteral("Yamada^Tarou=山田^太郎=やまだ^たろう"), QStringLiteral("J1"), QStringLiteral("0800"));
    addEntry(results, QStringLiteral("=山田^花子=やまだ^はなこ"), QStringLiteral("J2"), QStringLiteral("0801"));
    addEntry(results, QStringLiteral("==やまだ^じろう"), QStringLiteral("J3"), QStringLiteral("0802"));
    addEntry(results, QStringLiteral("Doe^John^Q"), QStringLiteral("D1"), QStringLiteral("0803"));
    frmWorklist window;
    window.SaveData(results);
    QTreeWidget* list = window.list();
    ASSERT_EQ(list->topLevelItemCount(), 4);
    const auto cells = [&](int r) {
        const QTreeWidgetItem* item = list->topLevelItem(r);
        return QStringList({item->text(WorklistColumn::LastName), item->text(WorklistColumn::FirstName),
                            item->text(WorklistColumn::MiddleName), item->toolTip(WorklistColumn::LastName),
                            item->toolTip(WorklistColumn::MiddleName)});
    };
    EXPECT_EQ(cells(0), QStringList({"Yamada", "Tarou", "", "山田 太郎\nやまだ たろう", "山田 太郎\nやまだ たろう"}));
    EXPECT_EQ(cells(1), QStringList({"山田", "花子", "", "やまだ はなこ", "やまだ はなこ"}));
    EXPECT_EQ(cells(2), QStringList({"やまだ", "じろう", "", "", ""}));
    EXPECT_EQ(cells(3), QStringList({"Doe", "John", "Q", "", ""}));
}

TEST(WorklistWindow, OneQueryPerOpeningFillsTheList)
{
    QTemporaryDir data;
    testdata::WorklistEntry a, b;
    a.patientName = QStringLiteral("O'Brien^Ann");
    a.patientId = QStringLiteral("P1");
    b.patientName = QStringLiteral("Doe^John^Q");
    b.patientId = QStringLiteral("P2");
    b.time = QStringLiteral("141500");
    const auto peer = testsupport::Peer::wlmscpfs(testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), {a, b}),
                                                  testsupport::Peer::Options {});
    Settings settings(QString::number(peer->port()));
    Harness harness;
    QWidget owner;
    owner.show();

    QPointer<frmWorklist> opened;
    QStringList cells;
    int rowsAfterReactivation = -1;
    const bool closedInTime = runModal(&owner, [&](frmWorklist* w) {
        if (w->list()->topLevelItemCount() < 2)
            return false;
        opened = w;
        for (int r = 0; r < w->list()->topLevelItemCount(); ++r)
            for (int c = 0; c < 10; ++c)
                cells << w->list()->topLevelItem(r)->text(c);
        // Becoming active again within the same opening queries nothing.
        QEvent activation(QEvent::ActivationChange);
        QCoreApplication::sendEvent(w, &activation);
        rowsAfterReactivation = w->list()->topLevelItemCount();
        w->close();
        return true;
    });
    ASSERT_TRUE(closedInTime) << "the list never filled";
    EXPECT_TRUE(harness.boxes.empty());
    EXPECT_EQ(rowsAfterReactivation, 2);
    EXPECT_EQ(peer->associationsReceived(), 1);
    EXPECT_TRUE(cells.contains(QStringLiteral("O\u00B4Brien")));
    EXPECT_TRUE(cells.contains(QStringLiteral("14:15:00")));
    EXPECT_TRUE(cells.contains(QStringLiteral("Q")));
    EXPECT_TRUE(opened.isNull()) << "the window outlived its closing";

    // The next opening starts empty and asks again.
    int rowsAtStart = -1;
    runModal(&owner, [&](frmWorklist* w) {
        if (rowsAtStart < 0)
            rowsAtStart = w->list()->topLevelItemCount();
        if (w->list()->topLevelItemCount() < 2)
            return false;
        w->close();
        return true;
    });
    EXPECT_EQ(rowsAtStart, 0);
    EXPECT_EQ(peer->associationsReceived(), 2);
}

TEST(WorklistWindow, FailedQueryClosesTheWindowOnly)
{
    Settings settings(QStringLiteral("abc"));
    const QStringList before = snapshot(appState());
    Harness harness;
    QWidget owner;
    owner.setWindowTitle(QStringLiteral("Varnelo 1.0"));
    owner.show();

    QPointer<frmWorklist> seen;
    const bool closedByItself = runModal(&owner, [&](frmWorklist* w) {
        seen = w;
        return false;
    });
    EXPECT_TRUE(closedByItself) << "the window stayed open after the failure";
    ASSERT_EQ(harness.boxes.size(), 1u);
    // the number first, then which setting is wrong, in plain words
    EXPECT_TRUE(harness.boxes[0].text.startsWith("13 - Type mismatch\nThe worklist is not set up: its port \"abc\" is not a "
                                                 "port number."))
        << harness.boxes[0].text.toStdString();
    EXPECT_EQ(harness.boxes[0].icon, MessageBox::Icon::Error);
    ASSERT_EQ(harness.errorLog().size(), 1u);
    EXPECT_EQ(harness.errorLog()[0].value(3), "WLQuery");
    EXPECT_TRUE(seen.isNull());
    EXPECT_TRUE(owner.isVisible());
    EXPECT_TRUE(owner.isEnabled());
    EXPECT_EQ(owner.windowTitle(), "Varnelo 1.0");
    EXPECT_EQ(snapshot(appState()), before);
}

TEST(WorklistWindow, LongListKeepsEveryRowInItsPlace)
{
    // Rows reach the list in batches; each must keep its own cells.
    DcmDatasetList results;
    for (int i = 0; i < 3000; ++i) {
        DcmAttributeList a = results.AppendNew().Attributes();
        a.AddAttribute(0x0010, 0x0010, QStringLiteral("Name%1^Given").arg(i));
        a.AddAttribute(0x0010, 0x0020, QStringLiteral("ID%1").arg(i));
    }
    frmWorklist window;  // never shown, so it does not query
    window.SaveData(results);
    QTreeWidget* list = window.list();
    ASSERT_EQ(list->topLevelItemCount(), 3000);
    for (int i : {0, 1, 2, 1499, 2998, 2999}) {
        EXPECT_EQ(list->topLevelItem(i)->text(WorklistColumn::LastName), QStringLiteral("Name%1").arg(i));
        EXPECT_EQ(list->topLevelItem(i)->text(WorklistColumn::PatientId), QStringLiteral("ID%1").arg(i));
    }
}

TEST(WorklistWindow, DoubleClickOrEnterPicksThePatientWhileChangeIdIsOn)
{
    QTemporaryDir data;
    testdata::WorklistEntry a, b;
    a.patientName = QStringLiteral("Doe^John");
    a.patientId = QStringLiteral("LOCAL-4711");
    b.patientName = QStringLiteral("Roe^Jane");
    b.patientId = QStringLiteral("LOCAL-0815");
    b.issuerOfPatientId = QStringLiteral("OURHOSP");
    testdata::WorklistEntry c = b;
    c.issuerOfPatientId.clear();
    c.patientId = QStringLiteral("BAD\aID");  // a BEL from the provider
    // entries whose values would not fit the images' attributes
    testdata::WorklistEntry slash = a, date = a, sex = a, bidi = a;
    slash.patientId = QStringLiteral("WL-SLASH");
    slash.patientName = QStringLiteral("Doe\\John");
    date.patientId = QStringLiteral("WL-DATE");
    date.birthDate = QStringLiteral("1991X423");
    sex.patientId = QStringLiteral("WL-SEX");
    sex.sex = QStringLiteral("MALEFEMALE");
    bidi.patientId = QStringLiteral("WL-BIDI");
    bidi.patientName = QString::fromUtf8("BIDI\u202ELIVE^X");
    bidi.characterSet = QStringLiteral("ISO_IR 192");
    const auto peer = testsupport::Peer::wlmscpfs(
        testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), {a, b, c, slash, date, sex, bidi}),
        testsupport::Peer::Options {});
    Harness harness;
    MainForm form;
    form.show();
    Settings settings(QString::number(peer->port()));  // after the form has read its (empty) settings
    auto* newId = form.findChild<QLineEdit*>(QStringLiteral("txtChangeID"));
    ASSERT_NE(newId, nullptr);
    EXPECT_TRUE(newId->toolTip().contains(QStringLiteral("Worklist")));

    // Finds the row of `id` once the list holds both rows.
    const auto rowOf = [](frmWorklist* w, const QString& id) -> QTreeWidgetItem* {
        if (w->list()->topLevelItemCount() < 2)
            return nullptr;
        const auto found = w->list()->findItems(id, Qt::MatchExactly, WorklistColumn::PatientId);
        return found.isEmpty() ? nullptr : found.front();
    };
    const auto doubleClick = [](frmWorklist* w, QTreeWidgetItem* item) {
        // As the window system delivers one: press, release, double-click, release.
        QWidget* viewport = w->list()->viewport();
        const QPoint at = w->list()->visualItemRect(item).center();
        QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseDClick(viewport, Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, at);
    };

    // Off: a double-click and Enter leave the window open and the box empty.
    appState().ChangeID = false;
    form.setNewPatientIdVisible(false);
    bool stayedOpen = false;
    // Opened as the operator does, with the main window's button.
    const auto viaButton = [&form] { form.cmdWKL_Click(); };
    const auto offCase = [&](frmWorklist* w) {
        QTreeWidgetItem* item = rowOf(w, QStringLiteral("LOCAL-0815"));
        if (!item)
            return false;
        doubleClick(w, item);
        w->list()->setCurrentItem(item);
        QTest::keyClick(w->list(), Qt::Key_Return);
        QCoreApplication::processEvents();
        stayedOpen = w->isVisible();
        w->close();
        return true;
    };
    EXPECT_TRUE(runModal(&form, offCase, 15000, viaButton));
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(newId->text(), "");

    // On: the double-clicked row's Patient ID, and the window closes by itself.
    appState().ChangeID = true;
    form.setNewPatientIdVisible(true);
    newId->setText(QStringLiteral("TYPED"));
    bool clicked = false;
    const auto clickOnce = [&](frmWorklist* w) {
        if (QTreeWidgetItem* item = rowOf(w, QStringLiteral("LOCAL-0815")); item && !clicked) {
            doubleClick(w, item);
            clicked = true;
        }
        return false;
    };
    EXPECT_TRUE(runModal(&form, clickOnce, 15000, viaButton)) << "the double-click did not close the worklist";
    EXPECT_EQ(newId->text(), "LOCAL-0815");
    // the whole identity comes along, and the label says whose the ID is
    const std::optional<DcmPatient> picked = form.pickedPatient();
    ASSERT_TRUE(picked.has_value());
    EXPECT_EQ(*picked, (DcmPatient {"LOCAL-0815", "OURHOSP", "Roe^Jane", "19700101", "F", {}}));
    auto* whose = form.findChild<QLabel*>(QStringLiteral("lblPicked"));
    ASSERT_NE(whose, nullptr);
    EXPECT_TRUE(whose->text().startsWith("Roe^Jane, born ")) << whose->text().toStdString();
    // typing makes it the operator's own ID: the pick no longer applies
    QTest::keyClick(newId, Qt::Key_End);
    QTest::keyClick(newId, Qt::Key_Backspace);
    EXPECT_FALSE(form.pickedPatient().has_value());
    EXPECT_TRUE(whose->text().isEmpty());

    // On: Enter on the current row does the same.
    bool pressed = false;
    const auto enterOnce = [&](frmWorklist* w) {
        if (QTreeWidgetItem* item = rowOf(w, QStringLiteral("LOCAL-4711")); item && !pressed) {
            w->list()->setCurrentItem(item);
            QTest::keyClick(w->list(), Qt::Key_Return);
            pressed = true;
        }
        return false;
    };
    EXPECT_TRUE(runModal(&form, enterOnce, 15000, viaButton)) << "Enter did not close the worklist";
    EXPECT_EQ(newId->text(), "LOCAL-4711");
    EXPECT_TRUE(harness.boxes.empty());

    // An entry that does not fit is refused with the field and the reason,
    // and the window stays open for another pick.
    const QList<std::pair<QString, QString>> refused = {
        {QStringLiteral("BAD\uFFFDID"), QStringLiteral("Patient ID: holds an invisible or control character (U+0007)")},
        {QStringLiteral("WL-SLASH"), QStringLiteral("Patient's name: holds a backslash")},
        {QStringLiteral("WL-DATE"), QStringLiteral("Birth date: \"1991X423\" is not a date")},
        {QStringLiteral("WL-SEX"), QStringLiteral("Sex: \"MALEFEMALE\" is none of M, F and O")},
        {QStringLiteral("WL-BIDI"), QStringLiteral("Patient's name: holds an invisible or control character (U+202E)")},
    };
    QList<bool> stillOpen;
    const auto badOnes = [&](frmWorklist* w) {
        if (w->list()->topLevelItemCount() < 7)
            return false;
        for (const auto& [id, problem] : refused) {
            const auto found = w->list()->findItems(id, Qt::MatchExactly, WorklistColumn::PatientId);
            if (found.isEmpty()) {
                ADD_FAILURE() << "no row " << id.toStdString();
                continue;
            }
            w->list()->setCurrentItem(found.front());
            QTest::keyClick(w->list(), Qt::Key_Return);
            stillOpen << w->isVisible();
        }
        w->close();
        return true;
    };
    EXPECT_TRUE(runModal(&form, badOnes, 15000, viaButton));
    EXPECT_EQ(stillOpen, QList<bool>(refused.size(), true));
    EXPECT_EQ(newId->text(), "LOCAL-4711");
    ASSERT_EQ(harness.boxes.size(), static_cast<size_t>(refused.size()));
    for (qsizetype i = 0; i < refused.size(); ++i) {
        EXPECT_TRUE(harness.boxes[i].text.contains(refused[i].second)) << harness.boxes[i].text.toStdString();
        EXPECT_EQ(harness.boxes[i].icon, MessageBox::Icon::Warning);
    }
    EXPECT_EQ(peer->associationsReceived(), 4);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
