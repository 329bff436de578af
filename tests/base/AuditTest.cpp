// Audit messages checked against the DICOM audit schema with xmllint, and
// their delivery to a real audit record repository: rsyslog (with
// rsyslog-gnutls for TLS) started by the test on a free loopback port.

#include "base/Audit.h"
#include "base/AppState.h"
#include "base/AuditSender.h"
#include "base/Logs.h"
#include "base/ProgramFolder.h"
#include "support/Peers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>
#include <QUrl>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

using namespace varnelo;
using testsupport::freeLoopbackPort;

namespace {

const QString kSchema = QStringLiteral(VARNELO_AUDIT_XSD);
constexpr char kCt[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char kMr[] = "1.2.840.10008.5.1.4.1.1.4";

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

QString run(const QString& program, const QStringList& args, int* exitCode = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForFinished(30000);
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAll());
}

// xmllint's verdict on each document: its whole output, and whether all passed.
bool validates(const QList<QByteArray>& documents, QString& output)
{
    QTemporaryDir dir;
    QStringList args {QStringLiteral("--noout"), QStringLiteral("--schema"), kSchema};
    for (int i = 0; i < documents.size(); ++i) {
        QFile f(dir.filePath(QStringLiteral("message%1.xml").arg(i + 1)));
        f.open(QIODevice::WriteOnly);
        f.write(documents[i]);
        args << f.fileName();
    }
    int code = -1;
    output = run(QStringLiteral("xmllint"), args, &code);
    return code == 0 && output.count(QStringLiteral(" validates")) == documents.size();
}

// Attributes of every element of that name, in document order.
QList<QXmlStreamAttributes> elements(const QByteArray& xml, const QString& name)
{
    QList<QXmlStreamAttributes> found;
    QXmlStreamReader r(xml);
    while (!r.atEnd())
        if (r.readNext() == QXmlStreamReader::StartElement && r.name() == name)
            found << r.attributes();
    EXPECT_FALSE(r.hasError()) << r.errorString().toStdString();
    return found;
}

QStringList values(const QByteArray& xml, const QString& element, const QString& attribute)
{
    QStringList out;
    for (const QXmlStreamAttributes& a : elements(xml, element))
        out << a.value(attribute).toString();
    return out;
}

QString textOf(const QByteArray& xml, const QString& element)
{
    QXmlStreamReader r(xml);
    while (!r.atEnd())
        if (r.readNext() == QXmlStreamReader::StartElement && r.name() == element)
            return r.readElementText();
    return {};
}

audit::Station station()
{
    audit::Station s;
    s.aeTitle = QStringLiteral("WS_IMPORT");
    s.host = QStringLiteral("ws1.radiology.example");
    s.processId = QStringLiteral("4242");
    s.user = QStringLiteral("mmeier");
    s.site = QStringLiteral("St. Example Hospital");
    s.when = QDateTime(QDate(2026, 12, 8), QTime(9, 30, 5), QTimeZone(3600));
    return s;
}

audit::Patient patient(const QString& id, const QString& name)
{
    audit::Patient p;
    p.id = id;
    p.name = name;
    audit::Study ct;
    ct.uid = QStringLiteral("1.2.3.") + id.right(1);
    ct.description = QStringLiteral("CT Thorax");
    ct.sopClasses = {{QLatin1String(kCt), 120}, {QLatin1String(kMr), 2}};
    p.studies = {ct};
    return p;
}

const audit::Node kPacs {QStringLiteral("PACS_MAIN"), QStringLiteral("10.1.2.3")};

// One of each type the program sends.
QList<QByteArray> oneOfEach()
{
    const audit::Station s = station();
    audit::Patient first = patient(QStringLiteral("P1"), QStringLiteral("Meier^Anna"));
    first.issuer = QStringLiteral("HOSP");
    // a name from a medium may hold anything, XML does not
    const audit::Patient second = patient(QStringLiteral("P2"), QString::fromUtf8("M\x01ller<&>^J\xC3\xBCrgen"));
    audit::Query q;
    q.peer = {QStringLiteral("WLM"), QStringLiteral("worklist.example")};
    q.sopClassUid = QStringLiteral("1.2.840.10008.5.1.4.31");
    q.identifier = QByteArray("\x08\x00\x50\x00\x00\x00\x00\x00", 8);
    q.transferSyntax = QStringLiteral("1.2.840.10008.1.2.1");
    return {audit::applicationActivity(s, true),
            audit::applicationActivity(s, false),
            audit::importEvent(s, {QStringLiteral("PATIENT_CD"), audit::MediaType::CD}, {first, second}, audit::Outcome::MinorFailure),
            audit::beginTransferring(s, kPacs, first, audit::Outcome::Success),
            audit::instancesTransferred(s, kPacs, first, audit::Outcome::MinorFailure),
            audit::query(s, q, audit::Outcome::Success)};
}

}  // namespace

TEST(AuditMessages, EveryTypeIsValidAgainstTheSchemaAndNamesWhoWhatWhere)
{
    const QList<QByteArray> messages = oneOfEach();
    QString output;
    EXPECT_TRUE(validates(messages, output)) << output.toStdString();

    const QByteArray &start = messages[0], &stop = messages[1], &import = messages[2], &begin = messages[3],
                     &transferred = messages[4], &query = messages[5];
    EXPECT_EQ(values(start, "EventTypeCode", "csd-code"), QStringList {"110120"});
    EXPECT_EQ(values(stop, "EventTypeCode", "csd-code"), QStringList {"110121"});
    EXPECT_EQ(values(start, "RoleIDCode", "csd-code"), (QStringList {"110150", "110151"}));
    EXPECT_EQ(values(start, "ActiveParticipant", "UserID"), (QStringList {"4242", "mmeier"}));
    EXPECT_EQ(values(start, "ActiveParticipant", "AlternativeUserID").first(), "AETITLES=WS_IMPORT");

    // the import: the disc, the operator asking, this station receiving
    EXPECT_EQ(values(import, "EventID", "csd-code"), QStringList {"110107"});
    EXPECT_EQ(values(import, "EventIdentification", "EventOutcomeIndicator"), QStringList {"4"});
    EXPECT_EQ(values(import, "EventIdentification", "EventDateTime"), QStringList {"2026-12-08T09:30:05+01:00"});
    EXPECT_EQ(values(import, "MediaType", "csd-code"), QStringList {"110032"});
    EXPECT_EQ(values(import, "ActiveParticipant", "UserID"), (QStringList {"PATIENT_CD", "mmeier", "4242"}));
    EXPECT_EQ(values(import, "ActiveParticipant", "UserIsRequestor"), (QStringList {"false", "true", "false"}));
    EXPECT_EQ(values(import, "ParticipantObjectIdentification", "ParticipantObjectID"),
              (QStringList {"1.2.3.1", "1.2.3.2", "P1^^^HOSP", "P2"}));
    EXPECT_EQ(values(import, "ParticipantObjectIDTypeCode", "csd-code"), (QStringList {"110180", "110180", "2", "2"}));
    EXPECT_EQ(values(import, "SOPClass", "NumberOfInstances"), (QStringList {"120", "2", "120", "2"}));
    EXPECT_TRUE(import.contains("<ParticipantObjectName>M ller&lt;&amp;&gt;^J\xC3\xBCrgen</ParticipantObjectName>"))
        << import.toStdString();
    EXPECT_EQ(values(import, "AuditSourceIdentification", "AuditEnterpriseSiteID"), QStringList {"St. Example Hospital"});
    EXPECT_EQ(values(import, "AuditSourceIdentification", "AuditSourceID"), QStringList {"WS_IMPORT@ws1.radiology.example"});

    // the transfer: from this station to the PACS, per patient
    for (const QByteArray* m : {&begin, &transferred}) {
        EXPECT_EQ(values(*m, "RoleIDCode", "csd-code"), (QStringList {"110153", "110152"}));
        EXPECT_EQ(values(*m, "ActiveParticipant", "NetworkAccessPointID"),
                  (QStringList {"ws1.radiology.example", "10.1.2.3", ""}));
        EXPECT_EQ(values(*m, "ActiveParticipant", "NetworkAccessPointTypeCode"), (QStringList {"1", "2", ""}));
        EXPECT_EQ(values(*m, "ParticipantObjectIdentification", "ParticipantObjectID"), (QStringList {"1.2.3.1", "P1^^^HOSP"}));
    }
    EXPECT_EQ(values(begin, "EventID", "csd-code"), QStringList {"110102"});
    EXPECT_EQ(values(transferred, "EventID", "csd-code"), QStringList {"110104"});
    EXPECT_EQ(values(transferred, "EventIdentification", "EventActionCode"), QStringList {"C"});
    EXPECT_EQ(values(transferred, "EventIdentification", "EventOutcomeIndicator"), QStringList {"4"});

    // the query: what was asked, byte for byte, and in which syntax
    EXPECT_EQ(values(query, "EventID", "csd-code"), QStringList {"110112"});
    EXPECT_EQ(values(query, "ParticipantObjectIDTypeCode", "csd-code"), QStringList {"110181"});
    EXPECT_EQ(QByteArray::fromBase64(textOf(query, "ParticipantObjectQuery").toLatin1()), QByteArray("\x08\x00\x50\x00\x00\x00\x00\x00", 8));
    EXPECT_EQ(QByteArray::fromBase64(values(query, "ParticipantObjectDetail", "value").first().toLatin1()), "1.2.840.10008.1.2.1");
}

TEST(AuditMessages, SchemaCheckCatchesAMessageMissingItsSource)
{
    // the check itself must be able to fail
    QByteArray broken = oneOfEach()[3];
    const qsizetype from = broken.indexOf("<AuditSourceIdentification");
    const qsizetype to = broken.indexOf("</AuditSourceIdentification>") + qsizetype(sizeof("</AuditSourceIdentification>") - 1);
    ASSERT_GT(from, 0);
    broken.remove(from, to - from);
    QString output;
    EXPECT_FALSE(validates({broken}, output));
    EXPECT_TRUE(output.contains(QStringLiteral("AuditSourceIdentification"))) << output.toStdString();
}

TEST(AuditMessages, MediaAreCodedByWhatTheyAre)
{
    QTemporaryDir dir;
    const audit::Medium folder = audit::describeMedium(dir.path(), false, false);
    EXPECT_EQ(folder.type, audit::MediaType::URI);
    EXPECT_EQ(folder.id, QUrl::fromLocalFile(dir.path()).toString());
    QFile zip(dir.filePath(QStringLiteral("with space.zip")));
    ASSERT_TRUE(zip.open(QIODevice::WriteOnly));
    zip.close();
    // an archive is a URI even when it lies on a drive
    EXPECT_EQ(audit::describeMedium(zip.fileName(), true, false).id, QUrl::fromLocalFile(zip.fileName()).toString(QUrl::FullyEncoded));
    EXPECT_EQ(audit::describeMedium(zip.fileName(), true, false).type, audit::MediaType::URI);
    EXPECT_EQ(audit::describeMedium(dir.path(), true, false).type, audit::MediaType::USB);
    const audit::MediaType disc = audit::describeMedium(dir.path(), true, true).type;
    EXPECT_TRUE(disc == audit::MediaType::CD || disc == audit::MediaType::DVD);
}

TEST(AuditMessages, SyslogHeaderAfterRfc5424)
{
    const QDateTime when(QDate(2026, 12, 8), QTime(9, 30, 5, 120), QTimeZone(-5 * 3600));
    const QByteArray notice = syslogMessage("<AuditMessage/>", false, when);
    const QList<QByteArray> fields = notice.split(' ');
    ASSERT_GE(fields.size(), 8);
    EXPECT_EQ(fields[0], "<85>1");  // authpriv.notice, version 1
    EXPECT_EQ(fields[1], "2026-12-08T09:30:05.120-05:00");
    EXPECT_FALSE(fields[2].isEmpty());
    EXPECT_EQ(fields[3], "Varnelo");
    EXPECT_EQ(fields[4], QByteArray::number(QCoreApplication::applicationPid()));
    EXPECT_EQ(fields[5], "IHE+RFC-3881");
    EXPECT_EQ(fields[6], "-");
    EXPECT_EQ(fields[7], "\xEF\xBB\xBF<AuditMessage/>");
    EXPECT_TRUE(syslogMessage("<AuditMessage/>", true, when).startsWith("<84>1 "));  // warning
}

namespace {

// A CA, the repository's certificate for 127.0.0.1, a station certificate
// from the same CA, and one from a CA the repository does not know.
struct Certificates {
    QString ca, serverCert, serverKey, clientCert, clientKey, strangerCert, strangerKey;

    explicit Certificates(const QString& dir)
    {
        auto openssl = [&](const QStringList& args) {
            QProcess p;
            p.setWorkingDirectory(dir);
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(QStringLiteral("openssl"), args);
            if (!p.waitForFinished(30000) || p.exitCode() != 0)
                throw std::runtime_error("openssl: " + p.readAll().toStdString());
        };
        auto makeCa = [&](const QString& name) {
            openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2", "-subj", "/CN=" + name,
                     "-keyout", name + ".key", "-out", name + ".pem"});
        };
        auto issue = [&](const QString& name, const QString& ca, const QStringList& extra) {
            openssl(QStringList {"req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", "/CN=" + name, "-keyout",
                                 name + ".key", "-out", name + ".csr"} +
                    extra);
            openssl({"x509", "-req", "-sha256", "-days", "2", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                     "-set_serial", "7", "-copy_extensions", "copy", "-out", name + ".pem"});
        };
        makeCa(QStringLiteral("auditca"));
        makeCa(QStringLiteral("otherca"));
        issue(QStringLiteral("repository"), QStringLiteral("auditca"), {"-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"});
        issue(QStringLiteral("station"), QStringLiteral("auditca"), {});
        issue(QStringLiteral("stranger"), QStringLiteral("otherca"), {});
        const QDir d(dir);
        ca = d.filePath("auditca.pem");
        serverCert = d.filePath("repository.pem");
        serverKey = d.filePath("repository.key");
        clientCert = d.filePath("station.pem");
        clientKey = d.filePath("station.key");
        strangerCert = d.filePath("stranger.pem");
        strangerKey = d.filePath("stranger.key");
    }
};

// rsyslogd as an unprivileged child with a configuration of its own: what
// comes from Varnelo goes to received.log, one raw message a line.
class Repository {
public:
    Repository(bool udp, const Certificates& certs, quint16 port = 0)
        : port_(port ? port : freeLoopbackPort())
    {
        const QString d = dir_.path();
        // a probe port over plain TCP: once it listens, every input does
        const quint16 probe = freeLoopbackPort();
        QString conf = QStringLiteral(
                           "global(workDirectory=\"%1\" maxMessageSize=\"64k\"\n"
                           "  DefaultNetstreamDriverCAFile=\"%2\" DefaultNetstreamDriverCertFile=\"%3\"\n"
                           "  DefaultNetstreamDriverKeyFile=\"%4\")\n"
                           "module(load=\"imptcp\")\n"
                           "input(type=\"imptcp\" port=\"%5\" address=\"127.0.0.1\")\n")
                           .arg(d, certs.ca, certs.serverCert, certs.serverKey)
                           .arg(probe);
        if (udp) {
            conf += QStringLiteral("module(load=\"imudp\")\ninput(type=\"imudp\" port=\"%1\" address=\"127.0.0.1\")\n").arg(port_);
        } else {
            conf += QStringLiteral(
                        "module(load=\"imtcp\" StreamDriver.Name=\"gtls\" StreamDriver.Mode=\"1\" "
                        "StreamDriver.AuthMode=\"x509/certvalid\")\n"
                        "input(type=\"imtcp\" port=\"%1\" address=\"127.0.0.1\")\n")
                        .arg(port_);
        }
        conf += QStringLiteral(
                    "template(name=\"raw\" type=\"list\") { property(name=\"rawmsg\") constant(value=\"\\n\") }\n"
                    "if $app-name == \"Varnelo\" then {\n"
                    "  action(type=\"omfile\" file=\"%1/received.log\" template=\"raw\")\n"
                    "  stop\n"
                    "}\n"
                    "action(type=\"omfile\" file=\"%1/rsyslog.log\")\n")
                    .arg(d);
        QFile f(dir_.filePath(QStringLiteral("rsyslog.conf")));
        f.open(QIODevice::WriteOnly);
        f.write(conf.toUtf8());
        f.close();
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral("/usr/sbin/rsyslogd"),
                       {"-n", "-f", f.fileName(), "-i", dir_.filePath(QStringLiteral("rsyslogd.pid")), "-M",
                        QStringLiteral("/usr/lib/x86_64-linux-gnu/rsyslog")});
        auto listens = [](quint16 port) {
            QTcpSocket s;
            s.connectToHost(QStringLiteral("127.0.0.1"), port);
            return s.waitForConnected(200);
        };
        // the TLS input may come up after the others
        const bool up = waitFor([&] { return listens(probe) && (udp || listens(port_)); }, 10000);
        if (!up)
            throw std::runtime_error("rsyslogd did not start: " + process_.readAll().toStdString());
    }
    ~Repository() { stop(); }

    quint16 port() const { return port_; }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    // The messages as they arrived.
    QList<QByteArray> received() const
    {
        QFile f(dir_.filePath(QStringLiteral("received.log")));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> lines = f.readAll().split('\n');
        lines.removeAll(QByteArray());
        return lines;
    }
    bool waitForMessages(int count, int timeoutMs) const
    {
        return waitFor([&] { return received().size() >= count; }, timeoutMs);
    }
    // What rsyslog said of itself (handshakes refused, ...).
    QString diagnostics() const
    {
        QFile f(dir_.filePath(QStringLiteral("rsyslog.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private:
    QTemporaryDir dir_;
    quint16 port_;
    QProcess process_;
};

// The XML of a received message: what follows the BOM.
QByteArray xmlOf(const QByteArray& message)
{
    const qsizetype bom = message.indexOf("\xEF\xBB\xBF");
    return bom < 0 ? QByteArray() : message.mid(bom + 3);
}

class AuditDelivery : public ::testing::Test {
protected:
    QTemporaryDir dir;
    // made once: RSA keys take seconds
    static inline std::unique_ptr<QTemporaryDir> certDir;
    static inline std::unique_ptr<Certificates> certs;

    static void SetUpTestSuite()
    {
        certDir = std::make_unique<QTemporaryDir>();
        certs = std::make_unique<Certificates>(certDir->path());
    }
    static void TearDownTestSuite()
    {
        certs.reset();
        certDir.reset();
    }
    void SetUp() override { setProgramFolderForTesting(dir.path()); }
    void TearDown() override { setProgramFolderForTesting({}); }
    QString errorLog() const
    {
        QFile f(dir.filePath(QStringLiteral("Logs/Error.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    AuditConfig config(quint16 port, bool udp = false) const
    {
        AuditConfig c;
        c.host = QStringLiteral("127.0.0.1");
        c.port = port;
        c.udp = udp;
        c.certificate = certs->clientCert;
        c.privateKey = certs->clientKey;
        c.trustedCertificates = certs->ca;
        c.spoolFolder = dir.filePath(QStringLiteral("Logs/AuditSpool"));
        return c;
    }
    QStringList spooled() const
    {
        return QDir(dir.filePath(QStringLiteral("Logs/AuditSpool"))).entryList({QStringLiteral("*.syslog")}, QDir::Files, QDir::Name);
    }
    int auditErrors() const
    {
        QFile f(dir.filePath(QStringLiteral("Logs/Error.log")));
        return f.open(QIODevice::ReadOnly) ? int(f.readAll().count("AuditSender")) : 0;
    }
    static QList<QByteArray> framed(const QList<QByteArray>& xml)
    {
        QList<QByteArray> out;
        for (const QByteArray& x : xml)
            out << syslogMessage(x, false, QDateTime::currentDateTime());
        return out;
    }
};

}  // namespace

TEST_F(AuditDelivery, TlsRepositoryReceivesEveryTypeValidAndTheSpoolEmpties)
{
    Repository repository(false, *certs);
    const QList<QByteArray> messages = oneOfEach();
    {
        AuditSender sender(config(repository.port()));
        for (const QByteArray& m : framed(messages))
            sender.send(m);
        ASSERT_TRUE(repository.waitForMessages(messages.size(), 15000)) << repository.diagnostics().toStdString();
        EXPECT_TRUE(waitFor([&] { return spooled().isEmpty(); }, 5000)) << spooled().join(' ').toStdString();
    }
    const QList<QByteArray> got = repository.received();
    ASSERT_EQ(got.size(), messages.size());
    QList<QByteArray> xml;
    for (int i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(got[i].startsWith("<85>1 ")) << got[i].toStdString();
        EXPECT_TRUE(got[i].contains(" Varnelo ") && got[i].contains(" IHE+RFC-3881 - ")) << got[i].toStdString();
        EXPECT_EQ(xmlOf(got[i]).toStdString(), messages[i].toStdString());  // in order, byte for byte
        xml << xmlOf(got[i]);
    }
    QString output;
    EXPECT_TRUE(validates(xml, output)) << output.toStdString();
    std::printf("%s", got.join('\n').constData());
    std::printf("\n%s", qPrintable(output));
    // the spool is private: it holds patient data
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(dir.filePath(QStringLiteral("Logs/AuditSpool"))).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(AuditDelivery, RepositoryRefusingTheStationKeepsEverySpooledAndLogsOnce)
{
    Repository repository(false, *certs);
    AuditConfig c = config(repository.port());
    c.certificate = certs->strangerCert;
    c.privateKey = certs->strangerKey;
    {
        AuditSender sender(c);
        for (const QByteArray& m : framed(oneOfEach()))
            sender.send(m);
        // the first try and two more after the back-off (1 s, 2 s)
        QThread::msleep(4500);
        EXPECT_EQ(spooled().size(), 6);
        sender.close(1000);
    }
    EXPECT_EQ(auditErrors(), 1) << errorLog().toStdString();
    EXPECT_TRUE(errorLog().contains(QStringLiteral("127.0.0.1:%1").arg(repository.port()))) << errorLog().toStdString();
    std::printf("%s", qPrintable(errorLog()));
    EXPECT_TRUE(repository.received().isEmpty());
    EXPECT_EQ(spooled().size(), 6);  // still there for the next start
}

TEST_F(AuditDelivery, RepositoryDownDuringTheImportGetsEverythingWhenBack)
{
    const quint16 port = freeLoopbackPort();
    const QList<QByteArray> messages = framed(oneOfEach());
    {
        // down for the whole of one program run: the exit does not wait long
        AuditSender sender(config(port));
        sender.send(messages[0]);
        sender.send(messages[1]);
        QElapsedTimer closing;
        closing.start();
        sender.close(1000);
        EXPECT_LT(closing.elapsed(), 1500);
    }
    EXPECT_EQ(spooled().size(), 2);
    {
        // the next run starts while it is still down, and it comes back
        AuditSender sender(config(port));
        QElapsedTimer sending;
        sending.start();
        for (int i = 2; i < messages.size(); ++i)
            sender.send(messages[i]);
        EXPECT_LT(sending.elapsed(), 500);  // nobody waits for the repository
        QThread::msleep(1500);
        EXPECT_EQ(spooled().size(), messages.size());
        Repository repository(false, *certs, port);
        ASSERT_TRUE(repository.waitForMessages(messages.size(), 20000)) << repository.diagnostics().toStdString();
        EXPECT_TRUE(waitFor([&] { return spooled().isEmpty(); }, 5000));
        // every message, the earlier run's first; a message can come twice
        // when the connection broke after it arrived but before it was proven
        QList<QByteArray> got;
        for (const QByteArray& m : repository.received())
            if (!got.contains(m))
                got << m;
        ASSERT_EQ(got.size(), messages.size());
        for (int i = 0; i < messages.size(); ++i)
            EXPECT_EQ(got[i], messages[i]);
    }
    EXPECT_EQ(auditErrors(), 2);  // once in each run
}

TEST_F(AuditDelivery, UdpOneMessageADatagram)
{
    Repository repository(true, *certs);
    const QList<QByteArray> messages = framed(oneOfEach());
    AuditSender sender(config(repository.port(), true));
    for (const QByteArray& m : messages)
        sender.send(m);
    ASSERT_TRUE(repository.waitForMessages(messages.size(), 10000)) << repository.diagnostics().toStdString();
    EXPECT_EQ(repository.received(), messages);
    EXPECT_TRUE(waitFor([&] { return spooled().isEmpty(); }, 5000));
}

TEST_F(AuditDelivery, WithoutARepositoryOnlyTheLocalCopy)
{
    AppState& s = appState();
    const AppState saved = s;
    s.AuditHost.clear();
    s.LocalAET = QStringLiteral("WS_IMPORT");
    startAuditTrail();
    auditBeginTransferring(kPacs, patient(QStringLiteral("P1"), QStringLiteral("Meier^Anna")));
    stopAuditTrail();
    s = saved;

    QFile log(dir.filePath(QStringLiteral("Logs/Audit.log")));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    ASSERT_EQ(lines.size(), 4);  // three and the last line's end
    for (int i = 0; i < 3; ++i) {
        const QList<QByteArray> fields = lines[i].trimmed().split('\t');
        ASSERT_EQ(fields.size(), 2);
        EXPECT_TRUE(QDateTime::fromString(QString::fromLatin1(fields[0]), Qt::ISODate).isValid()) << fields[0].toStdString();
        EXPECT_TRUE(fields[0].contains('+') || fields[0].contains('-'));
    }
    EXPECT_TRUE(lines[1].contains("csd-code=\"110102\""));
    EXPECT_TRUE(lines[2].contains("csd-code=\"110121\""));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("Logs/AuditSpool"))));
}

TEST_F(AuditDelivery, ImportRunGathersOneMessagePerPatientAndDestination)
{
    const audit::Patient p1 {QStringLiteral("P1"), QStringLiteral("HOSP"), QStringLiteral("Meier^Anna"), {}};
    const audit::Patient p2 {QStringLiteral("P2"), QString(), QStringLiteral("Roth^Max"), {}};
    const audit::Node pacs2 {QStringLiteral("PACS_TWO"), QStringLiteral("pacs2.example")};
    {
        ImportAudit run({QStringLiteral("PATIENT_CD"), audit::MediaType::CD});
        run.taken(p1, "1.1", kCt);
        run.sent(kPacs, p1, "1.1", kCt, true);
        run.sent(pacs2, p1, "1.1", kCt, true);
        run.taken(p1, "1.1", kCt);
        run.sent(kPacs, p1, "1.1", kCt, true);
        run.sent(pacs2, p1, "1.1", kCt, false);
        run.taken(p1, "1.2", kMr);
        run.sent(kPacs, p1, "1.2", kMr, true);
        run.taken(p2, "2.1", kCt);
        run.sent(kPacs, p2, "2.1", kCt, false);
        run.finish(false);
        run.finish(false);  // once only
    }
    QFile log(dir.filePath(QStringLiteral("Logs/Audit.log")));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    QList<QByteArray> xml;
    for (const QByteArray& line : log.readAll().trimmed().split('\n'))
        xml << line.trimmed().split('\t').value(1);
    ASSERT_EQ(xml.size(), 7);
    QString output;
    EXPECT_TRUE(validates(xml, output)) << output.toStdString();

    auto summary = [](const QByteArray& m) {
        return values(m, "EventID", "csd-code").join(',') + ' ' + values(m, "EventIdentification", "EventOutcomeIndicator").join(',') +
            ' ' + values(m, "ActiveParticipant", "UserID").join(',') + ' ' +
            values(m, "ParticipantObjectIdentification", "ParticipantObjectID").join(',');
    };
    QStringList got;
    for (const QByteArray& m : xml)
        got << summary(m);
    const QString me = QString::number(QCoreApplication::applicationPid());
    const QString user = audit::Station::current().user;
    EXPECT_EQ(got, (QStringList {
                       // at each patient's first image for a destination
                       QStringLiteral("110102 0 %1,PACS_MAIN,%2 1.1,P1^^^HOSP").arg(me, user),
                       QStringLiteral("110102 0 %1,PACS_TWO,%2 1.1,P1^^^HOSP").arg(me, user),
                       QStringLiteral("110102 0 %1,PACS_MAIN,%2 2.1,P2").arg(me, user),
                       // at the end: all there, some failed, none arrived
                       QStringLiteral("110104 0 %1,PACS_MAIN,%2 1.1,1.2,P1^^^HOSP").arg(me, user),
                       QStringLiteral("110104 8 %1,PACS_MAIN,%2 2.1,P2").arg(me, user),
                       QStringLiteral("110104 4 %1,PACS_TWO,%2 1.1,P1^^^HOSP").arg(me, user),
                       QStringLiteral("110107 4 PATIENT_CD,%2,%1 1.1,1.2,2.1,P1^^^HOSP,P2").arg(me, user),
                   }));
    // what arrived where, by SOP class: two CT and one MR of P1 at the first
    EXPECT_EQ(values(xml[3], "SOPClass", "NumberOfInstances"), (QStringList {"2", "1"}));
    EXPECT_EQ(values(xml[5], "SOPClass", "NumberOfInstances"), QStringList {"1"});
    EXPECT_EQ(values(xml[6], "SOPClass", "NumberOfInstances"), (QStringList {"2", "1", "1"}));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
