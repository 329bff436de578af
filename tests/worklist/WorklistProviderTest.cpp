// The query end to end against DCMTK's wlmscpfs and Orthanc's worklist plugin
// on loopback ports: what the provider received, and the rows of what it
// answered, in every character set.

#include "WorklistTestKit.h"

#include "base/AppState.h"
#include "support/Peers.h"
#include "worklist/WorklistQuery.h"

#include <dicom/testdata/TestData.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QLocale>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace varnelo;
using namespace varnelo::wltest;
namespace C = varnelo::WorklistColumn;
using testdata::WorklistEntry;
using testsupport::Peer;

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

// The query table with the issuer's qualifiers, asked for with empty keys.
Flat withIssuerQualifiers(Flat table)
{
    const auto issuer = std::find_if(table.begin(), table.end(), [](const auto& p) { return p.first == "(0010,0021)"; });
    const QString item = QStringLiteral("(0010,0024)[0]");
    table.insert(issuer + 1, {{"(0010,0024)", "SQ 1"}, {item + "(0040,0032)", ""}, {item + "(0040,0033)", ""}, {item + "(0040,0035)", ""}});
    return table;
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
    const Flat expected = withIssuerQualifiers(expectedIdentifier("CT", "VARNELO", QDate::currentDate()));
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

namespace {

// Name cells as the window fills them for these names, all with an
// alphabetic group: that group's components.
Row nameCells(const QString& name)
{
    Row r;
    const QStringList parts = name.section(QLatin1Char('='), 0, 0).split(QLatin1Char('^'));
    for (int i = 0; i < 3 && i < parts.size(); ++i)
        r[static_cast<size_t>(C::LastName + i)] = parts[i];
    return r;
}

QStringList debugLog(const Harness& harness)
{
    QFile f(harness.folder() + QStringLiteral("/Logs/Debug.log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

std::vector<Row> rowsFrom(const testsupport::Peer& peer)
{
    appState().WorklistPort = QString::number(peer.port());
    Harness harness;
    RecordingView view;
    WLQuery(view);
    EXPECT_TRUE(harness.boxes.empty()) << (harness.boxes.empty() ? "" : harness.boxes[0].text.toStdString());
    EXPECT_TRUE(debugLog(harness).isEmpty()) << debugLog(harness).join('\n').toStdString();
    std::sort(view.rows.begin(), view.rows.end(),
              [](const Row& a, const Row& b) { return a[C::PatientId] < b[C::PatientId]; });
    return view.rows;
}

}  // namespace

TEST_F(WorklistProvider, NamesReadAsWrittenInEveryCharacterSet)
{
    QTemporaryDir data;
    const std::vector<WorklistEntry> entries = testdata::internationalEntries();
    const auto peer = testsupport::Peer::wlmscpfs(testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), entries),
                                                  testsupport::Peer::Options {});
    const std::vector<Row> rows = rowsFrom(*peer);
    ASSERT_EQ(rows.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].characterSet.toStdString());
        EXPECT_EQ(rows[i][C::PatientId], entries[i].patientId);
        const Row expected = nameCells(entries[i].patientName);
        for (int c : {C::LastName, C::FirstName, C::MiddleName})
            EXPECT_EQ(rows[i][c], expected[c]) << c;
    }
}

TEST_F(WorklistProvider, ValueOutsideItsCharacterSetReadsAsLatin1AndIsLogged)
{
    QTemporaryDir data;
    WorklistEntry greek = entry(QStringLiteral("Test\u00FF^Eva"), QStringLiteral("B1"), QStringLiteral("090000"));
    greek.characterSet = QStringLiteral("ISO_IR 126");  // 0xFF is no Greek letter
    greek.patientNameBytes = QByteArray("Test\xFF^Eva");
    WorklistEntry unknown = entry(QStringLiteral("M\u00FCller^Hans"), QStringLiteral("B2"), QStringLiteral("091500"));
    unknown.characterSet = QStringLiteral("ISO_IR 999");
    unknown.patientNameBytes = QByteArray("M\xFCller^Hans");
    const auto peer = testsupport::Peer::wlmscpfs(
        testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), {greek, unknown}), testsupport::Peer::Options {});
    appState().WorklistPort = QString::number(peer->port());
    Harness harness;
    RecordingView view;
    WLQuery(view);
    const std::vector<Row> rows = byId(view.rows);
    ASSERT_EQ(rows.size(), 2u);
    // The row stays whole: only the name reads as Latin-1.
    EXPECT_EQ(rows[0], (Row {"09:00:00", "Test\u00FF", "Eva", "", shortDate(1970, 1, 1), "B1", "F", "ACC-B1", "", ""}));
    EXPECT_EQ(rows[1], (Row {"09:15:00", "M\u00FCller", "Hans", "", shortDate(1970, 1, 1), "B2", "F", "ACC-B2", "", ""}));
    const QStringList log = debugLog(harness);
    ASSERT_EQ(log.size(), 2) << log.join('\n').toStdString();
    for (const QString& line : log)
        EXPECT_TRUE(line.contains(QStringLiteral("Worklist: The value of (0010,0010)"))) << line.toStdString();
    EXPECT_TRUE(log.join('\n').contains(QStringLiteral("\"ISO_IR 126\"")));
    EXPECT_TRUE(log.join('\n').contains(QStringLiteral("\"ISO_IR 999\"")));
    EXPECT_TRUE(harness.boxes.empty());
    EXPECT_TRUE(harness.errorLog().empty());
}

// The same entries from DCMTK's wlmscpfs and from Orthanc's worklist plugin,
// which is what most sites run.
TEST_F(WorklistProvider, OrthancShowsTheSameRowsAsWlmscpfs)
{
    if (testsupport::orthancWorklistPlugin().isEmpty())
        GTEST_FAIL() << "Orthanc's ModalityWorklists plugin is not installed (scripts/deps.sh test)";
    QTemporaryDir data;
    const QString yesterday = QDate::currentDate().addDays(-1).toString(QStringLiteral("yyyyMMdd"));
    std::vector<WorklistEntry> entries;
    entries.push_back(entry(QStringLiteral("Doe^John^Q^Dr"), QStringLiteral("P1"), QStringLiteral("083000.000")));
    entries.back().sex = QStringLiteral("M");
    entries.push_back(entry(QStringLiteral("O'Brien^Ann"), QStringLiteral("P2"), QStringLiteral("141500")));
    entries.back().birthDate.clear();
    // Orthanc matches on every key it is sent, Pregnancy Status too.
    entries.push_back(entry(QStringLiteral("Expect^Erika"), QStringLiteral("P3"), QStringLiteral("100000")));
    entries.back().pregnancyStatus = QStringLiteral("4");
    entries.push_back(entry(QStringLiteral("Past^Paul"), QStringLiteral("X1"), QStringLiteral("100000")));
    entries.back().date = yesterday;
    entries.push_back(entry(QStringLiteral("Else^Where"), QStringLiteral("X2"), QStringLiteral("100000")));
    entries.back().stationAE = QStringLiteral("OTHERSTN");
    entries.push_back(entry(QStringLiteral("Mag^Ret"), QStringLiteral("X3"), QStringLiteral("110000")));
    entries.back().modality = QStringLiteral("MR");
    int names = 0;
    for (const WorklistEntry& e : testdata::internationalEntries()) {
        // Orthanc 1.10 turns answers into its DefaultEncoding itself and
        // garbles the ISO 2022 sets that switch the upper half (Korean, and
        // Japanese with half-width katakana); it sends the rest as UTF-8.
        if (e.characterSet.contains(QLatin1String("IR 149")) || e.characterSet.startsWith(QLatin1String("ISO 2022 IR 13")))
            continue;
        entries.push_back(e);
        ++names;
    }
    const QString root = testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), entries);
    Peer::Options o;
    o.aeTitle = QStringLiteral("WLPROV");
    const QString worklistFolder = QDir(root).filePath(QStringLiteral("WLPROV"));
    const auto orthanc = testsupport::Peer::orthanc(o, worklistFolder);
    const auto wlmscpfs = testsupport::Peer::wlmscpfs(root, testsupport::Peer::Options {});

    const std::vector<Row> fromOrthanc = rowsFrom(*orthanc);
    const std::vector<Row> fromWlmscpfs = rowsFrom(*wlmscpfs);
    ASSERT_EQ(fromOrthanc.size(), static_cast<size_t>(3 + names)) << orthanc->log().toStdString();
    ASSERT_EQ(fromWlmscpfs.size(), fromOrthanc.size());
    for (size_t i = 0; i < fromOrthanc.size(); ++i) {
        Row o = fromOrthanc[i], w = fromWlmscpfs[i];
        // wlmscpfs does not return Body Part Examined; Orthanc does.
        EXPECT_EQ(w[C::BodyPart], "");
        EXPECT_EQ(o[C::BodyPart], "CHEST");
        o[C::BodyPart].clear();
        EXPECT_EQ(o, w) << i;
    }
    EXPECT_EQ(fromOrthanc[0], (Row {"07:00:00", "M\u00FCller", "J\u00FCrgen", "", shortDate(1970, 1, 1), "CS01", "F", "ACC-CS01", "CHEST", ""}));
    EXPECT_EQ(fromOrthanc[2][C::LastName], QString::fromUtf8("Петров"));
    EXPECT_EQ(fromOrthanc[2][C::FirstName], QString::fromUtf8("Пётр"));
    EXPECT_EQ(fromOrthanc[names][C::PatientId], "P1");
    EXPECT_EQ(fromOrthanc[names + 2][C::LastName], "Expect");
}

namespace {

// The patient each row gives a pick, by Patient ID.
std::map<QString, DcmPatient> picksFrom(const testsupport::Peer& peer)
{
    struct PickView : RecordingView {
        void setRowPatient(int, const DcmPatient& patient) override { byId[patient.PatientID] = patient; }
        std::map<QString, DcmPatient> byId;
    } view;
    appState().WorklistPort = QString::number(peer.port());
    Harness harness;
    WLQuery(view);
    EXPECT_TRUE(harness.boxes.empty()) << (harness.boxes.empty() ? "" : harness.boxes[0].text.toStdString());
    return view.byId;
}

}  // namespace

// The issuer's qualifiers of an entry come with its pick from Orthanc;
// wlmscpfs leaves them out of its answers. Neither refuses the query or
// passes over an entry without them.
TEST_F(WorklistProvider, IssuerQualifiersOfAnEntryComeWithItsPick)
{
    if (testsupport::orthancWorklistPlugin().isEmpty())
        GTEST_FAIL() << "Orthanc's ModalityWorklists plugin is not installed (scripts/deps.sh test)";
    QTemporaryDir data;
    std::vector<WorklistEntry> entries {entry(QStringLiteral("Doe^John"), QStringLiteral("P1"), QStringLiteral("083000")),
                                        entry(QStringLiteral("Roe^Jane"), QStringLiteral("P2"), QStringLiteral("093000"))};
    entries[0].issuerOfPatientId = QStringLiteral("ST MARY");
    entries[0].issuerQualifiers = {QStringLiteral("1.2.826.0.1.3680043.2.99"), QStringLiteral("ISO"), QStringLiteral("MR")};
    const QString root = testdata::makeWorklist(data.path(), QStringLiteral("WLPROV"), entries);
    Peer::Options o;
    o.aeTitle = QStringLiteral("WLPROV");
    const auto orthanc = testsupport::Peer::orthanc(o, QDir(root).filePath(QStringLiteral("WLPROV")));
    auto picks = picksFrom(*orthanc);
    ASSERT_EQ(picks.size(), 2u) << orthanc->log().toStdString();
    EXPECT_EQ(picks["P1"].IssuerQualifiers, (DcmIssuerQualifiers {"1.2.826.0.1.3680043.2.99", "ISO", "MR"}));
    EXPECT_TRUE(picks["P2"].IssuerQualifiers.isEmpty());

    picks = picksFrom(*testsupport::Peer::wlmscpfs(root, testsupport::Peer::Options {}));
    ASSERT_EQ(picks.size(), 2u);
    EXPECT_EQ(picks["P1"].IssuerOfPatientID, "ST MARY");
}

// wlmscpfs has no TLS; Orthanc's worklist plugin serves the same files over it.
TEST(WorklistOverTls, BothSidesVerifiedAndAnUntrustedProviderRefused)
{
    QTemporaryDir dir;
    const auto certs = testsupport::makeTestCertificates(dir.path());
    std::vector<WorklistEntry> entries {entry(QStringLiteral("Doe^John"), QStringLiteral("P1"), QStringLiteral("083000")),
                                        entry(QStringLiteral("Else^Where"), QStringLiteral("X3"), QStringLiteral("100000"))};
    entries.back().stationAE = QStringLiteral("OTHERSTN");
    testsupport::Peer::Options o;
    o.aeTitle = QStringLiteral("WLPROV");
    const QString folder = testdata::makeWorklist(dir.filePath(QStringLiteral("wl")), o.aeTitle, entries) + QStringLiteral("/WLPROV");
    o.tlsCertificate = certs.serverCertificate;
    o.tlsPrivateKey = certs.serverKey;
    o.tlsTrusted = certs.ca;
    auto provider = testsupport::Peer::orthanc(o, folder);

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
