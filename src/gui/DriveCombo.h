#pragma once

#include <QComboBox>

namespace varnelo {

class MountWatcher;

// The drive selector: one entry per drive of driveTable(), picked only.
// Typed characters are discarded, so the selection never jumps to an entry
// by its first letter. It follows the mount table while it lives.
class DriveCombo : public QComboBox {
    Q_OBJECT
public:
    explicit DriveCombo(QWidget* parent = nullptr);

    // Lists the drives again; selects the first entry.
    void refresh();

public slots:
    // Lists the drives again when they changed. The chosen drive stays
    // chosen, under whatever letter it has now; when it is gone, the first
    // entry shows until it comes back.
    void follow();

signals:
    // The entry at `index` now has a mounted medium it did not have.
    void mediumArrived(int index);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Fills the list; false when nothing differs from what it shows.
    bool fill();

    MountWatcher* watcher_ = nullptr;
    QString chosen_;  // the key of the drive chosen last, by the operator or the program
    bool filling_ = false;
};

}  // namespace varnelo
