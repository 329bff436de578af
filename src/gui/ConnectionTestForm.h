#pragma once

#include "import/ConnectionCheck.h"

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

namespace varnelo {

// The lines of "Test connections", one per check, as they come in.
class ConnectionTestForm : public QDialog {
    Q_OBJECT
public:
    ConnectionTestForm(QWidget* owner, const ConnectionSettings& settings);

    ConnectionTest& test() { return test_; }

private:
    void showLines();

    ConnectionTest test_;
    QPlainTextEdit* txtResults = nullptr;
    QPushButton* cmdClose = nullptr;
};

}  // namespace varnelo
