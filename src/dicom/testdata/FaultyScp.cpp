#include "FaultyScp.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/diutil.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace varnelo::testdata {

namespace {

std::uint16_t freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free loopback port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

T_ASC_Network* net(void* p)
{
    return static_cast<T_ASC_Network*>(p);
}

void drop(T_ASC_Association*& assoc)
{
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
}

}  // namespace

bool isStoredStatus(std::uint16_t status)
{
    return status == STATUS_Success || DICOM_WARNING_STATUS(status);
}

FaultyScp::FaultyScp(const Options& options)
    : options_(options)
{
    // the loopback check below wants addresses, not names
    dcmDisableGethostbyaddr.set(OFTrue);
    port_ = freePort();
    T_ASC_Network* n = nullptr;
    const OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, port_, 30, &n);
    if (cond.bad())
        throw std::runtime_error(std::string("cannot listen: ") + cond.text());
    net_ = n;
    thread_ = std::thread([this] { serve(); });
}

FaultyScp::~FaultyScp()
{
    stop();
}

void FaultyScp::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (net_) {
        T_ASC_Network* n = net(net_);
        ASC_dropNetwork(&n);
        net_ = nullptr;
    }
}

QStringList FaultyScp::held() const
{
    std::lock_guard lock(mutex_);
    return held_;
}

QStringList FaultyScp::requested() const
{
    std::lock_guard lock(mutex_);
    return requested_;
}

bool FaultyScp::waitForRequests(int count, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (requested().size() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void FaultyScp::serve()
{
    while (!stop_) {
        T_ASC_Association* assoc = nullptr;
        // Short polls, so that stop() is noticed.
        const OFCondition cond =
            ASC_receiveAssociation(net(net_), &assoc, ASC_DEFAULTMAXPDU, nullptr, nullptr, OFFalse, DUL_NOBLOCK, 1);
        if (cond.bad()) {
            if (assoc)
                drop(assoc);
            continue;
        }
        ++associations_;
        handleAssociation(assoc);
    }
}

void FaultyScp::handleAssociation(void* a)
{
    auto* assoc = static_cast<T_ASC_Association*>(a);
    // Listening happens on every interface: talk to loopback only.
    const char* from = assoc->params->DULparams.callingPresentationAddress;
    if (options_.refuseAssociations || std::strncmp(from, "127.", 4) != 0) {
        T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                      ASC_REASON_SU_NOREASON};
        ASC_rejectAssociation(assoc, &rej);
        drop(assoc);
        return;
    }

    const char* syntaxes[] = {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax,
                              UID_BigEndianExplicitTransferSyntax};
    ASC_acceptContextsWithPreferredTransferSyntaxes(assoc->params, dcmAllStorageSOPClassUIDs,
                                                    numberOfDcmAllStorageSOPClassUIDs, syntaxes, 3);
    const char* verification = UID_VerificationSOPClass;
    ASC_acceptContextsWithPreferredTransferSyntaxes(assoc->params, &verification, 1, syntaxes, 3);
    if (ASC_acknowledgeAssociation(assoc).bad()) {
        drop(assoc);
        return;
    }
    if (options_.closeAfterAccept) {
        drop(assoc);  // closes the socket without a word
        return;
    }

    auto abortIt = [&] {
        ASC_abortAssociation(assoc);
        drop(assoc);
    };

    while (!stop_) {
        T_ASC_PresentationContextID presId = 0;
        T_DIMSE_Message msg;
        std::memset(&msg, 0, sizeof msg);
        OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, 1, &presId, &msg, nullptr);
        if (cond == DIMSE_NODATAAVAILABLE)
            continue;
        if (cond == DUL_PEERREQUESTEDRELEASE) {
            ASC_acknowledgeRelease(assoc);
            drop(assoc);
            return;
        }
        if (cond.bad()) {  // aborted by the peer or the connection is gone
            drop(assoc);
            return;
        }

        if (msg.CommandField == DIMSE_C_ECHO_RQ) {
            ++echoes_;
            if (!options_.neverAnswer)
                DIMSE_sendEchoResponse(assoc, presId, &msg.msg.CEchoRQ, STATUS_Success, nullptr);
            continue;
        }
        if (msg.CommandField != DIMSE_C_STORE_RQ) {
            abortIt();
            return;
        }

        const T_DIMSE_C_StoreRQ req = msg.msg.CStoreRQ;
        const QString uid = QString::fromLatin1(req.AffectedSOPInstanceUID);
        int ordinal = 0;
        {
            std::lock_guard lock(mutex_);
            ordinal = ++storeOrdinal_;
            requested_ << uid;
        }
        if (options_.abortDuringStore.count(ordinal)) {
            abortIt();
            return;
        }

        ::DcmDataset* data = nullptr;
        cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING, 30, &presId, &data, nullptr, nullptr);
        std::unique_ptr<::DcmDataset> owned(data);
        if (cond.bad()) {
            drop(assoc);
            return;
        }
        if (options_.neverAnswer)
            continue;
        if (options_.abortAfterStore.count(ordinal)) {
            {
                std::lock_guard lock(mutex_);
                held_ << uid;
            }
            abortIt();
            return;
        }

        const std::uint16_t status = options_.status ? options_.status(ordinal, uid) : STATUS_Success;
        if (options_.answerDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.answerDelayMs));
        if (isStoredStatus(status)) {
            std::lock_guard lock(mutex_);
            held_ << uid;
        }
        T_DIMSE_C_StoreRSP rsp;
        std::memset(&rsp, 0, sizeof rsp);
        rsp.MessageIDBeingRespondedTo = req.MessageID;
        OFStandard::strlcpy(rsp.AffectedSOPClassUID, req.AffectedSOPClassUID, sizeof rsp.AffectedSOPClassUID);
        OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, req.AffectedSOPInstanceUID,
                            sizeof rsp.AffectedSOPInstanceUID);
        rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
        rsp.DataSetType = DIMSE_DATASET_NULL;
        rsp.DimseStatus = status;
        if (DIMSE_sendStoreResponse(assoc, presId, &req, &rsp, nullptr).bad()) {
            drop(assoc);
            return;
        }
    }
    abortIt();
}

}  // namespace varnelo::testdata
