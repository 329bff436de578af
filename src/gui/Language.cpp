#include "gui/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace varnelo {

QString chosenLanguage(const QString& setting)
{
    if (setting == QLatin1String("de") || setting == QLatin1String("en"))
        return setting;
    // LANGUAGE=fr:de reaches here as fr, de: the first one there is wins
    for (const QString& ui : QLocale::system().uiLanguages()) {
        const QString language = ui.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0).toLower();
        if (language == QLatin1String("de") || language == QLatin1String("en"))
            return language;
    }
    return QStringLiteral("en");
}

QString installTranslations(const QString& setting)
{
    const QString language = chosenLanguage(setting);
    // The desktop's own variant (de_AT, en_GB) where it speaks the language.
    const QLocale system = QLocale::system();
    const QLocale locale = system.name().startsWith(language) ? system : QLocale(language);
    QLocale::setDefault(locale);
    if (language == QLatin1String("en"))
        return language;  // the texts are written in English
    // Qt's own first (Yes, No, OK, the folder picker), then Varnelo's.
    auto* qt = new QTranslator(QCoreApplication::instance());
    if (qt->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qt);
    auto* own = new QTranslator(QCoreApplication::instance());
    if (own->load(QStringLiteral(":/i18n/varnelo_%1.qm").arg(language)))
        QCoreApplication::installTranslator(own);
    return language;
}

}  // namespace varnelo
