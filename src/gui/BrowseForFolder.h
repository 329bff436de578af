#pragma once

#include <QString>

#include <functional>

namespace varnelo {

// Asks the operator for a folder, or a ZIP archive or disc image (.zip,
// .iso) that stands for a medium: a modal file dialog owned by the active
// window, showing folders and those files. It opens where `current` (the
// source as the folder box holds it) is, with an archive selected.
// Returns the chosen path, or an empty text when cancelled.
QString BrowseForFolder(const QString& prompt, const QString& current = QString());
// The folder the dialog opens at: `current` when it is a folder, the folder
// of `current` when it is a file, else the user's home.
QString pickerStartFolder(const QString& current);
// The dialog's filter: the archive suffixes it shows beside the folders.
QString mediumNameFilter();

// The dialog behind BrowseForFolder; tests answer it with their own.
using FolderPicker = std::function<QString(const QString& prompt, const QString& current)>;
// Returns the previous picker; an empty one restores the real dialog.
FolderPicker setFolderPicker(FolderPicker picker);

}  // namespace varnelo
