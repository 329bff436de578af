#include "dicom/Jpeg2000.h"

#include "dicom/DicomPrivate.h"
#include "dicom/Probes.h"

#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcswap.h>
#include <dcmtk/dcmdata/dcvrpobw.h>

#include <openjpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace varnelo::dicomimpl {

namespace {

// dcmdata's own codes end well below this one.
constexpr unsigned short DecodeFailedCode = 0x0F20;

// What a codestream may decode to: any image up to kAnySizeUpTo bytes, a
// larger one only at no more than kMostRatio times its compressed size. A
// header alone can claim gigabytes from a few kilobytes; real images, even
// lossy ones, stay far below this ratio, and a blank image that does not is
// small enough for the floor.
constexpr double kAnySizeUpTo = 64.0 * 1024 * 1024;
constexpr double kMostRatio = 1000.0;

bool plausibleSize(double decodedBytes, double compressedBytes)
{
    return decodedBytes <= std::max(kAnySizeUpTo, compressedBytes * kMostRatio);
}

std::string megabytes(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.0f MB", bytes / (1024.0 * 1024.0));
    return text;
}

OFCondition failure(const std::string& text)
{
    return OFCondition(OFM_dcmdata, DecodeFailedCode, OF_error, text.c_str());
}

// The Image Pixel module as far as the decoder needs it.
struct Geometry {
    Uint16 rows = 0;
    Uint16 columns = 0;
    Uint16 samples = 0;
    Uint16 bitsAllocated = 0;
    Uint32 frames = 1;
    OFString photometric;

    size_t bytesPerSample() const { return bitsAllocated / 8; }
    size_t frameBytes() const { return size_t(rows) * columns * samples * bytesPerSample(); }
};

OFCondition readGeometry(DcmItem* item, Geometry& g)
{
    if (item->findAndGetUint16(DCM_Rows, g.rows).bad() || item->findAndGetUint16(DCM_Columns, g.columns).bad() || item->findAndGetUint16(DCM_SamplesPerPixel, g.samples).bad() || item->findAndGetUint16(DCM_BitsAllocated, g.bitsAllocated).bad())
        return failure("the image lacks Rows, Columns, Samples per Pixel or Bits Allocated");
    Sint32 frames = 1;
    if (item->findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1)
        frames = 1;
    g.frames = static_cast<Uint32>(frames);
    item->findAndGetOFString(DCM_PhotometricInterpretation, g.photometric);
    if (g.rows == 0 || g.columns == 0)
        return failure("the image has no rows or no columns");
    if (g.samples != 1 && g.samples != 3)
        return failure("Samples per Pixel is " + std::to_string(g.samples) + "; 1 or 3 can be decoded");
    if (g.bitsAllocated != 8 && g.bitsAllocated != 16)
        return failure("Bits Allocated is " + std::to_string(g.bitsAllocated) + "; 8 or 16 can be decoded");
    // The uncompressed value's length is a 32-bit field.
    if (double(g.frameBytes()) * g.frames > 0xFFFFFFF0u)
        return failure("the decoded image would exceed 4 GB");
    return EC_Normal;
}

// What decoding makes of the Photometric Interpretation: OpenJPEG undoes the
// component transform, and the samples come out at full size.
OFString decodedPhotometric(const OFString& stored)
{
    if (stored == "YBR_ICT" || stored == "YBR_RCT")
        return "RGB";
    if (stored == "YBR_FULL_422")
        return "YBR_FULL";
    return stored;
}

// ---- the fragments of each frame ------------------------------------------

struct Span {
    const Uint8* data = nullptr;
    size_t length = 0;
};

std::vector<Span> fragmentsOf(DcmPixelSequence* sequence, OFCondition& cond)
{
    std::vector<Span> out;
    const unsigned long n = sequence ? sequence->card() : 0;
    for (unsigned long i = 1; i < n; ++i) {  // item 0 is the offset table
        DcmPixelItem* item = nullptr;
        Uint8* bytes = nullptr;
        if (sequence->getItem(item, i).bad() || !item) {
            cond = failure("fragment " + std::to_string(i) + " cannot be read");
            return {};
        }
        const Uint32 length = item->getLength();
        if (length > 0 && (item->getUint8Array(bytes).bad() || !bytes)) {
            cond = failure("fragment " + std::to_string(i) + " cannot be read");
            return {};
        }
        out.push_back({bytes, length});
    }
    cond = EC_Normal;
    return out;
}

std::vector<Uint32> offsetTable(DcmPixelSequence* sequence)
{
    std::vector<Uint32> offsets;
    DcmPixelItem* table = nullptr;
    Uint8* bytes = nullptr;
    if (!sequence || sequence->getItem(table, 0).bad() || !table || table->getLength() < 4 || table->getUint8Array(bytes).bad() || !bytes)
        return offsets;
    for (Uint32 at = 0; at + 4 <= table->getLength(); at += 4)
        offsets.push_back(Uint32(bytes[at]) | Uint32(bytes[at + 1]) << 8 | Uint32(bytes[at + 2]) << 16 | Uint32(bytes[at + 3]) << 24);
    return offsets;
}

// A codestream ends with EOC (FF D9), perhaps followed by one byte of padding.
bool endsCodestream(const Span& s)
{
    const Uint8* d = s.data;
    const size_t n = s.length;
    return (n >= 2 && d[n - 2] == 0xFF && d[n - 1] == 0xD9) || (n >= 3 && d[n - 3] == 0xFF && d[n - 2] == 0xD9 && d[n - 1] == 0x00);
}

// Groups the fragments by frame: one each when the counts agree, else by the
// offset table, else by where each codestream ends.
std::vector<std::vector<Span>> framesOf(DcmPixelSequence* sequence, Uint32 frames, OFCondition& cond)
{
    const std::vector<Span> fragments = fragmentsOf(sequence, cond);
    if (cond.bad())
        return {};
    std::vector<std::vector<Span>> out;
    if (frames == 1) {
        out.push_back(fragments);
    } else if (fragments.size() == frames) {
        for (const Span& f : fragments)
            out.push_back({f});
    } else if (const std::vector<Uint32> offsets = offsetTable(sequence); offsets.size() == frames) {
        Uint32 position = 0;
        size_t frame = 0;
        out.resize(frames);
        for (const Span& f : fragments) {
            while (frame + 1 < frames && position >= offsets[frame + 1])
                ++frame;
            out[frame].push_back(f);
            position += 8 + static_cast<Uint32>(f.length);
        }
    } else {
        std::vector<Span> current;
        for (const Span& f : fragments) {
            current.push_back(f);
            if (endsCodestream(f)) {
                out.push_back(std::move(current));
                current.clear();
            }
        }
        if (!current.empty())
            out.push_back(std::move(current));
    }
    if (out.size() != frames || std::any_of(out.begin(), out.end(), [](const auto& f) { return f.empty(); })) {
        cond = failure("the pixel data holds " + std::to_string(fragments.size()) + " fragments for " + std::to_string(frames) + " frames, and they cannot be assigned to the frames");
        return {};
    }
    cond = EC_Normal;
    return out;
}

// ---- OpenJPEG --------------------------------------------------------------

struct MemoryStream {
    const Uint8* data;
    OPJ_SIZE_T size;
    OPJ_SIZE_T position;
};

OPJ_SIZE_T readStream(void* buffer, OPJ_SIZE_T count, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    if (s->position >= s->size)
        return static_cast<OPJ_SIZE_T>(-1);
    const OPJ_SIZE_T n = std::min(count, s->size - s->position);
    std::memcpy(buffer, s->data + s->position, n);
    s->position += n;
    return n;
}

OPJ_OFF_T skipStream(OPJ_OFF_T count, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    if (count < 0)
        return -1;
    const OPJ_SIZE_T n = std::min(static_cast<OPJ_SIZE_T>(count), s->size - s->position);
    s->position += n;
    return static_cast<OPJ_OFF_T>(n);
}

OPJ_BOOL seekStream(OPJ_OFF_T to, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    if (to < 0 || static_cast<OPJ_SIZE_T>(to) > s->size)
        return OPJ_FALSE;
    s->position = static_cast<OPJ_SIZE_T>(to);
    return OPJ_TRUE;
}

void keepMessage(const char* message, void* user)
{
    auto* text = static_cast<std::string*>(user);
    if (text->empty() && message) {
        *text = message;
        while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
            text->pop_back();
    }
}

void ignoreMessage(const char*, void*) {}

struct CodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

struct FrameInfo {
    bool reversible = true;  // 5-3 wavelet in every component
};

// Whether OpenJPEG's image is what the data set says: as many components as
// samples, each of the image's size, not subsampled, with samples that fit.
OFCondition matchesGeometry(const opj_image_t& image, const Geometry& g)
{
    if (image.numcomps != g.samples || !image.comps)
        return failure("it has " + std::to_string(image.numcomps) + " components, the image " + std::to_string(g.samples) + " samples per pixel");
    for (OPJ_UINT32 c = 0; c < image.numcomps; ++c) {
        const opj_image_comp_t& comp = image.comps[c];
        if (comp.w != g.columns || comp.h != g.rows || comp.dx != 1 || comp.dy != 1)
            return failure("component " + std::to_string(c) + " is " + std::to_string(comp.w) + " x " + std::to_string(comp.h) + ", the image " + std::to_string(g.columns) + " x " + std::to_string(g.rows));
        if (comp.prec < 1 || comp.prec > g.bitsAllocated)
            return failure("its samples have " + std::to_string(comp.prec) + " bits, and " + std::to_string(g.bitsAllocated) + " are allocated");
    }
    return EC_Normal;
}

// Decodes one codestream into `out` (frameBytes of g, samples interleaved,
// in the local byte order for 16 bits). With `out` null, only its header is
// read and checked against g.
OFCondition decodeCodestream(const Uint8* data, size_t length, const Geometry& g, Uint8* out, FrameInfo& info)
{
    if (length < 12)
        return failure("the codestream is only " + std::to_string(length) + " bytes long");
    OPJ_CODEC_FORMAT format;
    if (data[0] == 0xFF && data[1] == 0x4F && data[2] == 0xFF && data[3] == 0x51)
        format = OPJ_CODEC_J2K;
    else if (std::memcmp(data + 4, "jP  ", 4) == 0)
        format = OPJ_CODEC_JP2;  // a JP2 file where a bare codestream belongs; seen in the wild
    else
        return failure("it does not start with a JPEG 2000 codestream");

    std::unique_ptr<opj_codec_t, CodecDeleter> codec(opj_create_decompress(format));
    if (!codec)
        return failure("OpenJPEG cannot create a decoder");
    std::string error;
    opj_set_error_handler(codec.get(), keepMessage, &error);
    opj_set_warning_handler(codec.get(), ignoreMessage, nullptr);
    opj_set_info_handler(codec.get(), ignoreMessage, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(codec.get(), &parameters))
        return failure("OpenJPEG cannot set up its decoder");
    if (opj_has_thread_support())
        opj_codec_set_threads(codec.get(), std::min(opj_get_num_cpus(), 4));

    MemoryStream source {data, length, 0};
    std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
    if (!stream)
        return failure("OpenJPEG cannot create a stream");
    opj_stream_set_user_data(stream.get(), &source, nullptr);
    opj_stream_set_user_data_length(stream.get(), length);
    opj_stream_set_read_function(stream.get(), readStream);
    opj_stream_set_skip_function(stream.get(), skipStream);
    opj_stream_set_seek_function(stream.get(), seekStream);

    auto why = [&error](const char* step) {
        return failure(std::string(step) + (error.empty() ? std::string() : " (" + error + ")"));
    };
    opj_image_t* raw = nullptr;
    if (!opj_read_header(stream.get(), codec.get(), &raw))
        return why("its header cannot be read");
    std::unique_ptr<opj_image_t, ImageDeleter> image(raw);
    // Checked before decoding: a damaged header may claim an image of any size.
    OFCondition cond = matchesGeometry(*image, g);
    if (cond.bad() || !out)
        return cond;
    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get()))
        return why("its codestream is damaged");
    // And again after: a JP2 palette or component mapping changes the
    // number of components, and their size, while decoding.
    cond = matchesGeometry(*image, g);
    if (cond.bad())
        return failure("once decoded, " + std::string(cond.text()));
    for (OPJ_UINT32 c = 0; c < image->numcomps; ++c)
        if (!image->comps[c].data)
            return failure("OpenJPEG returned no samples");

    if (opj_codestream_info_v2_t* cstr = opj_get_cstr_info(codec.get())) {
        const opj_tile_info_v2_t& tile = cstr->m_default_tile_info;
        for (OPJ_UINT32 c = 0; tile.tccp_info && c < cstr->nbcomps; ++c)
            if (tile.tccp_info[c].qmfbid != 1)
                info.reversible = false;
        opj_destroy_cstr_info(&cstr);
    }

    const size_t pixels = size_t(g.rows) * g.columns;
    const size_t samples = g.samples;
    for (size_t c = 0; c < samples; ++c) {
        const OPJ_INT32* in = image->comps[c].data;
        // Two's complement of the sample's width: signed values keep their sign
        // bits above the stored ones, as uncompressed signed data has them.
        if (g.bitsAllocated == 8) {
            Uint8* o = out + c;
            for (size_t p = 0; p < pixels; ++p, o += samples)
                *o = static_cast<Uint8>(in[p]);
        } else {
            Uint16* o = reinterpret_cast<Uint16*>(out) + c;
            for (size_t p = 0; p < pixels; ++p, o += samples)
                *o = static_cast<Uint16>(in[p]);
        }
    }
    return EC_Normal;
}

// One frame from its fragments, joined when there are several.
OFCondition decodeFrameSpans(const std::vector<Span>& spans, const Geometry& g, Uint32 frame, Uint8* out,
                             FrameInfo& info, size_t& compressedBytes)
{
    std::vector<Uint8> joined;
    const Uint8* data = spans.front().data;
    size_t length = spans.front().length;
    if (spans.size() > 1) {
        for (const Span& s : spans)
            joined.insert(joined.end(), s.data, s.data + s.length);
        data = joined.data();
        length = joined.size();
    }
    compressedBytes += length;
    if (!plausibleSize(double(g.frameBytes()), double(length)))
        return failure("JPEG 2000 frame " + std::to_string(frame + 1) + " claims " + megabytes(double(g.frameBytes())) + " decoded from " + std::to_string(length) + " bytes; it is taken for damaged");
    OFCondition cond = decodeCodestream(data, length, g, out, info);
    if (cond.bad())
        return failure("JPEG 2000 frame " + std::to_string(frame + 1) + " of " + std::to_string(g.frames) + " cannot be decoded: " + cond.text());
    return EC_Normal;
}

// The attributes that decoding changes. The lossy marks go on the data set
// itself only, not on an icon image inside it.
OFCondition updateAttributes(DcmItem* item, const Geometry& g, bool lossySyntax, bool reversible,
                             double ratio)
{
    OFCondition cond = EC_Normal;
    const OFString photometric = decodedPhotometric(g.photometric);
    if (photometric != g.photometric)
        cond = item->putAndInsertString(DCM_PhotometricInterpretation, photometric.c_str());
    if (cond.good() && g.samples > 1)
        cond = item->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    if (cond.bad() || item->ident() != EVR_dataset)
        return cond;

    OFString mark;
    item->findAndGetOFString(DCM_LossyImageCompression, mark);
    // A codestream under the lossy syntax counts as lossy unless the file says
    // otherwise and the wavelet says it could be true.
    const bool lossy = mark == "01" || (lossySyntax && !(mark == "00" && reversible));
    if (!lossy)
        return cond;
    cond = item->putAndInsertString(DCM_LossyImageCompression, "01");
    const bool hasRatio = item->tagExistsWithValue(DCM_LossyImageCompressionRatio);
    const bool hasMethod = item->tagExistsWithValue(DCM_LossyImageCompressionMethod);
    // Ratio and method pair up value by value: add them only together.
    if (cond.good() && !hasRatio && !hasMethod) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", ratio);
        cond = item->putAndInsertString(DCM_LossyImageCompressionRatio, text);
        if (cond.good())
            cond = item->putAndInsertString(DCM_LossyImageCompressionMethod, "ISO_15444_1");
    }
    return cond;
}

// ---- the codec -------------------------------------------------------------

class Jpeg2000Parameter : public DcmCodecParameter {
public:
    DcmCodecParameter* clone() const override { return new Jpeg2000Parameter(*this); }
    const char* className() const override { return "Jpeg2000Parameter"; }
};

// One instance per transfer syntax, so that decode() knows which it reads.
class Jpeg2000Decoder : public DcmCodec {
public:
    explicit Jpeg2000Decoder(E_TransferSyntax syntax)
        : syntax_(syntax)
    {
    }

    OFCondition decode(const DcmRepresentationParameter*, DcmPixelSequence* pixSeq,
                       DcmPolymorphOBOW& uncompressedPixelData, const DcmCodecParameter*, const DcmStack& objStack,
                       OFBool& removeOldRep) const override
    {
        removeOldRep = OFFalse;
        DcmStack stack(objStack);
        stack.pop();  // the pixel data element
        DcmObject* owner = stack.top();
        if (!owner || (owner->ident() != EVR_dataset && owner->ident() != EVR_item))
            return failure("the JPEG 2000 pixel data is not part of a data set");
        auto* item = static_cast<DcmItem*>(owner);
        Geometry g;
        OFCondition cond = readGeometry(item, g);
        if (cond.bad())
            return cond;
        const auto frames = framesOf(pixSeq, g.frames, cond);
        if (cond.bad())
            return cond;

        const size_t total = g.frameBytes() * g.frames;
        // Every frame's header first, and the size its data can hold, before
        // a byte is allocated for what the header claims.
        double compressedTotal = 0;
        for (const auto& spans : frames)
            for (const Span& span : spans)
                compressedTotal += double(span.length);
        if (!plausibleSize(double(total), compressedTotal))
            return failure("the image claims " + std::to_string(g.columns) + " x " + std::to_string(g.rows) + " x " + std::to_string(g.samples) + " samples in " + std::to_string(g.frames) + " frame(s), " + megabytes(double(total)) + " decoded, from " + std::to_string(size_t(compressedTotal)) + " bytes of JPEG 2000 data; it is taken for damaged");
        {
            FrameInfo probe;
            size_t probed = 0;
            for (Uint32 f = 0; f < g.frames; ++f) {
                cond = decodeFrameSpans(frames[f], g, f, nullptr, probe, probed);
                if (cond.bad())
                    return cond;
            }
        }
        Uint8* out = nullptr;
        if (g.bitsAllocated == 8) {
            cond = uncompressedPixelData.createUint8Array(static_cast<Uint32>(total + (total & 1)), out);
        } else {
            Uint16* words = nullptr;
            cond = uncompressedPixelData.createUint16Array(static_cast<Uint32>(total / 2), words);
            out = reinterpret_cast<Uint8*>(words);
        }
        if (cond.bad() || !out)
            return failure("no memory for the decoded image");

        FrameInfo info;
        size_t compressed = 0;
        for (Uint32 f = 0; f < g.frames; ++f) {
            cond = decodeFrameSpans(frames[f], g, f, out + f * g.frameBytes(), info, compressed);
            if (cond.bad())
                return cond;
        }
        const double ratio = compressed ? double(total) / double(compressed) : 1.0;
        return updateAttributes(item, g, syntax_ == EXS_JPEG2000, info.reversible, ratio);
    }

    OFCondition decodeFrame(const DcmRepresentationParameter*, DcmPixelSequence* fromPixSeq, const DcmCodecParameter*,
                            DcmItem* dataset, Uint32 frameNo, Uint32& startFragment, void* buffer, Uint32 bufSize,
                            OFString& decompressedColorModel) const override
    {
        if (!dataset || !buffer)
            return EC_IllegalParameter;
        Geometry g;
        OFCondition cond = readGeometry(dataset, g);
        if (cond.bad())
            return cond;
        if (frameNo >= g.frames)
            return failure("frame " + std::to_string(frameNo + 1) + " does not exist");
        if (bufSize < g.frameBytes())
            return EC_IllegalCall;
        const auto frames = framesOf(fromPixSeq, g.frames, cond);
        if (cond.bad())
            return cond;
        FrameInfo info;
        size_t compressed = 0;
        cond = decodeFrameSpans(frames[frameNo], g, frameNo, static_cast<Uint8*>(buffer), info, compressed);
        if (cond.bad())
            return cond;
        // item 0 is the offset table
        startFragment = 1;
        for (Uint32 f = 0; f <= frameNo; ++f)
            startFragment += static_cast<Uint32>(frames[f].size());
        decompressedColorModel = decodedPhotometric(g.photometric);
        return EC_Normal;
    }

    OFCondition encode(const Uint16*, const Uint32, const DcmRepresentationParameter*, DcmPixelSequence*&,
                       const DcmCodecParameter*, DcmStack&, OFBool&) const override
    {
        return EC_IllegalCall;
    }

    OFCondition encode(const E_TransferSyntax, const DcmRepresentationParameter*, DcmPixelSequence*,
                       const DcmRepresentationParameter*, DcmPixelSequence*&, const DcmCodecParameter*, DcmStack&,
                       OFBool&) const override
    {
        return EC_IllegalCall;
    }

    OFBool canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const override
    {
        return oldRepType == syntax_ && DcmXfer(newRepType).isNotEncapsulated();
    }

    OFCondition determineDecompressedColorModel(const DcmRepresentationParameter*, DcmPixelSequence*,
                                                const DcmCodecParameter*, DcmItem* dataset,
                                                OFString& decompressedColorModel) const override
    {
        if (!dataset)
            return EC_IllegalParameter;
        OFString stored;
        OFCondition cond = dataset->findAndGetOFString(DCM_PhotometricInterpretation, stored);
        if (cond.good())
            decompressedColorModel = decodedPhotometric(stored);
        return cond;
    }

private:
    E_TransferSyntax syntax_;
};

}  // namespace

void registerJpeg2000Decoder()
{
    // Registered for the life of the process, as DCMTK's own decoders are.
    static const Jpeg2000Parameter parameter;
    static const Jpeg2000Decoder lossless(EXS_JPEG2000LosslessOnly);
    static const Jpeg2000Decoder lossy(EXS_JPEG2000);
    DcmCodecList::registerCodec(&lossless, nullptr, &parameter);
    DcmCodecList::registerCodec(&lossy, nullptr, &parameter);
}

QString decodeJpeg2000Probe(const QByteArray& codestream, int rows, int columns, int samples, int bitsAllocated,
                            int frames)
{
    ensureInitialised();
    ::DcmDataset ds;
    ds.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(rows));
    ds.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(columns));
    ds.putAndInsertUint16(DCM_SamplesPerPixel, static_cast<Uint16>(samples));
    ds.putAndInsertUint16(DCM_BitsAllocated, static_cast<Uint16>(bitsAllocated));
    ds.putAndInsertUint16(DCM_BitsStored, static_cast<Uint16>(bitsAllocated));
    ds.putAndInsertUint16(DCM_HighBit, static_cast<Uint16>(bitsAllocated > 0 ? bitsAllocated - 1 : 0));
    ds.putAndInsertUint16(DCM_PixelRepresentation, 0);
    ds.putAndInsertString(DCM_PhotometricInterpretation, samples == 3 ? "YBR_RCT" : "MONOCHROME2");
    ds.putAndInsertString(DCM_NumberOfFrames, std::to_string(frames).c_str());
    auto* sequence = new DcmPixelSequence(DCM_PixelSequenceTag);
    sequence->insert(new DcmPixelItem(DcmTag(DCM_Item, EVR_OB)));
    QByteArray even = codestream;
    if (even.size() % 2)
        even.append('\0');
    for (int f = 0; f < frames; ++f) {
        auto* item = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
        item->putUint8Array(reinterpret_cast<const Uint8*>(even.constData()), static_cast<unsigned long>(even.size()));
        sequence->insert(item);
    }
    auto* pixelData = new DcmPixelData(DCM_PixelData);
    pixelData->putOriginalRepresentation(EXS_JPEG2000LosslessOnly, nullptr, sequence);
    ds.insert(pixelData, OFTrue);
    OFCondition cond = ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
    if (cond.bad())
        return QString();  // refused, with its reason
    DcmElement* decoded = nullptr;
    if (ds.findAndGetElement(DCM_PixelData, decoded).bad() || !decoded)
        return QStringLiteral("decoded without pixel data");
    const double expected = double(rows) * columns * samples * (bitsAllocated / 8) * frames;
    const double length = decoded->getLength();
    if (length != expected && length != expected + 1)
        return QStringLiteral("decoded %1 bytes for an image of %2").arg(length).arg(expected);
    return QString();
}

}  // namespace varnelo::dicomimpl
