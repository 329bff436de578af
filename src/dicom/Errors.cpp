#include "dicom/DicomPrivate.h"
#include "dicom/Jpeg2000.h"

#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/oflog.h>

#include <QStringDecoder>

#include <mutex>

namespace varnelo::dicomimpl {

void ensureInitialised()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Decoders, so that a compressed image can be sent to a peer that
        // takes only uncompressed data.
        DJDecoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
        registerJpeg2000Decoder();

        // An element stored as UN whose tag the dictionary knows is read as
        // what it is: a UID in UN must not read as its bytes in hex.
        dcmEnableUnknownVRConversion.set(OFTrue);
        // The meta information ends where group 0002 ends, whatever its
        // group length claims: a length too long would pull the data set's
        // first elements (its character set, say) out of the image.
        dcmIgnoreFileMetaInformationGroupLength.set(OFTrue);
        // Failures reach the caller as errors; DCMTK's own chatter on stderr
        // would only duplicate them.
        OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    });
}

QString conditionText(const OFCondition& cond)
{
    QString text = QString::fromLocal8Bit(cond.text());
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text.simplified();
}

void fail(std::int32_t number, const QString& description)
{
    throw Error(number, description);
}

QString decodeText(const char* data, size_t length)
{
    if (!data || length == 0)
        return QString();
    QByteArrayView bytes(data, static_cast<qsizetype>(length));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

QByteArray encodeText(const QString& text, const DcmItem* owner)
{
    OFString charset;
    if (owner && const_cast<DcmItem*>(owner)->findAndGetOFStringArray(DCM_SpecificCharacterSet, charset).good() && charset.find("192") != OFString_npos)
        return text.toUtf8();
    // Plain ASCII is the same either way; anything else goes as Latin-1, the
    // repertoire most archives assume when no character set is given.
    bool latin1 = true;
    for (QChar c : text)
        if (c.unicode() > 0xFF) {
            latin1 = false;
            break;
        }
    return latin1 ? text.toLatin1() : text.toUtf8();
}

std::uint16_t checkedPort(std::int32_t port)
{
    if (port < 1 || port > 65535)
        fail(DicomErrc::InvalidPort,
             QStringLiteral("The port %1 is not a valid TCP port (1 to 65535).").arg(port));
    return static_cast<std::uint16_t>(port);
}

QString describeTag(const DcmTagKey& key)
{
    return QStringLiteral("(%1,%2)")
        .arg(key.getGroup(), 4, 16, QLatin1Char('0'))
        .arg(key.getElement(), 4, 16, QLatin1Char('0'))
        .toUpper();
}

}  // namespace varnelo::dicomimpl
