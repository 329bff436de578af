#pragma once

// Whether the values of a new identity fit the attributes they go into, so
// that nothing a PACS would refuse or misread leaves the station.

#include "dicom/Dicom.h"

#include <QList>
#include <QString>

namespace varnelo {

// One value that does not fit: the field as the operator knows it, and why.
struct IdentityProblem {
    QString field;
    QString reason;
};

// Every value of `identity` that would go into an image, checked against its
// attribute: Patient's Name one value with at most three component groups
// of 64 characters each; Patient ID, Issuer of Patient ID and the issuer's
// qualifiers one value of 64 characters at most; a birth date of 8 digits
// that is a date; sex M, F, O or none; no control, format or line-separator
// characters anywhere. Empty when everything fits.
QList<IdentityProblem> identityProblems(const DcmPatient& identity);

// The problems as lines for a message: "Field: reason".
QString describeProblems(const QList<IdentityProblem>& problems);

// True for a character that a list or a DICOM value must never show as it
// is: control, format (bidirectional overrides among them) and line or
// paragraph separators.
bool isHiddenCharacter(char32_t c);

}  // namespace varnelo
