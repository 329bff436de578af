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
    MediumDialog(QWidget* parent, const QString& prompt, const QString& current)
        : QFileDialog(parent, prompt, pickerStartFolder(current))
    {
        setObjectName(QStringLiteral("BrowseForFolder"));
        setOption(QFileDialog::DontUseNativeDialog);
        setFileMode(QFileDialog::ExistingFile);
        setNameFilter(mediumNameFilter());
        setLabelText(QFileDialog::Accept, QCoreApplication::translate("BrowseForFolder", "Choose"));
        // the archive in use is the one to see first
        if (const QFileInfo file(current.trimmed()); file.isFile())
            selectFile(file.absoluteFilePath());
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

QString dialogPicker(const QString& prompt, const QString& current)
{
    MediumDialog dialog(QApplication::activeWindow(), prompt, current);
    return dialog.exec() == QDialog::Accepted ? dialog.chosen : QString();
}

FolderPicker& currentPicker()
{
    static FolderPicker picker;
    return picker;
}

}  // namespace

QString mediumNameFilter()
{
    return QCoreApplication::translate("BrowseForFolder", "Folders, ZIP archives and disc images (*.zip *.ZIP *.iso *.ISO)");
}

QString pickerStartFolder(const QString& current)
{
    const QString path = current.trimmed();
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return QDir::homePath();
    return info.isDir() ? info.absoluteFilePath() : info.absolutePath();
}

QString BrowseForFolder(const QString& prompt, const QString& current)
{
    const FolderPicker& picker = currentPicker();
    return picker ? picker(prompt, current) : dialogPicker(prompt, current);
}

FolderPicker setFolderPicker(FolderPicker picker)
{
    return std::exchange(currentPicker(), std::move(picker));
}

}  // namespace varnelo
