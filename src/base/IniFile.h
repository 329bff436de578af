#pragma once

#include <QString>

#include <optional>

namespace varnelo {

// Private-profile style INI access. Section and key names match without
// regard to case, blanks around a value are not part of it, and a value comes
// back cut to size - 1 characters. Every line the write does not touch stays
// byte for byte as it was.

// A settings file larger than this is no settings file (a link to /dev/zero,
// a log written over it): it is refused, as one that is not the user's own
// regular file is (openOwnFile), and the defaults apply.
constexpr qint64 kSettingsFileMax = 1024 * 1024;

// Why the settings file last read or written was refused ("The settings file
// <path> is not used: <why>. ..."), or "" when it was read, or was not there.
// For the main window to show once after loading the settings.
QString settingsTrouble();

// The value of key in [section], or def when the file, section or key is missing.
QString ReadIniValue(const QString& section, const QString& key, const QString& def, const QString& path,
                     int size = 256);
// The same, or nothing when the file, section or key is missing: a key set
// to "" is there. The administrator's file (administratorsSettingsFile) may
// belong to root.
std::optional<QString> FindIniValue(const QString& section, const QString& key, const QString& path, int size = 256);

// Sets key=value in [section]: an existing key is replaced where it stands, a
// new key goes to the end of its section, a missing section is appended and a
// missing file created. Returns false when the file could not be written.
bool WriteIniValue(const QString& section, const QString& key, const QString& value, const QString& path);

}  // namespace varnelo
