#include "import/ImportLaunch.h"

#include "base/AppState.h"
#include "base/Convert.h"
#include "base/Drives.h"
#include "base/Error.h"
#include "base/Logs.h"
#include "base/MessageBox.h"
#include "dicom/Dicom.h"
#include "import/IdentityValues.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QThread>

#include <arpa/inet.h>

namespace varnelo {

namespace {

constexpr int kReadyChecks = 10;  // the drive is asked once more than this
constexpr unsigned long kReadyPauseMs = 250;

struct Abandon {
};

QString tr(const char* text)
{
    return QCoreApplication::translate("ImportLaunch", text);
}

// What the images would get: the pick while the box still holds its ID,
// else the typed ID with the issuer of the settings.
DcmPatient newIdentity(const LaunchView& view, const QString& newId)
{
    if (const std::optional<DcmPatient> picked = view.pickedPatient(); picked && picked->PatientID == newId)
        return *picked;
    DcmPatient typed;
    typed.PatientID = newId;
    typed.IssuerOfPatientID = appState().IssuerOfPatientID;
    return typed;
}

// What the Remote IP box may hold: a host name or an IPv4 address. The port
// comes from the Port box alone, so "host:port" is refused rather than split.
// Returns "" when the host is fine, otherwise what is wrong with it.
QString hostProblem(const QString& host)
{
    static const QRegularExpression ipv4(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*\\.?$"));
    auto parses = [](int family, const QString& text) {
        unsigned char buffer[16];
        return ::inet_pton(family, text.toLatin1().constData(), buffer) == 1;
    };
    const QString bare = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')) ? host.mid(1, host.size() - 2) : host;
    if (bare.contains(QLatin1Char(':')) && parses(AF_INET6, bare))
        return QStringLiteral("\"%1\" is an IPv6 address; DICOM connections are made over IPv4 here: enter an IPv4 "
                              "address or a host name.")
            .arg(host);
    if (ipv4.match(host).hasMatch()) {
        if (parses(AF_INET, host))
            return QString();
        return QStringLiteral("\"%1\" is not a valid IPv4 address.").arg(host);
    }
    if (host.size() <= 253 && name.match(host).hasMatch())
        return QString();
    if (host.contains(QLatin1Char(':')))
        return QStringLiteral("\"%1\" is not a host name or an IP address; enter the port in the \"Remote Port:\" box.").arg(host);
    return QStringLiteral("\"%1\" is not a host name or an IP address.").arg(host);
}

}  // namespace

QString driveFromSelectorText(const QString& text)
{
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 1)
        throw Error(ErrNo::BadFileName, QStringLiteral("Bad file name or number: no drive letter in \"%1\"").arg(text));
    return text.mid(colon - 1, 2);
}

std::int32_t TestConnection(LaunchView& view, const QString& host, std::int32_t port, const QString& callingAE,
                            const QString& calledAE, const DcmTls& tls)
{
    view.processEvents();
    if (view.exitRequested())
        throw Abandon {};
    return DcmUtility::ProbeConnection(host, port, callingAE, calledAE, tls);
}

DcmTls destinationTls(std::int16_t destination)
{
    const AppState& s = appState();
    return {destination == 1 ? s.UseTLS : s.UseTLS2, s.TLSCertificate, s.TLSPrivateKey, s.TLSTrustedCertificates};
}

void cmdImport_Click(LaunchView& view)
{
    using Box = SettingsView::Box;
    AppState& s = appState();

    auto abandon = [&](const QString& text, MessageBox::Icon icon) {
        MessageBox::show(text, icon);
        throw Abandon {};
    };

    try {
        view.setImportEnabled(false);
        view.setBusyCursor(true);

        s.Drive = driveFromSelectorText(view.driveSelectorText());
        s.ImportDrive = s.Drive;
        s.FileSuffix = view.boxText(Box::Suffix).trimmed();
        for (Box b : {Box::RemoteIP, Box::RemoteAET, Box::RemotePort, Box::RemoteIP2, Box::RemoteAET2, Box::RemotePort2})
            view.setBoxText(b, view.boxText(b).trimmed());
        s.ImportWithSubDirs = view.withSubDirsTicked();
        s.ImportFolder = view.boxText(Box::SourceDir);

        // Checked before anything waits: nothing a PACS would refuse or
        // misread leaves the station.
        const QString newId = s.ChangeID ? view.newPatientId() : QString();
        if (!newId.isEmpty()) {
            if (newId.trimmed().isEmpty())
                abandon(tr("\"New Patient ID:\" holds only spaces."), MessageBox::Icon::Warning);
            const QList<IdentityProblem> problems = identityProblems(newIdentity(view, newId));
            if (!problems.isEmpty())
                abandon(tr("The new identity cannot be given to the images:\n%1").arg(describeProblems(problems)),
                        MessageBox::Icon::Warning);
        }

        int checks = 0;
        while (s.Location == 1) {
            if (driveTable().isReady(s.ImportDrive))
                break;
            view.processEvents();
            if (view.exitRequested())
                throw Abandon {};
            QThread::msleep(kReadyPauseMs);
            if (++checks > kReadyChecks)
                abandon(QStringLiteral("Your selected drive is not ready!"), MessageBox::Icon::Warning);
        }

        const QString aet = view.boxText(Box::RemoteAET), ip = view.boxText(Box::RemoteIP),
                      port = view.boxText(Box::RemotePort);
        if (aet.isEmpty() || ip.isEmpty() || port.isEmpty())
            abandon(QStringLiteral("Please enter a valid DICOM Storage Class Provider"), MessageBox::Icon::Error);

        auto failedText = [](std::int32_t status, const QString& host) {
            return QStringLiteral("#") + QString::number(status) + QStringLiteral(": Connection to Storage Class Provider (") +
                host + QStringLiteral(") failed!");
        };

        // What would be cut or split on the way is refused here, naming the box.
        auto checkDestination = [&](const QString& title, const QString& calledAE, const QString& host) {
            if (calledAE.size() > 16)
                abandon(QStringLiteral("%1: \"Remote AET:\" \"%2\" is longer than 16 characters.").arg(title, calledAE),
                        MessageBox::Icon::Warning);
            const QString problem = hostProblem(host);
            if (!problem.isEmpty())
                abandon(QStringLiteral("%1: \"Remote IP:\" %2").arg(title, problem), MessageBox::Icon::Warning);
        };
        if (s.LocalAET.trimmed().size() > 16)
            abandon(QStringLiteral("The \"Local AET:\" \"%1\" of the options is longer than 16 characters.").arg(s.LocalAET.trimmed()),
                    MessageBox::Icon::Warning);
        checkDestination(QStringLiteral("Destination #1"), aet, ip);

        std::int32_t status = TestConnection(view, ip, toInt32(port), s.LocalAET, aet, destinationTls(1));
        if (status > 0)
            abandon(failedText(status, ip), MessageBox::Icon::Warning);

        s.UseDestination2 = false;
        const QString aet2 = view.boxText(Box::RemoteAET2), ip2 = view.boxText(Box::RemoteIP2),
                      port2 = view.boxText(Box::RemotePort2);
        if (!aet2.isEmpty() && !ip2.isEmpty() && !port2.isEmpty()) {
            checkDestination(QStringLiteral("Destination #2"), aet2, ip2);
            status = TestConnection(view, ip2, toInt32(port2), s.LocalAET, aet2, destinationTls(2));
            if (status > 0)
                abandon(failedText(status, ip2), MessageBox::Icon::Warning);
            s.UseDestination2 = true;
        }

        // An ID left over from the last medium is gone; an empty box must not
        // pass unnoticed.
        if (s.ChangeID && newId.isEmpty()) {
            const auto answer = MessageBox::show(tr("No new Patient ID is given: the images keep the IDs they have on "
                                                    "the medium. Import them unchanged?"),
                                                 MessageBox::Icon::Question, MessageBox::Buttons::YesNo,
                                                 MessageBox::Answer::No);
            if (answer != MessageBox::Answer::Yes)
                throw Abandon {};
        }

        if (view.boxText(Box::Suffix).isEmpty() && s.SearchBy == 2) {
            const auto answer = MessageBox::show(QStringLiteral("No file suffix defined, ALL files will be scanned!\r\n\r\nProceed progress?"),
                                                 MessageBox::Icon::None, MessageBox::Buttons::YesNo);
            if (answer != MessageBox::Answer::Yes)
                throw Abandon {};
        }

        SaveSettings(view);
        view.setBusyCursor(false);
        view.runImport();
        view.setImportEnabled(true);
    } catch (const Abandon&) {
        view.setImportEnabled(true);
        view.setBusyCursor(false);
    } catch (const Error& e) {
        view.setBusyCursor(false);
        MessageBox::show(QStringLiteral("#") + QString::number(e.number()) + QLatin1Char(' ') + e.description(),
                         MessageBox::Icon::Error);
        WriteErrorLog(e.number(), e.description(), QStringLiteral("MainForm cmdImport_Click"));
        view.setImportEnabled(true);
    }
}

}  // namespace varnelo
