// Opens one file as a DICOMDIR and walks it as the import does: four levels
// of records, each image record's Referenced File ID made into a path inside
// the DICOMDIR's folder. Every attribute of every record is read on the way.
//
// The walk is also compared with DCMTK's reading of the same bytes: the data
// set parsed as a plain file (DcmDicomDir ends the process on some damaged
// record types) and its records linked by their offsets here. Both must find
// the same records in the same tree, with the same Referenced File IDs, and
// refuse the same files.
#include "Scratch.h"

#include "dicom/DicomPrivate.h"
#include "import/ImportRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <set>

// Inside the namespace: DCMTK has a DcmDataset of its own at global scope.
namespace varnelo {

using namespace dicomimpl;

namespace {

// Enough to compare; a chain that leads back up the levels multiplies.
constexpr int kMostRecords = 2000;

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

// A record's elements, nested items included, as DCMTK holds them.
QString describe(DcmItem& item, int depth = 0)
{
    QString out;
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* e = item.getElement(i);
        out += QStringLiteral("(%1,%2 %3 %4)")
                   .arg(e->getGTag(), 4, 16, QLatin1Char('0'))
                   .arg(e->getETag(), 4, 16, QLatin1Char('0'))
                   .arg(QLatin1String(DcmVR(e->getVR()).getVRName()))
                   .arg(e->getLength());
        if (e->ident() == EVR_SQ) {
            auto* seq = static_cast<DcmSequenceOfItems*>(e);
            for (unsigned long k = 0; k < seq->card() && depth < 4; ++k)
                out += QStringLiteral("[") + describe(*seq->getItem(k), depth + 1) + QStringLiteral("]");
        } else if (OFString value; e->getOFStringArray(value, OFFalse).good()) {
            out += QString::fromLatin1(QByteArray(value.c_str(), static_cast<qsizetype>(value.length())).toPercentEncoding());
        }
    }
    return out;
}

// The Referenced File ID as DcmAttribute::Value() words it.
QString fileIdOf(DcmItem& item)
{
    DcmElement* e = nullptr;
    if (item.findAndGetElement(DCM_ReferencedFileID, e).bad() || !e)
        return QStringLiteral("<none>");
    QStringList values;
    for (unsigned long i = 0; i < e->getVM(); ++i) {
        OFString v;
        if (e->getOFString(v, i, OFTrue).bad())
            return QStringLiteral("<unreadable>");
        values << decodeText(v.c_str(), v.length());
    }
    if (e->getLength() == 0 || values.isEmpty() || (values.size() == 1 && values.front().trimmed().isEmpty()))
        return QString();
    return values.join(QLatin1Char('\\'));
}

struct ItemPosition : DcmItem {
    static offile_off_t of(const DcmItem* item)
    {
        constexpr offile_off_t DcmItem::*pos = &ItemPosition::fStartPosition;
        return item->*pos;
    }
};

std::uint32_t ulOf(DcmItem* item, const DcmTagKey& key)
{
    Uint32 v = 0;
    return item->findAndGetUint32(key, v).good() ? v : 0;
}

// DCMTK's reading: the records of the sequence by where their items start,
// linked by the offsets DCMTK finds in them.
struct Reference {
    std::map<std::uint32_t, DcmItem*> byOffset;
    int records = 0;

    void chain(std::uint32_t offset, int level, QString& out)
    {
        std::set<std::uint32_t> seen;
        while (offset != 0 && seen.insert(offset).second && records < kMostRecords) {
            auto it = byOffset.find(offset);
            if (it == byOffset.end())
                return;
            ++records;
            out += QString(level, QLatin1Char(' ')) + fileIdOf(*it->second) + QLatin1Char('|') + describe(*it->second) +
                QLatin1Char('\n');
            if (level < 4)
                chain(ulOf(it->second, DCM_OffsetOfReferencedLowerLevelDirectoryEntity), level + 1, out);
            offset = ulOf(it->second, DCM_OffsetOfTheNextDirectoryRecord);
        }
    }
};

// What DCMTK makes of the bytes: the record tree, or "unreadable".
QString dcmtkTree(const std::uint8_t* data, std::size_t size)
{
    DcmFileFormat file;
    OFCondition cond;
    try {
        cond = readFromBytes(file, reinterpret_cast<const char*>(data), size, EXS_Unknown);
    } catch (const std::exception&) {
        return QStringLiteral("unreadable");
    }
    ::DcmDataset* ds = file.getDataset();
    DcmSequenceOfItems* records = nullptr;
    if (cond.bad() || ds->findAndGetSequence(DCM_DirectoryRecordSequence, records).bad() || !records)
        return QStringLiteral("unreadable");
    Reference ref;
    for (DcmObject* o = records->nextInContainer(nullptr); o; o = records->nextInContainer(o)) {
        auto* item = static_cast<DcmItem*>(o);
        ref.byOffset[static_cast<std::uint32_t>(ItemPosition::of(item) - 8)] = item;
    }
    const std::uint32_t root = ulOf(ds, DCM_OffsetOfTheFirstDirectoryRecordOfTheRootDirectoryEntity);
    if (records->card() > 0 && ref.byOffset.count(root) == 0)
        return QStringLiteral("unreadable");
    QString out;
    ref.chain(root, 1, out);
    return out;
}

// The same tree as the import's walk finds it. The Referenced File ID is
// asked for before anything else, so that a record the quick walk read is
// not parsed yet and its own value is the one compared.
void ourChain(const DcmDatasetList& list, int level, int& records, QString& out)
{
    for (std::int32_t i = 1; i <= list.Count() && records < kMostRecords; ++i) {
        const DcmDataset record = list.ItemAt(i);
        ++records;
        QString id;
        try {
            const DcmAttributeList attributes = record.Attributes();
            id = attributes.Exists(0x0004, 0x1500) ? attributes.ByTag(0x0004, 0x1500).Value().toStringList().join(QLatin1Char('\\'))
                                                   : QStringLiteral("<none>");
        } catch (const Error&) {
            id = QStringLiteral("<unreadable>");
        }
        DcmItem* item = itemOf(*record.impl());
        out += QString(level, QLatin1Char(' ')) + id + QLatin1Char('|') + describe(*item) + QLatin1Char('\n');
        if (level < 4)
            ourChain(record.Children(), level + 1, records, out);
    }
}

QString ourTree(const QString& path)
{
    try {
        DcmDatasetList reader;
        const DcmDataset dir = reader.ReadFile(path);
        QString out;
        int records = 0;
        ourChain(dir.DirectoryRecords(), 1, records, out);
        return out;
    } catch (const Error&) {
        return QStringLiteral("unreadable");
    }
}

// `budget`: records still to be read; links back up the levels make a
// tree of the fourth power of the records, which teaches nothing new.
void walk(const DcmDatasetList& records, int level, const QString& base, int& budget)
{
    for (std::int32_t i = 1; i <= records.Count() && budget > 0; ++i, --budget) {
        try {
            const DcmDataset record = records.ItemAt(i);
            readAll(record, 0);
            if (level < 4) {
                walk(record.Children(), level + 1, base, budget);
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

}  // namespace varnelo

using namespace varnelo;

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
    dicomimpl::ensureInitialised();

    const QString ours = ourTree(path);
    const QString dcmtk = dcmtkTree(data, size);
    if (ours != dcmtk) {
        std::fprintf(stderr, "the walk and DCMTK read the records differently\nwalk:\n%s\nDCMTK:\n%s\n",
                     qPrintable(ours), qPrintable(dcmtk));
        std::abort();
    }

    try {
        DcmDatasetList reader;
        const varnelo::DcmDataset dir = reader.ReadFile(path);
        readAll(dir, 0);
        int budget = kMostRecords;
        walk(dir.DirectoryRecords(), 1, base, budget);
    } catch (const Error&) {
    }
    return 0;
}
