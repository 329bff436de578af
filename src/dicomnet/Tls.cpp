#include "dicomnet/Tls.h"

#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmtls/tlscond.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <dcmtk/dcmtls/tlstrans.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/socket.h>
#include <sys/time.h>

#include <mutex>

namespace varnelo::dicomimpl {

namespace {

// What the last handshake came to, for the message when it failed.
struct Handshake {
    bool started = false;
    bool finished = false;
    bool timedOut = false;
    long verifyResult = X509_V_OK;
    QString peerSubject;
    QString alert;  // the last alert the peer sent
};

int handshakeIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

void noteAlert(const SSL* ssl, int where, int value)
{
    if (!(where & SSL_CB_ALERT) || !(where & SSL_CB_READ))
        return;
    if (auto* handshake = static_cast<Handshake*>(SSL_get_ex_data(ssl, handshakeIndex())))
        handshake->alert = QString::fromLatin1(SSL_alert_desc_string_long(value));
}

void setReceiveTimeout(int fd, int seconds)
{
    timeval tv {};
    tv.tv_sec = seconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

QString subjectOf(X509* cert)
{
    if (!cert)
        return QString();
    char buffer[512];
    X509_NAME_oneline(X509_get_subject_name(cert), buffer, sizeof buffer);
    return QString::fromUtf8(buffer);
}

class Connection : public DcmTLSConnection {
public:
    Connection(DcmNativeSocketType socket, SSL* ssl, Handshake& handshake)
        : DcmTLSConnection(socket, ssl)
        , ssl_(ssl)
        , handshake_(handshake)
    {
    }

    OFCondition clientSideHandshake() override
    {
        handshake_ = Handshake {};
        handshake_.started = true;
        // The handshake reads block on the socket. A peer that takes the
        // connection and says nothing gets as long as for an association
        // request, not the toolkit's longer receive timeout.
        setReceiveTimeout(getSocket(), DicomTimeouts::AcseSeconds);
        const OFCondition cond = DcmTLSConnection::clientSideHandshake();
        setReceiveTimeout(getSocket(), dcmSocketReceiveTimeout.get());
        handshake_.finished = cond.good();
        handshake_.timedOut = cond == DCMTLS_EC_TLSReadOperationDidNotComplete;
        handshake_.verifyResult = SSL_get_verify_result(ssl_);
        // After a failed check the peer's certificate is only in the chain it sent.
        if (handshake_.verifyResult != X509_V_OK) {
            STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl_);
            if (chain && sk_X509_num(chain) > 0)
                handshake_.peerSubject = subjectOf(sk_X509_value(chain, 0));
        }
        return cond;
    }

private:
    SSL* ssl_;  // owned by DcmTLSConnection
    Handshake& handshake_;
};

class Layer : public DcmTLSTransportLayer {
public:
    explicit Layer(T_ASC_NetworkRole role)
        : DcmTLSTransportLayer(role, nullptr, OFFalse)
    {
    }

    // As the toolkit's own, with our connection, which records the handshake.
    DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool secure) override
    {
        if (!secure)
            return DcmTLSTransportLayer::createConnection(socket, secure);
        SSL* ssl = SSL_new(getNativeHandle());
        if (!ssl)
            return nullptr;
        SSL_set_fd(ssl, socket);
        SSL_set_ex_data(ssl, handshakeIndex(), &handshake);
        SSL_set_info_callback(ssl, noteAlert);
        return new Connection(socket, ssl, handshake);
    }

    Handshake handshake;
};

// An encrypted key would make OpenSSL ask for its password on the terminal.
int noPassword(char*, int, int, void*)
{
    return 0;
}

QString quoted(const QString& path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

[[noreturn]] void unusable(const QString& text)
{
    fail(DicomErrc::TlsFileUnusable, text);
}

// Names the key and file when the file cannot be opened; the content of a
// file never goes into a message.
void requireReadableFile(const char* key, const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir())
        unusable(QStringLiteral("[TLS] %1 %2 is a folder, not a file.").arg(QLatin1String(key), quoted(path)));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        unusable(QStringLiteral("[TLS] %1 %2 cannot be read: %3.").arg(QLatin1String(key), quoted(path), file.errorString()));
}

}  // namespace

struct TlsTransport::Impl {
    explicit Impl(T_ASC_NetworkRole role)
        : layer(role)
    {
    }
    DcmTls settings;
    Layer layer;
};

namespace {
std::once_flag openSslOnce;
}

TlsTransport::TlsTransport(const DcmTls& settings, bool acceptor)
    : impl_((std::call_once(openSslOnce, [] { DcmTLSTransportLayer::initializeOpenSSL(); }),
             std::make_unique<Impl>(acceptor ? NET_ACCEPTOR : NET_REQUESTOR)))
{
    impl_->settings = settings;
    Layer& layer = impl_->layer;
    if (!layer)
        fail(DicomErrc::NetworkFailure, QStringLiteral("The TLS library could not be set up."));
    SSL_CTX_set_default_passwd_cb(layer.getNativeHandle(), noPassword);

    // Without trusted CAs any certificate would do; there is no such mode.
    const QString trusted = settings.TrustedCertificates.trimmed();
    if (trusted.isEmpty())
        unusable(QStringLiteral("TLS is on, but [TLS] TrustedCertificates is not set: name the PEM file (or folder) "
                                "with the certificate of the CA that issued the peer's certificate."));
    const QFileInfo trustedInfo(trusted);
    if (trustedInfo.isDir()) {
        int loaded = 0;
        const QFileInfoList files = QDir(trusted).entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo& file : files)
            if (layer.addTrustedCertificateFile(QFile::encodeName(file.filePath()).constData(), DCF_Filetype_PEM).good())
                ++loaded;
        if (loaded == 0)
            unusable(QStringLiteral("[TLS] TrustedCertificates: the folder %1 holds no PEM certificate.").arg(quoted(trusted)));
    } else {
        requireReadableFile("TrustedCertificates", trusted);
        const OFCondition cond = layer.addTrustedCertificateFile(QFile::encodeName(trusted).constData(), DCF_Filetype_PEM);
        if (cond.bad())
            unusable(QStringLiteral("[TLS] TrustedCertificates %1 holds no PEM certificate (%2).")
                         .arg(quoted(trusted), conditionText(cond)));
    }

    const QString certificate = settings.Certificate.trimmed();
    const QString key = settings.PrivateKey.trimmed();
    if (acceptor && certificate.isEmpty())
        unusable(QStringLiteral("TLS is on, but [TLS] Certificate and PrivateKey are not set: the port on which the "
                                "PACS reports its storage commitment needs this station's certificate."));
    if (certificate.isEmpty() != key.isEmpty())
        unusable(QStringLiteral("[TLS] Certificate and PrivateKey go together: set both (this station's certificate "
                                "and its key) or neither."));
    if (!certificate.isEmpty()) {
        // The key first: OpenSSL refuses a key that does not match a loaded
        // certificate with a message about the key alone.
        requireReadableFile("PrivateKey", key);
        OFCondition cond = layer.setPrivateKeyFile(QFile::encodeName(key).constData(), DCF_Filetype_PEM);
        if (cond.bad())
            unusable(QStringLiteral("[TLS] PrivateKey %1 is not a PEM private key without a password (%2).")
                         .arg(quoted(key), conditionText(cond)));
        requireReadableFile("Certificate", certificate);
        cond = layer.setCertificateFile(QFile::encodeName(certificate).constData(), DCF_Filetype_PEM);
        if (cond.bad())
            unusable(QStringLiteral("[TLS] Certificate %1 is not a PEM certificate (%2).")
                         .arg(quoted(certificate), conditionText(cond)));
        if (!layer.checkPrivateKeyMatchesCertificate())
            unusable(QStringLiteral("[TLS] PrivateKey %1 is not the key of [TLS] Certificate %2.")
                         .arg(quoted(key), quoted(certificate)));
    }

    // TLS 1.2 and later with the cipher suites of BCP 195.
    OFCondition cond = layer.setTLSProfile(TSP_Profile_BCP195);
    if (cond.good())
        cond = layer.activateCipherSuites();
    if (cond.bad())
        fail(DicomErrc::NetworkFailure, QStringLiteral("The TLS profile could not be set up (%1).").arg(conditionText(cond)));
    layer.setCertificateVerification(DCV_requireCertificate);
}

TlsTransport::~TlsTransport() = default;

void TlsTransport::attach(T_ASC_Network* net, T_ASC_Parameters* params)
{
    ASC_setTransportLayer(net, &impl_->layer, 0);
    ASC_setTransportLayerType(params, OFTrue);
}

void TlsTransport::attachAcceptor(T_ASC_Network* net)
{
    ASC_setTransportLayer(net, &impl_->layer, 0);
}

std::optional<Error> TlsTransport::failure(const OFCondition& cond, const QString& peer) const
{
    const Handshake& h = impl_->layer.handshake;
    const DcmTls& s = impl_->settings;
    if (!h.started)
        return std::nullopt;  // no connection, nothing of TLS to explain
    if (h.verifyResult != X509_V_OK)
        return Error(DicomErrc::PeerNotTrusted,
                     QStringLiteral("The certificate of %1%2 is not trusted: %3. Check that [TLS] TrustedCertificates %4 "
                                    "holds the certificate of the CA that issued it.")
                         .arg(peer,
                              h.peerSubject.isEmpty() ? QString() : QStringLiteral(", %1,").arg(h.peerSubject),
                              QString::fromLatin1(X509_verify_cert_error_string(h.verifyResult)),
                              quoted(s.TrustedCertificates.trimmed())));
    const QString ownCertificate = s.Certificate.trimmed().isEmpty()
        ? QStringLiteral("this station sends none, as [TLS] Certificate is not set")
        : QStringLiteral("[TLS] Certificate %1").arg(quoted(s.Certificate.trimmed()));
    if (!h.finished) {
        if (h.timedOut)
            return Error(DicomErrc::TlsHandshakeFailed,
                         QStringLiteral("%1 did not answer the TLS handshake within %2 seconds. Check that the peer has "
                                        "DICOM over TLS on at this port.")
                             .arg(peer)
                             .arg(DicomTimeouts::AcseSeconds));
        if (!h.alert.isEmpty())
            return Error(DicomErrc::TlsHandshakeFailed,
                         QStringLiteral("%1 refused the TLS handshake (%2). Check that the peer takes TLS 1.2 or later "
                                        "and this station's certificate (%3).")
                             .arg(peer, h.alert, ownCertificate));
        return Error(DicomErrc::TlsHandshakeFailed,
                     QStringLiteral("The TLS handshake with %1 failed (%2). Check that the peer has DICOM over TLS on at "
                                    "this port: a peer without TLS ends the connection at once.")
                         .arg(peer, conditionText(cond)));
    }
    // With TLS 1.3 the peer checks this station's certificate after the
    // handshake and then ends the connection.
    if (!h.alert.isEmpty() || networkErrorNumber(cond) == DicomErrc::ConnectionLost)
        return Error(DicomErrc::TlsHandshakeFailed,
                     QStringLiteral("%1 ended the connection right after the TLS handshake (%2). It may not accept this "
                                    "station's certificate (%3): check that the peer trusts the CA that issued it.")
                         .arg(peer, h.alert.isEmpty() ? conditionText(cond) : h.alert, ownCertificate));
    return std::nullopt;
}

}  // namespace varnelo::dicomimpl
