// The quick walk of a file against DCMTK's parse of the same bytes: where
// the walk takes a file, DCMTK must read it too, in the same transfer
// syntax, with as many top-level elements and the same values picked out.
#include "dicom/RawFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString why = varnelo::dicomimpl::walkDisagreement(bytes);
    if (!why.isEmpty()) {
        std::fprintf(stderr, "the quick walk and DCMTK disagree: %s\n", qPrintable(why));
        std::abort();
    }
    return 0;
}
