#include "gui/AboutForm.h"

#include "gui/WindowLook.h"

#include "base/AppState.h"
#include "base/IniFile.h"
#include "base/Logs.h"
#include "base/ProgramFolder.h"
#include "base/Settings.h"
#include "base/Version.h"
#include "dicom/Dicom.h"
#include "import/ArchiveMedium.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace varnelo {

namespace {

QString shownPath(const QString& path)
{
    return path.isEmpty() ? AboutForm::tr("(none)") : QDir::toNativeSeparators(path);
}

}  // namespace

AboutForm::AboutForm(QWidget* owner)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(tr("About Varnelo"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);
    applyWindowLook(this, 9.75);
    if (owner)
        setWindowIcon(owner->windowIcon());

    txtAbout = new QPlainTextEdit(aboutText(), this);
    txtAbout->setObjectName(QStringLiteral("txtAbout"));
    txtAbout->setReadOnly(true);
    txtAbout->setLineWrapMode(QPlainTextEdit::NoWrap);
    // long paths are read whole, not guessed
    txtAbout->setMinimumSize(640, 300);

    cmdCopy = new QPushButton(tr("&Copy"), this);
    cmdCopy->setObjectName(QStringLiteral("cmdCopy"));
    cmdCopy->setToolTip(tr("Copies all of it, for a message to the support."));
    cmdOK = new QPushButton(tr("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    connect(cmdCopy, &QPushButton::clicked, this, &AboutForm::cmdCopy_Click);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdCopy);
    buttons->addWidget(cmdOK);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(txtAbout);
    layout->addLayout(buttons);
}

QString AboutForm::aboutText()
{
    const AppState& s = appState();
    // An installed program keeps them in the user's folders: say where.
    const QString ini = s.IniPath.isEmpty() ? settingsPath() : s.IniPath;
    const QStringList locked = lockedSettings();
    QStringList lines {
        tr("Varnelo %1.%2.%3").arg(VARNELO_VERSION_MAJOR).arg(VARNELO_VERSION_MINOR).arg(VARNELO_VERSION_PATCH),
        tr("Qt %1 (built with %2)").arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR)),
        tr("DCMTK %1").arg(DcmUtility::DcmtkVersion()),
        tr("OpenJPEG %1").arg(DcmUtility::OpenJpegVersion()),
        libarchiveVersion(),
        QString(),
        tr("Local AET: %1").arg(s.LocalAET),
        tr("CommitPort: %1").arg(s.CommitPort > 0 ? QString::number(s.CommitPort) : tr("none")),
        tr("Settings file: %1").arg(shownPath(ini)),
        tr("System settings file: %1").arg(shownPath(administratorsSettingsFile())),
    };
    if (!locked.isEmpty())
        lines << tr("Set by the administrator: %1").arg(locked.join(QStringLiteral(", ")));
    lines << tr("Logs: %1").arg(shownPath(logFolder()));
    // where they would go, and why they cannot
    if (const std::optional<QString> trouble = keepingTrouble())
        lines << QString() << *trouble;
    if (const QString trouble = settingsTrouble(); !trouble.isEmpty())
        lines << QString() << trouble;
    return lines.join(QLatin1Char('\n'));
}

void AboutForm::cmdCopy_Click()
{
    QApplication::clipboard()->setText(txtAbout->toPlainText());
}

}  // namespace varnelo
