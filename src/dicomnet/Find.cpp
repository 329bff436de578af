// Modality Worklist C-FIND.

#include "dicomnet/Association.h"

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
    const T_ASC_PresentationContextID id = assoc.require(model, QStringLiteral("the query model %1").arg(QLatin1String(model)));

    std::vector<std::shared_ptr<::DcmDataset>> matches;
    TextToUtf8 text;
    QStringList notes;
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
    const DIC_US status = findOn(
        assoc, id, *query,
        [&](::DcmDataset& answer) {
            auto match = std::make_shared<::DcmDataset>(answer);
            text.convert(*match, notes);
            matches.push_back(std::move(match));
        },
        DicomTimeouts::DimseSeconds, QStringLiteral("The worklist query to %1 failed").arg(peer.describe()));
    assoc.release();
    if (status != STATUS_Success)
        fail(DicomErrc::QueryFailed, QStringLiteral("%1 answered the worklist query with the failure status 0x%2.").arg(peer.describe()).arg(status, 4, 16, QLatin1Char('0')));

    Notes = notes;
    DcmDatasetList result;
    for (const auto& m : matches)
        result.impl()->items.push_back(makeDataset(m, m.get()));
    return result;
}

}  // namespace varnelo
