#pragma once

#include "worklist/WorklistQuery.h"

#include <QDialog>

class QTreeWidget;

namespace varnelo {

// The worklist window: one list of today's scheduled steps for this station,
// queried when the window becomes active. A view only.
class frmWorklist : public QDialog, public WorklistView {
    Q_OBJECT
public:
    explicit frmWorklist(QWidget* owner = nullptr);

    // Opens a new window modally over `owner`; it is discarded when closed.
    static void showModal(QWidget* owner);

    QTreeWidget* list() const { return lvWorklist_; }

    // WorklistView
    int appendRow() override;
    void setCell(int row, int column, const QString& text) override;
    void processEvents() override;
    void close() override;

    void SaveData(const DcmDatasetList& results);

protected:
    void changeEvent(QEvent* event) override;

private:
    void Form_Activate();

    QTreeWidget* lvWorklist_ = nullptr;
    bool queried_ = false;
};

}  // namespace varnelo
