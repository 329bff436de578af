#pragma once

#include <QString>

namespace varnelo {

// The folder that holds the program file. Tests point it at a temporary folder.
QString programFolder();
// The program file's name without its extension ("Varnelo").
QString programBaseName();
void setProgramFolderForTesting(const QString& folder);
// A driver stands in for the program: it uses the program's settings file name.
void setProgramBaseNameForTesting(const QString& name);

// The settings file and the Logs folder live beside the program while its
// folder takes new files. An installed program's folder (/opt/varnelo) does
// not: then they go to the user's own places, as freedesktop.org has them.
bool programFolderWritable();
// $XDG_CONFIG_HOME/Varnelo (~/.config/Varnelo when unset or not absolute).
QString userConfigFolder();
// $XDG_STATE_HOME/Varnelo (~/.local/state/Varnelo when unset or not absolute).
QString userStateFolder();

// Settings path: program folder, "/", program name, ".ini"; or the same
// name in userConfigFolder().
QString settingsPath();
// settingsPath(), after making the user's folder and, when the user has no
// settings file yet, copying the first <dir>/Varnelo/<name>.ini of
// $XDG_CONFIG_DIRS (/etc/xdg when unset) there: how an administrator hands
// every user the same PACS. Never throws; a failed copy leaves no file.
QString prepareSettingsFile();

}  // namespace varnelo
