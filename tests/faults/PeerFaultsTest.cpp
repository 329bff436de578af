// Peers that misbehave: what the operator is asked, what each answer does,
// and whether the count and the logs agree with what the peer really holds.
#include "faults/FaultKit.h"

#include "dicom/Dicom.h"
#include "dicomnet/Network.h"
#include "support/Peers.h"

#include <QElapsedTimer>
#include <QSet>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <map>

using namespace varnelo;
using namespace varnelo::faults;
using testdata::FaultyScp;

namespace {

constexpr std::uint16_t OutOfResources = 0xA700;
constexpr std::uint16_t Coercion = 0xB000;

class PeerFaults : public FaultTest {};

QSet<QString> asSet(const QStringList& list)
{
    return QSet<QString>(list.begin(), list.end());
}

int countOf(const QStringList& list, const QString& s)
{
    return static_cast<int>(list.count(s));
}

}  // namespace

TEST_F(PeerFaults, FailureStatusIsPromptedAndWarningCountsAsStored)
{
    const QStringList uids = images(media.path(), 6);
    // image 2 fails once, image 5 always; image 3 is stored with a warning
    std::map<QString, int> attempts;
    FaultyScp::Options o;
    o.status = [&](int, const QString& uid) -> std::uint16_t {
        const int n = ++attempts[uid];
        if (uid == uids[1] && n == 1)
            return OutOfResources;
        if (uid == uids[4])
            return OutOfResources;
        if (uid == uids[2])
            return Coercion;
        return 0;
    };
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Retry, FailurePrompt::Ignore};

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    ASSERT_EQ(prompt.messages.size(), 2);
    // the peer's status, in plain words, and the image it refused
    for (const QString& m : prompt.messages) {
        EXPECT_TRUE(m.startsWith(statusMessage(OutOfResources, "127.0.0.1", pacs.aeTitle() + " refused the image (status 0xa700)."))) << m.toStdString();
        EXPECT_TRUE(m.contains("\r\n\r\nImage: ")) << m.toStdString();
    }
    EXPECT_FALSE(run.AbortRequested);

    QStringList expectedHeld = uids;
    expectedHeld.removeAt(4);
    EXPECT_EQ(asSet(pacs.held()), asSet(expectedHeld));
    EXPECT_EQ(pacs.held().size(), 5) << "each stored once";
    EXPECT_EQ(run.ImportedCount, pacs.held().size());
    // only the retried image went twice
    EXPECT_EQ(pacs.requested().size(), 7);
    EXPECT_EQ(countOf(pacs.requested(), uids[1]), 2);

    const auto errs = errors();
    ASSERT_EQ(errs.size(), 2u);
    for (const ErrorEntry& e : errs) {
        EXPECT_EQ(e.number, OutOfResources);
        EXPECT_EQ(e.source, "ReadCdDirectory");
    }
    EXPECT_TRUE(errs[0].description.contains("IM000002"));
    EXPECT_TRUE(errs[1].description.contains("IM000005"));
    const QStringList d = debug();
    EXPECT_EQ(d.count("OK"), 5);
    EXPECT_EQ(d.count("FAILED"), 2);
}

TEST_F(PeerFaults, AbortAnswerStopsTheWalkAfterTheFailedImage)
{
    const QStringList uids = images(media.path(), 4);
    FaultyScp::Options o;
    o.status = [&](int, const QString& uid) -> std::uint16_t { return uid == uids[1] ? OutOfResources : 0; };
    FaultyScp pacs(o);
    FaultyScp second;
    destination1(pacs);
    destination2(second);
    prompt.answers = {FailurePrompt::Abort};

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    EXPECT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(run.AbortRequested);
    EXPECT_EQ(pacs.held(), QStringList {uids[0]});
    EXPECT_EQ(pacs.requested(), (QStringList {uids[0], uids[1]}));
    EXPECT_EQ(run.ImportedCount, 1);
    // the aborted image never reached destination 2
    EXPECT_EQ(second.held(), QStringList {uids[0]});
    EXPECT_EQ(errors().size(), 1u);
}

TEST_F(PeerFaults, SecondDestinationFailureNamesItsHostAndKeepsTheCount)
{
    const QStringList uids = images(media.path(), 3);
    FaultyScp first;
    FaultyScp::Options o;
    std::map<QString, int> attempts;
    o.status = [&](int, const QString& uid) -> std::uint16_t {
        return uid == uids[0] && ++attempts[uid] == 1 ? OutOfResources : 0;
    };
    FaultyScp second(o);
    destination1(first);
    destination2(second, "localhost");
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Retry};

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].startsWith(statusMessage(OutOfResources, "localhost"))) << prompt.messages[0].toStdString();
    // a retry at destination 2 does not send to destination 1 again
    EXPECT_EQ(first.requested(), uids);
    EXPECT_EQ(second.requested(), (QStringList {uids[0], uids[0], uids[1], uids[2]}));
    EXPECT_EQ(first.held(), uids);
    EXPECT_EQ(second.held(), uids);
    EXPECT_EQ(run.ImportedCount, 3);
    EXPECT_EQ(debug().count("OK"), 3);
    EXPECT_EQ(debug().count("FAILED"), 1);
}

TEST_F(PeerFaults, AbortInTheMiddleOfAStoreIsPromptedWithTheReason)
{
    const QStringList uids = images(media.path(), 3);
    FaultyScp::Options o;
    o.abortDuringStore = {1};  // the first store of a fresh association
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Retry};

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    ASSERT_EQ(prompt.messages.size(), 1);
    // the number is this failure's own, not the status of an earlier image
    const QString head = statusMessage(DicomErrc::ConnectionLost, "127.0.0.1");
    EXPECT_TRUE(prompt.messages[0].startsWith(head)) << prompt.messages[0].toStdString();
    EXPECT_TRUE(prompt.messages[0].mid(head.size()).contains("connection was lost"))
        << prompt.messages[0].toStdString();
    EXPECT_EQ(pacs.held(), uids);
    EXPECT_EQ(run.ImportedCount, 3);
    EXPECT_EQ(countOf(pacs.requested(), uids[0]), 2);
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0].number, DicomErrc::ConnectionLost);
    EXPECT_TRUE(errs[0].description.contains("IM000001"));
    EXPECT_EQ(debug().count("FAILED"), 1);
    EXPECT_EQ(debug().count("OK"), 3);
}

TEST_F(PeerFaults, AbortOnAReusedAssociationNeverCostsACountOrADuplicate)
{
    const QStringList uids = images(media.path(), 4);
    FaultyScp::Options o;
    o.abortDuringStore = {3};  // image 3, after the command, before its data set
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    // Seen while the request still goes out, the drop is mended by one send
    // on a fresh association; seen only after it, the operator is asked
    // (answered Ignore here). Either way the count is what the peer holds.
    const bool asked = !prompt.messages.isEmpty();
    EXPECT_LE(prompt.messages.size(), 1);
    EXPECT_EQ(run.ImportedCount, pacs.held().size());
    for (const QString& uid : uids)
        EXPECT_LE(countOf(pacs.held(), uid), 1) << uid.toStdString();
    EXPECT_EQ(pacs.held().contains(uids[2]), !asked);
    EXPECT_EQ(countOf(pacs.requested(), uids[2]), asked ? 1 : 2);
    EXPECT_EQ(debug().count("OK"), run.ImportedCount);
    EXPECT_EQ(debug().count("FAILED"), asked ? 1 : 0);
}

// The peer keeps the data set and aborts before its answer: the image may be
// stored, so it goes again only when the operator says Retry.
TEST_F(PeerFaults, UnansweredStoreIsNotResentUnasked)
{
    const QStringList uids = images(media.path(), 3);
    FaultyScp::Options o;
    o.abortAfterStore = {2};  // image 2, on the association image 1 opened
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    EXPECT_EQ(countOf(pacs.requested(), uids[1]), 1) << "sent again only by Retry";
    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].contains("connection was lost"));
    EXPECT_EQ(run.ImportedCount, 2);
    EXPECT_EQ(pacs.held(), uids) << "held once; its answer never came";
    EXPECT_EQ(debug().count("FAILED"), 1);
}

TEST_F(PeerFaults, RefusedAssociationIsPromptedAndRetriedOnlyOnRequest)
{
    images(media.path(), 2);
    FaultyScp::Options o;
    o.refuseAssociations = true;
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Retry, FailurePrompt::Abort};

    EXPECT_EQ(DcmNetwork::ProbeConnection("127.0.0.1", pacs.port(), "VARNELO", pacs.aeTitle()),
              ProbeResult::AssociationRejected);
    const int probes = pacs.associationRequests();

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    ASSERT_EQ(prompt.messages.size(), 2);
    for (const QString& m : prompt.messages) {
        EXPECT_TRUE(m.startsWith(statusMessage(DicomErrc::AssociationRejected, "127.0.0.1"))) << m.toStdString();
        EXPECT_TRUE(m.contains("rejected the association")) << m.toStdString();
    }
    EXPECT_TRUE(run.AbortRequested);
    EXPECT_EQ(run.ImportedCount, 0);
    EXPECT_TRUE(pacs.held().isEmpty());
    EXPECT_EQ(pacs.associationRequests() - probes, 2) << "one per attempt, none of its own";
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 2u);
    EXPECT_EQ(errs[0].number, DicomErrc::AssociationRejected);
    EXPECT_EQ(debug().count("FAILED"), 2);
    EXPECT_EQ(debug().count("OK"), 0);
}

TEST_F(PeerFaults, ConnectionClosedAfterAcceptFailsEveryImageWithoutAHang)
{
    images(media.path(), 3);
    FaultyScp::Options o;
    o.closeAfterAccept = true;
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Ignore};
    prompt.tickAlwaysIgnore = {true};

    EXPECT_NE(DcmNetwork::ProbeConnection("127.0.0.1", pacs.port(), "VARNELO", pacs.aeTitle()), ProbeResult::Ok);

    QElapsedTimer t;
    t.start();
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);
    EXPECT_LT(t.elapsed(), 20000);

    ASSERT_EQ(prompt.messages.size(), 1) << "always ignore holds for the rest of the run";
    EXPECT_EQ(run.ImportedCount, 0);
    EXPECT_TRUE(pacs.held().isEmpty());
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 3u);
    // the prompt names the error of this send, as the error log does
    const QString head = statusMessage(errs[0].number, "127.0.0.1");
    EXPECT_NE(errs[0].number, 0);
    EXPECT_TRUE(prompt.messages[0].startsWith(head)) << prompt.messages[0].toStdString();
    EXPECT_GT(prompt.messages[0].size(), head.size()) << "the reason is given";
    EXPECT_EQ(debug().count("FAILED"), 3);
}

// ---- storage commitment against peers that take one association at a time,
// report late, from elsewhere, or too much ----------------------------------

namespace {

using testsupport::AddressRelay;
using testsupport::CommitScp;
using testsupport::DcmtkCommitScp;

class CommitFaults : public FaultTest {
protected:
    void to(const QString& ae, quint16 port)
    {
        appState().RemoteAET = ae;
        appState().RemoteIP = "127.0.0.1";
        appState().RemotePort = QString::number(port);
    }
    // Runs the scan of media/A and its sub folders; returns the time it took.
    qint64 scan(ImportRun& run)
    {
        QElapsedTimer t;
        t.start();
        run.ReadCdDirectory(mediaPath("A"), true);
        return t.elapsed();
    }
};

// A TCP connection to `port` on 127.0.0.1 that sends nothing; -1 while
// nothing listens there.
int idleConnection(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// Whether the other side closed `fd` within `ms`.
bool closedByPeer(int fd, int ms)
{
    pollfd p {fd, POLLIN, 0};
    char c = 0;
    return ::poll(&p, 1, ms) == 1 && ::recv(fd, &c, 1, 0) == 0;
}

}  // namespace

// DCMTK's DcmSCP serves one association at a time and reports on the
// request's: the commitment goes only while the walk holds no association
// there, so the second folder's first image does not wait out a bound behind
// it. VARNELO_COMMIT_IMAGES sets the number of images (255 for the figures)
// and VARNELO_COMMIT_SIZE their rows and columns (512 for a CT slice).
TEST_F(CommitFaults, OneAssociationPeerConfirmsTwoFoldersWithoutHoldingTheWalk)
{
    const int total = std::max(20, qEnvironmentVariableIntValue("VARNELO_COMMIT_IMAGES"));
    const int size = std::max(16, qEnvironmentVariableIntValue("VARNELO_COMMIT_SIZE"));
    const int first = total < 255 ? total * 2 / 3 : 200;
    images(mediaPath("A"), first, size);
    images(mediaPath("A/B"), total - first, size);
    const int batch = total < 255 ? first / 2 : 200;

    qint64 off = 0;
    {
        DcmtkCommitScp plain("DCMTKSCP", false);
        to(plain.aeTitle(), plain.port());
        ImportRun run(view, prompt, {});
        run.ConfirmBatch = batch;
        off = scan(run);
        EXPECT_EQ(plain.stored(), total);
        EXPECT_EQ(run.confirmations(), QStringList {"DCMTKSCP could not be asked to confirm."});
    }
    QFile::remove(mediaPath("A/migration.done"));
    QFile::remove(mediaPath("A/B/migration.done"));
    DcmtkCommitScp pacs;
    to(pacs.aeTitle(), pacs.port());
    ImportRun run(view, prompt, {});
    run.ConfirmBatch = batch;
    const qint64 with = scan(run);
    std::cout << total << " images to a one-association peer: " << with << " ms with storage commitment, " << off
              << " ms without" << std::endl;

    EXPECT_TRUE(prompt.messages.isEmpty()) << prompt.messages.join("\n").toStdString();
    EXPECT_EQ(run.ImportedCount, total);
    EXPECT_EQ(pacs.stored(), total);
    EXPECT_EQ(run.confirmations(), QStringList {QStringLiteral("DCMTKSCP confirmed all %1 images.").arg(total)});
    EXPECT_EQ(pacs.reportsAnsweredWithSuccess(), (total + batch - 1) / batch);
    EXPECT_LT(with, off * 3 / 2 + 3000) << "a bound waited out behind the commitment's association";
}

// A refusal is an answer: not asked again at the end of the run. The PACS
// that closes the request's association without a report, while no
// CommitPort is set, is told at once, not after the whole wait.
TEST_F(CommitFaults, RefusalIsAskedOnceAndAClosedAssociationNeedsAListener)
{
    images(mediaPath("A"), 3);
    images(mediaPath("A/B"), 3);
    {
        FaultyScp refusing;  // storage only
        destination1(refusing);
        ImportRun run(view, prompt, {});
        run.ConfirmBatch = 2;
        scan(run);
        EXPECT_EQ(run.confirmations(), QStringList {"FAULTY could not be asked to confirm."});
        EXPECT_EQ(refusing.associationRequests(), 2 + 1) << "one for each folder, one for the commitment";
    }

    CommitScp::Options o;
    o.mode = CommitScp::Mode::NewAssociation;
    o.closeAfterAction = true;
    CommitScp closing(o);
    to(closing.aeTitle(), closing.port());
    ImportRun run(view, prompt, {});
    run.ConfirmSeconds = 30;
    const qint64 took = scan(run);
    EXPECT_EQ(run.confirmations(),
              QStringList {"COMMITSCP could not confirm: it answers on an association of its own, and [DICOM] "
                           "CommitPort is not set."});
    EXPECT_LT(took, 10000);
    const auto errs = errors();
    ASSERT_FALSE(errs.empty());
    EXPECT_TRUE(errs.back().description.contains("closed the association without a commitment report"))
        << errs.back().description.toStdString();
}

// Only the destination's host, or a host of [DICOM] CommitHosts, may report:
// the same report relayed from 127.0.0.2 is not taken until CommitHosts
// names that address.
TEST_F(CommitFaults, ReportFromAnotherAddressIsTakenOnlyFromCommitHosts)
{
    images(mediaPath("A"), 3);
    appState().CommitPort = testsupport::freeLoopbackPort();
    AddressRelay relay(static_cast<quint16>(appState().CommitPort), "127.0.0.2");
    CommitScp::Options o;
    o.mode = CommitScp::Mode::NewAssociation;
    o.reportPort = relay.port();
    CommitScp pacs(o);
    to(pacs.aeTitle(), pacs.port());

    ImportRun forged(view, prompt, {});
    forged.ConfirmSeconds = 3;
    scan(forged);
    EXPECT_EQ(forged.confirmations(), QStringList {"COMMITSCP did not answer within 3 s."});
    EXPECT_GE(relay.connections(), 1) << "the report was tried from 127.0.0.2";
    EXPECT_EQ(pacs.eventReportsSent(), 0) << "its association was not even accepted";

    appState().CommitHosts = QStringList {"localhost", "127.0.0.2"};
    QFile::remove(mediaPath("A/migration.done"));
    ImportRun cluster(view, prompt, {});
    cluster.ConfirmSeconds = 10;
    scan(cluster);
    EXPECT_EQ(cluster.confirmations(), QStringList {"COMMITSCP confirmed all 3 images."});
    EXPECT_EQ(pacs.eventReportsAcknowledged(), 1);
}

// A connection that says nothing on CommitPort does not keep a real report
// out, and is closed within seconds, for the tests' PACS and for Orthanc.
TEST_F(CommitFaults, IdleConnectionOnCommitPortKeepsNoReportOut)
{
    images(mediaPath("A"), 3);
    appState().CommitPort = testsupport::freeLoopbackPort();
    const auto port = static_cast<quint16>(appState().CommitPort);
    int idle = -1;
    view.onYield = [&] {
        if (idle < 0)
            idle = idleConnection(port);
    };
    auto check = [&](ImportRun& run, const QString& confirmed) {
        run.ConfirmSeconds = 20;
        const qint64 took = scan(run);
        EXPECT_EQ(run.confirmations(), QStringList {confirmed});
        EXPECT_LT(took, 15000);
        ASSERT_GE(idle, 0) << "CommitPort never listened";
        EXPECT_TRUE(closedByPeer(idle, 5000)) << "the idle connection is still open";
        ::close(idle);
        idle = -1;
    };

    CommitScp::Options o;
    o.mode = CommitScp::Mode::NewAssociation;
    o.reportPort = port;
    o.reportDelayMs = 1500;  // after the idle connection
    {
        CommitScp pacs(o);
        to(pacs.aeTitle(), pacs.port());
        ImportRun run(view, prompt, {});
        check(run, "COMMITSCP confirmed all 3 images.");
    }

    testsupport::Peer::Options orthanc;
    orthanc.aeTitle = "ORTHANC";
    orthanc.modalityAet = "VARNELO";
    orthanc.modalityPort = port;
    auto peer = testsupport::Peer::orthanc(orthanc);
    to(peer->aeTitle(), peer->port());
    QFile::remove(mediaPath("A/migration.done"));
    ImportRun run(view, prompt, {});
    check(run, "ORTHANC confirmed all 3 images.");
}

// A report that lists far more than was asked is refused at once, not read
// item by item: every instance of its request stays unconfirmed.
TEST_F(CommitFaults, HugeReportIsRefusedQuickly)
{
    images(mediaPath("A"), 3);
    CommitScp::Options o;
    o.padReport = 60000;
    CommitScp pacs(o);
    to(pacs.aeTitle(), pacs.port());
    ImportRun run(view, prompt, {});
    run.ConfirmSeconds = 30;
    const qint64 took = scan(run);
    EXPECT_EQ(run.confirmations(), QStringList {"COMMITSCP confirmed 0 of 3 images; the error log names the others."});
    EXPECT_LT(took, 15000);
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 3u);
    EXPECT_TRUE(errs[0].description.contains("the report named 60003 instances for a request of 3"))
        << errs[0].description.toStdString();
}
