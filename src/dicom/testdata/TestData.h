#pragma once

// Makes DICOM test data with DCMTK for the tests, benchmarks and demos: images
// of chosen SOP classes and transfer syntaxes, non-DICOM files, DICOMDIRs and
// worklist entries for wlmscpfs. Failures throw std::runtime_error.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <string>
#include <vector>

namespace varnelo::testdata {

enum class Sop { CT,
                 MR,
                 SecondaryCapture };

enum class Syntax {
    ExplicitLittle,
    ImplicitLittle,
    ExplicitBig,
    JpegBaseline,  // lossy, 8-bit
    JpegLossless,
    Rle,
    Jpeg2000,       // lossless (1.2.840.10008.1.2.4.90), reversible wavelet, OpenJPEG
    Jpeg2000Lossy,  // 1.2.840.10008.1.2.4.91, irreversible wavelet at about 10:1
};

// One item of Issuer of Patient ID Qualifiers Sequence (0010,0024), left
// out when all three are empty.
struct IssuerQualifiers {
    QString universalEntityId;      // (0040,0032)
    QString universalEntityIdType;  // (0040,0033)
    QString identifierTypeCode;     // (0040,0035)
};

struct ImageRecipe {
    Sop sop = Sop::CT;
    Syntax syntax = Syntax::ExplicitLittle;
    int rows = 140;  // 140 x 140 x 16 bit: a file of about 40 KB
    int columns = 140;
    int frames = 1;
    int bitsAllocated = 16;   // JPEG baseline always uses 8
    int samplesPerPixel = 1;  // 3: RGB (YBR_RCT or YBR_ICT under JPEG 2000)
    bool signedPixels = false;
    // JPEG 2000: each frame's codestream split over this many fragments.
    int fragmentsPerFrame = 1;
    // Lossy JPEG 2000: writes Lossy Image Compression with its ratio and method.
    bool lossyAttributes = true;
    // JPEG 2000: each codestream wrapped in a JP2 file whose palette (pclr)
    // and component mapping (cmap) turn it into this many channels; 0 keeps
    // the bare codestream.
    int jp2PaletteChannels = 0;
    // Rows and Columns as the data set states them, when not the real ones (0).
    int claimedRows = 0;
    int claimedColumns = 0;
    // When set, the same image is also written here uncompressed (Explicit
    // VR Little Endian), as it was before compression.
    QString uncompressedCopy;
    QString characterSet = QStringLiteral("ISO_IR 100");  // (0008,0005) as written; the names stay Latin-1
    QString patientName = QStringLiteral("Doe^John");
    QString patientId = QStringLiteral("PID0001");
    QString birthDate = QStringLiteral("19600515");
    QString sex = QStringLiteral("M");
    QString issuerOfPatientId;  // (0010,0021), left out when empty
    IssuerQualifiers issuerQualifiers;
    // The name and a Study Description (0008,1030) as stored, for character
    // sets with code extensions (ISO 2022); the description is left out when empty.
    QByteArray patientNameBytes;
    QByteArray studyDescriptionBytes;
    QByteArray seriesDescriptionBytes;  // (0008,103E), left out when empty
    int seriesNumber = 1;
    bool withStudyUid = true;
    bool withSeriesUid = true;
    QString studyUid;        // made up when empty
    QString seriesUid;       // made up when empty
    QString sopInstanceUid;  // made up when empty
    int instanceNumber = 1;
    bool withMetaHeader = true;
    // The header of a CT as scanners write it (about 100 attributes: patient,
    // study, series, equipment, image plane and pixel modules, acquisition
    // details, a few sequences and private groups) instead of the bare minimum.
    bool clinicalHeader = false;
};

// Writes one image; returns its SOP Instance UID.
QString makeImage(const QString& path, const ImageRecipe& recipe);

// `count` images of one series, named IM000001, IM000002, ... in `folder`.
QStringList makeSeries(const QString& folder, int count, ImageRecipe recipe);

enum class NonDicom { Text,
                      RandomBytes,
                      Empty };
void makeNonDicom(const QString& path, NonDicom kind);

enum class DirEncoding { ExplicitLittle,
                         ImplicitLittle,
                         ExplicitBig };
// A DICOMDIR named DICOMDIR in `folder` over every DICOM file below it. The
// file names must follow the media rules (up to 8 upper-case letters, digits
// or underscores per component). With `shuffled`, the image records follow
// no order of the files (a fixed permutation), as some mastering tools list them.
void makeDicomDir(const QString& folder, DirEncoding encoding = DirEncoding::ExplicitLittle, bool shuffled = false);

struct WorklistEntry {
    QString patientName = QStringLiteral("Doe^Jane");
    QString patientId = QStringLiteral("WL0001");
    QString birthDate = QStringLiteral("19700101");
    QString sex = QStringLiteral("F");
    QString issuerOfPatientId;  // (0010,0021), left out when empty
    IssuerQualifiers issuerQualifiers;
    QString accessionNumber = QStringLiteral("ACC0001");
    QString modality = QStringLiteral("CT");
    QString stationAE = QStringLiteral("VARNELO");
    QString date;  // yyyyMMdd; today when empty
    QString time = QStringLiteral("083000");
    QString bodyPart = QStringLiteral("CHEST");
    QString stepId = QStringLiteral("SPS0001");
    QString procedureDescription = QStringLiteral("CT Chest");
    QString pregnancyStatus;  // (0010,21C0), left out when empty
    // (0008,0005) of the entry; the texts are stored in it.
    QString characterSet = QStringLiteral("ISO_IR 100");
    // The name as stored, for character sets with code extensions (ISO 2022),
    // which cannot be made by conversion; patientName then says how it reads.
    QByteArray patientNameBytes;
};

// One entry for each character set that worklist names come in (Latin-1,
// Latin-2, Cyrillic, Greek, Arabic, Hebrew, Latin-5, UTF-8, GB18030, the
// ISO 2022 sets for Japanese and Korean), with patient IDs CS01, CS02, ... in
// that order and patientName as the name must read.
std::vector<WorklistEntry> internationalEntries();

// Prepares `root`/`calledAE` for wlmscpfs (with its lock file) and writes the
// entries as 1.wl, 2.wl, ... Returns the folder to pass as -dfp (`root`).
QString makeWorklist(const QString& root, const QString& calledAE, const std::vector<WorklistEntry>& entries);

// The data set of a file as tag -> value text, pixel data as uncompressed
// bytes, so that files in different transfer syntaxes compare equal when
// their content is. File meta information is left out. JPEG 2000 is not
// decoded here (the tests compare with the uncompressed copy): asStored
// gives encapsulated pixel data as its fragments, each after its length.
std::map<std::string, std::string> contentOf(const QString& path, bool asStored = false);

// The transfer syntax UID a file is stored in.
QString transferSyntaxOf(const QString& path);

}  // namespace varnelo::testdata
