#pragma once

#include <QString>

namespace varnelo {

// The language the windows speak: "de" or "en". `setting` is [Default]
// Language; "auto" takes the desktop's first language that Varnelo has.
QString chosenLanguage(const QString& setting);

// Loads Qt's own texts and Varnelo's for the chosen language into the
// application, and makes its dates and numbers the default. Called once,
// before the first window is built. Returns the language taken.
QString installTranslations(const QString& setting);

}  // namespace varnelo
