// Shows "Test connections" of the Options dialog against a PACS this driver
// starts (Orthanc with its worklist, and a port for confirmations), or
// against one that is stopped, and saves the result window as a PNG once
// every check has ended. Run under Xvfb; not part of the program.
//   connection_test_screenshot OUTPUT.png [--stopped]

#include "base/AppState.h"
#include "base/ProgramFolder.h"
#include "gui/ConnectionTestForm.h"
#include "gui/MainForm.h"
#include "gui/OptionForm.h"
#include "support/Peers.h"

#include <dicom/testdata/TestData.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

using namespace varnelo;
using testsupport::Peer;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: connection_test_screenshot OUTPUT.png [--stopped]\n");
        return 2;
    }
    const bool stopped = argc > 2 && qstrcmp(argv[2], "--stopped") == 0;
    QTemporaryDir program, data;
    setProgramFolderForTesting(program.path());

    std::unique_ptr<Peer> orthanc;
    quint16 port = testsupport::freeLoopbackPort();
    if (!stopped) {
        testdata::WorklistEntry a, b;
        b.patientId = QStringLiteral("WL0002");
        b.patientName = QStringLiteral("Roe^Richard");
        const QString root = testdata::makeWorklist(data.path(), QStringLiteral("ORTHANC"), {a, b, a});
        Peer::Options o;
        o.aeTitle = QStringLiteral("ORTHANC");
        o.modalityAet = QStringLiteral("VARNELO");
        o.modalityPort = testsupport::freeLoopbackPort();
        orthanc = Peer::orthanc(o, QDir(root).filePath(QStringLiteral("ORTHANC")));
        port = orthanc->port();
    }
    MainForm main;  // loads the (empty) settings file into AppState
    AppState& s = appState();
    s.LocalAET = QStringLiteral("VARNELO");
    s.WorklistAET = QStringLiteral("ORTHANC");
    s.WorklistIP = QStringLiteral("127.0.0.1");
    s.WorklistPort = QString::number(port);
    s.CommitPort = testsupport::freeLoopbackPort();
    main.setBoxText(SettingsView::Box::RemoteAET, QStringLiteral("ORTHANC"));
    main.setBoxText(SettingsView::Box::RemoteIP, QStringLiteral("127.0.0.1"));
    main.setBoxText(SettingsView::Box::RemotePort, QString::number(port));
    main.show();
    OptionForm options(&main);
    options.show();
    options.findChild<QPushButton*>(QStringLiteral("cmdTestConnections"))->click();
    auto* form = options.findChild<ConnectionTestForm*>(QStringLiteral("ConnectionTestForm"));
    if (!form)
        return 1;
    QElapsedTimer waited;
    waited.start();
    while (!form->test().isFinished() && waited.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    for (int i = 0; i < 10; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 30);
    std::printf("%s\n", qPrintable(form->test().lines().join(QLatin1Char('\n'))));
    const bool saved = form->grab().save(QString::fromLocal8Bit(argv[1]), "PNG");
    setProgramFolderForTesting({});
    return saved && form->test().isFinished() ? 0 : 1;
}
