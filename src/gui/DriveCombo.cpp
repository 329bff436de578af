#include "gui/DriveCombo.h"

#include "base/Drives.h"
#include "base/MountWatcher.h"

#include <QAbstractItemView>
#include <QKeyEvent>

namespace varnelo {

namespace {

constexpr int kKeyRole = Qt::UserRole;
constexpr int kMountRole = Qt::UserRole + 1;
constexpr int kDeviceRole = Qt::UserRole + 2;

bool isTypedCharacter(const QKeyEvent* event)
{
    const QString text = event->text();
    return !text.isEmpty() && text.at(0).isPrint();
}

// What stays the same while letters shift: an optical drive is its device
// (the disc comes and goes), any other volume its mount point.
QString keyOf(const DriveEntry& d)
{
    return d.optical ? d.device : d.mountPoint;
}

}  // namespace

DriveCombo::DriveCombo(QWidget* parent)
    : QComboBox(parent)
{
    setEditable(false);
    // The open list searches by typed letters too.
    view()->installEventFilter(this);
    connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!filling_ && index >= 0)
            chosen_ = itemData(index, kKeyRole).toString();
    });
    refresh();
    watcher_ = new MountWatcher(this);
    connect(watcher_, &MountWatcher::changed, this, &DriveCombo::follow);
}

bool DriveCombo::fill()
{
    QList<DriveEntry> drives;
    try {
        drives = driveTable().drives();
    } catch (...) {
        // A machine whose drives cannot be read shows an empty list.
    }
    bool same = drives.size() == count();
    for (int i = 0; same && i < drives.size(); ++i)
        same = itemText(i) == drives[i].text && itemData(i, kMountRole).toString() == drives[i].mountPoint &&
            itemData(i, kDeviceRole).toString() == drives[i].device;
    if (same)
        return false;
    filling_ = true;
    clear();
    for (const DriveEntry& d : drives) {
        addItem(d.text);
        setItemData(count() - 1, keyOf(d), kKeyRole);
        setItemData(count() - 1, d.mountPoint, kMountRole);
        setItemData(count() - 1, d.device, kDeviceRole);
    }
    filling_ = false;
    return true;
}

void DriveCombo::refresh()
{
    fill();
    if (count() > 0)
        setCurrentIndex(0);
}

void DriveCombo::follow()
{
    // key -> mount point and device: one medium may follow another between
    // two looks, at the same place
    QHash<QString, QString> before;
    auto medium = [this](int i) { return itemData(i, kMountRole).toString() + QLatin1Char('\n') + itemData(i, kDeviceRole).toString(); };
    for (int i = 0; i < count(); ++i)
        before.insert(itemData(i, kKeyRole).toString(), medium(i));
    const QString chosen = chosen_;
    if (!fill())
        return;
    filling_ = true;
    const int kept = findData(chosen, kKeyRole);
    setCurrentIndex(kept >= 0 ? kept : (count() > 0 ? 0 : -1));
    filling_ = false;
    for (int i = 0; i < count(); ++i) {
        if (!itemData(i, kMountRole).toString().isEmpty() && before.value(itemData(i, kKeyRole).toString()) != medium(i))
            emit mediumArrived(i);
    }
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
