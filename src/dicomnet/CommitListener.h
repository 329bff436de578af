#pragma once

// The port on which a PACS opens an association of its own to deliver its
// storage commitment report ([DICOM] CommitPort).

#include "dicomnet/CommitReport.h"

#include <QSet>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

namespace varnelo::dicomimpl {

// Who may report for one destination: an address of its host or of the
// [DICOM] CommitHosts, calling with its AE title.
struct CommitReporter {
    QSet<QString> addresses;  // numeric, as inet_ntop writes them
    QString aeTitle;
};

// The numeric addresses of `hosts` (names or addresses); a name that does
// not resolve adds none.
QSet<QString> addressesOf(const QStringList& hosts);

// One per port, shared by the sessions of both destinations, each taking
// the reports of its own transactions. A thread accepts; each association
// is served on a thread of its own. A connection from an address no session
// admits is closed before anything is read from it; one that says nothing
// for a few seconds is dropped. Over TLS when the sessions' destinations
// use it, the PACS's certificate checked as when sending to it.
class CommitListener {
public:
    // The listener of `port`, opened now or shared with a session under way.
    // Throws when the port cannot be opened, or when it serves the other
    // destination with TLS where this one has none, or the reverse.
    static std::shared_ptr<CommitListener> on(std::uint16_t port, const DcmTls& tls);

    CommitListener(std::uint16_t port, const DcmTls& tls);  // through on()
    ~CommitListener();
    CommitListener(const CommitListener&) = delete;
    CommitListener& operator=(const CommitListener&) = delete;

    // Reports for `owner` are taken from `who` only.
    void admit(const void* owner, const CommitReporter& who);
    // A request of `owner` of `instances` instances awaits its report.
    void expect(const void* owner, const QString& transaction, size_t instances);
    // The reports for `owner` that came since the last call.
    std::vector<CommitReport> take(const void* owner);
    void leave(const void* owner);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace varnelo::dicomimpl
