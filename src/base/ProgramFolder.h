#pragma once

#include <QString>

namespace varnelo {

// The folder that holds the program file; the settings file and the Logs
// folder live there. Tests point it at a temporary folder.
QString programFolder();
// The program file's name without its extension ("Varnelo").
QString programBaseName();
void setProgramFolderForTesting(const QString& folder);
// A driver stands in for the program: it uses the program's settings file name.
void setProgramBaseNameForTesting(const QString& name);

// Settings path: program folder, "/", program name, ".ini".
QString settingsPath();

}  // namespace varnelo
