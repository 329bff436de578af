// Drives the demo offscreen as an operator would: the main window loads the
// demo's settings, "IMPORT" is pressed, every box is answered and printed.
// Exits 0 when the run reported its images imported.
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "gui/MainForm.h"
#include "gui/MsgBoxForm.h"
#include "gui/QtMessageBox.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

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
    form.close();

    for (const QString& s : shown) {
        if (s.endsWith(QLatin1String(" images successfully imported!")) && !s.startsWith(QLatin1Char('0')))
            return 0;
    }
    std::fprintf(stderr, "the import reported no images\n");
    return 1;
}
