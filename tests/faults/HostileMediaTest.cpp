// Media and program folders that fight back: unreadable folders, files that
// vanish under the walk, files the toolkit chokes on, settings files of
// garbage, a Logs folder that cannot be made. No crash, nothing miscounted.
#include "faults/FaultKit.h"
#include "support/FakeSettingsView.h"

#include "base/IniFile.h"
#include "base/Settings.h"
#include "dicom/Dicom.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QRandomGenerator>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace varnelo;
using namespace varnelo::faults;
using testdata::FaultyScp;

namespace {

class HostileMedia : public FaultTest {};

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

const QString kRegressions = QStringLiteral(VARNELO_FUZZ_REGRESSIONS);

}  // namespace

// Root reads every folder, so the walk runs in a child that has given up
// root; ordinary users run it the same way.
TEST_F(HostileMedia, UnreadableFoldersAreLoggedAndTheirSiblingsStillWalked)
{
    images(mediaPath("A"), 2);
    images(mediaPath("B"), 2);  // no read permission
    images(mediaPath("C"), 2);  // readable, not searchable
    images(mediaPath("D"), 2);
    FaultyScp pacs;
    destination1(pacs);
    ::chmod(QFile::encodeName(program.path()).constData(), 0777);
    ::chmod(QFile::encodeName(media.path()).constData(), 0755);
    ::chmod(QFile::encodeName(mediaPath("B")).constData(), 0000);
    ::chmod(QFile::encodeName(mediaPath("C")).constData(), 0644);
    const QString result = program.path() + "/count";

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        ImportRun run(view, prompt, {});
        run.ReadCdDirectory(media.path(), true);
        QFile out(result);
        if (!out.open(QIODevice::WriteOnly))
            ::_exit(4);
        out.write(QByteArray::number(run.ImportedCount) + " " + QByteArray::number(prompt.messages.size()));
        out.close();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(QFile::encodeName(mediaPath("B")).constData(), 0755);
    ::chmod(QFile::encodeName(mediaPath("C")).constData(), 0755);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const QList<QByteArray> counts = readFile(result).split(' ');
    ASSERT_EQ(counts.size(), 2);
    EXPECT_EQ(counts[0].toInt(), 4) << "A and D";
    EXPECT_EQ(counts[0].toInt(), pacs.held().size());
    EXPECT_EQ(counts[1].toInt(), 0);
    const auto errs = errors();
    QStringList all;
    for (const ErrorEntry& e : errs)
        all << e.description;
    ASSERT_EQ(errs.size(), 3u) << all.join("\n").toStdString();
    // B cannot be listed: one line for the folder
    EXPECT_EQ(errs[0].source, "ProgressForm ReadCdDirectory");
    EXPECT_TRUE(errs[0].description.endsWith(mediaPath("B"))) << errs[0].description.toStdString();
    // C lists its names but opens nothing: one line for each of its files
    for (int i : {1, 2}) {
        EXPECT_EQ(errs[i].number, DicomErrc::FileUnreadable);
        EXPECT_EQ(errs[i].source, "ReadCdDirectory");
        EXPECT_TRUE(errs[i].description.contains(mediaPath("C/IM00000%1").arg(i))) << errs[i].description.toStdString();
    }
}

TEST_F(HostileMedia, FileVanishingAfterTheListingIsLoggedOnceAndNotSent)
{
    const QStringList uids = images(media.path(), 4);
    FaultyScp pacs;
    destination1(pacs);
    appState().WriteLog = 1;
    view.onYield = [&] { QFile::remove(mediaPath("IM000002")); };

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    EXPECT_EQ(pacs.held(), (QStringList {uids[0], uids[2], uids[3]}));
    EXPECT_EQ(run.ImportedCount, 3);
    EXPECT_TRUE(prompt.messages.isEmpty());
    const auto errs = errors();
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0].number, DicomErrc::FileUnreadable);
    EXPECT_TRUE(errs[0].description.contains(mediaPath("IM000002")));
    EXPECT_EQ(errs[0].source, "ReadCdDirectory");
}

// The next file is read while the peer answers: one that vanishes after it
// was read ahead must not be sent from memory.
TEST_F(HostileMedia, FileVanishingAfterItWasReadAheadIsNotSent)
{
    const QString series = mediaPath("DICOM/ST000001/SE000001");
    const QStringList uids = images(series, 4);
    testdata::makeDicomDir(media.path());
    FaultyScp::Options o;
    o.answerDelayMs = 100;
    FaultyScp pacs(o);
    destination1(pacs);
    prompt.answers = {FailurePrompt::Ignore};
    bool removed = false;
    view.onYield = [&] {
        // the first yield of image 3: image 2 is answered, image 3 read ahead
        if (!removed && pacs.requested().size() == 2) {
            removed = QFile::remove(series + "/IM000003");
        }
    };

    ImportRun run(view, prompt, {});
    run.SearchForDicomDir(media.path());

    ASSERT_TRUE(removed);
    EXPECT_EQ(pacs.requested(), (QStringList {uids[0], uids[1], uids[3]}));
    EXPECT_EQ(run.ImportedCount, 3);
    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].contains("IM000003")) << prompt.messages[0].toStdString();
}

TEST_F(HostileMedia, FilesTheToolkitThrowsOnAreUnreadableFilesNotACrash)
{
    const QByteArray poison = readFile(kRegressions + "/dicomdir/recordtype-out-of-range");
    ASSERT_FALSE(poison.isEmpty());
    const QStringList uids = images(mediaPath("scan"), 2);
    writeFile(mediaPath("scan/IM000009"), poison);
    writeFile(mediaPath("DICOMDIR"), poison);
    FaultyScp pacs;
    destination1(pacs);

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(mediaPath("scan"), false);
    EXPECT_EQ(pacs.held(), uids);
    EXPECT_EQ(run.ImportedCount, 2);

    run.SearchForDicomDir(media.path());
    EXPECT_EQ(run.ImportedCount, 2);
    EXPECT_TRUE(prompt.messages.isEmpty());

    const auto errs = errors();
    ASSERT_EQ(errs.size(), 2u);
    EXPECT_EQ(errs[0].number, DicomErrc::FileUnreadable);
    EXPECT_TRUE(errs[0].description.contains("IM000009"));
    EXPECT_EQ(errs[0].source, "ReadCdDirectory");
    EXPECT_EQ(errs[1].number, DicomErrc::DicomDirUnreadable);
    EXPECT_EQ(errs[1].source, "ProgressForm ReadDicomDir");
}

TEST_F(HostileMedia, LogsThatCannotBeWrittenDoNotStopTheImport)
{
    const QStringList uids = images(media.path(), 3);
    writeFile(program.path() + "/Logs", "not a folder");
    FaultyScp::Options o;
    o.status = [&](int, const QString& uid) -> std::uint16_t { return uid == uids[1] ? 0xA700 : 0; };
    FaultyScp pacs(o);
    destination1(pacs);
    appState().WriteLog = 1;
    prompt.answers = {FailurePrompt::Ignore};

    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(media.path(), false);

    EXPECT_EQ(run.ImportedCount, 2);
    EXPECT_EQ(pacs.held(), (QStringList {uids[0], uids[2]}));
    EXPECT_EQ(prompt.messages.size(), 1);
    EXPECT_EQ(readFile(program.path() + "/Logs"), "not a folder");
    EXPECT_TRUE(QFile::exists(mediaPath("migration.done")));
}

namespace {

using View = testsupport::FakeSettingsView;

}  // namespace

TEST_F(HostileMedia, SettingsOfGarbageAndHugeLinesLoadWhatTheyCanQuickly)
{
    const QString ini = program.path() + "/Varnelo.ini";
    appState().IniPath = ini;

    // binary garbage: every key takes its default
    QByteArray garbage(1 << 20, '\0');
    QRandomGenerator rng(7);
    for (char& c : garbage)
        c = static_cast<char>(rng.bounded(256));
    writeFile(ini, garbage);
    View view;
    QElapsedTimer t;
    t.start();
    LoadSettings(view);
    EXPECT_EQ(appState().SearchBy, 1);
    EXPECT_EQ(appState().LocalAET, "Varnelo");
    EXPECT_EQ(appState().AppName, "Varnelo");

    // 10 MB lines, before and inside the section, and a key after them
    const QByteArray huge(10 * 1024 * 1024, 'x');
    writeFile(ini, huge + "\r\n[Default]\r\nSourceDir=" + huge + "\r\n" + huge + "\r\nLocation=2\r\n[DICOM]\r\n"
                                                                                 "RemotePort=" +
                  huge + "\r\nRemoteAET=PACS\r\n");
    appState() = AppState {};
    appState().IniPath = ini;
    View second;
    LoadSettings(second);
    EXPECT_EQ(second.boxes.value(SettingsView::Box::SourceDir), QString(255, 'x'));
    EXPECT_EQ(second.boxes.value(SettingsView::Box::RemotePort), QString(255, 'x'));
    EXPECT_EQ(second.boxes.value(SettingsView::Box::RemoteAET), "PACS");
    EXPECT_EQ(appState().Location, 2);

    // a write beside them keeps every byte of the huge lines
    const QByteArray before = readFile(ini);
    EXPECT_TRUE(WriteIniValue("DICOM", "RemoteIP", "127.0.0.1", ini));
    EXPECT_EQ(ReadIniValue("DICOM", "RemoteIP", "", ini), "127.0.0.1");
    QByteArray after = readFile(ini);
    EXPECT_EQ(after.size(), before.size() + 20);
    EXPECT_EQ(after.replace("RemoteIP=127.0.0.1\r\n", ""), before);
    // AddressSanitizer checks every byte that the reads copy: about twice
    // as slow alone, more on a busy machine
#ifdef __SANITIZE_ADDRESS__
    constexpr qint64 boundMs = 60000;
#else
    constexpr qint64 boundMs = 20000;
#endif
    EXPECT_LT(t.elapsed(), boundMs) << "reading 40 MB of settings should not take this long";
}
