#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace varnelo {

class FilteredLineEdit;
class MainForm;

// The Options dialog: the local AE title, the import switches, how each
// destination is reached (associations, DICOMweb) and the worklist provider. Loaded from AppState when created; OK stores every
// value in AppState and the settings file; Cancel, Escape and the close box
// change nothing.
class OptionForm : public QDialog {
    Q_OBJECT
public:
    explicit OptionForm(MainForm* owner);

public slots:
    void cmdOK_Click();
    void cmdCancel_Click();
    // Checks the destinations, the worklist and CommitPort with the values
    // the dialog holds, in a window of its own.
    void cmdTestConnections_Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void createControls();
    void createDestinationControls();
    void Form_Load();
    void showLockedSettings();

    MainForm* owner_;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
    QPushButton* cmdTestConnections = nullptr;
    FilteredLineEdit* txtLocalAET = nullptr;
    QLabel* Label2 = nullptr;
    QCheckBox* chkMergeLog = nullptr;
    QCheckBox* chkValidate = nullptr;
    QCheckBox* chkStudyDir = nullptr;
    QCheckBox* chkChangeID = nullptr;
    QLabel* lblIssuer = nullptr;
    FilteredLineEdit* txtIssuer = nullptr;
    QCheckBox* chkAutoImport = nullptr;
    QCheckBox* chkEjectWhenDone = nullptr;
    QLabel* lblLanguage = nullptr;
    QComboBox* cboLanguage = nullptr;
    // Destination 1 and 2: [DICOM] Associations(2) and RemoteURL(2).
    struct Destination {
        QGroupBox* frame = nullptr;
        QLabel* lblAssociations = nullptr;
        QSpinBox* spnAssociations = nullptr;
        QLabel* lblURL = nullptr;
        QLineEdit* txtURL = nullptr;
    };
    Destination destinations_[2];
    QGroupBox* fraWKL = nullptr;
    QLineEdit* txtWLIP = nullptr;
    QLineEdit* txtWLAET = nullptr;
    QLineEdit* txtWLPort = nullptr;
    QLineEdit* txtModality = nullptr;
};

}  // namespace varnelo
