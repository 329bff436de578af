// "Test connections" against real peers: Orthanc with its worklist,
// storescp (no commitment), a stopped PACS, and a port for confirmations
// that another program holds.

#include "import/ConnectionCheck.h"
#include "base/ProgramFolder.h"
#include "dicomnet/Conformance.h"
#include "dicom/testdata/TestData.h"
#include "support/Peers.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace varnelo;
using varnelo::testsupport::Peer;

namespace {

const QString Local = QStringLiteral("127.0.0.1");

ConnectionTarget target(const QString& ae, quint16 port)
{
    return {ae, Local, QString::number(port), {}, {}};
}

// Runs every check as the dialog does and returns the lines once all ended.
QStringList runAll(const ConnectionSettings& settings, int boundSeconds = ConnectionTest::kBoundSeconds)
{
    ConnectionTest test;
    test.start(settings, boundSeconds);
    QElapsedTimer waited;
    waited.start();
    while (!test.isFinished() && waited.elapsed() < (boundSeconds + 5) * 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(test.isFinished());
    return test.lines();
}

QString errorLog(const QTemporaryDir& program)
{
    QFile f(program.path() + QStringLiteral("/Logs/Error.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

class ConnectionChecks : public ::testing::Test {
protected:
    QTemporaryDir program;
    void SetUp() override { setProgramFolderForTesting(program.path()); }
    void TearDown() override { setProgramFolderForTesting({}); }
};

}  // namespace

TEST(ConnectionCheckWords, TakenModalitiesInPlainWords)
{
    QStringList all;
    for (const auto& c : conformance::storageClasses())
        all << QLatin1String(c.uid);
    QStringList modalities;
    for (const auto& c : conformance::storageClasses())
        if (!modalities.contains(QLatin1String(c.modality)))
            modalities << QLatin1String(c.modality);
    EXPECT_EQ(takenPhrase(all), QStringLiteral("takes CT, MR, US, CR, DX and %1 more").arg(modalities.size() - 5));
    EXPECT_EQ(takenPhrase({}), QStringLiteral("takes none of the images this program sends"));
    // one class of a modality is enough to take it; the rest are named as refused
    const QStringList some {all[1], all[2]};  // Enhanced CT, MR
    EXPECT_EQ(takenPhrase(some), QStringLiteral("takes CT and MR, not US, CR, DX and %1 more").arg(modalities.size() - 5));
    EXPECT_EQ(takenPhrase({all[0]}), QStringLiteral("takes CT, not MR, US, CR and %1 more").arg(modalities.size() - 4));
}

TEST_F(ConnectionChecks, OrthancAnswersTakesTheImagesConfirmsAndHasTodaysWorklist)
{
    if (testsupport::orthancWorklistPlugin().isEmpty())
        GTEST_SKIP() << "Orthanc's worklist plugin is not installed";
    QTemporaryDir data;
    testdata::WorklistEntry today, tomorrow;
    tomorrow.date = QDate::currentDate().addDays(1).toString(QStringLiteral("yyyyMMdd"));
    tomorrow.patientId = QStringLiteral("WL0002");
    const QString root = testdata::makeWorklist(data.path(), QStringLiteral("ORTHANC"), {today, today, tomorrow});
    Peer::Options o;
    o.aeTitle = QStringLiteral("ORTHANC");
    o.modalityAet = QStringLiteral("VARNELO");
    o.modalityPort = testsupport::freeLoopbackPort();
    const auto orthanc = Peer::orthanc(o, QDir(root).filePath(QStringLiteral("ORTHANC")));

    ConnectionSettings s;
    s.localAET = QStringLiteral("VARNELO");
    s.destinations = {target(QStringLiteral("ORTHANC"), orthanc->port()), {}};
    s.worklist = target(QStringLiteral("ORTHANC"), orthanc->port());
    const QStringList lines = runAll(s);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(QLatin1String("ORTHANC: answers; takes CT, MR, US, CR, DX and "))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(QLatin1String(" more; confirms storage."))) << lines[0].toStdString();
    EXPECT_EQ(lines[1], QStringLiteral("WORKLIST: answers; 2 entries today."));
    EXPECT_TRUE(errorLog(program).isEmpty());
    // nothing was stored by the check
    EXPECT_TRUE(orthanc->receivedFiles().isEmpty());
}

TEST_F(ConnectionChecks, StorescpTakesImagesButConfirmsNothing)
{
    const auto storescp = Peer::storescp();
    ConnectionSettings s;
    s.localAET = QStringLiteral("VARNELO");
    s.destinations = {target(storescp->aeTitle(), storescp->port())};
    const QStringList lines = runAll(s);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("%1: answers; takes CT, MR, US, CR, DX and ").arg(storescp->aeTitle())))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(QLatin1String("; does not confirm storage."))) << lines[0].toStdString();
    EXPECT_TRUE(storescp->waitForLog(QStringLiteral("Association Release"), 1));
}

TEST_F(ConnectionChecks, AStoppedPacsAndABusyPortFailAtOnceAndAreLogged)
{
    const auto storescp = Peer::storescp();
    const quint16 stopped = testsupport::freeLoopbackPort();
    // a port for confirmations that another program listens on
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const int busyPort = ntohs(address.sin_port);

    ConnectionSettings s;
    s.localAET = QStringLiteral("VARNELO");
    s.destinations = {target(QStringLiteral("DEADPACS"), stopped), target(storescp->aeTitle(), storescp->port())};
    s.worklist = {QStringLiteral("WLM"), Local, QString(), {}, {}};
    s.commitPort = busyPort;
    QElapsedTimer took;
    took.start();
    QStringList lines = runAll(s);
    EXPECT_LT(took.elapsed(), 5000);
    ::close(holder);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], QStringLiteral("DEADPACS: nothing answers at 127.0.0.1:%1.").arg(stopped));
    EXPECT_TRUE(lines[1].contains(QLatin1String("answers; takes CT")));
    EXPECT_EQ(lines[2], QStringLiteral("WORKLIST: its port is not set."));
    EXPECT_EQ(lines[3], QStringLiteral("Port %1 for confirmations: in use by another program.").arg(busyPort));
    const QString log = errorLog(program);
    EXPECT_TRUE(log.contains(QStringLiteral("127.0.0.1:%1").arg(stopped))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("CommitPort %1").arg(busyPort))) << log.toStdString();
    EXPECT_TRUE(log.contains(QLatin1String("worklist provider has no port"))) << log.toStdString();
    EXPECT_FALSE(log.contains(storescp->aeTitle())) << log.toStdString();

    // once the other program is gone the port is free
    s.destinations.clear();
    s.worklist = {};
    lines = runAll(s);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(QLatin1String("No destination is complete")));
    EXPECT_EQ(lines[1], QStringLiteral("Port %1 for confirmations: free.").arg(busyPort));
}

TEST_F(ConnectionChecks, ADicomWebDestinationIsAskedForAStudyInsteadOfAnEcho)
{
    if (testsupport::orthancDicomWebPlugin().isEmpty())
        GTEST_SKIP() << "Orthanc's DICOMweb plugin is not installed";
    Peer::Options o;
    o.dicomWeb = true;
    o.httpPort = testsupport::freeLoopbackPort();
    o.httpUser = QStringLiteral("user");
    o.httpPassword = QStringLiteral("pass");
    const auto orthanc = Peer::orthanc(o);
    auto web = [&](quint16 port, const QString& password) {
        ConnectionTarget t;
        t.aeTitle = QStringLiteral("NOTASKED");  // the URL wins over the DICOM fields
        t.web.base = QUrl(QStringLiteral("http://127.0.0.1:%1/dicom-web/").arg(port));
        t.web.user = QStringLiteral("user");
        t.web.password = password;
        return t;
    };
    const quint16 closed = testsupport::freeLoopbackPort();
    ConnectionSettings s;
    s.destinations = {web(o.httpPort, QStringLiteral("pass")), web(o.httpPort, QStringLiteral("guess")), web(closed, {})};
    const QStringList lines = runAll(s);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("127.0.0.1: answers as a DICOMweb service."));
    EXPECT_EQ(lines[1], QStringLiteral("127.0.0.1: refuses the user name and password or the token."));
    EXPECT_EQ(lines[2], QStringLiteral("127.0.0.1: nothing answers at 127.0.0.1:%1.").arg(closed));
    EXPECT_TRUE(errorLog(program).contains(QStringLiteral("HTTP 401"))) << errorLog(program).toStdString();
}

TEST_F(ConnectionChecks, APeerThatSaysNothingIsGivenUpOnWithinTheBound)
{
    testsupport::SilentListener silent;
    ConnectionSettings s;
    s.localAET = QStringLiteral("VARNELO");
    s.destinations = {target(QStringLiteral("SILENT"), silent.port())};
    QElapsedTimer took;
    took.start();
    const QStringList lines = runAll(s, 2);
    EXPECT_LT(took.elapsed(), 4000);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], QStringLiteral("SILENT: no answer within 2 seconds."));
    EXPECT_TRUE(errorLog(program).contains(QLatin1String("SILENT: no answer within 2 seconds")));
}
