#include "gui/DriveCombo.h"

#include "base/Drives.h"

#include <QAbstractItemView>
#include <QKeyEvent>

namespace varnelo {

namespace {
bool isTypedCharacter(const QKeyEvent* event)
{
    const QString text = event->text();
    return !text.isEmpty() && text.at(0).isPrint();
}
}  // namespace

DriveCombo::DriveCombo(QWidget* parent)
    : QComboBox(parent)
{
    setEditable(false);
    // The open list searches by typed letters too.
    view()->installEventFilter(this);
    refresh();
}

void DriveCombo::refresh()
{
    clear();
    try {
        for (const DriveEntry& d : driveTable().drives())
            addItem(d.text);
    } catch (...) {
        // A machine whose drives cannot be read shows an empty list.
    }
    if (count() > 0)
        setCurrentIndex(0);
}

void DriveCombo::keyPressEvent(QKeyEvent* event)
{
    if (isTypedCharacter(event)) {
        event->accept();
        return;
    }
    QComboBox::keyPressEvent(event);
}

bool DriveCombo::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view() && event->type() == QEvent::KeyPress && isTypedCharacter(static_cast<QKeyEvent*>(event)))
        return true;
    return QComboBox::eventFilter(watched, event);
}

}  // namespace varnelo
