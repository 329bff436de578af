#include "Seeds.h"

#include "dicom/testdata/TestData.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdint>
#include <vector>

#include <unistd.h>

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

QByteArray le(std::uint32_t v, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
    return out;
}

std::uint32_t crc32(const QByteArray& bytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A ZIP archive written by hand, so that names and attributes that no
// archiver writes can be had: members stored or deflated (raw deflate is
// qCompress without its length, zlib header and checksum).
struct ZipMember {
    QByteArray name;
    QByteArray data;
    bool deflate = false;
    std::uint32_t mode = 0100644;  // 0120777: a symbolic link to `data`
};

QByteArray zip(const std::vector<ZipMember>& members)
{
    QByteArray out, central;
    for (const ZipMember& m : members) {
        const QByteArray packed = m.deflate ? qCompress(m.data).mid(6).chopped(4) : m.data;
        const QByteArray common = le(20, 2) + le(0x0800, 2) + le(m.deflate ? 8 : 0, 2) + le(0, 2) + le(0x21, 2) +
            le(crc32(m.data), 4) + le(static_cast<std::uint32_t>(packed.size()), 4) +
            le(static_cast<std::uint32_t>(m.data.size()), 4) + le(static_cast<std::uint32_t>(m.name.size()), 2) + le(0, 2);
        central += le(0x02014b50, 4) + le(0x031E, 2) + common + le(0, 2) + le(0, 2) + le(0, 2) + le(m.mode << 16, 4) +
            le(static_cast<std::uint32_t>(out.size()), 4) + m.name;
        out += le(0x04034b50, 4) + common + m.name + packed;
    }
    const auto count = static_cast<std::uint32_t>(members.size());
    return out + central + le(0x06054b50, 4) + le(0, 4) + le(count, 2) + le(count, 2) +
        le(static_cast<std::uint32_t>(central.size()), 4) + le(static_cast<std::uint32_t>(out.size()), 4) + le(0, 2);
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
    } else if (target == QLatin1String("walk")) {
        // what the walk takes, clinical headers with private groups and
        // sequences, in both VRs; the fuzzer spoils them
        int n = 0;
        for (td::Syntax syntax : {td::Syntax::ExplicitLittle, td::Syntax::ImplicitLittle, td::Syntax::JpegLossless,
                                  td::Syntax::Rle}) {
            for (bool clinical : {false, true}) {
                td::ImageRecipe s = small();
                s.syntax = syntax;
                s.clinicalHeader = clinical;
                const QString path = folder + QStringLiteral("/seed-walk-%1").arg(++n);
                td::makeImage(path, s);
                out << path;
            }
        }
    } else if (target == QLatin1String("jpeg2000")) {
        // 8 bytes of claimed geometry, then the codestream
        auto seed = [&](const QString& name, const td::ImageRecipe& r, int rows, int columns) {
            QTemporaryDir scratch;
            const QString image = scratch.filePath(QStringLiteral("image"));
            td::makeImage(image, r);
            const std::string pixels = td::contentOf(image, true)["(7FE0,0010)"];
            // "0:" for the empty offset table, then "length:" and the bytes
            const size_t colon = pixels.find(':', 2);
            if (colon == std::string::npos)
                return;
            const int samples = r.samplesPerPixel;
            QByteArray head;
            head.append(char(rows & 0xFF)).append(char(rows >> 8)).append(char(columns & 0xFF)).append(char(columns >> 8));
            head.append(char(samples)).append(char(r.bitsAllocated == 8 ? 0 : 1)).append(char(0)).append(char(0));
            write(folder + QLatin1Char('/') + name, head + QByteArray::fromStdString(pixels.substr(colon + 1)));
            out << folder + QLatin1Char('/') + name;
        };
        td::ImageRecipe grey = small();
        grey.rows = grey.columns = 16;
        grey.syntax = td::Syntax::Jpeg2000;
        seed(QStringLiteral("seed-grey16"), grey, 16, 16);
        td::ImageRecipe rgb = grey;
        rgb.samplesPerPixel = 3;
        rgb.bitsAllocated = 8;
        seed(QStringLiteral("seed-rgb8"), rgb, 16, 16);
        seed(QStringLiteral("seed-rgb8-huge"), rgb, 37837, 37837);
        rgb.syntax = td::Syntax::Jpeg2000Lossy;
        seed(QStringLiteral("seed-rgb8-lossy"), rgb, 16, 16);
        rgb.syntax = td::Syntax::Jpeg2000;
        rgb.jp2PaletteChannels = 1;
        seed(QStringLiteral("seed-jp2-palette1"), rgb, 16, 16);
        rgb.jp2PaletteChannels = 3;
        seed(QStringLiteral("seed-jp2-palette3"), rgb, 16, 16);
    } else if (target == QLatin1String("charset")) {
        // first byte: the character set's place in the target's list
        const QByteArray seeds[] = {
            QByteArray("\x05Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B"),
            QByteArray("\x07\x1b$(D\x30\x21\x1b(B^\x1b$B\x30\x21\x1b(B\r\n\x1b$B\x30\x22"),
            QByteArray("\x08\xd4\xcf\xc0\xde^\xc0\xdb\xb3=\x1b$B;3ED\x1b(J^\x1b$BB@O:\x1b(J"),
            QByteArray("\x0aHong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7=\x1b$)C\xc8\xab^\x1b$)C\xb1\xe6\xb5\xbf"),
            QByteArray("\x00M\xfcller^J\xfcrgen"),
            QByteArray("\x01\xd0\x92\xd0\xb0\xd1\x81\xd1\x8f"),
            QByteArray("\x10ISO_IR 144\0\xb2\xd0\xe1\xef"),
        };
        int n = 0;
        for (const QByteArray& b : seeds) {
            const QString path = folder + QStringLiteral("/seed-charset-%1").arg(++n);
            write(path, b);
            out << path;
        }
    } else if (target == QLatin1String("archive")) {
        // a small medium: a DICOMDIR and its images, beside names that leave
        // the folder, repeat or lead nowhere
        QTemporaryDir media;
        const QString series = media.path() + QStringLiteral("/DICOM/ST000001/SE000001");
        td::makeSeries(series, 2, small());
        td::makeDicomDir(media.path());
        const QByteArray dicomDir = read(media.path() + QStringLiteral("/DICOMDIR"));
        const QByteArray image = read(series + QStringLiteral("/IM000001"));
        const QString plain = folder + QStringLiteral("/seed-medium.zip");
        write(plain, zip({{"DICOMDIR", dicomDir, true}, {"DICOM/ST000001/SE000001/IM000001", image, true}, {"DICOM/ST000001/SE000001/IM000002", read(series + QStringLiteral("/IM000002")), false}}));
        out << plain;
        const QString odd = folder + QStringLiteral("/seed-odd.zip");
        write(odd, zip({{"IM.DCM", image, false}, {"IM.DCM", image, true}, {"../up.dcm", image, false}, {"dir/", {}, false, 040755}, {"dir/link.dcm", "../../../etc/passwd", false, 0120777}, {"IM.DCM/inside.dcm", image, false}}));
        out << odd;
        // a disc image with a hard link and a symbolic link, when xorriso is there
        QFile::link(QStringLiteral("IM000001"), series + QStringLiteral("/LINK"));
        if (::link(QFile::encodeName(series + QStringLiteral("/IM000001")).constData(),
                   QFile::encodeName(media.path() + QStringLiteral("/HARD")).constData()) != 0) {
            // without the hard link the disc image still has its symbolic one
        }

        const QString iso = folder + QStringLiteral("/seed-medium.iso");
        QProcess x;
        x.start(QStringLiteral("xorriso"), {QStringLiteral("-hardlinks"), QStringLiteral("on"), QStringLiteral("-outdev"), iso, QStringLiteral("-map"), media.path(), QStringLiteral("/"), QStringLiteral("-commit")});
        if (x.waitForFinished(60000) && x.exitCode() == 0)
            out << iso;
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
