#pragma once

#include "import/RunView.h"

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace varnelo {

// "Patients on this medium": one row per patient found, a tick for each,
// the identity the images will get, and "Import" / "Cancel".
class PatientsForm : public QDialog {
    Q_OBJECT
public:
    PatientsForm(QWidget* owner, const MediumPatients& patients, const NewIdentity& identity);

    // The ticks when "Import" was pressed; nullopt for "Cancel" or the close box.
    std::optional<QList<bool>> result() const { return result_; }

    // Shows a fresh window modally over owner and returns its result.
    static std::optional<QList<bool>> choose(QWidget* owner, const MediumPatients& patients,
                                             const NewIdentity& identity);

    // Tests answer through this: the answerer gets the shown window instead
    // of a modal loop and presses its buttons.
    using Answerer = std::function<void(PatientsForm&)>;
    static void setAnswererForTesting(Answerer answerer);

    QTreeWidget* list() const { return list_; }
    QLabel* lblIdentity() const { return lblIdentity_; }
    QLabel* lblText() const { return lblText_; }
    QPushButton* cmdImport() const { return cmdImport_; }
    QPushButton* cmdCancel() const { return cmdCancel_; }
    // Whether the cell is marked as differing.
    bool isMarked(int row, int column) const;

    enum Column : int { Name = 0, Id, Issuer, BirthDate, Sex, Studies, Images, Count };

    // A value as a cell shows it: every control and format character as
    // "<U+XXXX>", the whole in an isolate of its own direction.
    static QString shownValue(const QString& value);

private:
    void updateImport();

    std::optional<QList<bool>> result_;
    QLabel* lblText_;
    QTreeWidget* list_;
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
    std::optional<QList<bool>> choosePatients(const MediumPatients& patients, const NewIdentity& identity) override
    {
        return PatientsForm::choose(owner_, patients, identity);
    }

private:
    QWidget* owner_;
};

}  // namespace varnelo
