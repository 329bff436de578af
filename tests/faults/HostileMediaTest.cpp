// Media and program folders that fight back: unreadable folders, files that
// vanish under the walk, files the toolkit chokes on, settings files of
// garbage, a Logs folder that cannot be made. No crash, nothing miscounted.
#include "faults/FaultKit.h"
#include "support/FakeSettingsView.h"
#include "support/Peers.h"

#include "base/IniFile.h"
#include "base/MessageBox.h"
#include "base/Settings.h"
#include "dicom/Dicom.h"
#include "import/ArchiveMedium.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
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

// Bytes of crafted files, written by hand where DCMTK would not write them.
QByteArray le16(int v) { return QByteArray(1, char(v & 0xFF)) + char((v >> 8) & 0xFF); }
QByteArray le32(quint32 v) { return le16(int(v & 0xFFFF)) + le16(int(v >> 16)); }

QByteArray element(int group, int elem, const char* vr, QByteArray value)
{
    const QByteArray v(vr);
    if (value.size() % 2)
        value += (v == "UI" || v == "OB" || v == "UN") ? '\0' : ' ';
    if (v == "OB" || v == "SQ" || v == "UN" || v == "UT")
        return le16(group) + le16(elem) + v + le16(0) + le32(quint32(value.size())) + value;
    return le16(group) + le16(elem) + v + le16(int(value.size())) + value;
}

QByteArray implicitElement(int group, int elem, const QByteArray& value, quint32 length)
{
    return le16(group) + le16(elem) + le32(length) + value;
}

// The preamble and meta information; `extraLength` added to its group length.
QByteArray meta(const QByteArray& transferSyntax, const QByteArray& instance, int extraLength = 0)
{
    const QByteArray body = element(2, 1, "OB", QByteArray("\0\1", 2)) +
        element(2, 2, "UI", "1.2.840.10008.5.1.4.1.1.7") + element(2, 3, "UI", instance) +
        element(2, 0x10, "UI", transferSyntax);
    return QByteArray(128, '\0') + "DICM" + element(2, 0, "UL", le32(quint32(body.size() + extraLength))) + body;
}

const QByteArray kExplicit("1.2.840.10008.1.2.1");
const QByteArray kSecondaryCapture("1.2.840.10008.5.1.4.1.1.7");

QByteArray readable(const QByteArray& instance, const QByteArray& uidBytes, const char* uidVr = "UI")
{
    return element(8, 0x16, uidVr, kSecondaryCapture) + element(8, 0x18, uidVr, uidBytes.isEmpty() ? instance : uidBytes) +
        element(8, 0x64, "CS", "WSD") + element(0x10, 0x10, "PN", "M\xFCller^J\xFCrgen") + element(0x10, 0x20, "LO", "PID1");
}

}  // namespace

// Root reads every folder, so the walk runs in a child that has given up
// root; ordinary users run it the same way. The peer is a process of its
// own: a child forked while a thread of this process held the allocator's
// lock could not start threads of its own.
TEST_F(HostileMedia, UnreadableFoldersAreLoggedAndTheirSiblingsStillWalked)
{
    images(mediaPath("A"), 2);
    images(mediaPath("B"), 2);  // no read permission
    images(mediaPath("C"), 2);  // readable, not searchable
    images(mediaPath("D"), 2);
    const auto pacs = testsupport::Peer::storescp();
    ASSERT_TRUE(pacs);
    appState().RemoteAET = pacs->aeTitle();
    appState().RemoteIP = "127.0.0.1";
    appState().RemotePort = QString::number(pacs->port());
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
    EXPECT_TRUE(pacs->waitForFiles(4));
    EXPECT_EQ(counts[0].toInt(), pacs->receivedFiles().size());
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

    // 10 MB lines, before and inside the section, and a key after them: a
    // file far beyond what settings need is not read at all, nor written
    const QByteArray huge(10 * 1024 * 1024, 'x');
    writeFile(ini, huge + "\r\n[Default]\r\nSourceDir=" + huge + "\r\n" + huge + "\r\nLocation=2\r\n[DICOM]\r\n"
                                                                                 "RemotePort=" +
                  huge + "\r\nRemoteAET=PACS\r\n");
    appState() = AppState {};
    appState().IniPath = ini;
    View second;
    LoadSettings(second);
    EXPECT_EQ(second.boxes.value(SettingsView::Box::RemoteAET), "");
    EXPECT_EQ(appState().Location, 1) << "the defaults";
    EXPECT_TRUE(settingsTrouble().contains(ini)) << settingsTrouble().toStdString();
    const QByteArray before = readFile(ini);
    EXPECT_FALSE(WriteIniValue("DICOM", "RemoteIP", "127.0.0.1", ini));
    EXPECT_EQ(readFile(ini), before);
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
    std::unique_ptr<testsupport::Peer> pacs;
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
        testsupport::Peer::Options o;
        o.port = testsupport::freeLoopbackPort();
        appState().RemoteAET = o.aeTitle;
        appState().RemoteIP = "127.0.0.1";
        appState().RemotePort = QString::number(o.port);  // nobody there yet
        pacs.reset();
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
            pacs = testsupport::Peer::storescp(o);  // the PACS is back for the retry
        };
        const int before = 0;

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

// Files on which a quick look and DCMTK's parse could read different things,
// and compressed images with a new Patient ID, sent to two destinations that
// take different syntaxes: each file reaches both as one and the same
// object, or neither with its reason.
TEST_F(HostileMedia, CraftedFilesReachUnlikeDestinationsAsOneObjectOrNotAtAll)
{
    using testsupport::Peer;
    QDir().mkpath(mediaPath("cd"));
    const QByteArray charset = element(8, 5, "CS", "ISO_IR 100");
    // a meta group length that takes in the character set
    writeFile(mediaPath("cd/GROUPLEN"), meta(kExplicit, "2.25.11", int(charset.size())) + charset + readable("2.25.11", {}));
    // every element UN: DCMTK must read the UIDs as text, not as hex
    writeFile(mediaPath("cd/ALLUN"), meta(kExplicit, "2.25.12") + element(8, 5, "UN", "ISO_IR 100") +
                                        element(8, 0x16, "UN", kSecondaryCapture) + element(8, 0x18, "UN", "2.25.12") +
                                        element(0x10, 0x20, "UN", "PID1"));
    // a NUL inside the transfer syntax UID
    writeFile(mediaPath("cd/TSNUL"), meta(kExplicit + QByteArray("\0X", 2), "2.25.13") + charset + readable("2.25.13", {}));
    // two SOP Instance UIDs
    writeFile(mediaPath("cd/MULTI"), meta(kExplicit, "2.25.14") + charset + readable("2.25.14", "2.25.14\\2.25.15"));
    // implicit VR, a Patient's Name of undefined length: corrupt for DCMTK
    writeFile(mediaPath("cd/IMPLPN"),
              meta("1.2.840.10008.1.2", "2.25.16") + implicitElement(8, 0x16, kSecondaryCapture + '\0', 26) +
                  implicitElement(8, 0x18, QByteArray("2.25.16"), 8).replace(QByteArray("2.25.16"), QByteArray("2.25.16\0", 8)) +
                  implicitElement(0x10, 0x10, {}, 0xFFFFFFFFu) + implicitElement(0xFFFE, 0xE000, "ABCD", 4) +
                  implicitElement(0xFFFE, 0xE0DD, {}, 0));
    testdata::ImageRecipe jpeg;
    jpeg.rows = jpeg.columns = 32;
    jpeg.syntax = testdata::Syntax::JpegLossless;
    const QString jpegLossless = testdata::makeImage(mediaPath("cd/JPLL"), jpeg);
    jpeg.syntax = testdata::Syntax::JpegBaseline;
    testdata::makeImage(mediaPath("cd/JPEG"), jpeg);  // the lossy encoder gives it a UID of its own
    const QString jpegBaseline = QString::fromStdString(testdata::contentOf(mediaPath("cd/JPEG"))["(0008,0018)"]);

    Peer::Options plain, all;
    plain.extraArgs = {"+xi"};  // nothing but Implicit VR Little Endian
    plain.aeTitle = "PLAIN";
    all.extraArgs = {"+xa"};
    all.aeTitle = "ALL";
    auto pacs1 = Peer::storescp(plain);
    auto pacs2 = Peer::storescp(all);
    appState().RemoteAET = pacs1->aeTitle();
    appState().RemoteIP = "127.0.0.1";
    appState().RemotePort = QString::number(pacs1->port());
    appState().UseDestination2 = true;
    appState().RemoteAET2 = pacs2->aeTitle();
    appState().RemoteIP2 = "127.0.0.1";
    appState().RemotePort2 = QString::number(pacs2->port());
    appState().ChangeID = true;

    ImportRun run(view, prompt, [] { return QStringLiteral("NEWID"); });
    run.patientsPrompt = &patients;  // the files name several patients: all are taken
    run.ReadCdDirectory(mediaPath("cd"), false);
    ASSERT_EQ(patients.shown.size(), 1);
    // the generated images' patient and "PID1": the file that names PID1
    // without a name is of PID1's, an unknown name being no other name
    ASSERT_EQ(patients.shown[0].size(), 2);
    EXPECT_EQ(patients.shown[0].list()[0].images, 4);

    const QStringList sent = {jpegLossless, jpegBaseline, "2.25.11", "2.25.12", "2.25.13"};
    EXPECT_EQ(run.ImportedCount, sent.size());
    ASSERT_TRUE(pacs1->waitForFiles(int(sent.size())));
    ASSERT_TRUE(pacs2->waitForFiles(int(sent.size())));
    auto byUid = [](const Peer& peer) {
        QMap<QString, QString> files;
        for (const QString& f : peer.receivedFiles())
            files[QString::fromStdString(testdata::contentOf(f)["(0008,0018)"])] = f;
        return files;
    };
    const auto at1 = byUid(*pacs1), at2 = byUid(*pacs2);
    EXPECT_EQ(QStringList(at1.keys()).join(' ').toStdString(), asSorted(sent).join(' ').toStdString()) << QStringList(at1.values()).join(' ').toStdString();
    EXPECT_EQ(QStringList(at2.keys()).join(' ').toStdString(), asSorted(sent).join(' ').toStdString());
    for (const QString& uid : sent) {
        SCOPED_TRACE(uid.toStdString());
        auto one = testdata::contentOf(at1.value(uid)), two = testdata::contentOf(at2.value(uid));
        EXPECT_EQ(one["(0010,0020)"], "NEWID");
        if (uid == jpegLossless || uid == jpegBaseline) {
            // the second destination takes them as they are stored
            EXPECT_EQ(testdata::transferSyntaxOf(at2.value(uid)),
                      uid == jpegLossless ? "1.2.840.10008.1.2.4.70" : "1.2.840.10008.1.2.4.50");
            if (uid == jpegBaseline)  // decoded twice from a lossy stream: compare the header only
                for (const char* tag : {"(7FE0,0010)", "(0028,0004)", "(0028,2110)", "(0028,2112)", "(0028,2114)"})
                    one.erase(tag), two.erase(tag);
        }
        EXPECT_EQ(one, two);
    }
    EXPECT_EQ(testdata::contentOf(at1.value("2.25.11"))["(0008,0005)"], "ISO_IR 100") << "the character set stays with the image";

    // the two UIDs fail at each destination; the unreadable file is logged, not prompted
    ASSERT_EQ(prompt.messages.size(), 2);
    for (const QString& m : prompt.messages) {
        EXPECT_TRUE(m.contains("more than one value")) << m.toStdString();
        EXPECT_FALSE(m.contains("connection was lost")) << m.toStdString();
    }
    QStringList unreadable;
    for (const auto& e : errors())
        if (e.number == DicomErrc::FileUnreadable)
            unreadable << e.description;
    EXPECT_EQ(unreadable.size(), 1);
    EXPECT_TRUE(unreadable.join("").contains("IMPLPN")) << unreadable.join("\n").toStdString();
}

// JPEG 2000 that lies: a JP2 palette that leaves fewer components than the
// image's samples, and a header claiming 37,837 x 37,837 x 3 over a few
// kilobytes. Refused with the reason, at once, without the memory.
TEST_F(HostileMedia, LyingJpeg2000IsRefusedAtOnceWithItsReason)
{
    testdata::ImageRecipe palette;
    palette.rows = palette.columns = 64;
    palette.bitsAllocated = 8;
    palette.samplesPerPixel = 3;
    palette.syntax = testdata::Syntax::Jpeg2000;
    palette.jp2PaletteChannels = 1;
    QDir().mkpath(mediaPath("cd"));
    testdata::makeImage(mediaPath("cd/PALETTE"), palette);
    testdata::ImageRecipe huge = palette;
    huge.jp2PaletteChannels = 0;
    huge.claimedRows = huge.claimedColumns = 37837;
    testdata::makeImage(mediaPath("cd/HUGE"), huge);

    testsupport::Peer::Options plain;
    plain.extraArgs = {"+xi"};
    auto pacs = testsupport::Peer::storescp(plain);
    appState().RemoteAET = pacs->aeTitle();
    appState().RemoteIP = "127.0.0.1";
    appState().RemotePort = QString::number(pacs->port());
    prompt.answers = {FailurePrompt::Retry, FailurePrompt::Ignore, FailurePrompt::Ignore};

    QElapsedTimer t;
    t.start();
    ImportRun run(view, prompt, {});
    run.ReadCdDirectory(mediaPath("cd"), false);
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(run.ImportedCount, 0);
    ASSERT_EQ(prompt.messages.size(), 3);  // HUGE twice (a retry), then PALETTE
    EXPECT_TRUE(prompt.messages[0].contains("taken for damaged")) << prompt.messages[0].toStdString();
    EXPECT_EQ(prompt.messages[1], prompt.messages[0]);
    EXPECT_TRUE(prompt.messages[2].contains("components")) << prompt.messages[2].toStdString();
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 1024L * 1024) << "peak kB; the claimed image alone is 4 GB";
    EXPECT_TRUE(pacs->receivedFiles().isEmpty());
}

// With "Change Patient ID", an image whose new ID cannot be set is not sent
// under its old one: the DICOMDIR walk prompts its reason like a failed load.
TEST_F(HostileMedia, NewPatientIdThatCannotBeSetStopsTheImageInBothWalks)
{
    testdata::ImageRecipe odd;
    odd.characterSet = "ISO_IR 999";
    odd.rows = odd.columns = 16;
    // text that no reading of an unknown set can vouch for (all-ASCII text would go out in Unicode)
    odd.studyDescriptionBytes = "Sch\xE4" "del";
    QDir().mkpath(mediaPath("DICOM/ST1/SE1"));
    const QString oddUid = testdata::makeImage(mediaPath("DICOM/ST1/SE1/IM1"), odd);
    const QString fine = testdata::makeImage(mediaPath("DICOM/ST1/SE1/IM2"), {});
    testdata::makeDicomDir(media.path());
    FaultyScp pacs;
    destination1(pacs);
    appState().ChangeID = true;
    appState().WriteLog = 1;
    const auto newId = [] { return QStringLiteral("\u0141\u00F3d\u017A-7"); };

    ImportRun dirRun(view, prompt, newId);
    dirRun.SearchForDicomDir(media.path());
    EXPECT_EQ(pacs.held(), QStringList {fine});
    ASSERT_EQ(prompt.messages.size(), 1);
    EXPECT_TRUE(prompt.messages[0].contains("cannot be converted")) << prompt.messages[0].toStdString();
    const QString log = debug().join('\n');
    EXPECT_EQ(debug().filter("Change Patient ID").size(), 1) << log.toStdString();
    EXPECT_EQ(debug().filter("OK").size(), 1) << log.toStdString();

    ImportRun scanRun(view, prompt, newId);
    scanRun.ReadCdDirectory(mediaPath("DICOM/ST1/SE1"), false);
    EXPECT_EQ(scanRun.ImportedCount, 1);
    EXPECT_FALSE(pacs.held().contains(oddUid));
}

TEST_F(HostileMedia, HostileArchivesAreRefusedWithTheirReasonAndNothingLeavesTheirFolder)
{
    // the crafted archives, from Python's zipfile, Debian's zip and xorriso
    const QString src = mediaPath("src"), out = mediaPath("out");
    images(src + "/good", 1);
    images(src + "/enc", 2);
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(QFile::rename(src + "/enc/IM000001", src + "/enc/SECRET.DCM"));
    ASSERT_TRUE(QFile::rename(src + "/enc/IM000002", src + "/enc/OPEN.DCM"));
    auto run = [](const QString& program, const QStringList& args, const QString& folder = {}) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(folder);
        p.start(program, args);
        return p.waitForFinished(60000) && p.exitCode() == 0 ? QString() : program + ": " + QString::fromLocal8Bit(p.readAll());
    };
    ASSERT_EQ(run("/usr/bin/python3", {"-c", R"(import os, sys, zipfile
src, out = sys.argv[1], sys.argv[2]
good = open(src + '/good/IM000001', 'rb').read()
with zipfile.ZipFile(out + '/evil.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('../evil.dcm', good)
    z.writestr('/abs/path.dcm', good)
    link = zipfile.ZipInfo('link.dcm')
    link.create_system = 3
    link.external_attr = 0o120777 << 16
    z.writestr(link, '/etc/passwd')
    z.writestr('good/IM000001', good)
with zipfile.ZipFile(out + '/bomb.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('zeros.dcm', bytes(4 << 20))
with zipfile.ZipFile(out + '/noise.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('noise.bin', os.urandom(2 << 20))
    z.writestr('IM000001', good)
# a header that lies: 256 KB of zeros said to be 1000 bytes
with zipfile.ZipFile(out + '/liar.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('liar.dcm', bytes(256 << 10))
b = bytearray(open(out + '/liar.zip', 'rb').read())
b[22:26] = (1000).to_bytes(4, 'little')
c = b.rfind(b'PK\x01\x02')
b[c + 24:c + 28] = (1000).to_bytes(4, 'little')
open(out + '/liar.zip', 'wb').write(b)
# an old Windows ZIP: CP437 names without the UTF-8 flag, 0x81 is u-umlaut
with zipfile.ZipFile(out + '/cp437.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('MULLER.DCM', good)
b = open(out + '/cp437.zip', 'rb').read().replace(b'MULLER', b'M\x81LLER')
open(out + '/cp437.zip', 'wb').write(b)
# cut in half: no central directory
with zipfile.ZipFile(out + '/whole.zip', 'w', zipfile.ZIP_STORED) as z:
    z.writestr('IM000001', good)
    z.write(src + '/enc/OPEN.DCM', 'IM000002')
w = open(out + '/whole.zip', 'rb').read()
open(out + '/truncated.zip', 'wb').write(w[:len(w) // 2]))",
                                            src, out}),
              QString());
    // more encrypted members than a box can list
    QStringList secrets {"SECRET.DCM"};
    for (int i = 1; i <= 24; ++i) {
        secrets << QString("SECRET%1.DCM").arg(i, 2, 10, QChar('0'));
        ASSERT_TRUE(QFile::copy(src + "/enc/SECRET.DCM", src + "/enc/" + secrets.last()));
    }
    ASSERT_EQ(run("zip", QStringList {"-q", "-P", "pass", out + "/enc.zip"} + secrets, src + "/enc"), QString());
    ASSERT_EQ(run("zip", {"-q", out + "/enc.zip", "OPEN.DCM"}, src + "/enc"), QString());
    ASSERT_EQ(::symlink("/etc/passwd", QFile::encodeName(src + "/good/PASSWD").constData()), 0);
    ASSERT_EQ(run("xorriso", {"-as", "mkisofs", "-quiet", "-R", "-o", out + "/links.iso", src + "/good"}), QString());

    FaultyScp pacs;
    destination1(pacs);
    AppState& s = appState();
    s.Location = 2;
    s.SearchBy = 2;
    s.ImportWithSubDirs = true;
    s.WriteLog = 1;
    QStringList boxes;
    const auto previousBox = MessageBox::setHandler([&](const MessageBox::Request& r) {
        boxes << r.text;
        return MessageBox::Answer::Ok;
    });
    const ArchiveMedium::Limits previousLimits = ArchiveMedium::defaultLimits();
    struct Outcome {
        int imported;
        QString boxes, errors, debug;
    };
    int imported = 0;
    auto importOf = [&](const QString& name) {
        QDir(program.path() + "/Logs").removeRecursively();
        boxes.clear();
        s.ImportFolder = out + "/" + name;
        ImportRun r(view, prompt, {});
        r.Run();
        imported += r.ImportedCount;
        EXPECT_TRUE(QDir(QDir::tempPath()).entryList({ArchiveMedium::folderPrefix() + "*"}, QDir::Dirs).isEmpty()) << name.toStdString();
        return Outcome {r.ImportedCount, boxes.join("\n"), QString::fromUtf8(readFile(program.path() + "/Logs/Error.log")),
                        QString::fromUtf8(readFile(program.path() + "/Logs/Debug.log"))};
    };

    // names that leave the archive and links: one line each, the rest is sent
    Outcome o = importOf("evil.zip");
    EXPECT_EQ(o.imported, 1);
    for (const QString member : {"/../evil.dcm is not extracted: its path leads out of the archive",
                                  "//abs/path.dcm is not extracted: its path is absolute",
                                  "/link.dcm is not extracted: it is a symbolic link to /etc/passwd"})
        EXPECT_EQ(o.errors.count(out + "/evil.zip" + member), 1) << member.toStdString() << "\n" << o.errors.toStdString();
    EXPECT_FALSE(QFile::exists(QDir::tempPath() + "/evil.dcm"));
    EXPECT_FALSE(QFile::exists(out + "/evil.dcm"));
    o = importOf("links.iso");
    EXPECT_EQ(o.imported, 1);
    EXPECT_TRUE(o.errors.contains("links.iso/PASSWD is not extracted: it is a symbolic link to /etc/passwd")) << o.errors.toStdString();

    // encrypted members are named, the others sent
    o = importOf("enc.zip");
    EXPECT_EQ(o.imported, 1);
    EXPECT_TRUE(o.boxes.contains("encrypted") && o.boxes.contains(out + "/enc.zip/SECRET.DCM") && !o.boxes.contains("OPEN.DCM"))
        << o.boxes.toStdString();
    // twenty of the 25 in the box, every one in the error log, once
    EXPECT_TRUE(o.boxes.contains("and 5 more; the error log lists them all")) << o.boxes.toStdString();
    EXPECT_EQ(o.boxes.count("/enc.zip/SECRET"), 20);
    EXPECT_EQ(o.errors.count("/enc.zip/SECRET"), 25) << o.errors.toStdString();

    // a CP437 name reads as the operator's system wrote it
    o = importOf("cp437.zip");
    EXPECT_EQ(o.imported, 1);
    EXPECT_TRUE(o.debug.contains("Send " + out + QString::fromUtf8("/cp437.zip/M\xC3\xBCLLER.DCM"))) << o.debug.toStdString();

    // damaged: libarchive's reason in the box and the error log
    o = importOf("truncated.zip");
    EXPECT_EQ(o.imported, 0);
    EXPECT_TRUE(o.boxes.contains(out + "/truncated.zip cannot be read: ")) << o.boxes.toStdString();
    EXPECT_TRUE(o.errors.contains(out + "/truncated.zip cannot be read: ")) << o.errors.toStdString();

    // the ratio rule on a small scale: zeros stop, noise of the same size does not
    ArchiveMedium::defaultLimits().bombBytes = 1 << 20;
    o = importOf("bomb.zip");
    EXPECT_TRUE(o.boxes.contains("zeros.dcm") && o.boxes.contains("ZIP bomb")) << o.boxes.toStdString();
    o = importOf("noise.zip");
    EXPECT_EQ(o.imported, 1);
    EXPECT_FALSE(o.boxes.contains("ZIP bomb")) << o.boxes.toStdString();
    ArchiveMedium::defaultLimits() = previousLimits;
    // a header that lies is caught by counting the bytes
    o = importOf("liar.zip");
    EXPECT_TRUE(o.boxes.contains("liar.dcm expands beyond the 1000 bytes its header gives")) << o.boxes.toStdString();
    EXPECT_TRUE(o.errors.contains("liar.dcm expands beyond")) << o.errors.toStdString();
    // more than the temporary folder holds: refused before anything is written
    ArchiveMedium::defaultLimits().freeBytes = 100 << 10;
    o = importOf("noise.zip");
    EXPECT_EQ(o.imported, 0);
    EXPECT_TRUE(o.boxes.contains("noise.zip is refused: it would expand to")) << o.boxes.toStdString();
    ArchiveMedium::defaultLimits() = previousLimits;

    // a folder a crashed run left behind goes at the next start
    const QString stale = QDir::tempPath() + "/varnelo-media-2147483646-abcdef";
    ASSERT_TRUE(QDir().mkpath(stale + "/medium/DICOM"));
    o = importOf("whole.zip");
    EXPECT_EQ(o.imported, 2) << o.errors.toStdString() << o.boxes.toStdString();
    EXPECT_FALSE(QFile::exists(stale));
    EXPECT_EQ(pacs.held().size(), imported) << "what was counted arrived, nothing more";
    MessageBox::setHandler(previousBox);
}

namespace {

// Runs a crafted-archive script of python3; "" when it succeeded.
QString python(const QString& script, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("/usr/bin/python3", QStringList {"-c", script} + args);
    return p.waitForFinished(60000) && p.exitCode() == 0 ? QString() : QString::fromLocal8Bit(p.readAll());
}

// The most the archive runs of this process held in the temporary folder
// while it watched, sampled every few milliseconds.
class TempPeak {
public:
    TempPeak()
        : thread_([this] {
            while (!stop_) {
                qint64 bytes = 0;
                QDirIterator it(QDir::tempPath(), {ArchiveMedium::folderPrefix() + "*"}, QDir::Dirs);
                while (it.hasNext())
                    for (QDirIterator f(it.next(), QDir::Files, QDirIterator::Subdirectories); f.hasNext();)
                        bytes += (f.next(), f.fileInfo().size());
                peak_ = std::max<qint64>(peak_, bytes);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        })
    {
    }
    qint64 stop()
    {
        stop_ = true;
        thread_.join();
        return peak_;
    }

private:
    std::atomic<bool> stop_ {false};
    std::atomic<qint64> peak_ {0};
    std::thread thread_;
};

}  // namespace

// Bombs of many members are bounded as a whole, and members the walk never
// reads are not extracted at all. Stale run folders are found without
// following links: a planted link and another user's folder stay untouched.
TEST_F(HostileMedia, ArchivesAreBoundedAsAWholeAndExtractOnlyWhatTheWalkReads)
{
    const QString src = mediaPath("src"), out = mediaPath("out");
    images(src + "/DICOM/ST1/SE1", 2);
    testdata::makeDicomDir(src);
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_EQ(python(R"(import os, sys, zipfile
src, out = sys.argv[1], sys.argv[2]
def add(z, name):
    z.write(os.path.join(src, name), name)
with zipfile.ZipFile(out + '/bomb.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    for i in range(6):
        z.writestr('ZEROS%d' % i, bytes(8 << 20))
    add(z, 'DICOM/ST1/SE1/IM000001')
os.rename(src + '/DICOM/ST1/SE1/IM000002', src + '/DICOM/ST1/SE1/IM000002.DCM')
with zipfile.ZipFile(out + '/suffix.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('VIEWER/ZEROS.BIN', bytes(48 << 20))
    z.write(src + '/DICOM/ST1/SE1/IM000002.DCM', 'IM000002.DCM')
os.rename(src + '/DICOM/ST1/SE1/IM000002.DCM', src + '/DICOM/ST1/SE1/IM000002')
with zipfile.ZipFile(out + '/dicomdir.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('CD/VIEWER/ZEROS.BIN', bytes(48 << 20))
    for name in ['DICOM/ST1/SE1/IM000001', 'DICOM/ST1/SE1/IM000002', 'DICOMDIR']:
        z.write(os.path.join(src, name), 'CD/' + name)
)",
                     {src, out}),
              QString());

    FaultyScp pacs;
    destination1(pacs);
    AppState& s = appState();
    s.Location = 2;
    s.ImportWithSubDirs = true;
    s.WriteLog = 1;
    QStringList boxes;
    const auto previousBox = MessageBox::setHandler([&](const MessageBox::Request& r) {
        boxes << r.text;
        return MessageBox::Answer::Ok;
    });
    const ArchiveMedium::Limits previousLimits = ArchiveMedium::defaultLimits();
    ArchiveMedium::defaultLimits().totalBytes = 16 << 20;  // 48 MB of zeros in 50 KB: a bomb of many members
    struct Outcome {
        int imported;
        qint64 peak;
        QString boxes;
    };
    auto importOf = [&](const QString& name, int searchBy, const QString& suffix = {}) {
        boxes.clear();
        s.SearchBy = static_cast<std::int16_t>(searchBy);
        s.FileSuffix = suffix;
        s.ImportFolder = out + "/" + name;
        TempPeak peak;
        ImportRun r(view, prompt, {});
        r.Run();
        return Outcome {r.ImportedCount, peak.stop(), boxes.join("\n")};
    };

    // no member alone is a bomb, together they are: refused before anything is written
    Outcome o = importOf("bomb.zip", 2);
    EXPECT_EQ(o.imported, 0);
    EXPECT_TRUE(o.boxes.contains("bomb.zip is refused: its members would expand to") && o.boxes.contains("ZIP bomb"))
        << o.boxes.toStdString();
    EXPECT_LT(o.peak, 1 << 20);
    // a scan for ".DCM" and a DICOMDIR import leave the zeros in the archive
    o = importOf("suffix.zip", 2, "dcm");
    EXPECT_EQ(o.imported, 1) << o.boxes.toStdString();
    EXPECT_LT(o.peak, 1 << 20);
    o = importOf("dicomdir.zip", 1);
    EXPECT_EQ(o.imported, 2) << o.boxes.toStdString();
    EXPECT_LT(o.peak, 1 << 20);
    EXPECT_EQ(pacs.held().size(), 3);
    ArchiveMedium::defaultLimits() = previousLimits;

    // a link named like a dead run's folder, and another user's folder of that name
    const QString temp = QDir::tempPath();
    const QString link = temp + "/varnelo-media-2147483645-link", others = temp + "/varnelo-media-2147483644-other";
    ASSERT_TRUE(QDir().mkpath(mediaPath("victim/medium")));
    writeFile(mediaPath("victim/medium/precious"), "keep");
    ASSERT_EQ(::symlink(QFile::encodeName(mediaPath("victim")).constData(), QFile::encodeName(link).constData()), 0);
    ASSERT_TRUE(QDir().mkpath(others + "/medium"));
    writeFile(others + "/medium/theirs", "keep");
    for (const QString& p : {others, others + "/medium", others + "/medium/theirs"})
        ASSERT_EQ(::chown(QFile::encodeName(p).constData(), 65534, 65534), 0);
    importOf("suffix.zip", 2);
    EXPECT_EQ(readFile(mediaPath("victim/medium/precious")), "keep");
    EXPECT_EQ(readFile(others + "/medium/theirs"), "keep");
    ::unlink(QFile::encodeName(link).constData());
    QDir(others).removeRecursively();
    MessageBox::setHandler(previousBox);
}

// Every member is accounted for: two of one name both arrive, a damaged one
// fails alone with its name, a disc image's hard link is one file sent once.
TEST_F(HostileMedia, EveryMemberOfAnArchiveArrivesOnceOrIsNamedAsFailed)
{
    const QString src = mediaPath("src"), out = mediaPath("out");
    const QStringList first = images(src + "/a", 4), second = images(src + "/b", 1), third = images(src + "/c", 1);
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_EQ(python(R"(import sys, zipfile
src, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out + '/dup.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.write(src + '/a/IM000001', 'dup/IM')
    z.write(src + '/b/IM000001', 'dup/IM')
with zipfile.ZipFile(out + '/damaged.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    for i in (1, 2, 3):
        z.write(src + '/a/IM%06d' % (i + 1), 'IM%d' % i)
    at = z.getinfo('IM2').header_offset
b = bytearray(open(out + '/damaged.zip', 'rb').read())
# a deflate block of the reserved type: the stream is broken from its first byte
b[at + 30 + int.from_bytes(b[at + 26:at + 28], 'little') + int.from_bytes(b[at + 28:at + 30], 'little')] = 0xFF
open(out + '/damaged.zip', 'wb').write(b)
)",
                     {src, out}),
              QString());
    ASSERT_TRUE(QDir().mkpath(src + "/hl"));
    ASSERT_TRUE(QFile::copy(src + "/c/IM000001", src + "/hl/IM1"));
    ASSERT_EQ(::link(QFile::encodeName(src + "/hl/IM1").constData(), QFile::encodeName(src + "/hl/IM2").constData()), 0);
    QProcess x;
    x.setProcessChannelMode(QProcess::MergedChannels);
    x.start("xorriso", {"-hardlinks", "on", "-outdev", out + "/hardlinks.iso", "-map", src + "/hl", "/", "-commit"});
    ASSERT_TRUE(x.waitForFinished(60000) && x.exitCode() == 0) << x.readAll().toStdString();

    auto pacs = testsupport::Peer::storescp();
    ASSERT_TRUE(pacs);
    AppState& s = appState();
    s.RemoteAET = pacs->aeTitle();
    s.RemoteIP = "127.0.0.1";
    s.RemotePort = QString::number(pacs->port());
    s.Location = 2;
    s.SearchBy = 2;
    s.ImportWithSubDirs = true;
    s.WriteLog = 1;
    const auto previousBox = MessageBox::setHandler([](const MessageBox::Request&) { return MessageBox::Answer::Ok; });
    // what arrived since `before`, by UID; every image of this test is another
    auto arrived = [&](const QStringList& before) {
        QStringList uids;
        for (const QString& f : pacs->receivedFiles())
            if (!before.contains(f))
                uids << QString::fromStdString(testdata::contentOf(f)["(0008,0018)"]);
        return asSorted(uids).join(' ').toStdString();
    };
    auto importOf = [&](const QString& name, int expected) {
        QDir(program.path() + "/Logs").removeRecursively();
        const QStringList before = pacs->receivedFiles();
        s.ImportFolder = out + "/" + name;
        ImportRun r(view, prompt, {});
        r.Run();
        EXPECT_EQ(r.ImportedCount, expected) << name.toStdString() << "\n"
                                             << readFile(program.path() + "/Logs/Error.log").toStdString();
        EXPECT_TRUE(pacs->waitForFiles(static_cast<int>(before.size()) + expected));
        return before;
    };

    QStringList before = importOf("dup.zip", 2);
    EXPECT_EQ(arrived(before), asSorted({first[0], second[0]}).join(' ').toStdString());
    const QString log = QString::fromUtf8(readFile(program.path() + "/Logs/Error.log"));
    EXPECT_TRUE(log.contains(out + "/dup.zip/dup/IM has the name of an earlier member: it is extracted as " + out +
                             "/dup.zip/dup/IM~2"))
        << log.toStdString();

    before = importOf("damaged.zip", 2);
    EXPECT_EQ(arrived(before), asSorted({first[1], first[3]}).join(' ').toStdString());
    const auto errs = errors();
    ASSERT_FALSE(errs.empty());
    EXPECT_TRUE(errs[0].description.startsWith(out + "/damaged.zip/IM2 cannot be read: ")) << errs[0].description.toStdString();
    // the medium itself names the member that failed, and nothing else
    {
        ArchiveMedium::Selection all;
        ArchiveMedium medium(out + "/damaged.zip", ArchiveMedium::defaultLimits(), all);
        medium.open();
        EXPECT_EQ(medium.waitFor(medium.root() + "/IM3", 30000), ArchiveMedium::State::Ready);
        EXPECT_EQ(medium.waitFor(medium.root() + "/IM2", 0), ArchiveMedium::State::Missing);
        EXPECT_EQ(medium.damaged(), QStringList {out + "/damaged.zip/IM2"});
        EXPECT_FALSE(medium.failure());
    }

    before = importOf("hardlinks.iso", 1);
    EXPECT_EQ(arrived(before), third[0].toStdString());
    EXPECT_FALSE(QString::fromUtf8(readFile(program.path() + "/Logs/Error.log")).contains("link")) << "no refusal";
    EXPECT_EQ(debug().filter("the same file was taken before").size(), 1) << debug().join("\n").toStdString();
    MessageBox::setHandler(previousBox);
}
