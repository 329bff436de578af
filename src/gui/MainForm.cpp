#include "gui/MainForm.h"

#include "base/AppState.h"
#include "base/Error.h"
#include "base/IniFile.h"
#include "base/Logs.h"
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "base/RemovableMedia.h"
#include "base/Version.h"
#include "gui/AboutForm.h"
#include "gui/BrowseForFolder.h"
#include "gui/DriveCombo.h"
#include "gui/OptionForm.h"
#include "gui/ProgressForm.h"
#include "gui/frmWorklist.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QDropEvent>
#include <QGroupBox>
#include <QIcon>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

// The icons live in the gui library, which is linked statically.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace varnelo {

namespace {

constexpr int kClientWidth = 749;  // 11235 x 7065 twips
constexpr int kClientHeight = 471;

QFont arial(qreal points, bool bold = false)
{
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isAsciiLetterOrDigit(QChar c)
{
    return isDigit(c) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'));
}

// A group of option buttons is one stop of Tab, entered at its checked
// button (the arrow keys move within it); with none checked, each is a stop.
void tabStopAtChecked(QButtonGroup* group)
{
    const QAbstractButton* checked = group->checkedButton();
    for (QAbstractButton* b : group->buttons()) {
        const bool stop = !checked || b == checked;
        b->setFocusPolicy(stop ? Qt::FocusPolicy(b->focusPolicy() | Qt::TabFocus)
                               : Qt::FocusPolicy(b->focusPolicy() & ~Qt::TabFocus));
    }
}

// Start-up never shows an error: a step that fails is skipped.
template <typename F>
void guarded(F&& step)
{
    try {
        step();
    } catch (...) {
    }
}

}  // namespace

// --- FilteredLineEdit -------------------------------------------------------

FilteredLineEdit::FilteredLineEdit(QWidget* parent)
    : QLineEdit(parent)
{
}

void FilteredLineEdit::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Paste)) {
        pasteFiltered();
        event->accept();
        return;
    }
    const QString typed = event->text();
    if (!typed.isEmpty() && typed.at(0).isPrint()) {
        for (QChar c : typed) {
            if (!accepts(c)) {
                event->accept();
                return;
            }
        }
        if (maxChars_ > 0 && text().size() - selectedText().size() + typed.size() > maxChars_) {
            event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

void FilteredLineEdit::keyReleaseEvent(QKeyEvent* event)
{
    QLineEdit::keyReleaseEvent(event);
    if (!upperOnKeyUp_ || isReadOnly())  // an administrator's value stays as written
        return;
    const QString upper = text().toUpper();
    if (upper != text())
        setText(upper);
    setCursorPosition(upper.size());
}

void FilteredLineEdit::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = createStandardContextMenu();
    // The menu's Paste must obey the same rules as typing.
    if (QAction* paste = menu->findChild<QAction*>(QStringLiteral("edit-paste"))) {
        disconnect(paste, &QAction::triggered, nullptr, nullptr);
        connect(paste, &QAction::triggered, this, &FilteredLineEdit::pasteFiltered);
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

QString FilteredLineEdit::admitted(const QString& in) const
{
    QString out;
    for (QChar c : in) {
        if (c.isPrint() && accepts(c))
            out += c;
    }
    if (maxChars_ > 0) {
        const qsizetype room = maxChars_ - (text().size() - selectedText().size());
        out.truncate(std::max<qsizetype>(room, 0));
    }
    if (upperOnKeyUp_)
        out = out.toUpper();
    return out;
}

void FilteredLineEdit::pasteFiltered()
{
    if (isReadOnly())
        return;
    insert(admitted(QGuiApplication::clipboard()->text()));
}

void FilteredLineEdit::inputMethodEvent(QInputMethodEvent* event)
{
    const QString commit = event->commitString();
    if (commit.isEmpty() || isReadOnly()) {
        QLineEdit::inputMethodEvent(event);
        return;
    }
    const QString kept = admitted(commit);
    if (kept == commit) {
        QLineEdit::inputMethodEvent(event);
        return;
    }
    QInputMethodEvent filtered(event->preeditString(), event->attributes());
    filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
    QLineEdit::inputMethodEvent(&filtered);
    event->accept();
}

void FilteredLineEdit::dropEvent(QDropEvent* event)
{
    event->ignore();
    if (isReadOnly() || !event->mimeData()->hasText())
        return;
    setCursorPosition(cursorPositionAt(event->position().toPoint()));
    insert(admitted(event->mimeData()->text()));
    event->acceptProposedAction();
}

// --- MainForm ---------------------------------------------------------------

MainForm::MainForm(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("MainForm"));
    // Sizable, with a minimise box but no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(arial(8.25));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(224, 224, 224));
    setPalette(pal);
    initResources();
    setWindowIcon(QIcon(QStringLiteral(":/icons/varnelo.png")));
    setWindowTitle(QStringLiteral("Varnelo"));

    createControls();
    createMenus();
    arrangeTabOrder();
    resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());

    Form_Load();

    // UDisks2 mounts what the desktop did not; the mount table tells the selector.
    media_ = new RemovableMedia(mediaBus(), this);
    connect(media_, &RemovableMedia::problem, this, &MainForm::setMediaStatus);
    connect(cboDrive, &DriveCombo::mediumArrived, this, &MainForm::mediumArrived);
}

MainForm::~MainForm() = default;

void MainForm::createControls()
{
    central_ = new QWidget(this);
    central_->setObjectName(QStringLiteral("central"));
    central_->setAutoFillBackground(true);
    setCentralWidget(central_);
    QWidget* c = central_;

    auto label = [](QWidget* parent, const char* name, const QString& text, const QRect& geo) {
        auto* l = new QLabel(text, parent);
        l->setObjectName(QLatin1String(name));
        l->setGeometry(geo);
        return l;
    };
    auto edit = [](QWidget* parent, const char* name, const QRect& geo) {
        auto* e = new FilteredLineEdit(parent);
        e->setObjectName(QLatin1String(name));
        e->setGeometry(geo);
        return e;
    };
    auto radio = [](QWidget* parent, const char* name, const QString& text, const QRect& geo) {
        auto* r = new QRadioButton(text, parent);
        r->setObjectName(QLatin1String(name));
        // Only the circle and the caption take clicks; no dead space beside them.
        r->setGeometry(geo.x(), geo.y(), r->sizeHint().width(), geo.height());
        return r;
    };

    // Source
    Label4 = label(c, "Label4", tr("What is the source?"), {24, 16, 220, 18});
    Label4->setFont(arial(8.25, true));
    optLocation[0] = radio(c, "optLocation0", tr("CD or Hard Drive"), {40, 38, 200, 20});
    optLocation[1] = radio(c, "optLocation1", tr("Specific Folder"), {40, 60, 200, 20});
    locationGroup_ = new QButtonGroup(this);
    locationGroup_->addButton(optLocation[0], 1);  // ids are the tag values
    locationGroup_->addButton(optLocation[1], 2);
    connect(locationGroup_, &QButtonGroup::idClicked, this, [this](int id) { optLocation_Click(id - 1); });
    connect(locationGroup_, &QButtonGroup::buttonToggled, this, [this] { tabStopAtChecked(locationGroup_); });

    Label5 = label(c, "Label5", tr("Look in:"), {24, 92, 200, 16});
    cboDrive = new DriveCombo(c);
    cboDrive->setObjectName(QStringLiteral("cboDrive"));
    cboDrive->setGeometry(24, 110, 300, 22);
    lblMedia = label(c, "lblMedia", QString(), {24, 164, 320, 36});
    lblMedia->setWordWrap(true);
    lblMedia->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    txtSpecialFolder = edit(c, "txtSpecialFolder", {24, 110, 266, 22});
    cmdBrowse = new QPushButton(QStringLiteral("..."), c);
    cmdBrowse->setObjectName(QStringLiteral("cmdBrowse"));
    cmdBrowse->setGeometry(294, 110, 30, 22);
    connect(cmdBrowse, &QPushButton::clicked, this, &MainForm::cmdBrowse_Click);
    chkWithSubDirs = new QCheckBox(tr("Include sub directories"), c);
    chkWithSubDirs->setObjectName(QStringLiteral("chkWithSubDirs"));
    chkWithSubDirs->setGeometry(24, 140, chkWithSubDirs->sizeHint().width(), 20);
    // A grey value loaded from the file turns into a plain tick on the first click.
    connect(chkWithSubDirs, &QCheckBox::clicked, this, [this] { chkWithSubDirs->setTristate(false); });

    // Search by
    Label1 = label(c, "Label1", tr("Search by"), {360, 16, 150, 18});
    Label1->setFont(arial(8.25, true));
    optSearchBy[0] = radio(c, "optSearchBy0", tr("DICOM Dir"), {376, 38, 150, 20});
    optSearchBy[1] = radio(c, "optSearchBy1", tr("DICOM Files"), {376, 60, 150, 20});
    searchByGroup_ = new QButtonGroup(this);
    searchByGroup_->addButton(optSearchBy[0], 1);
    searchByGroup_->addButton(optSearchBy[1], 2);
    connect(searchByGroup_, &QButtonGroup::idClicked, this, [this](int id) { optSearchBy_Click(id - 1); });
    connect(searchByGroup_, &QButtonGroup::buttonToggled, this, [this] { tabStopAtChecked(searchByGroup_); });

    lblSuffix = label(c, "lblSuffix", tr("File suffix (optional):"), {360, 92, 150, 16});
    txtSuffix = edit(c, "txtSuffix", {360, 110, 120, 22});
    txtSuffix->setToolTip(tr("i.E. DCM"));
    txtSuffix->setCharFilter(isAsciiLetterOrDigit);
    txtSuffix->setUpperCaseOnKeyUp(true);

    lblChangeID = label(c, "lblChangeID", tr("New Patient ID:"), {360, 144, 150, 16});
    txtChangeID = edit(c, "txtChangeID", {360, 162, 150, 22});
    // what a Patient ID can hold: one value of up to 64 characters
    txtChangeID->setCharFilter([](QChar ch) { return ch != QLatin1Char('\\'); });
    txtChangeID->setMaxChars(64);
    txtChangeID->setToolTip(tr("Double-click a patient in the Worklist (or press Enter on it) to take its "
                               "Patient ID, name, birth date and sex."));
    lblPicked = label(c, "lblPicked", QString(), {360, 186, 370, 16});
    lblPicked->setFont(arial(8.25));
    // typing makes the box the operator's own again: only the typed ID applies
    connect(txtChangeID, &QLineEdit::textEdited, this, [this] {
        picked_.reset();
        lblPicked->clear();
    });

    cmdImport = new QPushButton(tr("IMPORT"), c);
    cmdImport->setObjectName(QStringLiteral("cmdImport"));
    cmdImport->setFont(arial(24));
    cmdImport->setGeometry(544, 24, 181, 160);
    connect(cmdImport, &QPushButton::clicked, this, &MainForm::cmdImport_Click);
    // Enter starts it too, as Space does: the window is no dialog, so a
    // button takes Enter only when told to.
    cmdImport->setAutoDefault(true);

    // DICOM Communication: a grid of destination rows under column headings.
    Frame1 = new QGroupBox(tr("DICOM Communication"), c);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFont(arial(9.75));
    Frame1->setGeometry(16, 204, 717, 251);
    QWidget* f = Frame1;
    const QFont base = arial(8.25);
    Label2[0] = label(f, "Label2_0", tr("Remote AET:"), {150, 32, 180, 16});
    Label2[1] = label(f, "Label2_1", tr("Remote IP:"), {342, 32, 210, 16});
    Label2[2] = label(f, "Label2_2", tr("Remote Port:"), {564, 32, 100, 16});
    Label2[4] = label(f, "Label2_4", tr("Destination #1:"), {16, 52, 130, 24});
    Label2[5] = label(f, "Label2_5", tr("Destination #2:"), {16, 92, 130, 24});
    for (int i : {0, 1, 2})
        Label2[i]->setFont(base);
    Label2[4]->setFont(arial(12));
    Label2[5]->setFont(arial(12));

    txtAET = edit(f, "txtAET", {150, 52, 180, 24});
    txtIP = edit(f, "txtIP", {342, 52, 210, 24});
    txtPort = edit(f, "txtPort", {564, 52, 80, 24});
    txtAET2 = edit(f, "txtAET2", {150, 92, 180, 24});
    txtIP2 = edit(f, "txtIP2", {342, 92, 210, 24});
    txtPort2 = edit(f, "txtPort2", {564, 92, 80, 24});
    for (FilteredLineEdit* e : {txtAET, txtIP, txtPort, txtAET2, txtIP2, txtPort2})
        e->setFont(base);
    txtAET->setMaxChars(16);
    txtAET2->setMaxChars(16);
    txtPort->setMaxChars(5);
    txtPort->setCharFilter(isDigit);
    txtPort2->setCharFilter(isDigit);

    cmdWKL = new QPushButton(tr("Worklist"), f);
    cmdWKL->setObjectName(QStringLiteral("cmdWKL"));
    cmdWKL->setFont(arial(20.25));
    cmdWKL->setGeometry(494, 152, 207, 80);
    connect(cmdWKL, &QPushButton::clicked, this, &MainForm::cmdWKL_Click);
    cmdWKL->setAutoDefault(true);
    cmdBrowse->setAutoDefault(true);

    // What a screen reader says for each box: a box inside the group would
    // take the group's caption, one without a label would say nothing.
    cboDrive->setAccessibleName(tr("Source drive"));
    cboDrive->view()->setAccessibleName(tr("Drives"));  // the open list
    txtSpecialFolder->setAccessibleName(tr("Source folder"));
    cmdBrowse->setAccessibleName(tr("Choose the source folder"));
    txtSuffix->setAccessibleName(tr("File suffix"));
    lblSuffix->setBuddy(txtSuffix);
    txtChangeID->setAccessibleName(tr("New Patient ID"));
    lblChangeID->setBuddy(txtChangeID);
    FilteredLineEdit* const rows[2][3] = {{txtAET, txtIP, txtPort}, {txtAET2, txtIP2, txtPort2}};
    for (int d = 0; d < 2; ++d) {
        rows[d][0]->setAccessibleName(tr("Destination %1 AE title").arg(d + 1));
        rows[d][1]->setAccessibleName(tr("Destination %1 host").arg(d + 1));
        rows[d][2]->setAccessibleName(tr("Destination %1 port").arg(d + 1));
    }

    // As designed: before the settings select anything, the drive row and
    // nothing else of the optional rows shows.
    txtSpecialFolder->hide();
    cmdBrowse->hide();
    chkWithSubDirs->hide();
    lblSuffix->hide();
    txtSuffix->hide();
    lblChangeID->hide();
    txtChangeID->hide();
    lblPicked->hide();
}

void MainForm::createMenus()
{
    QMenu* mnuFile = menuBar()->addMenu(tr("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFileImport = mnuFile->addAction(tr("&Import"));
    mnuFileImport->setObjectName(QStringLiteral("mnuFileImport"));
    mnuTrenn = mnuFile->addSeparator();
    mnuTrenn->setObjectName(QStringLiteral("mnuTrenn"));
    mnuFileExit = mnuFile->addAction(tr("E&xit"));
    mnuFileExit->setObjectName(QStringLiteral("mnuFileExit"));

    QMenu* mnuView = menuBar()->addMenu(tr("&View"));
    mnuView->setObjectName(QStringLiteral("mnuView"));
    mnuViewOptions = mnuView->addAction(tr("&Options..."));
    mnuViewOptions->setObjectName(QStringLiteral("mnuViewOptions"));

    connect(mnuFileImport, &QAction::triggered, this, &MainForm::cmdImport_Click);
    connect(mnuFileExit, &QAction::triggered, this, &MainForm::mnuFileExit_Click);
    connect(mnuViewOptions, &QAction::triggered, this, &MainForm::mnuViewOptions_Click);

    QMenu* mnuHelp = menuBar()->addMenu(tr("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpAbout = mnuHelp->addAction(tr("&About Varnelo..."));
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));
    connect(mnuHelpAbout, &QAction::triggered, this, &MainForm::mnuHelpAbout_Click);
}

void MainForm::arrangeTabOrder()
{
    const QList<QWidget*> order = {optSearchBy[0], optSearchBy[1], optLocation[0], optLocation[1], txtSpecialFolder,
                                   cmdBrowse, cboDrive, chkWithSubDirs, txtSuffix, cmdImport,
                                   txtAET, txtIP, txtPort, txtAET2, txtIP2,
                                   txtPort2, txtChangeID, cmdWKL};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void MainForm::Form_Load()
{
    guarded([] { appState().IniPath = prepareSettingsFile(); });
    guarded([this] { LoadSettings(*this); });
    guarded([this] { showLockedSettings(); });
    // a settings file that was refused is said once the window is up
    guarded([this] {
        if (const QString trouble = settingsTrouble(); !trouble.isEmpty())
            QTimer::singleShot(0, this, [trouble] { MessageBox::show(trouble, MessageBox::Icon::Warning); });
    });
    guarded([this] { setNewPatientIdVisible(appState().ChangeID); });
    guarded([this] { preselectDrive(); });
    guarded([this] {
        setWindowTitle(appState().AppName + QStringLiteral(" %1.%2.%3").arg(VARNELO_VERSION_MAJOR).arg(VARNELO_VERSION_MINOR).arg(VARNELO_VERSION_PATCH));
    });
    guarded([this] { loadIcon(); });
}

void MainForm::preselectDrive()
{
    const QString wanted = appState().Drive.toUpper();
    for (int i = 0; i < cboDrive->count(); ++i) {
        const QString text = cboDrive->itemText(i);
        // An empty drive matches the first entry that has any text.
        if (!text.isEmpty() && text.toUpper().contains(wanted)) {
            cboDrive->setCurrentIndex(i);
            return;
        }
    }
}

void MainForm::loadIcon()
{
    // The file system tells "App.ico" from "app.ico"; the program does not.
    const QFileInfoList files = QDir(programFolder()).entryInfoList(QDir::Files);
    for (const QFileInfo& file : files) {
        if (file.fileName().compare(QLatin1String("app.ico"), Qt::CaseInsensitive) != 0)
            continue;
        const QIcon icon(file.absoluteFilePath());
        if (!icon.availableSizes().isEmpty())
            setWindowIcon(icon);
        return;
    }
}

void MainForm::showEvent(QShowEvent* event)
{
    if (!centred_) {
        centred_ = true;
        if (QScreen* s = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(s->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QMainWindow::showEvent(event);
}

void MainForm::closeEvent(QCloseEvent* event)
{
    if (!exiting_)
        guarded([this] { SaveSettings(*this); });
    // a launch waiting for the drive or a peer ends without another word
    exiting_ = true;
    event->accept();
}

// --- SettingsView -----------------------------------------------------------

namespace {
// An exclusive group refuses to clear its checked button directly.
void clearGroup(QButtonGroup* group)
{
    group->setExclusive(false);
    for (QAbstractButton* b : group->buttons())
        b->setChecked(false);
    group->setExclusive(true);
}
}  // namespace

void MainForm::selectSearchByOption(std::int16_t number)
{
    if (number != 1 && number != 2) {
        clearGroup(searchByGroup_);
        return;
    }
    optSearchBy[number - 1]->setChecked(true);
    optSearchBy_Click(number - 1);
}

void MainForm::selectLocationOption(std::int16_t number)
{
    if (number != 1 && number != 2) {
        clearGroup(locationGroup_);
        return;
    }
    optLocation[number - 1]->setChecked(true);
    optLocation_Click(number - 1);
}

// What the administrator fixed is shown, but is not the operator's to
// change: SaveSettings would not keep it anyway.
void MainForm::showLockedSettings()
{
    const QString why = tr("Set by your administrator.");
    for (Box b : {Box::Suffix, Box::SourceDir, Box::RemoteAET, Box::RemoteIP, Box::RemotePort, Box::RemoteAET2,
                  Box::RemoteIP2, Box::RemotePort2}) {
        const bool locked = isLockedBox(b);
        box(b)->setReadOnly(locked);
        if (locked)
            box(b)->setToolTip(why);
    }
    if (isLockedBox(Box::SourceDir)) {
        cmdBrowse->setEnabled(false);
        cmdBrowse->setToolTip(why);
    }
    const QString def = QStringLiteral("Default");
    const std::pair<QList<QWidget*>, QString> switches[] = {
        {{optSearchBy[0], optSearchBy[1]}, QStringLiteral("SearchBy")},
        {{optLocation[0], optLocation[1]}, QStringLiteral("Location")},
        {{chkWithSubDirs}, QStringLiteral("WithSubDirs")},
    };
    for (const auto& [controls, key] : switches) {
        if (!isLockedSetting(def, key))
            continue;
        for (QWidget* control : controls) {
            control->setEnabled(false);
            control->setToolTip(why);
        }
    }
}

FilteredLineEdit* MainForm::box(Box b) const
{
    switch (b) {
    case Box::Suffix:
        return txtSuffix;
    case Box::SourceDir:
        return txtSpecialFolder;
    case Box::RemoteAET:
        return txtAET;
    case Box::RemoteIP:
        return txtIP;
    case Box::RemotePort:
        return txtPort;
    case Box::RemoteAET2:
        return txtAET2;
    case Box::RemoteIP2:
        return txtIP2;
    case Box::RemotePort2:
        return txtPort2;
    }
    return txtSuffix;
}

void MainForm::setBoxText(Box b, const QString& text)
{
    box(b)->setText(text);
}

QString MainForm::boxText(Box b) const
{
    return box(b)->text();
}

void MainForm::setWithSubDirsValue(std::int16_t value)
{
    switch (value) {
    case 0:
        chkWithSubDirs->setTristate(false);
        chkWithSubDirs->setCheckState(Qt::Unchecked);
        return;
    case 1:
        chkWithSubDirs->setTristate(false);
        chkWithSubDirs->setCheckState(Qt::Checked);
        return;
    case 2:
        chkWithSubDirs->setTristate(true);
        chkWithSubDirs->setCheckState(Qt::PartiallyChecked);
        return;
    default:
        throw Error(380, QStringLiteral("Invalid property value"));
    }
}

std::int16_t MainForm::withSubDirsValue() const
{
    switch (chkWithSubDirs->checkState()) {
    case Qt::Unchecked:
        return 0;
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    }
    return 0;
}

// --- What the import reads ----------------------------------------------------

QString MainForm::newPatientId() const
{
    return txtChangeID->text();
}

std::optional<DcmPatient> MainForm::pickedPatient() const
{
    if (picked_ && picked_->PatientID == txtChangeID->text())
        return picked_;
    return std::nullopt;
}

QString MainForm::driveSelectorText() const
{
    return cboDrive->currentText();
}

bool MainForm::withSubDirsTicked() const
{
    // A grey box counts as ticked, like any value other than 0.
    return chkWithSubDirs->checkState() != Qt::Unchecked;
}

void MainForm::trimDestinationBoxes()
{
    for (FilteredLineEdit* e : {txtIP, txtAET, txtPort, txtIP2, txtAET2, txtPort2})
        e->setText(e->text().trimmed());
}

void MainForm::setImportEnabled(bool enabled)
{
    cmdImport->setEnabled(enabled);
}

bool MainForm::isImportEnabled() const
{
    return cmdImport->isEnabled();
}

void MainForm::setBusyCursor(bool busy)
{
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void MainForm::setNewPatientIdVisible(bool visible)
{
    lblChangeID->setVisible(visible);
    txtChangeID->setVisible(visible);
    lblPicked->setVisible(visible);
}

bool MainForm::isNewPatientIdVisible() const
{
    return !txtChangeID->isHidden() && !lblChangeID->isHidden();
}

// --- Event handlers -----------------------------------------------------------

void MainForm::cmdImport_Click()
{
    // File > Import stays reachable while a launch waits for the drive or a
    // peer; a second launch inside the first would run two imports at once.
    if (launching_)
        return;
    launching_ = true;
    ran_ = false;
    // IMPORT is disabled while the launch runs, and the focus moves on to the
    // next box: destination 1's AE title, where an ID typed next would land.
    const QPointer<QWidget> before = focusWidget();
    emit importRequested();
    varnelo::cmdImport_Click(*this);
    launching_ = false;
    if (exiting_)
        return;
    if (ran_ || !before || !before->isVisible() || !before->isEnabled()) {
        if (isNewPatientIdVisible() && txtChangeID->isEnabled())
            txtChangeID->setFocus(Qt::OtherFocusReason);
        else
            cmdImport->setFocus(Qt::OtherFocusReason);
    } else {
        before->setFocus(Qt::OtherFocusReason);  // a stopped launch: back where the operator was
    }
}

void MainForm::cmdWKL_Click()
{
    emit worklistRequested();
    const std::optional<DcmPatient> picked = frmWorklist::showModal(this);
    if (!picked)
        return;
    picked_ = picked;
    txtChangeID->setText(picked->PatientID);
    QStringList whose;
    whose << (picked->PatientName.isEmpty() ? tr("(no name)") : picked->PatientName);
    if (const QDate born = QDate::fromString(picked->BirthDate, QStringLiteral("yyyyMMdd")); born.isValid())
        whose << tr("born %1").arg(shownDate(born));
    if (!picked->Sex.isEmpty())
        whose << picked->Sex;
    lblPicked->setText(whose.join(QStringLiteral(", ")));
    lblPicked->setToolTip(tr("The images get this patient's ID, name, birth date and sex (from the worklist)"));
}

void MainForm::processEvents()
{
    QCoreApplication::processEvents();
}

void MainForm::runImport()
{
    ran_ = true;
    // The next medium needs an ID or a pick of its own.
    struct Forget {
        MainForm* form;
        ~Forget() { form->forgetNewIdentity(); }
    } forget {this};
    std::unique_ptr<ProgressForm> form = std::move(progress_);
    if (!form)
        form = std::make_unique<ProgressForm>(this, [this] { return newPatientId(); });
    form->run().pickedPatient = [this] { return pickedPatient(); };
    // the summary says it when the disc is not to come out
    form->run().summaryFooter = [this](bool clean) {
        return appState().EjectWhenDone && appState().Location == 1 && !clean
            ? tr("The disc stays in the drive: not everything was proved.")
            : QString();
    };
    // the drive as it was chosen: letters may shift while the run goes on
    std::optional<DriveEntry> source;
    if (appState().Location == 1) {
        guarded([&] {
            for (const DriveEntry& d : driveTable().drives())
                if (d.designation.compare(appState().ImportDrive, Qt::CaseInsensitive) == 0)
                    source = d;
        });
    }
    setMediaStatus(QString());
    form->execRun();
    // Out only when nothing on it is left unproved: every image found sent,
    // every destination's confirmation in.
    const ImportRun& run = form->run();
    const bool proved = run.summaryIsClean() && !run.cancelled() && run.ImportedCount > 0;
    form.reset();  // the run lets go of the medium's files first
    mediumDone(proved, source);
}

void MainForm::mediumDone(bool proved, const std::optional<DriveEntry>& source)
{
    if (!appState().EjectWhenDone || !source)
        return;
    if (!proved) {
        setMediaStatus(tr("The disc stays in the drive: not everything was proved."));
        return;
    }
    const QString trouble = media_->eject(*source);
    if (!trouble.isEmpty()) {
        setMediaStatus(trouble);
        MessageBox::show(trouble, MessageBox::Icon::Warning);
        return;
    }
    setMediaStatus(tr("Insert the next disc."));
}

void MainForm::mediumArrived(int index)
{
    if (index != cboDrive->currentIndex())
        return;
    setMediaStatus(QString());
    if (appState().AutoImport && appState().Location == 1 && !autoPending_) {
        autoPending_ = true;
        QTimer::singleShot(0, this, &MainForm::autoImport);
    }
}

void MainForm::autoImport()
{
    if (exiting_ || !appState().AutoImport || appState().Location != 1) {
        autoPending_ = false;
        return;
    }
    // a run, the summary, the Options dialog: the medium waits until they close
    if (launching_ || QApplication::activeModalWidget()) {
        QTimer::singleShot(500, this, &MainForm::autoImport);
        return;
    }
    autoPending_ = false;
    bool ready = false;
    guarded([&] { ready = driveTable().isReady(driveFromSelectorText(cboDrive->currentText())); });
    if (ready)  // not taken out again meanwhile
        cmdImport_Click();
}

void MainForm::setMediaStatus(const QString& text)
{
    lblMedia->setText(text);
}

QString MainForm::mediaStatus() const
{
    return lblMedia->text();
}

void MainForm::showLaunchStatus(const QString& text)
{
    if (!progress_)
        progress_ = std::make_unique<ProgressForm>(this, [this] { return newPatientId(); });
    progress_->showLaunchStatus(text);
}

bool MainForm::launchAborted() const
{
    return progress_ && progress_->launchAborted();
}

void MainForm::closeLaunchStatus()
{
    if (progress_)
        progress_->hide();
    progress_.reset();
}

void MainForm::forgetNewIdentity()
{
    picked_.reset();
    txtChangeID->clear();
    lblPicked->clear();
    lblPicked->setToolTip(QString());
}

void MainForm::optLocation_Click(int index)
{
    appState().Location = static_cast<std::int16_t>(index + 1);
    const bool folder = index == 1;
    txtSpecialFolder->setVisible(folder);
    cmdBrowse->setVisible(folder);
    chkWithSubDirs->setVisible(folder);
    cboDrive->setVisible(!folder);
}

void MainForm::optSearchBy_Click(int index)
{
    appState().SearchBy = static_cast<std::int16_t>(index + 1);
    const bool files = index == 1;
    lblSuffix->setVisible(files);
    txtSuffix->setVisible(files);
}

void MainForm::cmdBrowse_Click()
{
    const QString folder = BrowseForFolder(tr("Select specific folder:"), txtSpecialFolder->text());
    if (!folder.isEmpty())
        txtSpecialFolder->setText(folder);
}

void MainForm::mnuFileExit_Click()
{
    guarded([this] { SaveSettings(*this); });
    exiting_ = true;  // saved once; a launch under way stops
    QApplication::closeAllWindows();
    QCoreApplication::quit();
}

void MainForm::mnuViewOptions_Click()
{
    OptionForm dialog(this);
    dialog.exec();
}

void MainForm::mnuHelpAbout_Click()
{
    auto* about = new AboutForm(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

}  // namespace varnelo
