// How long a long worklist takes to show: the provider's answer (the C-FIND
// until its last response) and then the real window filling its list, with
// the one yield per row. Prints figures; asserts nothing.
//   worklist_fill_bench [rows] [--orthanc]
// rows defaults to 10000; --orthanc asks Orthanc's worklist plugin instead
// of wlmscpfs.

#include "base/AppState.h"
#include "gui/frmWorklist.h"
#include "support/Peers.h"
#include "worklist/WorklistQuery.h"

#include <dicom/testdata/TestData.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <cstdio>

using namespace varnelo;
using testsupport::Peer;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool orthanc = args.contains(QStringLiteral("--orthanc"));
    int rows = 10000;
    for (const QString& a : args)
        if (a.toInt() > 0)
            rows = a.toInt();

    QTemporaryDir data;
    std::vector<testdata::WorklistEntry> entries(static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        entries[static_cast<size_t>(i)].patientId = QStringLiteral("WL%1").arg(i, 5, 10, QLatin1Char('0'));
        entries[static_cast<size_t>(i)].patientName = QStringLiteral("Patient%1^Test").arg(i);
    }
    std::printf("writing %d worklist entries...\n", rows);
    const QString root = testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), entries);
    std::unique_ptr<Peer> peer;
    if (orthanc) {
        Peer::Options o;
        o.aeTitle = QStringLiteral("WLPROV");
        const QString worklistFolder = QDir(root).filePath(QStringLiteral("WLPROV"));
        peer = Peer::orthanc(o, worklistFolder);
    } else {
        peer = Peer::wlmscpfs(root, Peer::Options {});
    }

    AppState& s = appState();
    s.LocalAET = QStringLiteral("VARNELO");
    s.WorklistAET = QStringLiteral("WLPROV");
    s.WorklistIP = QStringLiteral("127.0.0.1");
    s.WorklistPort = QString::number(peer->port());
    s.WorklistModality = QStringLiteral("CT");

    // The window queries by itself when it becomes active; its first row
    // comes once the provider's last answer is in.
    frmWorklist window;
    QElapsedTimer t;
    qint64 firstRow = -1;
    QObject::connect(window.list()->model(), &QAbstractItemModel::rowsInserted, [&] {
        if (firstRow < 0)
            firstRow = t.nsecsElapsed();
    });
    t.start();
    window.show();
    window.activateWindow();  // no window manager under Xvfb
    while (window.list()->topLevelItemCount() < rows && t.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QCoreApplication::processEvents();  // the last rows painted
    const qint64 allRows = t.nsecsElapsed();
    const int shown = window.list()->topLevelItemCount();
    const QString last = shown ? window.list()->topLevelItem(shown - 1)->text(WorklistColumn::PatientId) : QString();
    const double queryMs = firstRow / 1e6, fillMs = (allRows - firstRow) / 1e6;

    std::printf("provider %s, %d entries\n", orthanc ? "Orthanc (ModalityWorklists)" : "wlmscpfs", rows);
    std::printf("  window opened to the first row (C-FIND): %9.1f ms\n", queryMs);
    std::printf("  first row to all rows shown:             %9.1f ms (%d rows, last %s, %.3f ms a row)\n", fillMs,
                shown, qPrintable(last), shown ? fillMs / shown : 0.0);
    return shown == rows ? 0 : 1;
}
