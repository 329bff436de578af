// varnelo-mkdata: DICOM test data for scripts, benchmarks and demos.
//   varnelo-mkdata ct --count N --out DIR [--syntax S] [--sop ct|mr|sc] [--rows R --cols C --frames F]
//                     [--patient-id ID] [--patient-name NAME] [--birth-date yyyyMMdd]
//                     [--no-study-uid] [--no-series-uid] [--no-meta] [--clinical]
//   varnelo-mkdata nondicom --out FILE [--kind text|random|empty]
//   varnelo-mkdata dicomdir DIR [--encoding explicit|implicit|big] [--shuffled]
//   varnelo-mkdata worklist --out DIR --aet CALLED [--count N] [--station AE] [--modality M] [--date yyyyMMdd]
//                           [--names all|CS01,CS03,...] [--entry 'ID|NAME|BIRTHDATE|SEX[|ISSUER]' ...]
// --names adds entries with names in other character sets (CS01 Latin-1, CS02
// Latin-2, CS03 Cyrillic, CS04 Greek, ... CS10 Japanese, CS12 Korean).
// S is one of: explicit, implicit, big, jpeg, jpeg-lossless, rle, j2k, j2k-lossy.

#include "TestData.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <stdexcept>

using namespace varnelo::testdata;

namespace {

Syntax syntaxFrom(const QString& s)
{
    static const std::map<QString, Syntax> names = {
        {QStringLiteral("explicit"), Syntax::ExplicitLittle}, {QStringLiteral("implicit"), Syntax::ImplicitLittle}, {QStringLiteral("big"), Syntax::ExplicitBig}, {QStringLiteral("jpeg"), Syntax::JpegBaseline}, {QStringLiteral("jpeg-lossless"), Syntax::JpegLossless}, {QStringLiteral("rle"), Syntax::Rle}, {QStringLiteral("j2k"), Syntax::Jpeg2000}, {QStringLiteral("j2k-lossy"), Syntax::Jpeg2000Lossy}};
    auto it = names.find(s);
    if (it == names.end())
        throw std::runtime_error("unknown transfer syntax: " + s.toStdString());
    return it->second;
}

Sop sopFrom(const QString& s)
{
    if (s == QLatin1String("ct"))
        return Sop::CT;
    if (s == QLatin1String("mr"))
        return Sop::MR;
    if (s == QLatin1String("sc"))
        return Sop::SecondaryCapture;
    throw std::runtime_error("unknown SOP class: " + s.toStdString());
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Makes DICOM test data."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ct | nondicom | dicomdir | worklist"));
    parser.addOptions({
        {QStringLiteral("out"), QStringLiteral("Output file or folder."), QStringLiteral("path")},
        {QStringLiteral("count"), QStringLiteral("Number of files."), QStringLiteral("n"), QStringLiteral("1")},
        {QStringLiteral("syntax"), QStringLiteral("Transfer syntax."), QStringLiteral("s"), QStringLiteral("explicit")},
        {QStringLiteral("sop"), QStringLiteral("ct, mr or sc."), QStringLiteral("sop"), QStringLiteral("ct")},
        {QStringLiteral("rows"), QStringLiteral("Rows."), QStringLiteral("n"), QStringLiteral("140")},
        {QStringLiteral("cols"), QStringLiteral("Columns."), QStringLiteral("n"), QStringLiteral("140")},
        {QStringLiteral("frames"), QStringLiteral("Frames."), QStringLiteral("n"), QStringLiteral("1")},
        {QStringLiteral("patient-id"), QStringLiteral("Patient ID."), QStringLiteral("id"), QStringLiteral("PID0001")},
        {QStringLiteral("patient-name"), QStringLiteral("Patient's name."), QStringLiteral("name"),
         QStringLiteral("Doe^John")},
        {QStringLiteral("birth-date"), QStringLiteral("Patient's birth date, yyyyMMdd."), QStringLiteral("date"),
         QStringLiteral("19600515")},
        {QStringLiteral("names"), QStringLiteral("Worklist entries with names in other character sets: all or IDs."),
         QStringLiteral("ids")},
        {QStringLiteral("entry"),
         QStringLiteral("A worklist entry of its own (repeatable), in UTF-8: ID|NAME|BIRTHDATE|SEX[|ISSUER]."),
         QStringLiteral("fields")},
        {QStringLiteral("no-study-uid"), QStringLiteral("Leave out the Study Instance UID.")},
        {QStringLiteral("no-series-uid"), QStringLiteral("Leave out the Series Instance UID.")},
        {QStringLiteral("no-meta"), QStringLiteral("Write without file meta information.")},
        {QStringLiteral("clinical"), QStringLiteral("A scanner's full CT header (about 100 attributes).")},
        {QStringLiteral("kind"), QStringLiteral("text, random or empty."), QStringLiteral("kind"), QStringLiteral("text")},
        {QStringLiteral("encoding"), QStringLiteral("DICOMDIR encoding: explicit, implicit or big."),
         QStringLiteral("e"), QStringLiteral("explicit")},
        {QStringLiteral("shuffled"), QStringLiteral("DICOMDIR image records in no order of the files.")},
        {QStringLiteral("aet"), QStringLiteral("Called AE title of the worklist provider."), QStringLiteral("ae"),
         QStringLiteral("WLMSCP")},
        {QStringLiteral("station"), QStringLiteral("Scheduled station AE title."), QStringLiteral("ae"),
         QStringLiteral("VARNELO")},
        {QStringLiteral("modality"), QStringLiteral("Scheduled modality."), QStringLiteral("m"), QStringLiteral("CT")},
        {QStringLiteral("date"), QStringLiteral("Scheduled date, yyyyMMdd (today)."), QStringLiteral("d")},
    });
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    QTextStream err(stderr);
    if (args.isEmpty()) {
        err << parser.helpText();
        return 2;
    }
    try {
        const QString command = args.front();
        const int count = parser.value(QStringLiteral("count")).toInt();
        if (command == QLatin1String("ct")) {
            if (!parser.isSet(QStringLiteral("out")))
                throw std::runtime_error("--out is required");
            ImageRecipe recipe;
            recipe.sop = sopFrom(parser.value(QStringLiteral("sop")));
            recipe.syntax = syntaxFrom(parser.value(QStringLiteral("syntax")));
            recipe.rows = parser.value(QStringLiteral("rows")).toInt();
            recipe.columns = parser.value(QStringLiteral("cols")).toInt();
            recipe.frames = parser.value(QStringLiteral("frames")).toInt();
            recipe.patientId = parser.value(QStringLiteral("patient-id"));
            recipe.patientName = parser.value(QStringLiteral("patient-name"));
            recipe.birthDate = parser.value(QStringLiteral("birth-date"));
            recipe.withStudyUid = !parser.isSet(QStringLiteral("no-study-uid"));
            recipe.withSeriesUid = !parser.isSet(QStringLiteral("no-series-uid"));
            recipe.withMetaHeader = !parser.isSet(QStringLiteral("no-meta"));
            recipe.clinicalHeader = parser.isSet(QStringLiteral("clinical"));
            makeSeries(parser.value(QStringLiteral("out")), count, recipe);
        } else if (command == QLatin1String("nondicom")) {
            const QString kind = parser.value(QStringLiteral("kind"));
            makeNonDicom(parser.value(QStringLiteral("out")), kind == QLatin1String("random") ? NonDicom::RandomBytes : kind == QLatin1String("empty") ? NonDicom::Empty
                                                                                                                                                       : NonDicom::Text);
        } else if (command == QLatin1String("dicomdir")) {
            if (args.size() < 2)
                throw std::runtime_error("dicomdir needs a folder");
            const QString e = parser.value(QStringLiteral("encoding"));
            makeDicomDir(args.at(1), e == QLatin1String("implicit") ? DirEncoding::ImplicitLittle : e == QLatin1String("big") ? DirEncoding::ExplicitBig
                                                                                                                              : DirEncoding::ExplicitLittle,
                         parser.isSet(QStringLiteral("shuffled")));
        } else if (command == QLatin1String("worklist")) {
            std::vector<WorklistEntry> entries;
            for (int i = 1; i <= count; ++i) {
                WorklistEntry e;
                e.patientId = QStringLiteral("WL%1").arg(i, 4, 10, QLatin1Char('0'));
                e.patientName = QStringLiteral("Patient%1^Test").arg(i);
                e.accessionNumber = QStringLiteral("ACC%1").arg(i, 4, 10, QLatin1Char('0'));
                e.stepId = QStringLiteral("SPS%1").arg(i, 4, 10, QLatin1Char('0'));
                e.time = QStringLiteral("%1%2").arg(8 + i % 10, 2, 10, QLatin1Char('0')).arg(QStringLiteral("3000"));
                e.modality = parser.value(QStringLiteral("modality"));
                e.stationAE = parser.value(QStringLiteral("station"));
                e.date = parser.value(QStringLiteral("date"));
                entries.push_back(e);
            }
            const QString names = parser.value(QStringLiteral("names"));
            for (WorklistEntry e : internationalEntries()) {
                if (names == QLatin1String("all") || names.split(QLatin1Char(',')).contains(e.patientId)) {
                    e.modality = parser.value(QStringLiteral("modality"));
                    e.stationAE = parser.value(QStringLiteral("station"));
                    e.date = parser.value(QStringLiteral("date"));
                    entries.push_back(e);
                }
            }
            for (const QString& entry : parser.values(QStringLiteral("entry"))) {
                const QStringList f = entry.split(QLatin1Char('|'));
                if (f.size() < 4)
                    throw std::runtime_error("--entry needs ID|NAME|BIRTHDATE|SEX[|ISSUER]: " + entry.toStdString());
                WorklistEntry e;
                e.patientId = f[0];
                e.patientName = f[1];
                e.birthDate = f[2];
                e.sex = f[3];
                e.issuerOfPatientId = f.value(4);
                e.characterSet = QStringLiteral("ISO_IR 192");
                e.accessionNumber = QStringLiteral("ACC-") + f[0];
                e.modality = parser.value(QStringLiteral("modality"));
                e.stationAE = parser.value(QStringLiteral("station"));
                e.date = parser.value(QStringLiteral("date"));
                entries.push_back(e);
            }
            makeWorklist(parser.value(QStringLiteral("out")), parser.value(QStringLiteral("aet")), entries);
        } else {
            throw std::runtime_error("unknown command: " + command.toStdString());
        }
    } catch (const std::exception& e) {
        err << "varnelo-mkdata: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
