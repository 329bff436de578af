#pragma once

// The receipt of an import run: one line of Logs/Imports.log, for the
// administrator and for machines, whatever the locale.

#include <QString>
#include <QStringList>

namespace varnelo {

struct Receipt {
    QString source;          // the folder, drive, DICOMDIR or archive read
    bool dicomDir = false;   // through a DICOMDIR, else a scan
    QString patients;        // who was on the medium
    QString identity = QStringLiteral("unchanged");  // the new identity, if any
    // complete, aborted, cancelled, or "stopped at launch: <reason>"
    QString end = QStringLiteral("complete");
    int found = 0;       // images the medium holds (as far as a scan went)
    int sent = 0;        // reached every destination
    int failed = 0;      // could not be sent somewhere, whatever the answer
    int ignored = 0;     // of the failed: passed over with Ignore or "Always ignore"
    int notChosen = 0;   // their patient was not chosen
    int noIdentity = 0;  // they could not take the new identity
    QStringList destinations;  // what each destination confirmed, one field each
};

// The names of the receipt's columns after its time, as its header row has them.
QStringList receiptColumns();
// Appends the receipt, with the user and the workstation.
void writeReceipt(const Receipt& receipt);

}  // namespace varnelo
