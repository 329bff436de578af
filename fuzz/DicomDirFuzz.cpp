// Opens one file as a DICOMDIR and walks it as the import does: four levels
// of records, each image record's Referenced File ID made into a path inside
// the DICOMDIR's folder. Every attribute of every record is read on the way.
#include "Scratch.h"

#include "dicom/Dicom.h"
#include "import/ImportRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace varnelo;

namespace {

void readAll(const DcmDataset& record, int depth)
{
    (void)record.PatientName();
    (void)record.PatientID();
    (void)record.BirthDateRaw();
    try {
        (void)record.PatientBirthDate();
    } catch (const Error&) {
    }
    for (const DcmAttribute& a : record.Attributes().All()) {
        (void)a.Value();
        if (a.IsSequence() && depth < 4) {
            const DcmDatasetList items = a.SequenceItems();
            for (std::int32_t i = 1; i <= items.Count(); ++i)
                readAll(items.ItemAt(i), depth + 1);
        }
    }
}

void mustStayInside(const QString& base, const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    if (clean != base && !clean.startsWith(base + QLatin1Char('/'))) {
        std::fprintf(stderr, "path left the medium: %s\n", qPrintable(path));
        std::abort();
    }
}

void walk(const DcmDatasetList& records, int level, const QString& base)
{
    for (std::int32_t i = 1; i <= records.Count(); ++i) {
        try {
            const DcmDataset record = records.ItemAt(i);
            readAll(record, 0);
            if (level < 4) {
                walk(record.Children(), level + 1, base);
                continue;
            }
            const QVariant id = record.Attributes().ByTag(0x0004, 0x1500).Value();
            if (id.isNull())
                continue;
            const QString path = referencedFilePath(base, id.toStringList());
            mustStayInside(base, path);
        } catch (const Error&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString& base = fuzz::scratchFolder();
    static const bool once = [&] {
        // something for the case-blind look-up to find
        QDir().mkpath(base + QStringLiteral("/dicom/st000001"));
        QFile f(base + QStringLiteral("/dicom/st000001/im000001"));
        return f.open(QIODevice::WriteOnly);
    }();
    (void)once;
    const QString path = fuzz::writeInput(QStringLiteral("DICOMDIR"), data, size);
    try {
        DcmDatasetList reader;
        const DcmDataset dir = reader.ReadFile(path);
        readAll(dir, 0);
        walk(dir.DirectoryRecords(), 1, base);
    } catch (const Error&) {
    }
    return 0;
}
