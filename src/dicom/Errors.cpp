#include "dicom/DicomPrivate.h"
#include "dicom/Jpeg2000.h"

#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/oflog/oflog.h>

#include <QStringDecoder>

#include <csignal>
#include <cstdlib>
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

        dcmConnectionTimeout.set(DicomTimeouts::ConnectSeconds);
        // A reverse lookup of the peer can stall for the resolver's timeout.
        dcmDisableGethostbyaddr.set(OFTrue);
        // DCMTK 3.6.7 has no switch for Nagle's algorithm other than this
        // variable, read when each connection is set up. With Nagle on, every
        // C-STORE waits for the peer's delayed ACK (40 ms or more on loopback).
        ::setenv("TCP_NODELAY", "1", 1);
        // A peer that vanishes mid-write must give an error, not end the process.
        std::signal(SIGPIPE, SIG_IGN);
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

std::int32_t networkErrorNumber(const OFCondition& cond)
{
    if (cond.module() != OFM_dcmnet)
        return DicomErrc::NetworkFailure;
    switch (cond.code()) {
    case DULC_UNKNOWNHOST:
        return DicomErrc::HostNotFound;
    case DULC_TCPINITERROR:  // refused, unreachable, or the connect bound ran out
        return DicomErrc::CannotConnect;
    case DULC_ASSOCIATIONREJECTED:
        return DicomErrc::AssociationRejected;
    case DULC_READTIMEOUT:
        return DicomErrc::Timeout;
    case DULC_PEERABORTEDASSOCIATION:
    case DULC_NETWORKCLOSED:
    case DULC_PEERREQUESTEDRELEASE:
    case DULC_TCPIOERROR:
        return DicomErrc::ConnectionLost;
    default:
        break;
    }
    if (cond == DIMSE_NODATAAVAILABLE)
        return DicomErrc::Timeout;
    if (cond == DIMSE_SENDFAILED || cond == DIMSE_RECEIVEFAILED || cond == DIMSE_READPDVFAILED)
        return DicomErrc::ConnectionLost;
    return DicomErrc::NetworkFailure;
}

void throwCondition(const OFCondition& cond, const QString& context)
{
    const std::int32_t number = networkErrorNumber(cond);
    QString why = conditionText(cond);
    switch (number) {
    case DicomErrc::Timeout:
        why = QStringLiteral("no answer within the time limit (%1)").arg(why);
        break;
    case DicomErrc::ConnectionLost:
        why = QStringLiteral("the connection was lost (%1)").arg(why);
        break;
    case DicomErrc::HostNotFound:
        why = QStringLiteral("the host name is unknown (%1)").arg(why);
        break;
    default:
        break;
    }
    fail(number, context + QLatin1String(": ") + why);
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
