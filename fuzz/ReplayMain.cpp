// Runs a fuzz target's body without libFuzzer: over the files and folders
// given, and, with --seeds TARGET, over freshly made seeds and cut and
// bit-flipped variants of them. A crash or sanitizer report fails the run.
#include "Seeds.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int runs = 0;
const QByteArray* current = nullptr;

// Keeps the input that brought the process down, for fuzz/regressions.
void keepCurrent()
{
    if (!current)
        return;
    const QString path = QDir::currentPath() + QStringLiteral("/replay-crash-input");
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(*current);
    std::fprintf(stderr, "input written to %s\n", qPrintable(path));
}

void runOne(const QByteArray& bytes)
{
    current = &bytes;
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                           static_cast<std::size_t>(bytes.size()));
    current = nullptr;
    ++runs;
}

void runFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        std::exit(2);
    }
    runOne(f.readAll());
}

// Cuts at a spread of lengths and flips single bytes, seeded so that a
// failure repeats.
void runVariants(const QByteArray& seed)
{
    QRandomGenerator rng(static_cast<quint32>(seed.size()));
    for (int i = 1; i <= 40; ++i)
        runOne(seed.left(seed.size() * i / 41));
    for (int i = 0; i < 200 && !seed.isEmpty(); ++i) {
        QByteArray b = seed;
        const int at = static_cast<int>(rng.bounded(static_cast<quint32>(b.size())));
        b[at] = static_cast<char>(rng.bounded(256));
        if (i % 4 == 0 && at + 4 <= b.size())  // lengths and offsets: all ones
            b.replace(at, 4, QByteArray(4, '\xff'));
        runOne(b);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::set_terminate([] {
        keepCurrent();
        std::abort();
    });
    std::signal(SIGSEGV, [](int) {
        keepCurrent();
        std::_Exit(139);
    });
    QStringList args = app.arguments().mid(1);
    QTemporaryDir seeds;
    const qsizetype s = args.indexOf(QStringLiteral("--seeds"));
    if (s >= 0 && s + 1 < args.size()) {
        const QStringList made = varnelo::fuzz::writeSeeds(args[s + 1], seeds.path());
        if (made.isEmpty()) {
            std::fprintf(stderr, "no seeds for %s\n", qPrintable(args[s + 1]));
            return 2;
        }
        for (const QString& m : made) {
            QFile f(m);
            f.open(QIODevice::ReadOnly);
            const QByteArray bytes = f.readAll();
            runOne(bytes);
            runVariants(bytes);
        }
        args.remove(s, 2);
    }
    for (const QString& a : args) {
        const QFileInfo info(a);
        if (!info.exists())
            continue;  // a target without kept crashes has no folder
        if (info.isDir()) {
            for (const QFileInfo& f : QDir(a).entryInfoList(QDir::Files, QDir::Name))
                runFile(f.filePath());
        } else {
            runFile(a);
        }
    }
    std::printf("%d inputs ran\n", runs);
    return 0;
}
