#include "dicom/DicomPrivate.h"

#include <QUuid>

#include <dcmtk/dcmdata/dcuid.h>
#include <openjpeg.h>

#include <algorithm>
#include <cstring>

using namespace varnelo::dicomimpl;

namespace varnelo {

void DcmUtility::Prepare()
{
    ensureInitialised();
    (void)dcmDataDict.isDictionaryLoaded();  // loads it on first use
}

QString DcmUtility::NewUID()
{
    // A version 4 UUID read as one 128-bit number (ISO/IEC 9834-8).
    const QByteArray bytes = QUuid::createUuid().toRfc4122();
    unsigned __int128 value = 0;
    for (char b : bytes)
        value = (value << 8) | static_cast<unsigned char>(b);
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    std::reverse(digits.begin(), digits.end());
    return QStringLiteral("2.25.") + QString::fromLatin1(digits.c_str());
}

QString DcmUtility::DcmtkVersion()
{
    return QString::fromLatin1(OFFIS_DCMTK_VERSION_STRING);
}

QString DcmUtility::OpenJpegVersion()
{
    // the library in use, which may be newer than the headers
    return QString::fromLatin1(opj_version());
}

}  // namespace varnelo
