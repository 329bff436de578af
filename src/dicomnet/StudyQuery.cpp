// What a PACS already holds, asked before the import sends: Study Root
// C-FIND on one kept association per client.

#include "dicomnet/StudyQuery.h"

#include "dicomnet/Association.h"

#include <algorithm>

using namespace varnelo::dicomimpl;

namespace varnelo {

namespace {

const char* const kStudyRoot = UID_FINDStudyRootQueryRetrieveInformationModel;

// A UID list must fit one element: UI lengths are 16 bits in explicit VR.
constexpr qsizetype kMaxListBytes = 60000;

QString statusMeaning(DIC_US status)
{
    if (status == STATUS_FIND_Refused_OutOfResources)
        return QStringLiteral("out of resources");
    if (status == STATUS_FIND_Failed_IdentifierDoesNotMatchSOPClass)
        return QStringLiteral("it does not take the query's keys");
    if (status == STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest)
        return QStringLiteral("cancelled");
    if ((status & 0xF000) == 0xC000)
        return QStringLiteral("unable to process");
    return QStringLiteral("failure");
}

QString latin1In(::DcmDataset& answer, const DcmTagKey& key)
{
    OFString value;
    if (answer.findAndGetOFStringArray(key, value).bad())
        return QString();
    return QString::fromLatin1(value.c_str()).trimmed();
}

Peer peerOf(const DcmStudyQueryClient& client)
{
    return {client.PeerHost.trimmed(), checkedPort(client.PeerPort), client.CallingAETitle.trimmed(),
            client.CalledAETitle.trimmed(), client.Tls};
}

}  // namespace

struct DcmStudyQueryClient::Impl {
    Peer peer;
    std::unique_ptr<Association> assoc;
    T_ASC_PresentationContextID id = 0;

    ~Impl() { release(); }

    void release()
    {
        if (assoc)
            assoc->release();
        assoc.reset();
    }

    void open(const Peer& to, int seconds)
    {
        auto opened = std::make_unique<Association>(to, proposedFor(conformance::StudyQuery), seconds);
        try {
            id = opened->require(kStudyRoot, QStringLiteral("the Study Root query (C-FIND) to the calling AE title %1; "
                                                            "its administrator can allow it")
                                                 .arg(to.callingAE));
        } catch (const Error&) {
            opened->release();
            throw;
        }
        assoc = std::move(opened);
        peer = to;
    }

    // Runs `query` on the kept association, opened here when there is none
    // (or the settings changed). A kept association that the PACS dropped
    // meanwhile is opened once more: a query only reads, asking again is
    // harmless. After any error the association is gone and the next call
    // starts afresh.
    template <class Query>
    auto run(const Peer& to, int seconds, Query query)
    {
        if (assoc && (peer < to || to < peer || assoc->peerGone()))
            release();
        const bool reused = assoc != nullptr;
        if (!reused)
            open(to, seconds);
        try {
            return query(*assoc, id);
        } catch (const Error& e) {
            assoc.reset();
            if (!reused)
                throw hinted(e, to);
            if (e.number() != DicomErrc::ConnectionLost)
                throw;
        } catch (...) {
            assoc.reset();
            throw;
        }
        open(to, seconds);
        try {
            return query(*assoc, id);
        } catch (const Error& e) {
            assoc.reset();
            throw hinted(e, to);
        } catch (...) {
            assoc.reset();
            throw;
        }
    }

    // Some PACS (Orthanc among them) abort the association at a query from
    // an AE title they do not let query.
    static Error hinted(const Error& e, const Peer& to)
    {
        if (e.number() != DicomErrc::ConnectionLost)
            return e;
        return Error(e.number(), e.description() + QStringLiteral(". %1 may not let the calling AE title %2 query; "
                                                                  "its administrator can allow it.")
                                                       .arg(to.describe(), to.callingAE));
    }
};

DcmStudyQueryClient::DcmStudyQueryClient()
    : impl_(std::make_unique<Impl>())
{
}

DcmStudyQueryClient::DcmStudyQueryClient(DcmStudyQueryClient&&) noexcept = default;

DcmStudyQueryClient& DcmStudyQueryClient::operator=(DcmStudyQueryClient&&) noexcept = default;

DcmStudyQueryClient::~DcmStudyQueryClient() = default;

void DcmStudyQueryClient::Release()
{
    if (impl_)
        impl_->release();
}

DcmStudyQueryClient::Impl& DcmStudyQueryClient::impl()
{
    if (!impl_)  // moved from
        impl_ = std::make_unique<Impl>();
    return *impl_;
}

DcmStudyHolding DcmStudyQueryClient::FindStudy(const QString& studyInstanceUid)
{
    const int seconds = std::max(1, TimeoutSeconds);
    return impl().run(peerOf(*this), seconds, [&](Association& assoc, T_ASC_PresentationContextID id) {
        ::DcmDataset keys;
        keys.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
        keys.putAndInsertString(DCM_StudyInstanceUID, studyInstanceUid.trimmed().toLatin1().constData());
        keys.putAndInsertString(DCM_PatientID, "");
        keys.putAndInsertString(DCM_IssuerOfPatientID, "");
        keys.putAndInsertString(DCM_PatientName, "");
        keys.putAndInsertString(DCM_NumberOfStudyRelatedInstances, "");
        DcmStudyHolding holding;
        const DIC_US status = findOn(
            assoc, id, keys,
            [&](::DcmDataset& answer) {
                if (holding.Found) {
                    holding.AllPatients << patientOf(answer, QByteArray());
                    return;
                }
                holding.Found = true;
                holding.Patient = patientOf(answer, QByteArray());
                holding.AllPatients << holding.Patient;
                bool ok = false;
                const int count = latin1In(answer, DCM_NumberOfStudyRelatedInstances).toInt(&ok);
                holding.RelatedInstances = ok && count >= 0 ? count : -1;
            },
            seconds, QStringLiteral("The query of %1 for the study %2 failed").arg(assoc.peer().describe(), studyInstanceUid));
        if (status != STATUS_Success)
            fail(DicomErrc::QueryFailed, QStringLiteral("%1 answered the query for the study %2 with the status 0x%3 (%4).").arg(assoc.peer().describe(), studyInstanceUid).arg(status, 4, 16, QLatin1Char('0')).arg(statusMeaning(status)));
        return holding;
    });
}

QSet<QString> DcmStudyQueryClient::FindInstances(const QString& studyInstanceUid, const QString& seriesInstanceUid,
                                                 const QStringList& sopInstanceUids)
{
    const int seconds = std::max(1, TimeoutSeconds);
    const qsizetype chunk = std::max(1, ChunkSize);
    QSet<QString> asked;
    for (const QString& uid : sopInstanceUids)
        if (!uid.trimmed().isEmpty())
            asked.insert(uid.trimmed());
    QSet<QString> held;
    // Chunks of at most `chunk` UIDs, and of a size one element can carry.
    QStringList list;
    qsizetype bytes = 0;
    auto ask = [&] {
        if (list.isEmpty())
            return;
        const QByteArray uids = list.join(QLatin1Char('\\')).toLatin1();
        list.clear();
        bytes = 0;
        held.unite(impl().run(peerOf(*this), seconds, [&](Association& assoc, T_ASC_PresentationContextID id) {
            ::DcmDataset keys;
            keys.putAndInsertString(DCM_QueryRetrieveLevel, "IMAGE");
            keys.putAndInsertString(DCM_StudyInstanceUID, studyInstanceUid.trimmed().toLatin1().constData());
            keys.putAndInsertString(DCM_SeriesInstanceUID, seriesInstanceUid.trimmed().toLatin1().constData());
            keys.putAndInsertString(DCM_SOPInstanceUID, uids.constData());
            QSet<QString> found;
            const DIC_US status = findOn(
                assoc, id, keys,
                [&](::DcmDataset& answer) {
                    // a PACS that ignores the list answers with the whole series
                    const QString uid = latin1In(answer, DCM_SOPInstanceUID);
                    if (asked.contains(uid))
                        found.insert(uid);
                },
                seconds, QStringLiteral("The query of %1 for the images of the series %2 failed").arg(assoc.peer().describe(), seriesInstanceUid));
            if (status != STATUS_Success)
                fail(DicomErrc::QueryFailed, QStringLiteral("%1 answered the query for the images of the series %2 with the status 0x%3 (%4).").arg(assoc.peer().describe(), seriesInstanceUid).arg(status, 4, 16, QLatin1Char('0')).arg(statusMeaning(status)));
            return found;
        }));
    };
    for (const QString& uid : std::as_const(asked)) {
        if (list.size() == chunk || bytes + uid.size() + 1 > kMaxListBytes)
            ask();
        list << uid;
        bytes += uid.size() + 1;
    }
    ask();
    return held;
}

}  // namespace varnelo
