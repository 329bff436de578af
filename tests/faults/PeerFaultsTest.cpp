// Peers that misbehave: what the operator is asked, what each answer does,
// and whether the count and the logs agree with what the peer really holds.
#include "faults/FaultKit.h"

#include "dicom/Dicom.h"

#include <QElapsedTimer>
#include <QSet>

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
    // a status answered without an error: the reason line stays empty
    EXPECT_EQ(prompt.messages[0], statusMessage(OutOfResources, "127.0.0.1"));
    EXPECT_EQ(prompt.messages[1], statusMessage(OutOfResources, "127.0.0.1"));
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
    EXPECT_EQ(prompt.messages[0], statusMessage(OutOfResources, "localhost"));
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

    EXPECT_EQ(DcmUtility::ProbeConnection("127.0.0.1", pacs.port(), "VARNELO", pacs.aeTitle()),
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

    EXPECT_NE(DcmUtility::ProbeConnection("127.0.0.1", pacs.port(), "VARNELO", pacs.aeTitle()), ProbeResult::Ok);

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
