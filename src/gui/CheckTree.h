#pragma once

#include <QTreeWidget>

namespace varnelo {

// A tree of rows with check boxes that assistive technology can tick.
// Qt's own accessible cell answers its one action, "Toggle", by selecting
// the row: the tick stays as it was, so a screen reader or switch user could
// not change it. This tree's cells toggle the check box instead, and say
// whether they are checkable and checked.
class CheckTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit CheckTree(QWidget* parent = nullptr);

    // The rows as the view shows them, top to bottom: the items whose
    // ancestors are all expanded.
    QList<QTreeWidgetItem*> shownItems() const;
};

}  // namespace varnelo
