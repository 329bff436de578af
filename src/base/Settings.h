#pragma once

#include <QString>

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

// Reads every key into AppState and the view; one bad key is skipped.
void LoadSettings(SettingsView& view);
// Writes the main window's keys, then copies the destination boxes into
// AppState. A refused write is silently lost.
void SaveSettings(SettingsView& view);

}  // namespace varnelo
