#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

namespace varnelo {

// Append one line to Logs/Error.log or Logs/Debug.log in logFolder().
// Neither ever fails towards its caller. A log file is appended to only when
// it is the user's own regular file, reached without a link (openOwnFile);
// any other is left alone and its refusal kept for TakeLogTrouble().
void WriteErrorLog(std::int32_t number, const QString& description, const QString& source);
void WriteDebugLog(const QString& text);
// Appends one line of tab-separated fields to Logs/Imports.log, the receipt
// of each import run, its date and time (isoDateTime) first; rotated like
// the others. A file begun anew starts with a row naming the columns: "time",
// then `columns`.
void WriteImportsLog(const QStringList& columns, const QStringList& fields);
// Appends one audit message to Logs/Audit.log, its date and time
// (isoDateTime) first; rotated like the others.
void WriteAuditLog(const QString& message);

QString DateStamp();  // yyyyMMdd
QString TimeStamp();  // hhmmss, 24 hours
QString FileStamp();  // DateStamp() + TimeStamp()

// The folder the logs go to: program folder + "/Logs", or, when the program
// folder cannot be written, userStateFolder() + "/Logs". The logs name
// patients: the writers make it (and userStateFolder()) 0700 and each log
// 0600, and take wider rights back from what an earlier run left there.
// "" when neither is known (no home folder): every line is then log trouble.
QString logFolder();

// A log line that could not be written: the file or folder, and why.
struct LogTrouble {
    QString path;
    QString reason;
};
// The first failure of a log writer since the last call, if any. The writers
// keep going (and keep failing quietly) meanwhile; whoever reports to the
// operator takes it, so that it is told once.
std::optional<LogTrouble> TakeLogTrouble();

// The locale's short date with a four-digit year (06.03.2026 in German):
// the system's for the logs, the default (the program's language) for what
// the operator reads.
QString shortDate(const QDate& date);
QString shortDate(const QDate& date, const QLocale& locale);
inline QString shownDate(const QDate& date)
{
    return shortDate(date, QLocale());
}
// Date and time as the logs write them: the locale's short date, a blank, hh:mm:ss.
QString logDateTime(const QDateTime& when);
// Date and time for records read by machines, whatever the locale:
// ISO 8601 with the offset from UTC ("2026-12-08T03:37:45+01:00").
QString isoDateTime(const QDateTime& when);

// The clock the stamps and log lines read; tests fix it.
void setClockForTesting(std::function<QDateTime()> clock);
QDateTime now();

}  // namespace varnelo
