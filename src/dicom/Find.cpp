// Modality Worklist C-FIND.

#include "dicom/Association.h"

#include <cstring>

using namespace varnelo::dicomimpl;

namespace varnelo {

namespace {

const char* queryModel(const QString& root)
{
    const QString r = root.trimmed().toUpper();
    if (r.isEmpty() || r == QLatin1String("WORKLIST"))
        return UID_FINDModalityWorklistInformationModel;
    if (r == QLatin1String("PATIENT"))
        return UID_FINDPatientRootQueryRetrieveInformationModel;
    if (r == QLatin1String("STUDY"))
        return UID_FINDStudyRootQueryRetrieveInformationModel;
    fail(DicomErrc::InvalidValue, QStringLiteral("\"%1\" is not a known query root.").arg(root));
}

struct Matches {
    std::vector<std::shared_ptr<::DcmDataset>> items;
    TextToUtf8 text;
    QStringList notes;
};

void collectMatch(void* callbackData, T_DIMSE_C_FindRQ*, int, T_DIMSE_C_FindRSP*, ::DcmDataset* identifier)
{
    auto* matches = static_cast<Matches*>(callbackData);
    if (!identifier)
        return;
    auto match = std::make_shared<::DcmDataset>(*identifier);
    matches->text.convert(*match, matches->notes);
    matches->items.push_back(std::move(match));
}

}  // namespace

DcmDatasetList DcmFindClient::RunFind(const DcmDataset& identifier)
{
    Notes.clear();
    Peer peer {PeerHost.trimmed(), checkedPort(PeerPort), CallingAETitle.trimmed(), CalledAETitle.trimmed(), Tls};
    const char* model = queryModel(QueryRoot);
    ProposedContext context {model, {}};
    for (const conformance::NamedUid& ts : conformance::uncompressedSyntaxes())
        context.transferSyntaxes.emplace_back(ts.uid);
    Association assoc(peer, {context});
    const auto accepted = assoc.acceptedFor(model);
    if (accepted.empty())
        fail(DicomErrc::NoPresentationContext,
             QStringLiteral("%1 does not offer the query model %2.").arg(peer.describe(), QLatin1String(model)));

    T_DIMSE_C_FindRQ req;
    std::memset(&req, 0, sizeof req);
    req.MessageID = assoc.nextMessageId();
    OFStandard::strlcpy(req.AffectedSOPClassUID, model, sizeof req.AffectedSOPClassUID);
    req.DataSetType = DIMSE_DATASET_PRESENT;
    req.Priority = DIMSE_PRIORITY_MEDIUM;

    Matches matches;
    T_DIMSE_C_FindRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    ::DcmDataset* detail = nullptr;
    int responses = 0;
    DcmItem* item = itemOf(*identifier.impl());
    auto* query = static_cast<::DcmDataset*>(item);
    // Sequence items are plain items; the identifier itself must be a data set.
    std::unique_ptr<::DcmDataset> copy;
    if (query->ident() != EVR_dataset) {
        copy = std::make_unique<::DcmDataset>();
        for (unsigned long i = 0; i < item->card(); ++i)
            copy->insert(OFstatic_cast(DcmElement*, item->getElement(i)->clone()));
        query = copy.get();
    }
    OFCondition cond = DIMSE_findUser(assoc.get(), accepted.front().first, &req, query, responses, collectMatch,
                                      &matches, DIMSE_NONBLOCKING, DicomTimeouts::DimseSeconds, &rsp, &detail);
    delete detail;
    if (cond.bad())
        throwCondition(cond, QStringLiteral("The worklist query to %1 failed").arg(peer.describe()));
    assoc.release();
    if (rsp.DimseStatus != STATUS_Success)
        fail(DicomErrc::QueryFailed, QStringLiteral("%1 answered the worklist query with the failure status 0x%2.").arg(peer.describe()).arg(rsp.DimseStatus, 4, 16, QLatin1Char('0')));

    Notes = matches.notes;
    DcmDatasetList result;
    for (const auto& m : matches.items)
        result.impl()->items.push_back(makeDataset(m, m.get()));
    return result;
}

}  // namespace varnelo
