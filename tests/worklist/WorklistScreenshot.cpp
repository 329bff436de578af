// Saves a PNG of the worklist window with rows, queried from a provider that
// this driver starts on a loopback port. Run under Xvfb by screenshot.sh;
// not part of the program.
//   worklist_screenshot OUTPUT.png [--orthanc] [--names] [--pick]
// The rows are five ASCII names and four in other scripts, from wlmscpfs or,
// with --orthanc, from Orthanc's worklist plugin; --names shows one name in
// each character set but Korean instead (from wlmscpfs). --pick opens the
// worklist from the main window with "Change Patient ID" on, picks a row with
// Enter and saves the main window with its "New Patient ID:" filled.

#include "base/AppState.h"
#include "base/ProgramFolder.h"
#include "gui/MainForm.h"
#include "gui/frmWorklist.h"
#include "support/Peers.h"

#include <dicom/testdata/TestData.h>

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

using namespace varnelo;
using testsupport::Peer;

namespace {

testdata::WorklistEntry entry(const char* name, const char* id, const char* birth, const char* sex,
                              const char* time, const char* accession)
{
    testdata::WorklistEntry e;
    e.patientName = QString::fromUtf8(name);
    e.patientId = QString::fromUtf8(id);
    e.birthDate = QString::fromUtf8(birth);
    e.sex = QString::fromUtf8(sex);
    e.time = QString::fromUtf8(time);
    e.accessionNumber = QString::fromUtf8(accession);
    return e;
}

std::vector<testdata::WorklistEntry> entries(bool allCharacterSets)
{
    std::vector<testdata::WorklistEntry> international = testdata::internationalEntries();
    if (allCharacterSets) {
        // Eleven rows fill the list; the Korean name would need a Hangul
        // face, which fonts-droid-fallback lacks.
        international.pop_back();
        return international;
    }
    std::vector<testdata::WorklistEntry> list = {
        entry("Doe^John^Q", "PID1001", "19650412", "M", "073000", "ACC2026001"),
        entry("O'Brien^Ann", "PID1002", "19811130", "F", "081500", "ACC2026002"),
        entry("Madonna", "PID1003", "19580816", "F", "093000", "ACC2026003"),
        entry("Schmidt^Klaus^Peter", "PID1004", "", "M", "110000", "ACC2026004"),
        entry("Nguyen^Lan", "PID1005", "19930102", "", "143000.000", "ACC2026005")};
    // Latin-1, Cyrillic, Greek and Japanese (ISO 2022 IR 87).
    for (size_t i : {0, 2, 3, 9})
        list.push_back(international[i]);
    return list;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.front().startsWith(QLatin1String("--"))) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [--orthanc] [--names]\n", argv[0]);
        return 2;
    }
    const QString output = args.front();
    const bool orthanc = args.contains(QStringLiteral("--orthanc"));
    const std::vector<testdata::WorklistEntry> rows = entries(args.contains(QStringLiteral("--names")));

    QTemporaryDir data;
    const QString root = testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), rows);
    std::unique_ptr<Peer> peer;
    if (orthanc) {
        Peer::Options o;
        o.aeTitle = QStringLiteral("WLPROV");
        const QString worklistFolder = QDir(root).filePath(QStringLiteral("WLPROV"));
        peer = Peer::orthanc(o, worklistFolder);
    } else {
        peer = Peer::wlmscpfs(root, Peer::Options {});
    }

    const bool pick = args.contains(QStringLiteral("--pick"));
    QTemporaryDir programFolder;
    std::unique_ptr<MainForm> form;
    if (pick) {
        setProgramFolderForTesting(programFolder.path());
        form = std::make_unique<MainForm>();
        form->show();
        appState().ChangeID = true;
        form->setNewPatientIdVisible(true);
    }

    AppState& s = appState();
    s.LocalAET = QStringLiteral("VARNELO");
    s.WorklistAET = QStringLiteral("WLPROV");
    s.WorklistIP = QStringLiteral("127.0.0.1");
    s.WorklistPort = QString::number(peer->port());
    s.WorklistModality = QStringLiteral("CT");

    bool saved = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* window = qobject_cast<frmWorklist*>(w);
            if (!window || !window->isVisible() || window->list()->topLevelItemCount() < static_cast<int>(rows.size()))
                continue;
            poll.stop();
            QCoreApplication::processEvents();
            if (pick) {
                const auto found = window->list()->findItems(QStringLiteral("PID1004"), Qt::MatchExactly,
                                                             WorklistColumn::PatientId);
                if (found.isEmpty())
                    break;
                window->list()->setCurrentItem(found.front());
                QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                QApplication::sendEvent(window->list(), &enter);
                return;
            }
            saved = window->grab().save(output);
            window->close();
        }
    });
    poll.start(100);
    QTimer::singleShot(20000, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* window = qobject_cast<frmWorklist*>(w))
                window->close();
    });
    if (pick) {
        form->cmdWKL_Click();
        QCoreApplication::processEvents();
        saved = !form->newPatientId().isEmpty() && form->grab().save(output);
    } else {
        frmWorklist::showModal(nullptr);
    }
    if (!saved)
        std::fprintf(stderr, "no screenshot saved\n");
    return saved ? 0 : 1;
}
