#pragma once

#include "base/Settings.h"
#include "dicom/Dicom.h"
#include "dicomnet/Network.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace varnelo {

// What the import launch needs of the main window, beyond the settings.
class LaunchView : public SettingsView {
public:
    virtual void setImportEnabled(bool enabled) = 0;
    virtual void setBusyCursor(bool busy) = 0;
    virtual QString driveSelectorText() const = 0;
    virtual bool withSubDirsTicked() const = 0;
    // Lets pending window events run once.
    virtual void processEvents() = 0;
    // True once the operator has ended the program (File > Exit, the close
    // box) during one of those events: the launch then stops without a word.
    virtual bool exitRequested() const { return false; }
    // The connection checks in the progress window, which opens at once and
    // stays for the run: `text` says whom the launch waits for; "Abort" there
    // ends the wait (launchAborted).
    virtual void showLaunchStatus(const QString& text) { (void)text; }
    virtual bool launchAborted() const { return false; }
    // The launch stopped before its run: what showLaunchStatus opened closes.
    virtual void closeLaunchStatus() {}
    // Opens the progress window modally, or goes on in the one the checks
    // opened; returns when it has closed.
    virtual void runImport() = 0;
    // The "New Patient ID:" box, and the worklist entry picked for it.
    virtual QString newPatientId() const { return QString(); }
    virtual std::optional<DcmPatient> pickedPatient() const { return std::nullopt; }
};

// "IMPORT": checks the new identity, the drive and the destinations, saves
// the settings and runs the import. Every failure is shown and logged here.
void cmdImport_Click(LaunchView& view);

// C-ECHO to a destination on a thread of its own, the window live meanwhile
// and showing whom it waits for; > 0 is a failure code, ConnectionAborted
// when the operator pressed "Abort". TLS failures throw.
constexpr std::int32_t ConnectionAborted = -1;
std::int32_t TestConnection(LaunchView& view, const QString& host, std::int32_t port, const QString& callingAE,
                            const QString& calledAE, const DcmTls& tls = {});

// TLS to destination 1 or 2 as the settings file has it.
DcmTls destinationTls(std::int16_t destination);

// The two characters before the first ":" of a drive selector entry.
QString driveFromSelectorText(const QString& text);

}  // namespace varnelo
