// Reads one file as the settings file, as the main window does at start-up,
// and runs the conversions on every value in it. Then one key is written and
// must read back as written.
#include "Scratch.h"

#include "app/AppState.h"
#include "app/Convert.h"
#include "app/IniFile.h"
#include "app/Settings.h"
#include "diag/Error.h"

#include <QByteArray>
#include <QList>
#include <QMap>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace varnelo;

namespace {

class View : public SettingsView {
public:
    QMap<Box, QString> boxes;
    std::int16_t withSubDirs = 0;
    void selectSearchByOption(std::int16_t n) override
    {
        if (n == 1 || n == 2)
            appState().SearchBy = n;
    }
    void selectLocationOption(std::int16_t n) override
    {
        if (n == 1 || n == 2)
            appState().Location = n;
    }
    void setBoxText(Box b, const QString& t) override { boxes[b] = t; }
    QString boxText(Box b) const override { return boxes.value(b); }
    void setWithSubDirsValue(std::int16_t v) override
    {
        if (v < 0 || v > 2)
            throw Error(380, QStringLiteral("Invalid property value"));
        withSubDirs = v;
    }
    std::int16_t withSubDirsValue() const override { return withSubDirs; }
};

template <typename F>
void convert(F f, const QString& text)
{
    try {
        (void)f(text);
    } catch (const Error&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    appState() = AppState{};
    appState().IniPath = fuzz::writeInput(QStringLiteral("Varnelo.ini"), data, size);
    View view;
    LoadSettings(view);

    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    int lines = 0;
    for (const QByteArray& line : bytes.split('\n')) {
        if (++lines > 64)
            break;
        const qsizetype eq = line.indexOf('=');
        const QString value = QString::fromLocal8Bit(eq < 0 ? line : line.mid(eq + 1));
        convert(toInt16, value);
        convert(toInt32, value);
        convert(toFlag, value);
    }

    const QString written = QStringLiteral("V%1").arg(size);
    WriteIniValue(QStringLiteral("DICOM"), QStringLiteral("RemotePort"), written, appState().IniPath);
    const QString read = ReadIniValue(QStringLiteral("DICOM"), QStringLiteral("RemotePort"), QString(), appState().IniPath);
    if (read != written) {
        std::fprintf(stderr, "wrote %s, read back %s\n", qPrintable(written), qPrintable(read));
        std::abort();
    }
    return 0;
}
