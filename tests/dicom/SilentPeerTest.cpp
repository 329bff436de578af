// A peer that takes the TCP connection and then never says a word: every
// call must give up after the ACSE bound, not hang.

#include "dicom/Dicom.h"
#include "dicomnet/Network.h"
#include "support/Peers.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

using namespace varnelo;

TEST(SilentPeer, ProbeAndFindGiveUpAfterTheAcseBound)
{
    testsupport::SilentListener silent;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), silent.port(), QStringLiteral("VARNELO"),
                                          QStringLiteral("SILENT")),
              ProbeResult::AssociationRejected);
    const qint64 probeMs = t.elapsed();
    EXPECT_GE(probeMs, (DicomTimeouts::AcseSeconds - 1) * 1000);
    EXPECT_LT(probeMs, (DicomTimeouts::AcseSeconds + 5) * 1000);

    DcmFindClient find;
    find.PeerHost = QStringLiteral("127.0.0.1");
    find.PeerPort = silent.port();
    find.CalledAETitle = QStringLiteral("SILENT");
    find.CallingAETitle = QStringLiteral("VARNELO");
    t.restart();
    try {
        find.RunFind(DcmDataset());
        ADD_FAILURE() << "the query returned";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), DicomErrc::Timeout) << e.description().toStdString();
    }
    EXPECT_GE(t.elapsed(), (DicomTimeouts::AcseSeconds - 1) * 1000);
    EXPECT_LT(t.elapsed(), (DicomTimeouts::AcseSeconds + 5) * 1000);
}

TEST(SilentPeer, TlsHandshakeGivesUpAfterTheAcseBound)
{
    QTemporaryDir dir;
    const auto certs = testsupport::makeTestCertificates(dir.path());
    testsupport::SilentListener silent;
    QElapsedTimer t;
    t.start();
    try {
        DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), silent.port(), QStringLiteral("VARNELO"), QStringLiteral("SILENT"),
                                    DcmTls {true, certs.clientCertificate, certs.clientKey, certs.ca});
        ADD_FAILURE() << "the probe returned";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), DicomErrc::TlsHandshakeFailed) << e.description().toStdString();
        EXPECT_TRUE(e.description().contains(QStringLiteral("did not answer the TLS handshake within 30 seconds")))
            << e.description().toStdString();
    }
    EXPECT_GE(t.elapsed(), (DicomTimeouts::AcseSeconds - 1) * 1000);
    EXPECT_LT(t.elapsed(), (DicomTimeouts::AcseSeconds + 5) * 1000);
}
