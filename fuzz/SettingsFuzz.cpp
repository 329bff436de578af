// Reads one file as the settings file, as the main window does at start-up,
// and runs the conversions on every value in it. Then one key is written and
// must read back as written.
#include "Scratch.h"
#include "support/FakeSettingsView.h"

#include "base/AppState.h"
#include "base/Convert.h"
#include "base/Error.h"
#include "base/IniFile.h"
#include "base/Settings.h"

#include <QByteArray>
#include <QList>
#include <QMap>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace varnelo;

namespace {

using View = testsupport::FakeSettingsView;

template <typename F>
void convert(F f, const QString& text)
{
    try {
        (void)f(text);
    } catch (const Error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    appState() = AppState {};
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
