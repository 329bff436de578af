#pragma once

// What a DcmImage handle holds, for the DICOM folders only: the network side
// sends the loaded file as it stands.

#include "dicom/FileLoader.h"

namespace varnelo {

struct DcmImage::Impl {
    std::shared_ptr<dicomimpl::LoadedFile> file;
    QString path;
};

}  // namespace varnelo
