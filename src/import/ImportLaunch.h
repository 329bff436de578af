#pragma once

#include "base/Settings.h"
#include "dicom/Dicom.h"

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
    // Opens the progress window modally; returns when it has closed.
    virtual void runImport() = 0;
    // The "New Patient ID:" box, and the worklist entry picked for it.
    virtual QString newPatientId() const { return QString(); }
    virtual std::optional<DcmPatient> pickedPatient() const { return std::nullopt; }
};

// "IMPORT": checks the new identity, the drive and the destinations, saves
// the settings and runs the import. Every failure is shown and logged here.
void cmdImport_Click(LaunchView& view);

// C-ECHO to a destination; > 0 is a failure code. TLS failures throw.
std::int32_t TestConnection(LaunchView& view, const QString& host, std::int32_t port, const QString& callingAE,
                            const QString& calledAE, const DcmTls& tls = {});

// TLS to destination 1 or 2 as the settings file has it.
DcmTls destinationTls(std::int16_t destination);

// The two characters before the first ":" of a drive selector entry.
QString driveFromSelectorText(const QString& text);

}  // namespace varnelo
