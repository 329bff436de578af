#pragma once

// A Storage SCP on a loopback port that misbehaves on purpose: failure or
// warning statuses, refused associations, aborts in the middle of a C-STORE,
// a connection closed right after the association is accepted, or silence.
// It serves one association at a time on a thread of its own and records what
// it was asked and what it holds, so a test can compare both with the
// program's count and logs. The destructor stops it.

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace varnelo::testdata {

class FaultyScp {
public:
    struct Options {
        Options() {}
        QString aeTitle = QStringLiteral("FAULTY");
        // Rejects every association (permanent, "no reason given").
        bool refuseAssociations = false;
        // Acknowledges the association, then closes the TCP connection.
        bool closeAfterAccept = false;
        // Takes every message of an accepted association and answers none.
        bool neverAnswer = false;
        // Ordinals (1-based, over the peer's life) of the C-STORE requests on
        // which it aborts the association after the command and before the
        // data set: nothing of that request is stored.
        std::set<int> abortDuringStore;
        // Ordinals on which it reads and keeps the data set, then aborts
        // instead of answering.
        std::set<int> abortAfterStore;
        // The status of each answered C-STORE (ordinal, SOP Instance UID);
        // 0 when unset. Success (0) and warnings (0xBxxx, 0x0001, 0x0107,
        // 0x0116) store the image; anything else does not.
        std::function<std::uint16_t(int ordinal, const QString& sopInstanceUid)> status;
        // Waits this long before each answer.
        int answerDelayMs = 0;
    };

    explicit FaultyScp(const Options& options = Options());
    ~FaultyScp();
    FaultyScp(const FaultyScp&) = delete;
    FaultyScp& operator=(const FaultyScp&) = delete;

    std::uint16_t port() const { return port_; }
    QString aeTitle() const { return options_.aeTitle; }

    // SOP Instance UIDs the peer holds, in arrival order (a UID stored twice
    // appears twice).
    QStringList held() const;
    // SOP Instance UID of every C-STORE request, in order, whatever became of it.
    QStringList requested() const;
    int associationRequests() const { return associations_; }
    int echoes() const { return echoes_; }
    // Waits until `count` C-STORE requests have arrived, at most timeoutMs.
    bool waitForRequests(int count, int timeoutMs) const;

    void stop();

private:
    void serve();
    void handleAssociation(void* assoc);

    Options options_;
    std::uint16_t port_ = 0;
    void* net_ = nullptr;
    std::atomic<bool> stop_ {false};
    std::atomic<int> associations_ {0};
    std::atomic<int> echoes_ {0};
    int storeOrdinal_ = 0;
    mutable std::mutex mutex_;
    QStringList held_;
    QStringList requested_;
    std::thread thread_;
};

bool isStoredStatus(std::uint16_t status);

}  // namespace varnelo::testdata
