#include "base/IniFile.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

    // the same value again leaves the file as it is (an atomic rewrite would give it a new inode)
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &a), 0);
    ASSERT_TRUE(WriteIniValue("default", "searchby", "2", path()));
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    ASSERT_TRUE(WriteIniValue("Default", "SearchBy", "3", path()));
    EXPECT_EQ(ReadIniValue("Default", "SearchBy", "", path()), "3");
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

// Root writes any file, so the write is tried in a child that has given up
// root, as an operator's session runs. The folder is open to all: a write
// through a new file and a rename would get past the file's permissions.
TEST_F(IniFile, ReadOnlyFileIsLeftAlone)
{
    writeBytes(path(), "[Default]\nSearchBy=1\n");
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
    ::chmod(QFile::encodeName(path()).constData(), 0444);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        ::_exit(WriteIniValue("Default", "SearchBy", "2", path()) ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write must report failure";
    EXPECT_EQ(readBytes(path()), QByteArray("[Default]\nSearchBy=1\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no stray file left";
}

// A file saved as "Unicode" (UTF-16 with its mark) or as UTF-8 with a mark
// is read as such and written back in the same encoding.
TEST_F(IniFile, ByteOrderMarkedFilesKeepTheirEncoding)
{
    const QString text = QStringLiteral("[Default]\r\nSourceDir=/media/R\u00F6ntgen\r\n[DICOM]\r\nRemoteAET=PACS\r\n");
    struct Case {
        QStringConverter::Encoding encoding;
        QByteArray mark;
    };
    for (const Case& c : {Case {QStringConverter::Utf16LE, "\xFF\xFE"}, Case {QStringConverter::Utf16BE, "\xFE\xFF"},
                          Case {QStringConverter::Utf8, "\xEF\xBB\xBF"}}) {
        QStringEncoder encoder(c.encoding);
        writeBytes(path(), c.mark + QByteArray(encoder.encode(text)));
        EXPECT_EQ(ReadIniValue("Default", "SourceDir", "", path()), QStringLiteral("/media/R\u00F6ntgen"));
        EXPECT_EQ(ReadIniValue("DICOM", "RemoteAET", "", path()), "PACS");
        ASSERT_TRUE(WriteIniValue("DICOM", "RemoteAET", "ARCHIVE", path()));
        ASSERT_TRUE(WriteIniValue("DICOM", "RemotePort", "104", path()));
        QStringEncoder again(c.encoding);
        EXPECT_EQ(readBytes(path()), c.mark + QByteArray(again.encode(QStringLiteral("[Default]\r\nSourceDir=/media/R\u00F6ntgen\r\n[DICOM]\r\nRemoteAET=ARCHIVE\r\nRemotePort=104\r\n"))));
    }
}

TEST_F(IniFile, UnicodeValuesRoundTrip)
{
    ASSERT_TRUE(WriteIniValue("Default", "SourceDir", QStringLiteral("/media/Röntgen"), path()));
    EXPECT_EQ(ReadIniValue("Default", "SourceDir", "", path()), QStringLiteral("/media/Röntgen"));
}

// The settings are the user's own regular file, reached without a link and
// of a sane size; anything else is refused at once (a FIFO must not hold the
// start, /dev/zero must not fill the memory), the defaults apply and the
// window has a sentence to show.
TEST_F(IniFile, OnlyTheUsersOwnRegularFileIsRead)
{
    const QString elsewhere = dir.filePath("elsewhere.ini");
    writeBytes(elsewhere, "[Default]\nSearchBy=2\n");
    auto refused = [&](const char* what) {
        EXPECT_EQ(ReadIniValue("Default", "SearchBy", "def", path()), "def") << what;
        EXPECT_TRUE(settingsTrouble().contains(path())) << what << ": " << settingsTrouble().toStdString();
        EXPECT_FALSE(WriteIniValue("Default", "SearchBy", "3", path())) << what;
    };

    ASSERT_TRUE(QFile::link(elsewhere, path()));
    refused("link");
    EXPECT_EQ(readBytes(elsewhere), "[Default]\nSearchBy=2\n") << "the link's target is not written";
    QFile::remove(path());

    ASSERT_TRUE(QFile::link("/dev/zero", path()));
    refused("link to /dev/zero");
    QFile::remove(path());

    ASSERT_EQ(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    refused("FIFO");  // returns at all: no writer ever comes
    QFile::remove(path());

    writeBytes(path(), "[Default]\nSearchBy=4\n" + QByteArray(kSettingsFileMax, ';'));
    refused("larger than 1 MB");
    QFile::remove(path());

    if (::geteuid() == 0) {  // only root can hand a file to another user
        writeBytes(path(), "[Default]\nSearchBy=5\n");
        ASSERT_EQ(::chown(QFile::encodeName(path()).constData(), 65534, 65534), 0);
        refused("another owner");
        EXPECT_EQ(readBytes(path()), "[Default]\nSearchBy=5\n");
        QFile::remove(path());
    }

    // the user's own file again: read, and the sentence is gone
    writeBytes(path(), "[Default]\nSearchBy=6\n");
    EXPECT_EQ(ReadIniValue("Default", "SearchBy", "def", path()), "6");
    EXPECT_TRUE(settingsTrouble().isEmpty());
    EXPECT_EQ(ReadIniValue("Default", "SearchBy", "def", dir.filePath("none.ini")), "def");
    EXPECT_TRUE(settingsTrouble().isEmpty()) << "a missing file is the first start, not trouble";
}
