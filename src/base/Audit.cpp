#include "base/Audit.h"

#include "base/AppState.h"
#include "base/Logs.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHostAddress>
#include <QStorageInfo>
#include <QSysInfo>
#include <QUrl>
#include <QXmlStreamWriter>

#include <pwd.h>
#include <unistd.h>

namespace varnelo::audit {

namespace {

struct Code {
    const char* code;
    const char* system;
    const char* text;
};

constexpr Code kApplicationActivity {"110100", "DCM", "Application Activity"};
constexpr Code kApplicationStart {"110120", "DCM", "Application Start"};
constexpr Code kApplicationStop {"110121", "DCM", "Application Stop"};
constexpr Code kApplication {"110150", "DCM", "Application"};
constexpr Code kApplicationLauncher {"110151", "DCM", "Application Launcher"};
constexpr Code kImport {"110107", "DCM", "Import"};
constexpr Code kBeginTransferring {"110102", "DCM", "Begin Transferring DICOM Instances"};
constexpr Code kInstancesTransferred {"110104", "DCM", "DICOM Instances Transferred"};
constexpr Code kQuery {"110112", "DCM", "Query"};
constexpr Code kSourceRole {"110153", "DCM", "Source Role ID"};
constexpr Code kDestinationRole {"110152", "DCM", "Destination Role ID"};
constexpr Code kSourceMedia {"110155", "DCM", "Source Media"};
constexpr Code kStudyInstanceUid {"110180", "DCM", "Study Instance UID"};
constexpr Code kSopClassUid {"110181", "DCM", "SOP Class UID"};
constexpr Code kPatientNumber {"2", "RFC-3881", "Patient Number"};

Code mediaCode(MediaType type)
{
    switch (type) {
    case MediaType::CD:
        return {"110032", "DCM", "CD"};
    case MediaType::DVD:
        return {"110033", "DCM", "DVD"};
    case MediaType::USB:
        return {"110030", "DCM", "USB Disk Emulation"};
    case MediaType::URI:
        break;
    }
    return {"110037", "DCM", "URI"};
}

// XML 1.0 has no place for control characters, and names read from a medium
// may hold any of them.
QString clean(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || u == 0xFFFE || u == 0xFFFF)
            c = QLatin1Char(' ');
    }
    // a lone half of a surrogate pair cannot be written as UTF-8 either
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (out[i].isHighSurrogate() && i + 1 < out.size() && out[i + 1].isLowSurrogate())
            ++i;
        else if (out[i].isSurrogate())
            out[i] = QChar(0xFFFD);
    }
    return out;
}

class Writer {
public:
    Writer()
        : xml_(&bytes_)
    {
        xml_.writeStartDocument();
        xml_.writeStartElement(QStringLiteral("AuditMessage"));
    }

    QByteArray finish()
    {
        xml_.writeEndElement();
        xml_.writeEndDocument();
        // one line: syslog and the local copy end a message at a line break
        while (bytes_.endsWith('\n'))
            bytes_.chop(1);
        return bytes_;
    }

    void start(const char* element) { xml_.writeStartElement(QLatin1String(element)); }
    void end() { xml_.writeEndElement(); }
    void attr(const char* name, const QString& value) { xml_.writeAttribute(QLatin1String(name), clean(value)); }
    void text(const char* element, const QString& value) { xml_.writeTextElement(QLatin1String(element), clean(value)); }

    void code(const char* element, const Code& c)
    {
        start(element);
        attr("csd-code", QLatin1String(c.code));
        attr("codeSystemName", QLatin1String(c.system));
        attr("originalText", QLatin1String(c.text));
        end();
    }

    void event(const Station& station, const Code& id, const char* action, Outcome outcome, const Code* type = nullptr)
    {
        start("EventIdentification");
        attr("EventActionCode", QLatin1String(action));
        attr("EventDateTime", isoDateTime(station.when));
        attr("EventOutcomeIndicator", QString::number(static_cast<int>(outcome)));
        code("EventID", id);
        if (type)
            code("EventTypeCode", *type);
        end();
    }

    // This program: the process, its AE title and the machine.
    void station(const Station& s, bool requestor, const Code& role)
    {
        start("ActiveParticipant");
        attr("UserID", s.processId);
        if (!s.aeTitle.isEmpty())
            attr("AlternativeUserID", QStringLiteral("AETITLES=") + s.aeTitle);
        attr("UserName", QStringLiteral("Varnelo"));
        attr("UserIsRequestor", requestor ? QStringLiteral("true") : QStringLiteral("false"));
        networkAccessPoint(s.host);
        code("RoleIDCode", role);
        end();
    }

    // The person at the workstation.
    void operatorUser(const Station& s, const Code* role = nullptr)
    {
        start("ActiveParticipant");
        attr("UserID", s.user);
        attr("UserIsRequestor", QStringLiteral("true"));
        if (role)
            code("RoleIDCode", *role);
        end();
    }

    void peer(const Node& node, const Code& role)
    {
        start("ActiveParticipant");
        attr("UserID", node.aeTitle);
        attr("AlternativeUserID", QStringLiteral("AETITLES=") + node.aeTitle);
        attr("UserIsRequestor", QStringLiteral("false"));
        networkAccessPoint(node.host);
        code("RoleIDCode", role);
        end();
    }

    void medium(const Medium& m)
    {
        start("ActiveParticipant");
        attr("UserID", m.id);
        attr("UserIsRequestor", QStringLiteral("false"));
        code("RoleIDCode", kSourceMedia);
        start("MediaIdentifier");
        code("MediaType", mediaCode(m.type));
        end();
        end();
    }

    void source(const Station& s)
    {
        start("AuditSourceIdentification");
        if (!s.site.trimmed().isEmpty())
            attr("AuditEnterpriseSiteID", s.site.trimmed());
        attr("AuditSourceID", s.aeTitle.isEmpty() ? s.host : s.aeTitle + QLatin1Char('@') + s.host);
        // 1 "end-user display device": a program the operator sits at, not a
        // server process
        start("AuditSourceTypeCode");
        attr("csd-code", QStringLiteral("1"));
        end();
        end();
    }

    void patient(const Patient& p)
    {
        start("ParticipantObjectIdentification");
        // HL7 CX, as IHE's actors write a patient's identifier with its issuer
        attr("ParticipantObjectID", p.issuer.isEmpty() ? p.id : p.id + QStringLiteral("^^^") + p.issuer);
        attr("ParticipantObjectTypeCode", QStringLiteral("1"));
        attr("ParticipantObjectTypeCodeRole", QStringLiteral("1"));
        code("ParticipantObjectIDTypeCode", kPatientNumber);
        text("ParticipantObjectName", p.name);
        end();
    }

    void study(const Study& st)
    {
        start("ParticipantObjectIdentification");
        attr("ParticipantObjectID", st.uid);
        attr("ParticipantObjectTypeCode", QStringLiteral("2"));
        attr("ParticipantObjectTypeCodeRole", QStringLiteral("3"));
        code("ParticipantObjectIDTypeCode", kStudyInstanceUid);
        text("ParticipantObjectName", st.description);
        if (!st.sopClasses.isEmpty()) {
            start("ParticipantObjectDescription");
            for (const SopClassCount& c : st.sopClasses) {
                start("SOPClass");
                attr("UID", c.uid);
                attr("NumberOfInstances", QString::number(c.count));
                end();
            }
            end();
        }
        end();
    }

    void studiesAndPatient(const Patient& p)
    {
        for (const Study& st : p.studies)
            study(st);
        patient(p);
    }

private:
    void networkAccessPoint(const QString& host)
    {
        if (host.isEmpty())
            return;
        attr("NetworkAccessPointID", host);
        // 2 an IP address, 1 a machine name
        attr("NetworkAccessPointTypeCode", QHostAddress().setAddress(host) ? QStringLiteral("2") : QStringLiteral("1"));
    }

    QByteArray bytes_;
    QXmlStreamWriter xml_;
};

QString accountName()
{
    // the account, not what the environment claims
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

}  // namespace

Station Station::current()
{
    Station s;
    s.aeTitle = appState().LocalAET;
    s.host = QSysInfo::machineHostName();
    s.processId = QString::number(QCoreApplication::applicationPid());
    s.user = accountName();
    s.site = appState().AuditSite;
    s.when = now();
    return s;
}

Medium describeMedium(const QString& path, bool fromDrive, bool optical)
{
    if (!fromDrive || QFileInfo(path).isFile())
        return {QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded), MediaType::URI};
    const QStorageInfo volume(path);
    Medium m;
    m.id = volume.name().isEmpty() ? volume.rootPath() : volume.name();
    if (m.id.isEmpty())
        m.id = path;
    if (!optical)
        m.type = MediaType::USB;
    else  // a CD holds at most 900 MB
        m.type = volume.bytesTotal() > 900LL * 1024 * 1024 ? MediaType::DVD : MediaType::CD;
    return m;
}

QByteArray applicationActivity(const Station& station, bool start)
{
    Writer w;
    w.event(station, kApplicationActivity, "E", Outcome::Success, start ? &kApplicationStart : &kApplicationStop);
    w.station(station, false, kApplication);
    w.operatorUser(station, &kApplicationLauncher);
    w.source(station);
    return w.finish();
}

QByteArray importEvent(const Station& station, const Medium& medium, const QList<Patient>& patients, Outcome outcome)
{
    Writer w;
    w.event(station, kImport, "C", outcome);
    w.medium(medium);
    w.operatorUser(station);
    w.station(station, false, kDestinationRole);
    w.source(station);
    for (const Patient& p : patients)
        for (const Study& st : p.studies)
            w.study(st);
    for (const Patient& p : patients)
        w.patient(p);
    return w.finish();
}

QByteArray beginTransferring(const Station& station, const Node& destination, const Patient& patient, Outcome outcome)
{
    Writer w;
    w.event(station, kBeginTransferring, "E", outcome);
    w.station(station, false, kSourceRole);
    w.peer(destination, kDestinationRole);
    w.operatorUser(station);
    w.source(station);
    w.studiesAndPatient(patient);
    return w.finish();
}

QByteArray instancesTransferred(const Station& station, const Node& destination, const Patient& patient, Outcome outcome)
{
    Writer w;
    w.event(station, kInstancesTransferred, "C", outcome);
    w.station(station, false, kSourceRole);
    w.peer(destination, kDestinationRole);
    w.operatorUser(station);
    w.source(station);
    w.studiesAndPatient(patient);
    return w.finish();
}

QByteArray query(const Station& station, const Query& q, Outcome outcome)
{
    Writer w;
    w.event(station, kQuery, "E", outcome);
    w.station(station, false, kSourceRole);
    w.peer(q.peer, kDestinationRole);
    w.operatorUser(station);
    w.source(station);
    w.start("ParticipantObjectIdentification");
    w.attr("ParticipantObjectID", q.sopClassUid);
    w.attr("ParticipantObjectTypeCode", QStringLiteral("2"));
    w.attr("ParticipantObjectTypeCodeRole", QStringLiteral("3"));
    w.code("ParticipantObjectIDTypeCode", kSopClassUid);
    w.text("ParticipantObjectQuery", QString::fromLatin1(q.identifier.toBase64()));
    w.start("ParticipantObjectDetail");
    w.attr("type", QStringLiteral("TransferSyntax"));
    w.attr("value", QString::fromLatin1(q.transferSyntax.toUtf8().toBase64()));
    w.end();
    w.end();
    return w.finish();
}

}  // namespace varnelo::audit
