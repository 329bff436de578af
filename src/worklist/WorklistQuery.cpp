#include "worklist/WorklistQuery.h"
#include "dicomnet/Network.h"

#include "base/AppState.h"
#include "base/AuditSender.h"
#include "base/Convert.h"
#include "base/Logs.h"
#include "base/MessageBox.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>
#include <QTime>

#include <algorithm>
#include <exception>
#include <functional>
#include <vector>

namespace varnelo {

namespace {

const QString Empty;

// Runs one filling step; whatever it throws leaves its cell alone.
void step(const std::function<void()>& fill) noexcept
{
    try {
        fill();
    } catch (...) {
    }
}

// An attribute value as cell text; multiple values keep DICOM's separator.
QString cellText(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char('\\'));
    return value.toString();
}

// A provider's text may hold control characters (CR, LF, BEL, ESC); a cell
// shows each as a mark of its own instead of acting on it.
void setShown(WorklistView& view, int row, int column, QString text)
{
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control)
            c = QChar(kControlShown);
    view.setCell(row, column, text);
}

void fillFromTag(WorklistView& view, int row, int column, const DcmDataset& entry, std::uint16_t group,
                 std::uint16_t element)
{
    step([&] {
        const QVariant value = entry.Attributes().ByTag(group, element).Value();
        if (!value.isNull())
            setShown(view, row, column, cellText(value));
    });
}

// The [Worklist] keys that the settings file leaves empty, for the log: the
// message box keeps its short text, the administrator reads the log.
QString missingKeys(const AppState& state)
{
    QStringList missing;
    if (state.WorklistAET.trimmed().isEmpty())
        missing << QStringLiteral("AET");
    if (state.WorklistIP.trimmed().isEmpty())
        missing << QStringLiteral("IP");
    if (state.WorklistPort.trimmed().isEmpty())
        missing << QStringLiteral("Port");
    if (missing.isEmpty())
        return QString();
    const QString where = state.IniPath.isEmpty() ? QString() : QStringLiteral(" in ") + state.IniPath;
    return QStringLiteral(" ([Worklist] %1 not set%2)").arg(missing.join(QStringLiteral(", ")), where);
}

struct Worklist {
    Q_DECLARE_TR_FUNCTIONS(Worklist)
};

// Below the number and description, what happened in the operator's words.
QString plainFailure(const AppState& state)
{
    QStringList missing;
    if (state.WorklistAET.trimmed().isEmpty())
        missing << Worklist::tr("the worklist's AE title");
    if (state.WorklistIP.trimmed().isEmpty())
        missing << Worklist::tr("its address");
    if (state.WorklistPort.trimmed().isEmpty())
        missing << Worklist::tr("its port");
    if (!missing.isEmpty())
        return Worklist::tr("The worklist is not set up: the settings give no %1. Ask your administrator to fill in "
                            "the [Worklist] section of the settings file.")
            .arg(QLocale().createSeparatedList(missing));
    bool number = false;
    const int port = state.WorklistPort.trimmed().toInt(&number);
    if (!number || port < 1 || port > 65535)
        return Worklist::tr("The worklist is not set up: its port \"%1\" is not a port number. Ask your administrator "
                            "to correct the [Worklist] section of the settings file.")
            .arg(state.WorklistPort.trimmed());
    return Worklist::tr("The worklist %1 at %2 port %3 could not be asked. Check that the worklist server is running, "
                        "or ask your administrator.")
        .arg(state.WorklistAET.trimmed(), state.WorklistIP.trimmed(), state.WorklistPort.trimmed());
}

void fail(WorklistView& view, std::int32_t number, const QString& description)
{
    MessageBox::show(QString::number(number) + QStringLiteral(" - ") + description + QLatin1Char('\n') +
                         plainFailure(appState()),
                     MessageBox::Icon::Error);
    WriteErrorLog(number, description + missingKeys(appState()), QStringLiteral("WLQuery"));
    view.close();
}

// When the entry's first step is scheduled, as "yyyyMMdd hh:mm:ss" to sort
// by; a date or time that cannot be read sorts after every one that can.
QString scheduledKey(const DcmDataset& entry)
{
    QString date = QStringLiteral("~");
    QString time = QStringLiteral("~");
    step([&] {
        const DcmDataset firstStep = entry.Attributes().ByTag(0x0040, 0x0100).SequenceItems().ItemAt(1);
        step([&] {
            const QString d = cellText(firstStep.Attributes().ByTag(0x0040, 0x0002).Value()).trimmed();
            if (QDate::fromString(d, QStringLiteral("yyyyMMdd")).isValid())
                date = d;
        });
        step([&] {
            if (const QString t = worklistTime(cellText(firstStep.Attributes().ByTag(0x0040, 0x0003).Value())); !t.isEmpty())
                time = t;
        });
    });
    return date + QLatin1Char(' ') + time;
}

}  // namespace

PersonNameGroups splitPersonName(const QString& name)
{
    const QStringList groups = name.split(QLatin1Char('='));
    const auto holdsSomething = [](const QString& group) {
        return std::any_of(group.begin(), group.end(), [](QChar c) { return c != QLatin1Char('^') && !c.isSpace(); });
    };
    qsizetype shown = 0;
    if (!holdsSomething(groups.front())) {
        for (qsizetype i = 1; i < groups.size(); ++i)
            if (holdsSomething(groups[i])) {
                shown = i;
                break;
            }
    }
    PersonNameGroups result;
    result.components = groups[shown].split(QLatin1Char('^'));
    for (qsizetype i = 0; i < groups.size(); ++i)
        if (i != shown && holdsSomething(groups[i]))
            result.otherGroups << groups[i];
    return result;
}

QStringList worklistHeaders()
{
    return {Worklist::tr("Time"), Worklist::tr("Last Name"), Worklist::tr("First Name"),
            Worklist::tr("M.I."), Worklist::tr("Date of Birth"), Worklist::tr("ID"),
            Worklist::tr("Sex"), Worklist::tr("Accession"), Worklist::tr("Bodypart"),
            Worklist::tr("Study Description")};
}

DcmDataset buildWorklistIdentifier(const AppState& state, const QDate& today)
{
    DcmDatasetList referencedStudy, requestedProcedureCode, scheduledStep, scheduledProtocolCode;
    DcmAttributeList studyItem = referencedStudy.AppendNew().Attributes();
    DcmAttributeList codeItem = requestedProcedureCode.AppendNew().Attributes();
    DcmAttributeList stepItem = scheduledStep.AppendNew().Attributes();
    DcmAttributeList protocolItem = scheduledProtocolCode.AppendNew().Attributes();

    protocolItem.AddAttribute(0x0008, 0x0100, Empty);

    DcmDataset identifier;
    DcmAttributeList id = identifier.Attributes();
    id.AddAttribute(0x0008, 0x0005, Empty);
    id.AddAttribute(0x0008, 0x0050, Empty);
    id.AddAttribute(0x0008, 0x0090, Empty);

    studyItem.AddAttribute(0x0008, 0x1150, Empty);
    studyItem.AddAttribute(0x0008, 0x1155, Empty);
    id.AddAttribute(0x0008, 0x1110, referencedStudy);

    for (std::uint16_t element : {0x0010, 0x0020, 0x0021, 0x0030, 0x0040, 0x1020, 0x1030, 0x1040, 0x2000, 0x2110})
        id.AddAttribute(0x0010, element, Empty);
    // Who issued the Patient ID, as a machine tells issuers apart, for a
    // pick's identity. Empty keys match entries with and without them;
    // wlmscpfs leaves the sequence out of its answers, Orthanc returns it.
    DcmDatasetList issuerQualifiers;
    DcmAttributeList qualifierItem = issuerQualifiers.AppendNew().Attributes();
    for (std::uint16_t element : {0x0032, 0x0033, 0x0035})
        qualifierItem.AddAttribute(0x0040, element, Empty);
    id.AddAttribute(0x0010, 0x0024, issuerQualifiers);
    // Pregnancy Status is asked for, not matched on: "0" is none of its
    // values (1 to 4), and a provider that matches on it returns nothing.
    id.AddAttribute(0x0010, 0x21C0, Empty);
    id.AddAttribute(0x0018, 0x0015, Empty);
    id.AddAttribute(0x0020, 0x000D, Empty);
    id.AddAttribute(0x0032, 0x1032, Empty);
    id.AddAttribute(0x0032, 0x1033, Empty);
    id.AddAttribute(0x0032, 0x1060, Empty);

    codeItem.AddAttribute(0x0008, 0x0100, Empty);
    codeItem.AddAttribute(0x0008, 0x0102, Empty);
    codeItem.AddAttribute(0x0008, 0x0104, Empty);
    id.AddAttribute(0x0032, 0x1064, requestedProcedureCode);

    for (std::uint16_t element : {0x0010, 0x0050, 0x0300, 0x0400, 0x0500})
        id.AddAttribute(0x0038, element, Empty);

    // Both ends from one reading of the clock, so a query at midnight still
    // asks for one day.
    const QString day = today.toString(QStringLiteral("yyyyMMdd"));
    stepItem.AddAttribute(0x0008, 0x0060, state.WorklistModality);
    stepItem.AddAttribute(0x0032, 0x1070, Empty);
    stepItem.AddAttribute(0x0040, 0x0001, state.LocalAET);
    stepItem.AddAttribute(0x0040, 0x0002, day + QLatin1Char('-') + day);
    stepItem.AddAttribute(0x0040, 0x0003, QStringLiteral("000000-235959"));
    stepItem.AddAttribute(0x0040, 0x0006, Empty);
    stepItem.AddAttribute(0x0040, 0x0007, Empty);
    stepItem.AddAttribute(0x0040, 0x0008, scheduledProtocolCode);
    stepItem.AddAttribute(0x0040, 0x0009, Empty);
    stepItem.AddAttribute(0x0040, 0x0011, Empty);
    stepItem.AddAttribute(0x0040, 0x0012, Empty);
    id.AddAttribute(0x0040, 0x0100, scheduledStep);

    for (std::uint16_t element : {0x1001, 0x1003, 0x1004})
        id.AddAttribute(0x0040, element, Empty);
    id.AddAttribute(0x0040, 0x3001, Empty);
    return identifier;
}

void WLQuery(WorklistView& view)
{
    try {
        const AppState& state = appState();
        DcmFindClient client;
        client.PeerHost = state.WorklistIP;
        // Converted before the identifier is built, so a bad port never
        // reaches the network.
        client.PeerPort = toInt32(state.WorklistPort);
        client.CalledAETitle = state.WorklistAET;
        client.CallingAETitle = state.LocalAET;
        client.QueryRoot = QStringLiteral("WORKLIST");
        client.Tls = {state.WorklistUseTLS, state.TLSCertificate, state.TLSPrivateKey, state.TLSTrustedCertificates};

        const DcmDataset identifier = buildWorklistIdentifier(state, now().date());
        // the audit trail records each query, whether or not it was answered
        const audit::Query asked {{state.WorklistAET, state.WorklistIP}, QStringLiteral("1.2.840.10008.5.1.4.31"),
                                  identifier.Encoded(), QStringLiteral("1.2.840.10008.1.2.1")};
        DcmDatasetList results;
        try {
            results = client.RunFind(identifier);
        } catch (...) {
            auditQuery(asked, audit::Outcome::SeriousFailure);
            throw;
        }
        auditQuery(asked, audit::Outcome::Success);
        for (const QString& note : client.Notes)
            WriteDebugLog(QStringLiteral("Worklist: ") + note);

        // Lets the window paint before the rows come.
        for (int i = 0; i < 3; ++i)
            view.processEvents();
        SaveData(view, results);
    } catch (const Error& e) {
        fail(view, e.number(), e.description());
    } catch (const std::exception& e) {
        // Anything else (out of memory, say) still reaches the operator.
        fail(view, 51, QString::fromLocal8Bit(e.what()));
    }
}

void SaveData(WorklistView& view, const DcmDatasetList& results)
{
    std::int32_t count = 0;  // 32 bits: a provider may return more than 32767 entries
    step([&] { count = results.Count(); });

    // The day in the order it is scheduled; entries of one time keep the
    // provider's order.
    std::vector<std::pair<QString, std::int32_t>> order;
    order.reserve(static_cast<size_t>(std::max<std::int32_t>(count, 0)));
    for (std::int32_t index = 1; index <= count; ++index) {
        QString key = QStringLiteral("~ ~");
        step([&] { key = scheduledKey(results.ItemAt(index)); });
        order.emplace_back(key, index);
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    for (const auto& sorted : order) {
        const auto index = sorted.second;  // a plain name: lambdas below capture it
        const int row = view.appendRow();
        DcmDataset entry;
        bool haveEntry = false;
        step([&] {
            entry = results.ItemAt(index);
            haveEntry = true;
        });
        if (haveEntry) {
            step([&] {
                const PersonNameGroups name = splitPersonName(entry.PatientName());
                for (int i = 0; i < 3 && i < name.components.size(); ++i) {
                    QString text = name.components[i];
                    text.replace(QLatin1Char('\''), QChar(0x00B4));
                    setShown(view, row, WorklistColumn::LastName + i, text);
                }
                // the ideographic and phonetic writings, for whoever reads them
                QStringList others;
                for (const QString& group : name.otherGroups)
                    others << group.split(QLatin1Char('^'), Qt::SkipEmptyParts).join(QLatin1Char(' ')).trimmed();
                if (!others.isEmpty()) {
                    QString tip = others.join(QLatin1Char('\n'));
                    for (QChar& c : tip)
                        if (c.category() == QChar::Other_Control && c != QLatin1Char('\n'))
                            c = QChar(kControlShown);
                    for (int c = WorklistColumn::LastName; c <= WorklistColumn::MiddleName; ++c)
                        view.setCellToolTip(row, c, tip);
                }
            });
            fillFromTag(view, row, WorklistColumn::Accession, entry, 0x0008, 0x0050);
            fillFromTag(view, row, WorklistColumn::BodyPart, entry, 0x0018, 0x0015);
            fillFromTag(view, row, WorklistColumn::StudyDescription, entry, 0x0008, 0x1030);
            step([&] {
                const DcmDataset firstStep = entry.Attributes().ByTag(0x0040, 0x0100).SequenceItems().ItemAt(1);
                const QVariant value = firstStep.Attributes().ByTag(0x0040, 0x0003).Value();
                if (!value.isNull())
                    setShown(view, row, WorklistColumn::Time, worklistTime(cellText(value)));
            });
            step([&] {
                if (entry.BirthDateRaw())
                    setShown(view, row, WorklistColumn::BirthDate, shownDate(entry.PatientBirthDate()));
            });
            step([&] {
                if (const auto id = entry.PatientID())
                    setShown(view, row, WorklistColumn::PatientId, *id);
            });
            step([&] {
                if (const auto sex = entry.PatientSex())
                    setShown(view, row, WorklistColumn::Sex, *sex);
            });
            step([&] { view.setRowPatient(row, entry.Patient()); });
        }
        step([&] { view.processEvents(); });
    }
    step([&] { view.finishRows(); });
}

QString worklistTime(const QString& dicomTime)
{
    static const QRegularExpression tm(
        QStringLiteral("^(\\d{2})(?:(\\d{2})(?:(\\d{2})(?:\\.\\d{1,6})?)?)?$"));
    static const QRegularExpression colons(QStringLiteral("^(\\d{2}):(\\d{2})(?::(\\d{2})(?:\\.\\d{1,6})?)?$"));
    const QString text = dicomTime.trimmed();
    QRegularExpressionMatch m = tm.match(text);
    if (!m.hasMatch())
        m = colons.match(text);
    if (!m.hasMatch())
        return QString();
    const QTime time(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    return time.isValid() ? time.toString(QStringLiteral("hh:mm:ss")) : QString();
}

}  // namespace varnelo
