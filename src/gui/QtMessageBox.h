#pragma once

namespace varnelo {

// Installs the MessageBox handler that shows a real QMessageBox: title
// "Varnelo", owned by the active window, with the requested icon and buttons.
void installQtMessageBox();

// Looks up the boxes' icons in the icon theme now (the first box of a run
// would otherwise search the theme's folders while the operator waits).
void prepareQtMessageBoxes();

}  // namespace varnelo
