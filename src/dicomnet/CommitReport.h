#pragma once

// Storage commitment reports: reading one off an association, whichever side
// opened it, and what it says about the instances of its transaction.

#include "dicomnet/NetworkPrivate.h"

#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <QSet>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace varnelo::dicomimpl {

// What one N-EVENT-REPORT said about the instances of one transaction.
struct CommitReport {
    QString transaction;
    QSet<QString> succeeded;
    std::vector<std::pair<QString, QString>> failed;  // SOP Instance UID, reason
    QString refused;                                  // why the lists were not read: every instance of the transaction failed
};

// The number of instances a transaction asked about, for a known one.
using TransactionSize = std::function<std::optional<size_t>(const QString& transaction)>;

// The report in an N-EVENT-REPORT's data set, when its Transaction UID is
// one that `known` knows. Its lists are read only after that, and only when
// they are not far longer than the request; a longer one comes back with
// `refused` set and empty lists.
std::optional<CommitReport> readCommitReport(::DcmDataset& ds, const TransactionSize& known);

// One message that arrived on an association that carries requests or
// reports: the answer to an N-ACTION, or a report.
struct CommitIncoming {
    std::optional<CommitReport> report;
    std::optional<T_DIMSE_N_ActionRSP> action;
};

// Reads one message, waiting at most `seconds`: an N-EVENT-REPORT is
// answered (with both Affected SOP UIDs, which some PACS insist on; a report
// of a transaction nobody awaits with a processing failure) and returned
// when `known` knows its transaction; an N-ACTION answer is returned.
// `closed` is set when the peer released or dropped the association.
CommitIncoming receiveCommitMessage(T_ASC_Association* assoc, const TransactionSize& known, bool& closed,
                                    int seconds = DicomTimeouts::DimseSeconds);

}  // namespace varnelo::dicomimpl
