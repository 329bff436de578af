// The query end to end against DCMTK's wlmscpfs on a loopback port: what the
// provider received, and the rows of what it answered.

#include "WorklistTestKit.h"

#include "base/AppState.h"
#include "support/Peers.h"
#include "worklist/WorklistQuery.h"

#include <dicom/testdata/TestData.h>

#include <QDate>
#include <QLocale>

#include <gtest/gtest.h>

#include <algorithm>

using namespace varnelo;
using namespace varnelo::wltest;
namespace C = varnelo::WorklistColumn;
using testdata::WorklistEntry;

namespace {

WorklistEntry entry(const QString& name, const QString& id, const QString& time)
{
    WorklistEntry e;
    e.patientName = name;
    e.patientId = id;
    e.time = time;
    e.accessionNumber = QStringLiteral("ACC-") + id;
    return e;
}

class WorklistProvider : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString yesterday = QDate::currentDate().addDays(-1).toString(QStringLiteral("yyyyMMdd"));
        const QString tomorrow = QDate::currentDate().addDays(1).toString(QStringLiteral("yyyyMMdd"));
        std::vector<WorklistEntry> entries;
        entries.push_back(entry(QStringLiteral("Doe^John^Q^Dr"), QStringLiteral("P1"), QStringLiteral("083000.000")));
        entries.back().sex = QStringLiteral("M");
        entries.back().birthDate = QStringLiteral("19650412");
        entries.push_back(entry(QStringLiteral("Madonna"), QStringLiteral("P2"), QStringLiteral("0945")));
        entries.push_back(entry(QStringLiteral("O'Brien^Ann"), QStringLiteral("P3"), QStringLiteral("141500")));
        entries.back().birthDate.clear();
        entries.back().sex.clear();
        // Steps that are not this station's today in this modality.
        entries.push_back(entry(QStringLiteral("Past^Paul"), QStringLiteral("X1"), QStringLiteral("100000")));
        entries.back().date = yesterday;
        entries.push_back(entry(QStringLiteral("Next^Nina"), QStringLiteral("X2"), QStringLiteral("100000")));
        entries.back().date = tomorrow;
        entries.push_back(entry(QStringLiteral("Else^Where"), QStringLiteral("X3"), QStringLiteral("100000")));
        entries.back().stationAE = QStringLiteral("OTHERSTN");
        entries.push_back(entry(QStringLiteral("Mag^Ret"), QStringLiteral("X4"), QStringLiteral("110000")));
        entries.back().modality = QStringLiteral("MR");

        root_ = testdata::makeWorklist(data_.path(), QStringLiteral("WLPROV"), entries);
        peer_ = testsupport::Peer::wlmscpfs(root_, testsupport::Peer::Options {});

        saved_ = appState();
        AppState& s = appState();
        s.LocalAET = QStringLiteral("VARNELO");
        s.WorklistAET = QStringLiteral("WLPROV");
        s.WorklistIP = QStringLiteral("127.0.0.1");
        s.WorklistPort = QString::number(peer_->port());
        s.WorklistModality = QStringLiteral("CT");
    }

    void TearDown() override
    {
        appState() = saved_;
        peer_.reset();
    }

    // Rows keyed by patient ID; the provider answers in directory order.
    static std::vector<Row> byId(std::vector<Row> rows)
    {
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a[C::PatientId] < b[C::PatientId]; });
        return rows;
    }

    QTemporaryDir data_;
    QString root_;
    std::unique_ptr<testsupport::Peer> peer_;
    AppState saved_;
};

// The tests run under LC_TIME=de_DE: the short date with a four-digit year.
QString shortDate(int y, int m, int d)
{
    return QDate(y, m, d).toString(QStringLiteral("dd.MM.yyyy"));
}

}  // namespace

TEST_F(WorklistProvider, ShowsTodaysStepsForThisStationAndModality)
{
    Harness harness;
    RecordingView view;
    WLQuery(view);

    EXPECT_TRUE(harness.boxes.empty()) << (harness.boxes.empty() ? "" : harness.boxes[0].text.toStdString());
    EXPECT_TRUE(harness.errorLog().empty());
    EXPECT_EQ(view.closed, 0);
    const std::vector<Row> rows = byId(view.rows);
    ASSERT_EQ(rows.size(), 3u) << peer_->log().toStdString();
    // wlmscpfs drops Body Part Examined from the keys it answers ("unsupported
    // key") and returns no Study Description, so both stay empty here.
    EXPECT_EQ(rows[0], (Row {"08:30:00", "Doe", "John", "Q", shortDate(1965, 4, 12), "P1", "M", "ACC-P1", "", ""}));
    EXPECT_EQ(rows[1], (Row {"09:45:00", "Madonna", "", "", shortDate(1970, 1, 1), "P2", "F", "ACC-P2", "", ""}));
    EXPECT_EQ(rows[2], (Row {"14:15:00", "O\u00B4Brien", "Ann", "", "", "P3", "", "ACC-P3", "", ""}));

    // Three paints once the answer is in, then one per row.
    ASSERT_GE(view.events.size(), 3);
    EXPECT_EQ(view.events.mid(0, 3), (QStringList {"events", "events", "events"}));
    EXPECT_EQ(view.processEventCount(), 3 + 3);
    EXPECT_EQ(peer_->associationsReceived(), 1);
}

TEST_F(WorklistProvider, ReceivesTheIdentifierOfTheQueryTable)
{
    Harness harness;
    RecordingView view;
    WLQuery(view);
    ASSERT_TRUE(peer_->waitForLog(QStringLiteral("Find SCP Request Identifiers"), 1, 5000));
    const Flat received = receivedIdentifier(peer_->log());
    const Flat expected = expectedIdentifier("CT", "VARNELO", QDate::currentDate());
    EXPECT_EQ(received, expected) << difference(expected, received).toStdString() << peer_->log().toStdString();
}

TEST_F(WorklistProvider, EmptyModalityMatchesEveryModality)
{
    appState().WorklistModality.clear();
    Harness harness;
    RecordingView view;
    WLQuery(view);
    const std::vector<Row> rows = byId(view.rows);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3][C::PatientId], "X4");
    EXPECT_EQ(rows[3][C::Time], "11:00:00");
    EXPECT_TRUE(harness.boxes.empty());
}

TEST_F(WorklistProvider, NoMatchesIsAnEmptyListWithoutMessage)
{
    appState().LocalAET = QStringLiteral("NOBODY");
    Harness harness;
    RecordingView view;
    WLQuery(view);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_EQ(view.closed, 0);
    EXPECT_TRUE(harness.boxes.empty());
    EXPECT_TRUE(harness.errorLog().empty());
    EXPECT_EQ(peer_->associationsReceived(), 1);
}

// wlmscpfs has no TLS; Orthanc's worklist plugin serves the same files over it.
TEST(WorklistOverTls, BothSidesVerifiedAndAnUntrustedProviderRefused)
{
    QTemporaryDir dir;
    const auto certs = testsupport::makeTestCertificates(dir.path());
    std::vector<WorklistEntry> entries {entry(QStringLiteral("Doe^John"), QStringLiteral("P1"), QStringLiteral("083000")),
                                        entry(QStringLiteral("Else^Where"), QStringLiteral("X3"), QStringLiteral("100000"))};
    entries.back().stationAE = QStringLiteral("OTHERSTN");
    // Orthanc matches every key of the query, Pregnancy Status "0" too.
    for (WorklistEntry& e : entries)
        e.pregnancyStatus = QStringLiteral("0");
    testsupport::Peer::Options o;
    o.aeTitle = QStringLiteral("WLPROV");
    o.worklistFolder = testdata::makeWorklist(dir.filePath(QStringLiteral("wl")), o.aeTitle, entries) + QStringLiteral("/WLPROV");
    o.tlsCertificate = certs.serverCertificate;
    o.tlsPrivateKey = certs.serverKey;
    o.tlsTrusted = certs.ca;
    auto provider = testsupport::Peer::orthanc(o);

    const AppState saved = appState();
    AppState& s = appState();
    s.LocalAET = QStringLiteral("VARNELO");
    s.WorklistAET = o.aeTitle;
    s.WorklistIP = QStringLiteral("127.0.0.1");
    s.WorklistPort = QString::number(provider->port());
    s.WorklistModality = QStringLiteral("CT");
    s.WorklistUseTLS = true;
    s.TLSCertificate = certs.clientCertificate;
    s.TLSPrivateKey = certs.clientKey;
    s.TLSTrustedCertificates = certs.ca;
    {
        Harness harness;
        RecordingView view;
        WLQuery(view);
        EXPECT_TRUE(harness.boxes.empty()) << (harness.boxes.empty() ? "" : harness.boxes[0].text.toStdString());
        ASSERT_EQ(view.rows.size(), 1u) << provider->log().toStdString();
        EXPECT_EQ(view.rows[0][C::PatientId], "P1");
        EXPECT_EQ(view.rows[0][C::LastName], "Doe");
    }
    {
        s.TLSTrustedCertificates = certs.strangerCa;
        Harness harness;
        RecordingView view;
        WLQuery(view);
        ASSERT_EQ(harness.boxes.size(), 1u);
        const QString expected = QStringLiteral("40018 - The certificate of 127.0.0.1:%1 (WLPROV, TLS), /CN=pacs.test, is not trusted: ")
                                     .arg(provider->port());
        EXPECT_TRUE(harness.boxes[0].text.startsWith(expected)) << harness.boxes[0].text.toStdString();
        const auto log = harness.errorLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].value(1), "40018");
        EXPECT_TRUE(log[0].value(2).startsWith(expected.mid(8)));
        EXPECT_EQ(log[0].value(3), "WLQuery");
        EXPECT_TRUE(view.rows.empty());
        EXPECT_EQ(view.closed, 1);
    }
    appState() = saved;
}
