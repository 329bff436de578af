#pragma once

#include <QComboBox>

namespace varnelo {

// The drive selector: one entry per drive of driveTable(), picked only.
// Typed characters are discarded, so the selection never jumps to an entry
// by its first letter.
class DriveCombo : public QComboBox {
    Q_OBJECT
public:
    explicit DriveCombo(QWidget* parent = nullptr);

    // Lists the drives again; selects the first entry.
    void refresh();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace varnelo
