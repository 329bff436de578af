#include "dicomnet/Conformance.h"

#include "base/Version.h"
#include "dicomnet/NetworkPrivate.h"

namespace varnelo::conformance {

namespace {

// Made once from a random UUID; it names this program, not one copy of it.
constexpr const char* kImplementationClassUid = "2.25.103426997162661121742945270853546001079";

}  // namespace

QString implementationClassUid()
{
    return QLatin1String(kImplementationClassUid);
}

QString implementationVersionName()
{
    // A version too long for the 16 characters keeps its first parts.
    return (QStringLiteral("VARNELO_") + QLatin1String(VARNELO_VERSION_STRING)).left(16);
}

const std::vector<NamedUid>& uncompressedSyntaxes()
{
    static const std::vector<NamedUid> all = {
        {UID_LittleEndianExplicitTransferSyntax, "Explicit VR Little Endian"},
        {UID_LittleEndianImplicitTransferSyntax, "Implicit VR Little Endian"},
        {UID_BigEndianExplicitTransferSyntax, "Explicit VR Big Endian"},
    };
    return all;
}

const std::vector<NamedUid>& littleEndianSyntaxes()
{
    static const std::vector<NamedUid> all = {uncompressedSyntaxes()[0], uncompressedSyntaxes()[1]};
    return all;
}

const std::vector<NamedUid>& decodedSyntaxes()
{
    static const std::vector<NamedUid> all = {
        {UID_JPEGProcess1TransferSyntax, "JPEG Baseline (Process 1)"},
        {UID_JPEGProcess2_4TransferSyntax, "JPEG Extended (Process 2 & 4)"},
        {UID_JPEGProcess14TransferSyntax, "JPEG Lossless, Non-Hierarchical (Process 14)"},
        {UID_JPEGProcess14SV1TransferSyntax, "JPEG Lossless, First-Order Prediction (Process 14, SV1)"},
        {UID_JPEGLSLosslessTransferSyntax, "JPEG-LS Lossless"},
        {UID_JPEGLSLossyTransferSyntax, "JPEG-LS Near-Lossless"},
        {UID_JPEG2000LosslessOnlyTransferSyntax, "JPEG 2000 (Lossless Only)"},
        {UID_JPEG2000TransferSyntax, "JPEG 2000"},
        {UID_RLELosslessTransferSyntax, "RLE Lossless"},
    };
    return all;
}

const std::vector<StorageClass>& storageClasses()
{
    // The kinds of image found on patient discs, most common first: the
    // connection test names the first modalities a PACS takes.
    static const std::vector<StorageClass> all = {
        {UID_CTImageStorage, "CT"},
        {UID_EnhancedCTImageStorage, "CT"},
        {UID_MRImageStorage, "MR"},
        {UID_EnhancedMRImageStorage, "MR"},
        {UID_UltrasoundImageStorage, "US"},
        {UID_UltrasoundMultiframeImageStorage, "US"},
        {UID_ComputedRadiographyImageStorage, "CR"},
        {UID_DigitalXRayImageStorageForPresentation, "DX"},
        {UID_DigitalXRayImageStorageForProcessing, "DX"},
        {UID_DigitalMammographyXRayImageStorageForPresentation, "MG"},
        {UID_DigitalMammographyXRayImageStorageForProcessing, "MG"},
        {UID_BreastTomosynthesisImageStorage, "MG"},
        {UID_DigitalIntraOralXRayImageStorageForPresentation, "IO"},
        {UID_NuclearMedicineImageStorage, "NM"},
        {UID_PositronEmissionTomographyImageStorage, "PT"},
        {UID_EnhancedPETImageStorage, "PT"},
        {UID_XRayAngiographicImageStorage, "XA"},
        {UID_EnhancedXAImageStorage, "XA"},
        {UID_XRay3DAngiographicImageStorage, "XA"},
        {UID_XRayRadiofluoroscopicImageStorage, "RF"},
        {UID_RTImageStorage, "RT"},
        {UID_RTDoseStorage, "RT"},
        {UID_RTStructureSetStorage, "RT"},
        {UID_RTPlanStorage, "RT"},
        {UID_SecondaryCaptureImageStorage, "SC"},
        {UID_MultiframeSingleBitSecondaryCaptureImageStorage, "SC"},
        {UID_MultiframeGrayscaleByteSecondaryCaptureImageStorage, "SC"},
        {UID_MultiframeGrayscaleWordSecondaryCaptureImageStorage, "SC"},
        {UID_MultiframeTrueColorSecondaryCaptureImageStorage, "SC"},
        {UID_VLEndoscopicImageStorage, "ES"},
        {UID_VLPhotographicImageStorage, "XC"},
        {UID_VLMicroscopicImageStorage, "GM"},
        {UID_OphthalmicPhotography8BitImageStorage, "OP"},
        {UID_EncapsulatedPDFStorage, "DOC"},
        {UID_BasicTextSRStorage, "SR"},
        {UID_EnhancedSRStorage, "SR"},
        {UID_ComprehensiveSRStorage, "SR"},
        {UID_XRayRadiationDoseSRStorage, "SR"},
        {UID_KeyObjectSelectionDocumentStorage, "KO"},
        {UID_GrayscaleSoftcopyPresentationStateStorage, "PR"},
        {UID_SegmentationStorage, "SEG"},
    };
    return all;
}

const std::vector<Proposal>& proposals()
{
    static const std::vector<Proposal> all = {
        {UID_VerificationSOPClass, littleEndianSyntaxes(), false, Echo | ConnectionTest},
        {nullptr, uncompressedSyntaxes(), true, Store | ConnectionTest},
        {UID_StorageCommitmentPushModelSOPClass, littleEndianSyntaxes(), false, Commit | ConnectionTest},
        {UID_FINDStudyRootQueryRetrieveInformationModel, littleEndianSyntaxes(), false,
         Commit | CommitQuery | StudyQuery | ConnectionTest},
        {UID_FINDModalityWorklistInformationModel, uncompressedSyntaxes(), false, Worklist},
    };
    return all;
}

const Proposal& commitPortContext()
{
    static const Proposal accepted {UID_StorageCommitmentPushModelSOPClass, littleEndianSyntaxes(), false, 0};
    return accepted;
}

std::vector<Context> contextsFor(Use use)
{
    auto syntaxes = [](const std::vector<NamedUid>& list) {
        QStringList uids;
        for (const NamedUid& ts : list)
            uids << QLatin1String(ts.uid);
        return uids;
    };
    std::vector<Context> contexts;
    for (const Proposal& p : proposals()) {
        if (!(p.uses & use))
            continue;
        if (p.abstractSyntax) {
            contexts.push_back({QLatin1String(p.abstractSyntax), syntaxes(p.transferSyntaxes)});
            continue;
        }
        for (const StorageClass& c : storageClasses())
            contexts.push_back({QLatin1String(c.uid), syntaxes(p.transferSyntaxes)});
    }
    return contexts;
}

const std::vector<QueryKey>& commitQueryKeys()
{
    static const std::vector<QueryKey> keys = {
        {0x0008, 0x0052, "IMAGE"},  // Query/Retrieve Level
        {0x0020, 0x000D, nullptr},  // Study Instance UID: the study's
        {0x0020, 0x000E, ""},
        {0x0008, 0x0018, ""},
        {0x0008, 0x0016, ""},
    };
    return keys;
}

QString uidName(const QString& uid)
{
    const char* name = dcmFindNameOfUID(uid.toLatin1().constData(), nullptr);
    return name ? QLatin1String(name) : QString();
}

QString tagName(std::uint16_t group, std::uint16_t element)
{
    DcmTag tag(group, element);
    const char* name = tag.getTagName();
    return name && std::string(name) != DcmTag_ERROR_TagName ? QLatin1String(name) : QString();
}

}  // namespace varnelo::conformance
