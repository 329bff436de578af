#pragma once

#include <QString>

#include <functional>

namespace varnelo {

// Asks the operator for a folder: a modal directory dialog owned by the
// active window, starting at the top of the tree, directories only. Returns
// the chosen path, or an empty text when cancelled.
QString BrowseForFolder(const QString& prompt);

// The dialog behind BrowseForFolder; tests answer it with their own.
using FolderPicker = std::function<QString(const QString& prompt)>;
// Returns the previous picker; an empty one restores the real dialog.
FolderPicker setFolderPicker(FolderPicker picker);

}  // namespace varnelo
