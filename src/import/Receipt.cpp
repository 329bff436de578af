#include "import/Receipt.h"

#include "base/Logs.h"

#include <QSysInfo>

#include <pwd.h>
#include <unistd.h>

namespace varnelo {

namespace {

QString userName()
{
    // the account, not what the environment claims
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

}  // namespace

QStringList receiptColumns()
{
    return {QStringLiteral("user"),       QStringLiteral("workstation"),   QStringLiteral("source"),
            QStringLiteral("mode"),       QStringLiteral("patients"),      QStringLiteral("identity"),
            QStringLiteral("end"),        QStringLiteral("found"),         QStringLiteral("sent"),
            QStringLiteral("failed"),     QStringLiteral("ignored"),       QStringLiteral("not chosen"),
            QStringLiteral("no identity"), QStringLiteral("destination 1"), QStringLiteral("destination 2")};
}

void writeReceipt(const Receipt& r)
{
    QStringList fields {userName(),
                        QSysInfo::machineHostName(),
                        r.source,
                        r.dicomDir ? QStringLiteral("DICOMDIR") : QStringLiteral("scan"),
                        r.patients,
                        r.identity,
                        r.end};
    for (int n : {r.found, r.sent, r.failed, r.ignored, r.notChosen, r.noIdentity})
        fields << QString::number(n);
    // a fixed number of columns, for whatever reads them
    for (int d = 0; d < 2; ++d)
        fields << r.destinations.value(d);
    WriteImportsLog(receiptColumns(), fields);
}

}  // namespace varnelo
