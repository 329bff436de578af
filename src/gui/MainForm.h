#pragma once

#include "base/Drives.h"
#include "import/ImportLaunch.h"

#include <QLineEdit>
#include <QMainWindow>

#include <functional>
#include <memory>

class QAction;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace varnelo {

class DriveCombo;
class ProgressForm;
class RemovableMedia;

// A line edit that filters what the operator types (and pastes) one
// character at a time, caps the typed length, and can show its text in upper
// case. Text set by the program is shown as it is, whole: a stored value is
// never cut or changed just by being displayed.
class FilteredLineEdit : public QLineEdit {
    Q_OBJECT
public:
    using CharFilter = std::function<bool(QChar)>;

    explicit FilteredLineEdit(QWidget* parent = nullptr);

    void setCharFilter(CharFilter filter) { filter_ = std::move(filter); }
    // Upper-cases the text and puts the caret at its end after every key release.
    void setUpperCaseOnKeyUp(bool on) { upperOnKeyUp_ = on; }
    // Characters the operator may type; 0 = unlimited.
    void setMaxChars(int n) { maxChars_ = n; }
    int maxChars() const { return maxChars_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // A dead key or a compose sequence commits through the input method, a
    // drop through drag and drop: both obey the same rules as typing.
    void inputMethodEvent(QInputMethodEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool accepts(QChar c) const { return !filter_ || filter_(c); }
    // What of `text` may go in at the caret: accepted characters, within the length.
    QString admitted(const QString& text) const;
    void pasteFiltered();
    void insertTyped(const QString& text);

    CharFilter filter_;
    bool upperOnKeyUp_ = false;
    int maxChars_ = 0;
};

// The main window: source, search method, destinations and the new patient
// ID. It is the view that LoadSettings, SaveSettings and the import launch
// work on.
class MainForm : public QMainWindow, public LaunchView {
    Q_OBJECT
public:
    explicit MainForm(QWidget* parent = nullptr);
    ~MainForm() override;

    // SettingsView
    void selectSearchByOption(std::int16_t number) override;
    void selectLocationOption(std::int16_t number) override;
    void setBoxText(Box box, const QString& text) override;
    QString boxText(Box box) const override;
    void setWithSubDirsValue(std::int16_t value) override;
    std::int16_t withSubDirsValue() const override;

    // What the import launch and the import engine read and change.
    QString newPatientId() const override;
    // The worklist entry picked for the box, while the box holds its ID.
    std::optional<DcmPatient> pickedPatient() const override;
    QString driveSelectorText() const override;
    bool withSubDirsTicked() const override;
    // Trims the six destination boxes in place (IP, AET, port of #1, then of #2).
    void trimDestinationBoxes();
    void setImportEnabled(bool enabled) override;
    bool isImportEnabled() const;
    void setBusyCursor(bool busy) override;
    void processEvents() override;
    bool exitRequested() const override { return exiting_; }
    // The progress window, opened for the connection checks and kept for the run.
    void showLaunchStatus(const QString& text) override;
    bool launchAborted() const override;
    void closeLaunchStatus() override;
    // Opens the progress window modally (or goes on in the one the checks
    // opened); the run takes place inside it. The new identity ends with the
    // run, whatever ends it.
    void runImport() override;

    // The "New Patient ID:" row.
    void setNewPatientIdVisible(bool visible);
    bool isNewPatientIdVisible() const;

    // The line under the drive selector: what became of the last medium, or
    // why one could not be opened.
    QString mediaStatus() const;

signals:
    void importRequested();
    void worklistRequested();

public slots:
    // The import launch and the worklist window hook in here.
    virtual void cmdImport_Click();
    virtual void cmdWKL_Click();

    void optLocation_Click(int index);
    void optSearchBy_Click(int index);
    void cmdBrowse_Click();
    void mnuFileExit_Click();
    void mnuViewOptions_Click();
    void mnuHelpAbout_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void createControls();
    void createMenus();
    void arrangeTabOrder();
    void Form_Load();
    void preselectDrive();
    void loadIcon();
    FilteredLineEdit* box(Box b) const;
    void showLockedSettings();
    void forgetNewIdentity();
    // Disc after disc: a medium arriving in the chosen drive, the import it
    // starts, and the medium's end after the summary.
    void mediumArrived(int index);
    void autoImport();
    void mediumDone(bool proved, const std::optional<DriveEntry>& source);
    void setMediaStatus(const QString& text);

    QWidget* central_ = nullptr;
    QLabel* Label4 = nullptr;
    QRadioButton* optLocation[2] = {};
    QButtonGroup* locationGroup_ = nullptr;
    QLabel* Label5 = nullptr;
    DriveCombo* cboDrive = nullptr;
    QLabel* lblMedia = nullptr;
    RemovableMedia* media_ = nullptr;
    bool autoPending_ = false;  // an arrival waits for the window to be free
    FilteredLineEdit* txtSpecialFolder = nullptr;
    QPushButton* cmdBrowse = nullptr;
    QCheckBox* chkWithSubDirs = nullptr;
    QLabel* Label1 = nullptr;
    QRadioButton* optSearchBy[2] = {};
    QButtonGroup* searchByGroup_ = nullptr;
    QLabel* lblSuffix = nullptr;
    FilteredLineEdit* txtSuffix = nullptr;
    QLabel* lblChangeID = nullptr;
    FilteredLineEdit* txtChangeID = nullptr;
    QLabel* lblPicked = nullptr;  // whose the picked ID is
    QGroupBox* Frame1 = nullptr;
    QLabel* Label2[6] = {};
    FilteredLineEdit* txtAET = nullptr;
    FilteredLineEdit* txtIP = nullptr;
    FilteredLineEdit* txtPort = nullptr;
    FilteredLineEdit* txtAET2 = nullptr;
    FilteredLineEdit* txtIP2 = nullptr;
    FilteredLineEdit* txtPort2 = nullptr;
    QPushButton* cmdWKL = nullptr;
    QPushButton* cmdImport = nullptr;
    QAction* mnuFileImport = nullptr;
    QAction* mnuTrenn = nullptr;
    QAction* mnuFileExit = nullptr;
    QAction* mnuViewOptions = nullptr;
    QAction* mnuHelpAbout = nullptr;
    std::optional<DcmPatient> picked_;
    std::unique_ptr<ProgressForm> progress_;  // from the connection checks to the end of the run
    bool centred_ = false;
    bool launching_ = false;
    bool ran_ = false;      // the launch got as far as a run
    bool exiting_ = false;  // File > Exit or the close box: settings saved, the launch stops
};

}  // namespace varnelo
