#include "base/Logs.h"
#include "base/FileNames.h"
#include "base/ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

using namespace varnelo;

namespace {

class Logs : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QDateTime fixed {QDate(2026, 3, 6), QTime(9, 5, 7)};

    void SetUp() override
    {
        setProgramFolderForTesting(dir.path());
        setClockForTesting([this] { return fixed; });
    }
    void TearDown() override
    {
        setClockForTesting({});
        setProgramFolderForTesting({});
    }
    QString logPath(const char* name) const { return dir.path() + "/Logs/" + name; }
    QByteArray read(const char* name) const
    {
        QFile f(logPath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void fill(const char* name, qint64 size)
    {
        QDir().mkpath(dir.path() + "/Logs");
        QFile f(logPath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(size, 'x'));
    }
};

}  // namespace

TEST_F(Logs, StampsHaveFixedDigits)
{
    EXPECT_EQ(DateStamp(), "20260306");
    EXPECT_EQ(TimeStamp(), "090507");
    EXPECT_EQ(FileStamp(), "20260306090507");
    fixed = QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59));
    EXPECT_EQ(FileStamp(), "20261231235959");
}

// The tests run under a German locale (see CMakeLists.txt): short date
// 06.03.26, which the logs must write with its four-digit year.
constexpr char kStamp[] = "06.03.2026 09:05:07";

TEST_F(Logs, FirstLineCreatesFolderAndKeepsEachEntryOnOneLine)
{
    EXPECT_EQ(shortDate(QDate(2026, 3, 6)), "06.03.2026");
    WriteErrorLog(53, "File \"x\", not found", "MainForm cmdImport_Click");
    EXPECT_EQ(read("Error.log"), QByteArray(kStamp) + "\t53\tFile \"x\", not found\tMainForm cmdImport_Click\r\n");

    WriteDebugLog("Send /media/cdrom/IMG1");
    EXPECT_EQ(read("Debug.log"), QByteArray(kStamp) + "\tSend /media/cdrom/IMG1\r\n");
    // a file name may hold tabs, line breaks, escape codes and bytes that
    // are no UTF-8 (kept as U+DC80..U+DCFF): all readable, all on one line
    QString name = "Send /cd/a\tb\nc\x1b";
    name += QChar(0xDCE9);
    WriteDebugLog(name);
    WriteErrorLog(1, "x\r\ny", "s\tt");
    const QList<QByteArray> debug = read("Debug.log").split('\n');
    ASSERT_EQ(debug.size(), 3);  // two lines and the empty rest
    EXPECT_EQ(debug[1], QByteArray(kStamp) + "\tSend /cd/a\\tb\\nc\\x1B\\xE9\r");
    EXPECT_TRUE(read("Error.log").endsWith(QByteArray("\t1\tx\\r\\ny\ts\\tt\r\n")));
}

// What the operator reads follows the program's language (the default
// locale); the logs keep the system's dates whatever it is.
TEST_F(Logs, ShownDatesFollowTheProgramsLanguageAndLogsTheSystem)
{
    const QLocale before;
    const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(shownDate(QDate(2026, 3, 6)), "3/6/2026");
    EXPECT_EQ(shortDate(QDate(2026, 3, 6), QLocale(QLocale::German, QLocale::Austria)), "06.03.2026");
    WriteErrorLog(53, "x", "s");
    EXPECT_TRUE(read("Error.log").startsWith(kStamp)) << read("Error.log").constData();
}

TEST_F(Logs, RotatesOnlyAboveOneMillionBytes)
{
    fill("Error.log", 1000000);
    WriteErrorLog(1, "a", "s");
    EXPECT_EQ(QFile(logPath("Error.log")).size(), 1000000 + qsizetype(sizeof kStamp - 1) + 8);  // + "\t1\ta\ts\r\n"
    EXPECT_FALSE(QFile::exists(logPath("error20260306090507.log")));

    // now above the limit: the next line retires the file and starts anew
    WriteErrorLog(2, "b", "s");
    ASSERT_TRUE(QFile::exists(logPath("error20260306090507.log")));
    EXPECT_GT(QFile(logPath("error20260306090507.log")).size(), 1000000);
    EXPECT_EQ(read("Error.log"), QByteArray(kStamp) + "\t2\tb\ts\r\n");

    fill("Debug.log", 1000001);
    WriteDebugLog("line");
    EXPECT_TRUE(QFile::exists(logPath("debug20260306090507.log")));
    EXPECT_EQ(read("Debug.log"), QByteArray(kStamp) + "\tline\r\n");
}

TEST_F(Logs, FailedRotationStillWritesTheLine)
{
    fill("Error.log", 1000001);
    fill("error20260306090507.log", 10);  // a retired log of the same second
    WriteErrorLog(3, "c", "s");
    EXPECT_EQ(QFile(logPath("error20260306090507.log")).size(), 10) << "a retired log must never be replaced";
    EXPECT_TRUE(read("Error.log").endsWith("\t3\tc\ts\r\n"));
}

TEST_F(Logs, UnwritableLogIsSilentButItsFirstFailureIsKept)
{
    EXPECT_FALSE(TakeLogTrouble()) << "a trouble left over from another test";
    WriteErrorLog(1, "a", "s");
    EXPECT_FALSE(TakeLogTrouble()) << "a line that was written is no trouble";

    QDir(dir.path() + "/Logs").removeRecursively();
    QFile blocker(dir.path() + "/Logs");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));  // a file where the folder should be
    blocker.close();
    EXPECT_NO_THROW(WriteErrorLog(1, "a", "s"));
    EXPECT_NO_THROW(WriteDebugLog("x"));
    EXPECT_NO_THROW(WriteImportsLog({"c"}, {"y"}));
    EXPECT_TRUE(QFileInfo(dir.path() + "/Logs").isFile());

    const std::optional<LogTrouble> trouble = TakeLogTrouble();
    ASSERT_TRUE(trouble);
    EXPECT_EQ(trouble->path, logPath("Error.log")) << "the first failure, not the last";
    EXPECT_FALSE(trouble->reason.isEmpty());
    EXPECT_FALSE(TakeLogTrouble()) << "taken once";
    WriteDebugLog("x");
    EXPECT_TRUE(TakeLogTrouble()) << "a new failure after the taking";
}

TEST_F(Logs, UsersStateFolderIsMadeWhenTheProgramFolderTakesNoFiles)
{
    const QByteArray saved = qgetenv("XDG_STATE_HOME");
    const auto restore = qScopeGuard([&] {
        if (saved.isNull())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", saved);
    });
    setProgramFolderForTesting(dir.path() + "/gone");
    qputenv("XDG_STATE_HOME", (dir.path() + "/state").toUtf8());
    WriteImportsLog({"source", "mode"}, {"D:", "scan"});
    QFile receipt(dir.path() + "/state/Varnelo/Logs/Imports.log");
    ASSERT_TRUE(receipt.open(QIODevice::ReadOnly));
    EXPECT_EQ(receipt.readAll(), "time\tsource\tmode\r\n" + isoDateTime(fixed).toLatin1() + "\tD:\tscan\r\n");
    EXPECT_FALSE(TakeLogTrouble());

    // a state folder that cannot be made: the level that failed, and why
    QFile(dir.path() + "/file").open(QIODevice::WriteOnly);
    qputenv("XDG_STATE_HOME", (dir.path() + "/file").toUtf8());
    WriteErrorLog(1, "a", "s");
    const std::optional<LogTrouble> trouble = TakeLogTrouble();
    ASSERT_TRUE(trouble);
    EXPECT_EQ(trouble->path, dir.path() + "/file/Varnelo");
    EXPECT_EQ(trouble->reason, QString::fromLocal8Bit(std::strerror(ENOTDIR)));
}

// The receipt is read by machines and administrators: ISO 8601 with the
// offset under any locale, and a header row at the top of every file.
TEST_F(Logs, ReceiptIsIsoWithItsColumnsAtTheTopOfEveryFile)
{
    fixed = QDateTime(QDate(2026, 12, 8), QTime(3, 37, 45), QTimeZone(3600));
    EXPECT_EQ(isoDateTime(fixed), "2026-12-08T03:37:45+01:00");
    EXPECT_EQ(isoDateTime(QDateTime(QDate(2026, 1, 2), QTime(0, 0, 1), QTimeZone(-19800))),
              "2026-01-02T00:00:01-05:30");
    WriteImportsLog({"source", "end"}, {"D:", "complete"});
    WriteImportsLog({"source", "end"}, {"E:", "aborted"});
    EXPECT_EQ(read("Imports.log"), "time\tsource\tend\r\n"
                                   "2026-12-08T03:37:45+01:00\tD:\tcomplete\r\n"
                                   "2026-12-08T03:37:45+01:00\tE:\taborted\r\n");
    fill("Imports.log", 1000001);
    WriteImportsLog({"source", "end"}, {"F:", "cancelled"});
    EXPECT_EQ(read("Imports.log"), "time\tsource\tend\r\n2026-12-08T03:37:45+01:00\tF:\tcancelled\r\n")
        << "the file begun after the old one was retired";
}

// What would turn a line around, break it or hide in it (a file name or a
// patient's name may carry any of it) is written as an escape; the receipt
// and every log alike. A field stops at 1,024 characters and says so.
TEST_F(Logs, EveryInvisibleOrLineBreakingCharacterIsEscapedAndAFieldIsCapped)
{
    QString name = QStringLiteral("a\u0085b\u2028c\u2029d\u202Ee\u2066f\u200Eg\u200Fh\uFEFFi\u00ADj");
    name += QChar(0xD800);                     // a surrogate that pairs with nothing
    name += QString::fromUcs4(U"\U000E0001");  // a tag character, beyond the BMP
    name += QStringLiteral("\u00C4\u20AC");    // letters stay letters
    name += QString::fromUcs4(U"\U0001F600");
    const QString escaped = "a\\u0085b\\u2028c\\u2029d\\u202Ee\\u2066f\\u200Eg\\u200Fh\\uFEFFi\\u00ADj\\uD800\\U000E0001" +
        QStringLiteral("\u00C4\u20AC") + QString::fromUcs4(U"\U0001F600");
    WriteImportsLog({"file\u202E"}, {name});
    EXPECT_EQ(QString::fromUtf8(read("Imports.log")), "time\tfile\\u202E\r\n" + isoDateTime(fixed) + "\t" + escaped + "\r\n");
    WriteDebugLog(name);
    EXPECT_TRUE(QString::fromUtf8(read("Debug.log")).endsWith("\t" + escaped + "\r\n"));

    const QString cut = QString::fromUtf16(kLogFieldCut);
    EXPECT_EQ(escapeForLog(QString(kLogFieldMax, 'x')), QString(kLogFieldMax, 'x')) << "a field of exactly the cap";
    const QString longer = escapeForLog(QString(kLogFieldMax + 1, 'x'));
    EXPECT_EQ(longer, QString(kLogFieldMax - cut.size(), 'x') + cut);
    // the cut falls between escapes, never inside one
    const QString escapes = escapeForLog(QString(kLogFieldMax - cut.size() - 3, 'x') + QString(10, QChar(0x1B)));
    EXPECT_EQ(escapes, QString(kLogFieldMax - cut.size() - 3, 'x') + cut);
    WriteErrorLog(1, QString(100000, 'y'), "s");
    EXPECT_EQ(read("Error.log"), QByteArray(kStamp) + "\t1\t" + QByteArray(kLogFieldMax - cut.size(), 'y') + cut.toUtf8() + "\ts\r\n");
}

// A log is appended to only when it is the user's own regular file: a link
// planted in the folder must not carry the receipt elsewhere, a FIFO must not
// hold the run. The run goes on; the first refusal is its log trouble.
TEST_F(Logs, ALogThatIsNotTheUsersOwnFileIsRefusedAsTrouble)
{
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/Logs"));
    QTemporaryDir other;
    const QString target = other.filePath("target");
    QFile t(target);
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.write("untouched\n");
    t.close();

    ASSERT_TRUE(QFile::link(target, logPath("Imports.log")));
    WriteImportsLog({"source"}, {"D:"});
    std::optional<LogTrouble> trouble = TakeLogTrouble();
    ASSERT_TRUE(trouble);
    EXPECT_EQ(trouble->path, logPath("Imports.log"));
    EXPECT_TRUE(trouble->reason.contains("link")) << trouble->reason.toStdString();
    QFile r(target);
    ASSERT_TRUE(r.open(QIODevice::ReadOnly));
    EXPECT_EQ(r.readAll(), "untouched\n");

    ASSERT_EQ(::mkfifo(QFile::encodeName(logPath("Error.log")).constData(), 0600), 0);
    WriteErrorLog(1, "a", "s");  // returns at all
    trouble = TakeLogTrouble();
    ASSERT_TRUE(trouble);
    EXPECT_EQ(trouble->path, logPath("Error.log"));

    if (::geteuid() == 0) {  // only root can hand a file to another user
        QFile::remove(logPath("Error.log"));
        fill("Error.log", 3);
        ASSERT_EQ(::chown(QFile::encodeName(logPath("Error.log")).constData(), 65534, 65534), 0);
        WriteErrorLog(1, "a", "s");
        trouble = TakeLogTrouble();
        ASSERT_TRUE(trouble);
        EXPECT_EQ(trouble->path, logPath("Error.log"));
        EXPECT_EQ(read("Error.log"), "xxx");
    }
}

// The logs name patients: folders 0700 and files 0600 whatever the umask,
// rights that an earlier version left wider taken back (also from retired
// logs), rights narrower than that kept, and nothing behind a link touched.
TEST_F(Logs, FoldersAndFilesAreTheUsersAlone)
{
    const mode_t umaskWas = ::umask(0);
    const auto restore = qScopeGuard([&] { ::umask(umaskWas); });
    auto mode = [](const QString& path) {
        struct stat st {};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 01;
    };

    WriteErrorLog(1, "Smith^Max", "s");
    EXPECT_EQ(mode(dir.path() + "/Logs"), 0700u);
    EXPECT_EQ(mode(logPath("Error.log")), 0600u);

    // a folder as an earlier version left it
    QTemporaryDir old;
    setProgramFolderForTesting(old.path());
    ASSERT_EQ(::mkdir(QFile::encodeName(old.path() + "/Logs").constData(), 0755), 0);
    const QString logs = old.path() + "/Logs/";
    auto make = [](const QString& path, mode_t m) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x\r\n");
        f.close();
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), m), 0);
    };
    make(logs + "Debug.log", 0640);
    make(logs + "error20250101120000.log", 0644);
    make(logs + "Imports.log", 0200);
    QTemporaryDir outside;
    make(outside.filePath("elsewhere"), 0644);
    ASSERT_TRUE(QFile::link(outside.filePath("elsewhere"), logs + "error20250101120001.log"));

    WriteDebugLog("line");
    EXPECT_EQ(mode(old.path() + "/Logs"), 0700u);
    EXPECT_EQ(mode(logs + "Debug.log"), 0600u);
    EXPECT_EQ(mode(logs + "error20250101120000.log"), 0600u) << "a retired log too";
    EXPECT_EQ(mode(logs + "Imports.log"), 0200u) << "narrower stays";
    EXPECT_EQ(mode(outside.filePath("elsewhere")), 0644u) << "a link is no log of ours";

    // the user's state folder, made by the first line
    const QByteArray saved = qgetenv("XDG_STATE_HOME");
    const auto back = qScopeGuard([&] {
        if (saved.isNull())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", saved);
    });
    setProgramFolderForTesting(dir.path() + "/gone");
    qputenv("XDG_STATE_HOME", (dir.path() + "/state").toUtf8());
    WriteImportsLog({"source"}, {"D:"});
    EXPECT_EQ(mode(dir.path() + "/state/Varnelo"), 0700u);
    EXPECT_EQ(mode(dir.path() + "/state/Varnelo/Logs"), 0700u);
    EXPECT_EQ(mode(dir.path() + "/state/Varnelo/Logs/Imports.log"), 0600u);
    EXPECT_FALSE(TakeLogTrouble());
}
