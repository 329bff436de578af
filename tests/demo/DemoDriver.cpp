// Drives the demo offscreen as an operator would: the main window loads the
// demo's settings, "IMPORT" is pressed, every box is answered and printed;
// then "Worklist" is pressed and its rows are printed ("worklist row: ...").
// Exits 0 when the run reported its images imported and the worklist showed
// the number of rows given.
//   varnelo_demo_driver PROGRAM_FOLDER [WORKLIST_ROWS]
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "gui/MainForm.h"
#include "gui/MsgBoxForm.h"
#include "gui/QtMessageBox.h"
#include "gui/frmWorklist.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

using namespace varnelo;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM_FOLDER\n", argv[0]);
        return 2;
    }
    setProgramFolderForTesting(QString::fromLocal8Bit(argv[1]));
    setProgramBaseNameForTesting(QStringLiteral("Varnelo"));

    QStringList shown;
    MessageBox::setHandler([&](const MessageBox::Request& r) {
        shown << r.text;
        std::printf("message box: %s\n", qPrintable(r.text));
        return r.buttons == MessageBox::Buttons::YesNo ? MessageBox::Answer::Yes : MessageBox::Answer::Ok;
    });
    MsgBoxForm::setAnswererForTesting([&](MsgBoxForm& f) {
        std::printf("failure prompt: %s\n", qPrintable(f.lblMessage()->text()));
        f.cmdIgnore()->click();
    });

    MainForm form;
    form.show();
    QCoreApplication::processEvents();
    std::printf("caption: %s\n", qPrintable(form.windowTitle()));
    form.cmdImport_Click();

    int worklistRows = -1;
    if (argc > 2) {
        const int expected = QString::fromLocal8Bit(argv[2]).toInt();
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* window = qobject_cast<frmWorklist*>(w);
                if (!window || !window->isVisible() || window->list()->topLevelItemCount() < expected)
                    continue;
                QCoreApplication::processEvents();  // rows still coming
                worklistRows = window->list()->topLevelItemCount();
                for (int r = 0; r < worklistRows; ++r) {
                    QStringList cells;
                    for (int c = 0; c < window->list()->columnCount(); ++c)
                        cells << window->list()->topLevelItem(r)->text(c);
                    std::printf("worklist row: %s\n", qPrintable(cells.join(QStringLiteral(" | "))));
                }
                window->close();
            }
        });
        poll.start(50);
        QTimer::singleShot(20000, [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* window = qobject_cast<frmWorklist*>(w))
                    window->close();
        });
        form.cmdWKL_Click();
        if (worklistRows != expected) {
            std::fprintf(stderr, "the worklist showed %d rows, not %d\n", worklistRows, expected);
            return 1;
        }
    }
    form.close();

    for (const QString& s : shown) {
        if (s.section(QLatin1Char('\n'), 0, 0).endsWith(QLatin1String(" images successfully imported!")) && !s.startsWith(QLatin1Char('0')))
            return 0;
    }
    std::fprintf(stderr, "the import reported no images\n");
    return 1;
}
