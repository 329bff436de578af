#include "base/Settings.h"

#include "base/AppState.h"
#include "base/Convert.h"
#include "base/IniFile.h"
#include "base/ProgramFolder.h"

#include <algorithm>
#include <functional>

namespace varnelo {

namespace {

constexpr int kValueSize = 256;

QString read(const char* section, const char* key, const char* def)
{
    return ReadSetting(QLatin1String(section), QLatin1String(key), QLatin1String(def), kValueSize);
}

// One key at a time: a value that does not convert skips that key only.
void step(const std::function<void()>& f)
{
    try {
        f();
    } catch (...) {
    }
}

void write(const char* section, const char* key, const QString& value)
{
    WriteSetting(QLatin1String(section), QLatin1String(key), value);
}

// A long list of keys is no reason to lock none.
constexpr int kLockedListSize = 8192;

QStringList lockedIn(const QString& system)
{
    QStringList out;
    if (system.isEmpty())
        return out;
    const QString keys = FindIniValue(QStringLiteral("Locked"), QStringLiteral("Keys"), system, kLockedListSize).value_or(QString());
    for (const QString& entry : keys.split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!entry.trimmed().isEmpty())
            out << entry.trimmed();
    return out;
}

// "Section/Key" or "Section/*"; names match without regard to case, as in
// the file itself.
bool names(const QString& entry, const QString& section, const QString& key)
{
    const qsizetype slash = entry.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return false;
    const QString s = entry.left(slash).trimmed(), k = entry.mid(slash + 1).trimmed();
    return s.compare(section, Qt::CaseInsensitive) == 0 &&
        (k == QLatin1String("*") || k.compare(key, Qt::CaseInsensitive) == 0);
}

bool lockedIn(const QString& system, const QString& section, const QString& key)
{
    const QStringList locked = lockedIn(system);
    return std::any_of(locked.begin(), locked.end(), [&](const QString& e) { return names(e, section, key); });
}

QString knownLanguage(const QString& value)
{
    const QString v = value.trimmed().toLower();
    return v == QLatin1String("en") || v == QLatin1String("de") ? v : QStringLiteral("auto");
}

// The associations to one destination: 1 to 8; a value that is no number
// takes the default, one outside the range its nearest bound.
std::int32_t associationsOf(const QString& value)
{
    bool ok = false;
    const int n = value.trimmed().toInt(&ok);
    return ok ? std::clamp(n, 1, 8) : 4;
}

}  // namespace

QString languageSetting(const QString& iniPath)
{
    try {
        // the administrator's file speaks for a user whose file is silent,
        // and alone when it locks the key
        const QString system = administratorsSettingsFile();
        const QString section = QStringLiteral("Default"), key = QStringLiteral("Language");
        const bool locked = lockedIn(system, section, key);
        QString value = locked ? QString() : ReadIniValue(section, key, QString(), iniPath, kValueSize);
        if (value.isEmpty() && !system.isEmpty())
            value = ReadIniValue(section, key, QString(), system, kValueSize);
        return knownLanguage(value);
    } catch (...) {
        return QStringLiteral("auto");
    }
}

QStringList lockedSettings()
{
    return lockedIn(administratorsSettingsFile());
}

bool isLockedSetting(const QString& section, const QString& key)
{
    return lockedIn(administratorsSettingsFile(), section, key);
}

bool isLockedBox(SettingsView::Box box)
{
    using Box = SettingsView::Box;
    const QString dicom = QStringLiteral("DICOM");
    switch (box) {
    case Box::Suffix:
        return isLockedSetting(QStringLiteral("Default"), QStringLiteral("FileSuffix"));
    case Box::SourceDir:
        return isLockedSetting(QStringLiteral("Default"), QStringLiteral("SourceDir"));
    case Box::RemoteAET:
        return isLockedSetting(dicom, QStringLiteral("RemoteAET"));
    case Box::RemoteIP:
        return isLockedSetting(dicom, QStringLiteral("RemoteIP"));
    case Box::RemotePort:
        return isLockedSetting(dicom, QStringLiteral("RemotePort"));
    case Box::RemoteAET2:
        return isLockedSetting(dicom, QStringLiteral("RemoteAET2"));
    case Box::RemoteIP2:
        return isLockedSetting(dicom, QStringLiteral("RemoteIP2"));
    case Box::RemotePort2:
        return isLockedSetting(dicom, QStringLiteral("RemotePort2"));
    }
    return false;
}

QString ReadSetting(const QString& section, const QString& key, const QString& def, int size)
{
    const QString system = administratorsSettingsFile();
    if (lockedIn(system, section, key))
        return FindIniValue(section, key, system, size).value_or(def);
    if (std::optional<QString> own = FindIniValue(section, key, appState().IniPath, size))
        return *own;
    if (!system.isEmpty())
        return FindIniValue(section, key, system, size).value_or(def);
    return def;
}

bool WriteSetting(const QString& section, const QString& key, const QString& value)
{
    const QString system = administratorsSettingsFile();
    const QString& own = appState().IniPath;
    if (!system.isEmpty()) {
        if (lockedIn(system, section, key))
            return false;
        if (own != system && !FindIniValue(section, key, own).has_value() && FindIniValue(section, key, system) == value)
            return true;
    }
    return WriteIniValue(section, key, value, own);
}

void LoadSettings(SettingsView& view)
{
    AppState& s = appState();
    using Box = SettingsView::Box;

    step([&] {
        s.SearchBy = toInt16(read("Default", "SearchBy", "1"));
        view.selectSearchByOption(s.SearchBy);
    });
    step([&] { view.setBoxText(Box::Suffix, read("Default", "FileSuffix", "")); });
    step([&] { view.setBoxText(Box::SourceDir, read("Default", "SourceDir", "")); });
    step([&] { view.setWithSubDirsValue(toInt16(read("Default", "WithSubDirs", "0"))); });
    step([&] { s.WriteLog = toInt16(read("Default", "WriteLog", "0")); });
    step([&] {
        s.Location = toInt16(read("Default", "Location", "1"));
        view.selectLocationOption(s.Location);
    });
    step([&] { s.Drive = read("Default", "Drive", ""); });
    step([&] { s.AppName = read("Default", "AppName", "Varnelo"); });
    step([&] { s.LocalAET = read("DICOM", "LocalAET", "Varnelo"); });
    step([&] { s.ChangeID = toFlag(read("Default", "ChangeID", "0")); });
    step([&] { s.IssuerOfPatientID = read("Default", "IssuerOfPatientID", ""); });
    step([&] { s.AutoImport = toFlag(read("Default", "AutoImport", "0")); });
    step([&] { s.EjectWhenDone = toFlag(read("Default", "EjectWhenDone", "0")); });
    step([&] { s.Language = knownLanguage(read("Default", "Language", "auto")); });
    step([&] { view.setBoxText(Box::RemoteAET, read("DICOM", "RemoteAET", "")); });
    step([&] { view.setBoxText(Box::RemoteIP, read("DICOM", "RemoteIP", "")); });
    step([&] { view.setBoxText(Box::RemotePort, read("DICOM", "RemotePort", "")); });
    step([&] { view.setBoxText(Box::RemoteAET2, read("DICOM", "RemoteAET2", "")); });
    step([&] { view.setBoxText(Box::RemoteIP2, read("DICOM", "RemoteIP2", "")); });
    step([&] { view.setBoxText(Box::RemotePort2, read("DICOM", "RemotePort2", "")); });
    step([&] { s.Validate = toInt16(read("Default", "Validate", "0")); });
    step([&] { s.ImgDirEqStudy = toInt16(read("Default", "ImgDirEqStudy", "0")); });
    step([&] { s.WorklistAET = read("Worklist", "AET", ""); });
    step([&] { s.WorklistIP = read("Worklist", "IP", ""); });
    step([&] { s.WorklistPort = read("Worklist", "Port", ""); });
    step([&] { s.WorklistModality = read("Worklist", "Modality", ""); });
    // Read only: SaveSettings and the Options dialog never write them.
    step([&] { s.UseTLS = toInt16(read("DICOM", "UseTLS", "0")) == 1; });
    step([&] { s.UseTLS2 = toInt16(read("DICOM", "UseTLS2", "0")) == 1; });
    step([&] { s.WorklistUseTLS = toInt16(read("Worklist", "UseTLS", "0")) == 1; });
    step([&] { s.AskHeld = toInt16(read("DICOM", "AskHeld", "1")) != 0; });
    step([&] { s.Associations = associationsOf(read("DICOM", "Associations", "4")); });
    step([&] { s.Associations2 = associationsOf(read("DICOM", "Associations2", "4")); });
    step([&] { s.RemoteURL = read("DICOM", "RemoteURL", "").trimmed(); });
    step([&] { s.RemoteURL2 = read("DICOM", "RemoteURL2", "").trimmed(); });
    step([&] { s.WebUser = read("DICOMweb", "User", ""); });
    step([&] { s.WebPassword = read("DICOMweb", "Password", ""); });
    step([&] { s.WebToken = read("DICOMweb", "Token", "").trimmed(); });
    step([&] {
        s.CommitPort = 0;  // a value that is no port listens nowhere
        const std::int32_t port = toInt32(read("DICOM", "CommitPort", "0"));
        if (port > 0 && port <= 65535)
            s.CommitPort = port;
    });
    step([&] {
        s.CommitHosts.clear();
        for (const QString& host : read("DICOM", "CommitHosts", "").split(QLatin1Char(','), Qt::SkipEmptyParts))
            if (!host.trimmed().isEmpty())
                s.CommitHosts << host.trimmed();
    });
    step([&] { s.TLSCertificate = read("TLS", "Certificate", ""); });
    step([&] { s.TLSPrivateKey = read("TLS", "PrivateKey", ""); });
    step([&] { s.TLSTrustedCertificates = read("TLS", "TrustedCertificates", ""); });
    step([&] { s.AuditHost = read("Audit", "Host", "").trimmed(); });
    step([&] {
        s.AuditPort = 0;  // a value that is no port takes the transport's own
        const std::int32_t port = toInt32(read("Audit", "Port", "0"));
        if (port > 0 && port <= 65535)
            s.AuditPort = port;
    });
    step([&] { s.AuditTransport = read("Audit", "Transport", "tls").trimmed().toLower(); });
    step([&] { s.AuditSite = read("Audit", "Site", "").trimmed(); });
}

void SaveSettings(SettingsView& view)
{
    AppState& s = appState();
    using Box = SettingsView::Box;

    step([&] { write("Default", "SearchBy", QString::number(s.SearchBy)); });
    step([&] { write("Default", "FileSuffix", view.boxText(Box::Suffix)); });
    step([&] { write("Default", "Drive", s.Drive); });
    step([&] { write("Default", "SourceDir", view.boxText(Box::SourceDir)); });
    step([&] { write("Default", "WithSubDirs", QString::number(view.withSubDirsValue())); });
    step([&] { write("Default", "Location", QString::number(s.Location)); });
    step([&] { write("DICOM", "RemoteAET", view.boxText(Box::RemoteAET)); });
    step([&] { write("DICOM", "RemoteIP", view.boxText(Box::RemoteIP)); });
    step([&] { write("DICOM", "RemotePort", view.boxText(Box::RemotePort)); });
    step([&] { write("DICOM", "RemoteAET2", view.boxText(Box::RemoteAET2)); });
    step([&] { write("DICOM", "RemoteIP2", view.boxText(Box::RemoteIP2)); });
    step([&] { write("DICOM", "RemotePort2", view.boxText(Box::RemotePort2)); });

    s.RemoteAET = view.boxText(Box::RemoteAET);
    s.RemotePort = view.boxText(Box::RemotePort);
    s.RemoteIP = view.boxText(Box::RemoteIP);
    s.RemoteAET2 = view.boxText(Box::RemoteAET2);
    s.RemotePort2 = view.boxText(Box::RemotePort2);
    s.RemoteIP2 = view.boxText(Box::RemoteIP2);
}

}  // namespace varnelo
