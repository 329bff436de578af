// Data sets, attribute lists, attributes and DICOMDIR reading.

#include "dicom/DicomPrivate.h"
#include "dicom/RawFile.h"

#include "base/FileNames.h"

#include <dcmtk/dcmdata/dcdirrec.h>
#include <dcmtk/dcmdata/dcostrmb.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace varnelo::dicomimpl;

namespace varnelo {

namespace {

constexpr qint64 kQuickDirUpTo = 256 * 1024 * 1024;

// The whole file, when it is a regular file of at most kQuickDirUpTo bytes.
bool readWhole(const QByteArray& name, QByteArray& bytes)
{
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kQuickDirUpTo;
    if (ok) {
        bytes.resize(static_cast<qsizetype>(st.st_size));
        qint64 done = 0;
        while (ok && done < st.st_size) {
            const ssize_t n = ::read(fd, bytes.data() + done, static_cast<size_t>(st.st_size - done));
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            done += n > 0 ? n : 0;
        }
    }
    ::close(fd);
    return ok;
}

std::optional<QString> textOf(DcmItem* item, const DcmTagKey& key)
{
    OFString value;
    if (!item || item->findAndGetOFStringArray(key, value).bad())
        return std::nullopt;
    QString text = decodeText(value.c_str(), value.length()).trimmed();
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

// The file position where an item's tag starts. DCMTK records it while
// reading but exposes it only to subclasses.
struct ItemPosition : DcmItem {
    static offile_off_t of(const DcmItem* item)
    {
        constexpr offile_off_t DcmItem::*pos = &ItemPosition::fStartPosition;
        return item->*pos;
    }
};

// DICOMDIR offsets point at the item tag; DCMTK notes where the item's
// content starts, after the 8-byte item header (the same in every encoding).
std::uint32_t recordOffset(const DcmItem* item)
{
    return static_cast<std::uint32_t>(ItemPosition::of(item) - 8);
}

std::uint32_t ulValue(DcmItem* item, const DcmTagKey& key)
{
    Uint32 v = 0;
    if (item->findAndGetUint32(key, v).bad())
        return 0;
    return v;
}

// In explicit VR, a record's links count only when they are written as UL:
// DCMTK reads an offset written as another VR (SL, OB, FL...) as that VR and
// its findAndGetUint32 finds no number there, so the chain ends. The walk
// took any four bytes; this looks at the VR of each record's two links and
// drops those DCMTK would not follow. False when a record cannot be looked
// through up to its links (a value of undefined length before them): DCMTK's
// parse then decides.
bool keepOnlyUlLinks(const QByteArray& bytes, std::vector<RawDirRecord>& records)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.constData());
    auto u16 = [b](qint64 at) { return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8)); };
    for (RawDirRecord& r : records) {
        qint64 pos = r.item + 8;
        while (pos + 8 <= r.end) {
            const std::uint32_t key = (u16(pos) << 16) | u16(pos + 2);
            if (key > 0x00041420u || (key >> 16) == 0xFFFE)
                break;
            const QByteArray vr(&bytes.constData()[pos + 4], 2);
            static const QByteArray longVrs[] = {"OB", "OD", "OF", "OL", "OW", "SQ", "UC", "UN", "UR", "UT"};
            std::uint32_t length = u16(pos + 6);
            qint64 header = 8;
            if (std::find(std::begin(longVrs), std::end(longVrs), vr) != std::end(longVrs)) {
                if (pos + 12 > r.end)
                    return false;
                length = u16(pos + 8) | (u16(pos + 10) << 16);
                header = 12;
            }
            if ((key == 0x00041400u || key == 0x00041420u) && vr != "UL")
                (key == 0x00041400u ? r.next : r.lower) = 0;
            if (length == 0xFFFFFFFFu)
                return false;
            pos += header + length;
        }
    }
    return true;
}

}  // namespace

// ---- DICOMDIR index -------------------------------------------------------

// A DICOMDIR read by the quick walk: its bytes and where its records lie. A
// record's DCMTK item is parsed from those bytes only when something asks
// for more than its links and its Referenced File ID.
struct QuickDir {
    QByteArray bytes;
    E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    std::vector<RawDirRecord> records;
    std::unordered_map<std::uint32_t, std::int32_t> byOffset;
    std::vector<std::unique_ptr<DcmItem>> items;  // by record, once parsed
    std::unique_ptr<DcmFileFormat> whole;         // the DICOMDIR itself, once parsed
    QString path;

    DcmItem* item(std::int32_t record)
    {
        OFCondition cond;
        try {
            if (record < 0) {
                if (!whole) {
                    auto file = std::make_unique<DcmFileFormat>();
                    cond = readFromBytes(*file, bytes.constData(), static_cast<size_t>(bytes.size()), EXS_Unknown);
                    if (cond.bad())
                        throw std::runtime_error(cond.text());
                    whole = std::move(file);
                }
                return whole->getDataset();
            }
            auto& slot = items[static_cast<size_t>(record)];
            if (!slot) {
                const RawDirRecord& r = records[static_cast<size_t>(record)];
                const auto* head = reinterpret_cast<const unsigned char*>(bytes.constData() + r.item + 4);
                const Uint32 length = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<Uint32>(head[3]) << 24);
                auto item = std::make_unique<DcmItem>(DcmTag(DCM_Item), length);
                cond = readFromBytes(*item, bytes.constData() + r.item + 8, static_cast<size_t>(r.end - r.item - 8), xfer);
                if (cond.bad())
                    throw std::runtime_error(cond.text());
                slot = std::move(item);
            }
            return slot.get();
        } catch (const std::exception& e) {
            fail(DicomErrc::DicomDirUnreadable,
                 QStringLiteral("Cannot read the DICOMDIR %1: a record is damaged (%2)").arg(path, QString::fromLocal8Bit(e.what())));
        }
    }
};

struct DcmDataset::Impl::DirIndex {
    std::map<std::uint32_t, DcmItem*> byOffset;
    std::uint32_t rootOffset = 0;
    QByteArray charset;               // the DICOMDIR's, for records without one of their own
    std::shared_ptr<QuickDir> quick;  // instead of byOffset, when the quick walk read it

    // Follows a chain of "next record" offsets. A broken or circular chain
    // ends where it breaks rather than looping.
    DcmDatasetList chain(const Owner& owner, const std::shared_ptr<DirIndex>& self, std::uint32_t first) const
    {
        DcmDatasetList list;
        std::set<std::uint32_t> seen;
        std::uint32_t offset = first;
        while (offset != 0 && seen.insert(offset).second) {
            if (quick) {
                auto it = quick->byOffset.find(offset);
                if (it == quick->byOffset.end())
                    break;
                const RawDirRecord& r = quick->records[static_cast<size_t>(it->second)];
                auto impl = std::make_shared<DcmDataset::Impl>();
                impl->owner = owner;
                impl->dir = self;
                impl->lowerOffset = r.lower;
                impl->quickRecord = it->second;
                list.impl()->items.push_back(DcmDataset(impl));
                offset = r.next;
                continue;
            }
            auto it = byOffset.find(offset);
            if (it == byOffset.end())
                break;
            DcmDataset record = makeDataset(owner, it->second);
            record.impl()->dir = self;
            record.impl()->lowerOffset = ulValue(it->second, DCM_OffsetOfReferencedLowerLevelDirectoryEntity);
            list.impl()->items.push_back(record);
            offset = ulValue(it->second, DCM_OffsetOfTheNextDirectoryRecord);
        }
        return list;
    }
};

DcmItem* itemOf(DcmDataset::Impl& impl)
{
    if (!impl.item && impl.quickRecord != -1 && impl.dir && impl.dir->quick)
        impl.item = impl.dir->quick->item(impl.quickRecord);
    return impl.item;
}

namespace {

DcmItem* itemOf(DcmAttributeList::Impl& list)
{
    if (!list.item && list.record)
        list.item = itemOf(*list.record);
    return list.item;
}

// A quick record's Referenced File ID without parsing the record: the one
// value the import reads of every image record.
const RawDirRecord* quickRecordFor(const DcmAttributeList::Impl& list)
{
    if (list.item || !list.record || list.record->quickRecord < 0 || !list.record->dir || !list.record->dir->quick)
        return nullptr;
    return &list.record->dir->quick->records[static_cast<size_t>(list.record->quickRecord)];
}

}  // namespace

DcmDataset makeDataset(Owner owner, DcmItem* item)
{
    auto impl = std::make_shared<DcmDataset::Impl>();
    impl->owner = std::move(owner);
    impl->item = item;
    return DcmDataset(impl);
}

// ---- DcmAttribute ---------------------------------------------------------

DcmAttribute::DcmAttribute(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl))
{
}

std::uint16_t DcmAttribute::Group() const { return impl_->element->getGTag(); }
std::uint16_t DcmAttribute::Element() const { return impl_->element->getETag(); }

bool DcmAttribute::IsSequence() const { return impl_->element->ident() == EVR_SQ; }

QVariant DcmAttribute::Value() const
{
    DcmElement* e = impl_->element;
    if (IsSequence() || e->getLength() == 0)
        return QVariant();
    const unsigned long vm = e->getVM();
    QStringList values;
    for (unsigned long i = 0; i < vm; ++i) {
        OFString v;
        if (e->getOFString(v, i, OFTrue).bad())
            fail(DicomErrc::InvalidValue,
                 QStringLiteral("The value of %1 cannot be read.")
                     .arg(describeTag(DcmTagKey(e->getGTag(), e->getETag()))));
        values << decodeText(v.c_str(), v.length());
    }
    if (values.isEmpty() || (values.size() == 1 && values.front().trimmed().isEmpty()))
        return QVariant();
    if (values.size() == 1)
        return values.front();
    return values;
}

DcmDatasetList DcmAttribute::SequenceItems() const
{
    if (!IsSequence())
        fail(DicomErrc::NotASequence,
             QStringLiteral("The attribute %1 is not a sequence.")
                 .arg(describeTag(DcmTagKey(Group(), Element()))));
    auto* seq = static_cast<DcmSequenceOfItems*>(impl_->element);
    DcmDatasetList list;
    // item by item: getItem(i) walks the list from its start each time
    for (DcmObject* o = seq->nextInContainer(nullptr); o; o = seq->nextInContainer(o))
        list.impl()->items.push_back(makeDataset(impl_->owner, static_cast<DcmItem*>(o)));
    return list;
}

// ---- DcmAttributeList -----------------------------------------------------

DcmAttributeList::DcmAttributeList(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl))
{
}

void DcmAttributeList::AddAttribute(std::uint16_t group, std::uint16_t element, const QString& value)
{
    DcmTag tag(group, element);
    const DcmEVR vr = tag.getEVR();
    if (vr == EVR_SQ)
        fail(DicomErrc::InvalidValue,
             QStringLiteral("%1 is a sequence and takes a list of items, not text.")
                 .arg(describeTag(tag)));
    // A tag the dictionary does not know still needs a text VR to hold text.
    if (vr == EVR_UNKNOWN || vr == EVR_UN || vr == EVR_UNKNOWN2B)
        tag.setVR(EVR_LO);
    OFCondition cond;
    DcmItem* item = itemOf(*impl_);
    if (value.isEmpty()) {
        cond = item->insertEmptyElement(tag, OFTrue);
    } else {
        const QByteArray bytes = encodeText(value, item);
        cond = item->putAndInsertString(tag, bytes.constData(), OFTrue);
    }
    if (cond.bad())
        fail(DicomErrc::InvalidValue, QStringLiteral("Cannot set %1 to \"%2\": %3").arg(describeTag(tag), value, conditionText(cond)));
}

void DcmAttributeList::AddAttribute(std::uint16_t group, std::uint16_t element, const DcmDatasetList& items)
{
    // The items are copied as they stand now.
    auto seq = std::make_unique<DcmSequenceOfItems>(DcmTag(group, element, EVR_SQ));
    for (std::int32_t i = 1; i <= items.Count(); ++i) {
        DcmItem* source = items.ItemAt(i).impl()->item;
        seq->append(new DcmItem(*source));
    }
    OFCondition cond = itemOf(*impl_)->insert(seq.get(), OFTrue);
    if (cond.bad())
        fail(DicomErrc::InvalidValue, QStringLiteral("Cannot add the sequence %1: %2").arg(describeTag(DcmTagKey(group, element)), conditionText(cond)));
    seq.release();
}

DcmAttribute DcmAttributeList::ByTag(std::uint16_t group, std::uint16_t element) const
{
    DcmElement* e = nullptr;
    const DcmTagKey key(group, element);
    if (const RawDirRecord* r = quickRecordFor(*impl_); r && key == DCM_ReferencedFileID) {
        if (!r->hasFileId)
            fail(DicomErrc::AttributeAbsent, QStringLiteral("The attribute %1 is absent.").arg(describeTag(key)));
        auto value = std::make_shared<DcmCodeString>(DcmTag(DCM_ReferencedFileID, EVR_CS));
        value->putString(r->fileId.constData(), static_cast<Uint32>(r->fileId.size()));
        auto impl = std::make_shared<DcmAttribute::Impl>();
        impl->element = value.get();
        impl->owner = std::move(value);
        return DcmAttribute(impl);
    }
    if (itemOf(*impl_)->findAndGetElement(key, e, OFFalse).bad() || !e)
        fail(DicomErrc::AttributeAbsent, QStringLiteral("The attribute %1 is absent.").arg(describeTag(key)));
    auto impl = std::make_shared<DcmAttribute::Impl>();
    impl->owner = impl_->owner;
    impl->element = e;
    return DcmAttribute(impl);
}

bool DcmAttributeList::Exists(std::uint16_t group, std::uint16_t element) const
{
    if (const RawDirRecord* r = quickRecordFor(*impl_); r && DcmTagKey(group, element) == DCM_ReferencedFileID)
        return r->hasFileId;
    return itemOf(*impl_)->tagExists(DcmTagKey(group, element), OFFalse);
}

std::vector<DcmAttribute> DcmAttributeList::All() const
{
    std::vector<DcmAttribute> all;
    DcmItem* item = itemOf(*impl_);
    for (unsigned long i = 0; i < item->card(); ++i) {
        auto impl = std::make_shared<DcmAttribute::Impl>();
        impl->owner = impl_->owner;
        impl->element = item->getElement(i);
        all.emplace_back(impl);
    }
    return all;
}

// ---- DcmDataset -----------------------------------------------------------

DcmDataset::DcmDataset()
{
    auto ds = std::make_shared<::DcmDataset>();
    impl_ = std::make_shared<Impl>();
    impl_->item = ds.get();
    impl_->owner = std::move(ds);
}

DcmDataset::DcmDataset(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl))
{
}

DcmAttributeList DcmDataset::Attributes() const
{
    auto impl = std::make_shared<DcmAttributeList::Impl>();
    impl->owner = impl_->owner;
    impl->item = impl_->item;
    if (!impl->item)
        impl->record = impl_;  // a quick record: parsed when more than its file is asked for
    return DcmAttributeList(impl);
}

QString DcmDataset::PatientName() const { return textOf(itemOf(*impl_), DCM_PatientName).value_or(QString()); }
std::optional<QString> DcmDataset::PatientID() const { return textOf(itemOf(*impl_), DCM_PatientID); }
std::optional<QString> DcmDataset::PatientSex() const { return textOf(itemOf(*impl_), DCM_PatientSex); }
std::optional<QString> DcmDataset::BirthDateRaw() const { return textOf(itemOf(*impl_), DCM_PatientBirthDate); }

QByteArray DcmDataset::Encoded() const
{
    auto* ds = dynamic_cast<::DcmDataset*>(itemOf(*impl_));
    if (!ds)
        return {};
    const E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    // the stream asks to be emptied whenever its buffer is full
    std::vector<char> buffer(64 * 1024);
    DcmOutputBufferStream out(buffer.data(), static_cast<offile_off_t>(buffer.size()));
    QByteArray bytes;
    ds->transferInit();
    OFCondition cond = EC_StreamNotifyClient;
    while (cond == EC_StreamNotifyClient) {
        cond = ds->write(out, xfer, EET_ExplicitLength, nullptr);
        void* written = nullptr;
        offile_off_t size = 0;
        out.flushBuffer(written, size);
        bytes.append(static_cast<const char*>(written), static_cast<qsizetype>(size));
    }
    ds->transferEnd();
    return cond.good() ? bytes : QByteArray();
}

DcmPatient DcmDataset::Patient() const
{
    DcmItem* item = itemOf(*impl_);
    if (!item)
        return DcmPatient();
    return patientOf(*item, impl_->dir ? impl_->dir->charset : QByteArray());
}

DcmStudyValues DcmDataset::StudyValues() const
{
    DcmItem* item = itemOf(*impl_);
    if (!item)
        return DcmStudyValues();
    return studyValuesOf(*item, impl_->dir ? impl_->dir->charset : QByteArray());
}

DcmSeriesValues DcmDataset::SeriesValues() const
{
    DcmItem* item = itemOf(*impl_);
    if (!item)
        return DcmSeriesValues();
    return seriesValuesOf(*item, impl_->dir ? impl_->dir->charset : QByteArray());
}

QDate DcmDataset::PatientBirthDate() const
{
    const std::optional<QString> raw = BirthDateRaw();
    if (!raw)
        fail(DicomErrc::InvalidValue, QStringLiteral("The patient's birth date is absent."));
    // DA is YYYYMMDD; some old systems still write YYYY.MM.DD.
    QDate date = QDate::fromString(*raw, QStringLiteral("yyyyMMdd"));
    if (!date.isValid())
        date = QDate::fromString(*raw, QStringLiteral("yyyy.MM.dd"));
    if (!date.isValid())
        fail(DicomErrc::InvalidValue, QStringLiteral("The patient's birth date \"%1\" is not a date.").arg(*raw));
    return date;
}

DcmDatasetList DcmDataset::DirectoryRecords() const
{
    if (!impl_->dir)
        return DcmDatasetList();
    return impl_->dir->chain(impl_->owner, impl_->dir, impl_->dir->rootOffset);
}

DcmDatasetList DcmDataset::Children() const
{
    if (!impl_->dir || (impl_->item == nullptr && impl_->quickRecord < 0))
        return DcmDatasetList();
    return impl_->dir->chain(impl_->owner, impl_->dir, impl_->lowerOffset);
}

// ---- DcmDatasetList -------------------------------------------------------

DcmDatasetList::DcmDatasetList()
    : impl_(std::make_shared<Impl>())
{
}
DcmDatasetList::DcmDatasetList(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl))
{
}

std::int32_t DcmDatasetList::Count() const { return static_cast<std::int32_t>(impl_->items.size()); }

DcmDataset DcmDatasetList::ItemAt(std::int32_t index) const
{
    if (index < 1 || index > Count())
        fail(DicomErrc::IndexOutOfRange,
             QStringLiteral("Item %1 does not exist; the list holds %2.").arg(index).arg(Count()));
    return impl_->items[static_cast<size_t>(index - 1)];
}

DcmDataset DcmDatasetList::AppendNew()
{
    DcmDataset ds;
    impl_->items.push_back(ds);
    return ds;
}

DcmDataset DcmDatasetList::ReadFile(const QString& path)
{
    ensureInitialised();
    const QString prefix = QStringLiteral("Cannot read the DICOMDIR %1: ").arg(path);
    if (!QFileInfo(path).isFile())
        fail(DicomErrc::DicomDirUnreadable, prefix + QStringLiteral("no such file"));

    const QByteArray name = encodeFileName(path);

    // The quick walk first: it finds the records and their links without
    // building DCMTK's objects, so that a DICOMDIR of many thousand records
    // is ready at once; a record is parsed only when more than its links and
    // its file is asked for. What the walk does not fully understand is
    // parsed by DCMTK as a whole, below.
    if (auto quick = std::make_shared<QuickDir>(); readWhole(name, quick->bytes)) {
        quick->path = path;
        if (auto walked = scanDicomDir(quick->bytes);
            walked && walked->hasRecordSequence && (!walked->explicitVr || keepOnlyUlLinks(quick->bytes, walked->records))) {
            quick->xfer = walked->explicitVr ? EXS_LittleEndianExplicit : EXS_LittleEndianImplicit;
            quick->records = std::move(walked->records);
            quick->items.resize(quick->records.size());
            for (size_t i = 0; i < quick->records.size(); ++i)
                quick->byOffset.emplace(quick->records[i].offset, static_cast<std::int32_t>(i));
            auto index = std::make_shared<DcmDataset::Impl::DirIndex>();
            index->rootOffset = walked->rootOffset;
            index->charset = walked->charset.trimmed();
            index->quick = quick;
            if (!quick->records.empty() && quick->byOffset.count(index->rootOffset) == 0)
                fail(DicomErrc::DicomDirUnreadable,
                     prefix + QStringLiteral("the offset of its first record (%1) points to no record").arg(index->rootOffset));
            auto impl = std::make_shared<DcmDataset::Impl>();
            impl->owner = quick;
            impl->dir = index;
            impl->quickRecord = -2;  // the DICOMDIR itself
            DcmDataset root(impl);
            impl_->items.push_back(root);
            return root;
        }
    }

    // Loaded as a plain file: DCMTK's DICOMDIR class may write the file back
    // when it is destroyed, and the medium is someone else's.
    auto file = std::make_shared<DcmFileFormat>();
    OFCondition cond = EC_Normal;
    try {
        cond = file->loadFile(OFFilename(name.constData()), EXS_Unknown, EGL_noChange, DCM_MaxReadLength,
                              ERM_autoDetect);
    } catch (const std::exception& e) {
        // DCMTK 3.6.7 throws std::out_of_range on some damaged record types
        fail(DicomErrc::DicomDirUnreadable, prefix + QStringLiteral("damaged (%1)").arg(QString::fromLocal8Bit(e.what())));
    }
    if (cond.bad())
        fail(DicomErrc::DicomDirUnreadable, prefix + conditionText(cond));
    ::DcmDataset* ds = file->getDataset();
    DcmSequenceOfItems* records = nullptr;
    if (ds->findAndGetSequence(DCM_DirectoryRecordSequence, records).bad() || !records)
        fail(DicomErrc::DicomDirUnreadable, prefix + QStringLiteral("it has no directory record sequence"));

    auto index = std::make_shared<DcmDataset::Impl::DirIndex>();
    for (DcmObject* o = records->nextInContainer(nullptr); o; o = records->nextInContainer(o)) {
        DcmItem* item = static_cast<DcmItem*>(o);
        index->byOffset[recordOffset(item)] = item;
    }
    index->rootOffset = ulValue(ds, DCM_OffsetOfTheFirstDirectoryRecordOfTheRootDirectoryEntity);
    if (OFString charset; ds->findAndGetOFStringArray(DCM_SpecificCharacterSet, charset).good())
        index->charset = QByteArray(charset.c_str(), static_cast<qsizetype>(charset.length()));
    if (records->card() > 0 && index->byOffset.count(index->rootOffset) == 0)
        fail(DicomErrc::DicomDirUnreadable,
             prefix + QStringLiteral("the offset of its first record (%1) points to no record").arg(index->rootOffset));

    DcmDataset root = makeDataset(file, ds);
    root.impl()->dir = index;
    impl_->items.push_back(root);
    return root;
}

}  // namespace varnelo
