#pragma once

// The Modality Worklist query of the worklist window and the filling of its
// list. The window implements WorklistView; everything it decides lives here.

#include "dicom/Dicom.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace varnelo {

struct AppState;

// What the query needs of the worklist window.
class WorklistView {
public:
    virtual ~WorklistView() = default;

    // Appends an empty row at the end of the list and returns its index.
    virtual int appendRow() = 0;
    virtual void setCell(int row, int column, const QString& text) = 0;
    // The entry's patient values, for a pick of the row.
    virtual void setRowPatient(int row, const DcmPatient& patient) { Q_UNUSED(row) Q_UNUSED(patient) }
    // What a cell shows on hover, beside its text.
    virtual void setCellToolTip(int /*row*/, int /*column*/, const QString& /*text*/) {}
    // Lets pending window events run once, so that new rows paint.
    virtual void processEvents() = 0;
    // The last row is filled: whatever the view held back is shown now.
    virtual void finishRows() {}
    // Closes (and discards) the window.
    virtual void close() = 0;
};

namespace WorklistColumn {
enum : int {
    Time = 0,
    LastName,
    FirstName,
    MiddleName,
    BirthDate,
    PatientId,
    Sex,
    Accession,
    BodyPart,
    StudyDescription,
    Count
};
}  // namespace WorklistColumn

// What a cell shows in place of a control character of the provider's text.
constexpr char16_t kControlShown = 0xFFFD;

// The headers of the list, left to right.
QStringList worklistHeaders();

// The query identifier for this station's steps scheduled on `today`.
DcmDataset buildWorklistIdentifier(const AppState& state, const QDate& today);

// Runs one query with the settings in appState() and fills the view. Shows,
// logs and closes the view on failure; never throws.
void WLQuery(WorklistView& view);

// Appends one row per entry, by the date and time of its first scheduled step
// (those without after the others, each kind in the list's order). The name
// cells take the components of one group of the name (splitPersonName), the
// other groups are the cells' tooltip. One value that cannot be read leaves
// its cell empty and nothing else; never throws.
void SaveData(WorklistView& view, const DcmDatasetList& results);

// A person name's component groups, alphabetic=ideographic=phonetic: the
// alphabetic group is the one shown, or the first that holds anything when
// it is empty; `components` are that group's parts between "^", and
// `otherGroups` the other groups that hold anything, as written.
struct PersonNameGroups {
    QStringList components;
    QStringList otherGroups;
};
PersonNameGroups splitPersonName(const QString& name);

// A DICOM TM value (HH, HHMM, HHMMSS, HHMMSS.FFFFFF; also HH:MM:SS) as
// "hh:mm:ss"; "" when it is not a valid time of day.
QString worklistTime(const QString& dicomTime);

}  // namespace varnelo
