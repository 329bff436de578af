#pragma once

#include <QString>

#include <optional>

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
// "" when that needs the home folder and HOME is unset or not absolute.
QString userConfigFolder();
// $XDG_STATE_HOME/Varnelo (~/.local/state/Varnelo when unset or not absolute);
// "" as above.
QString userStateFolder();

// Settings path: program folder, "/", program name, ".ini"; or the same
// name in userConfigFolder().
QString settingsPath();
// settingsPath(), after making the user's folder. Nothing is copied there:
// the administrator's file (administratorsSettingsFile) is read beside the
// user's at every start (ReadSetting). Never throws.
// When the user's folder cannot be made or written (no home, a read-only
// home), that administrator's file itself, read only (see
// isAdministratorsSettings), else settingsPath(); keepingTrouble() says why.
QString prepareSettingsFile();

// The system file: the first <dir>/Varnelo/<name>.ini of $XDG_CONFIG_DIRS
// (/etc/xdg when unset) that is a file, or "". It applies wherever the
// user's settings are, beside the program too.
QString administratorsSettingsFile();
// True for the administrator's file that prepareSettingsFile() handed out in
// place of the user's own: it is read (root may own it) and never written.
bool isAdministratorsSettings(const QString& path);

// Why settings and logs cannot be kept, when the program folder takes no
// files and the user's folders (userConfigFolder, userStateFolder) cannot be
// made or written: "Settings and logs cannot be kept: <where and why>", for
// the About box and the first summary of a run. Nothing when they can be.
// Makes the folders that are missing, as their first use would.
std::optional<QString> keepingTrouble();

}  // namespace varnelo
