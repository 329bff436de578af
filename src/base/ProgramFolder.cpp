#include "base/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace varnelo {

namespace {
QString& overrideFolder()
{
    static QString folder;
    return folder;
}

// An XDG base directory: the variable when it holds an absolute path, else
// the default below the home folder.
QString xdgFolder(const char* variable, const QString& homeDefault)
{
    const QString value = qEnvironmentVariable(variable);
    if (QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::homePath() + QLatin1Char('/') + homeDefault;
}

const QLatin1String kFolderName("Varnelo");
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

bool programFolderWritable()
{
    // access() asks with the user's real rights, read-only mounts included.
    const QString folder = programFolder();
    return !folder.isEmpty() && ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

QString userConfigFolder()
{
    return xdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config")) + QLatin1Char('/') + kFolderName;
}

QString userStateFolder()
{
    return xdgFolder("XDG_STATE_HOME", QStringLiteral(".local/state")) + QLatin1Char('/') + kFolderName;
}

QString settingsPath()
{
    const QString folder = programFolderWritable() ? programFolder() : userConfigFolder();
    return folder + QLatin1Char('/') + programBaseName() + QStringLiteral(".ini");
}

QString prepareSettingsFile()
{
    const QString path = settingsPath();
    if (programFolderWritable())
        return path;
    try {
        QDir().mkpath(userConfigFolder());
        if (QFileInfo::exists(path))
            return path;
        QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
        if (dirs.isEmpty())
            dirs = QStringLiteral("/etc/xdg");
        for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
            if (!QDir::isAbsolutePath(dir))
                continue;
            const QString seed = dir + QLatin1Char('/') + kFolderName + QLatin1Char('/') + programBaseName() + QStringLiteral(".ini");
            if (!QFileInfo(seed).isFile())
                continue;
            // The first one found is the one meant; the copy is the user's
            // to write, whatever rights the administrator's file has.
            if (QFile::copy(seed, path))
                QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
            break;
        }
    } catch (...) {
    }
    return path;
}

}  // namespace varnelo
