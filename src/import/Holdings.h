#pragma once

// What each destination already holds of a medium, asked before anything is
// sent: a study query per study, then the image UIDs of each study it has.

#include "import/MediumPatients.h"
#include "dicomnet/DicomWeb.h"
#include "dicomnet/Network.h"

#include <functional>
#include <optional>

namespace varnelo {

struct HoldingsDestination {
    QString host;
    std::int32_t port = 0;
    QString calledAE;
    QString callingAE;
    DcmTls tls;
    std::optional<DcmWebService> web;  // a DICOMweb service instead of a DICOM peer
};

// The Patient ID and issuer the images of the medium's patient at `index`
// will carry at the PACS (the new identity, or their own).
using CarriedIdentity = std::function<DcmPatient(qsizetype index)>;

// The state of one study at one destination from what the study query and
// the image queries found (`held` of the medium's `total` images).
StudyAtDestination studyState(bool found, const DcmPatient& atPacs, const DcmPatient& carried, std::int32_t held,
                              std::int32_t total);

// Asks every destination at once, each on a thread of its own, and waits
// yielding: keepWaiting is called about every 20 ms, and false ends the wait
// (the destinations not finished count as not asked). A destination that
// cannot be asked holds nothing, with the reason in `why`.
QList<DestinationHoldings> askHoldings(const MediumPatients& medium, const CarriedIdentity& carried,
                                       const QList<HoldingsDestination>& destinations, int timeoutSeconds,
                                       const std::function<bool()>& keepWaiting);

}  // namespace varnelo
