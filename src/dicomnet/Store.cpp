// Sending loaded images: each sender keeps its own associations.

#include "dicom/ImagePrivate.h"
#include "dicomnet/Association.h"
#include "dicomnet/Network.h"

using namespace varnelo::dicomimpl;

namespace varnelo {

struct DcmSender::Impl {
    AssociationPool pool;
};

DcmSender::DcmSender()
    : impl_(std::make_unique<Impl>())
{
}

DcmSender::~DcmSender() = default;

std::int32_t DcmSender::Store(const DcmImage& image, const QString& host, std::int32_t port, const QString& callingAE,
                              const QString& calledAE, const DcmTls& tls, const std::function<void()>& whileWaiting)
{
    Peer peer {host.trimmed(), checkedPort(port), callingAE.trimmed(), calledAE.trimmed(), tls};
    LoadedFile& file = *image.impl()->file;
    // Pixel data still in the file is read during the send: only from the
    // file that was loaded, and only while it is as it was.
    file.checkUnchanged();
    const std::int32_t status = impl_->pool.store(file, peer, whileWaiting);
    // changed while it was being read: the peer may hold a mixture
    file.checkUnchanged();
    return status;
}

void DcmSender::Release() { impl_->pool.releaseAll(); }

DcmSender::Contexts DcmSender::ContextsFor(const QString& host, std::int32_t port, const QString& callingAE,
                                           const QString& calledAE, const DcmTls& tls) const
{
    return impl_->pool.needs(Peer {host.trimmed(), checkedPort(port), callingAE.trimmed(), calledAE.trimmed(), tls});
}

void DcmSender::Open(const QString& host, std::int32_t port, const QString& callingAE, const QString& calledAE,
                     const DcmTls& tls, const Contexts& contexts)
{
    impl_->pool.open(Peer {host.trimmed(), checkedPort(port), callingAE.trimmed(), calledAE.trimmed(), tls}, contexts);
}

int DcmSender::OpenedCount() const { return impl_->pool.openedCount(); }

}  // namespace varnelo
