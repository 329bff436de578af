#include "TestData.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcddirif.h>

#include <algorithm>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmdata/dcspchrs.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <dcmtk/dcmjpeg/djrploss.h>
#include <dcmtk/oflog/oflog.h>
#include <functional>
#include <random>

#include <openjpeg.h>

#include <QDate>
#include <QDir>

#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTime>
#include <QUuid>
#include <algorithm>
#include <random>

#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace varnelo::testdata {

namespace {

void init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        DJEncoderRegistration::registerCodecs();
        DJDecoderRegistration::registerCodecs();
        DcmRLEEncoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
        OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    });
}

[[noreturn]] void fail(const QString& what, const OFCondition& cond = EC_Normal)
{
    QString text = what;
    if (cond.bad())
        text += QStringLiteral(": ") + QString::fromLocal8Bit(cond.text());
    throw std::runtime_error(text.toStdString());
}

void check(const OFCondition& cond, const QString& what)
{
    if (cond.bad())
        fail(what, cond);
}

QString uid()
{
    const QByteArray b = QUuid::createUuid().toRfc4122();
    unsigned __int128 v = 0;
    for (char c : b)
        v = (v << 8) | static_cast<unsigned char>(c);
    std::string d;
    do {
        d.insert(d.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v);
    return QStringLiteral("2.25.") + QString::fromStdString(d);
}

// `text` in the DICOM character set `charset` (a single value, no code
// extensions), as the bytes a file stores.
QByteArray encodeIn(const QString& text, const QString& charset)
{
    const QString cs = charset.trimmed();
    if (cs.isEmpty() || cs == QLatin1String("ISO_IR 192"))
        return text.toUtf8();
    DcmSpecificCharacterSet converter;
    check(converter.selectCharacterSet("ISO_IR 192", cs.toLatin1().constData()),
          QStringLiteral("No conversion to %1").arg(cs));
    const QByteArray utf8 = text.toUtf8();
    OFString out;
    check(converter.convertString(utf8.constData(), static_cast<size_t>(utf8.size()), out),
          QStringLiteral("\"%1\" has no form in %2").arg(text, cs));
    return QByteArray(out.c_str(), static_cast<qsizetype>(out.length()));
}

OFFilename fileName(const QString& path)
{
    return OFFilename(QFile::encodeName(path).constData());
}

void put(DcmItem& item, const DcmTagKey& key, const QString& value)
{
    check(item.putAndInsertString(key, value.toUtf8().constData()),
          QStringLiteral("put %1").arg(QLatin1String(DcmTag(key).getTagName())));
}

void putQualifiers(DcmItem& item, const IssuerQualifiers& q)
{
    if (q.universalEntityId.isEmpty() && q.universalEntityIdType.isEmpty() && q.identifierTypeCode.isEmpty())
        return;
    auto* qualifiers = new DcmItem();
    if (!q.universalEntityId.isEmpty())
        put(*qualifiers, DCM_UniversalEntityID, q.universalEntityId);
    if (!q.universalEntityIdType.isEmpty())
        put(*qualifiers, DCM_UniversalEntityIDType, q.universalEntityIdType);
    if (!q.identifierTypeCode.isEmpty())
        put(*qualifiers, DCM_IdentifierTypeCode, q.identifierTypeCode);
    check(item.insertSequenceItem(DCM_IssuerOfPatientIDQualifiersSequence, qualifiers), QStringLiteral("qualifiers"));
}

E_TransferSyntax xferOf(Syntax s)
{
    switch (s) {
    case Syntax::ExplicitLittle:
        return EXS_LittleEndianExplicit;
    case Syntax::ImplicitLittle:
        return EXS_LittleEndianImplicit;
    case Syntax::ExplicitBig:
        return EXS_BigEndianExplicit;
    case Syntax::JpegBaseline:
        return EXS_JPEGProcess1;
    case Syntax::JpegLossless:
        return EXS_JPEGProcess14SV1;
    case Syntax::Rle:
        return EXS_RLELossless;
    case Syntax::Jpeg2000:
        return EXS_JPEG2000LosslessOnly;
    case Syntax::Jpeg2000Lossy:
        return EXS_JPEG2000;
    }
    return EXS_LittleEndianExplicit;
}

const char* sopUid(Sop s)
{
    switch (s) {
    case Sop::CT:
        return UID_CTImageStorage;
    case Sop::MR:
        return UID_MRImageStorage;
    case Sop::SecondaryCapture:
        return UID_SecondaryCaptureImageStorage;
    }
    return UID_CTImageStorage;
}

void putTagged(DcmItem& item, Uint16 group, Uint16 element, DcmEVR vr, const QString& value)
{
    check(item.putAndInsertString(DcmTag(group, element, vr), value.toLatin1().constData()),
          QStringLiteral("put (%1,%2)").arg(group, 4, 16, QLatin1Char('0')).arg(element, 4, 16, QLatin1Char('0')));
}

DcmItem* codeItem(const char* value, const char* scheme, const char* meaning)
{
    auto* item = new DcmItem();
    put(*item, DCM_CodeValue, QLatin1String(value));
    put(*item, DCM_CodingSchemeDesignator, QLatin1String(scheme));
    put(*item, DCM_CodeMeaning, QLatin1String(meaning));
    return item;
}

// What a CT scanner writes besides the image itself: the attributes of the
// patient, study, series, frame of reference, equipment, acquisition and
// presentation, referenced images, and two vendors' private groups, about
// 100 attributes in all. Values are typical, not copied from any scanner.
void addClinicalHeader(DcmDataset& ds, const ImageRecipe& recipe)
{
    const int n = recipe.instanceNumber;
    const QString z = QString::number(-120.0 + 0.625 * n, 'f', 3);
    put(ds, DCM_ImageType, QStringLiteral("ORIGINAL\\PRIMARY\\AXIAL\\CT_SOM5 SPI"));
    put(ds, DCM_InstanceCreationDate, QStringLiteral("20240102"));
    put(ds, DCM_InstanceCreationTime, QStringLiteral("101733.412000"));
    put(ds, DCM_InstanceCreatorUID, QStringLiteral("1.3.12.2.1107.5.1.4"));
    put(ds, DCM_SeriesDate, QStringLiteral("20240102"));
    put(ds, DCM_AcquisitionDate, QStringLiteral("20240102"));
    put(ds, DCM_ContentDate, QStringLiteral("20240102"));
    put(ds, DCM_SeriesTime, QStringLiteral("101612.250000"));
    put(ds, DCM_AcquisitionTime, QStringLiteral("101630.%1").arg(n % 1000000, 6, 10, QLatin1Char('0')));
    put(ds, DCM_ContentTime, QStringLiteral("101630.%1").arg(n % 1000000, 6, 10, QLatin1Char('0')));
    put(ds, DCM_TimezoneOffsetFromUTC, QStringLiteral("+0100"));
    put(ds, DCM_ReferringPhysicianName, QStringLiteral("Berger^Klaus^^Dr."));
    put(ds, DCM_InstitutionName, QStringLiteral("Kreiskrankenhaus Nord"));
    put(ds, DCM_InstitutionAddress, QStringLiteral("Hauptstrasse 12, 12345 Musterstadt"));
    put(ds, DCM_StationName, QStringLiteral("CTAWP71234"));
    put(ds, DCM_StudyDescription, QStringLiteral("CT Thorax mit KM"));
    put(ds, DCM_SeriesDescription, QStringLiteral("Thorax 1.0 B31f"));
    put(ds, DCM_InstitutionalDepartmentName, QStringLiteral("Radiologie"));
    put(ds, DCM_PerformingPhysicianName, QStringLiteral("Huber^Eva"));
    put(ds, DCM_NameOfPhysiciansReadingStudy, QStringLiteral("Wagner^Peter"));
    put(ds, DCM_OperatorsName, QStringLiteral("MTRA^Anna"));
    put(ds, DCM_ManufacturerModelName, QStringLiteral("Volume Zoom"));
    put(ds, DCM_DerivationDescription, QString());
    check(ds.insertSequenceItem(DCM_ProcedureCodeSequence, codeItem("CTTHOR", "L", "CT Thorax")), QStringLiteral("procedure"));
    for (int i = 0; i < 2; ++i) {
        auto* ref = new DcmItem();
        put(*ref, DCM_ReferencedSOPClassUID, QLatin1String(UID_CTImageStorage));
        put(*ref, DCM_ReferencedSOPInstanceUID, QStringLiteral("1.3.12.2.1107.5.1.4.51988.30000024010209%1").arg(i + 1));
        check(ds.insertSequenceItem(DCM_ReferencedImageSequence, ref, -2), QStringLiteral("referenced image"));
    }
    put(ds, DCM_PatientAge, QStringLiteral("063Y"));
    put(ds, DCM_PatientSize, QStringLiteral("1.78"));
    put(ds, DCM_PatientWeight, QStringLiteral("82"));
    put(ds, DCM_IssuerOfPatientID, QStringLiteral("KKH-NORD"));
    put(ds, DCM_RETIRED_OtherPatientIDs, QStringLiteral("0815-4711"));
    put(ds, DCM_ContrastBolusAgent, QStringLiteral("Imeron 350"));
    put(ds, DCM_BodyPartExamined, QStringLiteral("CHEST"));
    put(ds, DCM_ScanOptions, QStringLiteral("HELICAL_CT"));
    put(ds, DCM_DataCollectionDiameter, QStringLiteral("500"));
    put(ds, DCM_DeviceSerialNumber, QStringLiteral("51988"));
    put(ds, DCM_SoftwareVersions, QStringLiteral("VA40C"));
    put(ds, DCM_ProtocolName, QStringLiteral("Thorax_KM_1.0"));
    put(ds, DCM_ReconstructionDiameter, QStringLiteral("360"));
    put(ds, DCM_DistanceSourceToDetector, QStringLiteral("1040"));
    put(ds, DCM_DistanceSourceToPatient, QStringLiteral("570"));
    put(ds, DCM_GantryDetectorTilt, QStringLiteral("0"));
    put(ds, DCM_TableHeight, QStringLiteral("155"));
    put(ds, DCM_RotationDirection, QStringLiteral("CW"));
    put(ds, DCM_ExposureTime, QStringLiteral("500"));
    put(ds, DCM_XRayTubeCurrent, QStringLiteral("220"));
    put(ds, DCM_Exposure, QStringLiteral("110"));
    put(ds, DCM_FilterType, QStringLiteral("0"));
    put(ds, DCM_GeneratorPower, QStringLiteral("26"));
    put(ds, DCM_FocalSpots, QStringLiteral("1.2"));
    put(ds, DCM_DateOfLastCalibration, QStringLiteral("20240101"));
    put(ds, DCM_TimeOfLastCalibration, QStringLiteral("071512.000000"));
    put(ds, DCM_ConvolutionKernel, QStringLiteral("B31f"));
    put(ds, DCM_PatientPosition, QStringLiteral("HFS"));
    put(ds, DCM_RevolutionTime, QStringLiteral("0.5"));
    put(ds, DCM_SingleCollimationWidth, QStringLiteral("0.6"));
    put(ds, DCM_TotalCollimationWidth, QStringLiteral("19.2"));
    put(ds, DCM_TableSpeed, QStringLiteral("46"));
    put(ds, DCM_TableFeedPerRotation, QStringLiteral("23"));
    put(ds, DCM_SpiralPitchFactor, QStringLiteral("1.2"));
    put(ds, DCM_CTDIvol, QStringLiteral("7.43"));
    put(ds, DCM_AcquisitionNumber, QStringLiteral("2"));
    put(ds, DCM_PatientOrientation, QStringLiteral("L\\P"));
    put(ds, DCM_ImagePositionPatient, QStringLiteral("-179.648\\-335.648\\%1").arg(z));
    put(ds, DCM_FrameOfReferenceUID, QStringLiteral("1.3.12.2.1107.5.1.4.51988.30000024010208512345600000001"));
    put(ds, DCM_PositionReferenceIndicator, QString());
    put(ds, DCM_SliceLocation, z);
    put(ds, DCM_ImageComments, QStringLiteral("Arterial phase"));
    put(ds, DCM_WindowCenter, QStringLiteral("40\\-600"));
    put(ds, DCM_WindowWidth, QStringLiteral("400\\1200"));
    put(ds, DCM_WindowCenterWidthExplanation, QStringLiteral("WINDOW1\\WINDOW2"));
    put(ds, DCM_RescaleType, QStringLiteral("HU"));
    put(ds, DCM_LossyImageCompression, QStringLiteral("00"));
    put(ds, DCM_RequestingPhysician, QStringLiteral("Berger^Klaus"));
    put(ds, DCM_RequestedProcedureDescription, QStringLiteral("CT Thorax"));
    put(ds, DCM_PerformedProcedureStepStartDate, QStringLiteral("20240102"));
    put(ds, DCM_PerformedProcedureStepStartTime, QStringLiteral("101233.000000"));
    put(ds, DCM_PerformedProcedureStepID, QStringLiteral("PPS-51988-2401"));
    put(ds, DCM_PerformedProcedureStepDescription, QStringLiteral("CT Thorax mit KM"));
    auto* request = new DcmItem();
    put(*request, DCM_RequestedProcedureID, QStringLiteral("RP-4711"));
    put(*request, DCM_ScheduledProcedureStepID, QStringLiteral("SPS-4711"));
    put(*request, DCM_ScheduledProcedureStepDescription, QStringLiteral("CT Thorax"));
    check(ds.insertSequenceItem(DCM_RequestAttributesSequence, request), QStringLiteral("request"));
    check(ds.insertSequenceItem(DCM_AnatomicRegionSequence, codeItem("T-D3000", "SRT", "Chest")), QStringLiteral("region"));

    // Two vendors' private groups: short identifying values and a binary
    // block, as scanners keep their acquisition details.
    putTagged(ds, 0x0009, 0x0010, EVR_LO, QStringLiteral("GEMS_IDEN_01"));
    putTagged(ds, 0x0009, 0x1001, EVR_LO, QStringLiteral("CT_LIGHTSPEED"));
    putTagged(ds, 0x0009, 0x1002, EVR_SH, QStringLiteral("CT01"));
    putTagged(ds, 0x0009, 0x1004, EVR_SH, QStringLiteral("LightSpeed16"));
    putTagged(ds, 0x0019, 0x0010, EVR_LO, QStringLiteral("GEMS_ACQU_01"));
    putTagged(ds, 0x0019, 0x1002, EVR_SL, QStringLiteral("912"));
    putTagged(ds, 0x0019, 0x1003, EVR_DS, QStringLiteral("1.2"));
    putTagged(ds, 0x0019, 0x1011, EVR_SS, QStringLiteral("2"));
    putTagged(ds, 0x0019, 0x1018, EVR_LO, QStringLiteral("09"));
    putTagged(ds, 0x0019, 0x1023, EVR_DS, QStringLiteral("1.375"));
    putTagged(ds, 0x0019, 0x1024, EVR_DS, QStringLiteral("%1").arg(z));
    putTagged(ds, 0x0029, 0x0010, EVR_LO, QStringLiteral("SIEMENS CSA HEADER"));
    putTagged(ds, 0x0029, 0x1008, EVR_CS, QStringLiteral("IMAGE NUM 4"));
    putTagged(ds, 0x0029, 0x1009, EVR_LO, QStringLiteral("20240102"));
    std::vector<Uint8> csa(1536);
    for (size_t i = 0; i < csa.size(); ++i)
        csa[i] = static_cast<Uint8>((i * 31 + static_cast<size_t>(n)) & 0xFF);
    check(ds.putAndInsertUint8Array(DcmTag(0x0029, 0x1010, EVR_OB), csa.data(), static_cast<unsigned long>(csa.size())),
          QStringLiteral("private block"));
    putTagged(ds, 0x0043, 0x0010, EVR_LO, QStringLiteral("GEMS_PARM_01"));
    putTagged(ds, 0x0043, 0x1001, EVR_SS, QStringLiteral("0"));
    putTagged(ds, 0x0043, 0x1002, EVR_SS, QStringLiteral("22"));
    putTagged(ds, 0x0043, 0x1010, EVR_US, QStringLiteral("912"));
    putTagged(ds, 0x0043, 0x1028, EVR_OB, QString());
}

// ---- JPEG 2000 through OpenJPEG ----

struct OutStream {
    std::vector<Uint8> bytes;
    size_t position = 0;
};

OPJ_SIZE_T writeOut(void* buffer, OPJ_SIZE_T count, void* user)
{
    auto* out = static_cast<OutStream*>(user);
    if (out->bytes.size() < out->position + count)
        out->bytes.resize(out->position + count);
    std::memcpy(out->bytes.data() + out->position, buffer, count);
    out->position += count;
    return count;
}

OPJ_OFF_T skipOut(OPJ_OFF_T count, void* user)
{
    auto* out = static_cast<OutStream*>(user);
    out->position += static_cast<size_t>(count);
    if (out->bytes.size() < out->position)
        out->bytes.resize(out->position);
    return count;
}

OPJ_BOOL seekOut(OPJ_OFF_T to, void* user)
{
    static_cast<OutStream*>(user)->position = static_cast<size_t>(to);
    return OPJ_TRUE;
}

// One frame (samples interleaved) as a J2K codestream, with the component
// transform for colour.
std::vector<Uint8> encodeJ2k(const int* values, int rows, int columns, int samples, int precision, bool isSigned,
                             bool lossy)
{
    std::vector<opj_image_cmptparm_t> parameters(static_cast<size_t>(samples));
    for (auto& c : parameters) {
        std::memset(&c, 0, sizeof c);
        c.dx = c.dy = 1;
        c.w = static_cast<OPJ_UINT32>(columns);
        c.h = static_cast<OPJ_UINT32>(rows);
        c.prec = static_cast<OPJ_UINT32>(precision);
        c.sgnd = isSigned ? 1 : 0;
    }
    opj_image_t* image = opj_image_create(static_cast<OPJ_UINT32>(samples), parameters.data(),
                                          samples == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY);
    if (!image)
        fail(QStringLiteral("opj_image_create"));
    image->x1 = static_cast<OPJ_UINT32>(columns);
    image->y1 = static_cast<OPJ_UINT32>(rows);
    const size_t pixels = static_cast<size_t>(rows) * columns;
    for (int c = 0; c < samples; ++c)
        for (size_t p = 0; p < pixels; ++p)
            image->comps[c].data[p] = values[p * samples + c];

    opj_cparameters_t p;
    opj_set_default_encoder_parameters(&p);
    p.tcp_numlayers = 1;
    p.cp_disto_alloc = 1;
    p.tcp_rates[0] = lossy ? 10.0f : 0.0f;
    p.irreversible = lossy ? 1 : 0;
    p.tcp_mct = samples == 3 ? 1 : 0;
    p.numresolution = std::min(6, static_cast<int>(std::log2(std::min(rows, columns))) + 1);
    opj_codec_t* codec = opj_create_compress(OPJ_CODEC_J2K);
    OutStream out;
    opj_stream_t* stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE);
    opj_stream_set_user_data(stream, &out, nullptr);
    opj_stream_set_write_function(stream, writeOut);
    opj_stream_set_skip_function(stream, skipOut);
    opj_stream_set_seek_function(stream, seekOut);
    const bool ok = opj_setup_encoder(codec, &p, image) && opj_start_compress(codec, image, stream) && opj_encode(codec, stream) && opj_end_compress(codec, stream);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    if (!ok)
        fail(QStringLiteral("OpenJPEG could not encode the image"));
    return out.bytes;
}

void appendBox(std::vector<Uint8>& out, const char* type, const std::vector<Uint8>& content)
{
    const Uint32 length = static_cast<Uint32>(content.size() + 8);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<Uint8>(length >> shift));
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), content.begin(), content.end());
}

void appendBig(std::vector<Uint8>& out, Uint32 value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<Uint8>(value >> shift));
}

// A JP2 file around a codestream, with a palette of `channels` columns that
// component 0 indexes, and a mapping of each channel to it.
std::vector<Uint8> jp2WithPalette(const std::vector<Uint8>& code, int rows, int columns, int samples, int channels)
{
    std::vector<Uint8> out;
    appendBox(out, "jP  ", {0x0D, 0x0A, 0x87, 0x0A});
    appendBox(out, "ftyp", {'j', 'p', '2', ' ', 0, 0, 0, 0, 'j', 'p', '2', ' '});
    std::vector<Uint8> header, box;
    appendBig(box, static_cast<Uint32>(rows), 4);
    appendBig(box, static_cast<Uint32>(columns), 4);
    appendBig(box, static_cast<Uint32>(samples), 2);
    box.insert(box.end(), {7, 7, 0, 0});  // 8 bits, JPEG 2000, colour space known, no IPR
    appendBox(header, "ihdr", box);
    appendBox(header, "colr", {1, 0, 0, 0, 0, 0, 16});  // sRGB
    box.clear();
    appendBig(box, 256, 2);
    box.push_back(static_cast<Uint8>(channels));
    for (int c = 0; c < channels; ++c)
        box.push_back(7);
    for (int entry = 0; entry < 256; ++entry)
        for (int c = 0; c < channels; ++c)
            box.push_back(static_cast<Uint8>(entry));
    appendBox(header, "pclr", box);
    box.clear();
    for (int c = 0; c < channels; ++c)
        box.insert(box.end(), {0, 0, 1, static_cast<Uint8>(c)});
    appendBox(header, "cmap", box);
    appendBox(out, "jp2h", header);
    appendBox(out, "jp2c", code);
    return out;
}

// Replaces the uncompressed pixel data by JPEG 2000 codestreams, one per
// frame, each over `fragments` fragments of even length.
void encapsulateJ2k(DcmDataset& ds, const ImageRecipe& recipe, const std::vector<int>& values, int stored, bool lossy)
{
    auto* sequence = new DcmPixelSequence(DCM_PixelSequenceTag);
    sequence->insert(new DcmPixelItem(DcmTag(DCM_Item, EVR_OB)));  // empty offset table
    const size_t frameSamples = static_cast<size_t>(recipe.rows) * recipe.columns * recipe.samplesPerPixel;
    size_t compressed = 0;
    for (int f = 0; f < recipe.frames; ++f) {
        std::vector<Uint8> code = encodeJ2k(values.data() + f * frameSamples, recipe.rows, recipe.columns,
                                            recipe.samplesPerPixel, stored, recipe.signedPixels, lossy);
        if (recipe.jp2PaletteChannels > 0)
            code = jp2WithPalette(code, recipe.rows, recipe.columns, recipe.samplesPerPixel, recipe.jp2PaletteChannels);
        compressed += code.size();
        if (code.size() % 2)
            code.push_back(0);
        const size_t parts = static_cast<size_t>(std::max(1, recipe.fragmentsPerFrame));
        const size_t part = (code.size() / parts) & ~size_t(1);
        for (size_t i = 0, at = 0; i < parts; ++i) {
            const size_t length = i + 1 == parts ? code.size() - at : part;
            auto* item = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
            check(item->putUint8Array(code.data() + at, static_cast<unsigned long>(length)), QStringLiteral("fragment"));
            sequence->insert(item);
            at += length;
        }
    }
    auto* pixelData = new DcmPixelData(DCM_PixelData);
    pixelData->putOriginalRepresentation(lossy ? EXS_JPEG2000 : EXS_JPEG2000LosslessOnly, nullptr, sequence);
    check(ds.insert(pixelData, OFTrue), QStringLiteral("pixel data"));
    if (recipe.samplesPerPixel == 3)
        put(ds, DCM_PhotometricInterpretation, lossy ? QStringLiteral("YBR_ICT") : QStringLiteral("YBR_RCT"));
    if (lossy && recipe.lossyAttributes) {
        const double uncompressed = double(frameSamples) * recipe.frames * (recipe.bitsAllocated / 8);
        put(ds, DCM_LossyImageCompression, QStringLiteral("01"));
        put(ds, DCM_LossyImageCompressionRatio, QString::number(uncompressed / double(compressed), 'f', 1));
        put(ds, DCM_LossyImageCompressionMethod, QStringLiteral("ISO_15444_1"));
    }
}

}  // namespace

QString makeImage(const QString& path, const ImageRecipe& recipe)
{
    init();
    DcmFileFormat file;
    DcmDataset& ds = *file.getDataset();
    const QString instance = recipe.sopInstanceUid.isEmpty() ? uid() : recipe.sopInstanceUid;
    const bool eightBit = recipe.bitsAllocated == 8 || recipe.syntax == Syntax::JpegBaseline;
    const QString modality = recipe.sop == Sop::CT ? QStringLiteral("CT") : recipe.sop == Sop::MR ? QStringLiteral("MR")
                                                                                                  : QStringLiteral("OT");
    put(ds, DCM_SpecificCharacterSet, recipe.characterSet);
    put(ds, DCM_ImageType, QStringLiteral("ORIGINAL\\PRIMARY\\AXIAL"));
    put(ds, DCM_SOPClassUID, QLatin1String(sopUid(recipe.sop)));
    put(ds, DCM_SOPInstanceUID, instance);
    put(ds, DCM_StudyDate, QStringLiteral("20240102"));
    put(ds, DCM_StudyTime, QStringLiteral("101500"));
    put(ds, DCM_AccessionNumber, QStringLiteral("A12345"));
    put(ds, DCM_Modality, modality);
    if (recipe.sop == Sop::SecondaryCapture)
        put(ds, DCM_ConversionType, QStringLiteral("WSD"));
    put(ds, DCM_Manufacturer, QStringLiteral("Varnelo test data"));
    // the names in the character set the image declares
    const QByteArray name = recipe.patientNameBytes.isEmpty() ? recipe.patientName.toLatin1() : recipe.patientNameBytes;
    check(ds.putAndInsertString(DCM_PatientName, name.constData()), QStringLiteral("put"));
    check(ds.putAndInsertString(DCM_PatientID, recipe.patientId.toLatin1().constData()), QStringLiteral("put"));
    if (!recipe.issuerOfPatientId.isEmpty())
        put(ds, DCM_IssuerOfPatientID, recipe.issuerOfPatientId);
    putQualifiers(ds, recipe.issuerQualifiers);
    if (!recipe.studyDescriptionBytes.isEmpty())
        check(ds.putAndInsertString(DCM_StudyDescription, recipe.studyDescriptionBytes.constData()), QStringLiteral("put"));
    if (!recipe.seriesDescriptionBytes.isEmpty())
        check(ds.putAndInsertString(DCM_SeriesDescription, recipe.seriesDescriptionBytes.constData()), QStringLiteral("put"));
    put(ds, DCM_PatientBirthDate, recipe.birthDate);
    put(ds, DCM_PatientSex, recipe.sex);
    if (recipe.withStudyUid)
        put(ds, DCM_StudyInstanceUID, recipe.studyUid.isEmpty() ? uid() : recipe.studyUid);
    if (recipe.withSeriesUid)
        put(ds, DCM_SeriesInstanceUID, recipe.seriesUid.isEmpty() ? uid() : recipe.seriesUid);
    put(ds, DCM_StudyID, QStringLiteral("1"));
    put(ds, DCM_SeriesNumber, QString::number(recipe.seriesNumber));
    put(ds, DCM_InstanceNumber, QString::number(recipe.instanceNumber));
    if (recipe.sop != Sop::SecondaryCapture) {
        put(ds, DCM_ImagePositionPatient, QStringLiteral("0\\0\\%1").arg(recipe.instanceNumber));
        put(ds, DCM_ImageOrientationPatient, QStringLiteral("1\\0\\0\\0\\1\\0"));
        put(ds, DCM_PixelSpacing, QStringLiteral("0.5\\0.5"));
        put(ds, DCM_SliceThickness, QStringLiteral("1"));
    }
    if (recipe.sop == Sop::CT) {
        put(ds, DCM_RescaleIntercept, QStringLiteral("-1024"));
        put(ds, DCM_RescaleSlope, QStringLiteral("1"));
        put(ds, DCM_KVP, QStringLiteral("120"));
    }
    if (recipe.sop == Sop::MR) {
        put(ds, DCM_ScanningSequence, QStringLiteral("SE"));
        put(ds, DCM_SequenceVariant, QStringLiteral("NONE"));
        put(ds, DCM_ScanOptions, QString());
        put(ds, DCM_MRAcquisitionType, QStringLiteral("2D"));
        put(ds, DCM_EchoTime, QStringLiteral("20"));
        put(ds, DCM_RepetitionTime, QStringLiteral("500"));
    }
    if (recipe.clinicalHeader)
        addClinicalHeader(ds, recipe);
    const int samples = recipe.samplesPerPixel;
    check(ds.putAndInsertUint16(DCM_SamplesPerPixel, static_cast<Uint16>(samples)), QStringLiteral("pixel module"));
    put(ds, DCM_PhotometricInterpretation, samples == 3 ? QStringLiteral("RGB") : QStringLiteral("MONOCHROME2"));
    if (samples > 1)
        check(ds.putAndInsertUint16(DCM_PlanarConfiguration, 0), QStringLiteral("planar configuration"));
    if (recipe.frames > 1)
        put(ds, DCM_NumberOfFrames, QString::number(recipe.frames));
    check(ds.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(recipe.rows)), QStringLiteral("rows"));
    check(ds.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(recipe.columns)), QStringLiteral("columns"));
    const Uint16 bits = eightBit ? 8 : 16;
    const Uint16 stored = eightBit ? 8 : 12;
    ds.putAndInsertUint16(DCM_BitsAllocated, bits);
    ds.putAndInsertUint16(DCM_BitsStored, stored);
    ds.putAndInsertUint16(DCM_HighBit, stored - 1);
    ds.putAndInsertUint16(DCM_PixelRepresentation, recipe.signedPixels ? 1 : 0);

    // A smooth pattern with some noise: compresses, but not to nothing.
    // Signed values are centred on 0 and kept sign-extended in their word.
    const size_t count = static_cast<size_t>(recipe.rows) * recipe.columns * recipe.frames * samples;
    auto* rng = QRandomGenerator::global();
    const int mask = (1 << stored) - 1;
    const int centre = recipe.signedPixels ? 1 << (stored - 1) : 0;
    std::vector<int> values(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t c = i % samples, p = i / samples;
        const size_t x = p % recipe.columns, y = (p / recipe.columns) % recipe.rows, f = p / (recipe.columns * recipe.rows);
        values[i] = static_cast<int>((x * 7 + y * 3 + f * 11 + c * 40 + rng->bounded(4)) & mask) - centre;
    }
    if (bits == 8) {
        std::vector<Uint8> data(count);
        for (size_t i = 0; i < count; ++i)
            data[i] = static_cast<Uint8>(values[i]);
        check(ds.putAndInsertUint8Array(DCM_PixelData, data.data(), static_cast<unsigned long>(count)),
              QStringLiteral("pixel data"));
    } else {
        std::vector<Uint16> data(count);
        for (size_t i = 0; i < count; ++i)
            data[i] = static_cast<Uint16>(values[i]);
        check(ds.putAndInsertUint16Array(DCM_PixelData, data.data(), static_cast<unsigned long>(count)),
              QStringLiteral("pixel data"));
    }
    if (!recipe.uncompressedCopy.isEmpty())
        check(file.saveFile(fileName(recipe.uncompressedCopy), EXS_LittleEndianExplicit),
              QStringLiteral("Cannot write %1").arg(recipe.uncompressedCopy));

    const E_TransferSyntax xfer = xferOf(recipe.syntax);
    if (recipe.syntax == Syntax::JpegBaseline) {
        DJ_RPLossy params(90);
        check(ds.chooseRepresentation(xfer, &params), QStringLiteral("JPEG baseline encoding"));
    } else if (recipe.syntax == Syntax::JpegLossless) {
        DJ_RPLossless params;
        check(ds.chooseRepresentation(xfer, &params), QStringLiteral("JPEG lossless encoding"));
    } else if (recipe.syntax == Syntax::Rle) {
        check(ds.chooseRepresentation(xfer, nullptr), QStringLiteral("RLE encoding"));
    } else if (recipe.syntax == Syntax::Jpeg2000 || recipe.syntax == Syntax::Jpeg2000Lossy) {
        encapsulateJ2k(ds, recipe, values, stored, recipe.syntax == Syntax::Jpeg2000Lossy);
    }
    if (recipe.claimedRows)
        ds.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(recipe.claimedRows));
    if (recipe.claimedColumns)
        ds.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(recipe.claimedColumns));
    if (recipe.withMetaHeader) {
        check(file.saveFile(fileName(path), xfer), QStringLiteral("Cannot write %1").arg(path));
    } else {
        check(file.saveFile(fileName(path), xfer, EET_ExplicitLength, EGL_recalcGL, EPD_noChange, 0, 0,
                            EWM_dataset),
              QStringLiteral("Cannot write %1").arg(path));
    }
    return instance;
}

QStringList makeSeries(const QString& folder, int count, ImageRecipe recipe)
{
    QDir().mkpath(folder);
    if (recipe.studyUid.isEmpty())
        recipe.studyUid = uid();
    if (recipe.seriesUid.isEmpty())
        recipe.seriesUid = uid();
    QStringList paths;
    for (int i = 1; i <= count; ++i) {
        recipe.instanceNumber = i;
        recipe.sopInstanceUid.clear();
        const QString path = QDir(folder).filePath(QStringLiteral("IM%1").arg(i, 6, 10, QLatin1Char('0')));
        makeImage(path, recipe);
        paths << path;
    }
    return paths;
}

void makeNonDicom(const QString& path, NonDicom kind)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(QStringLiteral("Cannot write %1").arg(path));
    if (kind == NonDicom::Text) {
        f.write("This CD was burnt on a workstation.\r\nInsert it into a DICOM viewer to see the images.\r\n");
    } else if (kind == NonDicom::RandomBytes) {
        QByteArray bytes(4096, '\0');
        for (char& c : bytes)
            c = static_cast<char>(QRandomGenerator::global()->bounded(256));
        f.write(bytes);
    }
}

namespace {

// Re-encodes a DICOMDIR and fixes the record offsets, which depend on the
// encoding. The offsets are 32-bit values, so patching them does not move
// anything: write, read back to learn the new positions, patch, write again.
struct ItemPosition : DcmItem {
    static offile_off_t of(const DcmItem* item)
    {
        constexpr offile_off_t DcmItem::*pos = &ItemPosition::fStartPosition;
        return item->*pos - 8;  // the tag of the item, where DICOMDIR offsets point
    }
};

// Saves keeping the meta header's SOP class and instance: DCMTK would put a
// generic one in for a data set without SOP Class UID.
void saveDicomDir(DcmFileFormat& file, const QString& path, E_TransferSyntax xfer)
{
    DcmMetaInfo* meta = file.getMetaInfo();
    meta->putAndInsertString(DCM_TransferSyntaxUID, DcmXfer(xfer).getXferID());
    meta->computeGroupLengthAndPadding(EGL_withGL, EPD_noChange, EXS_LittleEndianExplicit);
    check(file.saveFile(fileName(path), xfer, EET_ExplicitLength, EGL_recalcGL, EPD_noChange, 0, 0,
                        EWM_dontUpdateMeta),
          QStringLiteral("Cannot write %1").arg(path));
}

void reencodeDicomDir(const QString& path, E_TransferSyntax xfer)
{
    DcmFileFormat original;
    check(original.loadFile(fileName(path)), QStringLiteral("Cannot read %1").arg(path));
    DcmSequenceOfItems* records = nullptr;
    check(original.getDataset()->findAndGetSequence(DCM_DirectoryRecordSequence, records), QStringLiteral("records"));
    std::map<Uint32, unsigned long> indexByOffset;
    for (unsigned long i = 0; i < records->card(); ++i)
        indexByOffset[static_cast<Uint32>(ItemPosition::of(records->getItem(i)))] = i;

    saveDicomDir(original, path, xfer);
    DcmFileFormat again;
    check(again.loadFile(fileName(path)), QStringLiteral("Cannot read %1").arg(path));
    DcmDataset* ds = again.getDataset();
    DcmSequenceOfItems* newRecords = nullptr;
    check(ds->findAndGetSequence(DCM_DirectoryRecordSequence, newRecords), QStringLiteral("records"));
    auto remap = [&](DcmItem* item, const DcmTagKey& key) {
        Uint32 old = 0;
        if (item->findAndGetUint32(key, old).bad() || old == 0)
            return;
        auto it = indexByOffset.find(old);
        if (it == indexByOffset.end())
            fail(QStringLiteral("DICOMDIR offset %1 points to no record").arg(old));
        // putAndInsertUint32 refuses the "up" VR; the element is there anyway.
        DcmElement* element = nullptr;
        check(item->findAndGetElement(key, element), QStringLiteral("offset"));
        check(element->putUint32(static_cast<Uint32>(ItemPosition::of(newRecords->getItem(it->second)))),
              QStringLiteral("offset"));
    };
    remap(ds, DCM_OffsetOfTheFirstDirectoryRecordOfTheRootDirectoryEntity);
    remap(ds, DCM_OffsetOfTheLastDirectoryRecordOfTheRootDirectoryEntity);
    for (unsigned long i = 0; i < newRecords->card(); ++i) {
        remap(newRecords->getItem(i), DCM_OffsetOfTheNextDirectoryRecord);
        remap(newRecords->getItem(i), DCM_OffsetOfReferencedLowerLevelDirectoryEntity);
    }
    saveDicomDir(again, path, xfer);
}

}  // namespace

void makeDicomDir(const QString& folder, DirEncoding encoding, bool shuffled)
{
    init();
    const QString path = QDir(folder).filePath(QStringLiteral("DICOMDIR"));
    QFile::remove(path);
    DicomDirInterface dir;
    dir.enableInventMode(OFTrue);
    // sample media mix compressed and uncompressed images
    dir.disableTransferSyntaxCheck(OFFalse);
    check(dir.createNewDicomDir(DicomDirInterface::AP_GeneralPurpose, fileName(path), "VARNELO_TEST"),
          QStringLiteral("Cannot create %1").arg(path));
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (QFileInfo(file).fileName() != QLatin1String("DICOMDIR"))
            files << QDir(folder).relativeFilePath(file);
    }
    files.sort();
    for (const QString& rel : files)
        check(dir.addDicomFile(fileName(rel), fileName(folder)), QStringLiteral("Cannot add %1").arg(rel));
    check(dir.writeDicomDir(EET_ExplicitLength), QStringLiteral("Cannot write %1").arg(path));
    if (shuffled) {
        // DCMTK lists a series' images by Instance Number: they change places
        // under each series record afterwards
        DcmDicomDir written(fileName(path));
        check(written.error(), QStringLiteral("Cannot read %1").arg(path));
        std::mt19937 order(20261207);
        std::function<void(DcmDirectoryRecord&)> visit = [&](DcmDirectoryRecord& record) {
            if (record.cardSub() > 1 && record.getSub(0)->getRecordType() == ERT_Image) {
                std::vector<DcmDirectoryRecord*> images;
                while (record.cardSub() > 0)
                    images.push_back(record.removeSub(0ul));
                std::shuffle(images.begin(), images.end(), order);
                for (DcmDirectoryRecord* image : images)
                    record.insertSub(image);
                return;
            }
            for (unsigned long i = 0; i < record.cardSub(); ++i)
                visit(*record.getSub(i));
        };
        visit(written.getRootRecord());
        check(written.write(EXS_LittleEndianExplicit, EET_ExplicitLength), QStringLiteral("Cannot write %1").arg(path));
    }
    if (encoding == DirEncoding::ImplicitLittle)
        reencodeDicomDir(path, EXS_LittleEndianImplicit);
    else if (encoding == DirEncoding::ExplicitBig)
        reencodeDicomDir(path, EXS_BigEndianExplicit);
}

QString makeWorklist(const QString& root, const QString& calledAE, const std::vector<WorklistEntry>& entries)
{
    init();
    const QString folder = QDir(root).filePath(calledAE);
    QDir().mkpath(folder);
    QFile lock(QDir(folder).filePath(QStringLiteral("lockfile")));
    if (!lock.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Cannot write %1").arg(lock.fileName()));
    lock.close();
    int n = 0;
    for (const WorklistEntry& e : entries) {
        DcmFileFormat file;
        DcmDataset& ds = *file.getDataset();
        put(ds, DCM_SpecificCharacterSet, e.characterSet);
        put(ds, DCM_AccessionNumber, e.accessionNumber);
        put(ds, DCM_ReferringPhysicianName, QStringLiteral("Smith^Anna"));
        const QByteArray name =
            e.patientNameBytes.isEmpty() ? encodeIn(e.patientName, e.characterSet) : e.patientNameBytes;
        check(ds.putAndInsertString(DCM_PatientName, name.constData()), QStringLiteral("name"));
        put(ds, DCM_PatientID, e.patientId);
        if (!e.issuerOfPatientId.isEmpty())
            put(ds, DCM_IssuerOfPatientID, e.issuerOfPatientId);
        putQualifiers(ds, e.issuerQualifiers);
        put(ds, DCM_PatientBirthDate, e.birthDate);
        put(ds, DCM_PatientSex, e.sex);
        put(ds, DCM_StudyInstanceUID, uid());
        put(ds, DCM_RequestedProcedureDescription, e.procedureDescription);
        put(ds, DCM_RequestedProcedureID, QStringLiteral("RP%1").arg(++n));
        put(ds, DCM_BodyPartExamined, e.bodyPart);
        if (!e.pregnancyStatus.isEmpty())
            put(ds, DCM_PregnancyStatus, e.pregnancyStatus);
        auto* step = new DcmItem();
        put(*step, DCM_Modality, e.modality);
        put(*step, DCM_ScheduledStationAETitle, e.stationAE);
        put(*step, DCM_ScheduledProcedureStepStartDate,
            e.date.isEmpty() ? QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) : e.date);
        put(*step, DCM_ScheduledProcedureStepStartTime, e.time);
        put(*step, DCM_ScheduledPerformingPhysicianName, QStringLiteral("Miller^Tom"));
        put(*step, DCM_ScheduledProcedureStepDescription, e.procedureDescription);
        put(*step, DCM_ScheduledProcedureStepID, e.stepId);
        check(ds.insertSequenceItem(DCM_ScheduledProcedureStepSequence, step), QStringLiteral("step"));
        const QString path = QDir(folder).filePath(QStringLiteral("%1.wl").arg(n));
        check(file.saveFile(fileName(path), EXS_LittleEndianExplicit), QStringLiteral("Cannot write %1").arg(path));
    }
    return root;
}

std::vector<WorklistEntry> internationalEntries()
{
    struct Name {
        const char* charset;
        const char* reads;  // UTF-8
        QByteArray stored;  // ISO 2022 only
    };
    // The Japanese and Korean names are the examples of the DICOM standard,
    // byte for byte, with their escape sequences.
    const std::vector<Name> names = {
        {"ISO_IR 100", "Müller^Jürgen", {}},
        {"ISO_IR 101", "Dvořák^Antonín", {}},
        {"ISO_IR 144", "Петров^Пётр", {}},
        {"ISO_IR 126", "Παπαδόπουλος^Δημήτρης", {}},
        {"ISO_IR 127", "قباني^لنزار", {}},
        {"ISO_IR 138", "שרון^דבורה", {}},
        {"ISO_IR 148", "Öztürk^Şükrü", {}},
        {"ISO_IR 192", "Wang^XiaoDong=王^小東", {}},
        {"GB18030", "Wang^XiaoDong=王^小东", {}},
        {"\\ISO 2022 IR 87", "Yamada^Tarou=山田^太郎=やまだ^たろう",
         QByteArray("Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B")},
        {"ISO 2022 IR 13\\ISO 2022 IR 87", "ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう",
         QByteArray("\xd4\xcf\xc0\xde^\xc0\xdb\xb3=\x1b$B;3ED\x1b(J^\x1b$BB@O:\x1b(J=\x1b$B$d$^$@\x1b(J^"
                    "\x1b$B$?$m$&\x1b(J")},
        {"\\ISO 2022 IR 149", "Hong^Gildong=洪^吉洞=홍^길동",
         QByteArray("Hong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7=\x1b$)C\xc8\xab^\x1b$)C\xb1\xe6\xb5\xbf")},
    };
    std::vector<WorklistEntry> entries;
    int n = 0;
    for (const Name& name : names) {
        WorklistEntry e;
        ++n;
        e.characterSet = QLatin1String(name.charset);
        e.patientName = QString::fromUtf8(name.reads);
        e.patientNameBytes = name.stored;
        e.patientId = QStringLiteral("CS%1").arg(n, 2, 10, QLatin1Char('0'));
        e.accessionNumber = QStringLiteral("ACC-CS%1").arg(n, 2, 10, QLatin1Char('0'));
        e.stepId = QStringLiteral("SPS-CS%1").arg(n, 2, 10, QLatin1Char('0'));
        e.time = QTime(7 + n / 2, n % 2 ? 0 : 30).toString(QStringLiteral("hhmmss"));
        entries.push_back(e);
    }
    return entries;
}

namespace {

void collect(DcmItem& item, const std::string& prefix, std::map<std::string, std::string>& out)
{
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* e = item.getElement(i);
        const DcmTagKey key = e->getTag();
        char tag[16];
        std::snprintf(tag, sizeof tag, "(%04X,%04X)", key.getGroup(), key.getElement());
        const std::string name = prefix + tag;
        if (e->ident() == EVR_SQ) {
            auto* seq = static_cast<DcmSequenceOfItems*>(e);
            out[name] = "SQ " + std::to_string(seq->card());
            for (unsigned long j = 0; j < seq->card(); ++j)
                collect(*seq->getItem(j), name + "[" + std::to_string(j) + "]", out);
        } else if (key == DCM_PixelData) {
            Uint8* bytes = nullptr;
            const Uint32 length = e->getLength();
            if (e->getUint8Array(bytes).good() && bytes)
                out[name] = std::string(reinterpret_cast<char*>(bytes), length);
            else
                out[name] = "<unreadable pixel data>";
        } else {
            OFString value;
            e->getOFStringArray(value);
            out[name] = value.c_str();
        }
    }
}

}  // namespace

std::map<std::string, std::string> contentOf(const QString& path, bool asStored)
{
    init();
    DcmFileFormat file;
    check(file.loadFile(fileName(path)), QStringLiteral("Cannot read %1").arg(path));
    DcmDataset* ds = file.getDataset();
    if (asStored && DcmXfer(ds->getOriginalXfer()).isEncapsulated()) {
        DcmElement* element = nullptr;
        DcmPixelSequence* sequence = nullptr;
        std::string fragments;
        if (ds->findAndGetElement(DCM_PixelData, element).good() && static_cast<DcmPixelData*>(element)->getEncapsulatedRepresentation(ds->getOriginalXfer(), nullptr, sequence).good()) {
            for (unsigned long i = 0; i < sequence->card(); ++i) {
                DcmPixelItem* item = nullptr;
                Uint8* bytes = nullptr;
                check(sequence->getItem(item, i), QStringLiteral("fragment"));
                fragments += std::to_string(item->getLength()) + ":";
                if (item->getLength() && item->getUint8Array(bytes).good())
                    fragments.append(reinterpret_cast<char*>(bytes), item->getLength());
            }
            delete ds->remove(DCM_PixelData);
        }
        std::map<std::string, std::string> out;
        collect(*ds, "", out);
        out["(7FE0,0010)"] = fragments;
        return out;
    }
    if (DcmXfer(ds->getOriginalXfer()).isEncapsulated())
        check(ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr), QStringLiteral("Cannot decode %1").arg(path));
    // In memory the values are in the host byte order, so big endian files
    // compare equal to little endian ones.
    std::map<std::string, std::string> out;
    collect(*ds, "", out);
    return out;
}

QString transferSyntaxOf(const QString& path)
{
    init();
    DcmFileFormat file;
    check(file.loadFile(fileName(path)), QStringLiteral("Cannot read %1").arg(path));
    return QLatin1String(DcmXfer(file.getDataset()->getOriginalXfer()).getXferID());
}

}  // namespace varnelo::testdata
