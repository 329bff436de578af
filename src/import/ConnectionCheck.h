#pragma once

// "Test connections" of the Options dialog: each destination, the worklist
// provider and the port for confirmations, checked with the values the
// dialog holds, one line of plain words each. The window only shows the lines.

#include "base/Settings.h"
#include "dicom/Dicom.h"
#include "dicomnet/DicomWeb.h"
#include "dicomnet/Network.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QTimer;

namespace varnelo {

struct ConnectionTarget {
    QString aeTitle;
    QString host;
    QString port;
    DcmTls tls;
    // A destination that is a DICOMweb service when web.base is set; its AE
    // title, address and port do not count then.
    DcmWebService web;
    bool isEmpty() const { return web.base.isEmpty() && aeTitle.trimmed().isEmpty() && host.trimmed().isEmpty() && port.trimmed().isEmpty(); }
    bool isComplete() const { return !web.base.isEmpty() || (!aeTitle.trimmed().isEmpty() && !host.trimmed().isEmpty() && !port.trimmed().isEmpty()); }
};

struct ConnectionSettings {
    QString localAET;
    std::vector<ConnectionTarget> destinations;  // as entered; only complete ones are checked
    ConnectionTarget worklist;                   // empty: no worklist provider
    std::int32_t commitPort = 0;                 // 0: none
};

struct CheckResult {
    QString line;
    bool failed = false;
    std::int32_t number = 0;  // for the error log
    QString detail;           // for the error log
};
inline CheckResult passed(const QString& line)
{
    return {line, false, 0, QString()};
}

// The settings the dialog does not hold: the destinations as the main
// window's boxes have them (AppState's without a window), TLS and CommitPort
// as the settings file has them. The caller fills in the local AE title and
// the worklist provider's AE title, address and port.
ConnectionSettings savedConnectionSettings(const SettingsView* mainWindow);

// One check: the line shown while it runs, and the work, which copies what
// it needs and may run on any thread.
struct ConnectionCheck {
    QString pending;
    std::function<CheckResult()> run;
};
std::vector<ConnectionCheck> connectionChecks(const ConnectionSettings& settings);

// "takes CT, MR, US, CR, DX and 17 more" for the storage classes a peer
// accepted, by the modalities of conformance::storageClasses().
QString takenPhrase(const QStringList& acceptedClasses);

// Runs every check on a thread of its own and gathers the lines on the
// caller's thread. A check that has not ended after boundSeconds gives up
// waiting (its thread ends on the network's own bounds). A failed check is
// written to the error log.
class ConnectionTest : public QObject {
    Q_OBJECT
public:
    static constexpr int kBoundSeconds = DicomTimeouts::ConnectSeconds + DicomTimeouts::AcseSeconds + 5;

    explicit ConnectionTest(QObject* parent = nullptr);
    ~ConnectionTest() override;

    void start(const ConnectionSettings& settings, int boundSeconds = kBoundSeconds);
    QStringList lines() const { return lines_; }
    bool isFinished() const { return finished_; }

signals:
    void linesChanged();
    void finished();

private:
    void poll();
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::vector<QString> pending_;
    QStringList lines_;
    std::vector<bool> ended_;
    int boundMs_ = 0;
    bool finished_ = true;
    QElapsedTimer clock_;
    QTimer* timer_ = nullptr;
};

}  // namespace varnelo
