#include "base/ProgramFolder.h"

#include "base/FileNames.h"
#include "base/IniFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnelo {

namespace {
QString& overrideFolder()
{
    static QString folder;
    return folder;
}

// An XDG base directory: the variable when it holds an absolute path, else
// the default below the home folder; "" without a home. (QDir::homePath()
// would give "/" then, and a root-owned "//.config" nobody meant.)
QString xdgFolder(const char* variable, const QString& homeDefault)
{
    const QString value = qEnvironmentVariable(variable);
    if (QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    const QString home = qEnvironmentVariable("HOME");
    if (!QDir::isAbsolutePath(home))
        return QString();
    return QDir::cleanPath(home) + QLatin1Char('/') + homeDefault;
}

const QLatin1String kFolderName("Varnelo");

QString withFolderName(const QString& base)
{
    return base.isEmpty() ? QString() : base + QLatin1Char('/') + kFolderName;
}

std::mutex readOnlyMutex;
QString& readOnlySettings()
{
    static QString path;
    return path;
}

// Makes the folder (and its parents) and checks that it takes files; the
// reason it does not, with the level that failed, or nothing.
std::optional<QString> folderTrouble(const QString& folder)
{
    if (folder.isEmpty())
        return QCoreApplication::translate("varnelo::ProgramFolder", "no home folder is set (HOME)");
    QString path;
    for (const QString& level : folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + level;
        const QByteArray native = QFile::encodeName(path);
        // as freedesktop.org would have a missing base folder: the user's alone
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return QCoreApplication::translate("varnelo::ProgramFolder", "the folder %1 cannot be made (%2)")
                .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat st {};
    const QByteArray native = QFile::encodeName(folder);
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QCoreApplication::translate("varnelo::ProgramFolder", "%1 is not a folder").arg(folder);
    if (::access(native.constData(), W_OK | X_OK) != 0)
        return QCoreApplication::translate("varnelo::ProgramFolder", "the folder %1 cannot be written (%2)")
            .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    return std::nullopt;
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

bool programFolderWritable()
{
    // access() asks with the user's real rights, read-only mounts included.
    const QString folder = programFolder();
    return !folder.isEmpty() && ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

QString userConfigFolder()
{
    return withFolderName(xdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config")));
}

QString userStateFolder()
{
    return withFolderName(xdgFolder("XDG_STATE_HOME", QStringLiteral(".local/state")));
}

QString settingsPath()
{
    const QString folder = programFolderWritable() ? programFolder() : userConfigFolder();
    if (folder.isEmpty())
        return QString();
    return folder + QLatin1Char('/') + programBaseName() + QStringLiteral(".ini");
}

QString administratorsSettingsFile()
{
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.isEmpty())
        dirs = QStringLiteral("/etc/xdg");
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (!QDir::isAbsolutePath(dir))
            continue;
        const QString seed = dir + QLatin1Char('/') + kFolderName + QLatin1Char('/') + programBaseName() + QStringLiteral(".ini");
        if (QFileInfo(seed).isFile())
            return seed;
    }
    return QString();
}

bool isAdministratorsSettings(const QString& path)
{
    const std::lock_guard<std::mutex> lock(readOnlyMutex);
    return !path.isEmpty() && path == readOnlySettings();
}

std::optional<QString> keepingTrouble()
{
    if (programFolderWritable())
        return std::nullopt;
    std::optional<QString> reason = folderTrouble(userConfigFolder());
    if (!reason)
        reason = folderTrouble(userStateFolder());
    if (!reason)
        return std::nullopt;
    return QCoreApplication::translate("varnelo::ProgramFolder", "Settings and logs cannot be kept: %1").arg(*reason);
}

QString prepareSettingsFile()
{
    const QString path = settingsPath();
    {
        const std::lock_guard<std::mutex> lock(readOnlyMutex);
        readOnlySettings().clear();
    }
    if (programFolderWritable())
        return path;
    try {
        const std::optional<QString> trouble = folderTrouble(userConfigFolder());
        // the user's own file, once there, is the one read (in a read-only
        // home too: it is read, and what is changed stays unsaved)
        if (QFileInfo::exists(path))
            return path;
        // No copy of the administrator's file: it is read at every start
        // (ReadSetting), so that a later change of it reaches this user too.
        const QString system = administratorsSettingsFile();
        if (trouble && !system.isEmpty()) {
            // No place of the user's own: the administrator's PACS all the
            // same, read where it lies and never written back.
            const std::lock_guard<std::mutex> lock(readOnlyMutex);
            readOnlySettings() = system;
            return system;
        }
    } catch (...) {
    }
    return path;
}

}  // namespace varnelo
