#pragma once

#include <QString>

namespace varnelo {

// Private-profile style INI access. Section and key names match without
// regard to case, blanks around a value are not part of it, and a value comes
// back cut to size - 1 characters. Every line the write does not touch stays
// byte for byte as it was.

// The value of key in [section], or def when the file, section or key is missing.
QString ReadIniValue(const QString& section, const QString& key, const QString& def, const QString& path,
                     int size = 256);

// Sets key=value in [section]: an existing key is replaced where it stands, a
// new key goes to the end of its section, a missing section is appended and a
// missing file created. Returns false when the file could not be written.
bool WriteIniValue(const QString& section, const QString& key, const QString& value, const QString& path);

}  // namespace varnelo
