// Feeds the input as a ZIP archive and as a disc image to ArchiveMedium:
// open, extract every member into a run folder below a temporary folder of
// the target's own, and remove it. Whatever the names and sizes claim,
// nothing may appear outside the run folder, nothing in it may be a link,
// and the run folder must be gone afterwards.
#include "Scratch.h"

#include "base/AppState.h"
#include "import/ArchiveMedium.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <sys/stat.h>

using namespace varnelo;

namespace {

[[noreturn]] void broken(const char* what, const QString& path)
{
    std::fprintf(stderr, "%s: %s\n", what, qPrintable(path));
    std::abort();
}

// Everything below `folder`, without following links.
QStringList everything(const QString& folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next();
    out.sort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString& scratch = fuzz::scratchFolder();
    // the run folders go below a folder of this process's: all of it is checked
    static const QString temp = [&] {
        const QString t = scratch + QStringLiteral("/tmp");
        QDir().mkpath(t);
        ::setenv("TMPDIR", qPrintable(t), 1);
        return t;
    }();
    ArchiveMedium::Limits limits;
    limits.bombBytes = limits.totalBytes = 16 << 20;
    limits.freeBytes = 64 << 20;
    limits.keepFree = 0;
    // every way of choosing members, by the input's size
    ArchiveMedium::Selection selection;
    selection.dicomDir = size % 3 == 1;
    if (size % 3 == 2)
        selection.suffix = QStringLiteral("dcm");
    for (const char* name : {"input.zip", "input.iso"}) {
        const QString path = fuzz::writeInput(QString::fromLatin1(name), data, size);
        const QStringList before = everything(scratch);
        {
            ArchiveMedium medium(path, limits, selection);
            try {
                medium.open();
            } catch (const Error&) {
            }
            if (!medium.root().isEmpty()) {
                while (!medium.finished())
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                (void)medium.dicomDirFolder();
                const QString base = QFileInfo(medium.root()).path();
                for (const QString& p : everything(scratch)) {
                    if (before.contains(p) || p == base || p.startsWith(base + QLatin1Char('/')))
                        continue;
                    broken("written outside the run folder", p);
                }
                for (const QString& p : everything(base)) {
                    struct stat st {};
                    if (::lstat(QFile::encodeName(p).constData(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
                        broken("not a plain file or folder in the run folder", p);
                }
            }
        }
        if (everything(scratch) != before)
            broken("left behind", everything(scratch).join(QLatin1Char(' ')));
        QFile::remove(path);
    }
    (void)temp;
    return 0;
}
