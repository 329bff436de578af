#include "Seeds.h"

#include "dicom/testdata/TestData.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace varnelo::fuzz {

namespace td = varnelo::testdata;

namespace {

void write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QByteArray read(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Small images keep the inputs short, so the fuzzer mutates headers.
td::ImageRecipe small()
{
    td::ImageRecipe s;
    s.rows = s.columns = 4;
    return s;
}

}  // namespace

QStringList writeSeeds(const QString& target, const QString& folder)
{
    QDir().mkpath(folder);
    QStringList out;
    if (target == QLatin1String("imagelist")) {
        struct Variant {
            const char* name;
            td::Syntax syntax;
            bool meta;
            bool uids;
        };
        const Variant variants[] = {
            {"explicit", td::Syntax::ExplicitLittle, true, true},
            {"implicit-nometa", td::Syntax::ImplicitLittle, false, true},
            {"bigendian", td::Syntax::ExplicitBig, true, false},
            {"rle", td::Syntax::Rle, true, true},
            {"jpegll", td::Syntax::JpegLossless, true, true},
            {"j2k", td::Syntax::Jpeg2000, true, true},
        };
        for (const Variant& v : variants) {
            td::ImageRecipe s = small();
            s.syntax = v.syntax;
            s.withMetaHeader = v.meta;
            s.withStudyUid = s.withSeriesUid = v.uids;
            s.patientName = QStringLiteral("M\u00fcller^J\u00fcrgen");
            const QString path = folder + QStringLiteral("/seed-") + QLatin1String(v.name);
            td::makeImage(path, s);
            out << path;
        }
    } else if (target == QLatin1String("dicomdir")) {
        int n = 0;
        for (td::DirEncoding e : {td::DirEncoding::ExplicitLittle, td::DirEncoding::ImplicitLittle,
                                  td::DirEncoding::ExplicitBig}) {
            QTemporaryDir media;
            td::makeSeries(media.path() + QStringLiteral("/DICOM/ST000001/SE000001"), 2, small());
            td::makeSeries(media.path() + QStringLiteral("/DICOM/ST000001/SE000002"), 1, small());
            td::makeDicomDir(media.path(), e);
            const QString path = folder + QStringLiteral("/seed-dicomdir-%1").arg(++n);
            write(path, read(media.path() + QStringLiteral("/DICOMDIR")));
            out << path;
        }
    } else if (target == QLatin1String("settings")) {
        const QByteArray full =
            "[Default]\r\nSearchBy=2\r\nFileSuffix=  DCM  \r\nSourceDir=/media/cdrom\r\nWithSubDirs=1\r\n"
            "WriteLog=1\r\nLocation=2\r\nDrive=D:\r\nAppName=Varnelo\r\nChangeID=True\r\nValidate=0.5\r\n"
            "ImgDirEqStudy=1.5\r\n[DICOM]\r\nLocalAET=VARNELO\r\nRemoteAET=PACS\r\nRemoteIP=127.0.0.1\r\n"
            "RemotePort=104\r\n[Worklist]\r\nAET=WL\r\nIP=localhost\r\nPort=4242\r\nModality=CT\r\n";
        const QByteArray odd = "; comment\n[default]\nsearchby = -32768\nLOCATION=32768\nChangeID=yes\n"
                               "[DICOM\nRemotePort=1e3\n[ DICOM ]\nRemotePort\n=\n[Worklist]Port=1\n";
        write(folder + QStringLiteral("/seed-full.ini"), full);
        write(folder + QStringLiteral("/seed-odd.ini"), odd);
        out << folder + QStringLiteral("/seed-full.ini") << folder + QStringLiteral("/seed-odd.ini");
    }
    return out;
}

}  // namespace varnelo::fuzz
