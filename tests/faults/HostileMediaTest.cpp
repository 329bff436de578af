// Media and program folders that fight back: unreadable folders, files that
// vanish under the walk, files the toolkit chokes on, settings files of
// garbage, a Logs folder that cannot be made. No crash, nothing miscounted.
#include "faults/FaultKit.h"
#include "support/FakeSettingsView.h"
#include "support/Peers.h"

#include "base/IniFile.h"
#include "base/Settings.h"
#include "dicom/Dicom.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QRandomGenerator>

#include <fcntl.h>
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

QStringList asSorted(QStringList l)
{
    l.sort();
    return l;
}

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
    EXPECT_FALSE(QFile::exists(mediaPath("migration.done"))) << "image 2 never arrived";
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

namespace {

// A prompt that lets the test act while it is open (as an operator swapping
// the CD would), then answers from its script.
class ActingPrompt : public varnelo::testing::ScriptedPrompt {
public:
    std::function<void(int shown)> whileOpen;
    std::int16_t ShowMessage(const QString& text) override
    {
        if (whileOpen)
            whileOpen(static_cast<int>(messages.size()) + 1);
        return ScriptedPrompt::ShowMessage(text);
    }
};

}  // namespace

// A large image keeps its pixel data in the file until it is sent. While the
// failure prompt is open its path gets another patient's image: by a new file
// (another CD: the retry sends the image that was loaded, whole) or written
// over in place (the retry fails with the reason; nothing mixed is sent).
TEST_F(HostileMedia, ImageReplacedWhileThePromptIsOpenIsSentAsLoadedOrNotAtAll)
{
    namespace td = testdata;
    auto pacs = testsupport::Peer::storescp();
    td::ImageRecipe a;
    a.rows = a.columns = 1550;  // 4.6 MB: above the size that is read whole
    a.patientId = "PATIENT-A";
    td::ImageRecipe b = a;
    b.patientId = "PATIENT-B";
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "written over in place" : "replaced by a new file");
        QDir(mediaPath("cd")).removeRecursively();
        QDir().mkpath(mediaPath("cd"));
        QDir().mkpath(mediaPath("other"));
        const QString path = mediaPath("cd/IM000001");
        const QString other = mediaPath("other/IM000001");
        td::makeImage(path, a);
        td::makeImage(other, b);
        const auto original = td::contentOf(path);
        ASSERT_GT(QFileInfo(path).size(), 4 * 1024 * 1024);

        appState() = AppState {};
        appState().LocalAET = "VARNELO";
        appState().RemoteAET = pacs->aeTitle();
        appState().RemoteIP = "127.0.0.1";
        appState().RemotePort = QString::number(testsupport::freeLoopbackPort());  // nobody there yet
        ActingPrompt prompt;
        prompt.answers = {FailurePrompt::Retry, FailurePrompt::Ignore};
        prompt.whileOpen = [&](int shown) {
            if (shown != 1)
                return;
            if (inPlace) {
                QFile out(path);
                ASSERT_TRUE(out.open(QIODevice::ReadWrite));  // same inode, new content
                out.write(readFile(other));
            } else {
                ASSERT_TRUE(QFile::remove(path));
                ASSERT_TRUE(QFile::copy(other, path));
            }
            appState().RemotePort = QString::number(pacs->port());
        };
        const int before = static_cast<int>(pacs->receivedFiles().size());

        ImportRun run(view, prompt, {});
        run.ReadCdDirectory(mediaPath("cd"), false);

        const QStringList received = pacs->receivedFiles();
        if (!inPlace) {
            ASSERT_EQ(prompt.messages.size(), 1);
            ASSERT_EQ(received.size(), before + 1);
            const auto arrived = td::contentOf(received.last());
            EXPECT_EQ(arrived.at("(0010,0020)"), "PATIENT-A");
            EXPECT_TRUE(arrived.at("(7FE0,0010)") == original.at("(7FE0,0010)")) << "pixels of another image";
            EXPECT_EQ(run.ImportedCount, 1);
        } else {
            ASSERT_EQ(prompt.messages.size(), 2);
            EXPECT_TRUE(prompt.messages[1].contains("has changed since it was read")) << prompt.messages[1].toStdString();
            EXPECT_TRUE(prompt.messages[1].startsWith(QStringLiteral("Error #%1:").arg(DicomErrc::FileChanged)))
                << prompt.messages[1].toStdString();
            EXPECT_EQ(received.size(), before) << "nothing may arrive";
            EXPECT_EQ(run.ImportedCount, 0);
            const auto errs = errors();
            ASSERT_FALSE(errs.empty());
            EXPECT_EQ(errs.back().number, DicomErrc::FileChanged);
            EXPECT_TRUE(errs.back().description.contains(path));
        }
    }
}

// A medium from elsewhere: a link to a file beside it, a link out of the
// medium (a file and a folder), a Latin-1 name on a UTF-8 system, a huge file
// of zeros, a path longer than the system allows. Each file inside is sent
// once and counted once; nothing outside is sent; nothing is passed over
// without a log line; the huge file is refused at once.
TEST_F(HostileMedia, ForeignMediumSendsEachFileInsideOnceAndLogsTheRest)
{
    QTemporaryDir outside;
    const QStringList outsideUids = images(outside.path(), 1);
    const QStringList uids = images(mediaPath("cd"), 2);
    const QByteArray cd = QFile::encodeName(mediaPath("cd"));
    ASSERT_EQ(::symlink("IM000001", (cd + "/LINK1").constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(outside.path() + "/IM000001").constData(), (cd + "/OUTFILE").constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(outside.path()).constData(), (cd + "/OUTDIR").constData()), 0);
    // "IMAGE\xC9" in Latin-1: not valid UTF-8
    const QByteArray latin1 = cd + "/IMAGE\xC9";
    const QString third = testdata::makeImage(mediaPath("cd/IM000003"), {});
    ASSERT_EQ(::rename(QFile::encodeName(mediaPath("cd/IM000003")).constData(), latin1.constData()), 0);
    // sparse: 2 GB that cost no disk
    const QByteArray zeros = cd + "/x.dcm";
    {
        const int fd = ::open(zeros.constData(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 2LL * 1024 * 1024 * 1024), 0);
        ::close(fd);
    }
    FaultyScp pacs;
    destination1(pacs);
    appState().WriteLog = 1;

    QElapsedTimer t;
    t.start();
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(mediaPath("cd"), true);
    EXPECT_LT(t.elapsed(), 5000) << "the file of zeros is refused by its first bytes";

    EXPECT_EQ(asSorted(pacs.held()), asSorted(QStringList {uids[0], uids[1], third}));
    EXPECT_EQ(run.ImportedCount, pacs.held().size());
    EXPECT_FALSE(pacs.held().contains(outsideUids[0]));
    const auto errs = errors();
    QStringList lines;
    for (const auto& e : errs)
        lines << QString::number(e.number) + " " + e.description;
    const QString all = lines.join('\n');
    EXPECT_EQ(all.count("leads outside"), 2) << all.toStdString();
    EXPECT_TRUE(all.contains("x.dcm: not a DICOM file")) << all.toStdString();
    const QStringList debug = this->debug();
    EXPECT_TRUE(debug.join('\n').contains("/cd/IMAGE\\xC9")) << "the name, escaped";
    EXPECT_EQ(debug.filter("the same file was taken before").size(), 1);
    // QTemporaryDir cannot remove a name that is not UTF-8; the test must not leave it behind
    EXPECT_EQ(::unlink(latin1.constData()), 0);

    // a path beyond PATH_MAX says so, not "path not found"
    QString deep = mediaPath("deep");
    while (deep.size() < 4200)
        deep += "/" + QString(200, 'd');
    ImportRun deepRun(view, prompt, {});
    deepRun.ReadCdDirectory(deep, false);
    EXPECT_TRUE(errors().back().description.contains("longer than the system allows")) << errors().back().description.toStdString();
}
