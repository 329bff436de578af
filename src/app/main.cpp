#include "base/AuditSender.h"
#include "base/ProgramFolder.h"
#include "base/Settings.h"
#include "dicom/Dicom.h"
#include "gui/Language.h"
#include "gui/MainForm.h"
#include "gui/QtMessageBox.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // Varnelo reads no command line, not even Qt's own options.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    // before any window: each takes its texts as it is built
    varnelo::installTranslations(varnelo::languageSetting(varnelo::prepareSettingsFile()));
    varnelo::installQtMessageBox();
    varnelo::MainForm window;
    // the settings are loaded with the window
    varnelo::startAuditTrail();
    window.show();
    // while the window comes up, not when IMPORT is pressed
    varnelo::DcmUtility::Prepare();
    varnelo::prepareQtMessageBoxes();
    const int code = app.exec();
    varnelo::stopAuditTrail();
    return code;
}
