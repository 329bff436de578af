#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

namespace varnelo {

// Help > About: the versions of the program and of the libraries it runs
// with, the station as the PACS knows it, and the files in force, as text
// that can be selected and copied into a support request.
class AboutForm : public QDialog {
    Q_OBJECT
public:
    explicit AboutForm(QWidget* owner = nullptr);

    // What the box shows, one fact a line.
    static QString aboutText();

public slots:
    void cmdCopy_Click();

private:
    QPlainTextEdit* txtAbout = nullptr;
    QPushButton* cmdCopy = nullptr;
    QPushButton* cmdOK = nullptr;
};

}  // namespace varnelo
