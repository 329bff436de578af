// Data sets, attributes, loading files and reading DICOMDIRs; no network.

#include "dicom/Dicom.h"
#include "dicom/RawFile.h"
#include "dicom/testdata/TestData.h"

#include <gtest/gtest.h>

#include <functional>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

using namespace varnelo;
namespace td = varnelo::testdata;

namespace {

QByteArray sha1(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1);
}

template <typename F>
Error errorOf(F&& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e;
    }
    ADD_FAILURE() << "no error thrown";
    return Error(0, QString());
}

}  // namespace

TEST(DcmAttributeList, TextValuesEmptyValuesAndReplacement)
{
    DcmDataset ds;
    auto attrs = ds.Attributes();
    attrs.AddAttribute(0x0010, 0x0020, QStringLiteral("PID42"));
    attrs.AddAttribute(0x0008, 0x0050, QString());
    attrs.AddAttribute(0x0010, 0x21C0, QStringLiteral("0"));
    attrs.AddAttribute(0x0008, 0x0005, QString());

    EXPECT_EQ(attrs.ByTag(0x0010, 0x0020).Value().toString(), QStringLiteral("PID42"));
    EXPECT_TRUE(attrs.Exists(0x0008, 0x0050));
    EXPECT_TRUE(attrs.ByTag(0x0008, 0x0050).Value().isNull());  // zero length reads as null
    EXPECT_EQ(attrs.ByTag(0x0010, 0x21C0).Value().toString(), QStringLiteral("0"));

    attrs.AddAttribute(0x0010, 0x0020, QStringLiteral("PID43"));
    EXPECT_EQ(attrs.ByTag(0x0010, 0x0020).Value().toString(), QStringLiteral("PID43"));

    // Kept in ascending tag order whatever the order of adding.
    const auto all = attrs.All();
    ASSERT_EQ(all.size(), 4u);
    std::vector<std::uint32_t> tags;
    for (const auto& a : all)
        tags.push_back(std::uint32_t(a.Group()) << 16 | a.Element());
    EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end()));
    EXPECT_EQ(tags.front(), 0x00080005u);
}

TEST(DcmAttributeList, ByTagOnAbsentAttributeRaises)
{
    DcmDataset ds;
    const Error e = errorOf([&] { ds.Attributes().ByTag(0x0010, 0x0010); });
    EXPECT_EQ(e.number(), DicomErrc::AttributeAbsent);
    EXPECT_TRUE(e.description().contains(QStringLiteral("(0010,0010)"))) << e.description().toStdString();
    EXPECT_FALSE(ds.Attributes().Exists(0x0010, 0x0010));
}

TEST(DcmAttributeList, MultiValuedAttributeGivesListInOrder)
{
    DcmDataset ds;
    ds.Attributes().AddAttribute(0x0008, 0x0008, QStringLiteral("ORIGINAL\\PRIMARY\\AXIAL"));
    const QVariant v = ds.Attributes().ByTag(0x0008, 0x0008).Value();
    EXPECT_EQ(v.toStringList(), (QStringList {"ORIGINAL", "PRIMARY", "AXIAL"}));
}

TEST(DcmAttributeList, SequencesCarryTheirItems)
{
    DcmDatasetList steps;
    DcmDataset step = steps.AppendNew();
    step.Attributes().AddAttribute(0x0008, 0x0060, QStringLiteral("CT"));
    step.Attributes().AddAttribute(0x0040, 0x0003, QStringLiteral("000000-235959"));
    DcmDatasetList codes;
    codes.AppendNew().Attributes().AddAttribute(0x0008, 0x0100, QString());
    step.Attributes().AddAttribute(0x0040, 0x0008, codes);

    DcmDataset id;
    id.Attributes().AddAttribute(0x0040, 0x0100, steps);

    const DcmAttribute seq = id.Attributes().ByTag(0x0040, 0x0100);
    ASSERT_TRUE(seq.IsSequence());
    EXPECT_TRUE(seq.Value().isNull());
    const DcmDatasetList items = seq.SequenceItems();
    ASSERT_EQ(items.Count(), 1);
    const auto item = items.ItemAt(1).Attributes();
    EXPECT_EQ(item.ByTag(0x0008, 0x0060).Value().toString(), QStringLiteral("CT"));
    EXPECT_EQ(item.ByTag(0x0040, 0x0008).SequenceItems().Count(), 1);

    const Error notSeq = errorOf([&] { item.ByTag(0x0008, 0x0060).SequenceItems(); });
    EXPECT_EQ(notSeq.number(), DicomErrc::NotASequence);
    // A text value on a sequence tag is refused rather than mis-encoded.
    EXPECT_EQ(errorOf([&] { id.Attributes().AddAttribute(0x0040, 0x0100, QStringLiteral("x")); }).number(),
              DicomErrc::InvalidValue);
}

TEST(DcmDatasetList, ItemAtIsOneBasedAndBounded)
{
    DcmDatasetList list;
    EXPECT_EQ(list.Count(), 0);
    list.AppendNew().Attributes().AddAttribute(0x0010, 0x0020, QStringLiteral("A"));
    list.AppendNew().Attributes().AddAttribute(0x0010, 0x0020, QStringLiteral("B"));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(*list.ItemAt(1).PatientID(), QStringLiteral("A"));
    EXPECT_EQ(*list.ItemAt(2).PatientID(), QStringLiteral("B"));
    EXPECT_EQ(errorOf([&] { list.ItemAt(0); }).number(), DicomErrc::IndexOutOfRange);
    EXPECT_EQ(errorOf([&] { list.ItemAt(3); }).number(), DicomErrc::IndexOutOfRange);
}

TEST(DcmDataset, PatientProperties)
{
    DcmDataset ds;
    EXPECT_EQ(ds.PatientName(), QString());
    EXPECT_FALSE(ds.PatientID().has_value());
    EXPECT_FALSE(ds.PatientSex().has_value());
    EXPECT_FALSE(ds.BirthDateRaw().has_value());
    EXPECT_EQ(errorOf([&] { ds.PatientBirthDate(); }).number(), DicomErrc::InvalidValue);

    auto a = ds.Attributes();
    a.AddAttribute(0x0010, 0x0010, QStringLiteral("O'Brien^Ann^Q^Dr"));
    a.AddAttribute(0x0010, 0x0020, QString());  // present but empty: null
    a.AddAttribute(0x0010, 0x0040, QStringLiteral("F"));
    a.AddAttribute(0x0010, 0x0030, QStringLiteral("19700215"));
    EXPECT_EQ(ds.PatientName(), QStringLiteral("O'Brien^Ann^Q^Dr"));
    EXPECT_FALSE(ds.PatientID().has_value());
    EXPECT_EQ(ds.PatientSex().value_or(QString()), QStringLiteral("F"));
    EXPECT_EQ(ds.BirthDateRaw().value_or(QString()), QStringLiteral("19700215"));
    EXPECT_EQ(ds.PatientBirthDate(), QDate(1970, 2, 15));

    a.AddAttribute(0x0010, 0x0030, QStringLiteral("19701345"));
    EXPECT_EQ(ds.BirthDateRaw().value_or(QString()), QStringLiteral("19701345"));
    EXPECT_EQ(errorOf([&] { ds.PatientBirthDate(); }).number(), DicomErrc::InvalidValue);
}

TEST(DcmUtility, NewUIDIsARandomUuidUnder225)
{
    const QRegularExpression form(QStringLiteral("^2\\.25\\.(0|[1-9][0-9]*)$"));
    QSet<QString> seen;
    for (int i = 0; i < 2000; ++i) {
        const QString uid = DcmUtility::NewUID();
        ASSERT_TRUE(form.match(uid).hasMatch()) << uid.toStdString();
        ASSERT_LE(uid.size(), 64);
        seen.insert(uid);
    }
    EXPECT_EQ(seen.size(), 2000);
    // A version 4 UUID has six fixed bits, so the number is large: at least
    // 30 digits for all but a vanishing share of them.
    int longOnes = 0;
    for (const QString& uid : seen)
        longOnes += uid.size() - 5 >= 30;
    EXPECT_GT(longOnes, 1990);
}

class ImageFiles : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
};

TEST_F(ImageFiles, LoadsEveryEncodingWithAndWithoutMetaHeader)
{
    struct Case {
        const char* name;
        td::Syntax syntax;
        bool meta;
    };
    const Case cases[] = {{"el", td::Syntax::ExplicitLittle, true}, {"il", td::Syntax::ImplicitLittle, true}, {"eb", td::Syntax::ExplicitBig, true}, {"jpeg", td::Syntax::JpegBaseline, true}, {"jpll", td::Syntax::JpegLossless, true}, {"rle", td::Syntax::Rle, true}, {"j2k", td::Syntax::Jpeg2000, true}, {"nometa_il", td::Syntax::ImplicitLittle, false}, {"nometa_el", td::Syntax::ExplicitLittle, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        td::ImageRecipe recipe;
        recipe.syntax = c.syntax;
        recipe.withMetaHeader = c.meta;
        recipe.patientId = QStringLiteral("P_%1").arg(QLatin1String(c.name));
        const QString file = path(QLatin1String(c.name));
        td::makeImage(file, recipe);
        DcmImageList list;
        list.LoadFile(file);
        ASSERT_EQ(list.Count(), 1);
        EXPECT_EQ(list.ItemAt(1).PatientID(), recipe.patientId);
        EXPECT_EQ(list.ItemAt(1).CheckValueA(), 1);
        EXPECT_EQ(list.ItemAt(1).CheckValueB(), 1);
        EXPECT_FALSE(list.ItemAt(1).StudyInstanceUID().isEmpty());
    }
}

// The quick walk decides which files go out as their own bytes: what it
// takes must be whole, ordered and in the syntax the meta information names;
// everything else is left to DCMTK.
TEST_F(ImageFiles, QuickWalkTakesOnlyWholeFilesInTheSyntaxTheyName)
{
    using dicomimpl::RawSource;
    using dicomimpl::scanDicom;
    auto bytesOf = [&](const char* name, td::Syntax syntax, bool clinical) {
        td::ImageRecipe recipe;
        recipe.syntax = syntax;
        recipe.clinicalHeader = clinical;
        recipe.patientId = QStringLiteral("P\\Q");
        recipe.studyUid = QStringLiteral("1.2.3.4");
        recipe.sopInstanceUid = QStringLiteral("1.2.3.4.5");
        td::makeImage(path(QLatin1String(name)), recipe);
        QFile f(path(QLatin1String(name)));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    };
    auto walk = [](const QByteArray& b) { return scanDicom(RawSource {b.constData(), -1, b.size()}); };

    const QByteArray clinical = bytesOf("ct", td::Syntax::ExplicitLittle, true);
    const auto raw = walk(clinical);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->transferSyntax, "1.2.840.10008.1.2.1");
    EXPECT_EQ(raw->sopClass, "1.2.840.10008.5.1.4.1.1.2");
    EXPECT_EQ(raw->sopInstance, "1.2.3.4.5");
    EXPECT_EQ(raw->patientId, "P\\Q");
    EXPECT_EQ(raw->studyUid, "1.2.3.4");
    EXPECT_EQ(raw->charset, "ISO_IR 100");
    EXPECT_EQ(clinical.mid(raw->datasetOffset, 4), QByteArray("\x08\x00\x05\x00", 4));
    EXPECT_TRUE(walk(bytesOf("il", td::Syntax::ImplicitLittle, true)));
    EXPECT_TRUE(walk(bytesOf("jpll", td::Syntax::JpegLossless, false)));
    EXPECT_FALSE(walk(bytesOf("eb", td::Syntax::ExplicitBig, false)));
    // DCMTK trims the blanks around each value: such a value is its to read
    const qsizetype id = clinical.indexOf("P\\Q");
    ASSERT_GT(id, 0);
    EXPECT_FALSE(walk(QByteArray(clinical).replace(id, 3, "P \\")));

    // a large file is walked through its descriptor the same way
    QFile ct(path("ct"));
    ASSERT_TRUE(ct.open(QIODevice::ReadOnly));
    const auto viaFd = scanDicom(RawSource {nullptr, ct.handle(), ct.size()});
    ASSERT_TRUE(viaFd);
    EXPECT_EQ(viaFd->datasetOffset, raw->datasetOffset);

    auto spoilt = [&](const std::function<void(QByteArray&)>& change) {
        QByteArray b = clinical;
        change(b);
        return walk(b).has_value();
    };
    // trailing padding ends the file and is left out of what is sent, as DCMTK leaves it out
    const QByteArray padding = QByteArray("\xfc\xff\xfc\xffOB\0\0\x06\0\0\0", 12) + QByteArray(6, '\0');
    const auto padded = walk(clinical + padding);
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded->datasetEnd, clinical.size());
    EXPECT_EQ(padded->size, clinical.size() + padding.size());
    EXPECT_EQ(padded->elements, raw->elements);
    EXPECT_EQ(dicomimpl::walkDisagreement(clinical + padding), QString());
    EXPECT_EQ(raw->datasetEnd, clinical.size());
    EXPECT_FALSE(walk(clinical + padding + QByteArray("\0\0", 2)));
    EXPECT_FALSE(walk(clinical + QByteArray(padding).replace(4, 2, "UN")));
    EXPECT_FALSE(walk(clinical + padding.left(14)));
    EXPECT_FALSE(spoilt([](QByteArray& b) { b.chop(2); }));
    EXPECT_FALSE(spoilt([](QByteArray& b) { b.append('\0'); }));
    EXPECT_FALSE(spoilt([](QByteArray& b) { b.truncate(132); }));
    EXPECT_FALSE(spoilt([](QByteArray& b) { b[128] = 'X'; }));
    const qsizetype patient = clinical.indexOf(QByteArray("\x10\x00\x20\x00LO", 6));
    ASSERT_GT(patient, 0);
    // an odd length (the value one byte longer), an unknown VR, and tags out of order
    EXPECT_FALSE(spoilt([&](QByteArray& b) {
        b[patient + 6] = static_cast<char>(b[patient + 6] + 1);
        b.insert(patient + 8, 'X');
    }));
    EXPECT_FALSE(spoilt([&](QByteArray& b) { b[patient + 4] = 'X'; }));
    EXPECT_FALSE(spoilt([&](QByteArray& b) { b[patient] = 0x01; }));
    // the meta information naming implicit VR over an explicit data set
    const qsizetype ts = clinical.indexOf("1.2.840.10008.1.2.1");
    ASSERT_GT(ts, 0);
    EXPECT_FALSE(spoilt([&](QByteArray& b) { b.replace(ts, 20, QByteArray("1.2.840.10008.1.2\0\0\0", 20)); }));
}

TEST_F(ImageFiles, UnreadableFilesRaiseNamingTheFile)
{
    td::makeNonDicom(path("readme.txt"), td::NonDicom::Text);
    td::makeNonDicom(path("noise.bin"), td::NonDicom::RandomBytes);
    td::makeNonDicom(path("empty"), td::NonDicom::Empty);
    for (const char* name : {"readme.txt", "noise.bin", "empty", "missing.dcm"}) {
        SCOPED_TRACE(name);
        DcmImageList list;
        const Error e = errorOf([&] { list.LoadFile(path(QLatin1String(name))); });
        EXPECT_EQ(e.number(), DicomErrc::FileUnreadable);
        EXPECT_TRUE(e.description().contains(path(QLatin1String(name)))) << e.description().toStdString();
        EXPECT_FALSE(e.description().contains(QLatin1Char('\n')));
        EXPECT_EQ(list.Count(), 0);
    }
}

TEST_F(ImageFiles, ChangesStayInMemory)
{
    td::ImageRecipe recipe;
    recipe.withStudyUid = false;
    recipe.withSeriesUid = false;
    const QString file = path("IM1");
    td::makeImage(file, recipe);
    const QByteArray before = sha1(file);
    const QDateTime mtime = QFileInfo(file).lastModified();

    DcmImageList list;
    list.LoadFile(file);
    DcmImage image = list.ItemAt(1);
    EXPECT_EQ(image.StudyInstanceUID(), QString());
    EXPECT_EQ(image.SeriesInstanceUID(), QString());
    image.setPatientID(QStringLiteral("NEW ID"));
    image.setStudyInstanceUID(QStringLiteral("1.2.3.4"));
    image.setSeriesInstanceUID(QStringLiteral("1.2.3.5"));
    // Every ItemAt gives the same image, as the transfer fetches it anew each time.
    EXPECT_EQ(list.ItemAt(1).PatientID(), QStringLiteral("NEW ID"));
    EXPECT_EQ(list.ItemAt(1).StudyInstanceUID(), QStringLiteral("1.2.3.4"));
    EXPECT_EQ(list.ItemAt(1).SeriesInstanceUID(), QStringLiteral("1.2.3.5"));

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(errorOf([&] { list.ItemAt(1); }).number(), DicomErrc::IndexOutOfRange);
    EXPECT_EQ(sha1(file), before);
    EXPECT_EQ(QFileInfo(file).lastModified(), mtime);
}

// The issuer's qualifiers come with the patient, also where a non-ASCII
// name sends the values through a character set conversion.
TEST_F(ImageFiles, PatientCarriesTheIssuerQualifiers)
{
    td::ImageRecipe recipe;
    recipe.patientName = QStringLiteral("M\u00FCller^J\u00FCrgen");
    recipe.issuerQualifiers = {QStringLiteral("urn:oid:1.2.3"), QStringLiteral("URI"), QStringLiteral("MR")};
    td::makeImage(path("IM1"), recipe);
    const DcmPatient p = DcmUtility::ReadHeader(path("IM1")).Patient;
    EXPECT_EQ(p.PatientName, recipe.patientName);
    EXPECT_EQ(p.IssuerQualifiers, (DcmIssuerQualifiers {"urn:oid:1.2.3", "URI", "MR"}));
}

// The survey's values: the study and series a file belongs to, its
// descriptions in Unicode whatever the file's character set. Series Number
// lies past the series' UID, where the header used to stop.
TEST_F(ImageFiles, HeaderCarriesStudyAndSeriesValues)
{
    struct Case {
        const char* charset;
        QByteArray studyBytes, seriesBytes;
        QString study, series;
    };
    const Case cases[] = {
        // Latin-2: read as Latin-1 these would be other letters
        {"ISO_IR 101", "G\xB3owa", "\xA3\xF3\x64\xBC 1 mm", QStringLiteral("G\u0142owa"), QStringLiteral("\u0141\u00F3d\u017A 1 mm")},
        {"ISO_IR 192", "\xE9\xA0\xAD\xE9\x83\xA8 CT", "", QStringLiteral("\u982D\u90E8 CT"), QString()},
        {"", "CT Head", "Axial", QStringLiteral("CT Head"), QStringLiteral("Axial")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.charset);
        td::ImageRecipe recipe;
        recipe.characterSet = QLatin1String(c.charset);
        recipe.studyDescriptionBytes = c.studyBytes;
        recipe.seriesDescriptionBytes = c.seriesBytes;
        recipe.sop = td::Sop::MR;
        recipe.seriesNumber = 7;
        recipe.studyUid = DcmUtility::NewUID();
        recipe.seriesUid = DcmUtility::NewUID();
        recipe.sopInstanceUid = DcmUtility::NewUID();
        td::makeImage(path("IM1"), recipe);
        const DcmHeader h = DcmUtility::ReadHeader(path("IM1"));
        EXPECT_EQ(h.SOPInstanceUID, recipe.sopInstanceUid);
        EXPECT_EQ(h.StudyInstanceUID, recipe.studyUid);
        EXPECT_EQ(h.Study.StudyInstanceUID, recipe.studyUid);
        EXPECT_EQ(h.Study.StudyDate, QStringLiteral("20240102"));
        EXPECT_EQ(h.Study.StudyDescription, c.study);
        EXPECT_EQ(h.Series.SeriesInstanceUID, recipe.seriesUid);
        EXPECT_EQ(h.Series.Modality, QStringLiteral("MR"));
        EXPECT_EQ(h.Series.SeriesNumber, QStringLiteral("7"));
        EXPECT_EQ(h.Series.SeriesDescription, c.series);
        EXPECT_EQ(h.Patient.PatientID, recipe.patientId);
        EXPECT_TRUE(h.IsInstance);
    }
}

// Text that no reader can convert: the identity is refused, the image unchanged.
TEST_F(ImageFiles, ReconcileRefusesAnImageWhoseTextCannotBeConverted)
{
    td::ImageRecipe recipe;
    recipe.characterSet = QStringLiteral("\\ISO 2022 IR 87");
    recipe.patientNameBytes = QByteArray("Yamada^\x1b$Z;3ED\x1b(B");  // no such escape
    td::makeImage(path("IM1"), recipe);
    DcmImageList list;
    list.LoadFile(path("IM1"));
    DcmImage image = list.ItemAt(1);
    const DcmPatient before = image.Patient();
    DcmPatient to = before;
    to.PatientID = QStringLiteral("LOC-1");
    to.PatientName = QString::fromUtf8("Suzuki^Hanako=鈴木^花子");
    const Error e = errorOf([&] { image.Reconcile(to, true, QStringLiteral("VARNELO"), QDateTime::currentDateTime()); });
    EXPECT_EQ(e.number(), DicomErrc::InvalidValue);
    EXPECT_TRUE(e.description().contains(to.PatientName)) << e.description().toStdString();
    EXPECT_EQ(image.Patient(), before);
}

TEST_F(ImageFiles, ADicomdirLoadsAsANonInstance)
{
    td::makeSeries(path("DICOM"), 1, td::ImageRecipe {});
    td::makeDicomDir(dir.path());
    DcmImageList list;
    list.LoadFile(path("DICOMDIR"));
    EXPECT_EQ(list.ItemAt(1).CheckValueA(), 0);
    EXPECT_EQ(list.ItemAt(1).CheckValueB(), 0);
}

// Two patients; the first with one study of two series (2 and 1 images).
class DicomDirTree : public ::testing::TestWithParam<td::DirEncoding> {
protected:
    void SetUp() override
    {
        td::ImageRecipe a;
        a.patientId = QStringLiteral("PAT_A");
        a.studyUid = DcmUtility::NewUID();
        td::makeSeries(dir.filePath("DICOM/PA/S1"), 2, a);
        td::makeSeries(dir.filePath("DICOM/PA/S2"), 1, a);
        td::ImageRecipe b;
        b.patientId = QStringLiteral("PAT_B");
        b.sop = td::Sop::MR;
        td::makeSeries(dir.filePath("DICOM/PB/S1"), 1, b);
        td::makeDicomDir(dir.path(), GetParam());
        dicomdir = dir.filePath("DICOMDIR");
    }
    QTemporaryDir dir;
    QString dicomdir;
};

TEST_P(DicomDirTree, WalksPatientStudySeriesImage)
{
    const QByteArray before = sha1(dicomdir);
    const QDateTime mtime = QFileInfo(dicomdir).lastModified();
    {
        DcmDatasetList lists;
        DcmDataset root = lists.ReadFile(dicomdir);
        EXPECT_EQ(lists.Count(), 1);
        const DcmDatasetList patients = root.DirectoryRecords();
        ASSERT_EQ(patients.Count(), 2);
        QStringList ids;
        QStringList referenced;
        for (int p = 1; p <= patients.Count(); ++p) {
            const DcmDataset patient = patients.ItemAt(p);
            EXPECT_EQ(patient.Attributes().ByTag(0x0004, 0x1430).Value().toString(), QStringLiteral("PATIENT"));
            ids << patient.PatientID().value_or(QString());
            const DcmDatasetList studies = patient.Children();
            ASSERT_EQ(studies.Count(), 1);
            EXPECT_EQ(studies.ItemAt(1).Attributes().ByTag(0x0004, 0x1430).Value().toString(), QStringLiteral("STUDY"));
            const DcmDatasetList series = studies.ItemAt(1).Children();
            for (int s = 1; s <= series.Count(); ++s) {
                const DcmDatasetList images = series.ItemAt(s).Children();
                for (int i = 1; i <= images.Count(); ++i) {
                    const DcmDataset image = images.ItemAt(i);
                    EXPECT_EQ(image.Attributes().ByTag(0x0004, 0x1430).Value().toString(), QStringLiteral("IMAGE"));
                    EXPECT_EQ(image.Children().Count(), 0);
                    const QStringList parts = image.Attributes().ByTag(0x0004, 0x1500).Value().toStringList();
                    referenced << parts.join(QLatin1Char('/'));
                }
            }
            if (p == 1) {
                EXPECT_EQ(series.Count(), 2);
            }
        }
        ids.sort();
        EXPECT_EQ(ids, (QStringList {"PAT_A", "PAT_B"}));
        referenced.sort();
        EXPECT_EQ(referenced, (QStringList {"DICOM/PA/S1/IM000001", "DICOM/PA/S1/IM000002", "DICOM/PA/S2/IM000001", "DICOM/PB/S1/IM000001"}));
        // The referenced files are real and load.
        DcmImageList images;
        for (const QString& r : referenced)
            images.LoadFile(dir.filePath(r));
        EXPECT_EQ(images.Count(), 4);
    }
    // Read-only: not a byte or a time stamp changed once everything is released.
    EXPECT_EQ(sha1(dicomdir), before);
    EXPECT_EQ(QFileInfo(dicomdir).lastModified(), mtime);
}

// A STUDY and a SERIES record give the values of the files they stand for,
// the description through the record's character set.
TEST_P(DicomDirTree, StudyAndSeriesRecordsGiveTheirValues)
{
    QTemporaryDir other;
    td::ImageRecipe r;
    r.studyUid = DcmUtility::NewUID();
    r.seriesUid = DcmUtility::NewUID();
    r.seriesNumber = 3;
    r.characterSet = QStringLiteral("ISO_IR 101");
    r.studyDescriptionBytes = QByteArray("Kl\xB3\xE1tka");
    QStringList made;
    for (const QString& file : td::makeSeries(other.filePath("DICOM/P1/S1"), 2, r))
        made << DcmUtility::ReadHeader(file).SOPInstanceUID;
    made.sort();
    td::makeDicomDir(other.path(), GetParam());
    DcmDatasetList lists;
    const DcmDataset study = lists.ReadFile(other.filePath("DICOMDIR")).DirectoryRecords().ItemAt(1).Children().ItemAt(1);
    const DcmStudyValues sv = study.StudyValues();
    EXPECT_EQ(sv.StudyInstanceUID, r.studyUid);
    EXPECT_EQ(sv.StudyDate, QStringLiteral("20240102"));
    EXPECT_EQ(sv.StudyDescription, QStringLiteral("Kl\u0142\u00E1tka"));
    const DcmDataset series = study.Children().ItemAt(1);
    const DcmSeriesValues se = series.SeriesValues();
    EXPECT_EQ(se.SeriesInstanceUID, r.seriesUid);
    EXPECT_EQ(se.Modality, QStringLiteral("CT"));
    EXPECT_EQ(se.SeriesNumber, QStringLiteral("3"));
    QStringList referenced;
    for (int i = 1; i <= series.Children().Count(); ++i)
        referenced << series.Children().ItemAt(i).Attributes().ByTag(0x0004, 0x1511).Value().toString();
    referenced.sort();
    EXPECT_EQ(referenced, made);
}

INSTANTIATE_TEST_SUITE_P(Encodings, DicomDirTree,
                         ::testing::Values(td::DirEncoding::ExplicitLittle, td::DirEncoding::ImplicitLittle,
                                           td::DirEncoding::ExplicitBig));

TEST(DcmDatasetListReadFile, RefusesWhatIsNotADicomdir)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("IM1");
    td::makeImage(image, td::ImageRecipe {});
    const QString text = dir.filePath("DICOMDIR.TXT");
    td::makeNonDicom(text, td::NonDicom::Text);
    for (const QString& p : {image, text, dir.filePath("nothing")}) {
        DcmDatasetList list;
        const Error e = errorOf([&] { list.ReadFile(p); });
        EXPECT_EQ(e.number(), DicomErrc::DicomDirUnreadable) << p.toStdString();
        EXPECT_TRUE(e.description().contains(p));
        EXPECT_EQ(list.Count(), 0);
    }
}

TEST(DcmDatasetListReadFile, EmptyDicomdirHasNoRecords)
{
    QTemporaryDir dir;
    td::makeDicomDir(dir.path());
    DcmDatasetList list;
    EXPECT_EQ(list.ReadFile(dir.filePath("DICOMDIR")).DirectoryRecords().Count(), 0);
}

// A link written as another VR than UL is no link to DCMTK (its number is not
// read as an offset), and the quick walk must not follow it either: the same
// DICOMDIR may otherwise give other images on another path through it.
TEST(DcmDatasetListReadFile, LinksWrittenAsAnotherVrEndTheChainAsInDcmtk)
{
    QTemporaryDir dir;
    td::makeSeries(dir.filePath("DICOM/S1"), 3, td::ImageRecipe {});
    td::makeDicomDir(dir.path());
    QFile file(dir.filePath("DICOMDIR"));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const QByteArray next("\x04\x00\x00\x14UL\x04\x00", 8);
    auto countImages = [&] {
        DcmDatasetList list;
        DcmDatasetList level = list.ReadFile(file.fileName()).DirectoryRecords();
        for (int i = 0; i < 3 && level.Count() > 0; ++i)
            level = level.ItemAt(1).Children();
        return level.Count();
    };
    EXPECT_EQ(countImages(), 3);
    // the first image's link to the second, as SL
    const qsizetype image = bytes.indexOf("IMAGE");
    ASSERT_GT(image, 0);
    const qsizetype link = bytes.lastIndexOf(next, image);
    ASSERT_GT(link, 0);
    bytes[link + 4] = 'S';
    ASSERT_TRUE(file.seek(0));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.flush();
    EXPECT_EQ(countImages(), 1);
}
