#pragma once

// Entry points for the fuzz targets and the tests into readers that are
// otherwise reached only through a file and a peer. Each returns "" when
// all went as it should, else what went wrong; none may crash on any input.

#include <QByteArray>
#include <QString>

namespace varnelo::dicomimpl {

// Decodes `codestream` (a bare JPEG 2000 codestream or a JP2 file) as the
// pixel data of an image of this geometry, each of its frames the same
// codestream, through the codec that sends such images to peers that take
// only uncompressed data. A refusal with a reason is fine; a decoded image
// of any size but the declared one is not.
QString decodeJpeg2000Probe(const QByteArray& codestream, int rows, int columns, int samples, int bitsAllocated,
                            int frames);

// Converts `value` from the character set `charset` as worklist answers are
// converted. Fails when the result is not valid UTF-8, or when a value in
// the ISO 2022 Japanese sets is read otherwise than the C library's iconv
// reads it, line by line.
QString characterSetProbe(const QByteArray& charset, const QByteArray& value);

}  // namespace varnelo::dicomimpl
