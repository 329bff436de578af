#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

namespace varnelo {

// What LoadSettings and SaveSettings need of the main window.
class SettingsView {
public:
    enum class Box { Suffix,
                     SourceDir,
                     RemoteAET,
                     RemoteIP,
                     RemotePort,
                     RemoteAET2,
                     RemoteIP2,
                     RemotePort2 };

    virtual ~SettingsView() = default;

    // Selecting an option has the same effect as the operator clicking it.
    // A number without an option selects none (no throw).
    virtual void selectSearchByOption(std::int16_t number) = 0;
    virtual void selectLocationOption(std::int16_t number) = 0;

    virtual void setBoxText(Box box, const QString& text) = 0;
    virtual QString boxText(Box box) const = 0;

    // Check-box value of "Include sub directories" (0 clear, 1 ticked, 2 grey);
    // throws Error for a value the check box refuses.
    virtual void setWithSubDirsValue(std::int16_t value) = 0;
    virtual std::int16_t withSubDirsValue() const = 0;
};

// [Default] Language of the settings file at `iniPath`: "auto", "en" or
// "de" ("auto" for anything else).
QString languageSetting(const QString& iniPath);

// Settings an administrator owns. The system file
// (administratorsSettingsFile(), /etc/xdg/Varnelo/Varnelo.ini) is read at
// every start: it gives each key the user's file lacks, and the keys its
// [Locked] section names ("Keys=DICOM/RemoteAET,Audit/*", "*" for a whole
// section) take its value, or the default when it has none, whatever the
// user's file says. A locked key is never written to the user's file.
bool isLockedSetting(const QString& section, const QString& key);
// The keys locked, as the system file lists them ("" when none).
QStringList lockedSettings();
// A box whose key is locked.
bool isLockedBox(SettingsView::Box box);
// The value in force: locked, the system file's; else the user's
// (appState().IniPath), then the system file's, then def.
QString ReadSetting(const QString& section, const QString& key, const QString& def, int size = 256);
// Writes key=value to the user's file, except a locked key (false), and
// except a value the system file gives while the user's file does not hold
// the key (true, nothing written): an administrator's later change then
// still reaches this user.
bool WriteSetting(const QString& section, const QString& key, const QString& value);

// Reads every key into AppState and the view; one bad key is skipped.
void LoadSettings(SettingsView& view);
// Writes the main window's keys, then copies the destination boxes into
// AppState. A refused write is silently lost.
void SaveSettings(SettingsView& view);

}  // namespace varnelo
