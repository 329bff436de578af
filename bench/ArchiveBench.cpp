// One import run as the progress window starts it (ImportRun::Run), headless,
// from a folder, a ZIP archive or a disc image: what scripts/bench-archive.sh
// times and measures.
//
//   varnelo-archive-bench scan|dicomdir SOURCE PORT AET
#include "BenchView.h"

#include "base/AppState.h"
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "import/ImportRun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using namespace varnelo;
using namespace varnelo::bench;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: varnelo-archive-bench scan|dicomdir SOURCE PORT AET\n");
        return 2;
    }
    QTemporaryDir programDir;
    setProgramFolderForTesting(programDir.path());
    AppState& s = appState();
    s.SearchBy = args[1] == QLatin1String("dicomdir") ? 1 : 2;
    s.Location = 2;
    s.ImportFolder = args[2];
    s.ImportWithSubDirs = true;
    s.RemoteIP = QStringLiteral("127.0.0.1");
    s.RemotePort = args[3];
    s.RemoteAET = args[4];
    s.LocalAET = QStringLiteral("VARNELO");
    s.WriteLog = 0;
    QString box;
    MessageBox::setHandler([&](const MessageBox::Request& r) {
        box = r.text;
        return MessageBox::Answer::Ok;
    });

    SilentView view;
    AbortingPrompt prompt;
    ImportRun run(view, prompt, [] { return QString(); });
    QElapsedTimer timer;
    timer.start();
    view.sinceYield.start();
    run.Run();
    view.endOfRun();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    QFile errors(programDir.filePath(QStringLiteral("Logs/Error.log")));
    const QByteArray errorLog = errors.open(QIODevice::ReadOnly) ? errors.readAll() : QByteArray();
    const int errorLines = static_cast<int>(errorLog.count('\n'));
    if (errorLines)
        std::printf("%s", errorLog.constData());
    std::printf("imported=%d seconds=%.4f prompts=%d errorlines=%d longestgap=%.4f\n", run.ImportedCount, seconds,
                prompt.shown, errorLines, static_cast<double>(view.longestGapNs) / 1e9);
    std::printf("box: %s\n", qPrintable(QString(box).replace(QLatin1Char('\n'), QLatin1String(" / "))));
    return prompt.shown || errorLines ? 1 : 0;
}
