#pragma once

#include <QString>

#include <functional>

namespace varnelo {

// Asks the operator for a folder, or a ZIP archive or disc image (.zip,
// .iso) that stands for a medium: a modal file dialog owned by the active
// window, starting at the top of the tree, showing folders and those files.
// Returns the chosen path, or an empty text when cancelled.
QString BrowseForFolder(const QString& prompt);
// The dialog's filter: the archive suffixes it shows beside the folders.
QString mediumNameFilter();

// The dialog behind BrowseForFolder; tests answer it with their own.
using FolderPicker = std::function<QString(const QString& prompt)>;
// Returns the previous picker; an empty one restores the real dialog.
FolderPicker setFolderPicker(FolderPicker picker);

}  // namespace varnelo
