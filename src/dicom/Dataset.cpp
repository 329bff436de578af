// Data sets, attribute lists, attributes and DICOMDIR reading.

#include "dicom/DicomPrivate.h"

#include <dcmtk/dcmdata/dcdirrec.h>

#include <QFile>
#include <QFileInfo>

#include <exception>
#include <map>
#include <set>

using namespace varnelo::dicomimpl;

namespace varnelo {

namespace {

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

}  // namespace

// ---- DICOMDIR index -------------------------------------------------------

struct DcmDataset::Impl::DirIndex {
    std::map<std::uint32_t, DcmItem*> byOffset;
    std::uint32_t rootOffset = 0;

    // Follows a chain of "next record" offsets. A broken or circular chain
    // ends where it breaks rather than looping.
    DcmDatasetList chain(const Owner& owner, const std::shared_ptr<DirIndex>& self, std::uint32_t first) const
    {
        DcmDatasetList list;
        std::set<std::uint32_t> seen;
        std::uint32_t offset = first;
        while (offset != 0 && seen.insert(offset).second) {
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
    if (value.isEmpty()) {
        cond = impl_->item->insertEmptyElement(tag, OFTrue);
    } else {
        const QByteArray bytes = encodeText(value, impl_->item);
        cond = impl_->item->putAndInsertString(tag, bytes.constData(), OFTrue);
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
    OFCondition cond = impl_->item->insert(seq.get(), OFTrue);
    if (cond.bad())
        fail(DicomErrc::InvalidValue, QStringLiteral("Cannot add the sequence %1: %2").arg(describeTag(DcmTagKey(group, element)), conditionText(cond)));
    seq.release();
}

DcmAttribute DcmAttributeList::ByTag(std::uint16_t group, std::uint16_t element) const
{
    DcmElement* e = nullptr;
    const DcmTagKey key(group, element);
    if (impl_->item->findAndGetElement(key, e, OFFalse).bad() || !e)
        fail(DicomErrc::AttributeAbsent, QStringLiteral("The attribute %1 is absent.").arg(describeTag(key)));
    auto impl = std::make_shared<DcmAttribute::Impl>();
    impl->owner = impl_->owner;
    impl->element = e;
    return DcmAttribute(impl);
}

bool DcmAttributeList::Exists(std::uint16_t group, std::uint16_t element) const
{
    return impl_->item->tagExists(DcmTagKey(group, element), OFFalse);
}

std::vector<DcmAttribute> DcmAttributeList::All() const
{
    std::vector<DcmAttribute> all;
    for (unsigned long i = 0; i < impl_->item->card(); ++i) {
        auto impl = std::make_shared<DcmAttribute::Impl>();
        impl->owner = impl_->owner;
        impl->element = impl_->item->getElement(i);
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
    return DcmAttributeList(impl);
}

QString DcmDataset::PatientName() const { return textOf(impl_->item, DCM_PatientName).value_or(QString()); }
std::optional<QString> DcmDataset::PatientID() const { return textOf(impl_->item, DCM_PatientID); }
std::optional<QString> DcmDataset::PatientSex() const { return textOf(impl_->item, DCM_PatientSex); }
std::optional<QString> DcmDataset::BirthDateRaw() const { return textOf(impl_->item, DCM_PatientBirthDate); }

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
    if (!impl_->dir || impl_->item == nullptr)
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

    // Loaded as a plain file: DCMTK's DICOMDIR class may write the file back
    // when it is destroyed, and the medium is someone else's.
    auto file = std::make_shared<DcmFileFormat>();
    const QByteArray name = QFile::encodeName(path);
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
    if (records->card() > 0 && index->byOffset.count(index->rootOffset) == 0)
        fail(DicomErrc::DicomDirUnreadable,
             prefix + QStringLiteral("the offset of its first record (%1) points to no record").arg(index->rootOffset));

    DcmDataset root = makeDataset(file, ds);
    root.impl()->dir = index;
    impl_->items.push_back(root);
    return root;
}

}  // namespace varnelo
