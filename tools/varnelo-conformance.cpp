// Prints the tables of docs/conformance.md from the program's own tables,
// checks the document against them, or writes them into it.
//
//   varnelo-conformance                 the tables, each in its markers
//   varnelo-conformance --check FILE    exit 1 and the differences when FILE's tables are stale
//   varnelo-conformance --update FILE   writes the tables into FILE

#include "base/AppState.h"
#include "dicomnet/Conformance.h"
#include "dicomnet/Network.h"
#include "dicom/Dicom.h"
#include "worklist/WorklistQuery.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdio>
#include <map>
#include <utility>
#include <vector>

using namespace varnelo;
namespace cf = varnelo::conformance;

namespace {

const QString kTick = QStringLiteral("✓");

QString tag(std::uint16_t group, std::uint16_t element)
{
    return QStringLiteral("(%1,%2)").arg(group, 4, 16, QLatin1Char('0')).arg(element, 4, 16, QLatin1Char('0')).toUpper();
}

QString row(const QStringList& cells)
{
    return QStringLiteral("| ") + cells.join(QStringLiteral(" | ")) + QStringLiteral(" |");
}

QString header(const QStringList& cells)
{
    QStringList rule;
    for (qsizetype i = 0; i < cells.size(); ++i)
        rule << QStringLiteral("---");
    return row(cells) + QLatin1Char('\n') + row(rule);
}

QString uses(unsigned bits)
{
    static const std::vector<std::pair<unsigned, const char*>> names = {
        {cf::Echo, "connection check at IMPORT"},
        {cf::Store, "C-STORE of the images"},
        {cf::Commit, "storage commitment request"},
        {cf::CommitQuery, "query where no commitment is offered"},
        {cf::StudyQuery, "what a PACS holds before sending"},
        {cf::Worklist, "worklist window"},
        {cf::ConnectionTest, "Options: Test connections"},
    };
    QStringList out;
    for (const auto& [bit, name] : names)
        if (bits & bit)
            out << QLatin1String(name);
    return out.join(QStringLiteral("; "));
}

QString identity()
{
    return header({QStringLiteral("Implementation Class UID"), QStringLiteral("Implementation Version Name")}) +
        QLatin1Char('\n') + row({cf::implementationClassUid(), cf::implementationVersionName()});
}

QString contexts()
{
    const auto& syntaxes = cf::uncompressedSyntaxes();
    QStringList head {QStringLiteral("Abstract syntax"), QStringLiteral("UID")};
    for (const cf::NamedUid& ts : syntaxes)
        head << QLatin1String(ts.name);
    head << QStringLiteral("The file's own") << QStringLiteral("Role") << QStringLiteral("Proposed for");
    QStringList lines {header(head)};
    auto add = [&](const QString& uid, const cf::Proposal& p) {
        QStringList cells {cf::uidName(uid), uid};
        for (const cf::NamedUid& ts : syntaxes) {
            bool proposed = false;
            for (const cf::NamedUid& t : p.transferSyntaxes)
                proposed = proposed || QLatin1String(t.uid) == QLatin1String(ts.uid);
            cells << (proposed ? kTick : QString());
        }
        cells << (p.fileSyntax ? kTick : QString()) << QStringLiteral("SCU") << uses(p.uses);
        lines << row(cells);
    };
    for (const cf::Proposal& p : cf::proposals()) {
        if (p.abstractSyntax) {
            add(QLatin1String(p.abstractSyntax), p);
            continue;
        }
        for (const cf::StorageClass& c : cf::storageClasses())
            add(QLatin1String(c.uid), p);
    }
    return lines.join(QLatin1Char('\n'));
}

QString commitPort()
{
    const cf::Proposal& p = cf::commitPortContext();
    QStringList names;
    for (const cf::NamedUid& ts : p.transferSyntaxes)
        names << QLatin1String(ts.name);
    return header({QStringLiteral("Abstract syntax"), QStringLiteral("UID"), QStringLiteral("Transfer syntaxes accepted"),
                   QStringLiteral("Role")}) +
        QLatin1Char('\n') +
        row({cf::uidName(QLatin1String(p.abstractSyntax)), QLatin1String(p.abstractSyntax), names.join(QStringLiteral(", ")),
             QStringLiteral("SCU; the PACS proposes the SCP role or the default")});
}

QString decoded()
{
    QStringList lines {header({QStringLiteral("Transfer syntax"), QStringLiteral("UID")})};
    for (const cf::NamedUid& ts : cf::decodedSyntaxes())
        lines << row({QLatin1String(ts.name), QLatin1String(ts.uid)});
    return lines.join(QLatin1Char('\n'));
}

QString timeouts()
{
    return header({QStringLiteral("Wait"), QStringLiteral("Seconds")}) + QLatin1Char('\n') +
        row({QStringLiteral("TCP connect"), QString::number(DicomTimeouts::ConnectSeconds)}) + QLatin1Char('\n') +
        row({QStringLiteral("ACSE (association request, release)"), QString::number(DicomTimeouts::AcseSeconds)}) +
        QLatin1Char('\n') + row({QStringLiteral("DIMSE (each response)"), QString::number(DicomTimeouts::DimseSeconds)});
}

void keyRows(const DcmDataset& item, const QString& indent, QStringList& lines)
{
    for (const DcmAttribute& a : item.Attributes().All()) {
        QString value;
        if (a.IsSequence())
            value = QStringLiteral("(sequence)");
        else if (a.Value().isNull())
            value = QStringLiteral("(returned)");
        else
            value = QLatin1Char('`') + a.Value().toStringList().join(QLatin1Char('\\')) + QLatin1Char('`');
        lines << row({indent + cf::tagName(a.Group(), a.Element()), tag(a.Group(), a.Element()), value});
        if (a.IsSequence()) {
            const DcmDatasetList items = a.SequenceItems();
            for (std::int32_t i = 1; i <= items.Count(); ++i)
                keyRows(items.ItemAt(i), indent + QStringLiteral("&gt;"), lines);
        }
    }
}

QString worklistKeys()
{
    AppState state;
    state.LocalAET = QStringLiteral("LOCALAET");
    state.WorklistModality = QStringLiteral("MODALITY");
    const QDate day(2000, 1, 31);
    QStringList lines {header({QStringLiteral("Attribute"), QStringLiteral("Tag"), QStringLiteral("Value asked")})};
    keyRows(buildWorklistIdentifier(state, day), QString(), lines);
    return lines.join(QLatin1Char('\n'))
        .replace(QStringLiteral("20000131"), QStringLiteral("TODAY"))
        .replace(QStringLiteral("`LOCALAET`"), QStringLiteral("[DICOM] LocalAET"))
        .replace(QStringLiteral("`MODALITY`"), QStringLiteral("[Worklist] Modality"));
}

QString commitQueryKeys()
{
    QStringList lines {header({QStringLiteral("Attribute"), QStringLiteral("Tag"), QStringLiteral("Value asked")})};
    for (const cf::QueryKey& k : cf::commitQueryKeys()) {
        const QString value = !k.value ? QStringLiteral("the study's UID")
            : *k.value                 ? QLatin1Char('`') + QLatin1String(k.value) + QLatin1Char('`')
                                       : QStringLiteral("(returned)");
        lines << row({cf::tagName(k.group, k.element), tag(k.group, k.element), value});
    }
    return lines.join(QLatin1Char('\n'));
}

// The tables by the name their markers carry, in the document's order.
std::vector<std::pair<QString, QString>> tables()
{
    return {
        {QStringLiteral("identity"), identity()},
        {QStringLiteral("contexts"), contexts()},
        {QStringLiteral("commit-port"), commitPort()},
        {QStringLiteral("decoded"), decoded()},
        {QStringLiteral("worklist-keys"), worklistKeys()},
        {QStringLiteral("commit-query-keys"), commitQueryKeys()},
        {QStringLiteral("timeouts"), timeouts()},
    };
}

QString begin(const QString& name)
{
    return QStringLiteral("<!-- generated: %1 -->").arg(name);
}
const QString kEnd = QStringLiteral("<!-- end generated -->");

// Each table of the document between its markers; a missing one is absent.
std::map<QString, QString> tablesIn(const QString& text)
{
    std::map<QString, QString> found;
    static const QRegularExpression block(QStringLiteral("<!-- generated: ([a-z-]+) -->\\n(.*?)\\n?<!-- end generated -->"),
                                          QRegularExpression::DotMatchesEverythingOption);
    for (auto it = block.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        found[m.captured(1)] = m.captured(2);
    }
    return found;
}

int check(const QString& path, const QString& text)
{
    const auto inDocument = tablesIn(text);
    QTextStream out(stdout);
    int stale = 0;
    for (const auto& [name, expected] : tables()) {
        const auto it = inDocument.find(name);
        if (it == inDocument.end()) {
            out << path << ": the table \"" << name << "\" is missing (" << begin(name) << " ... " << kEnd << ")\n";
            ++stale;
            continue;
        }
        if (it->second == expected)
            continue;
        ++stale;
        out << path << ": the table \"" << name << "\" differs from what the program proposes:\n";
        const QStringList want = expected.split(QLatin1Char('\n'));
        const QStringList have = it->second.split(QLatin1Char('\n'));
        for (const QString& line : have)
            if (!want.contains(line))
                out << "- " << line << '\n';
        for (const QString& line : want)
            if (!have.contains(line))
                out << "+ " << line << '\n';
    }
    if (stale)
        out << "Regenerate the tables with: varnelo-conformance --update " << path << '\n';
    return stale ? 1 : 0;
}

QString updated(QString text)
{
    for (const auto& [name, table] : tables()) {
        const QString start = begin(name);
        const qsizetype from = text.indexOf(start);
        if (from < 0) {
            text += QLatin1Char('\n') + start + QLatin1Char('\n') + table + QLatin1Char('\n') + kEnd + QLatin1Char('\n');
            continue;
        }
        const qsizetype to = text.indexOf(kEnd, from);
        const qsizetype bodyFrom = from + start.size();
        text.replace(bodyFrom, (to < 0 ? text.size() : to) - bodyFrom, QLatin1Char('\n') + table + QLatin1Char('\n'));
        if (to < 0)
            text += kEnd + QLatin1Char('\n');
    }
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 1) {
        QTextStream out(stdout);
        for (const auto& [name, table] : tables())
            out << begin(name) << '\n'
                << table << '\n'
                << kEnd << "\n\n";
        return 0;
    }
    if (args.size() != 3 || (args[1] != QLatin1String("--check") && args[1] != QLatin1String("--update"))) {
        std::fprintf(stderr, "usage: varnelo-conformance [--check FILE | --update FILE]\n");
        return 2;
    }
    QFile file(args[2]);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args[2]));
        return 2;
    }
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    if (args[1] == QLatin1String("--check"))
        return check(args[2], text);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(args[2]));
        return 2;
    }
    file.write(updated(text).toUtf8());
    return 0;
}
