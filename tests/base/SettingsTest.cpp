#include "base/Settings.h"
#include "base/AppState.h"
#include "base/AuditSender.h"
#include "base/Convert.h"
#include "base/Error.h"
#include "base/IniFile.h"
#include "base/Logs.h"
#include "base/ProgramFolder.h"
#include "support/FakeSettingsView.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

#include <unistd.h>

using namespace varnelo;

namespace {

using FakeView = testsupport::FakeSettingsView;

class Settings : public ::testing::Test {
protected:
    QTemporaryDir dir;
    FakeView view;

    void SetUp() override
    {
        appState() = AppState {};
        appState().IniPath = dir.filePath(QStringLiteral("Varnelo.ini"));
        // the machine's own system file has no say here
        saved = qEnvironmentVariableIsSet("XDG_CONFIG_DIRS") ? std::optional<QByteArray>(qgetenv("XDG_CONFIG_DIRS")) : std::nullopt;
        qputenv("XDG_CONFIG_DIRS", dir.filePath(QStringLiteral("xdg")).toUtf8());
    }
    void TearDown() override
    {
        if (saved)
            qputenv("XDG_CONFIG_DIRS", *saved);
        else
            qunsetenv("XDG_CONFIG_DIRS");
    }
    std::optional<QByteArray> saved;
    void writeIni(const QByteArray& data)
    {
        QFile f(appState().IniPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QByteArray readIni()
    {
        QFile f(appState().IniPath);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll();
    }
};

}  // namespace

TEST(Convert, NumbersRoundHalfToEvenAndStayIn16Bits)
{
    EXPECT_EQ(toInt16(" 2.5 "), 2);
    EXPECT_EQ(toInt16("3.5"), 4);
    EXPECT_EQ(toInt16("-2.5"), -2);
    EXPECT_EQ(toInt16("2.6"), 3);
    EXPECT_EQ(toInt16("32767"), 32767);
    EXPECT_EQ(toInt16("-32768"), -32768);
    EXPECT_EQ(toInt16("1e2"), 100);
    try {
        toInt16("40000");
        FAIL() << "40000 accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), ErrNo::Overflow);
    }
    for (const char* bad : {"abc", "", "  ", "1,5", "12abc", "0x10"}) {
        try {
            toInt16(bad);
            FAIL() << bad << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), ErrNo::TypeMismatch) << bad;
        }
    }
    EXPECT_EQ(toInt32("104"), 104);
    EXPECT_THROW(toInt32("99999999999"), Error);
}

TEST(Convert, FlagsTakeNumbersAndTrueFalseWords)
{
    EXPECT_TRUE(toFlag("1"));
    EXPECT_TRUE(toFlag("-1"));
    EXPECT_TRUE(toFlag("True"));
    EXPECT_TRUE(toFlag(" TRUE "));
    EXPECT_FALSE(toFlag("0"));
    EXPECT_FALSE(toFlag("false"));
    EXPECT_THROW(toFlag("yes"), Error);
}

TEST_F(Settings, FirstStartGivesDefaultsAndFirstSaveWritesTwelveKeys)
{
    LoadSettings(view);
    const AppState& s = appState();
    EXPECT_EQ(s.SearchBy, 1);
    EXPECT_EQ(s.Location, 1);
    EXPECT_EQ(view.searchByOption, 1);
    EXPECT_EQ(view.locationOption, 1);
    EXPECT_EQ(s.LocalAET, "Varnelo");
    EXPECT_EQ(s.AppName, "Varnelo");
    EXPECT_FALSE(s.ChangeID);
    EXPECT_EQ(s.WriteLog, 0);
    EXPECT_TRUE(view.boxes.value(SettingsView::Box::RemoteIP).isEmpty());
    EXPECT_FALSE(QFile::exists(s.IniPath)) << "loading must not create the file";

    SaveSettings(view);
    const QByteArray expected = "[Default]\nSearchBy=1\nFileSuffix=\nDrive=\nSourceDir=\nWithSubDirs=0\nLocation=1\n"
                                "[DICOM]\nRemoteAET=\nRemoteIP=\nRemotePort=\nRemoteAET2=\nRemoteIP2=\nRemotePort2=\n";
    EXPECT_EQ(readIni(), expected);

    // saving twice leaves the same file
    SaveSettings(view);
    EXPECT_EQ(readIni(), expected);
}

TEST_F(Settings, OneBadKeyIsSkippedAndTheRestLoads)
{
    writeIni("[Default]\n"
             "SearchBy=abc\n"
             "FileSuffix=  DCM  \n"
             "WithSubDirs=7\n"
             "WriteLog=40000\n"
             "Location=2.5\n"
             "ChangeID=yes\n"
             "Validate=3.5\n"
             "ImgDirEqStudy=1\n"
             "[DICOM]\n"
             "RemoteIP= 10.0.0.7 \n"
             "[Worklist]\n"
             "Port=104\n");
    appState().WriteLog = 9;  // a skipped key keeps what the field held
    LoadSettings(view);
    const AppState& s = appState();
    EXPECT_EQ(s.SearchBy, 0);
    EXPECT_EQ(view.searchByOption, 0);
    EXPECT_EQ(view.boxes.value(SettingsView::Box::Suffix), "DCM");
    EXPECT_EQ(view.withSubDirs, 0);
    EXPECT_EQ(s.WriteLog, 9);
    EXPECT_EQ(s.Location, 2);
    EXPECT_EQ(view.locationOption, 2);
    EXPECT_FALSE(s.ChangeID);
    EXPECT_EQ(s.Validate, 4);
    EXPECT_EQ(s.ImgDirEqStudy, 1);
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteIP), "10.0.0.7");
    EXPECT_EQ(s.WorklistPort, "104");
}

TEST_F(Settings, OptionNumberWithoutOptionSelectsNone)
{
    writeIni("[Default]\nSearchBy=3\nLocation=0\nChangeID=True\n");
    LoadSettings(view);
    EXPECT_EQ(appState().SearchBy, 3);
    EXPECT_EQ(view.searchByOption, 0);
    EXPECT_EQ(appState().Location, 0);
    EXPECT_EQ(view.locationOption, 0);
    EXPECT_TRUE(appState().ChangeID);
}

TEST_F(Settings, IssuerOfTypedIdsLoadsTrimmedAndOnlyTheOptionsWriteIt)
{
    LoadSettings(view);
    EXPECT_EQ(appState().IssuerOfPatientID, "") << "none by default";
    writeIni("[Default]\nIssuerOfPatientID= HOSP_A \n");
    LoadSettings(view);
    EXPECT_EQ(appState().IssuerOfPatientID, "HOSP_A");
    appState().IssuerOfPatientID = "CHANGED";
    SaveSettings(view);
    EXPECT_EQ(ReadIniValue("Default", "IssuerOfPatientID", "", appState().IniPath), "HOSP_A");
}

TEST_F(Settings, LongValuesLoadCutTo255)
{
    writeIni("[Default]\nSourceDir=" + QByteArray(300, 'd') + "\n");
    LoadSettings(view);
    EXPECT_EQ(view.boxes.value(SettingsView::Box::SourceDir), QString(255, QLatin1Char('d')));
}

TEST_F(Settings, SaveKeepsForeignContentAndCopiesDestinations)
{
    writeIni("; hand-written\n[Default]\nAppName=Station 3\nWriteLog=1\n[Extra]\nX=1\n");
    LoadSettings(view);
    view.boxes[SettingsView::Box::RemoteAET] = "PACS1";
    view.boxes[SettingsView::Box::RemoteIP] = "127.0.0.1";
    view.boxes[SettingsView::Box::RemotePort] = "11112";
    view.boxes[SettingsView::Box::RemoteAET2] = "PACS2";
    appState().Drive = "D:";
    SaveSettings(view);

    const QByteArray ini = readIni();
    EXPECT_TRUE(ini.startsWith("; hand-written\n[Default]\nAppName=Station 3\nWriteLog=1\nSearchBy=1\n")) << ini.constData();
    EXPECT_TRUE(ini.contains("[Extra]\nX=1\n[DICOM]\nRemoteAET=PACS1\n"));
    EXPECT_EQ(ReadIniValue("Default", "Drive", "", appState().IniPath), "D:");
    EXPECT_EQ(appState().RemoteAET, "PACS1");
    EXPECT_EQ(appState().RemoteIP, "127.0.0.1");
    EXPECT_EQ(appState().RemotePort, "11112");
    EXPECT_EQ(appState().RemoteAET2, "PACS2");
}

TEST_F(Settings, RefusedWriteIsSilentAndStateStillCopied)
{
    appState().IniPath = dir.path();  // a folder cannot be written as a file
    view.boxes[SettingsView::Box::RemoteAET] = "PACS1";
    EXPECT_NO_THROW(SaveSettings(view));
    EXPECT_EQ(appState().RemoteAET, "PACS1");
    EXPECT_TRUE(QFileInfo(dir.path()).isDir());
}

TEST_F(Settings, TlsKeysAreReadOnlyAndOnOnlyAt1)
{
    LoadSettings(view);
    EXPECT_FALSE(appState().UseTLS || appState().UseTLS2 || appState().WorklistUseTLS) << "absent keys: off";

    const QByteArray tls = "[TLS]\nCertificate=/etc/varnelo/station.pem\nPrivateKey=/etc/varnelo/station.key\n"
                           "TrustedCertificates=/etc/varnelo/ca\n";
    writeIni("[DICOM]\nRemoteAET=PACS1\nUseTLS=1\nUseTLS2=2\n[Worklist]\nUseTLS= 1 \n" + tls);
    LoadSettings(view);
    const AppState& s = appState();
    EXPECT_TRUE(s.UseTLS);
    EXPECT_FALSE(s.UseTLS2);
    EXPECT_TRUE(s.WorklistUseTLS);
    EXPECT_EQ(s.TLSCertificate, "/etc/varnelo/station.pem");
    EXPECT_EQ(s.TLSPrivateKey, "/etc/varnelo/station.key");
    EXPECT_EQ(s.TLSTrustedCertificates, "/etc/varnelo/ca");

    appState().UseTLS = false;  // nothing in memory goes back to the file
    SaveSettings(view);
    const QByteArray ini = readIni();
    EXPECT_TRUE(ini.contains("\nUseTLS=1\nUseTLS2=2\n")) << ini.constData();
    EXPECT_TRUE(ini.contains("[Worklist]\nUseTLS= 1 \n" + tls)) << ini.constData();
}

TEST_F(Settings, AuditRepositoryFromTheFileOnlyWithTheTransportsOwnPort)
{
    LoadSettings(view);
    EXPECT_TRUE(auditConfigFromSettings().host.isEmpty()) << "absent: no repository";
    EXPECT_EQ(auditConfigFromSettings().port, 6514);

    writeIni("[Audit]\nHost= arr.example \nPort=70000\nTransport=UDP\nSite=Nord\n");
    LoadSettings(view);
    AuditConfig c = auditConfigFromSettings();
    EXPECT_EQ(c.host, "arr.example");
    EXPECT_TRUE(c.udp);
    EXPECT_EQ(c.port, 514) << "no port: the transport's own";
    EXPECT_EQ(appState().AuditSite, "Nord");

    writeIni("[Audit]\nHost=arr.example\nPort=6000\nTransport=tls\n[TLS]\nCertificate=/etc/varnelo/station.pem\n");
    LoadSettings(view);
    c = auditConfigFromSettings();
    EXPECT_FALSE(c.udp);
    EXPECT_EQ(c.port, 6000);
    EXPECT_EQ(c.certificate, "/etc/varnelo/station.pem");
    SaveSettings(view);
    EXPECT_TRUE(readIni().contains("[Audit]\nHost=arr.example\nPort=6000\nTransport=tls\n")) << "never written back";
}

// Where the settings file and the logs go, with the XDG variables pointed
// into a temporary folder and put back afterwards.
class Places : public ::testing::Test {
protected:
    QTemporaryDir dir;
    const QList<QByteArray> names {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CONFIG_DIRS"};
    QList<std::optional<QByteArray>> saved;

    void SetUp() override
    {
        for (const QByteArray& n : names)
            saved << (qEnvironmentVariableIsSet(n) ? std::optional<QByteArray>(qgetenv(n)) : std::nullopt);
        qputenv("HOME", path("home").toUtf8());
        qputenv("XDG_CONFIG_HOME", path("config").toUtf8());
        qputenv("XDG_STATE_HOME", path("state").toUtf8());
        qputenv("XDG_CONFIG_DIRS", (path("xdg-empty") + ':' + path("xdg-first") + ':' + path("xdg-later")).toUtf8());
        setProgramBaseNameForTesting(QStringLiteral("Varnelo"));
    }
    void TearDown() override
    {
        for (qsizetype i = 0; i < names.size(); ++i) {
            if (saved[i])
                qputenv(names[i], *saved[i]);
            else
                qunsetenv(names[i]);
        }
        setProgramFolderForTesting({});
        setProgramBaseNameForTesting({});
    }
    QString path(const QString& rel) const { return dir.filePath(rel); }
    void put(const QString& rel, const QByteArray& data, QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner)
    {
        QDir().mkpath(QFileInfo(path(rel)).path());
        QFile f(path(rel));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
        f.close();
        f.setPermissions(perms);
    }
    QByteArray get(const QString& file) const
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
};

TEST_F(Places, BesideAWritableProgramElseTheUsersFolders)
{
    QDir().mkpath(path("opt"));
    setProgramFolderForTesting(path("opt"));
    EXPECT_TRUE(programFolderWritable());
    EXPECT_EQ(settingsPath(), path("opt/Varnelo.ini"));
    EXPECT_EQ(prepareSettingsFile(), path("opt/Varnelo.ini"));
    EXPECT_EQ(logFolder(), path("opt/Logs"));
    EXPECT_FALSE(QFileInfo::exists(path("config"))) << "nothing is made in the user's folders";

    setProgramFolderForTesting(path("gone"));  // a folder that cannot take files
    EXPECT_FALSE(programFolderWritable());
    EXPECT_EQ(settingsPath(), path("config/Varnelo/Varnelo.ini"));
    EXPECT_EQ(logFolder(), path("state/Varnelo/Logs"));

    // a value that is not an absolute path is passed over for the default
    qputenv("XDG_CONFIG_HOME", "config");
    qputenv("XDG_STATE_HOME", "");
    EXPECT_EQ(settingsPath(), path("home/.config/Varnelo/Varnelo.ini"));
    EXPECT_EQ(logFolder(), path("home/.local/state/Varnelo/Logs"));

    if (::geteuid() != 0) {  // root writes whatever the mode says
        QFile::setPermissions(path("opt"), QFile::ReadOwner | QFile::ExeOwner);
        setProgramFolderForTesting(path("opt"));
        EXPECT_FALSE(programFolderWritable());
        EXPECT_EQ(settingsPath(), path("home/.config/Varnelo/Varnelo.ini"));
        QFile::setPermissions(path("opt"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

// The administrator's file is read at every start, beside the user's own,
// wherever that is; nothing of it is copied into the user's file.
TEST_F(Places, SystemFileGivesWhatTheUsersFileLacksAtEveryStart)
{
    setProgramFolderForTesting(path("gone"));
    const QString ini = path("config/Varnelo/Varnelo.ini");
    EXPECT_EQ(prepareSettingsFile(), ini);
    EXPECT_TRUE(QFileInfo(path("config/Varnelo")).isDir());
    EXPECT_EQ(administratorsSettingsFile(), QString());

    put("xdg-first/Varnelo/Varnelo.ini", "; site\n[DICOM]\nRemoteAET=FIRST\nRemoteIP=10.1.1.1\nRemotePort=104\nLocalAET=STATION\n");
    put("xdg-later/Varnelo/Varnelo.ini", "[DICOM]\nRemoteAET=LATER\nRemoteAET2=LATER\n");
    EXPECT_EQ(prepareSettingsFile(), ini);
    EXPECT_FALSE(QFileInfo::exists(ini)) << "no copy";
    EXPECT_EQ(administratorsSettingsFile(), path("xdg-first/Varnelo/Varnelo.ini")) << "the first one found";
    put("config/Varnelo/Varnelo.ini", "[DICOM]\nRemoteAET=MINE\nRemotePort=\n");

    appState() = AppState {};
    appState().IniPath = ini;
    FakeView view;
    LoadSettings(view);
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteAET), "MINE") << "the user's own value stays";
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteIP), "10.1.1.1");
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemotePort), "") << "a key set empty is set";
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteAET2), "") << "only the first system file counts";
    EXPECT_EQ(appState().LocalAET, "STATION");

    // saved as it stands: what the system file gives is not pinned in the user's file
    SaveSettings(view);
    EXPECT_FALSE(FindIniValue("DICOM", "RemoteIP", ini)) << get(ini).constData();
    EXPECT_TRUE(get(ini).contains("RemoteAET=MINE\n"));
    EXPECT_EQ(appState().RemoteIP, "10.1.1.1");

    // a later change of the administrator's reaches the user at the next start
    put("xdg-first/Varnelo/Varnelo.ini", "[DICOM]\nRemoteIP=10.2.2.2\n");
    LoadSettings(view);
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteIP), "10.2.2.2");
    EXPECT_EQ(appState().LocalAET, "Varnelo") << "gone from the system file: the default";
    view.boxes[SettingsView::Box::RemoteIP] = "10.3.3.3";
    SaveSettings(view);
    EXPECT_EQ(ReadIniValue("DICOM", "RemoteIP", "", ini), "10.3.3.3") << "a value of the user's own is written";

    // beside a writable program too
    QDir().mkpath(path("opt"));
    setProgramFolderForTesting(path("opt"));
    appState().IniPath = prepareSettingsFile();
    EXPECT_EQ(appState().IniPath, path("opt/Varnelo.ini"));
    LoadSettings(view);
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteIP), "10.2.2.2");
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteAET), "");
}

// Keys named in [Locked] take the system file's value whatever the user's
// file says, and are never written there.
TEST_F(Places, LockedKeysHoldOverTheUsersFileAndAreNeverWritten)
{
    setProgramFolderForTesting(path("gone"));
    const QString ini = path("config/Varnelo/Varnelo.ini");
    put("xdg-first/Varnelo/Varnelo.ini",
        "[Locked]\nKeys= DICOM/RemoteAET , dicom/REMOTEIP,DICOM/LocalAET,Audit/*,nonsense\n"
        "[DICOM]\nRemoteAET=PACS\nRemoteIP=10.1.1.1\nRemotePort=104\n[Audit]\nPort=6514\n");
    const QByteArray own = "[DICOM]\nRemoteAET=MINE\nRemotePort=11112\nLocalAET=ME\n[Audit]\nHost=elsewhere\nPort=1\n";
    put("config/Varnelo/Varnelo.ini", own);
    appState() = AppState {};
    appState().IniPath = prepareSettingsFile();
    ASSERT_EQ(appState().IniPath, ini);

    EXPECT_EQ(lockedSettings(), QStringList({"DICOM/RemoteAET", "dicom/REMOTEIP", "DICOM/LocalAET", "Audit/*", "nonsense"}));
    EXPECT_TRUE(isLockedSetting("dicom", "remoteaet"));
    EXPECT_TRUE(isLockedSetting("Audit", "Transport")) << "a whole section";
    EXPECT_FALSE(isLockedSetting("DICOM", "RemotePort"));
    EXPECT_FALSE(isLockedSetting("DICOM", "RemoteAET2"));
    EXPECT_TRUE(isLockedBox(SettingsView::Box::RemoteIP));
    EXPECT_FALSE(isLockedBox(SettingsView::Box::RemotePort));

    FakeView view;
    LoadSettings(view);
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteAET), "PACS");
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemoteIP), "10.1.1.1");
    EXPECT_EQ(view.boxes.value(SettingsView::Box::RemotePort), "11112") << "not locked: the user's";
    EXPECT_EQ(appState().LocalAET, "Varnelo") << "locked without a value: the default, not the user's";
    EXPECT_EQ(ReadSetting("Audit", "Host", "none"), "none");
    EXPECT_EQ(ReadSetting("Audit", "Port", "514"), "6514");

    view.boxes[SettingsView::Box::RemoteAET] = "TYPED";
    view.boxes[SettingsView::Box::RemoteIP] = "10.9.9.9";
    SaveSettings(view);
    EXPECT_FALSE(WriteSetting("DICOM", "LocalAET", "OTHER"));
    EXPECT_FALSE(WriteSetting("Audit", "Site", "X"));
    const QByteArray after = get(ini);
    // what was there is left as it was, and no locked key is added
    EXPECT_TRUE(after.startsWith("[DICOM]\nRemoteAET=MINE\nRemotePort=11112\nLocalAET=ME\n")) << after.constData();
    EXPECT_TRUE(after.contains("[Audit]\nHost=elsewhere\nPort=1\n[")) << after.constData();
    EXPECT_FALSE(FindIniValue("DICOM", "RemoteIP", ini)) << after.constData();
    EXPECT_FALSE(after.contains("TYPED")) << after.constData();
}

// Without a place of the user's own (HOME unset, a home that takes no files)
// the administrator's file is used where it lies and never written, nothing
// is made below "/", and there is a sentence that says why.
TEST_F(Places, WithoutAHomeTheAdministratorsFileIsReadAndTheReasonIsKnown)
{
    setProgramFolderForTesting(path("gone"));
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_STATE_HOME");
    put("xdg-first/Varnelo/Varnelo.ini", "[DICOM]\nRemoteAET=SITE\n", QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    const QString admin = path("xdg-first/Varnelo/Varnelo.ini");
    EXPECT_FALSE(keepingTrouble()) << "a home that takes files is no trouble";

    qunsetenv("HOME");
    EXPECT_EQ(settingsPath(), QString()) << "not //.config";
    EXPECT_EQ(logFolder(), QString());
    EXPECT_EQ(prepareSettingsFile(), admin);
    EXPECT_TRUE(isAdministratorsSettings(admin));
    EXPECT_EQ(ReadIniValue("DICOM", "RemoteAET", "", admin), "SITE") << "root's file, read";
    EXPECT_FALSE(settingsTrouble().contains(admin));
    EXPECT_FALSE(WriteIniValue("DICOM", "RemoteAET", "MINE", admin));
    EXPECT_EQ(get(admin), "[DICOM]\nRemoteAET=SITE\n");
    const std::optional<QString> noHome = keepingTrouble();
    ASSERT_TRUE(noHome);
    EXPECT_TRUE(noHome->startsWith("Settings and logs cannot be kept: ")) << noHome->toStdString();
    EXPECT_TRUE(noHome->contains("HOME")) << noHome->toStdString();
    (void)TakeLogTrouble();
    WriteErrorLog(1, "a", "s");
    EXPECT_TRUE(TakeLogTrouble()) << "a log that has no place is trouble, not silence";

    // a home below a file: no folder can be made there, whoever runs this
    put("plain", "x");
    qputenv("HOME", path("plain").toUtf8());
    EXPECT_EQ(prepareSettingsFile(), admin);
    const std::optional<QString> noFolder = keepingTrouble();
    ASSERT_TRUE(noFolder);
    EXPECT_TRUE(noFolder->contains(path("plain/.config"))) << noFolder->toStdString();
    EXPECT_FALSE(QFileInfo::exists("//.config/Varnelo")) << "nothing made below the root";

    // no administrator's file either: the defaults, from no file
    QFile::remove(admin);
    EXPECT_EQ(prepareSettingsFile(), path("plain/.config/Varnelo/Varnelo.ini"));
    EXPECT_FALSE(isAdministratorsSettings(admin));
}

// [Default] Language is read before the first window, from the user's file
// or, where that is silent, the system file; anything but en and de is the
// desktop's choice. LoadSettings keeps it for the Options.
TEST_F(Places, LanguageFromTheUsersFileElseTheSystemFile)
{
    const QString ini = path("config/Varnelo/Varnelo.ini");
    EXPECT_EQ(languageSetting(ini), "auto") << "no file at all";
    put("xdg-first/Varnelo/Varnelo.ini", "[Default]\nLanguage=de\n");
    EXPECT_EQ(languageSetting(ini), "de");
    put("config/Varnelo/Varnelo.ini", "[Default]\nLanguage= EN \n");
    EXPECT_EQ(languageSetting(ini), "en") << "the user's own, trimmed, any case";
    put("config/Varnelo/Varnelo.ini", "[Default]\nLanguage=fr\n");
    EXPECT_EQ(languageSetting(ini), "auto");
    put("xdg-first/Varnelo/Varnelo.ini", "[Locked]\nKeys=Default/Language\n[Default]\nLanguage=de\n");
    put("config/Varnelo/Varnelo.ini", "[Default]\nLanguage=en\n");
    EXPECT_EQ(languageSetting(ini), "de") << "locked: the system file's, whatever the user's says";
    put("xdg-first/Varnelo/Varnelo.ini", "[Default]\nLanguage=de\n");
    put("config/Varnelo/Varnelo.ini", "[Default]\nLanguage=fr\n");

    appState() = AppState {};
    appState().IniPath = ini;
    FakeView view;
    LoadSettings(view);
    EXPECT_EQ(appState().Language, "auto");
    put("config/Varnelo/Varnelo.ini", "[Default]\nLanguage=De\n");
    LoadSettings(view);
    EXPECT_EQ(appState().Language, "de");
}
