#include "import/ImportLaunch.h"

#include "base/AppState.h"
#include "base/Convert.h"
#include "base/Drives.h"
#include "base/Error.h"
#include "base/Logs.h"
#include "base/MessageBox.h"
#include "dicom/Dicom.h"
#include "dicomnet/DicomWeb.h"
#include "dicomnet/Network.h"
#include "import/Delivery.h"
#include "import/IdentityValues.h"
#include "import/ImportRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QUrl>

#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace varnelo {

namespace {

constexpr int kReadyChecks = 10;  // the drive is asked once more than this
constexpr unsigned long kReadyPauseMs = 250;

constexpr auto kProbePoll = std::chrono::milliseconds(15);  // how often the window gets its events

struct Abandon {
};

// A connection check under way. The thread and the launch share it: a wait
// given up leaves it to the thread, which ends on its own network bounds.
struct Probe {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::int32_t status = 0;
    std::exception_ptr error;
};

// What a failed check means, for the logs.
QString notAnswered(std::int32_t status)
{
    switch (status) {
    case ProbeResult::CannotConnect:
        return QStringLiteral("could not be reached");
    case ProbeResult::AssociationRejected:
        return QStringLiteral("refused or did not answer the association request");
    default:
        return QStringLiteral("did not answer the echo");
    }
}

struct Launch {
    Q_DECLARE_TR_FUNCTIONS(ImportLaunch)
};

// What a failed connection check means, in the operator's words, with what
// to do about it.
QString plainNotAnswered(std::int32_t status, const QString& calledAE, const QString& host, const QString& port)
{
    switch (status) {
    case ProbeResult::CannotConnect:
        return Launch::tr("%1 at %2 port %3 does not answer. Nothing was sent. Check that the PACS is running, or ask "
                          "your administrator.")
            .arg(calledAE, host, port);
    case ProbeResult::AssociationRejected:
        return Launch::tr("%1 at %2 port %3 refused this station. Nothing was sent. Check the AE titles (\"Remote AET:\" "
                          "here, \"Local AET:\" in the options), or ask your administrator.")
            .arg(calledAE, host, port);
    default:
        return Launch::tr("%1 at %2 port %3 answered but is not ready to take images. Nothing was sent. Ask your "
                          "administrator to check the PACS.")
            .arg(calledAE, host, port);
    }
}

// The boxes of a destination row that are empty, by their captions.
QStringList emptyBoxes(const QString& aet, const QString& ip, const QString& port)
{
    QStringList empty;
    if (aet.isEmpty())
        empty << Launch::tr("\"Remote AET:\"");
    if (ip.isEmpty())
        empty << Launch::tr("\"Remote IP:\"");
    if (port.isEmpty())
        empty << Launch::tr("\"Remote Port:\"");
    return empty;
}

// The first file of the start folder whose name holds "DICOMDIR", as the
// DICOMDIR import looks for it.
bool holdsDicomDir(const QString& folder)
{
    return !QDir(folder).entryList({QStringLiteral("*DICOMDIR*"), QStringLiteral("*dicomdir*")}, QDir::Files).isEmpty();
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
        return Launch::tr("\"%1\" is an IPv6 address; DICOM connections are made over IPv4 here: enter an IPv4 "
                              "address or a host name.")
            .arg(host);
    if (ipv4.match(host).hasMatch()) {
        if (parses(AF_INET, host))
            return QString();
        return Launch::tr("\"%1\" is not a valid IPv4 address.").arg(host);
    }
    if (host.size() <= 253 && name.match(host).hasMatch())
        return QString();
    if (host.contains(QLatin1Char(':')))
        return Launch::tr("\"%1\" is not a host name or an IP address; enter the port in the \"Remote Port:\" box.").arg(host);
    return Launch::tr("\"%1\" is not a host name or an IP address.").arg(host);
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
    view.showLaunchStatus(QCoreApplication::translate("ImportLaunch", "Connecting to %1 (%2:%3)...").arg(calledAE, host).arg(port));
    auto probe = std::make_shared<Probe>();
    // Never joined: neither "Abort" nor the end of the program waits out a
    // peer that takes the connection and then says nothing. The thread owns
    // its DCMTK objects and copies of the values.
    std::thread([probe, host, port, callingAE, calledAE, tls] {
        std::int32_t status = ProbeResult::CannotConnect;
        std::exception_ptr error;
        try {
            status = DcmNetwork::ProbeConnection(host, port, callingAE, calledAE, tls);
        } catch (...) {
            error = std::current_exception();
        }
        const std::lock_guard<std::mutex> lock(probe->mutex);
        probe->status = status;
        probe->error = error;
        probe->done = true;
        probe->ended.notify_all();
    }).detach();
    for (;;) {
        view.processEvents();
        if (view.exitRequested())
            throw Abandon {};
        if (view.launchAborted())
            return ConnectionAborted;
        std::unique_lock<std::mutex> lock(probe->mutex);
        if (probe->ended.wait_for(lock, kProbePoll, [&] { return probe->done; }))
            break;
    }
    if (probe->error)
        std::rethrow_exception(probe->error);
    return probe->status;
}

namespace {

// Asks a DICOMweb service whether it answers (QIDO-RS), as TestConnection
// asks a DICOM peer; the empty string when it does, else why not.
QString TestWebService(LaunchView& view, const DcmWebService& service)
{
    view.showLaunchStatus(QCoreApplication::translate("ImportLaunch", "Connecting to %1...").arg(service.base.toDisplayString()));
    struct Answer {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        std::optional<Error> error;
    };
    auto answer = std::make_shared<Answer>();
    std::thread([answer, service] {
        std::optional<Error> error;
        try {
            DcmWebClient(service).Probe();
        } catch (const Error& e) {
            error = e;
        } catch (const std::exception& e) {
            error = Error(DicomErrc::NetworkFailure, QString::fromLocal8Bit(e.what()));
        }
        const std::lock_guard<std::mutex> lock(answer->mutex);
        answer->error = error;
        answer->done = true;
        answer->ended.notify_all();
    }).detach();  // bounded by the client's own waits; never waited out on Abort
    for (;;) {
        view.processEvents();
        if (view.exitRequested())
            throw Abandon {};
        if (view.launchAborted())
            throw Abandon {};
        std::unique_lock<std::mutex> lock(answer->mutex);
        if (answer->ended.wait_for(lock, kProbePoll, [&] { return answer->done; }))
            break;
    }
    const std::lock_guard<std::mutex> lock(answer->mutex);
    if (answer->error)
        throw *answer->error;
    return QString();
}

}  // namespace

DcmTls destinationTls(std::int16_t destination)
{
    const AppState& s = appState();
    return {destination == 1 ? s.UseTLS : s.UseTLS2, s.TLSCertificate, s.TLSPrivateKey, s.TLSTrustedCertificates};
}

void cmdImport_Click(LaunchView& view)
{
    using Box = SettingsView::Box;
    AppState& s = appState();

    const QString logSource = QStringLiteral("MainForm cmdImport_Click");
    auto abandon = [&](const QString& text, MessageBox::Icon icon) {
        view.closeLaunchStatus();
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
                abandon(Launch::tr("\"New Patient ID:\" holds only spaces."), MessageBox::Icon::Warning);
            const QList<IdentityProblem> problems = identityProblems(newIdentity(view, newId));
            if (!problems.isEmpty())
                abandon(Launch::tr("The new identity cannot be given to the images:\n%1").arg(describeProblems(problems)),
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
                abandon(Launch::tr("Your selected drive is not ready!") + QLatin1Char('\n') +
                            Launch::tr("No disc or medium could be read in %1. Insert the disc and wait until the "
                                       "light of the drive stops blinking, then press IMPORT again.")
                                .arg(s.ImportDrive),
                        MessageBox::Icon::Warning);
        }

        const QString aet = view.boxText(Box::RemoteAET), ip = view.boxText(Box::RemoteIP),
                      port = view.boxText(Box::RemotePort);
        const auto webService = webServiceOf;
        if (!webService(1) && (aet.isEmpty() || ip.isEmpty() || port.isEmpty()))
            abandon(Launch::tr("Please enter a valid DICOM Storage Class Provider") + QLatin1Char('\n') +
                        Launch::tr("\"Destination #1:\" needs all three boxes; %1 is empty. Enter the PACS's AE "
                                   "title, address and port, or ask your administrator for them.")
                            .arg(QLocale().createSeparatedList(emptyBoxes(aet, ip, port))),
                    MessageBox::Icon::Error);

        // A folder that is not there is said before any PACS is asked.
        if (s.Location == 2) {
            const QString folder = s.ImportFolder.trimmed();
            if (folder.isEmpty())
                abandon(Launch::tr("No folder is given.") + QLatin1Char('\n') +
                            Launch::tr("Type the folder under \"Specific Folder\", or pick it with the \"...\" "
                                       "button."),
                        MessageBox::Icon::Warning);
            if (!QFileInfo::exists(folder))
                abandon(Launch::tr("The folder %1 does not exist.").arg(QDir::toNativeSeparators(folder)) +
                            QLatin1Char('\n') +
                            Launch::tr("Check the path under \"Specific Folder\", or pick the folder with the "
                                       "\"...\" button."),
                        MessageBox::Icon::Warning);
            if (s.SearchBy == 1 && QFileInfo(folder).isDir() && !holdsDicomDir(folder))
                abandon(Launch::tr("No DICOMDIR was found in %1.").arg(QDir::toNativeSeparators(folder)) +
                            QLatin1Char('\n') +
                            Launch::tr("\"DICOM Dir\" needs the DICOMDIR index file, which this folder does not "
                                       "have. Choose \"DICOM Files\" to read the images one by one."),
                        MessageBox::Icon::Warning);
        }

        auto failedText = [](std::int32_t status, const QString& host) {
            return Launch::tr("#%1: Connection to Storage Class Provider (%2) failed!").arg(status).arg(host);
        };

        // A launch stopped at a check leaves a receipt line like a run's:
        // the medium was there and nothing was sent.
        auto stopped = [&](const QString& reason) {
            writeStoppedLaunchReceipt(s.Location == 1 ? s.ImportDrive : s.ImportFolder, s.SearchBy == 1, reason);
        };
        auto testDestination = [&](std::int16_t destination, const QString& calledAE, const QString& host,
                                   const QString& portText) {
            const std::int32_t port = toInt32(portText);
            const QString who = QStringLiteral("%1 (%2:%3)").arg(calledAE, host, portText);
            std::int32_t status = 0;
            try {
                status = TestConnection(view, host, port, s.LocalAET, calledAE, destinationTls(destination));
            } catch (const Error& e) {
                stopped(who + QStringLiteral(": ") + e.description());
                throw;  // shown and logged below
            }
            if (status == ConnectionAborted) {
                stopped(QStringLiteral("aborted by the operator while connecting to ") + who);
                throw Abandon {};
            }
            if (status > 0) {
                WriteErrorLog(status, QStringLiteral("Connection to Storage Class Provider %1 failed: %2").arg(who, notAnswered(status)),
                              logSource);
                stopped(who + QLatin1Char(' ') + notAnswered(status));
                abandon(failedText(status, host) + QLatin1Char('\n') + plainNotAnswered(status, calledAE, host, portText),
                        MessageBox::Icon::Warning);
            }
        };

        // What would be cut or split on the way is refused here, naming the box.
        auto checkDestination = [&](const QString& title, const QString& calledAE, const QString& host,
                                    const QString& portText) {
            if (calledAE.size() > 16)
                abandon(Launch::tr("%1: \"Remote AET:\" \"%2\" is longer than 16 characters.").arg(title, calledAE),
                        MessageBox::Icon::Warning);
            const QString problem = hostProblem(host);
            if (!problem.isEmpty())
                abandon(Launch::tr("%1: \"Remote IP:\" %2").arg(title, problem), MessageBox::Icon::Warning);
            // a port beyond 32 bits stays the conversion's error, shown and logged
            bool number = false;
            const qlonglong port = portText.toLongLong(&number);
            if (number && port <= std::numeric_limits<std::int32_t>::max() && (port < 1 || port > 65535))
                abandon(Launch::tr("%1: \"Remote Port:\" \"%2\" is not a port number; a port is a number from 1 to "
                                   "65535.")
                            .arg(title, portText),
                        MessageBox::Icon::Warning);
        };
        if (s.LocalAET.trimmed().size() > 16)
            abandon(Launch::tr("The \"Local AET:\" \"%1\" of the options is longer than 16 characters.").arg(s.LocalAET.trimmed()),
                    MessageBox::Icon::Warning);
        // A DICOMweb service is asked by QIDO-RS instead of a C-ECHO.
        auto testWeb = [&](const DcmWebService& web) {
            const QString who = web.base.toDisplayString(QUrl::RemoveUserInfo);
            try {
                TestWebService(view, web);
            } catch (const Abandon&) {
                stopped(QStringLiteral("aborted by the operator while connecting to ") + who);
                throw;
            } catch (const Error& e) {
                WriteErrorLog(e.number(), e.description(), logSource);
                stopped(who + QStringLiteral(": ") + e.description());
                QString plain;
                switch (e.number()) {
                case DicomErrc::WebAccessRefused:
                    plain = Launch::tr("The DICOMweb service at %1 refused this station's user name and password or "
                                       "token. Ask your administrator to check them.")
                                .arg(who);
                    break;
                case DicomErrc::HostNotFound:
                case DicomErrc::CannotConnect:
                case DicomErrc::Timeout:
                    plain = Launch::tr("Nothing answers at %1. Check that the archive is running and that this "
                                       "station can reach it.")
                                .arg(who);
                    break;
                case DicomErrc::PeerNotTrusted:
                case DicomErrc::TlsHandshakeFailed:
                case DicomErrc::TlsFileUnusable:
                    plain = Launch::tr("The secure connection to %1 could not be made. Ask your administrator to "
                                       "check the certificates.")
                                .arg(who);
                    break;
                default:
                    plain = Launch::tr("The DICOMweb service at %1 did not answer as expected.").arg(who);
                    break;
                }
                abandon(failedText(e.number(), webDestinationName(web.base)) + QLatin1Char('\n') + plain,
                        MessageBox::Icon::Warning);
            }
        };
        if (const auto web = webService(1)) {
            testWeb(*web);
        } else {
            checkDestination(Launch::tr("Destination #1"), aet, ip, port);
            testDestination(1, aet, ip, port);
        }

        s.UseDestination2 = false;
        const QString aet2 = view.boxText(Box::RemoteAET2), ip2 = view.boxText(Box::RemoteIP2),
                      port2 = view.boxText(Box::RemotePort2);
        if (const auto web = webService(2)) {
            testWeb(*web);
            s.UseDestination2 = true;
        } else if (!aet2.isEmpty() && !ip2.isEmpty() && !port2.isEmpty()) {
            checkDestination(Launch::tr("Destination #2"), aet2, ip2, port2);
            testDestination(2, aet2, ip2, port2);
            s.UseDestination2 = true;
        }
        view.showLaunchStatus(QString());  // the checks are done; a question may come before the run

        // An ID left over from the last medium is gone; an empty box must not
        // pass unnoticed.
        if (s.ChangeID && newId.isEmpty()) {
            const auto answer = MessageBox::show(Launch::tr("No new Patient ID is given: the images keep the IDs they have on "
                                                    "the medium. Import them unchanged?"),
                                                 MessageBox::Icon::Question, MessageBox::Buttons::YesNo,
                                                 MessageBox::Answer::No);
            if (answer != MessageBox::Answer::Yes)
                throw Abandon {};
        }

        if (view.boxText(Box::Suffix).isEmpty() && s.SearchBy == 2) {
            const auto answer = MessageBox::show(Launch::tr("No file suffix defined, ALL files will be scanned!") + QLatin1Char('\n') +
                                                     Launch::tr("Every file in the folder is read, also files that are no "
                                                                "images; on a full disc this takes longer. Import all "
                                                                "files?"),
                                                 MessageBox::Icon::None, MessageBox::Buttons::YesNo);
            if (answer != MessageBox::Answer::Yes)
                throw Abandon {};
        }

        SaveSettings(view);
        view.setBusyCursor(false);
        view.runImport();
        view.setImportEnabled(true);
    } catch (const Abandon&) {
        view.closeLaunchStatus();
        view.setImportEnabled(true);
        view.setBusyCursor(false);
    } catch (const Error& e) {
        view.closeLaunchStatus();
        view.setBusyCursor(false);
        MessageBox::show(Launch::tr("#%1 %2").arg(e.number()).arg(e.description()),
                         MessageBox::Icon::Error);
        WriteErrorLog(e.number(), e.description(), logSource);
        view.setImportEnabled(true);
    }
}

}  // namespace varnelo
