#include "import/ArchiveSelection.h"
#include "import/ReferencedFiles.h"

#include "base/Error.h"
#include "dicom/Dicom.h"

#include <QStringList>
#include <QVariant>

namespace varnelo::archiveselection {

namespace {


// The walk reads four levels, from patient to image.
constexpr int kLevels = 4;
// Records that share their lower records could make the walk over them
// endless; beyond this many, the caller takes every file.
constexpr int kMaxRecords = 1 << 20;

void collect(const DcmDatasetList& records, int level, QSet<QString>& out, int& seen)
{
    for (std::int32_t i = 1; i <= records.Count(); ++i) {
        if (++seen > kMaxRecords)
            throw Error(ErrNo::PathFileAccess, QStringLiteral("too many records"));
        const DcmDataset record = records.ItemAt(i);
        const DcmAttributeList attributes = record.Attributes();
        if (attributes.Exists(0x0004, 0x1500)) {
            QStringList parts;
            for (const QString& c : attributes.ByTag(0x0004, 0x1500).Value().toStringList())
                if (!c.isEmpty())
                    parts << c;
            if (!parts.isEmpty())
                out.insert(foldedPath(parts.join(QLatin1Char('/'))));
        }
        if (level < kLevels)
            collect(record.Children(), level + 1, out, seen);
    }
}

}  // namespace

QString foldedPath(const QString& relative)
{
    QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (QString& p : parts)
        p = foldedFileName(p);
    return parts.join(QLatin1Char('/'));
}

QSet<QString> referencedPaths(const QString& path)
{
    DcmDatasetList reader;
    const DcmDataset dir = reader.ReadFile(path);
    QSet<QString> out;
    int seen = 0;
    collect(dir.DirectoryRecords(), 1, out, seen);
    return out;
}

}  // namespace varnelo::archiveselection
