#include "WorklistTestKit.h"

#include "base/ProgramFolder.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace varnelo::wltest {

int RecordingView::appendRow()
{
    rows.push_back(Row {});
    events.push_back(QStringLiteral("row"));
    return static_cast<int>(rows.size()) - 1;
}

void RecordingView::setCell(int row, int column, const QString& text)
{
    rows.at(static_cast<size_t>(row)).at(static_cast<size_t>(column)) = text;
}

Harness::Harness()
{
    setProgramFolderForTesting(dir_.path());
    previous_ = MessageBox::setHandler([this](const MessageBox::Request& r) {
        boxes.push_back(r);
        return MessageBox::Answer::Ok;
    });
}

Harness::~Harness()
{
    MessageBox::setHandler(previous_);
}

std::vector<QStringList> Harness::errorLog() const
{
    std::vector<QStringList> lines;
    QFile f(dir_.filePath(QStringLiteral("Logs/Error.log")));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return lines;
    for (const QString& line : QString::fromLocal8Bit(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines.push_back(line.split(QLatin1Char('\t')));
    return lines;
}

QStringList snapshot(const AppState& s)
{
    QStringList f;
    f << QString::number(s.SearchBy) << QString::number(s.Location) << s.ImportDrive << s.DicomDirPath
      << QString::number(s.ImportWithSubDirs) << s.ImportFolder << s.RemoteAET << s.RemoteIP << s.RemotePort
      << s.RemoteAET2 << s.RemoteIP2 << s.RemotePort2 << QString::number(s.UseDestination2) << s.LocalAET
      << s.IniPath << s.Drive << s.AppName << s.FileSuffix << QString::number(s.WriteLog)
      << QString::number(s.Validate) << QString::number(s.ImgDirEqStudy) << QString::number(s.ChangeID)
      << s.WorklistAET << s.WorklistIP << s.WorklistPort << s.WorklistModality << QString::number(s.AlwaysIgnore);
    return f;
}

Flat expectedIdentifier(const QString& modality, const QString& stationAE, const QDate& day)
{
    const QString d = day.toString(QStringLiteral("yyyyMMdd"));
    const QString sps = QStringLiteral("(0040,0100)[0]");
    return {
        {"(0008,0005)", ""},
        {"(0008,0050)", ""},
        {"(0008,0090)", ""},
        {"(0008,1110)", "SQ 1"},
        {"(0008,1110)[0](0008,1150)", ""},
        {"(0008,1110)[0](0008,1155)", ""},
        {"(0010,0010)", ""},
        {"(0010,0020)", ""},
        {"(0010,0021)", ""},  // Issuer of Patient ID, for a reconciled import
        {"(0010,0030)", ""},
        {"(0010,0040)", ""},
        {"(0010,1020)", ""},
        {"(0010,1030)", ""},
        {"(0010,1040)", ""},
        {"(0010,2000)", ""},
        {"(0010,2110)", ""},
        {"(0010,21C0)", ""},  // asked for, never matched on
        {"(0018,0015)", ""},
        {"(0020,000D)", ""},
        {"(0032,1032)", ""},
        {"(0032,1033)", ""},
        {"(0032,1060)", ""},
        {"(0032,1064)", "SQ 1"},
        {"(0032,1064)[0](0008,0100)", ""},
        {"(0032,1064)[0](0008,0102)", ""},
        {"(0032,1064)[0](0008,0104)", ""},
        {"(0038,0010)", ""},
        {"(0038,0050)", ""},
        {"(0038,0300)", ""},
        {"(0038,0400)", ""},
        {"(0038,0500)", ""},
        {"(0040,0100)", "SQ 1"},
        {sps + "(0008,0060)", modality},
        {sps + "(0032,1070)", ""},
        {sps + "(0040,0001)", stationAE},
        {sps + "(0040,0002)", d + "-" + d},
        {sps + "(0040,0003)", "000000-235959"},
        {sps + "(0040,0006)", ""},
        {sps + "(0040,0007)", ""},
        {sps + "(0040,0008)", "SQ 1"},
        {sps + "(0040,0008)[0](0008,0100)", ""},
        {sps + "(0040,0009)", ""},
        {sps + "(0040,0011)", ""},
        {sps + "(0040,0012)", ""},
        {"(0040,1001)", ""},
        {"(0040,1003)", ""},
        {"(0040,1004)", ""},
        {"(0040,3001)", ""},
    };
}

namespace {

QString tagText(std::uint16_t group, std::uint16_t element)
{
    return QStringLiteral("(%1,%2)")
        .arg(group, 4, 16, QLatin1Char('0'))
        .arg(element, 4, 16, QLatin1Char('0'))
        .toUpper();
}

void flattenInto(const DcmAttributeList& list, const QString& prefix, Flat& out)
{
    for (const DcmAttribute& a : list.All()) {
        const QString path = prefix + tagText(a.Group(), a.Element());
        if (a.IsSequence()) {
            const DcmDatasetList items = a.SequenceItems();
            out.emplace_back(path, QStringLiteral("SQ %1").arg(items.Count()));
            for (int i = 1; i <= items.Count(); ++i)
                flattenInto(items.ItemAt(i).Attributes(), path + QStringLiteral("[%1]").arg(i - 1), out);
        } else {
            const QVariant v = a.Value();
            out.emplace_back(path, v.userType() == QMetaType::QStringList ? v.toStringList().join('\\') : v.toString());
        }
    }
}

}  // namespace

Flat flatten(const DcmDataset& dataset)
{
    Flat out;
    flattenInto(dataset.Attributes(), QString(), out);
    return out;
}

Flat receivedIdentifier(const QString& peerLog)
{
    Flat out;
    const QStringList lines = peerLog.split(QLatin1Char('\n'));
    const int start = lines.indexOf(QRegularExpression(QStringLiteral("^I: Find SCP Request Identifiers:")));
    if (start < 0)
        return out;
    // "I: " + two blanks per level + "(gggg,eeee) VR value   #  len, vm Name"
    static const QRegularExpression element(
        QStringLiteral("^I: ( *)\\(([0-9a-f]{4}),([0-9a-f]{4})\\) (\\w\\w) (.*?)\\s+#\\s*(\\S+), *\\d+ \\S+$"));
    std::vector<QString> pathAt;  // path of the element or item open at each depth
    std::vector<int> itemsSeen;   // items met so far in the sequence at each depth
    for (int i = start + 1; i < lines.size(); ++i) {
        if (lines[i].startsWith(QLatin1String("I: ====")))
            break;
        const QRegularExpressionMatch m = element.match(lines[i]);
        if (!m.hasMatch())
            continue;
        const size_t depth = static_cast<size_t>(m.captured(1).size() / 2);
        const QString group = m.captured(2).toUpper(), elem = m.captured(3).toUpper();
        if (pathAt.size() < depth + 1) {
            pathAt.resize(depth + 1);
            itemsSeen.resize(depth + 1);
        }
        if (group == QLatin1String("FFFE")) {
            if (elem == QLatin1String("E000") && depth > 0)
                pathAt[depth] = pathAt[depth - 1] + QStringLiteral("[%1]").arg(itemsSeen[depth - 1]++);
            continue;
        }
        const QString path = (depth > 0 ? pathAt[depth - 1] : QString()) + "(" + group + "," + elem + ")";
        QString value = m.captured(5);
        if (m.captured(4) == QLatin1String("SQ")) {
            static const QRegularExpression count(QStringLiteral("#=(\\d+)"));
            value = QStringLiteral("SQ ") + count.match(value).captured(1);
            pathAt[depth] = path;
            itemsSeen[depth] = 0;
        } else if (value == QLatin1String("(no value available)")) {
            value.clear();
        } else if (value.startsWith(QLatin1Char('[')) && value.endsWith(QLatin1Char(']'))) {
            value = value.mid(1, value.size() - 2).trimmed();  // drops the even-length padding
        }
        out.emplace_back(path, value);
    }
    return out;
}

QString difference(const Flat& expected, const Flat& actual)
{
    QString text;
    const size_t n = std::max(expected.size(), actual.size());
    for (size_t i = 0; i < n; ++i) {
        const auto e = i < expected.size() ? expected[i] : std::pair<QString, QString>("<none>", "");
        const auto a = i < actual.size() ? actual[i] : std::pair<QString, QString>("<none>", "");
        if (e != a)
            text += QStringLiteral("#%1 expected %2 = \"%3\", got %4 = \"%5\"\n").arg(i).arg(e.first, e.second, a.first, a.second);
    }
    return text;
}

}  // namespace varnelo::wltest
