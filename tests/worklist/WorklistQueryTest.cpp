// The query and the row filling with hand-built data and a recording view,
// and the failures against real loopback endpoints.

#include "WorklistTestKit.h"

#include "base/AppState.h"
#include "base/Logs.h"
#include "support/Peers.h"
#include "worklist/WorklistQuery.h"

#include <dicom/testdata/TestData.h>

#include <QFile>
#include <QLocale>
#include <QThread>

#include <gtest/gtest.h>

using namespace varnelo;
using namespace varnelo::wltest;
namespace C = varnelo::WorklistColumn;

namespace {

struct Entry {
    QString name;
    QString id, sex, birthDate, accession, bodyPart, studyDescription;
    QStringList stepTimes;  // one scheduled step per time; "-" adds a step without a time
    bool withStepSequence = true;
};

void put(DcmAttributeList list, std::uint16_t g, std::uint16_t e, const QString& v)
{
    if (!v.isNull())
        list.AddAttribute(g, e, v);
}

DcmDatasetList results(const std::vector<Entry>& entries)
{
    DcmDatasetList list;
    for (const Entry& e : entries) {
        DcmAttributeList a = list.AppendNew().Attributes();
        put(a, 0x0010, 0x0010, e.name);
        put(a, 0x0010, 0x0020, e.id);
        put(a, 0x0010, 0x0040, e.sex);
        put(a, 0x0010, 0x0030, e.birthDate);
        put(a, 0x0008, 0x0050, e.accession);
        put(a, 0x0018, 0x0015, e.bodyPart);
        put(a, 0x0008, 0x1030, e.studyDescription);
        if (e.withStepSequence) {
            DcmDatasetList steps;
            for (const QString& t : e.stepTimes) {
                DcmAttributeList step = steps.AppendNew().Attributes();
                step.AddAttribute(0x0008, 0x0060, QStringLiteral("CT"));
                if (t != QLatin1String("-"))
                    step.AddAttribute(0x0040, 0x0003, t);
            }
            a.AddAttribute(0x0040, 0x0100, steps);
        }
    }
    return list;
}

Row row(std::initializer_list<QString> cells)
{
    Row r;
    std::copy(cells.begin(), cells.end(), r.begin());
    return r;
}

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

TEST(WorklistRows, FillEveryCellInResultOrder)
{
    Harness harness;
    RecordingView view;
    SaveData(view, results({
                       {"Doe^John^Q^Dr", "P1", "M", "19700101", "A1", "CHEST", "CT Thorax", {"083000.000"}},
                       {"Madonna", "P2", "F", "19581231", "A2", "HEAD", {}, {"0830"}},
                       {"O'Brien^Ann^O'Neil", "P3", {}, {}, "A3", {}, {}, {"141500", "090000"}},
                       {"Smith=Smyth^Jo", {}, {}, {}, {}, {}, {}, {}, false},
                       {{}, "P5", "O", "20010911", "A5\\A6", "KNEE", {}, {}},
                       {"Lee^Kim", "P6", "F", "19800229", "A6", "HAND", {}, {"-", "101010"}},
                       {"Roe^Rita", "P7", "F", "1970-13-45", "A7", "ARM", {}, {"250000"}},
                       {"Bell\aRing^Esc\x1b[2J", "P\r\n8", "F", {}, "A8", {}, {}, {}},
                   }));

    ASSERT_EQ(view.rows.size(), 8u);
    // Under LC_TIME=de_DE the short date is not the DICOM text.
    EXPECT_NE(shortDate(1970, 1, 1), "19700101");
    EXPECT_EQ(view.rows[0], row({"08:30:00", "Doe", "John", "Q", shortDate(1970, 1, 1), "P1", "M", "A1", "CHEST", "CT Thorax"}));
    EXPECT_EQ(view.rows[1], row({"08:30:00", "Madonna", "", "", shortDate(1958, 12, 31), "P2", "F", "A2", "HEAD", ""}));
    EXPECT_EQ(view.rows[2], row({"14:15:00", "O\u00B4Brien", "Ann", "O\u00B4Neil", "", "P3", "", "A3", "", ""}));
    // No step sequence: no time, and after every row that has one; the
    // alphabetic group of the name alone fills the cells.
    EXPECT_EQ(view.rows[3], row({"", "Smith", "", "", "", "", "", "", "", ""}));
    // An empty step sequence, no name, a multi-valued accession number.
    EXPECT_EQ(view.rows[4], row({"", "", "", "", shortDate(2001, 9, 11), "P5", "O", "A5\\A6", "KNEE", ""}));
    // Only the first step counts, even when it has no time.
    EXPECT_EQ(view.rows[5], row({"", "Lee", "Kim", "", shortDate(1980, 2, 29), "P6", "F", "A6", "HAND", ""}));
    // A date and a time that cannot be read cost only their own cells.
    EXPECT_EQ(view.rows[6], row({"", "Roe", "Rita", "", "", "P7", "F", "A7", "ARM", ""}));
    // The provider's control characters are shown, not acted on.
    EXPECT_EQ(view.rows[7], row({"", "Bell\uFFFDRing", "Esc\uFFFD[2J", "", "", "P\uFFFD\uFFFD8", "F", "A8", "", ""}));

    // One paint per row, right after the row is filled; no message, no log.
    QStringList expected;
    for (int i = 0; i < 8; ++i)
        expected << "row"
                 << "events";
    EXPECT_EQ(view.events, expected);
    EXPECT_TRUE(harness.boxes.empty());
    EXPECT_TRUE(harness.errorLog().empty());
}

TEST(WorklistRows, EmptyResultAddsNothingAndManyRowsAllShow)
{
    Harness harness;
    RecordingView empty;
    SaveData(empty, DcmDatasetList());
    EXPECT_TRUE(empty.rows.empty());
    EXPECT_TRUE(empty.events.isEmpty());

    // Past a 16-bit count.
    DcmDatasetList many;
    for (int i = 0; i < 32770; ++i)
        many.AppendNew();
    many.AppendNew().Attributes().AddAttribute(0x0010, 0x0020, QStringLiteral("LAST"));
    RecordingView view;
    SaveData(view, many);
    ASSERT_EQ(view.rows.size(), 32771u);
    EXPECT_EQ(view.rows.back()[C::PatientId], "LAST");
    EXPECT_TRUE(harness.boxes.empty());
}

TEST(WorklistRows, TimeOfDayFromDicomTime)
{
    const std::vector<std::pair<QString, QString>> cases = {
        {"083000.000", "08:30:00"},
        {"083000", "08:30:00"},
        {"0830", "08:30:00"},
        {"08", "08:00:00"},
        {"235959.999999", "23:59:59"},
        {"000000", "00:00:00"},
        {" 141500 ", "14:15:00"},
        {"14:15:30", "14:15:30"},
        {"240000", ""},
        {"086000", ""},
        {"0830001", ""},
        {"8300", ""},
        {"", ""},
        {"abc", ""},
        {"080000-090000", ""},
        {"083000.1234567", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(worklistTime(in), out) << "for \"" << in.toStdString() << "\"";
}

TEST(WorklistIdentifier, MatchesTheQueryTable)
{
    AppState state;
    state.LocalAET = QStringLiteral("STATION7");
    state.WorklistModality = QStringLiteral("MR");
    const Flat built = flatten(buildWorklistIdentifier(state, QDate(2026, 3, 6)));
    const Flat expected = withIssuerQualifiers(expectedIdentifier("MR", "STATION7", QDate(2026, 3, 6)));
    EXPECT_EQ(built, expected) << difference(expected, built).toStdString();

    // An empty modality goes out as an empty value, matching every modality.
    state.WorklistModality.clear();
    const Flat anyModality = flatten(buildWorklistIdentifier(state, QDate(2026, 3, 6)));
    EXPECT_EQ(anyModality, withIssuerQualifiers(expectedIdentifier("", "STATION7", QDate(2026, 3, 6))));
}

namespace {

// Points the query at one endpoint with this station's settings.
struct QuerySettings {
    explicit QuerySettings(const QString& port, const QString& calledAE = QStringLiteral("WLPROV"))
        : saved(appState())
    {
        AppState& s = appState();
        s.LocalAET = QStringLiteral("VARNELO");
        s.WorklistAET = calledAE;
        s.WorklistIP = QStringLiteral("127.0.0.1");
        s.WorklistPort = port;
        s.WorklistModality = QStringLiteral("CT");
        s.AppName = QStringLiteral("Varnelo");
    }
    ~QuerySettings() { appState() = saved; }
    AppState saved;
};

// What every failure of the query must leave: one error box "n - text",
// one log line from WLQuery (the text, then `logHint`), the window closed
// without rows.
void expectFailure(const Harness& harness, const RecordingView& view, std::int32_t number,
                   const QString& logHint = QString())
{
    ASSERT_EQ(harness.boxes.size(), 1u);
    const MessageBox::Request& box = harness.boxes.front();
    EXPECT_EQ(box.icon, MessageBox::Icon::Error);
    EXPECT_EQ(box.buttons, MessageBox::Buttons::Ok);
    EXPECT_TRUE(box.text.startsWith(QString::number(number) + " - ")) << box.text.toStdString();
    // the first line; the plain words below it are the operator's only
    const QString description = box.text.section('\n', 0, 0).mid(QString::number(number).size() + 3);
    EXPECT_FALSE(box.text.section('\n', 1).trimmed().isEmpty()) << "no plain line: " << box.text.toStdString();
    EXPECT_FALSE(description.trimmed().isEmpty());

    const auto log = harness.errorLog();
    ASSERT_EQ(log.size(), 1u);
    ASSERT_EQ(log[0].size(), 4) << log[0].join('|').toStdString();
    EXPECT_EQ(log[0][1], QString::number(number));
    EXPECT_EQ(log[0][2], description + logHint);
    EXPECT_EQ(log[0][3], "WLQuery");

    EXPECT_TRUE(view.rows.empty());
    EXPECT_EQ(view.events, QStringList {"close"});
}

QString makeProvider(const QTemporaryDir& dir)
{
    return testdata::makeWorklist(dir.path(), QStringLiteral("WLPROV"), {testdata::WorklistEntry {}});
}

}  // namespace

TEST(WorklistQueryFailure, PortThatIsNoNumberSendsNothing)
{
    QTemporaryDir data;
    const auto peer = testsupport::Peer::wlmscpfs(makeProvider(data), testsupport::Peer::Options {});
    const QString port = QString::number(peer->port());
    // A lenient conversion would read the last one as the provider's port.
    for (const QString& text : {QStringLiteral("abc"), port + QStringLiteral("x")}) {
        SCOPED_TRACE(text.toStdString());
        QuerySettings settings(text);
        const QStringList before = snapshot(appState());
        Harness harness;
        RecordingView view;
        WLQuery(view);
        expectFailure(harness, view, 13);
        EXPECT_EQ(snapshot(appState()), before);
    }
    // A settings file without a [Worklist] section: the box keeps its short
    // text, the log names the keys to set.
    {
        QuerySettings settings {QString()};
        appState().WorklistAET.clear();
        appState().WorklistIP.clear();
        appState().IniPath = QStringLiteral("/opt/varnelo/Varnelo.ini");
        Harness harness;
        RecordingView view;
        WLQuery(view);
        expectFailure(harness, view, 13, QStringLiteral(" ([Worklist] AET, IP, Port not set in /opt/varnelo/Varnelo.ini)"));
        // the number first, then which settings are missing, in plain words
        EXPECT_TRUE(harness.boxes.at(0).text.startsWith("13 - Type mismatch\nThe worklist is not set up: the settings give no "))
            << harness.boxes.at(0).text.toStdString();
    }
    // Outside 1..65535: refused by the toolkit before it connects.
    {
        QuerySettings settings(QStringLiteral("70000"));
        Harness harness;
        RecordingView view;
        WLQuery(view);
        expectFailure(harness, view, DicomErrc::InvalidPort);
    }
    QThread::msleep(200);
    EXPECT_EQ(peer->associationsReceived(), 0) << peer->log().toStdString();
    EXPECT_TRUE(peer->isRunning());
}

TEST(WorklistQueryFailure, NothingListening)
{
    QuerySettings settings(QString::number(testsupport::freeLoopbackPort()));
    const QStringList before = snapshot(appState());
    Harness harness;
    RecordingView view;
    WLQuery(view);
    expectFailure(harness, view, DicomErrc::CannotConnect);
    EXPECT_EQ(snapshot(appState()), before);
}

TEST(WorklistQueryFailure, AssociationRefusedForUnknownCalledAE)
{
    QTemporaryDir data;
    const auto peer = testsupport::Peer::wlmscpfs(makeProvider(data), testsupport::Peer::Options {});
    QuerySettings settings(QString::number(peer->port()), QStringLiteral("NOSUCHAE"));
    const QStringList before = snapshot(appState());
    Harness harness;
    RecordingView view;
    WLQuery(view);
    expectFailure(harness, view, DicomErrc::AssociationRejected);
    EXPECT_EQ(snapshot(appState()), before);
    EXPECT_TRUE(peer->waitForLog(QStringLiteral("Association Received"), 1, 5000));
    EXPECT_EQ(peer->countInLog(QStringLiteral("Find SCP Request")), 0);
}

TEST(WorklistIdentifier, BothEndsNameTheDayTheClockWasReadOn)
{
    QTemporaryDir data;
    const auto peer = testsupport::Peer::wlmscpfs(makeProvider(data), testsupport::Peer::Options {});
    QuerySettings settings(QString::number(peer->port()));
    // A clock that passes midnight between two readings.
    int readings = 0;
    setClockForTesting([&readings] {
        return readings++ == 0 ? QDateTime(QDate(2026, 3, 6), QTime(23, 59, 59, 999))
                               : QDateTime(QDate(2026, 3, 7), QTime(0, 0, 0));
    });
    Harness harness;
    RecordingView view;
    WLQuery(view);
    setClockForTesting(nullptr);
    EXPECT_TRUE(harness.boxes.empty());
    ASSERT_TRUE(peer->waitForLog(QStringLiteral("Find SCP Request Identifiers"), 1, 5000));
    const Flat received = receivedIdentifier(peer->log());
    const auto date = std::find_if(received.begin(), received.end(),
                                   [](const auto& p) { return p.first == "(0040,0100)[0](0040,0002)"; });
    ASSERT_NE(date, received.end());
    EXPECT_EQ(date->second, "20260306-20260306");
}

// Each query goes to the audit trail with what it asked, as it went over the
// wire, and whether it was answered.
TEST(WorklistQueryAudit, EachQueryIsRecordedWithItsIdentifierAndOutcome)
{
    QTemporaryDir data;
    const auto peer = testsupport::Peer::wlmscpfs(makeProvider(data), testsupport::Peer::Options {});
    Harness harness;
    for (const quint16 port : {peer->port(), testsupport::freeLoopbackPort()}) {
        QuerySettings settings(QString::number(port));
        RecordingView view;
        WLQuery(view);
    }
    EXPECT_EQ(harness.boxes.size(), 1u) << "the second finds nobody listening";

    QFile log(harness.folder() + QStringLiteral("/Logs/Audit.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains("EventOutcomeIndicator=\"0\"")) << lines[0].constData();
    EXPECT_TRUE(lines[1].contains("EventOutcomeIndicator=\"8\"")) << lines[1].constData();
    EXPECT_TRUE(lines[0].contains("UserID=\"WLPROV\" AlternativeUserID=\"AETITLES=WLPROV\"")) << lines[0].constData();

    const qsizetype from = lines[0].indexOf("<ParticipantObjectQuery>") + qsizetype(sizeof("<ParticipantObjectQuery>") - 1);
    const QByteArray asked = QByteArray::fromBase64(lines[0].mid(from, lines[0].indexOf("</ParticipantObjectQuery>") - from));
    // Explicit VR Little Endian, starting with an empty Specific Character Set
    EXPECT_TRUE(asked.startsWith(QByteArray("\x08\x00\x05\x00" "CS\x00\x00", 8))) << asked.toHex().constData();
    // the Scheduled Procedure Step Sequence with this station and modality
    EXPECT_TRUE(asked.contains(QByteArray("\x40\x00\x00\x01SQ", 6))) << asked.toHex().constData();
    EXPECT_TRUE(asked.contains(QByteArray("\x40\x00\x01\x00" "AE\x08\x00VARNELO ", 16))) << asked.toHex().constData();
    EXPECT_TRUE(asked.contains(QByteArray("\x08\x00\x60\x00" "CS\x02\x00" "CT", 10))) << asked.toHex().constData();
}
