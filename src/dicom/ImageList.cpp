// Loading images and sending them.

#include "dicom/Association.h"
#include "dicom/FileLoader.h"

#include <QFile>
#include <QFileInfo>

using namespace varnelo::dicomimpl;

namespace varnelo {

struct DcmImage::Impl {
    std::shared_ptr<LoadedFile> file;
    QString path;
    std::weak_ptr<AssociationPool> pool;  // the owning list's associations
    std::weak_ptr<ReadAhead> readAhead;   // the owning list's files to come
};

struct DcmImageList::Impl {
    std::vector<DcmImage> items;
    std::shared_ptr<AssociationPool> pool = std::make_shared<AssociationPool>();
    std::shared_ptr<ReadAhead> readAhead = std::make_shared<ReadAhead>();
};

namespace {

QString stringOf(const DcmFileFormat& file, const DcmTagKey& key)
{
    OFString value;
    if (const_cast<DcmFileFormat&>(file).getDataset()->findAndGetOFStringArray(key, value).bad())
        return QString();
    return decodeText(value.c_str(), value.length()).trimmed();
}

void setString(DcmFileFormat& file, const DcmTagKey& key, const QString& value)
{
    ::DcmDataset* ds = file.getDataset();
    const QByteArray bytes = encodeText(value, ds);
    OFCondition cond = ds->putAndInsertString(key, bytes.constData(), OFTrue);
    if (cond.bad())
        fail(DicomErrc::InvalidValue,
             QStringLiteral("Cannot set %1 to \"%2\": %3").arg(describeTag(key), value, conditionText(cond)));
}

bool hasValue(const DcmFileFormat& file, const DcmTagKey& key)
{
    return !stringOf(file, key).isEmpty();
}

}  // namespace

// ---- DcmImage -------------------------------------------------------------

DcmImage::DcmImage(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl))
{
}

QString DcmImage::PatientID() const { return stringOf(impl_->file->format, DCM_PatientID); }
void DcmImage::setPatientID(const QString& value) { setString(impl_->file->format, DCM_PatientID, value); }
QString DcmImage::StudyInstanceUID() const { return stringOf(impl_->file->format, DCM_StudyInstanceUID); }
void DcmImage::setStudyInstanceUID(const QString& value) { setString(impl_->file->format, DCM_StudyInstanceUID, value); }
QString DcmImage::SeriesInstanceUID() const { return stringOf(impl_->file->format, DCM_SeriesInstanceUID); }
void DcmImage::setSeriesInstanceUID(const QString& value) { setString(impl_->file->format, DCM_SeriesInstanceUID, value); }

std::int32_t DcmImage::CheckValueA() const { return hasValue(impl_->file->format, DCM_SOPClassUID) ? 1 : 0; }
std::int32_t DcmImage::CheckValueB() const { return hasValue(impl_->file->format, DCM_SOPInstanceUID) ? 1 : 0; }

std::int32_t DcmImage::StoreTo(const QString& host, std::int32_t port, const QString& callingAE,
                               const QString& calledAE)
{
    Peer peer {host.trimmed(), checkedPort(port), callingAE.trimmed(), calledAE.trimmed()};
    // Pixel data still in the file is read during the send: only from the
    // file that was loaded, and only while it is as it was.
    impl_->file->checkUnchanged();
    if (auto pool = impl_->pool.lock()) {
        // While the peer works on this image, the list's next file is read.
        std::function<void()> whileWaiting;
        auto ahead = impl_->readAhead.lock();
        if (ahead && ahead->hasUnread())
            whileWaiting = [&ahead] { ahead->readOne(); };
        const std::int32_t status = pool->store(impl_->file->format, peer, whileWaiting);
        // changed while it was being read: the peer may hold a mixture
        impl_->file->checkUnchanged();
        return status;
    }
    // The list is gone: send on an association of our own.
    AssociationPool own;
    const std::int32_t status = own.store(impl_->file->format, peer);
    impl_->file->checkUnchanged();
    return status;
}

// ---- DcmImageList ---------------------------------------------------------

DcmImageList::DcmImageList()
    : impl_(std::make_unique<Impl>())
{
}

DcmImageList::~DcmImageList()
{
    ReleaseAssociations();
}

void DcmImageList::LoadFile(const QString& path)
{
    auto impl = std::make_shared<DcmImage::Impl>();
    impl->file = impl_->readAhead->take(path);
    if (!impl->file)
        impl->file = loadDicomFile(path);
    impl->path = path;
    impl->pool = impl_->pool;
    impl->readAhead = impl_->readAhead;
    impl_->items.emplace_back(impl);
}

DcmImage DcmImageList::ItemAt(std::int32_t index) const
{
    if (index < 1 || index > Count())
        fail(DicomErrc::IndexOutOfRange,
             QStringLiteral("Image %1 does not exist; the list holds %2.").arg(index).arg(Count()));
    return impl_->items[static_cast<size_t>(index - 1)];
}

std::int32_t DcmImageList::Count() const { return static_cast<std::int32_t>(impl_->items.size()); }

void DcmImageList::Clear() { impl_->items.clear(); }

void DcmImageList::ReleaseAssociations()
{
    impl_->readAhead->cancel();
    impl_->pool->releaseAll();
}

void DcmImageList::Prefetch(const QString& path) { impl_->readAhead->want(path); }

std::int32_t DcmImageList::ReadAheadQueued() const { return impl_->readAhead->queued(); }

std::int32_t DcmImageList::ReadAheadReady() const { return impl_->readAhead->ready(); }

}  // namespace varnelo
