#pragma once

// A main window stand-in for LoadSettings and SaveSettings: two option
// groups that select only options 1 and 2 (as a click would, setting
// AppState), a check box taking 0..2, and the boxes' texts.

#include "base/AppState.h"
#include "base/Error.h"
#include "base/Settings.h"

#include <QMap>
#include <QString>

namespace varnelo::testsupport {

class FakeSettingsView : public SettingsView {
public:
    int searchByOption = 0;  // 0 = none selected
    int locationOption = 0;
    std::int16_t withSubDirs = 0;
    QMap<Box, QString> boxes;

    void selectSearchByOption(std::int16_t n) override
    {
        searchByOption = (n == 1 || n == 2) ? n : 0;
        if (searchByOption)
            appState().SearchBy = n;
    }
    void selectLocationOption(std::int16_t n) override
    {
        locationOption = (n == 1 || n == 2) ? n : 0;
        if (locationOption)
            appState().Location = n;
    }
    void setBoxText(Box b, const QString& t) override { boxes[b] = t; }
    QString boxText(Box b) const override { return boxes.value(b); }
    void setWithSubDirsValue(std::int16_t v) override
    {
        if (v < 0 || v > 2)
            throw Error(380, QStringLiteral("Invalid property value"));
        withSubDirs = v;
    }
    std::int16_t withSubDirsValue() const override { return withSubDirs; }
};

}  // namespace varnelo::testsupport
