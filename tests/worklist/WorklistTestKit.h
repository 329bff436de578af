#pragma once

// Shared pieces of the worklist tests: a recording view, the message boxes
// and error-log lines a test sees, and the query identifier as a flat,
// ordered list of (path, value) to compare tag by tag.

#include "base/AppState.h"
#include "base/MessageBox.h"
#include "worklist/WorklistQuery.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include <ostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE

namespace varnelo::wltest {

using Row = std::array<QString, WorklistColumn::Count>;

// Records what the query does to the window, in order.
class RecordingView : public WorklistView {
public:
    int appendRow() override;
    void setCell(int row, int column, const QString& text) override;
    void processEvents() override { events.push_back(QStringLiteral("events")); }
    void close() override
    {
        events.push_back(QStringLiteral("close"));
        ++closed;
    }

    int processEventCount() const { return static_cast<int>(std::count(events.begin(), events.end(), "events")); }

    std::vector<Row> rows;
    QStringList events;  // "row", "events", "close"
    int closed = 0;
};

// Answers every message box and remembers it; logs go to a temporary
// program folder. Restores both when it goes.
class Harness {
public:
    Harness();
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    std::vector<MessageBox::Request> boxes;
    // The error log's lines, each split at its tabs.
    std::vector<QStringList> errorLog() const;
    QString folder() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    MessageBox::Handler previous_;
};

// Every field of AppState as text, to show the query left it alone.
QStringList snapshot(const AppState& state);

using Flat = std::vector<std::pair<QString, QString>>;

// The identifier the query must send, attribute by attribute in tag order:
// "(gggg,eeee)" paths, sequence items as "[n]", a sequence's value "SQ n".
Flat expectedIdentifier(const QString& modality, const QString& stationAE, const QDate& day);

// A data set of our toolkit in the same form.
Flat flatten(const DcmDataset& dataset);

// The first "Find SCP Request Identifiers" dump in a wlmscpfs -v log.
Flat receivedIdentifier(const QString& peerLog);

// Readable difference for failure messages ("" when equal).
QString difference(const Flat& expected, const Flat& actual);

}  // namespace varnelo::wltest
