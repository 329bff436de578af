#pragma once

#include "worklist/WorklistQuery.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QList>

#include <optional>

class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace varnelo {

// The worklist window: one list of today's scheduled steps for this station,
// queried when the window becomes active, and a filter over names and IDs
// above it. While "Change Patient ID" is on, a double-click or Enter on a row
// picks that row's Patient ID and closes the window; otherwise it is a view
// only. Escape closes it.
class frmWorklist : public QDialog, public WorklistView {
    Q_OBJECT
public:
    explicit frmWorklist(QWidget* owner = nullptr);
    ~frmWorklist() override;

    // Opens a new window modally over `owner`; it is discarded when closed.
    // Returns the patient picked from it, nullopt when none was.
    static std::optional<DcmPatient> showModal(QWidget* owner);

    QTreeWidget* list() const { return lvWorklist_; }
    QLineEdit* filterBox() const { return txtFilter_; }

    // WorklistView
    int appendRow() override;
    void setCell(int row, int column, const QString& text) override;
    void setRowPatient(int row, const DcmPatient& patient) override;
    void setCellToolTip(int row, int column, const QString& text) override;
    void processEvents() override;
    void finishRows() override;
    void close() override;

    void SaveData(const DcmDatasetList& results);

    // The face the list is drawn in: Tahoma, registered from the file that
    // Debian's fonts-wine installs outside fontconfig's folders when no
    // Tahoma is installed otherwise.
    static QString listFontFamily();

signals:
    void patientPicked(const varnelo::DcmPatient& patient);

protected:
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Activate();
    QTreeWidgetItem* rowItem(int row) const;
    void showHeldRows();
    void pickPatient(QTreeWidgetItem* item);
    // Shows the rows whose name or ID holds the filter's text.
    void applyFilter();
    bool matchesFilter(const QTreeWidgetItem* item) const;
    void enterList();
    void fitColumns(bool everyRow = false);

    QTreeWidget* lvWorklist_ = nullptr;
    QLineEdit* txtFilter_ = nullptr;
    bool queried_ = false;
    // Rows filled but not yet in the list (see processEvents).
    QList<QTreeWidgetItem*> held_;
    QElapsedTimer sinceShown_;
    QList<DcmPatient> patients_;  // by row
};

}  // namespace varnelo
