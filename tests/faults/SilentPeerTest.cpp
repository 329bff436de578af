// A peer that accepts the association and then never answers: the
// connection test and a send each give up after the DIMSE bound (about a
// minute, both at once), and the run goes on.
#include "faults/FaultKit.h"

#include "dicom/Dicom.h"
#include "dicomnet/Network.h"

#include <QElapsedTimer>

#include <future>

using namespace varnelo;
using namespace varnelo::faults;
using testdata::FaultyScp;

namespace {

class SilentPeer : public FaultTest {};

}  // namespace

TEST_F(SilentPeer, ConnectionTestAndSendEndWithinTheDimseBound)
{
    const QStringList uids = images(media.path(), 1);
    FaultyScp::Options o;
    o.neverAnswer = true;
    FaultyScp probed(o);
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Ignore};

    const qint64 lower = (DicomTimeouts::DimseSeconds - 1) * 1000;
    const qint64 upper = (DicomTimeouts::DimseSeconds + 15) * 1000;

    auto probe = std::async(std::launch::async, [&] {
        QElapsedTimer t;
        t.start();
        const std::int32_t r = DcmNetwork::ProbeConnection("127.0.0.1", probed.port(), "VARNELO", probed.aeTitle());
        return std::make_pair(r, t.elapsed());
    });

    QElapsedTimer t;
    t.start();
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);
    const qint64 sendMs = t.elapsed();

    const auto [probeResult, probeMs] = probe.get();
    EXPECT_EQ(probeResult, ProbeResult::EchoFailed);
    EXPECT_GE(probeMs, lower);
    EXPECT_LT(probeMs, upper);
    EXPECT_EQ(probed.echoes(), 1);

    EXPECT_GE(sendMs, lower);
    EXPECT_LT(sendMs, upper);
    ASSERT_EQ(prompt.messages.size(), 1);
    const QString head = statusMessage(DicomErrc::Timeout, "127.0.0.1");
    EXPECT_TRUE(prompt.messages[0].startsWith(head)) << prompt.messages[0].toStdString();
    EXPECT_TRUE(prompt.messages[0].contains("no answer within the time limit")) << prompt.messages[0].toStdString();
    EXPECT_EQ(pacs.requested(), uids);
    EXPECT_TRUE(pacs.held().isEmpty());
    EXPECT_EQ(run.ImportedCount, 0);
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0].number, DicomErrc::Timeout);
    EXPECT_EQ(debug().count("FAILED"), 1);
}
