#include "gui/BrowseForFolder.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>

#include <utility>

namespace varnelo {

namespace {

QString dialogPicker(const QString& prompt)
{
    return QFileDialog::getExistingDirectory(QApplication::activeWindow(), prompt, QDir::rootPath(),
                                             QFileDialog::ShowDirsOnly);
}

FolderPicker& current()
{
    static FolderPicker picker;
    return picker;
}

}  // namespace

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
