// The JPEG 2000 decoder behind the conversion for peers that take only
// uncompressed images. The first 8 bytes give the geometry the data set
// claims (rows, columns, samples, bits, frames: any values, huge ones
// too); the rest is the codestream or JP2 file.
#include "dicom/Probes.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 8)
        return 0;
    const int rows = data[0] | (data[1] << 8);
    const int columns = data[2] | (data[3] << 8);
    const int samples = data[4] % 4;                                // 1 and 3 decode; 0 and 2 are refused
    const int bits = (data[5] % 3 == 0) ? 8 : (data[5] % 3 == 1) ? 16 : data[5];
    const int frames = 1 + data[6] % 3;
    const QByteArray codestream(reinterpret_cast<const char*>(data + 8), static_cast<qsizetype>(size - 8));
    const QString why = varnelo::dicomimpl::decodeJpeg2000Probe(codestream, rows, columns, samples, bits, frames);
    if (!why.isEmpty()) {
        std::fprintf(stderr, "JPEG 2000: %s\n", qPrintable(why));
        std::abort();
    }
    return 0;
}
