#include "dicomnet/CommitListener.h"

#include "dicomnet/Association.h"

#include "dicomnet/Tls.h"

#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dulstruc.h>

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace varnelo::dicomimpl {

namespace {

// A connection that sends nothing this long is dropped; so is a TLS
// handshake that stalls as long in one read.
constexpr int QuietSeconds = 3;
// An association without a message this long is ended.
constexpr int IdleSeconds = 10;
// Associations served at once; one more is refused as a local limit.
constexpr size_t MostAssociations = 8;

QString numeric(const sockaddr* sa)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
    } else if (sa->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a))
            inet_ntop(AF_INET, a.s6_addr + 12, text, sizeof text);
        else
            inet_ntop(AF_INET6, &a, text, sizeof text);
    }
    return QString::fromLatin1(text);
}

QString peerAddress(DcmNativeSocketType socket)
{
    sockaddr_storage from {};
    socklen_t length = sizeof from;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&from), &length) != 0)
        return QString();
    return numeric(reinterpret_cast<sockaddr*>(&from));
}

// Wraps the network's own transport layer: a connection is refused before
// anything is read from it when its address is not admitted, and after the
// toolkit set its long receive timeout, a short one bounds the TLS
// handshake that follows.
class GuardedLayer : public DcmTransportLayer {
public:
    GuardedLayer(DcmTransportLayer* inner, std::function<bool(const QString&)> admitted)
        : inner_(inner)
        , admitted_(std::move(admitted))
    {
    }

    DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool secure) override
    {
        address = peerAddress(socket);
        if (address.isEmpty() || !admitted_(address))
            return nullptr;  // the toolkit closes the socket
        DcmTransportConnection* c = inner_ && inner_ != this ? inner_->createConnection(socket, secure)
                                                             : DcmTransportLayer::createConnection(socket, secure);
        if (c) {
            timeval tv {};
            tv.tv_sec = QuietSeconds;
            ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
        return c;
    }

    QString address;  // of the last connection, for the acceptor's thread

private:
    DcmTransportLayer* inner_;
    std::function<bool(const QString&)> admitted_;
};

void dropAssociation(T_ASC_Association*& assoc)
{
    if (!assoc)
        return;
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    assoc = nullptr;
}

void reject(T_ASC_Association*& assoc, T_ASC_RejectParametersResult result, T_ASC_RejectParametersReason reason)
{
    T_ASC_RejectParameters rej = {result,
                                  reason == ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED
                                      ? ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED
                                      : ASC_SOURCE_SERVICEUSER,
                                  reason};
    ASC_rejectAssociation(assoc, &rej);
    dropAssociation(assoc);
}

}  // namespace

QSet<QString> addressesOf(const QStringList& hosts)
{
    QSet<QString> out;
    for (const QString& host : hosts) {
        const QByteArray name = host.trimmed().toLatin1();
        if (name.isEmpty())
            continue;
        addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0)
            continue;
        for (addrinfo* a = found; a; a = a->ai_next) {
            const QString text = numeric(a->ai_addr);
            if (!text.isEmpty())
                out.insert(text);
        }
        ::freeaddrinfo(found);
    }
    return out;
}

struct CommitListener::Impl {
    struct Expected {
        const void* owner;
        size_t instances;
    };
    struct Server {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    std::uint16_t port = 0;
    bool tlsEnabled = false;
    std::unique_ptr<TlsTransport> tls;  // outlives net
    std::unique_ptr<GuardedLayer> layer;
    T_ASC_Network* net = nullptr;
    std::atomic<bool> stop {false};
    std::thread acceptor;
    std::list<Server> servers;  // the acceptor's own

    std::mutex m;
    std::map<const void*, CommitReporter> reporters;
    std::map<QString, Expected> expected;
    std::map<const void*, std::vector<CommitReport>> inbox;

    bool admitted(const QString& address)
    {
        const std::lock_guard<std::mutex> lock(m);
        for (const auto& [owner, who] : reporters)
            if (who.addresses.contains(address))
                return true;
        return false;
    }

    bool callerKnown(const QString& address, const QString& calling)
    {
        const std::lock_guard<std::mutex> lock(m);
        for (const auto& [owner, who] : reporters)
            if (who.addresses.contains(address) && who.aeTitle == calling)
                return true;
        return false;
    }

    void accept()
    {
        while (!stop) {
            pollfd p {reinterpret_cast<PRIVATE_NETWORKKEY*>(net->network)->networkSpecific.TCP.listenSocket, POLLIN, 0};
            reap(false);
            if (::poll(&p, 1, 100) <= 0 || !(p.revents & POLLIN))
                continue;
            T_ASC_Association* assoc = nullptr;
            layer->address.clear();
            const OFCondition cond = ASC_receiveAssociation(net, &assoc, ASC_DEFAULTMAXPDU, nullptr, nullptr,
                                                            tls != nullptr, DUL_NOBLOCK, 1);
            if (cond.bad()) {
                if (assoc) {
                    ASC_dropAssociation(assoc);
                    ASC_destroyAssociation(&assoc);
                }
                continue;
            }
            const QString address = layer->address;
            const QString calling = QString::fromLatin1(assoc->params->DULparams.callingAPTitle).trimmed();
            if (!callerKnown(address, calling)) {
                reject(assoc, ASC_RESULT_REJECTEDPERMANENT, ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED);
                continue;
            }
            if (servers.size() >= MostAssociations) {
                reject(assoc, ASC_RESULT_REJECTEDTRANSIENT, ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED);
                continue;
            }
            const conformance::Proposal& context = conformance::commitPortContext();
            const char* abstract[] = {context.abstractSyntax};
            std::vector<const char*> syntaxes;
            for (const conformance::NamedUid& ts : context.transferSyntaxes)
                syntaxes.push_back(ts.uid);
            ASC_acceptContextsWithPreferredTransferSyntaxes(assoc->params, abstract, 1, syntaxes.data(),
                                                            static_cast<int>(syntaxes.size()), ASC_SC_ROLE_SCUSCP);
            identifyOurselves(assoc->params, false);
            if (ASC_countAcceptedPresentationContexts(assoc->params) == 0 || ASC_acknowledgeAssociation(assoc).bad()) {
                dropAssociation(assoc);
                continue;
            }
            auto done = std::make_shared<std::atomic<bool>>(false);
            servers.push_back({std::thread([this, assoc, address, calling, done] {
                                   serve(assoc, address, calling);
                                   *done = true;
                               }),
                               done});
        }
        reap(true);
    }

    void reap(bool all)
    {
        for (auto it = servers.begin(); it != servers.end();) {
            if (all || *it->done) {
                it->thread.join();
                it = servers.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Takes reports until the peer ends the association, it idles, or the
    // listener stops.
    void serve(T_ASC_Association* assoc, const QString& address, const QString& calling)
    {
        // A report counts only for a transaction awaited from this address and AE title.
        const TransactionSize known = [&](const QString& transaction) -> std::optional<size_t> {
            const std::lock_guard<std::mutex> lock(m);
            const auto e = expected.find(transaction);
            if (e == expected.end())
                return std::nullopt;
            const auto who = reporters.find(e->second.owner);
            if (who == reporters.end() || !who->second.addresses.contains(address) || who->second.aeTitle != calling)
                return std::nullopt;
            return e->second.instances;
        };
        bool closed = false;
        QElapsedTimer idle;
        idle.start();
        while (!stop && !closed && idle.elapsed() < IdleSeconds * 1000) {
            if (!ASC_dataWaiting(assoc, 1))
                continue;
            CommitIncoming in = receiveCommitMessage(assoc, known, closed, IdleSeconds);
            if (in.report) {
                const std::lock_guard<std::mutex> lock(m);
                const auto e = expected.find(in.report->transaction);
                if (e != expected.end()) {
                    inbox[e->second.owner].push_back(std::move(*in.report));
                    expected.erase(e);
                }
            }
            idle.restart();
        }
        if (!closed)
            ASC_abortAssociation(assoc);
        dropAssociation(assoc);
    }
};

std::shared_ptr<CommitListener> CommitListener::on(std::uint16_t port, const DcmTls& tls)
{
    static std::mutex guard;
    static std::map<std::uint16_t, std::weak_ptr<CommitListener>> open;
    const std::lock_guard<std::mutex> lock(guard);
    std::shared_ptr<CommitListener> l = open[port].lock();
    if (l) {
        if (l->d_->tlsEnabled != tls.Enabled)
            fail(DicomErrc::NetworkFailure,
                 QStringLiteral("CommitPort %1 serves the other destination %2 TLS, this one %3")
                     .arg(port)
                     .arg(l->d_->tlsEnabled ? QStringLiteral("over") : QStringLiteral("without"),
                          tls.Enabled ? QStringLiteral("uses it") : QStringLiteral("does not")));
        return l;
    }
    // The listener of a run that just ended may still be closing its socket.
    for (int attempt = 0;; ++attempt) {
        try {
            l = std::make_shared<CommitListener>(port, tls);
            break;
        } catch (const Error& e) {
            if (attempt == 20 || e.number() == DicomErrc::TlsFileUnusable)
                throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    open[port] = l;
    return l;
}

CommitListener::CommitListener(std::uint16_t port, const DcmTls& tls)
    : d_(std::make_unique<Impl>())
{
    Impl& d = *d_;
    d.port = port;
    d.tlsEnabled = tls.Enabled;
    if (tls.Enabled)
        d.tls = std::make_unique<TlsTransport>(tls, true);
    // the network's timeout bounds the wait for a new connection's first PDU
    const OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, port, QuietSeconds, &d.net);
    if (cond.bad())
        throwCondition(cond, QStringLiteral("Cannot listen on port %1 for storage commitment reports").arg(port));
    if (d.tls)
        d.tls->attachAcceptor(d.net);
    DcmTransportLayer* inner = reinterpret_cast<PRIVATE_NETWORKKEY*>(d.net->network)->networkSpecific.TCP.tLayer;
    d.layer = std::make_unique<GuardedLayer>(d.tls ? inner : nullptr,
                                             [&d](const QString& address) { return d.admitted(address); });
    ASC_setTransportLayer(d.net, d.layer.get(), 0);
    d.acceptor = std::thread([&d] { d.accept(); });
}

CommitListener::~CommitListener()
{
    d_->stop = true;
    d_->acceptor.join();  // it joins the associations' threads
    ASC_dropNetwork(&d_->net);
}

void CommitListener::admit(const void* owner, const CommitReporter& who)
{
    const std::lock_guard<std::mutex> lock(d_->m);
    d_->reporters[owner] = who;
}

void CommitListener::expect(const void* owner, const QString& transaction, size_t instances)
{
    const std::lock_guard<std::mutex> lock(d_->m);
    d_->expected[transaction] = {owner, instances};
}

std::vector<CommitReport> CommitListener::take(const void* owner)
{
    const std::lock_guard<std::mutex> lock(d_->m);
    std::vector<CommitReport> out;
    out.swap(d_->inbox[owner]);
    return out;
}

void CommitListener::leave(const void* owner)
{
    const std::lock_guard<std::mutex> lock(d_->m);
    d_->reporters.erase(owner);
    d_->inbox.erase(owner);
    for (auto it = d_->expected.begin(); it != d_->expected.end();)
        it = it->second.owner == owner ? d_->expected.erase(it) : std::next(it);
}

}  // namespace varnelo::dicomimpl
