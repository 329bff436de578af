// Loads one file into a DcmImageList and reads and changes what the transfer
// reads and changes. Only the layer's own errors may come out.
#include "Scratch.h"

#include "dicom/Dicom.h"

#include <cstddef>
#include <cstdint>

using namespace varnelo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString path = fuzz::writeInput(QStringLiteral("image.dcm"), data, size);
    DcmImageList list;
    try {
        list.LoadFile(path);
    } catch (const Error&) {
        return 0;
    }
    try {
        DcmImage image = list.ItemAt(1);
        (void)image.CheckValueA();
        (void)image.CheckValueB();
        const QString id = image.PatientID();
        if (image.StudyInstanceUID().isEmpty())
            image.setStudyInstanceUID(QStringLiteral("2.25.1"));
        if (image.SeriesInstanceUID().isEmpty())
            image.setSeriesInstanceUID(QStringLiteral("2.25.2"));
        image.setPatientID(id + QStringLiteral(" \u00e9X"));
        (void)image.PatientID();
    } catch (const Error&) {
    }
    list.Clear();
    return 0;
}
