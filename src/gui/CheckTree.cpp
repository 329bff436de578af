#include "gui/CheckTree.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QWindow>

namespace varnelo {

namespace {

class TreeAccessible;

// One cell of the tree, or of its header (an invalid index and the column).
// Children are numbered as QTreeView numbers them in its focus events: the
// header row first, then each shown row, column after column.
class CellAccessible : public QAccessibleInterface, public QAccessibleActionInterface, public QAccessibleTableCellInterface {
public:
    CellAccessible(CheckTree* tree, const QModelIndex& index, int column)
        : tree_(tree)
        , index_(index)
        , column_(column)
    {
    }

    QModelIndex index() const { return index_; }

    bool isValid() const override { return tree_ && (header_ || index_.isValid()); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return tree_ ? tree_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(tree_.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* focusChild() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    void setText(QAccessible::Text, const QString&) override {}

    QAccessible::Role role() const override
    {
        return header_ ? QAccessible::ColumnHeader : QAccessible::TreeItem;
    }

    QString text(QAccessible::Text t) const override
    {
        if (!isValid())
            return {};
        if (header_)
            return t == QAccessible::Name ? tree_->headerItem()->text(column_) : QString();
        if (t == QAccessible::Name) {
            const QVariant own = index_.data(Qt::AccessibleTextRole);
            return own.isValid() ? own.toString() : index_.data(Qt::DisplayRole).toString();
        }
        if (t == QAccessible::Description) {
            const QVariant own = index_.data(Qt::AccessibleDescriptionRole);
            return own.isValid() ? own.toString() : index_.data(Qt::ToolTipRole).toString();
        }
        return {};
    }

    QRect rect() const override
    {
        if (!isValid())
            return {};
        if (header_) {
            QHeaderView* header = tree_->header();
            if (header->isHidden())
                return {};
            const QRect r(header->sectionViewportPosition(column_), 0, header->sectionSize(column_), header->height());
            return r.translated(header->viewport()->mapToGlobal(QPoint(0, 0)));
        }
        const QRect r = tree_->visualRect(index_);
        return r.translated(tree_->viewport()->mapToGlobal(QPoint(0, 0)));
    }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        if (header_)
            return s;
        const Qt::ItemFlags flags = index_.flags();
        s.disabled = !(flags & Qt::ItemIsEnabled);
        if (flags & Qt::ItemIsSelectable) {
            s.selectable = true;
            s.focusable = true;
        }
        s.selected = tree_->selectionModel()->isSelected(index_);
        s.focused = tree_->currentIndex() == index_;
        if (checkable()) {
            s.checkable = true;
            const auto check = index_.data(Qt::CheckStateRole).value<Qt::CheckState>();
            s.checked = check == Qt::Checked;
            s.checkStateMixed = check == Qt::PartiallyChecked;
        }
        if (index_.column() == 0 && tree_->model()->hasChildren(index_)) {
            s.expandable = true;
            s.expanded = tree_->isExpanded(index_);
            s.collapsed = !s.expanded;
        }
        if (!tree_->viewport()->rect().intersects(tree_->visualRect(index_)))
            s.offscreen = true;
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface*>(this);
        if (type == QAccessible::TableCellInterface)
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    // A cell's one action ticks or unticks its check box.
    QStringList actionNames() const override
    {
        if (!isValid() || header_)
            return {};
        if (checkable() && (index_.flags() & Qt::ItemIsEnabled))
            return {toggleAction()};
        return {};
    }

    void doAction(const QString& name) override
    {
        if (name != toggleAction() || !actionNames().contains(name))
            return;
        QTreeWidgetItem* item = tree_->itemFromIndex(index_);
        if (!item)
            return;
        const int column = index_.column();
        item->setCheckState(column, item->checkState(column) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }

    QStringList keyBindingsForAction(const QString&) const override { return {}; }

    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QList<QAccessibleInterface*> columnHeaderCells() const override;
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return header_ ? column_ : index_.column(); }
    int rowIndex() const override;
    bool isSelected() const override { return isValid() && !header_ && tree_->selectionModel()->isSelected(index_); }
    QAccessibleInterface* table() const override { return parent(); }

    void markHeader() { header_ = true; }

private:
    // The flag holds for the whole row; a column has a box only with a state.
    bool checkable() const
    {
        return (index_.flags() & Qt::ItemIsUserCheckable) && index_.data(Qt::CheckStateRole).isValid();
    }

public:
private:
    QPointer<CheckTree> tree_;
    QPersistentModelIndex index_;
    int column_;
    bool header_ = false;
};

class TreeAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit TreeAccessible(CheckTree* tree)
        : QAccessibleWidget(tree, QAccessible::Tree)
    {
    }

    ~TreeAccessible() override { dropCells(); }

    CheckTree* tree() const { return static_cast<CheckTree*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    int childCount() const override { return (rows().size() + 1) * columns(); }

    QAccessibleInterface* child(int i) const override
    {
        const int cols = columns();
        if (i < 0 || cols == 0)
            return nullptr;
        const int row = i / cols - 1;
        const int column = i % cols;
        if (row < 0)
            return headerCell(column);
        const QList<QTreeWidgetItem*> shown = rows();
        return row < shown.size() ? cell(tree()->indexFromItem(shown[row], column)) : nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        const auto* c = dynamic_cast<const CellAccessible*>(child);
        if (!c || !c->isValid() || c->parent() != this)
            return -1;
        return (c->rowIndex() + 1) * columns() + c->columnIndex();
    }

    QAccessibleInterface* childAt(int x, int y) const override
    {
        const QPoint global(x, y);
        QHeaderView* header = tree()->header();
        const QPoint inHeader = header->viewport()->mapFromGlobal(global);
        if (header->isVisible() && header->viewport()->rect().contains(inHeader))
            return headerCell(header->logicalIndexAt(inHeader));
        const QModelIndex index = tree()->indexAt(tree()->viewport()->mapFromGlobal(global));
        return index.isValid() ? cell(index) : nullptr;
    }

    QAccessibleInterface* focusChild() const override
    {
        const QModelIndex current = tree()->currentIndex();
        return tree()->hasFocus() && current.isValid() ? cell(current) : nullptr;
    }

    // the table: shown rows by columns
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override
    {
        const QList<QTreeWidgetItem*> shown = rows();
        if (row < 0 || row >= shown.size() || column < 0 || column >= columns())
            return nullptr;
        return cell(tree()->indexFromItem(shown[row], column));
    }
    int columnCount() const override { return columns(); }
    int rowCount() const override { return rows().size(); }
    QString columnDescription(int column) const override { return tree()->headerItem()->text(column); }
    QString rowDescription(int) const override { return {}; }
    int selectedCellCount() const override { return tree()->selectionModel()->selectedIndexes().size(); }
    QList<QAccessibleInterface*> selectedCells() const override
    {
        QList<QAccessibleInterface*> cells;
        for (const QModelIndex& index : tree()->selectionModel()->selectedIndexes())
            cells << cell(index);
        return cells;
    }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return selectedRows().size(); }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override
    {
        QList<int> selected;
        const QList<QTreeWidgetItem*> shown = rows();
        for (int row = 0; row < shown.size(); ++row)
            if (shown[row]->isSelected())
                selected << row;
        return selected;
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override { return selectedRows().contains(row); }
    bool selectRow(int row) override
    {
        const QList<QTreeWidgetItem*> shown = rows();
        if (row < 0 || row >= shown.size())
            return false;
        tree()->setCurrentItem(shown[row]);
        return true;
    }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent*) override
    {
        // cells of removed rows go; the others keep their ids
        for (auto it = cells_.begin(); it != cells_.end();) {
            auto* c = static_cast<CellAccessible*>(QAccessible::accessibleInterface(it.value()));
            if (c && c->isValid()) {
                ++it;
                continue;
            }
            QAccessible::deleteAccessibleInterface(it.value());
            it = cells_.erase(it);
        }
    }

    int rowOf(const QModelIndex& index) const
    {
        const QModelIndex first = index.siblingAtColumn(0);
        return static_cast<int>(rows().indexOf(tree()->itemFromIndex(first)));
    }

private:
    int columns() const { return tree()->columnCount(); }
    QList<QTreeWidgetItem*> rows() const { return tree()->shownItems(); }

    QAccessibleInterface* cell(const QModelIndex& index) const
    {
        if (!index.isValid())
            return nullptr;
        const auto key = std::make_pair(tree()->itemFromIndex(index), index.column());
        if (const auto found = cells_.constFind(key); found != cells_.cend()) {
            auto* c = static_cast<CellAccessible*>(QAccessible::accessibleInterface(*found));
            if (c && c->isValid() && c->index() == index)
                return c;
            QAccessible::deleteAccessibleInterface(*found);
        }
        auto* c = new CellAccessible(tree(), index, index.column());
        cells_.insert(key, QAccessible::registerAccessibleInterface(c));
        return c;
    }

    QAccessibleInterface* headerCell(int column) const
    {
        if (column < 0 || column >= columns())
            return nullptr;
        if (const auto found = headers_.constFind(column); found != headers_.cend())
            return QAccessible::accessibleInterface(*found);
        auto* c = new CellAccessible(tree(), QModelIndex(), column);
        c->markHeader();
        headers_.insert(column, QAccessible::registerAccessibleInterface(c));
        return c;
    }

    void dropCells()
    {
        for (const QAccessible::Id id : std::as_const(cells_))
            QAccessible::deleteAccessibleInterface(id);
        for (const QAccessible::Id id : std::as_const(headers_))
            QAccessible::deleteAccessibleInterface(id);
        cells_.clear();
        headers_.clear();
    }

    mutable QHash<std::pair<QTreeWidgetItem*, int>, QAccessible::Id> cells_;
    mutable QHash<int, QAccessible::Id> headers_;
};

QList<QAccessibleInterface*> CellAccessible::columnHeaderCells() const
{
    auto* treeFace = dynamic_cast<TreeAccessible*>(parent());
    if (!treeFace || header_)
        return {};
    return {treeFace->child(columnIndex())};
}

int CellAccessible::rowIndex() const
{
    if (header_)
        return -1;
    auto* treeFace = dynamic_cast<TreeAccessible*>(parent());
    return treeFace && isValid() ? treeFace->rowOf(index_) : -1;
}

QAccessibleInterface* checkTreeFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String(CheckTree::staticMetaObject.className()))
        if (auto* tree = qobject_cast<CheckTree*>(object))
            return new TreeAccessible(tree);
    return nullptr;
}

void collectShown(const QTreeWidgetItem* parent, QList<QTreeWidgetItem*>& out)
{
    for (int i = 0; i < parent->childCount(); ++i) {
        QTreeWidgetItem* item = parent->child(i);
        if (item->isHidden())
            continue;
        out << item;
        if (item->isExpanded())
            collectShown(item, out);
    }
}

}  // namespace

CheckTree::CheckTree(QWidget* parent)
    : QTreeWidget(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(checkTreeFactory);
        return true;
    }();
    (void)installed;
}

QList<QTreeWidgetItem*> CheckTree::shownItems() const
{
    QList<QTreeWidgetItem*> out;
    collectShown(invisibleRootItem(), out);
    return out;
}

}  // namespace varnelo
