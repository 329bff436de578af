#include "base/ProgramFolder.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace varnelo {

namespace {
QString& overrideFolder()
{
    static QString folder;
    return folder;
}
}  // namespace

QString programFolder()
{
    if (!overrideFolder().isEmpty())
        return overrideFolder();
    return QCoreApplication::applicationDirPath();
}

static QString& overrideBaseName()
{
    static QString name;
    return name;
}

QString programBaseName()
{
    if (!overrideBaseName().isEmpty())
        return overrideBaseName();
    const QString file = QCoreApplication::applicationFilePath();
    if (file.isEmpty())
        return QStringLiteral("Varnelo");
    return QFileInfo(file).completeBaseName();
}

void setProgramFolderForTesting(const QString& folder)
{
    overrideFolder() = folder;
}

void setProgramBaseNameForTesting(const QString& name)
{
    overrideBaseName() = name;
}

QString settingsPath()
{
    return programFolder() + QLatin1Char('/') + programBaseName() + QStringLiteral(".ini");
}

}  // namespace varnelo
