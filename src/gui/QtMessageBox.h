#pragma once

namespace varnelo {

// Installs the MessageBox handler that shows a real QMessageBox: title
// "Varnelo", owned by the active window, with the requested icon and buttons.
void installQtMessageBox();

}  // namespace varnelo
