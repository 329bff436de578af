// The DICOM layer against real DCMTK peers on loopback ports.

#include "dicomnet/Conformance.h"
#include "dicomnet/ConnectionProbe.h"
#include "dicomnet/DicomWeb.h"
#include "dicom/Dicom.h"
#include "dicomnet/Network.h"
#include "dicom/RawFile.h"
#include "dicomnet/StudyQuery.h"
#include "dicom/testdata/TestData.h"
#include "support/Peers.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

// DCMTK plays the program against CommitScp; its ::DcmDataset makes ours
// varnelo::DcmDataset in this file.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scp.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/dcmdata/dccodec.h>

using namespace varnelo;
using varnelo::testsupport::Peer;
namespace td = varnelo::testdata;

namespace {

const QString Calling = QStringLiteral("VARNELO");

template <typename F>
Error errorOf(F&& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e;
    }
    ADD_FAILURE() << "no error thrown";
    return Error(0, QString());
}

std::unique_ptr<Peer> storescp(QStringList extra = {})
{
    Peer::Options o;
    o.extraArgs = extra;
    return Peer::storescp(o);
}

std::int32_t store(DcmSender& sender, DcmImageList& list, const QString& file, const Peer& peer)
{
    list.LoadFile(file);
    const std::int32_t status = sender.Store(list.ItemAt(list.Count()), QStringLiteral("127.0.0.1"), peer.port(), Calling, peer.aeTitle());
    return status;
}

// The received file whose content has this SOP Instance UID.
QString receivedWithUid(const Peer& peer, const std::string& uid)
{
    for (const QString& f : peer.receivedFiles())
        if (td::contentOf(f)["(0008,0018)"] == uid)
            return f;
    return QString();
}

class Network : public ::testing::Test {
protected:
    QTemporaryDir dir;
};

}  // namespace

TEST_F(Network, StoresFilesUnchangedOverOneAssociation)
{
    auto peer = storescp();
    td::ImageRecipe recipe;
    QStringList files = td::makeSeries(dir.filePath("series"), 5, recipe);
    // a scanner's header: private groups, nested sequences; sent as its own bytes
    recipe.clinicalHeader = true;
    recipe.sopInstanceUid = QStringLiteral("1.2.826.0.1.3680043.2.1143.77");
    files << dir.filePath("series/CLINICAL");
    td::makeImage(files.back(), recipe);
    td::ImageRecipe mr;
    mr.sop = td::Sop::MR;
    mr.syntax = td::Syntax::ImplicitLittle;
    mr.withMetaHeader = false;
    const QString mrFile = dir.filePath("mr");
    td::makeImage(mrFile, mr);
    {
        DcmImageList list;
        DcmSender sender;
        for (const QString& f : files) {
            list.LoadFile(f);
            if (f == files.front())
                list.ItemAt(1).setPatientID(QStringLiteral("CHANGED"));
            EXPECT_EQ(sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle()), 0);
            list.Clear();
        }
        EXPECT_EQ(store(sender, list, mrFile, *peer), 0);  // another SOP class: a second association
        EXPECT_EQ(peer->associationsReceived(), 2);
    }  // the list releases its associations
    ASSERT_TRUE(peer->waitForFiles(7));
    EXPECT_TRUE(peer->waitForLog(QStringLiteral("Association Release"), 2)) << peer->log().toStdString();

    for (const QString& f : files + QStringList {mrFile}) {
        SCOPED_TRACE(f.toStdString());
        auto sent = td::contentOf(f);
        const QString arrived = receivedWithUid(*peer, sent["(0008,0018)"]);
        ASSERT_FALSE(arrived.isEmpty());
        auto got = td::contentOf(arrived);
        if (f == files.front()) {
            EXPECT_EQ(got["(0010,0020)"], "CHANGED");
            got.erase("(0010,0020)");
            sent.erase("(0010,0020)");
        }
        EXPECT_EQ(got, sent);
    }
}

TEST_F(Network, ReleaseAndRenegotiation)
{
    auto peer = storescp({QStringLiteral("+xa")});
    td::ImageRecipe recipe;
    const QString a = dir.filePath("a"), b = dir.filePath("b"), c = dir.filePath("c");
    td::makeImage(a, recipe);
    recipe.syntax = td::Syntax::JpegLossless;  // a context the first association did not propose
    td::makeImage(b, recipe);
    recipe.syntax = td::Syntax::ExplicitLittle;
    td::makeImage(c, recipe);

    DcmImageList list;

    DcmSender sender;
    EXPECT_EQ(store(sender, list, a, *peer), 0);
    EXPECT_EQ(store(sender, list, b, *peer), 0);
    EXPECT_EQ(peer->associationsReceived(), 2);
    EXPECT_EQ(store(sender, list, c, *peer), 0);  // the second association proposed both
    EXPECT_EQ(peer->associationsReceived(), 2);
    sender.Release();
    list.CancelReadAhead();
    EXPECT_TRUE(peer->waitForLog(QStringLiteral("Association Release"), 2));
    EXPECT_EQ(store(sender, list, a, *peer), 0);
    EXPECT_EQ(peer->associationsReceived(), 3);
    ASSERT_TRUE(peer->waitForFiles(3));  // a was stored twice under one name
    // The peer took JPEG, so the file went as it is.
    EXPECT_EQ(td::transferSyntaxOf(receivedWithUid(*peer, td::contentOf(b)["(0008,0018)"])),
              QStringLiteral("1.2.840.10008.1.2.4.70"));
}

TEST_F(Network, CompressedImagesAreDecompressedForAnUncompressedOnlyPeer)
{
    auto peer = storescp({QStringLiteral("+xi")});  // Implicit VR Little Endian only
    DcmImageList list;
    DcmSender sender;
    for (td::Syntax syntax : {td::Syntax::JpegBaseline, td::Syntax::JpegLossless, td::Syntax::Rle}) {
        td::ImageRecipe recipe;
        recipe.syntax = syntax;
        const QString file = dir.filePath(QStringLiteral("f%1").arg(int(syntax)));
        td::makeImage(file, recipe);
        EXPECT_EQ(store(sender, list, file, *peer), 0);
        const auto sent = td::contentOf(file);  // decoded pixels
        ASSERT_TRUE(peer->waitForFiles(list.Count()));
        const QString arrived = receivedWithUid(*peer, sent.at("(0008,0018)"));
        ASSERT_FALSE(arrived.isEmpty());
        EXPECT_EQ(td::transferSyntaxOf(arrived), QStringLiteral("1.2.840.10008.1.2"));
        EXPECT_EQ(td::contentOf(arrived).at("(7FE0,0010)"), sent.at("(7FE0,0010)"));
    }
}

namespace {

// JPEG 2000 made from known pixels, with the same image kept uncompressed
// beside it to compare with.
QString makeJ2k(const QTemporaryDir& dir, const QString& name, td::ImageRecipe r)
{
    r.uncompressedCopy = dir.filePath(name + QStringLiteral(".source"));
    const QString file = dir.filePath(name);
    td::makeImage(file, r);
    return file;
}

// Mean absolute difference per sample between two pixel values of equal size.
double meanDifference(const std::string& a, const std::string& b, int bitsAllocated)
{
    double sum = 0;
    size_t n = 0;
    if (bitsAllocated == 8) {
        for (n = 0; n < a.size(); ++n)
            sum += std::abs(int(static_cast<unsigned char>(a[n])) - int(static_cast<unsigned char>(b[n])));
    } else {
        for (size_t i = 0; i + 1 < a.size(); i += 2, ++n) {
            const int x = static_cast<std::int16_t>(std::uint8_t(a[i]) | std::uint8_t(a[i + 1]) << 8);
            const int y = static_cast<std::int16_t>(std::uint8_t(b[i]) | std::uint8_t(b[i + 1]) << 8);
            sum += std::abs(x - y);
        }
    }
    return n ? sum / double(n) : 0;
}

}  // namespace

// A peer that takes only uncompressed data gets the pixels bit for bit, in
// every layout: 8 and 16 bit, signed, colour, several frames, frames split
// over fragments. Decoding makes YBR_RCT into RGB with interleaved samples,
// which is what the source had.
TEST_F(Network, LosslessJpeg2000ArrivesDecodedBitForBit)
{
    auto peer = storescp({QStringLiteral("+xi")});  // Implicit VR Little Endian only
    struct Case {
        const char* name;
        int bits, samples;
        bool isSigned;
        int frames, fragments;
    };
    const Case cases[] = {
        {"grey16", 16, 1, false, 1, 1},
        {"signed16", 16, 1, true, 1, 3},
        {"signed8", 8, 1, true, 1, 1},
        {"colour8", 8, 3, false, 3, 2},  // frames told apart by where each codestream ends
        {"colour16", 16, 3, false, 2, 1},
    };
    DcmImageList list;
    DcmSender sender;
    int sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        td::ImageRecipe r;
        r.syntax = td::Syntax::Jpeg2000;
        r.rows = 48;
        r.columns = 64;
        r.bitsAllocated = c.bits;
        r.samplesPerPixel = c.samples;
        r.signedPixels = c.isSigned;
        r.frames = c.frames;
        r.fragmentsPerFrame = c.fragments;
        const QString file = makeJ2k(dir, QLatin1String(c.name), r);
        ASSERT_EQ(td::transferSyntaxOf(file), QStringLiteral("1.2.840.10008.1.2.4.90"));
        EXPECT_EQ(store(sender, list, file, *peer), 0);
        ASSERT_TRUE(peer->waitForFiles(++sent));
        const auto source = td::contentOf(file + QStringLiteral(".source"));
        const QString arrived = receivedWithUid(*peer, source.at("(0008,0018)"));
        ASSERT_FALSE(arrived.isEmpty());
        EXPECT_EQ(td::transferSyntaxOf(arrived), QStringLiteral("1.2.840.10008.1.2"));
        const auto got = td::contentOf(arrived);
        EXPECT_EQ(got.at("(7FE0,0010)"), source.at("(7FE0,0010)"));
        EXPECT_EQ(got, source);
    }
    EXPECT_EQ(peer->associationsReceived(), 1);
}

// Lossy JPEG 2000 arrives marked as lossy: Lossy Image Compression "01", its
// ratio and method as the file had them or, when it had none, added.
TEST_F(Network, LossyJpeg2000ArrivesMarkedLossy)
{
    auto peer = storescp();  // uncompressed only
    td::ImageRecipe grey;
    grey.syntax = td::Syntax::Jpeg2000Lossy;
    grey.rows = 64;
    grey.columns = 64;
    td::ImageRecipe colour = grey;
    colour.samplesPerPixel = 3;
    colour.bitsAllocated = 8;
    colour.frames = 2;
    colour.lossyAttributes = false;
    const QString greyFile = makeJ2k(dir, QStringLiteral("grey"), grey);
    const QString colourFile = makeJ2k(dir, QStringLiteral("colour"), colour);
    ASSERT_EQ(td::transferSyntaxOf(greyFile), QStringLiteral("1.2.840.10008.1.2.4.91"));
    const auto greyStored = td::contentOf(greyFile, true);
    ASSERT_EQ(greyStored.at("(0028,2110)"), "01");
    ASSERT_EQ(td::contentOf(colourFile, true).count("(0028,2112)"), 0u);

    DcmImageList list;

    DcmSender sender;
    EXPECT_EQ(store(sender, list, greyFile, *peer), 0);
    EXPECT_EQ(store(sender, list, colourFile, *peer), 0);
    ASSERT_TRUE(peer->waitForFiles(2));

    for (const auto& [file, bits] : {std::pair {greyFile, 16}, std::pair {colourFile, 8}}) {
        SCOPED_TRACE(file.toStdString());
        const auto source = td::contentOf(file + QStringLiteral(".source"));
        const QString arrived = receivedWithUid(*peer, source.at("(0008,0018)"));
        ASSERT_FALSE(arrived.isEmpty());
        auto got = td::contentOf(arrived);
        EXPECT_EQ(got.at("(0028,2110)"), "01");
        EXPECT_EQ(got.at("(0028,2114)"), "ISO_15444_1");
        EXPECT_EQ(got.at("(0028,0004)"), source.at("(0028,0004)"));  // MONOCHROME2, or RGB from YBR_ICT
        if (bits == 8) {
            EXPECT_EQ(got.at("(0028,0006)"), "0");
        }
        // the image itself, within what compression at 10:1 takes away: a
        // twentieth of the range (unrelated images differ by about a third)
        ASSERT_EQ(got.at("(7FE0,0010)").size(), source.at("(7FE0,0010)").size());
        const double error = meanDifference(got.at("(7FE0,0010)"), source.at("(7FE0,0010)"), bits);
        EXPECT_GT(error, 0.0);
        EXPECT_LT(error, (bits == 8 ? 256 : 4096) / 20.0);
    }
    const auto greyGot = td::contentOf(receivedWithUid(*peer, greyStored.at("(0008,0018)")));
    EXPECT_EQ(greyGot.at("(0028,2112)"), greyStored.at("(0028,2112)"));  // kept as the file had it
    const auto colourGot = td::contentOf(receivedWithUid(*peer, td::contentOf(colourFile, true).at("(0008,0018)")));
    const double ratio = QString::fromStdString(colourGot.at("(0028,2112)")).toDouble();
    EXPECT_GT(ratio, 5.0);
    EXPECT_LT(ratio, 20.0);
}

TEST_F(Network, Jpeg2000GoesAsStoredToAPeerThatTakesIt)
{
    Peer::Options o;
    o.aeTitle = QStringLiteral("ORTHANC");
    auto orthanc = Peer::orthanc(o);
    td::ImageRecipe r;
    r.syntax = td::Syntax::Jpeg2000;
    r.frames = 2;
    const QString file = dir.filePath("j2k");
    td::makeImage(file, r);
    DcmImageList list;
    DcmSender sender;
    EXPECT_EQ(store(sender, list, file, *orthanc), 0);
    ASSERT_TRUE(orthanc->waitForFiles(1));
    const QString stored = orthanc->receivedFiles().front();
    EXPECT_EQ(td::transferSyntaxOf(stored), QStringLiteral("1.2.840.10008.1.2.4.90"));
    EXPECT_EQ(td::contentOf(stored, true), td::contentOf(file, true));
}

TEST_F(Network, FailuresThatAreNotAnswersRaise)
{
    const QString file = dir.filePath("img");
    td::makeImage(file, td::ImageRecipe {});
    DcmImageList list;
    DcmSender sender;
    list.LoadFile(file);
    DcmImage image = list.ItemAt(1);

    for (std::int32_t port : {0, -1, 65536, 104000}) {
        const Error e = errorOf([&] { sender.Store(image, QStringLiteral("127.0.0.1"), port, Calling, QStringLiteral("X")); });
        EXPECT_EQ(e.number(), DicomErrc::InvalidPort) << port;
    }

    const quint16 closed = testsupport::freeLoopbackPort();
    QElapsedTimer t;
    t.start();
    const Error refused = errorOf([&] { sender.Store(image, QStringLiteral("127.0.0.1"), closed, Calling, QStringLiteral("X")); });
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(refused.number(), DicomErrc::CannotConnect) << refused.description().toStdString();
    EXPECT_TRUE(refused.description().contains(QString::number(closed)));
    EXPECT_FALSE(refused.description().contains(QLatin1Char('\n')));

    const Error unknown =
        errorOf([&] { sender.Store(image, QStringLiteral("no-such-host.invalid"), 104, Calling, QStringLiteral("X")); });
    EXPECT_EQ(unknown.number(), DicomErrc::HostNotFound) << unknown.description().toStdString();

    auto refusing = storescp({QStringLiteral("--refuse")});
    const Error rejected =
        errorOf([&] { sender.Store(image, QStringLiteral("127.0.0.1"), refusing->port(), Calling, refusing->aeTitle()); });
    EXPECT_EQ(rejected.number(), DicomErrc::AssociationRejected);
    EXPECT_TRUE(rejected.description().contains(QStringLiteral("Reason"))) << rejected.description().toStdString();

    auto aborting = storescp({QStringLiteral("--abort-during")});
    const Error lost =
        errorOf([&] { sender.Store(image, QStringLiteral("127.0.0.1"), aborting->port(), Calling, aborting->aeTitle()); });
    EXPECT_EQ(lost.number(), DicomErrc::ConnectionLost) << lost.description().toStdString();
}

TEST_F(Network, AFailureStatusIsReturnedNotRaised)
{
    auto peer = storescp();
    // storescp answers "out of resources" when it cannot write the file.
    ASSERT_TRUE(QDir(peer->storageFolder()).removeRecursively());
    const QString file = dir.filePath("img");
    td::makeImage(file, td::ImageRecipe {});
    DcmImageList list;
    DcmSender sender;
    const std::int32_t status = store(sender, list, file, *peer);
    EXPECT_NE(status, 0);
    EXPECT_EQ(status & 0xF000, 0xA000) << std::hex << status;
    // The association stays usable for the next file.
    QDir().mkpath(peer->storageFolder());
    list.Clear();
    EXPECT_EQ(store(sender, list, file, *peer), 0);
    EXPECT_EQ(peer->associationsReceived(), 1);
}

TEST_F(Network, AnAssociationDroppedBetweenFilesIsReopened)
{
    auto peer = storescp();
    const quint16 port = peer->port();
    const QStringList files = td::makeSeries(dir.filePath("s"), 2, td::ImageRecipe {});
    DcmImageList list;
    DcmSender sender;
    EXPECT_EQ(store(sender, list, files[0], *peer), 0);
    peer.reset();  // the peer goes away with our association open
    Peer::Options o;
    o.port = port;
    peer = Peer::storescp(o);
    EXPECT_EQ(store(sender, list, files[1], *peer), 0);
    ASSERT_TRUE(peer->waitForFiles(1));
    EXPECT_EQ(peer->associationsReceived(), 1);
}

TEST_F(Network, ProbeConnectionCodes)
{
    auto peer = storescp();
    EXPECT_EQ(DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle()),
              ProbeResult::Ok);
    EXPECT_EQ(DcmNetwork::ProbeConnection(QStringLiteral("localhost"), peer->port(), Calling, peer->aeTitle()),
              ProbeResult::Ok);
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), testsupport::freeLoopbackPort(), Calling,
                                          QStringLiteral("X")),
              ProbeResult::CannotConnect);
    EXPECT_LT(t.elapsed(), 1000);
    auto refusing = storescp({QStringLiteral("--refuse")});
    EXPECT_EQ(DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), refusing->port(), Calling, refusing->aeTitle()),
              ProbeResult::AssociationRejected);
    EXPECT_EQ(errorOf([&] { DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), 0, Calling, QStringLiteral("X")); })
                  .number(),
              DicomErrc::InvalidPort);
    EXPECT_TRUE(peer->waitForLog(QStringLiteral("Association Release"), 2));
}

namespace {

// The identifier the worklist window sends, abridged to what matters here.
varnelo::DcmDataset worklistQuery(const QString& station)
{
    DcmDatasetList steps;
    varnelo::DcmDataset step = steps.AppendNew();
    varnelo::DcmDataset id;
    auto a = id.Attributes();
    a.AddAttribute(0x0008, 0x0005, QString());
    a.AddAttribute(0x0008, 0x0050, QString());
    a.AddAttribute(0x0010, 0x0010, QString());
    a.AddAttribute(0x0010, 0x0020, QString());
    a.AddAttribute(0x0010, 0x0030, QString());
    a.AddAttribute(0x0010, 0x0040, QString());
    a.AddAttribute(0x0010, 0x21C0, QStringLiteral("0"));
    a.AddAttribute(0x0020, 0x000D, QString());
    auto s = step.Attributes();
    s.AddAttribute(0x0008, 0x0060, QString());
    s.AddAttribute(0x0040, 0x0001, station);
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    s.AddAttribute(0x0040, 0x0002, today + QLatin1Char('-') + today);
    s.AddAttribute(0x0040, 0x0003, QStringLiteral("000000-235959"));
    s.AddAttribute(0x0040, 0x0009, QString());
    a.AddAttribute(0x0040, 0x0100, steps);
    return id;
}

}  // namespace

TEST_F(Network, WorklistFindReturnsTheScheduledEntries)
{
    td::WorklistEntry first;
    first.patientName = QStringLiteral("O'Brien^Ann^Q");
    first.patientId = QStringLiteral("WL1");
    first.time = QStringLiteral("083000");
    td::WorklistEntry second;
    second.patientName = QStringLiteral("Doe^John");
    second.patientId = QStringLiteral("WL2");
    second.birthDate = QStringLiteral("19551231");
    second.sex = QStringLiteral("M");
    second.time = QStringLiteral("143000");
    td::WorklistEntry otherStation = second;
    otherStation.patientId = QStringLiteral("WL3");
    otherStation.stationAE = QStringLiteral("OTHER");
    td::WorklistEntry yesterday = second;
    yesterday.patientId = QStringLiteral("WL4");
    yesterday.date = QDate::currentDate().addDays(-1).toString(QStringLiteral("yyyyMMdd"));
    const QString data =
        td::makeWorklist(dir.filePath("wl"), QStringLiteral("WLMSCP"), {first, second, otherStation, yesterday});
    Peer::Options o;
    o.aeTitle = QStringLiteral("WLMSCP");
    auto peer = Peer::wlmscpfs(data, o);

    DcmFindClient find;
    find.PeerHost = QStringLiteral("127.0.0.1");
    find.PeerPort = peer->port();
    find.CalledAETitle = QStringLiteral("WLMSCP");
    find.CallingAETitle = Calling;
    const DcmDatasetList results = find.RunFind(worklistQuery(QStringLiteral("VARNELO")));
    ASSERT_EQ(results.Count(), 2) << peer->log().toStdString();
    std::map<QString, varnelo::DcmDataset> byId;
    for (int i = 1; i <= results.Count(); ++i)
        byId.emplace(results.ItemAt(i).PatientID().value_or(QString()), results.ItemAt(i));
    ASSERT_EQ(byId.count(QStringLiteral("WL1")), 1u);
    ASSERT_EQ(byId.count(QStringLiteral("WL2")), 1u);
    const varnelo::DcmDataset& one = byId.at(QStringLiteral("WL1"));
    EXPECT_EQ(one.PatientName(), QStringLiteral("O'Brien^Ann^Q"));
    EXPECT_EQ(one.PatientBirthDate(), QDate(1970, 1, 1));
    const varnelo::DcmDataset& two = byId.at(QStringLiteral("WL2"));
    EXPECT_EQ(two.PatientSex().value_or(QString()), QStringLiteral("M"));
    EXPECT_EQ(two.BirthDateRaw().value_or(QString()), QStringLiteral("19551231"));
    const DcmDatasetList steps = two.Attributes().ByTag(0x0040, 0x0100).SequenceItems();
    ASSERT_GE(steps.Count(), 1);
    EXPECT_EQ(steps.ItemAt(1).Attributes().ByTag(0x0040, 0x0003).Value().toString(), QStringLiteral("143000"));

    // A station with nothing scheduled gets an empty list, not an error.
    EXPECT_EQ(find.RunFind(worklistQuery(QStringLiteral("NOBODY"))).Count(), 0);

    find.CalledAETitle = QStringLiteral("UNKNOWN_AE");  // wlmscpfs rejects AE titles it has no folder for
    const Error e = errorOf([&] { find.RunFind(worklistQuery(QStringLiteral("VARNELO"))); });
    EXPECT_TRUE(e.number() == DicomErrc::AssociationRejected || e.number() == DicomErrc::QueryFailed)
        << e.number() << " " << e.description().toStdString();

    find.PeerPort = testsupport::freeLoopbackPort();
    EXPECT_EQ(errorOf([&] { find.RunFind(worklistQuery(QStringLiteral("VARNELO"))); }).number(),
              DicomErrc::CannotConnect);
}

namespace {

// What the peer stored of one image after Reconcile(to); once it has the
// identity, a second Reconcile(to) changes nothing.
std::map<std::string, std::string> reconciled(const QString& file, const DcmPatient& to, bool whole, const Peer& peer)
{
    DcmImageList list;
    DcmSender sender;
    list.LoadFile(file);
    DcmImage image = list.ItemAt(1);
    EXPECT_TRUE(image.Reconcile(to, whole, Calling, QDateTime(QDate(2026, 3, 6), QTime(9, 30))));
    EXPECT_FALSE(image.Reconcile(to, whole, Calling, QDateTime::currentDateTime()));
    EXPECT_EQ(sender.Store(image, QStringLiteral("127.0.0.1"), peer.port(), Calling, peer.aeTitle()), 0);
    const QString stored = receivedWithUid(peer, image.SOPInstanceUID().toStdString());
    EXPECT_FALSE(stored.isEmpty()) << peer.log().toStdString();
    return stored.isEmpty() ? std::map<std::string, std::string>() : td::contentOf(stored);
}

using Values = std::vector<std::pair<std::string, std::string>>;
// Each value under `prefix`, "-" for an absent attribute.
void expectValues(const std::map<std::string, std::string>& got, const std::string& prefix, const Values& values)
{
    for (const auto& [key, value] : values) {
        const auto it = got.find(prefix + key);
        EXPECT_EQ(it == got.end() ? "-" : it->second, value) << prefix + key;
    }
}

const std::string Modified = "(0400,0561)[0](0400,0550)[0]";
const std::string Other = "(0010,1002)[0]";
const std::string Qualifier = "(0010,0024)[0]";

}  // namespace

// A typed ID gets the issuer it is given, or none: the outside hospital's
// issuer and qualifiers stay only with the old ID.
TEST_F(Network, ReconciledIdTakesItsIssuerAndTheOldIdKeepsTheOutsideOne)
{
    auto peer = storescp();
    td::ImageRecipe outside;
    outside.patientId = QStringLiteral("EXT-77");
    outside.issuerOfPatientId = QStringLiteral("ST MARY");
    outside.issuerQualifiers = {QStringLiteral("1.2.826.0.1.3680043.2.99"), QStringLiteral("ISO"), QStringLiteral("MR")};
    const QString file = dir.filePath(QStringLiteral("outside"));
    td::makeImage(file, outside);
    const Values outsideIssuer = {{"(0010,0020)", "EXT-77"}, {"(0010,0021)", "ST MARY"}, {Qualifier + "(0040,0032)", "1.2.826.0.1.3680043.2.99"}, {Qualifier + "(0040,0033)", "ISO"}, {Qualifier + "(0040,0035)", "MR"}};

    DcmPatient local;
    local.PatientID = QStringLiteral("LOC-1");
    local.IssuerOfPatientID = QStringLiteral("OURHOSP");
    local.IssuerQualifiers = {QStringLiteral("2.16.840.1.113883.3.7"), QStringLiteral("ISO"), QString()};
    auto got = reconciled(file, local, false, *peer);
    expectValues(got, "", {{"(0010,0020)", "LOC-1"}, {"(0010,0021)", "OURHOSP"}, {"(0010,0024)", "SQ 1"}, {Qualifier + "(0040,0032)", "2.16.840.1.113883.3.7"}, {Qualifier + "(0040,0033)", "ISO"}, {Qualifier + "(0040,0035)", "-"}, {"(0010,0010)", "Doe^John"}, {"(0008,0005)", "ISO_IR 100"}});
    expectValues(got, Other, outsideIssuer);
    expectValues(got, Other, {{"(0010,0022)", "TEXT"}});
    expectValues(got, Modified, outsideIssuer);
    expectValues(got, Modified, {{"(0010,0010)", "-"}});

    DcmPatient bare;
    bare.PatientID = QStringLiteral("LOC-2");
    got = reconciled(file, bare, false, *peer);
    expectValues(got, "", {{"(0010,0020)", "LOC-2"}, {"(0010,0021)", "-"}, {"(0010,0024)", "-"}});
    expectValues(got, Other, outsideIssuer);
    expectValues(got, Modified, outsideIssuer);

    // absent before: kept without a value
    const QString plain = dir.filePath(QStringLiteral("plain"));
    td::makeImage(plain, td::ImageRecipe {});
    got = reconciled(plain, local, false, *peer);
    expectValues(got, Modified, {{"(0010,0021)", ""}, {"(0010,0024)", "SQ 0"}});
    expectValues(got, Other, {{"(0010,0021)", "-"}});
}

// A Japanese image (ISO 2022, which the toolkit's iconv cannot convert)
// moves to Unicode for a new identity, its other text intact.
TEST_F(Network, JapaneseImageMovesToUnicodeForANewIdentity)
{
    auto peer = storescp();
    td::ImageRecipe japanese;
    japanese.characterSet = QStringLiteral("\\ISO 2022 IR 87");
    japanese.patientId = QStringLiteral("JP-1");
    japanese.patientNameBytes =
        QByteArray("Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B");
    japanese.studyDescriptionBytes = QByteArray("\x1b$BF,It#C#T8!::\x1b(B");
    const QString file = dir.filePath(QStringLiteral("jp"));
    td::makeImage(file, japanese);
    const std::string name = "Yamada^Tarou=山田^太郎=やまだ^たろう";
    const Values unicode = {{"(0008,0005)", "ISO_IR 192"}, {"(0008,1030)", "頭部ＣＴ検査"}};

    DcmPatient pick;
    pick.PatientID = QStringLiteral("LOC-J1");
    pick.PatientName = QString::fromStdString(name);
    pick.BirthDate = japanese.birthDate;
    pick.Sex = japanese.sex;
    auto got = reconciled(file, pick, true, *peer);
    expectValues(got, "", unicode);
    expectValues(got, "", {{"(0010,0010)", name}, {"(0010,0020)", "LOC-J1"}});
    expectValues(got, Modified, {{"(0010,0020)", "JP-1"}, {"(0010,0010)", "-"}});

    pick.PatientName = QString::fromUtf8("Suzuki^Hanako=鈴木^花子");
    got = reconciled(file, pick, true, *peer);
    expectValues(got, "", unicode);
    expectValues(got, "", {{"(0010,0010)", "Suzuki^Hanako=鈴木^花子"}});
    expectValues(got, Modified, {{"(0010,0010)", name}});
}

// A large image is sent with its pixel data read from the file while it
// goes: it must arrive whole, changed only where we changed it, and a
// truncated one must still fail at loading, not half-way through a send.
TEST_F(Network, LargeImageArrivesWholeAndTruncatedOneFailsAtLoading)
{
    auto peer = storescp();
    td::ImageRecipe big;
    big.rows = 512;
    big.columns = 512;
    big.frames = 12;  // about 6 MB
    const QString file = dir.filePath("big");
    td::makeImage(file, big);
    ASSERT_GT(QFileInfo(file).size(), 5 * 1024 * 1024);
    {
        // as it is stored, read from the file while it is sent
        DcmImageList list;
        DcmSender sender;
        list.LoadFile(file);
        EXPECT_EQ(sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle()), 0);
    }
    ASSERT_TRUE(peer->waitForFiles(1));
    EXPECT_EQ(td::contentOf(peer->receivedFiles().front()), td::contentOf(file));
    QFile::remove(peer->receivedFiles().front());
    {
        DcmImageList list;
        DcmSender sender;
        list.LoadFile(file);
        list.ItemAt(1).setPatientID(QStringLiteral("BIG"));
        EXPECT_EQ(sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle()), 0);
    }
    ASSERT_TRUE(peer->waitForFiles(1));
    auto sent = td::contentOf(file);
    auto got = td::contentOf(peer->receivedFiles().front());
    EXPECT_EQ(got["(0010,0020)"], "BIG");
    got.erase("(0010,0020)");
    sent.erase("(0010,0020)");
    EXPECT_EQ(got, sent);

    QFile::copy(file, dir.filePath("cut"));
    QFile cut(dir.filePath("cut"));
    ASSERT_TRUE(cut.resize(cut.size() - 100000));
    DcmImageList list;
    DcmSender sender;
    try {
        list.LoadFile(dir.filePath("cut"));
        FAIL() << "a truncated large image loaded";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), DicomErrc::FileUnreadable);
    }
}

// ---- DICOM over TLS -------------------------------------------------------

namespace {

class NetworkTls : public Network {
protected:
    void SetUp() override { certs = testsupport::makeTestCertificates(dir.path()); }

    DcmTls clientTls() const { return {true, certs.clientCertificate, certs.clientKey, certs.ca}; }

    // storescp with the server certificate, requiring and checking ours.
    std::unique_ptr<Peer> tlsStorescp(const QStringList& extra = {}) const
    {
        Peer::Options o;
        o.tlsCertificate = certs.serverCertificate;
        o.tlsPrivateKey = certs.serverKey;
        o.tlsTrusted = certs.ca;
        o.extraArgs = extra;
        return Peer::storescp(o);
    }

    Error probeError(quint16 port, const DcmTls& tls) const
    {
        return errorOf([&] { DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), port, Calling, QStringLiteral("STORESCP"), tls); });
    }

    testsupport::TestCertificates certs;
};

}  // namespace

TEST_F(NetworkTls, ImagesTravelEncryptedWithBothSidesVerified)
{
    auto peer = tlsStorescp({QStringLiteral("-d")});  // -d: storescp logs each connection's TLS details
    const QStringList files = td::makeSeries(dir.filePath("series"), 3, td::ImageRecipe {});
    EXPECT_EQ(DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle(), clientTls()),
              ProbeResult::Ok);
    {
        DcmImageList list;
        DcmSender sender;
        for (const QString& f : files) {
            list.LoadFile(f);
            EXPECT_EQ(sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle(), clientTls()), 0);
            list.Clear();
        }
    }
    ASSERT_TRUE(peer->waitForFiles(3));
    for (const QString& f : files) {
        const auto sent = td::contentOf(f);
        EXPECT_EQ(td::contentOf(receivedWithUid(*peer, sent.at("(0008,0018)"))), sent);
    }
    EXPECT_EQ(peer->countInLog(QStringLiteral("I: Association Received")), 2) << "the echo, then one association for the three images";

    // The peer's side of it: TLS 1.2 or later on both connections, with the
    // client certificate it checked against the CA.
    const QString log = peer->log();
    EXPECT_EQ(log.count(QStringLiteral("Transport connection: TLS over TCP/IP")), 2) << log.toStdString();
    EXPECT_TRUE(log.contains(QRegularExpression(QStringLiteral("Protocol\\s*: TLSv1\\.[23]"))));
    EXPECT_TRUE(log.contains(QStringLiteral("CN=varnelo.test")));

    // The same peer does not talk in the clear.
    EXPECT_NE(DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle()), ProbeResult::Ok);
    EXPECT_EQ(peer->receivedFiles().size(), 3);
}

// Orthanc over TLS reports its storage commitment over TLS too, on an
// association of its own to CommitPort, where its certificate is checked as
// when sending to it.
TEST_F(NetworkTls, OrthancReportsOverTlsToCommitPort)
{
    const quint16 commitPort = testsupport::freeLoopbackPort();
    Peer::Options o;
    o.aeTitle = QStringLiteral("ORTHANC");
    o.tlsCertificate = certs.serverCertificate;
    o.tlsPrivateKey = certs.serverKey;
    o.tlsTrusted = certs.ca;
    o.modalityAet = Calling;
    o.modalityPort = commitPort;
    auto orthanc = Peer::orthanc(o);
    const QStringList files = td::makeSeries(dir.filePath("series"), 2, td::ImageRecipe {});
    DcmCommitSession session(QStringLiteral("127.0.0.1"), orthanc->port(), Calling, orthanc->aeTitle(), clientTls(),
                             commitPort);
    {
        DcmImageList list;
        DcmSender sender;
        for (const QString& f : files) {
            list.LoadFile(f);
            DcmImage image = list.ItemAt(1);
            ASSERT_EQ(sender.Store(image, QStringLiteral("127.0.0.1"), orthanc->port(), Calling, orthanc->aeTitle(), clientTls()), 0);
            session.Add({image.SOPClassUID(), image.SOPInstanceUID(), image.StudyInstanceUID()});
            list.Clear();
        }
    }
    const DcmCommitResult result = session.Finish(20, {});
    EXPECT_EQ(result.outcome, DcmCommitResult::Outcome::Answered) << result.why.toStdString() << orthanc->log().toStdString();
    EXPECT_FALSE(result.byQuery);
    EXPECT_TRUE(result.failed.empty());
}

TEST_F(NetworkTls, FailuresSayWhatToCheck)
{
    auto peer = tlsStorescp();
    const QString where = QStringLiteral("127.0.0.1:%1 (STORESCP, TLS)").arg(peer->port());
    QElapsedTimer t;

    // This station's files: named with their key, the key's content never shown.
    DcmTls tls = clientTls();
    tls.Certificate = dir.filePath("missing.pem");
    Error e = probeError(peer->port(), tls);
    EXPECT_EQ(e.number(), DicomErrc::TlsFileUnusable);
    EXPECT_TRUE(e.description().startsWith("[TLS] Certificate \"" + tls.Certificate + "\" cannot be read"))
        << e.description().toStdString();

    tls = clientTls();
    tls.PrivateKey = certs.lockedClientKey;
    e = probeError(peer->port(), tls);
    EXPECT_EQ(e.number(), DicomErrc::TlsFileUnusable);
    EXPECT_TRUE(e.description().startsWith("[TLS] PrivateKey \"" + certs.lockedClientKey + "\" is not a PEM private key"))
        << e.description().toStdString();
    QFile key(certs.lockedClientKey);
    ASSERT_TRUE(key.open(QIODevice::ReadOnly));
    for (const QByteArray& line : key.readAll().split('\n')) {
        if (!line.startsWith("-----") && line.size() > 8) {
            EXPECT_FALSE(e.description().contains(QString::fromLatin1(line)));
        }
    }

    tls = clientTls();
    tls.PrivateKey = certs.serverKey;
    e = probeError(peer->port(), tls);
    EXPECT_EQ(e.number(), DicomErrc::TlsFileUnusable);
    EXPECT_TRUE(e.description().contains(QStringLiteral("is not the key of [TLS] Certificate"))) << e.description().toStdString();

    tls = clientTls();
    tls.TrustedCertificates.clear();
    EXPECT_EQ(probeError(peer->port(), tls).number(), DicomErrc::TlsFileUnusable);
    EXPECT_EQ(peer->associationsReceived(), 0) << "bad files stop before the network";

    // A folder of trusted certificates is read file by file.
    const QString folder = dir.filePath("trusted");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::copy(certs.ca, folder + "/hospital-ca.pem"));
    ASSERT_TRUE(QFile::copy(certs.strangerCa, folder + "/other-ca.crt"));
    tls = clientTls();
    tls.TrustedCertificates = folder;
    EXPECT_EQ(DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle(), tls), ProbeResult::Ok);

    // The peer's certificate was issued by a CA this station does not trust.
    tls = clientTls();
    tls.TrustedCertificates = certs.strangerCa;
    e = probeError(peer->port(), tls);
    EXPECT_EQ(e.number(), DicomErrc::PeerNotTrusted);
    EXPECT_TRUE(e.description().startsWith("The certificate of " + where + ", /CN=pacs.test, is not trusted: "))
        << e.description().toStdString();
    EXPECT_TRUE(e.description().contains("[TLS] TrustedCertificates \"" + certs.strangerCa + '"'));

    // This station's certificate was issued by a CA the peer does not trust.
    tls = {true, certs.strangerCertificate, certs.strangerKey, certs.ca};
    e = probeError(peer->port(), tls);
    EXPECT_EQ(e.number(), DicomErrc::TlsHandshakeFailed) << e.description().toStdString();
    EXPECT_TRUE(e.description().contains(certs.strangerCertificate)) << e.description().toStdString();

    // Without a certificate of this station: fine for a peer that asks for
    // none, refused by one that requires it.
    const DcmTls anonymous {true, QString(), QString(), certs.ca};
    Peer::Options open;
    open.tlsCertificate = certs.serverCertificate;
    open.tlsPrivateKey = certs.serverKey;
    auto asksNone = Peer::storescp(open);
    EXPECT_EQ(DcmNetwork::ProbeConnection(QStringLiteral("127.0.0.1"), asksNone->port(), Calling, asksNone->aeTitle(), anonymous),
              ProbeResult::Ok);
    e = probeError(peer->port(), anonymous);
    EXPECT_EQ(e.number(), DicomErrc::TlsHandshakeFailed);
    EXPECT_TRUE(e.description().contains(QStringLiteral("this station sends none"))) << e.description().toStdString();

    // A peer without TLS: at once, not after a timeout.
    auto plain = storescp();
    t.start();
    e = probeError(plain->port(), clientTls());
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(e.number(), DicomErrc::TlsHandshakeFailed);
    EXPECT_TRUE(e.description().startsWith("The TLS handshake with 127.0.0.1:" + QString::number(plain->port())))
        << e.description().toStdString();
    EXPECT_TRUE(e.description().contains(QStringLiteral("DICOM over TLS on at this port")));

    // The send raises the same errors as the connection test.
    const QString file = dir.filePath("img");
    td::makeImage(file, td::ImageRecipe {});
    DcmImageList list;
    DcmSender sender;
    list.LoadFile(file);
    tls = clientTls();
    tls.TrustedCertificates = certs.strangerCa;
    e = errorOf([&] { sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle(), tls); });
    EXPECT_EQ(e.number(), DicomErrc::PeerNotTrusted);
    // TLS off towards a peer that speaks nothing else: the lost connection says what to check
    e = errorOf([&] { sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer->port(), Calling, peer->aeTitle()); });
    EXPECT_EQ(e.number(), DicomErrc::ConnectionLost);
    EXPECT_TRUE(e.description().contains(QStringLiteral("expects DICOM over TLS, turn on TLS"))) << e.description().toStdString();
    EXPECT_TRUE(peer->receivedFiles().isEmpty());
    EXPECT_TRUE(plain->receivedFiles().isEmpty());
}

// ---- Two peers, the same image --------------------------------------------
//
// Real-world files (pydicom's test data) and our own images rewritten by
// DCMTK's tools go from one loaded image to a peer that takes only Implicit
// VR Little Endian, then to one that takes every syntax as it is. The image
// is converted for the first; whatever that conversion does must not reach
// the second, and both must store the same attributes. Once as loaded (the
// file's own bytes where possible), once with a new Patient ID (re-encoded).

namespace {

const QString PydicomFiles = QStringLiteral("/usr/lib/python3/dist-packages/pydicom/data/test_files");

struct AgreementInput {
    std::string name;
    QString file;  // one of pydicom's; empty for one of ours
    QString base;  // ours: "ct" (16 bit) or "rgb" (8 bit, two frames)...
    QString tool;  // ...rewritten by this DCMTK tool...
    QStringList args;
    int metaLengthExcess = 0;  // ...or with a File Meta Group Length this much too long
};

void PrintTo(const AgreementInput& in, std::ostream* os) { *os << in.name; }

std::vector<AgreementInput> agreementInputs()
{
    std::vector<AgreementInput> inputs;
    struct Variant {
        const char* name;
        const char* tool;
        QStringList args;
        bool eightBitOnly = false;
    };
    const Variant variants[] = {
        {"big_endian", "dcmconv", {"+tb"}},
        {"implicit", "dcmconv", {"+ti"}},
        {"deflated", "dcmconv", {"+td"}},
        {"group_lengths", "dcmconv", {"+g"}},
        {"padded", "dcmconv", {"+p", "512", "64"}},
        {"undefined_lengths", "dcmconv", {"-e"}},
        {"no_meta", "dcmconv", {"-F"}},
        {"no_meta_implicit", "dcmconv", {"-F", "+ti"}},
        {"no_meta_big_endian", "dcmconv", {"-F", "+tb"}},
        {"jpeg_lossless", "dcmcjpeg", {}},
        {"jpeg_extended", "dcmcjpeg", {"+ee"}},
        {"jpeg_baseline", "dcmcjpeg", {"+eb"}, true},
        {"rle", "dcmcrle", {}},
        {"jpegls", "dcmcjpls", {}},
        {"jpegls_near", "dcmcjpls", {"+en"}},
    };
    for (const char* base : {"ct", "rgb"})
        for (const Variant& v : variants)
            if (!v.eightBitOnly || QLatin1String(base) == QLatin1String("rgb"))
                inputs.push_back({std::string(base) + "_" + v.name, {}, QLatin1String(base), QLatin1String(v.tool), v.args});
    // as long as the data set's first element, (0008,0005) "ISO_IR 100"
    inputs.push_back({"ct_meta_length_too_long", {}, QStringLiteral("ct"), {}, {}, 18});

    if (!QFileInfo(PydicomFiles).isDir()) {
        inputs.push_back({"pydicom_missing", PydicomFiles, {}, {}, {}});
        return inputs;
    }
    std::set<std::string> names;
    for (const QString& f : testsupport::filesBelow(PydicomFiles)) {
        if (QFileInfo(f).size() > 10 * 1024 * 1024)
            continue;
        std::string name = "pydicom_" + f.mid(PydicomFiles.size() + 1).toStdString();
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        while (!names.insert(name).second)
            name += "_";
        inputs.push_back({name, f, {}, {}, {}});
    }
    return inputs;
}

bool isEncapsulated(const QString& syntax)
{
    return syntax.startsWith(QLatin1String("1.2.840.10008.1.2.4.")) || syntax == QLatin1String("1.2.840.10008.1.2.5");
}

// One value for a message; pixel data (raw bytes) by its size only.
std::string shown(const std::map<std::string, std::string>& content, const std::string& tag)
{
    const auto it = content.find(tag);
    if (it == content.end())
        return "<absent>";
    if (tag.find("(7FE0,0010)") != std::string::npos || it->second.size() > 120)
        return "<" + std::to_string(it->second.size()) + " bytes>";
    return '"' + it->second + '"';
}

// Each attribute that differs, with both values; "" when none does.
std::string differences(const std::map<std::string, std::string>& implicitOnly,
                        const std::map<std::string, std::string>& anySyntax)
{
    std::set<std::string> tags;
    for (const auto& [tag, value] : implicitOnly)
        tags.insert(tag);
    for (const auto& [tag, value] : anySyntax)
        tags.insert(tag);
    std::string out;
    for (const std::string& tag : tags) {
        const auto a = implicitOnly.find(tag), b = anySyntax.find(tag);
        if (a == implicitOnly.end() || b == anySyntax.end() || a->second != b->second)
            out += "\n  " + tag + " implicit-only peer: " + shown(implicitOnly, tag) + ", any-syntax peer: " + shown(anySyntax, tag);
    }
    return out;
}

// Runs a DCMTK tool, failing the test when it fails.
void runTool(const QString& tool, const QStringList& args)
{
    QProcess p;
    p.start(testsupport::dcmtkTool(tool), args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        ADD_FAILURE() << tool.toStdString() << " " << args.join(' ').toStdString() << " failed: "
                      << p.readAllStandardError().toStdString();
}

// A received file as the implicit-only peer would hold it: rewritten in
// Implicit VR Little Endian, which keeps every value but no VR, so that a VR
// only the explicit encoding carries (private attributes, UN) and the group
// lengths it changes do not count as differences. Encapsulated pixel data
// cannot be rewritten so without decoding: it goes first.
QString asImplicit(const QString& file, bool encapsulated, const QString& folder)
{
    QString from = file;
    if (encapsulated) {
        from = folder + QStringLiteral("/no-pixels");
        QFile::remove(from);
        QFile::copy(file, from);
        runTool(QStringLiteral("dcmodify"), {QStringLiteral("-nb"), QStringLiteral("-ea"), QStringLiteral("(7FE0,0010)"), from});
    }
    const QString out = folder + QStringLiteral("/implicit");
    QFile::remove(out);
    runTool(QStringLiteral("dcmconv"), {QStringLiteral("+ti"), from, out});
    return out;
}

struct Arrival {
    bool stored = false;
    std::int32_t error = 0;  // DicomErrc, when StoreTo threw
    QString why;             // why not stored
    QString file;            // the one file the peer wrote
};

Arrival sendTo(DcmImage image, const Peer& peer)
{
    Arrival a;
    DcmSender sender;
    try {
        const std::int32_t status = sender.Store(image, QStringLiteral("127.0.0.1"), peer.port(), Calling, peer.aeTitle());
        if (status != 0) {
            a.why = QStringLiteral("status 0x%1").arg(status, 4, 16, QLatin1Char('0'));
            return a;
        }
    } catch (const Error& e) {
        a.error = e.number();
        a.why = e.description();
        return a;
    }
    a.stored = true;
    peer.waitForFiles(1, 3000);
    const QStringList files = peer.receivedFiles();
    if (files.size() == 1)
        a.file = files.front();
    else
        a.why = QStringLiteral("stored, and %1 files arrived").arg(files.size());
    return a;
}

struct AgreementTally {
    int files = 0, refusedAtLoading = 0, quickWalk = 0;
    int sentToBoth[2] = {0, 0}, refusedByBoth[2] = {0, 0}, undecodable[2] = {0, 0};
};

class Agreement : public ::testing::TestWithParam<AgreementInput> {
protected:
    static void TearDownTestSuite()
    {
        std::printf("agreement: %d files, %d taken by the quick walk, %d refused at loading; as loaded: %d sent to both, "
                    "%d refused by both, %d undecodable and sent only as they are; Patient ID changed: %d sent to both, %d "
                    "refused by both, %d undecodable\n",
                    tally.files, tally.quickWalk, tally.refusedAtLoading, tally.sentToBoth[0], tally.refusedByBoth[0], tally.undecodable[0],
                    tally.sentToBoth[1], tally.refusedByBoth[1], tally.undecodable[1]);
        implicitOnly.reset();
        anySyntax.reset();
        bases.reset();
    }

    void SetUp() override
    {
        for (const QString& tool : {QStringLiteral("storescp"), QStringLiteral("dcmconv"), QStringLiteral("dcmodify"), GetParam().tool})
            if (!tool.isEmpty() && testsupport::dcmtkTool(tool).isEmpty())
                GTEST_SKIP() << tool.toStdString() << " is not installed";
        // a peer that a file took down is replaced for the next
        if (!implicitOnly || !implicitOnly->isRunning())
            implicitOnly = storescp({QStringLiteral("+xi")});
        if (!anySyntax || !anySyntax->isRunning())
            anySyntax = storescp({QStringLiteral("+xa")});
    }

    // The file under test: pydicom's, or one of ours.
    QString input()
    {
        const AgreementInput& in = GetParam();
        if (!in.file.isEmpty())
            return in.file;
        if (!bases) {
            bases = std::make_unique<QTemporaryDir>();
            td::ImageRecipe ct;
            ct.clinicalHeader = true;
            td::makeImage(bases->filePath("ct"), ct);
            td::ImageRecipe rgb = ct;
            rgb.sop = td::Sop::SecondaryCapture;
            rgb.rows = 64;
            rgb.columns = 48;
            rgb.bitsAllocated = 8;
            rgb.samplesPerPixel = 3;
            rgb.frames = 2;
            td::makeImage(bases->filePath("rgb"), rgb);
        }
        const QString out = dir.filePath(QStringLiteral("in"));
        if (!in.tool.isEmpty()) {
            runTool(in.tool, QStringList(in.args) << bases->filePath(in.base) << out);
            return out;
        }
        // the group length is the UL after the preamble, "DICM" and its own tag, VR and length
        QFile from(bases->filePath(in.base));
        EXPECT_TRUE(from.open(QIODevice::ReadOnly));
        QByteArray bytes = from.readAll();
        EXPECT_EQ(bytes.mid(128, 12).toHex(), QByteArray("4449434d02000000554c0400"));
        const auto length = qFromLittleEndian<quint32>(bytes.constData() + 140) + quint32(in.metaLengthExcess);
        qToLittleEndian(length, bytes.data() + 140);
        QFile to(out);
        EXPECT_TRUE(to.open(QIODevice::WriteOnly) && to.write(bytes) == bytes.size());
        return out;
    }

    // The loaded image to both peers, and what they stored compared.
    void sendToBoth(DcmImageList& list, const QString& file, const QString& sourceSyntax, bool changed);

    static std::unique_ptr<Peer> implicitOnly, anySyntax;
    static std::unique_ptr<QTemporaryDir> bases;
    static AgreementTally tally;
    QTemporaryDir dir;
};

std::unique_ptr<Peer> Agreement::implicitOnly, Agreement::anySyntax;
std::unique_ptr<QTemporaryDir> Agreement::bases;
AgreementTally Agreement::tally;

// Whether DCMTK's decoders cannot make pixels of the file either (JPEG 2000
// they cannot at all; the program decodes it itself).
bool undecodable(const QString& file)
{
    try {
        td::contentOf(file);
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

void Agreement::sendToBoth(DcmImageList& list, const QString& file, const QString& sourceSyntax, bool changed)
{
    SCOPED_TRACE(changed ? "Patient ID changed" : "as loaded");
    for (const Peer* peer : {implicitOnly.get(), anySyntax.get()})
        for (const QString& f : peer->receivedFiles())
            QFile::remove(f);
    // the same image to both, the implicit-only peer first
    const Arrival implicitCopy = sendTo(list.ItemAt(1), *implicitOnly);
    const Arrival anyCopy = sendTo(list.ItemAt(1), *anySyntax);
    const char* pass = changed ? "changed" : "as loaded";
    // Pixels nobody can decode cannot be converted; as they are, they can go.
    if (!implicitCopy.stored && implicitCopy.error == DicomErrc::NoPresentationContext && anyCopy.stored &&
        isEncapsulated(sourceSyntax) && undecodable(file)) {
        ASSERT_FALSE(anyCopy.file.isEmpty()) << anyCopy.why.toStdString();
        EXPECT_EQ(td::transferSyntaxOf(anyCopy.file), sourceSyntax);
        ++tally.undecodable[changed];
        std::printf("  %s, %s: sent only as it is: %s\n", GetParam().name.c_str(), pass, implicitCopy.why.toStdString().c_str());
        return;
    }
    ASSERT_EQ(implicitCopy.stored, anyCopy.stored) << "implicit-only peer: " << implicitCopy.why.toStdString()
                                                   << "; any-syntax peer: " << anyCopy.why.toStdString();
    if (!implicitCopy.stored) {
        ++tally.refusedByBoth[changed];
        std::printf("  %s, %s: refused by both: %s / %s\n", GetParam().name.c_str(), pass, implicitCopy.why.toStdString().c_str(),
                    anyCopy.why.toStdString().c_str());
        return;
    }
    ASSERT_FALSE(implicitCopy.file.isEmpty()) << implicitCopy.why.toStdString();
    ASSERT_FALSE(anyCopy.file.isEmpty()) << anyCopy.why.toStdString();
    ++tally.sentToBoth[changed];

    const QString anySyntaxUsed = td::transferSyntaxOf(anyCopy.file);
    if (isEncapsulated(sourceSyntax)) {
        EXPECT_EQ(anySyntaxUsed, sourceSyntax) << "a peer that takes the image as it is gets it compressed as it is";
    }
    // An encapsulated copy compares without its pixel data (JPEG 2000 is
    // not decoded here) and without what decoding rewrites.
    const bool encapsulated = isEncapsulated(anySyntaxUsed);
    auto fromImplicit = td::contentOf(implicitCopy.file);
    auto fromAny = td::contentOf(asImplicit(anyCopy.file, encapsulated, dir.path()));
    if (encapsulated) {
        for (const char* tag : {"(7FE0,0000)", "(7FE0,0010)", "(0028,0004)", "(0028,0006)", "(0028,2110)", "(0028,2112)",
                                "(0028,2114)"}) {
            fromImplicit.erase(tag);
            fromAny.erase(tag);
        }
    }
    if (changed) {
        EXPECT_EQ(shown(fromImplicit, "(0010,0020)"), "\"AGREE-1\"");
        EXPECT_EQ(shown(fromAny, "(0010,0020)"), "\"AGREE-1\"");
    }
    const std::string different = differences(fromImplicit, fromAny);
    EXPECT_TRUE(different.empty()) << "any-syntax peer got " << anySyntaxUsed.toStdString() << ":" << different;
}

}  // namespace

TEST_P(Agreement, BothPeersStoreTheSameAttributes)
{
    if (GetParam().name == "pydicom_missing")
        GTEST_SKIP() << "python3-pydicom's test files are not installed";
    const QString file = input();
    ++tally.files;
    QString sourceSyntax;
    try {
        sourceSyntax = td::transferSyntaxOf(file);
    } catch (const std::exception&) {
    }
    {
        // what the quick walk takes, it reads as DCMTK does
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        EXPECT_EQ(dicomimpl::walkDisagreement(bytes).toStdString(), "");
        tally.quickWalk += dicomimpl::scanDicom({bytes.constData(), -1, bytes.size()}) ? 1 : 0;
    }
    DcmImageList list;
    DcmSender sender;
    try {
        list.LoadFile(file);
    } catch (const Error& e) {
        ++tally.refusedAtLoading;
        std::printf("  %s: refused at loading: %s\n", GetParam().name.c_str(), e.description().toStdString().c_str());
        return;
    }
    // the header read of the survey before an import names the same patient
    // as the whole file does
    try {
        const DcmPatient whole = list.ItemAt(1).Patient();
        EXPECT_EQ(DcmUtility::ReadHeader(file).Patient, whole) << whole.PatientName.toStdString();
    } catch (const Error& e) {
        ADD_FAILURE() << "header not read: " << e.description().toStdString();
    }
    sendToBoth(list, file, sourceSyntax, false);
    if (HasFatalFailure())
        return;
    // a new value makes the image go re-encoded, to both
    try {
        list.ItemAt(1).setPatientID(QStringLiteral("AGREE-1"));
    } catch (const Error& e) {
        FAIL() << "Patient ID not set: " << e.description().toStdString();
    }
    sendToBoth(list, file, sourceSyntax, true);
}

INSTANTIATE_TEST_SUITE_P(RealWorld, Agreement, ::testing::ValuesIn(agreementInputs()),
                         [](const ::testing::TestParamInfo<AgreementInput>& info) { return info.param.name; });

// ---- The storage commitment PACS of the other tests ----------------------

namespace {

using testsupport::CommitScp;

const char* const Transaction = "1.2.826.0.1.3680043.2.1125.777";

OFList<OFString> littleEndian()
{
    OFList<OFString> ts;
    ts.push_back(UID_LittleEndianExplicitTransferSyntax);
    ts.push_back(UID_LittleEndianImplicitTransferSyntax);
    return ts;
}

// DCMTK's SCU in the program's place, associated with `pacs`.
std::unique_ptr<DcmSCU> commitScu(const CommitScp& pacs)
{
    auto scu = std::make_unique<DcmSCU>();
    scu->setAETitle("VARNELO");
    scu->setPeerAETitle(pacs.aeTitle().toStdString().c_str());
    scu->setPeerHostName("127.0.0.1");
    scu->setPeerPort(pacs.port());
    scu->setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu->setDIMSETimeout(5);
    scu->setACSETimeout(5);
    for (const char* sopClass : {UID_CTImageStorage, UID_StorageCommitmentPushModelSOPClass,
                                 UID_FINDStudyRootQueryRetrieveInformationModel})
        scu->addPresentationContext(sopClass, littleEndian());
    EXPECT_TRUE(scu->initNetwork().good());
    EXPECT_TRUE(scu->negotiateAssociation().good());
    return scu;
}

Uint16 store(DcmSCU& scu, const QString& file)
{
    Uint16 status = 0xFFFF;
    EXPECT_TRUE(scu.sendSTORERequest(scu.findPresentationContextID(UID_CTImageStorage, ""), file.toStdString().c_str(),
                                     nullptr, status)
                    .good());
    return status;
}

Uint16 askCommitment(DcmSCU& scu, const QStringList& uids)
{
    ::DcmDataset rq;
    rq.putAndInsertString(DCM_TransactionUID, Transaction);
    for (const QString& uid : uids) {
        DcmItem* item = nullptr;
        rq.findOrCreateSequenceItem(DCM_ReferencedSOPSequence, item, -2);
        item->putAndInsertString(DCM_ReferencedSOPClassUID, UID_CTImageStorage);
        item->putAndInsertString(DCM_ReferencedSOPInstanceUID, uid.toStdString().c_str());
    }
    Uint16 status = 0xFFFF;
    EXPECT_TRUE(scu.sendACTIONRequest(scu.findPresentationContextID(UID_StorageCommitmentPushModelSOPClass, ""),
                                      UID_StorageCommitmentPushModelSOPInstance, 1, &rq, status)
                    .good());
    return status;
}

// The items of a report's sequence as "uid" or, with a failure reason, "uid/reason".
QStringList reportItems(::DcmDataset& report, const DcmTagKey& sequence)
{
    QStringList items;
    DcmItem* item = nullptr;
    for (int i = 0; report.findAndGetSequenceItem(sequence, item, i).good(); ++i) {
        OFString uid;
        Uint16 reason = 0;
        item->findAndGetOFString(DCM_ReferencedSOPInstanceUID, uid);
        items << QString::fromStdString(uid.c_str()) + (item->findAndGetUint16(DCM_FailureReason, reason).good() ? QStringLiteral("/%1").arg(reason) : QString());
    }
    return items;
}

// The program's listener for reports on an association of their own, by
// DCMTK's SCP: the storage commitment class with the SCP role for the
// requestor, answers with the affected UIDs.
class ReportListener : public DcmSCP {
public:
    ReportListener()
    {
        setAETitle("VARNELO");
        setPort(port);
        addPresentationContext(UID_StorageCommitmentPushModelSOPClass, littleEndian(), ASC_SC_ROLE_SCUSCP);
        setConnectionBlockingMode(DUL_NOBLOCK);
        setConnectionTimeout(1);
        EXPECT_TRUE(openListenPort().good());
        thread = std::thread([this] { acceptAssociations(); });
    }
    ~ReportListener() override
    {
        stop = true;
        thread.join();
    }

    const quint16 port = testsupport::freeLoopbackPort();
    std::atomic<int> eventType {0};  // of the report on Transaction

protected:
    OFBool stopAfterConnectionTimeout() override { return stop; }
    OFCondition handleIncomingCommand(T_DIMSE_Message* msg, const DcmPresentationContextInfo& info) override
    {
        if (msg->CommandField != DIMSE_N_EVENT_REPORT_RQ)
            return DcmSCP::handleIncomingCommand(msg, info);
        T_ASC_PresentationContextID pid = info.presentationContextID;
        ::DcmDataset* received = nullptr;
        const OFCondition c = receiveDIMSEDataset(&pid, &received);
        const std::unique_ptr<::DcmDataset> report(received);
        if (c.bad())
            return c;
        OFString transaction;
        report->findAndGetOFString(DCM_TransactionUID, transaction);
        if (transaction == Transaction && reportItems(*report, DCM_ReferencedSOPSequence).size() == 1)
            eventType = msg->msg.NEventReportRQ.EventTypeID;
        T_DIMSE_Message rsp {};
        rsp.CommandField = DIMSE_N_EVENT_REPORT_RSP;
        T_DIMSE_N_EventReportRSP& r = rsp.msg.NEventReportRSP;
        r.MessageIDBeingRespondedTo = msg->msg.NEventReportRQ.MessageID;
        r.DimseStatus = STATUS_Success;
        r.DataSetType = DIMSE_DATASET_NULL;
        r.opts = O_NEVENTREPORT_AFFECTEDSOPCLASSUID | O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID;
        OFStandard::strlcpy(r.AffectedSOPClassUID, msg->msg.NEventReportRQ.AffectedSOPClassUID,
                            sizeof r.AffectedSOPClassUID);
        OFStandard::strlcpy(r.AffectedSOPInstanceUID, msg->msg.NEventReportRQ.AffectedSOPInstanceUID,
                            sizeof r.AffectedSOPInstanceUID);
        return sendDIMSEMessage(pid, &rsp, nullptr);
    }

private:
    std::atomic<bool> stop {false};
    std::thread thread;
};

}  // namespace

// ---- What a PACS already holds ---------------------------------------------

namespace {

// One study of 25 images in one series, the first 15 stored, its patient's
// name in Latin-1; a second study stored under another Patient ID.
struct Holdings {
    QString study, series, otherStudy;
    QStringList stored, notStored;
};

Holdings storeHoldings(const QString& folder, const Peer& pacs)
{
    td::ImageRecipe r;
    r.rows = r.columns = 8;
    r.patientId = QStringLiteral("CD-1");
    r.patientName = QStringLiteral("M\u00FCller^J\u00FCrgen");
    r.studyUid = DcmUtility::NewUID();
    r.seriesUid = DcmUtility::NewUID();
    Holdings h {r.studyUid, r.seriesUid, QString(), {}, {}};
    const QStringList files = td::makeSeries(folder + QStringLiteral("/q"), 25, r);
    DcmImageList list;
    DcmSender sender;
    for (int i = 0; i < files.size(); ++i) {
        (i < 15 ? h.stored : h.notStored) << DcmUtility::ReadHeader(files[i]).SOPInstanceUID;
        if (i < 15) {
            EXPECT_EQ(store(sender, list, files[i], pacs), 0);
        }
        list.Clear();
    }
    td::ImageRecipe other = r;
    other.patientId = QStringLiteral("PACS-7");
    other.issuerOfPatientId = QStringLiteral("NORTH");
    other.patientName = QStringLiteral("Other^Patient");
    other.studyUid = DcmUtility::NewUID();
    other.seriesUid.clear();
    h.otherStudy = other.studyUid;
    td::makeImage(folder + QStringLiteral("/r"), other);
    EXPECT_EQ(store(sender, list, folder + QStringLiteral("/r"), pacs), 0);
    return h;
}

DcmStudyQueryClient clientFor(const Peer& pacs)
{
    DcmStudyQueryClient c;
    c.PeerHost = QStringLiteral("127.0.0.1");
    c.PeerPort = pacs.port();
    c.CalledAETitle = pacs.aeTitle();
    c.CallingAETitle = Calling;
    return c;
}

QSet<QString> setOf(const QStringList& uids)
{
    return QSet<QString>(uids.begin(), uids.end());
}

// What every PACS must answer alike; `counts` and `issuers` for one that
// keeps them.
void expectHoldings(DcmStudyQueryClient& client, const Holdings& h, bool counts, bool issuers)
{
    EXPECT_FALSE(client.FindStudy(DcmUtility::NewUID()).Found);
    const DcmStudyHolding q = client.FindStudy(h.study);
    EXPECT_TRUE(q.Found);
    EXPECT_EQ(q.Patient.PatientID, QStringLiteral("CD-1"));
    EXPECT_EQ(q.Patient.PatientName, QStringLiteral("M\u00FCller^J\u00FCrgen"));
    EXPECT_EQ(q.RelatedInstances, counts ? 15 : -1);
    const DcmStudyHolding r = client.FindStudy(h.otherStudy);
    EXPECT_TRUE(r.Found);
    EXPECT_EQ(r.Patient.PatientID, QStringLiteral("PACS-7"));
    EXPECT_EQ(r.Patient.PatientName, QStringLiteral("Other^Patient"));
    if (issuers) {
        EXPECT_EQ(r.Patient.IssuerOfPatientID, QStringLiteral("NORTH"));
    }
    EXPECT_EQ(r.RelatedInstances, counts ? 1 : -1);

    client.ChunkSize = 10;
    EXPECT_TRUE(client.FindInstances(h.study, h.series, h.notStored).isEmpty());
    EXPECT_EQ(client.FindInstances(h.study, h.series, {h.stored[0], h.notStored[3], h.stored[14]}),
              (QSet<QString> {h.stored[0], h.stored[14]}));
    EXPECT_EQ(client.FindInstances(h.study, h.series, h.notStored + h.stored), setOf(h.stored));  // three chunks
    EXPECT_TRUE(client.FindInstances(h.study, DcmUtility::NewUID(), h.stored).isEmpty());
    EXPECT_TRUE(client.FindInstances(h.study, h.series, {}).isEmpty());
}

}  // namespace

TEST_F(Network, OrthancSaysWhatItHoldsOfAStudy)
{
    Peer::Options o;
    o.aeTitle = QStringLiteral("ORTHANC");
    o.allowFind = true;
    auto pacs = Peer::orthanc(o);
    const Holdings h = storeHoldings(dir.path(), *pacs);
    DcmStudyQueryClient client = clientFor(*pacs);
    expectHoldings(client, h, true, true);
    client.Release();

    // An AE title it does not know may not ask: it aborts at the query.
    o.allowFind = false;
    auto closed = Peer::orthanc(o);
    DcmStudyQueryClient refused = clientFor(*closed);
    const Error e = errorOf([&] { refused.FindStudy(h.study); });
    EXPECT_EQ(e.number(), DicomErrc::ConnectionLost) << e.description().toStdString();
    EXPECT_TRUE(e.description().contains(QStringLiteral("calling AE title VARNELO"))) << e.description().toStdString();
}

// dcmqrscp leaves the count out and answers in the stored files' Latin-1;
// its UID list matching is what FindInstances relies on.
TEST_F(Network, DcmqrscpSaysWhatItHoldsOfAStudy)
{
    Peer::Options o;
    o.aeTitle = QStringLiteral("ARCHIVE");
    auto pacs = Peer::dcmqrscp(o);
    const Holdings h = storeHoldings(dir.path(), *pacs);
    const int storing = pacs->associationsReceived();
    {
        DcmStudyQueryClient client = clientFor(*pacs);
        expectHoldings(client, h, false, false);
    }
    // one association; three studies, and 1 + 1 + 3 + 2 chunks of at most 10 UIDs
    EXPECT_EQ(pacs->associationsReceived(), storing + 1) << pacs->log().toStdString();
    EXPECT_EQ(pacs->countInLog(QStringLiteral("Received Find SCP")), 10);

    // One client per thread, at once.
    std::vector<QSet<QString>> found(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            DcmStudyQueryClient client = clientFor(*pacs);
            client.ChunkSize = 4;
            try {
                found[static_cast<size_t>(t)] = client.FindInstances(h.study, h.series, h.stored + h.notStored);
            } catch (const Error& e) {
                ADD_FAILURE() << e.description().toStdString();
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(found[0], setOf(h.stored));
    EXPECT_EQ(found[1], setOf(h.stored));
}

// A PACS that cannot be asked: the caller learns why in one line.
TEST_F(Network, StudyQueryFailuresSayWhy)
{
    auto storeOnly = storescp();
    DcmStudyQueryClient client = clientFor(*storeOnly);
    const Error noQuery = errorOf([&] { client.FindStudy(DcmUtility::NewUID()); });
    EXPECT_EQ(noQuery.number(), DicomErrc::NoPresentationContext);
    EXPECT_TRUE(noQuery.description().contains(QStringLiteral("Study Root query"))) << noQuery.description().toStdString();
    EXPECT_FALSE(noQuery.description().contains(QLatin1Char('\n')));
    EXPECT_TRUE(storeOnly->waitForLog(QStringLiteral("Association Release"), 1)) << storeOnly->log().toStdString();

    client.PeerPort = testsupport::freeLoopbackPort();
    EXPECT_EQ(errorOf([&] { client.FindInstances(DcmUtility::NewUID(), DcmUtility::NewUID(), {DcmUtility::NewUID()}); }).number(),
              DicomErrc::CannotConnect);
    auto refusing = storescp({QStringLiteral("--refuse")});
    client.PeerPort = refusing->port();
    EXPECT_EQ(errorOf([&] { client.FindStudy(DcmUtility::NewUID()); }).number(), DicomErrc::AssociationRejected);

    // a peer that never answers holds the caller no longer than TimeoutSeconds
    testsupport::SilentListener silent;
    client.PeerPort = silent.port();
    client.TimeoutSeconds = 2;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(errorOf([&] { client.FindStudy(DcmUtility::NewUID()); }).number(), DicomErrc::Timeout);
    EXPECT_GE(t.elapsed(), 1500);
    EXPECT_LT(t.elapsed(), 5000);
}

// CommitScp in each of its ways, with DCMTK's SCU and SCP as the program.
TEST_F(Network, CommitScpReportsAsToldAndAnswersFindWithoutCommitment)
{
    const QStringList files = td::makeSeries(dir.filePath("series"), 3, td::ImageRecipe());
    QStringList uids;
    for (const QString& f : files)
        uids << QString::fromStdString(td::contentOf(f)["(0008,0018)"]);
    {
        SCOPED_TRACE("same association: the second image fails as told, the third was never stored");
        CommitScp::Options o;
        o.failUids = QStringList {uids[1]};
        CommitScp pacs(o);
        auto scu = commitScu(pacs);
        EXPECT_EQ(store(*scu, files[0]), 0);
        EXPECT_EQ(store(*scu, files[1]), 0);
        EXPECT_EQ(askCommitment(*scu, uids), 0);
        ::DcmDataset* received = nullptr;
        Uint16 eventType = 0;
        ASSERT_TRUE(scu->handleEVENTREPORTRequest(received, eventType, 5).good());
        const std::unique_ptr<::DcmDataset> report(received);
        EXPECT_EQ(eventType, 2);
        OFString transaction;
        report->findAndGetOFString(DCM_TransactionUID, transaction);
        EXPECT_EQ(transaction, Transaction);
        EXPECT_EQ(reportItems(*report, DCM_ReferencedSOPSequence), QStringList {uids[0]});
        EXPECT_EQ(reportItems(*report, DCM_FailedSOPSequence), (QStringList {uids[1] + "/274", uids[2] + "/274"}));
        scu->releaseAssociation();
        EXPECT_EQ(pacs.storedUids(), uids.mid(0, 2));
        EXPECT_EQ(pacs.actionsReceived(), 1);
        EXPECT_EQ(pacs.lastActionUids(), uids);
        EXPECT_TRUE(pacs.waitForEventReports(1));
        // DCMTK's SCU answers without the affected UIDs, which Orthanc refuses
        EXPECT_EQ(pacs.eventReportsAcknowledged(), 0);
    }
    {
        SCOPED_TRACE("refused");
        CommitScp::Options o;
        o.mode = CommitScp::Mode::RefuseAction;
        CommitScp pacs(o);
        auto scu = commitScu(pacs);
        EXPECT_EQ(askCommitment(*scu, uids), 0x0110);
        scu->releaseAssociation();
        EXPECT_EQ(pacs.actionsReceived(), 1);
        EXPECT_EQ(pacs.eventReportsSent(), 0);
    }
    {
        SCOPED_TRACE("no commitment: C-FIND lists what was stored among the UIDs asked for");
        CommitScp::Options o;
        o.mode = CommitScp::Mode::NoCommitment;
        CommitScp pacs(o);
        auto scu = commitScu(pacs);
        EXPECT_EQ(scu->findPresentationContextID(UID_StorageCommitmentPushModelSOPClass, ""), 0);
        EXPECT_EQ(store(*scu, files[0]), 0);
        EXPECT_EQ(store(*scu, files[2]), 0);
        ::DcmDataset keys;
        keys.putAndInsertString(DCM_QueryRetrieveLevel, "IMAGE");
        keys.putAndInsertString(DCM_StudyInstanceUID, td::contentOf(files[0])["(0020,000d)"].c_str());
        keys.putAndInsertString(DCM_SeriesInstanceUID, "");
        keys.putAndInsertString(DCM_SOPInstanceUID, (uids[0] + "\\" + uids[1]).toStdString().c_str());
        keys.putAndInsertString(DCM_SOPClassUID, "");
        OFList<QRResponse*> responses;
        EXPECT_TRUE(
            scu->sendFINDRequest(scu->findPresentationContextID(UID_FINDStudyRootQueryRetrieveInformationModel, ""),
                                 &keys, &responses)
                .good());
        QStringList found;
        for (QRResponse* r : responses) {
            OFString uid;
            if (r->m_dataset && r->m_dataset->findAndGetOFString(DCM_SOPInstanceUID, uid).good())
                found << QString::fromStdString(uid.c_str());
            delete r;
        }
        EXPECT_EQ(found, QStringList {uids[0]});
        scu->releaseAssociation();
        EXPECT_EQ(pacs.findsReceived(), 1);
    }
    {
        SCOPED_TRACE("new association to the program's listener");
        ReportListener listener;
        CommitScp::Options o;
        o.mode = CommitScp::Mode::NewAssociation;
        o.reportPort = listener.port;
        CommitScp pacs(o);
        auto scu = commitScu(pacs);
        EXPECT_EQ(store(*scu, files[0]), 0);
        EXPECT_EQ(askCommitment(*scu, {uids[0]}), 0);
        scu->releaseAssociation();
        EXPECT_TRUE(pacs.waitForEventReports(1));
        EXPECT_EQ(listener.eventType, 1);
        EXPECT_EQ(pacs.eventReportsAcknowledged(), 1);
    }
}

namespace {

namespace cf = varnelo::conformance;

// Takes association requests on a loopback port, writes down who sent each
// and what it proposes, and rejects them all.
class RecordingPeer {
public:
    struct Request {
        QString implementationClassUid, implementationVersionName;
        std::vector<cf::Context> contexts;
    };

    RecordingPeer()
    {
        for (int attempt = 0; !net_; ++attempt) {
            port_ = testsupport::freeLoopbackPort();
            if (ASC_initializeNetwork(NET_ACCEPTOR, port_, 5, &net_).bad() && attempt == 4)
                throw std::runtime_error("RecordingPeer cannot listen");
        }
        thread_ = std::thread([this] { run(); });
    }
    ~RecordingPeer()
    {
        stop_ = true;
        thread_.join();
        ASC_dropNetwork(&net_);
    }
    quint16 port() const { return port_; }
    std::vector<Request> requests() const
    {
        const std::lock_guard lock(m_);
        return requests_;
    }

private:
    void run()
    {
        while (!stop_) {
            if (!ASC_associationWaiting(net_, 1))
                continue;
            T_ASC_Association* a = nullptr;
            if (ASC_receiveAssociation(net_, &a, ASC_DEFAULTMAXPDU).good()) {
                Request r {QLatin1String(a->params->theirImplementationClassUID),
                           QLatin1String(a->params->theirImplementationVersionName), {}};
                for (int i = 0; i < ASC_countPresentationContexts(a->params); ++i) {
                    T_ASC_PresentationContext pc;
                    ASC_getPresentationContext(a->params, i, &pc);
                    cf::Context c {QLatin1String(pc.abstractSyntax), {}};
                    for (int t = 0; t < pc.transferSyntaxCount; ++t)
                        c.transferSyntaxes << QLatin1String(pc.proposedTransferSyntaxes[t]);
                    r.contexts.push_back(c);
                }
                {
                    const std::lock_guard lock(m_);
                    requests_.push_back(r);
                }
                T_ASC_RejectParameters rej {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER, ASC_REASON_SU_NOREASON};
                ASC_rejectAssociation(a, &rej);
            }
            if (a) {
                ASC_dropAssociation(a);
                ASC_destroyAssociation(&a);
            }
        }
    }

    T_ASC_Network* net_ = nullptr;
    quint16 port_ = 0;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
    mutable std::mutex m_;
    std::vector<Request> requests_;
};

}  // namespace

// What a peer sees of every kind of association the program opens is what
// docs/conformance.md prints from the same table, and it names this program.
TEST_F(Network, EveryAssociationProposesWhatTheTableSaysAndNamesThisProgram)
{
    RecordingPeer peer;
    const QString host = QStringLiteral("127.0.0.1");
    const QString called = QStringLiteral("RECORDER");

    EXPECT_EQ(DcmNetwork::ProbeConnection(host, peer.port(), Calling, called), ProbeResult::AssociationRejected);
    const QString file = dir.filePath(QStringLiteral("mr.dcm"));
    td::ImageRecipe mr;
    mr.sop = td::Sop::MR;
    td::makeImage(file, mr);
    DcmImageList list;
    DcmSender sender;
    list.LoadFile(file);
    EXPECT_THROW(sender.Store(list.ItemAt(1), host, peer.port(), Calling, called), Error);
    DcmFindClient find;
    find.PeerHost = host;
    find.PeerPort = peer.port();
    find.CalledAETitle = called;
    find.CallingAETitle = Calling;
    EXPECT_THROW(find.RunFind(worklistQuery(Calling)), Error);
    EXPECT_EQ(ProbeDestination(host, peer.port(), Calling, called).status, ProbeResult::AssociationRejected);
    {
        DcmCommitSession session(host, peer.port(), Calling, called, {}, 0, 1);
        session.Add({QLatin1String(UID_MRImageStorage), DcmUtility::NewUID(), DcmUtility::NewUID()});
        EXPECT_EQ(session.Finish(10, [] { return true; }).outcome, DcmCommitResult::Outcome::NotOffered);
    }
    DcmStudyQueryClient study;
    study.PeerHost = host;
    study.PeerPort = peer.port();
    study.CalledAETitle = called;
    study.CallingAETitle = Calling;
    EXPECT_THROW(study.FindStudy(DcmUtility::NewUID()), Error);

    const auto requests = peer.requests();
    ASSERT_GE(requests.size(), 6u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.implementationClassUid, cf::implementationClassUid());
        EXPECT_EQ(r.implementationVersionName, cf::implementationVersionName());
    }
    EXPECT_EQ(requests[0].contexts, cf::contextsFor(cf::Echo));
    const auto storage = cf::contextsFor(cf::Store);
    const auto mrRow = std::find_if(storage.begin(), storage.end(),
                                    [](const cf::Context& c) { return c.abstractSyntax == QLatin1String(UID_MRImageStorage); });
    ASSERT_NE(mrRow, storage.end());
    EXPECT_EQ(requests[1].contexts, std::vector<cf::Context> {*mrRow});
    EXPECT_EQ(requests[2].contexts, cf::contextsFor(cf::Worklist));
    EXPECT_EQ(requests[3].contexts, cf::contextsFor(cf::ConnectionTest));
    EXPECT_EQ(requests[4].contexts, cf::contextsFor(cf::Commit));
    for (size_t i = 5; i + 1 < requests.size(); ++i)
        EXPECT_TRUE(requests[i].contexts == cf::contextsFor(cf::CommitQuery) || requests[i].contexts == cf::contextsFor(cf::Commit));
    EXPECT_EQ(requests.back().contexts, cf::contextsFor(cf::StudyQuery));
}

// A compressed image goes in its own syntax, alone in its context, before
// the uncompressed ones.
TEST_F(Network, ACompressedImageIsProposedInItsOwnSyntaxFirst)
{
    RecordingPeer peer;
    const QString file = dir.filePath(QStringLiteral("rle.dcm"));
    td::ImageRecipe ct;
    ct.syntax = td::Syntax::Rle;
    td::makeImage(file, ct);
    DcmImageList list;
    DcmSender sender;
    list.LoadFile(file);
    EXPECT_THROW(sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer.port(), Calling, QStringLiteral("RECORDER")), Error);
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto storage = cf::contextsFor(cf::Store);
    const auto ctRow = std::find_if(storage.begin(), storage.end(),
                                    [](const cf::Context& c) { return c.abstractSyntax == QLatin1String(UID_CTImageStorage); });
    ASSERT_NE(ctRow, storage.end());
    const std::vector<cf::Context> expected {{ctRow->abstractSyntax, {QLatin1String(UID_RLELosslessTransferSyntax)}}, *ctRow};
    EXPECT_EQ(requests[0].contexts, expected);
}

// The listener on CommitPort answers a PACS's report association as this
// program too.
TEST_F(Network, TheCommitmentListenerAnswersAsThisProgram)
{
    const quint16 listenPort = testsupport::freeLoopbackPort();
    CommitScp::Options o;
    o.mode = CommitScp::Mode::NewAssociation;
    o.reportPort = listenPort;
    o.reportCalledAe = Calling;
    CommitScp pacs(o);
    DcmCommitSession session(QStringLiteral("127.0.0.1"), pacs.port(), Calling, pacs.aeTitle(), {}, listenPort, 1);
    session.Add({QLatin1String(UID_CTImageStorage), DcmUtility::NewUID(), DcmUtility::NewUID()});
    const DcmCommitResult result = session.Finish(20, [] { return true; });
    EXPECT_EQ(result.outcome, DcmCommitResult::Outcome::Answered) << result.why.toStdString();
    EXPECT_EQ(pacs.reportListenerIdentity(), cf::implementationClassUid() + QLatin1Char(' ') + cf::implementationVersionName());
}

namespace {

using testsupport::LimitedStorePeer;

std::unique_ptr<QProcess> startStorescu(const LimitedStorePeer& pacs, const QStringList& files)
{
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->start(testsupport::dcmtkTool(QStringLiteral("storescu")),
             QStringList {QStringLiteral("-v"), QStringLiteral("-aet"), Calling, QStringLiteral("-aec"), pacs.aeTitle(),
                          QStringLiteral("127.0.0.1"), QString::number(pacs.port())}
                 + files);
    return p;
}

template <typename F>
bool waitUntil(F&& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.hasExpired(timeoutMs))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

// The peer the tests of several associations rely on: a caller's third
// association is rejected as transient while its two others stay open, a
// refused instance is answered so and not kept, every kept one is counted.
TEST_F(Network, LimitedStorePeerLimitsEachCallerAndCountsWhatItKeeps)
{
    if (testsupport::dcmtkTool(QStringLiteral("storescu")).isEmpty())
        GTEST_SKIP() << "storescu is not installed";
    const QStringList files = td::makeSeries(dir.filePath("series"), 6, td::ImageRecipe());
    QStringList uids;
    for (const QString& f : files)
        uids << QString::fromStdString(td::contentOf(f)["(0008,0018)"]);
    {
        SCOPED_TRACE("three senders at once from one AE title, two allowed");
        LimitedStorePeer::Options o;
        o.maxAssociationsPerCaller = 2;
        o.storeDelayMs = 60000;  // the accepted ones stay open until the peer stops
        auto pacs = std::make_unique<LimitedStorePeer>(o);
        std::vector<std::unique_ptr<QProcess>> senders;
        for (int i = 0; i < 3; ++i)
            senders.push_back(startStorescu(*pacs, {files[i]}));
        EXPECT_TRUE(waitUntil([&] { return pacs->associationsRejected() + pacs->openAssociations() == 3; }, 20000));
        EXPECT_EQ(pacs->associationsAccepted(), 2);
        EXPECT_EQ(pacs->associationsRejected(), 1);
        EXPECT_EQ(pacs->peakAssociations(), 2);
        EXPECT_EQ(pacs->callingAeTitles(), QStringList {Calling});
        QElapsedTimer stopping;
        stopping.start();
        pacs.reset();
        EXPECT_LT(stopping.elapsed(), 3000);  // two associations in a C-STORE's work
        int limited = 0;
        for (auto& s : senders) {
            EXPECT_TRUE(s->waitForFinished(10000));
            limited += s->readAll().count("Local Limit Exceeded");
        }
        EXPECT_EQ(limited, 1);
    }
    SCOPED_TRACE("two senders, one instance refused, one sent twice");
    LimitedStorePeer::Options o;
    o.maxAssociationsPerCaller = 2;
    o.failInstances = QStringList {uids[5]};
    LimitedStorePeer pacs(o);
    auto first = startStorescu(pacs, files.mid(0, 3));
    auto second = startStorescu(pacs, files.mid(3, 2) + QStringList {files[0], files[5]});  // halts at the refusal
    for (QProcess* s : {first.get(), second.get()})
        EXPECT_TRUE(s->waitForFinished(20000));
    EXPECT_TRUE(pacs.waitForInstances(6, 5000));
    QMap<QString, int> expected;
    for (const QString& uid : uids.mid(0, 5))
        expected[uid] = 1;
    expected[uids[0]] = 2;
    EXPECT_EQ(pacs.receivedCounts(), expected);
    EXPECT_EQ(pacs.instancesReceived(), 6);
    EXPECT_EQ(pacs.failuresAnswered(), 1);
    const QByteArray said = second->readAll();
    EXPECT_TRUE(said.contains("Refused: OutOfResources")) << said.toStdString();
    EXPECT_EQ(pacs.associationsRejected(), 0);
    EXPECT_EQ(pacs.openAssociations(), 0);
}

TEST(Conformance, TheTablesHoldWhatTheyClaim)
{
    DcmUtility::Prepare();
    for (const cf::NamedUid& ts : cf::decodedSyntaxes()) {
        const DcmXfer xfer(ts.uid);
        ASSERT_NE(xfer.getXfer(), EXS_Unknown) << ts.name;
        EXPECT_TRUE(xfer.isEncapsulated()) << ts.name;
        EXPECT_TRUE(DcmCodecList::canChangeCoding(xfer.getXfer(), EXS_LittleEndianExplicit)) << ts.name;
    }
    for (const cf::StorageClass& c : cf::storageClasses())
        EXPECT_TRUE(dcmIsaStorageSOPClassUID(c.uid)) << c.uid;
    // every context of one association has an odd id below 256
    EXPECT_LE(cf::contextsFor(cf::ConnectionTest).size(), 128u);

    const QString uid = cf::implementationClassUid();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^2\\.25\\.[1-9][0-9]*$")).match(uid).hasMatch()) << uid.toStdString();
    EXPECT_LE(uid.size(), 64);
    const QString name = cf::implementationVersionName();
    EXPECT_TRUE(name.startsWith(QLatin1String("VARNELO_")));
    EXPECT_LE(name.size(), 16);
}

// ---- DICOMweb against Orthanc's plugin ------------------------------------

namespace {

class DicomWebTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    quint16 httpPort = 0;

    std::unique_ptr<Peer> orthanc(Peer::Options o = {})
    {
        o.aeTitle = QStringLiteral("ORTHANC");
        o.dicomWeb = true;
        o.httpPort = httpPort = testsupport::freeLoopbackPort();
        return Peer::orthanc(o);
    }
    DcmWebService service(const QString& scheme = QStringLiteral("http")) const
    {
        DcmWebService s;
        s.base = QUrl(QStringLiteral("%1://127.0.0.1:%2/dicom-web").arg(scheme).arg(httpPort));
        s.user = QStringLiteral("user");
        s.password = QStringLiteral("pass");
        return s;
    }
    DcmImage load(DcmImageList& list, const td::ImageRecipe& r, const QString& name)
    {
        td::makeImage(dir.filePath(name), r);
        list.LoadFile(dir.filePath(name));
        return list.ItemAt(list.Count());
    }
};

}  // namespace

TEST_F(DicomWebTest, StoresABatchAsItStandsAndListsIt)
{
    Peer::Options o;
    o.httpUser = QStringLiteral("user");
    o.httpPassword = QStringLiteral("pass");
    auto pacs = orthanc(o);
    DcmWebClient client(service());
    client.Probe();

    td::ImageRecipe r;
    r.studyUid = QStringLiteral("1.2.826.0.1.3680043.2.1143.9001");
    DcmImageList list;
    std::vector<DcmImage> images;
    for (int i = 0; i < 3; ++i)
        images.push_back(load(list, r, QStringLiteral("plain%1").arg(i)));
    images.push_back(load(list, r, QStringLiteral("changed")));
    images.back().setPatientID(QStringLiteral("NEW0001"));
    td::ImageRecipe jpeg = r;
    jpeg.syntax = td::Syntax::JpegLossless;
    images.push_back(load(list, jpeg, QStringLiteral("jpeg")));
    td::ImageRecipe bare = r;  // no file meta information: written out by DCMTK
    bare.syntax = td::Syntax::ImplicitLittle;
    bare.withMetaHeader = false;
    images.push_back(load(list, bare, QStringLiteral("bare")));

    const std::vector<DcmWebOutcome> outcomes = client.Store(images);
    ASSERT_EQ(outcomes.size(), images.size());
    QSet<QString> uids;
    for (size_t i = 0; i < images.size(); ++i) {
        EXPECT_EQ(outcomes[i].sopInstanceUID, images[i].SOPInstanceUID());
        EXPECT_TRUE(outcomes[i].stored) << outcomes[i].reason.toStdString();
        uids.insert(images[i].SOPInstanceUID());
    }
    // sent uncompressed, as after a refusal of its syntax
    jpeg.studyUid = r.studyUid;
    DcmImage decoded = load(list, jpeg, QStringLiteral("jpeg2"));
    const auto second = client.Store({decoded}, true);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].stored) << second[0].reason.toStdString();
    uids.insert(decoded.SOPInstanceUID());

    EXPECT_EQ(client.InstancesOf(r.studyUid), uids);
    EXPECT_TRUE(client.InstancesOf(QStringLiteral("1.2.826.0.1.3680043.2.1143.9999")).isEmpty());

    ASSERT_TRUE(pacs->waitForFiles(static_cast<int>(uids.size())));
    auto arrived = [&](const DcmImage& image) { return receivedWithUid(*pacs, image.SOPInstanceUID().toStdString()); };
    EXPECT_EQ(td::contentOf(arrived(images[0]), true), td::contentOf(dir.filePath("plain0"), true));
    EXPECT_EQ(td::contentOf(arrived(images[3])).at("(0010,0020)"), "NEW0001");
    EXPECT_EQ(td::transferSyntaxOf(arrived(images[4])), QStringLiteral("1.2.840.10008.1.2.4.70"));
    EXPECT_EQ(td::contentOf(arrived(images[5])), td::contentOf(dir.filePath("bare")));
    EXPECT_EQ(td::transferSyntaxOf(arrived(decoded)), QStringLiteral("1.2.840.10008.1.2.1"));
    EXPECT_EQ(td::contentOf(arrived(decoded)), td::contentOf(dir.filePath("jpeg2")));
}

TEST_F(DicomWebTest, RefusalsAndAbsentServicesRaise)
{
    Peer::Options o;
    o.httpUser = QStringLiteral("user");
    o.httpPassword = QStringLiteral("pass");
    auto pacs = orthanc(o);
    DcmImageList list;
    const std::vector<DcmImage> images {load(list, td::ImageRecipe {}, QStringLiteral("img"))};

    DcmWebService wrong = service();
    wrong.password = QStringLiteral("guess");
    const Error refused = errorOf([&] { DcmWebClient(wrong).Store(images); });
    EXPECT_EQ(refused.number(), DicomErrc::WebAccessRefused);
    EXPECT_TRUE(refused.description().contains(QLatin1String("refused the user name/password"))) << refused.description().toStdString();

    DcmWebService elsewhere = service();
    elsewhere.base.setPath(QStringLiteral("/no-dicom-web"));
    const Error absent = errorOf([&] { DcmWebClient(elsewhere).Probe(); });
    EXPECT_EQ(absent.number(), DicomErrc::WebRequestFailed);
    EXPECT_TRUE(absent.description().contains(QLatin1String("no DICOMweb service"))) << absent.description().toStdString();

    DcmWebService closed = service();
    closed.base.setPort(testsupport::freeLoopbackPort());
    QElapsedTimer t;
    t.start();
    const Error nobody = errorOf([&] { DcmWebClient(closed).Store(images); });
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_EQ(nobody.number(), DicomErrc::CannotConnect) << nobody.description().toStdString();
    EXPECT_EQ(pacs->receivedFiles().size(), 0);
}

TEST_F(DicomWebTest, AbortEndsAStoreFromAnotherThread)
{
    testsupport::SilentListener silent;  // connects, never answers
    DcmWebService s;
    s.base = QUrl(QStringLiteral("http://127.0.0.1:%1/dicom-web").arg(silent.port()));
    DcmWebClient client(s);
    DcmImageList list;
    std::vector<DcmImage> images;
    for (int i = 0; i < 3; ++i)
        images.push_back(load(list, td::ImageRecipe {}, QStringLiteral("img%1").arg(i)));

    std::atomic<int> number {0};
    std::atomic<bool> done {false};
    std::thread worker([&] {
        try {
            client.Store(images);
        } catch (const Error& e) {
            number = e.number();
        }
        done = true;
    });
    QThread::msleep(500);
    EXPECT_FALSE(done);
    QElapsedTimer t;
    t.start();
    client.Abort();
    while (!done && t.elapsed() < 5000)
        QThread::msleep(10);
    EXPECT_LT(t.elapsed(), 1000);
    worker.join();
    EXPECT_EQ(number, DicomErrc::ConnectionLost);
    // the client stays stopped
    EXPECT_EQ(errorOf([&] { client.Probe(); }).number(), DicomErrc::ConnectionLost);
}

TEST_F(DicomWebTest, HttpsTrustsOnlyTheGivenCertificates)
{
    const auto certs = testsupport::makeTestCertificates(dir.path());
    // a certificate for 127.0.0.1 from the test CA, on a plain web server:
    // it answers, but not as a DICOMweb service
    QFile ext(dir.filePath("san.cnf"));
    ASSERT_TRUE(ext.open(QIODevice::WriteOnly));
    ext.write("subjectAltName=IP:127.0.0.1\n");
    ext.close();
    QProcess sign;
    sign.setWorkingDirectory(dir.path());
    sign.start(QStringLiteral("/usr/bin/openssl"), {"x509", "-req", "-sha256", "-days", "2", "-in", "server.csr", "-CA", "ca.pem",
                                                    "-CAkey", "ca.key", "-set_serial", "77", "-extfile", "san.cnf", "-out", "https.pem"});
    ASSERT_TRUE(sign.waitForFinished(30000) && sign.exitCode() == 0) << sign.readAllStandardError().toStdString();
    const char* script = R"(import http.server, ssl, sys
class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<html>a web page</html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
server = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Page)
tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
tls.load_cert_chain(sys.argv[2], sys.argv[3])
server.socket = tls.wrap_socket(server.socket, server_side=True)
server.serve_forever()
)";
    httpPort = testsupport::freeLoopbackPort();
    QProcess server;
    server.start(QStringLiteral("/usr/bin/python3"), {"-c", script, QString::number(httpPort), dir.filePath("https.pem"), certs.serverKey});
    struct Stop {
        QProcess& p;
        ~Stop()
        {
            p.kill();
            p.waitForFinished(5000);
        }
    } stop {server};
    ASSERT_TRUE(server.waitForStarted(5000));
    DcmWebService s = service(QStringLiteral("https"));
    s.trustedCertificates = certs.ca;
    QElapsedTimer listening;
    listening.start();
    Error answered = errorOf([&] { DcmWebClient(s).Probe(); });
    while (answered.number() == DicomErrc::CannotConnect && listening.elapsed() < 5000) {
        QThread::msleep(50);
        answered = errorOf([&] { DcmWebClient(s).Probe(); });
    }
    EXPECT_EQ(answered.number(), DicomErrc::WebRequestFailed) << answered.description().toStdString();
    EXPECT_TRUE(answered.description().contains(QLatin1String("not as a DICOMweb service"))) << answered.description().toStdString();

    s.trustedCertificates = certs.strangerCa;
    const Error stranger = errorOf([&] { DcmWebClient(s).Probe(); });
    EXPECT_EQ(stranger.number(), DicomErrc::PeerNotTrusted) << stranger.description().toStdString();
    s.trustedCertificates = certs.serverKey;  // no certificate in it
    EXPECT_EQ(errorOf([&] { DcmWebClient(s).Probe(); }).number(), DicomErrc::TlsFileUnusable);
}
