#include "base/IniFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace varnelo;

namespace {

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

void writeBytes(const QString& path, const QByteArray& data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

class IniFile : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("Varnelo.ini")); }
};

}  // namespace

TEST_F(IniFile, DefaultWhenFileSectionOrKeyMissing)
{
    EXPECT_EQ(ReadIniValue("Default", "SearchBy", "1", path()), "1");
    writeBytes(path(), "[Other]\nSearchBy=2\n[Default]\nFoo=bar\n");
    EXPECT_EQ(ReadIniValue("Default", "SearchBy", "1", path()), "1");
    EXPECT_EQ(ReadIniValue("Missing", "Foo", "x", path()), "x");
    EXPECT_EQ(ReadIniValue("Default", "Foo", "x", path()), "bar");
}

TEST_F(IniFile, NamesMatchWithoutCaseAndBlanksAroundValueDrop)
{
    writeBytes(path(), "  [ default ]  \r\n  fileSUFFIX =   DCM  \r\n; SearchBy=9\r\nSearchBy\t=\t2 \r\n");
    EXPECT_EQ(ReadIniValue("Default", "FileSuffix", "", path()), "DCM");
    EXPECT_EQ(ReadIniValue("DEFAULT", "searchby", "", path()), "2");
    // an empty value is a value, not a missing key
    writeBytes(path(), "[Default]\nFileSuffix=\n");
    EXPECT_EQ(ReadIniValue("Default", "FileSuffix", "X", path()), "");
}

TEST_F(IniFile, ValueIsCutToBufferSize)
{
    const QString longValue(300, QLatin1Char('a'));
    writeBytes(path(), "[Default]\nSourceDir=" + longValue.toLatin1() + "\n");
    EXPECT_EQ(ReadIniValue("Default", "SourceDir", "", path(), 256).size(), 255);
    EXPECT_EQ(ReadIniValue("Default", "SourceDir", "", path(), 10), "aaaaaaaaa");
}

TEST_F(IniFile, WriteKeepsEveryOtherLineByteForByte)
{
    const QByteArray before = "; settings of the import station\r\n"
                              "[Foreign]\r\n"
                              "SearchBy=7\r\n"
                              "\r\n"
                              "[default]\r\n"
                              "  searchby = 1   ; old\r\n"
                              "Unknown=keep me\r\n"
                              "\r\n"
                              "[DICOM]\r\n"
                              "RemoteAET=PACS\r\n";
    writeBytes(path(), before);

    ASSERT_TRUE(WriteIniValue("Default", "SearchBy", "2", path()));
    QByteArray expected = before;
    expected.replace("  searchby = 1   ; old\r\n", "searchby=2\r\n");
    EXPECT_EQ(readBytes(path()), expected);

    // a new key goes to the end of its own section, in the file's line style
    ASSERT_TRUE(WriteIniValue("Default", "Location", "1", path()));
    expected.replace("Unknown=keep me\r\n", "Unknown=keep me\r\nLocation=1\r\n");
    EXPECT_EQ(readBytes(path()), expected);

    // a missing section is appended
    ASSERT_TRUE(WriteIniValue("Worklist", "Port", "104", path()));
    expected += "[Worklist]\r\nPort=104\r\n";
    EXPECT_EQ(readBytes(path()), expected);

    EXPECT_EQ(ReadIniValue("Foreign", "SearchBy", "", path()), "7");
    EXPECT_EQ(ReadIniValue("Default", "SearchBy", "", path()), "2");
}

TEST_F(IniFile, WriteCreatesFileAndHandlesLastLineWithoutNewline)
{
    ASSERT_TRUE(WriteIniValue("DICOM", "LocalAET", "VARNELO", path()));
    EXPECT_EQ(readBytes(path()), QByteArray("[DICOM]\nLocalAET=VARNELO\n"));

    writeBytes(path(), "[DICOM]\nLocalAET=A");
    ASSERT_TRUE(WriteIniValue("DICOM", "RemoteIP", "10.0.0.7", path()));
    EXPECT_EQ(readBytes(path()), QByteArray("[DICOM]\nLocalAET=A\nRemoteIP=10.0.0.7\n"));
}

TEST_F(IniFile, ValueCannotInjectLines)
{
    ASSERT_TRUE(WriteIniValue("Default", "SourceDir", "/media\n[DICOM]\nRemoteAET=EVIL", path()));
    EXPECT_EQ(ReadIniValue("DICOM", "RemoteAET", "none", path()), "none");
}

TEST_F(IniFile, ReadOnlyFileIsLeftAlone)
{
    writeBytes(path(), "[Default]\nSearchBy=1\n");
    QFile::setPermissions(path(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    if (QFile(path()).open(QIODevice::WriteOnly))
        GTEST_SKIP() << "running with rights that ignore file permissions";
    EXPECT_FALSE(WriteIniValue("Default", "SearchBy", "2", path()));
    EXPECT_EQ(readBytes(path()), QByteArray("[Default]\nSearchBy=1\n"));
}

TEST_F(IniFile, UnicodeValuesRoundTrip)
{
    ASSERT_TRUE(WriteIniValue("Default", "SourceDir", QStringLiteral("/media/Röntgen"), path()));
    EXPECT_EQ(ReadIniValue("Default", "SourceDir", "", path()), QStringLiteral("/media/Röntgen"));
}
