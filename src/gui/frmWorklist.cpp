#include "gui/frmWorklist.h"

#include "gui/WindowLook.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHeaderView>
#include <QTreeWidget>

namespace varnelo {

frmWorklist::frmWorklist(QWidget* owner)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("frmWorklist"));
    setWindowTitle(QStringLiteral("Worklist"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);
    if (owner)
        setWindowIcon(owner->windowIcon());
    applyWindowLook(this, 12);
    resize(twips(11640), twips(5775));

    // No layout: the list keeps its place and size when the window is resized.
    lvWorklist_ = new QTreeWidget(this);
    lvWorklist_->setObjectName(QStringLiteral("lvWorklist"));
    QFont listFont(QStringLiteral("Tahoma"));
    listFont.setPointSizeF(15.75);
    lvWorklist_->setFont(listFont);
    lvWorklist_->setGeometry(twips(90), twips(90), twips(10335), twips(5415));
    lvWorklist_->setRootIsDecorated(false);
    lvWorklist_->setItemsExpandable(false);
    lvWorklist_->setUniformRowHeights(true);
    lvWorklist_->setSortingEnabled(false);
    lvWorklist_->setHeaderLabels(worklistHeaders());
    lvWorklist_->header()->setStretchLastSection(false);
    lvWorklist_->header()->setSectionsMovable(false);
    for (int c = 0; c < WorklistColumn::Count; ++c)
        lvWorklist_->setColumnWidth(c, twips(1440));
}

void frmWorklist::showModal(QWidget* owner)
{
    auto* window = new frmWorklist(owner);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowModality(Qt::ApplicationModal);
    window->exec();
}

void frmWorklist::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Form_Activate();
}

void frmWorklist::Form_Activate()
{
    // The window becomes active again after a message box or another
    // application; only the first activation of an opening queries.
    if (queried_)
        return;
    queried_ = true;
    WLQuery(*this);
}

int frmWorklist::appendRow()
{
    auto* item = new QTreeWidgetItem(lvWorklist_);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return lvWorklist_->topLevelItemCount() - 1;
}

void frmWorklist::setCell(int row, int column, const QString& text)
{
    if (QTreeWidgetItem* item = lvWorklist_->topLevelItem(row))
        item->setText(column, text);
}

void frmWorklist::processEvents()
{
    QCoreApplication::processEvents();
}

void frmWorklist::close()
{
    QDialog::close();
}

void frmWorklist::SaveData(const DcmDatasetList& results)
{
    varnelo::SaveData(*this, results);
}

}  // namespace varnelo
