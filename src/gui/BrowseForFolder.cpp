#include "gui/BrowseForFolder.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>

#include <utility>

namespace varnelo {

namespace {

// Folders and the files that stand for a medium, a ZIP archive or a disc
// image: "Choose" takes the folder or the file selected, a double click
// opens a folder.
class MediumDialog : public QFileDialog {
public:
    MediumDialog(QWidget* parent, const QString& prompt)
        : QFileDialog(parent, prompt, QDir::rootPath())
    {
        setObjectName(QStringLiteral("BrowseForFolder"));
        setOption(QFileDialog::DontUseNativeDialog);
        setFileMode(QFileDialog::ExistingFile);
        setNameFilter(mediumNameFilter());
        setLabelText(QFileDialog::Accept, QCoreApplication::translate("BrowseForFolder", "Choose"));
    }
    QString chosen;

    void accept() override
    {
        const QStringList files = selectedFiles();
        if (!files.isEmpty() && QFileInfo(files.first()).isFile()) {
            QFileDialog::accept();
            if (result() == QDialog::Accepted)
                chosen = files.first();
            return;
        }
        // a folder selected in the list (the file box leaves folders out),
        // else the folder shown
        const QString shown = directory().absolutePath();
        QString folder = !files.isEmpty() && QFileInfo(files.first()).isDir() ? files.first() : shown;
        if (const auto* view = findChild<QAbstractItemView*>(QStringLiteral("listView")); view && view->selectionModel())
            for (const QModelIndex& row : view->selectionModel()->selectedRows()) {
                const QString path = row.data(QFileSystemModel::FilePathRole).toString();
                if (!path.isEmpty() && path != shown && QFileInfo(path).isDir())
                    folder = path;
            }
        chosen = folder;
        QDialog::accept();
    }
};

QString dialogPicker(const QString& prompt)
{
    MediumDialog dialog(QApplication::activeWindow(), prompt);
    return dialog.exec() == QDialog::Accepted ? dialog.chosen : QString();
}

FolderPicker& current()
{
    static FolderPicker picker;
    return picker;
}

}  // namespace

QString mediumNameFilter()
{
    return QCoreApplication::translate("BrowseForFolder", "Folders, ZIP archives and disc images (*.zip *.ZIP *.iso *.ISO)");
}

QString BrowseForFolder(const QString& prompt)
{
    const FolderPicker& picker = current();
    return picker ? picker(prompt) : dialogPicker(prompt);
}

FolderPicker setFolderPicker(FolderPicker picker)
{
    return std::exchange(current(), std::move(picker));
}

}  // namespace varnelo
