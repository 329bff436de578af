#include "base/Settings.h"
#include "base/AppState.h"
#include "base/Convert.h"
#include "base/Error.h"
#include "base/IniFile.h"
#include "support/FakeSettingsView.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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
    }
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
