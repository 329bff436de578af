#include "dicomnet/CommitReport.h"

#include <cstring>
#include <memory>

namespace varnelo::dicomimpl {

namespace {

QString failureReason(Uint16 code)
{
    QString name;
    switch (code) {
    case 0x0110:
        name = QStringLiteral("processing failure");
        break;
    case 0x0112:
        name = QStringLiteral("no such object instance");
        break;
    case 0x0119:
        name = QStringLiteral("class-instance conflict");
        break;
    case 0x0122:
        name = QStringLiteral("SOP class not supported");
        break;
    case 0x0131:
        name = QStringLiteral("duplicate transaction UID");
        break;
    case 0x0213:
        name = QStringLiteral("resource limitation");
        break;
    default:
        name = QStringLiteral("failure");
        break;
    }
    return QStringLiteral("%1 (0x%2)").arg(name).arg(code, 4, 16, QLatin1Char('0'));
}

QString stringIn(DcmItem& item, const DcmTagKey& key)
{
    OFString value;
    item.findAndGetOFString(key, value);
    return QString::fromLatin1(value.c_str()).trimmed();
}

DcmSequenceOfItems* sequenceIn(::DcmDataset& ds, const DcmTagKey& key)
{
    DcmSequenceOfItems* seq = nullptr;
    return ds.findAndGetSequence(key, seq).good() ? seq : nullptr;
}

// Each item of `seq` once, in order. getItem(i) walks the list from its head
// each time; a report of 60,000 instances read that way took most of a minute.
template <class F>
void eachItem(DcmSequenceOfItems* seq, F use)
{
    if (!seq)
        return;
    for (DcmObject* o = seq->nextInContainer(nullptr); o; o = seq->nextInContainer(o))
        if (auto* item = dynamic_cast<DcmItem*>(o))
            use(*item);
}

}  // namespace

std::optional<CommitReport> readCommitReport(::DcmDataset& ds, const TransactionSize& known)
{
    CommitReport report;
    report.transaction = stringIn(ds, DCM_TransactionUID);
    const std::optional<size_t> requested = known(report.transaction);
    if (!requested)
        return std::nullopt;
    DcmSequenceOfItems* succeeded = sequenceIn(ds, DCM_ReferencedSOPSequence);
    DcmSequenceOfItems* failed = sequenceIn(ds, DCM_FailedSOPSequence);
    const size_t named = (succeeded ? succeeded->card() : 0) + (failed ? failed->card() : 0);
    // A list that names each instance once is as long as the request; one far
    // longer is not a report of this request, and is not read item by item.
    if (named > 2 * *requested + 16) {
        report.refused = QStringLiteral("the report named %1 instances for a request of %2, and was not taken")
                             .arg(named)
                             .arg(*requested);
        return report;
    }
    eachItem(succeeded, [&](DcmItem& item) { report.succeeded.insert(stringIn(item, DCM_ReferencedSOPInstanceUID)); });
    eachItem(failed, [&](DcmItem& item) {
        Uint16 reason = 0;
        const bool hasReason = item.findAndGetUint16(DCM_FailureReason, reason).good();
        report.failed.emplace_back(stringIn(item, DCM_ReferencedSOPInstanceUID),
                                   hasReason ? failureReason(reason) : QStringLiteral("no reason given"));
    });
    return report;
}

CommitIncoming receiveCommitMessage(T_ASC_Association* assoc, const TransactionSize& known, bool& closed, int seconds)
{
    T_DIMSE_Message msg;
    std::memset(&msg, 0, sizeof msg);
    T_ASC_PresentationContextID id = 0;
    ::DcmDataset* detail = nullptr;
    OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, seconds, &id, &msg, &detail);
    delete detail;
    if (cond == DUL_PEERREQUESTEDRELEASE) {
        ASC_acknowledgeRelease(assoc);
        closed = true;
        return {};
    }
    if (cond.bad()) {
        closed = true;
        return {};
    }
    if (msg.CommandField == DIMSE_N_ACTION_RSP) {
        DIC_UL bytes = 0, pdvs = 0;
        if (msg.msg.NActionRSP.DataSetType != DIMSE_DATASET_NULL)
            DIMSE_ignoreDataSet(assoc, DIMSE_NONBLOCKING, seconds, &bytes, &pdvs);
        return {std::nullopt, msg.msg.NActionRSP};
    }
    if (msg.CommandField != DIMSE_N_EVENT_REPORT_RQ) {
        // nothing else is expected here; a data set that came with it is dropped
        DIC_UL bytes = 0, pdvs = 0;
        if (msg.CommandField == DIMSE_C_STORE_RQ && msg.msg.CStoreRQ.DataSetType != DIMSE_DATASET_NULL)
            DIMSE_ignoreDataSet(assoc, DIMSE_NONBLOCKING, seconds, &bytes, &pdvs);
        return {};
    }
    const T_DIMSE_N_EventReportRQ& rq = msg.msg.NEventReportRQ;
    std::unique_ptr<::DcmDataset> data;
    if (rq.DataSetType != DIMSE_DATASET_NULL) {
        ::DcmDataset* received = nullptr;
        cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING, seconds, &id, &received, nullptr, nullptr);
        data.reset(received);
        if (cond.bad()) {
            closed = true;
            return {};
        }
    }
    std::optional<CommitReport> report;
    if (data)
        report = readCommitReport(*data, known);
    T_DIMSE_Message rsp;
    std::memset(&rsp, 0, sizeof rsp);
    rsp.CommandField = DIMSE_N_EVENT_REPORT_RSP;
    T_DIMSE_N_EventReportRSP& r = rsp.msg.NEventReportRSP;
    r.MessageIDBeingRespondedTo = rq.MessageID;
    r.DimseStatus = report ? STATUS_Success : STATUS_N_ProcessingFailure;
    r.DataSetType = DIMSE_DATASET_NULL;
    r.EventTypeID = rq.EventTypeID;
    OFStandard::strlcpy(r.AffectedSOPClassUID, rq.AffectedSOPClassUID, sizeof r.AffectedSOPClassUID);
    OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID, sizeof r.AffectedSOPInstanceUID);
    r.opts = O_NEVENTREPORT_AFFECTEDSOPCLASSUID | O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID | O_NEVENTREPORT_EVENTTYPEID;
    DIMSE_sendMessageUsingMemoryData(assoc, id, &rsp, nullptr, nullptr, nullptr, nullptr);
    return {report, std::nullopt};
}

}  // namespace varnelo::dicomimpl
