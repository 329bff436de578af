#pragma once

// JPEG 2000 decoding through OpenJPEG, registered with DCMTK as a codec like
// its own JPEG, JPEG-LS and RLE decoders: chooseRepresentation() can then
// turn a JPEG 2000 image into uncompressed pixels for a peer that takes
// nothing else.

namespace varnelo::dicomimpl {

// Once per process; ensureInitialised() calls it.
void registerJpeg2000Decoder();

}  // namespace varnelo::dicomimpl
