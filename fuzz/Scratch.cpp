#include "Scratch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdlib>
#include <unistd.h>

namespace varnelo::fuzz {

const QString& scratchFolder()
{
    static const QString folder = [] {
        const QString f = QDir::tempPath() + QStringLiteral("/varnelo-fuzz-%1").arg(::getpid());
        QDir().mkpath(f);
        // left behind by a crash otherwise; a clean exit removes it
        static const QString copy = f;
        std::atexit([] { QDir(copy).removeRecursively(); });
        return f;
    }();
    return folder;
}

QString writeInput(const QString& name, const std::uint8_t* data, std::size_t size)
{
    const QString path = scratchFolder() + QLatin1Char('/') + name;
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    return path;
}

}  // namespace varnelo::fuzz
