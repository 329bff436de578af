#pragma once

#include "import/RunView.h"

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace varnelo {

class CheckTree;

// "What is on this medium": the patients found, under each its studies and
// under each study its series; what every destination already holds of each
// study; a tick for each patient and study, "Send again" for a study already
// held; the identity the images will get, and "Import" / "Cancel".
class PatientsForm : public QDialog {
    Q_OBJECT
public:
    // holdings: one entry per destination, in order (empty when none was asked).
    PatientsForm(QWidget* owner, const MediumPatients& patients, const NewIdentity& identity,
                 const QList<DestinationHoldings>& holdings = {});

    // The answer when "Import" was pressed; nullopt for "Cancel" or the close box.
    std::optional<MediumChoice> result() const { return result_; }

    // Shows a fresh window modally over owner and returns its result.
    static std::optional<MediumChoice> choose(QWidget* owner, const MediumPatients& patients, const NewIdentity& identity,
                                              const QList<DestinationHoldings>& holdings);

    // Tests answer through this: the answerer gets the shown window instead
    // of a modal loop and presses its buttons.
    using Answerer = std::function<void(PatientsForm&)>;
    static void setAnswererForTesting(Answerer answerer);

    QTreeWidget* list() const;
    QLabel* lblIdentity() const { return lblIdentity_; }
    QLabel* lblText() const { return lblText_; }
    QPushButton* cmdImport() const { return cmdImport_; }
    QPushButton* cmdCancel() const { return cmdCancel_; }
    // Whether the cell of a patient's row is marked as differing.
    bool isMarked(int row, int column) const;

    // Columns of a patient's row. A study's row shows its date, description
    // and modalities under Name, its images under Images; a series' row its
    // number, modality and description, and its images.
    enum Column : int { Name = 0,
                        Id,
                        Issuer,
                        BirthDate,
                        Sex,
                        Studies,
                        Images,
                        Count };
    // What destination d (0, 1) holds of a study: a column of the study's row.
    static int destinationColumn(int d) { return Count + d; }
    // The study's "Send again" tick, after the destinations' columns (when
    // a destination holds a study of the medium in full or in part).
    int sendAgainColumn() const { return Count + destinations_; }
    // The row of the study with this Study Instance UID, or nullptr.
    QTreeWidgetItem* studyItem(const QString& uid) const;

    // A value as a cell shows it: every control and format character as
    // "<U+XXXX>", the whole in an isolate of its own direction.
    static QString shownValue(const QString& value);

private:
    void addPatients(const MediumPatients& patients, const NewIdentity& identity, const MediumChoice& start);
    QTreeWidgetItem* addStudy(QTreeWidgetItem* patient, const MediumStudy& study, const MediumChoice& start);
    QString heldText(const DestinationHoldings& destination, const QString& studyUid) const;
    QString explanation(const MediumPatients& patients, const NewIdentity& identity) const;
    QString identityText(const NewIdentity& identity) const;
    QString orUnknown(const QString& value) const;
    void patientTicked(QTreeWidgetItem* patient);
    void studyTicked(QTreeWidgetItem* study, int column);
    void updateImport();
    MediumChoice answer() const;

    QList<DestinationHoldings> holdings_;
    int destinations_ = 0;
    bool anyHeld_ = false;
    bool anyOther_ = false;
    bool updating_ = false;
    std::optional<MediumChoice> result_;
    QLabel* lblText_;
    CheckTree* list_;
    QLabel* lblIdentity_;
    QPushButton* cmdImport_;
    QPushButton* cmdCancel_;
};

// The progress window's way of asking.
class PatientsFormPrompt : public PatientsPrompt {
public:
    explicit PatientsFormPrompt(QWidget* owner)
        : owner_(owner)
    {
    }
    std::optional<MediumChoice> chooseContents(const MediumPatients& patients, const NewIdentity& identity,
                                               const QList<DestinationHoldings>& holdings) override
    {
        return PatientsForm::choose(owner_, patients, identity, holdings);
    }

private:
    QWidget* owner_;
};

}  // namespace varnelo
