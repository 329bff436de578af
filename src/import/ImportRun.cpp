#include "import/ImportRun.h"

#include "import/ArchiveMedium.h"
#include "import/IdentityValues.h"
#include "import/ImportLaunch.h"
#include "import/Receipt.h"

#include "base/AppState.h"
#include "base/Convert.h"
#include "base/Drives.h"
#include "base/Error.h"
#include "base/FileNames.h"
#include "base/Logs.h"
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "dicom/Dicom.h"
#include "dicomnet/Network.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <numeric>
#include <optional>
#include <tuple>
#include <variant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnelo {

namespace {

const QString kScanSource = QStringLiteral("ReadCdDirectory");
const QString kScanFolderSource = QStringLiteral("ProgressForm ReadCdDirectory");
const QString kDicomDirSource = QStringLiteral("ProgressForm ReadDicomDir");
const QString kMarker = QStringLiteral("migration.done");

QString tr(const char* text)
{
    return QCoreApplication::translate("varnelo::ImportRun", text);
}

bool writeLog()
{
    return appState().WriteLog == 1;
}

// The archive the run imports, if any: log lines name its members
// ("archive.zip/DIR/IM1"), not the temporary folder they are extracted to.
const ArchiveMedium* logNames = nullptr;

QString logText(const QString& text)
{
    return logNames ? logNames->logName(text) : text;
}

void debugLine(const QString& text)
{
    if (writeLog())
        WriteDebugLog(logText(text));
}

void errorLine(std::int32_t number, const QString& description, const QString& source)
{
    WriteErrorLog(number, logText(description), source);
}

// A folder's files and subfolders by name, in name order (without regard to
// case first, as media show them elsewhere). Names come as the file system
// gives them, so a name that is not valid in the locale's encoding is still
// listed. No QFileInfo per entry: a folder of 100,000 files must not cost it.
struct Listing {
    QStringList files;
    QStringList folders;
    QSet<QString> links;  // entries that are symbolic links, files or folders
};

void sortNames(QStringList& names)
{
    // each name folded once: a folder may hold 100,000 of them
    std::vector<std::pair<QString, qsizetype>> keyed;
    keyed.reserve(static_cast<size_t>(names.size()));
    for (qsizetype i = 0; i < names.size(); ++i)
        keyed.emplace_back(names[i].toCaseFolded(), i);
    std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
        const int c = QString::compare(a.first, b.first, Qt::CaseSensitive);
        return c != 0 ? c < 0 : names[a.second] < names[b.second];
    });
    QStringList sorted;
    sorted.reserve(names.size());
    for (const auto& k : keyed)
        sorted << std::move(names[k.second]);
    names = std::move(sorted);
}

// Whether a comes before b on a disc: a mastering tool writes a folder's
// files one after another, in name order, and then its subfolders'.
// Takes the paths split at their slashes.
bool discOrderLess(const QStringList& x, const QStringList& y)
{
    for (qsizetype i = 0; i < x.size() && i < y.size(); ++i) {
        const bool xFile = i == x.size() - 1, yFile = i == y.size() - 1;
        if (xFile != yFile)
            return xFile;
        const int c = x[i].compare(y[i], Qt::CaseInsensitive);
        if (c != 0)
            return c < 0;
        if (x[i] != y[i])
            return x[i] < y[i];
    }
    return x.size() < y.size();
}

Listing listingOf(const QString& folder)
{
    std::vector<DirEntry> entries;
    int error = 0;
    if (!listFolder(folder, entries, error)) {
        switch (error) {
        case ENOENT:
        case ENOTDIR:
            throw Error(ErrNo::PathNotFound, QStringLiteral("Path not found: %1").arg(folder));
        case EACCES:
            throw Error(ErrNo::PathFileAccess, QStringLiteral("Path/File access error: %1").arg(folder));
        case ENAMETOOLONG:
            throw Error(ErrNo::BadFileName, QStringLiteral("Bad file name: the path is longer than the system allows: %1").arg(folder));
        default:
            throw Error(ErrNo::PathFileAccess,
                        QStringLiteral("Path/File access error: %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(error))));
        }
    }
    Listing l;
    for (DirEntry& e : entries) {
        if (e.isLink)
            l.links.insert(e.name);
        (e.isDir ? l.folders : l.files) << std::move(e.name);
    }
    sortNames(l.files);
    sortNames(l.folders);
    return l;
}

bool isInside(const QString& path, const QString& root)
{
    return path == root || path.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'));
}

bool exists(const QString& path)
{
    return ::access(encodeFileName(path).constData(), F_OK) == 0;
}

void writeMarker(const QString& folder)
{
    const int fd = ::open(encodeFileName(folder + QLatin1Char('/') + kMarker).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;  // a read-only medium: nothing to report
    QStringEncoder encoder(QStringEncoder::System);
    QByteArray line = encoder.encode(logDateTime(now()));
    line += "\r\n";
    const ssize_t written = ::write(fd, line.constData(), static_cast<size_t>(line.size()));
    Q_UNUSED(written);
    ::close(fd);
}

QString joinPath(const QString& base, const QString& name)
{
    if (base.endsWith(QLatin1Char('/')))
        return base + name;
    return base + QLatin1Char('/') + name;
}

// Whether two files hold the same bytes; false when either cannot be read.
bool sameBytes(const QString& a, const QString& b)
{
    QFile x(a), y(b);
    if (!x.open(QIODevice::ReadOnly) || !y.open(QIODevice::ReadOnly) || x.size() != y.size())
        return false;
    constexpr qint64 chunk = 1 << 20;
    for (;;) {
        const QByteArray p = x.read(chunk), q = y.read(chunk);
        if (p != q)
            return false;
        if (p.isEmpty())
            return x.atEnd() && y.atEnd();
    }
}

}  // namespace

struct ImportRun::Invocation {
    DcmImageList images;
    QString folderStudyUid;
    std::optional<Error> loadError;  // the image that failed to load, for its send
    bool identityGiven = false;      // the image has its new identity (a retry keeps it)
    bool identityRefused = false;    // its header cannot take the new identity
    QString folder;                  // of the scan: where its marker goes
};

ImportRun::ImportRun(RunView& view, FailurePrompt& prompt, std::function<QString()> newPatientId)
    : view_(view)
    , prompt_(prompt)
    , newPatientId_(std::move(newPatientId))
{
}

ImportRun::~ImportRun() = default;

QString ImportRun::summaryText(std::int32_t count)
{
    return tr("%1 images successfully imported!").arg(count);
}

void ImportRun::Run()
{
    const AppState& s = appState();
    ImportedCount = 0;
    logTrouble_.clear();
    cancelled_ = false;
    QString start = s.Location == 1 ? s.ImportDrive : s.ImportFolder;

    // A ZIP archive or disc image is the medium: the walk goes through its
    // members while they are extracted, and their folder goes with the run.
    ArchiveMedium::removeStale();
    struct ArchiveScope {
        ImportRun& run;
        ~ArchiveScope()
        {
            logNames = nullptr;
            run.archive_.reset();
        }
    } archiveScope {*this};
    if (s.Location != 1 && ArchiveMedium::isArchive(start)) {
        archive_ = std::make_unique<ArchiveMedium>(start);
        try {
            archive_->open([this] { keepAlive(); });
        } catch (const Error& e) {
            WriteErrorLog(e.number(), e.description(), QStringLiteral("ImportRun Archive"));
            view_.runFinished();
            MessageBox::show(e.description() + QLatin1Char(' ') + tr("Nothing was imported."), MessageBox::Icon::Error);
            return;
        }
        logNames = archive_.get();
        if (!archive_->encrypted().isEmpty()) {
            // the archive logged each of them
            MessageBox::show(tr("These files in %1 are encrypted and are not imported:\n%2")
                                 .arg(start, MessageBox::boundedList(archive_->encrypted())),
                             MessageBox::Icon::Warning);
        }
        // the DICOMDIR may lie in a folder of the archive, as on some media
        start = s.SearchBy == 1 ? archive_->dicomDirFolder() : archive_->root();
        if (s.SearchBy == 1)
            for (const QString& name : QDir(start).entryList({QStringLiteral("*DICOMDIR*")}, QDir::Files))
                awaitFile(joinPath(start, name));
    }

    {
        // the medium for the audit trail: a disc or volume by its label, else the path
        bool optical = false;
        if (s.Location == 1)
            for (const DriveEntry& d : driveTable().drives())
                if (d.designation.compare(s.ImportDrive.left(2), Qt::CaseInsensitive) == 0)
                    optical = d.optical;
        QString medium = archive_ ? s.ImportFolder : start;
        try {
            medium = archive_ ? medium : resolveFolder(start);
        } catch (const Error&) {
            // the walk says why it cannot start
        }
        audit_ = std::make_unique<ImportAudit>(audit::describeMedium(medium, s.Location == 1 && !archive_, optical));
    }
    if (s.SearchBy == 1) {
        SearchForDicomDir(start);
    } else {
        view_.stopAnimation();
        view_.setAnimationVisible(false);
        yield();
        view_.setBarVisible(RunView::Bar::Detail, true);
        view_.setBarVisible(RunView::Bar::Complete, false);
        ReadCdDirectory(start, s.ImportWithSubDirs);
    }
    // settings and logs with no place to be kept: said in the first run's summary
    static bool keepingTold = false;
    keepingTrouble_.clear();
    if (!keepingTold) {
        if (const std::optional<QString> trouble = keepingTrouble()) {
            keepingTrouble_ = *trouble;
            keepingTold = true;
        }
    }
    // a log line that could not be written is said once, in the run's last box
    if (const std::optional<LogTrouble> trouble = TakeLogTrouble())
        logTrouble_ = QStringLiteral("The logs could not be written: %1: %2.").arg(trouble->path, trouble->reason);
    view_.setStatus(QString());
    view_.runFinished();
    if (cancelled_)
        return;  // the operator chose to send nothing
    // An archive that broke off says why (its thread logged it), with what was sent before.
    if (const std::optional<Error> broken = archive_ ? archive_->failure() : std::nullopt) {
        archive_.reset();
        MessageBox::show(broken->description() + QLatin1Char('\n') + summary(), MessageBox::Icon::Error);
        return;
    }
    // A DICOMDIR that could not be used says why; every other run ends with
    // the count, what went wrong, and what each destination confirmed.
    if (s.SearchBy == 1 && ImportedCount == 0 && !problem_.isEmpty())
        MessageBox::show(logText(problem_) + (logTrouble_.isEmpty() ? QString() : QLatin1Char('\n') + logTrouble_),
                         MessageBox::Icon::Warning);
    else
    {
        const bool clean = summaryIsClean();
        const QString footer = summaryFooter ? summaryFooter(clean) : QString();
        MessageBox::show(summary() + (footer.isEmpty() ? QString() : QStringLiteral("\n\n") + footer),
                         clean ? MessageBox::Icon::Information : MessageBox::Icon::Warning);
    }
}

bool ImportRun::summaryIsClean() const
{
    return !endedAborted_ && failed_ == 0 && notChosen_ == 0 && identityRefused_.isEmpty() && !confirmLoss_ &&
        logTrouble_.isEmpty();
}

QString ImportRun::summary() const
{
    QStringList lines {summaryText(ImportedCount)};
    bool namesLog = false;
    if (endedAborted_)
        lines << tr("The import was aborted.");
    if (failed_ > 0) {
        lines << tr("%1 images could not be sent; the error log names them.").arg(failed_);
        namesLog = true;
    }
    if (notChosen_ > studyLeftOut_)
        lines << tr("%1 images were not sent: their patient was not chosen.").arg(notChosen_ - studyLeftOut_);
    if (studyLeftOut_ > 0)
        lines << tr("%1 images were not sent: their study was not chosen.").arg(studyLeftOut_);
    for (int d = 0; d < 2; ++d)
        if (alreadyHeld_[d] > 0 && d < holdings_.size())
            lines << tr("%1 images were already at %2 and were not sent again.").arg(alreadyHeld_[d]).arg(holdings_[d].aet);
    if (!identityRefused_.isEmpty()) {
        lines << tr("%1 images were not sent: they cannot take the new identity.").arg(identityRefused_.size());
        constexpr qsizetype named = 5;
        QStringList files = identityRefused_.mid(0, named);
        if (identityRefused_.size() > named)
            files << tr("and %1 more").arg(identityRefused_.size() - named);
        lines << QStringLiteral("    ") + files.join(QStringLiteral(", "));
    }
    lines << confirmationsShown_;
    if (!keepingTrouble_.isEmpty())
        lines << keepingTrouble_;
    namesLog = namesLog || confirmationsNameLog_;
    if (namesLog)
        lines << QDir::toNativeSeparators(logFolder() + QStringLiteral("/Error.log"));
    if (!logTrouble_.isEmpty())
        lines << logTrouble_;
    return lines.join(QLatin1Char('\n'));
}

void ImportRun::beginRun()
{
    running_ = true;
    stored_[0].clear();
    stored_[1].clear();
    commits_[0].reset();
    commits_[1].reset();
    pendingMarkers_.clear();
    confirmations_.clear();
    problem_.clear();
    seenPatientIds_.clear();
    sentInstances_.clear();
    identityRefused_.clear();
    found_ = sentEverywhere_ = failed_ = ignored_ = notChosen_ = listed_ = unreadable_ = 0;
    endedAborted_ = confirmLoss_ = confirmationsNameLog_ = false;
    endNote_.clear();
    progress_ = Progress();
    progress_.clock.start();
    medium_ = MediumPatients();
    checkPatients_ = false;
    holdings_.clear();
    studiesLeftOut_.clear();
    sendAgain_.clear();
    alreadyHeld_[0] = alreadyHeld_[1] = 0;
    studyLeftOut_ = 0;
    undeliveredFolders_.clear();
    Delivery::Hooks hooks;
    hooks.yield = [this] { yield(); };
    hooks.aborted = [this] { return AbortRequested; };
    hooks.abort = [this] { AbortRequested = true; };
    hooks.debug = [](const QString& line) { debugLine(line); };
    hooks.error = [this](std::int32_t number, const QString& text) {
        errorLine(number, text, appState().SearchBy == 1 ? kDicomDirSource : kScanSource);
    };
    hooks.logName = [](const QString& path) { return logText(path); };
    delivery_.reset();
    delivery_ = std::make_unique<Delivery>(deliveryDestinations(), prompt_, static_cast<DeliveryListener&>(*this), std::move(hooks));
}

void ImportRun::finishRun(const QString& source, Mode mode)
{
    running_ = false;
    drive_.stop();
    // every image handed over has its answer from every destination
    delivery_->finish();
    {
        const DeliveryCounts& c = delivery_->counts();
        sentEverywhere_ += c.sentEverywhere;
        failed_ += c.failed;
        ignored_ += c.ignored;
        alreadyHeld_[0] += c.alreadyHeld[0];
        alreadyHeld_[1] += c.alreadyHeld[1];
        found_ -= c.unsentAtAbort;  // handed over, never sent: as if the walk had not reached them
    }
    pendingMarkers_.erase(std::remove_if(pendingMarkers_.begin(), pendingMarkers_.end(),
                                         [&](const QString& f) { return undeliveredFolders_.contains(f); }),
                          pendingMarkers_.end());
    if (unreadable_ > UnreadableNamed)
        errorLine(DicomErrc::FileUnreadable,
                  QStringLiteral("%1 more files could not be read as DICOM images; they are not named here")
                      .arg(unreadable_ - UnreadableNamed),
                  kScanSource);
    endedAborted_ = AbortRequested && !cancelled_;
    // an archive's damaged members failed as images do (the archive logged
    // each); a DICOMDIR's record of one failed at its send already
    if (archive_ && mode == Mode::Scan) {
        const int damaged = static_cast<int>(archive_->damaged().size());
        found_ += damaged;
        failed_ += damaged;
    }
    if (!cancelled_)
        confirmations_ = confirmStored();
    if (audit_) {
        audit_->finish(endedAborted_ || cancelled_);
        audit_.reset();
    }
    // a folder is done when each of its images that was sent is confirmed
    // wherever the PACS could be asked
    // an archive is read-only, like a CD: its folders are never marked
    if (!archive_)
        for (const QString& folder : std::as_const(pendingMarkers_))
            writeMarker(folder);
    pendingMarkers_.clear();
    writeReceipt(source, mode);
}

QStringList ImportRun::confirmStored()
{
    QStringList lines;  // for the receipt, in English
    confirmationsShown_.clear();
    auto say = [&](const char* text, const QStringList& args) {
        QString english = QString::fromUtf8(text), shown = tr(text);
        for (const QString& a : args) {
            english = english.arg(a);
            shown = shown.arg(a);
        }
        lines << english;
        confirmationsShown_ << shown;
    };
    QSet<QString> unproven;  // folders with an image some PACS did not confirm
    const bool walkAborted = AbortRequested;
    bool waitAborted = false;
    for (int d = 0; d < 2; ++d) {
        const std::vector<StoredImage>& images = stored_[d];
        if (images.empty())
            continue;
        const DeliveryDestination& dest = delivery_->destinations()[static_cast<size_t>(d)];
        const QString ae = dest.name();
        // instances, not files: two files of one instance are one object at the PACS
        QSet<QString> instances;
        for (const StoredImage& i : images)
            instances.insert(i.instance.SOPInstanceUID);
        const int n = static_cast<int>(instances.size());
        view_.setLabel(tr("Waiting for %1 to confirm %2 images ...").arg(ae).arg(n));
        yield();
        AbortRequested = false;  // "Abort" from here on ends the wait
        DcmCommitResult result;
        if (dest.web) {
            std::vector<DcmStoredInstance> asked;
            for (const StoredImage& i : images)
                asked.push_back(i.instance);
            result = proveHeld(*dest.web, asked, ConfirmSeconds, [this] {
                yield();
                return !AbortRequested;
            });
        } else {
            if (!commits_[d])
                continue;  // cannot be: a session starts with the first image stored
            result = commits_[d]->Finish(ConfirmSeconds, [this] {
                yield();
                return !AbortRequested;
            });
            commits_[d].reset();
        }
        waitAborted = waitAborted || AbortRequested;
        const QString source = QStringLiteral("ImportRun Confirm");
        switch (result.outcome) {
        case DcmCommitResult::Outcome::Answered: {
            QHash<QString, const StoredImage*> byUid;
            for (const StoredImage& i : images)
                byUid.insert(i.instance.SOPInstanceUID, &i);
            QSet<QString> failed;
            for (const auto& [uid, reason] : result.failed) {
                const StoredImage* image = byUid.value(uid);
                if (!image || failed.contains(uid))
                    continue;
                failed.insert(uid);
                unproven.insert(image->folder);
                errorLine(ImportErrc::NotConfirmed,
                              QStringLiteral("%1 did not confirm %2 (SOP Instance UID %3): %4").arg(ae, image->path, uid, reason),
                              source);
            }
            const int confirmed = n - static_cast<int>(failed.size());
            if (confirmed < n)
                confirmLoss_ = confirmationsNameLog_ = true;
            if (confirmed == n)
                say(QT_TR_NOOP("%1 confirmed all %2 images."), {ae, QString::number(n)});
            else
                say(QT_TR_NOOP("%1 confirmed %2 of %3 images; the error log names the others."),
                    {ae, QString::number(confirmed), QString::number(n)});
            debugLine(QStringLiteral("%1 confirmed %2 of %3 images%4").arg(ae).arg(confirmed).arg(n)
                          .arg(result.byQuery ? QStringLiteral(" (by a query: it offers no storage commitment)") : QString()));
            break;
        }
        case DcmCommitResult::Outcome::NotOffered:
            // not an error of the import: many archives offer neither
            say(QT_TR_NOOP("%1 could not be asked to confirm."), {ae});
            debugLine(QStringLiteral("%1 could not be asked to confirm: %2").arg(ae, result.why));
            break;
        case DcmCommitResult::Outcome::NeedsListener:
            confirmLoss_ = true;
            say(QT_TR_NOOP("%1 could not confirm: it answers on an association of its own, and [DICOM] CommitPort is not set."),
                {ae});
            WriteErrorLog(ImportErrc::NotConfirmed, result.why, source);
            for (const StoredImage& i : images)
                unproven.insert(i.folder);
            break;
        case DcmCommitResult::Outcome::NoAnswer:
        case DcmCommitResult::Outcome::Aborted: {
            const bool aborted = result.outcome == DcmCommitResult::Outcome::Aborted;
            confirmLoss_ = true;
            if (aborted)
                say(QT_TR_NOOP("%1 did not answer before the wait was aborted."), {ae});
            else
                say(QT_TR_NOOP("%1 did not answer within %2 s."), {ae, QString::number(ConfirmSeconds)});
            WriteErrorLog(ImportErrc::NotConfirmed,
                          aborted ? QStringLiteral("The wait for %1 to confirm %2 images was aborted").arg(ae).arg(n)
                                  : result.why,
                          source);
            for (const StoredImage& i : images)
                unproven.insert(i.folder);
            break;
        }
        }
    }
    AbortRequested = walkAborted || waitAborted;  // the run's end says whether it was cut short
    pendingMarkers_.erase(std::remove_if(pendingMarkers_.begin(), pendingMarkers_.end(),
                                         [&](const QString& f) { return unproven.contains(f); }),
                          pendingMarkers_.end());
    return lines;
}

void ImportRun::writeReceipt(const QString& source, Mode mode) const
{
    const AppState& s = appState();
    QStringList patients;
    for (const MediumPatient& p : medium_.list())
        patients << QStringLiteral("%1 (%2)").arg(p.patient.PatientName, p.patient.PatientID);
    if (patients.isEmpty())
        for (const QString& id : seenPatientIds_)
            patients << QStringLiteral("ID ") + id;
    QString identity = QStringLiteral("unchanged");
    if (checkPatients_) {
        identity = identity_.picked ? describePatient(identity_.patient) : QStringLiteral("ID ") + identity_.patient.PatientID;
        if (!identity_.picked && !identity_.patient.IssuerOfPatientID.isEmpty())
            identity += QStringLiteral(" of ") + identity_.patient.IssuerOfPatientID;
    }
    Receipt r;
    r.source = logText(source);
    r.dicomDir = mode == Mode::DicomDir;
    r.patients = patients.join(QStringLiteral("; "));
    r.identity = identity;
    r.end = cancelled_ ? QStringLiteral("cancelled")
        : !endNote_.isEmpty() ? endNote_
        : endedAborted_ ? QStringLiteral("aborted")
                        : QStringLiteral("complete");
    // what the medium holds: a DICOMDIR's records, a scan's survey, else as far as the walk went
    r.found = found_;
    if (mode == Mode::DicomDir)
        r.found = std::max(r.found, listed_);
    else
        r.found = std::max(r.found, static_cast<int>(surveyed_.size()));
    r.sent = sentEverywhere_;
    r.failed = failed_;
    r.ignored = ignored_;
    r.notChosen = notChosen_;
    r.noIdentity = static_cast<int>(identityRefused_.size());
    QStringList aes {s.RemoteAET.trimmed(), s.RemoteAET2.trimmed()};
    if (delivery_)
        for (const DeliveryDestination& d : delivery_->destinations())
            aes[d.number - 1] = d.name();
    int line = 0;
    for (int d = 0; d < (s.UseDestination2 ? 2 : 1); ++d) {
        QString column = stored_[d].empty() ? QStringLiteral("%1 stored nothing.").arg(aes[d]) : confirmations_.value(line++);
        if (alreadyHeld_[d] > 0)
            column += QStringLiteral(" %1 images were already there.").arg(alreadyHeld_[d]);
        if (d < holdings_.size() && !holdings_[d].asked)
            column += QStringLiteral(" It could not be asked what it held: %1.").arg(holdings_[d].why);
        r.destinations << column.trimmed();
    }
    varnelo::writeReceipt(r);
}

bool ImportRun::startIdentity()
{
    const AppState& s = appState();
    cancelled_ = false;
    medium_ = MediumPatients();
    chosen_.clear();
    surveyed_.clear();
    identity_ = NewIdentity();
    const QString newId = newPatientId_ ? newPatientId_() : QString();
    checkPatients_ = s.ChangeID && !newId.isEmpty();
    if (!checkPatients_)
        return true;
    // the pick counts only while the box still holds its ID
    if (const std::optional<DcmPatient> picked = pickedPatient ? pickedPatient() : std::nullopt;
        picked && picked->PatientID == newId) {
        identity_.patient = *picked;
        identity_.picked = true;
    } else {
        // a typed ID is this site's own: it says who issued it
        identity_.patient.IssuerOfPatientID = s.IssuerOfPatientID.trimmed();
    }
    identity_.patient.PatientID = newId;
    // nothing that a PACS would refuse or misread leaves the station
    const QList<IdentityProblem> problems = identityProblems(identity_.patient);
    if (problems.isEmpty())
        return true;
    const QString why = describeProblems(problems);
    WriteErrorLog(ImportErrc::InvalidIdentity, QStringLiteral("The new identity does not fit: ") + why.split(QLatin1Char('\n')).join(QStringLiteral("; ")),
                  QStringLiteral("ImportRun Identity"));
    view_.runFinished();
    MessageBox::show(tr("The new identity cannot be given to the images:\n%1\nNothing was imported.").arg(why),
                     MessageBox::Icon::Error);
    cancelled_ = true;
    return false;
}

bool ImportRun::choosePatients()
{
    chosen_.clear();
    const QList<MediumPatient>& patients = medium_.list();
    // several patients or a pick that differs matter only under a new identity
    bool ask = checkPatients_ && needsChoice(medium_, identity_);
    for (const auto& [index, study] : medium_.allStudies())
        ask = ask || worstState(holdings_, study->uid) != HeldState::New;
    MediumChoice choice = defaultChoice(medium_, holdings_);
    if (ask) {
        std::optional<MediumChoice> answer;
        if (patientsPrompt)
            answer = patientsPrompt->chooseContents(medium_, identity_, holdings_);
        if (!answer || answer->patients.size() != patients.size()) {
            cancelled_ = true;
            debugLine(QStringLiteral("What is on this medium: cancelled, nothing is sent"));
            return false;
        }
        choice = *answer;
    }
    const QList<bool>& ticks = choice.patients;
    studiesLeftOut_ = choice.studiesLeftOut;
    sendAgain_ = choice.sendAgain;
    for (const QString& uid : std::as_const(studiesLeftOut_))
        debugLine(QStringLiteral("Study %1: not chosen, not sent").arg(uid));
    for (const QString& uid : std::as_const(sendAgain_))
        debugLine(QStringLiteral("Study %1: sent again where it is held already").arg(uid));
    for (qsizetype i = 0; i < patients.size(); ++i) {
        if (ticks[i])
            chosen_.insert(patients[i].key);
        debugLine(QStringLiteral("Patient on this medium: %1 (%2 studies, %3 images)%4")
                      .arg(describePatient(patients[i].patient))
                      .arg(patients[i].studyCount)
                      .arg(patients[i].images)
                      .arg(ticks[i] ? QString() : QStringLiteral(": not chosen, not sent")));
    }
    return true;
}

void ImportRun::checkImagePatient(const DcmPatient& patient, const QString& path) const
{
    bool chosen = false, other = false;
    for (const MediumPatient& p : medium_.list())
        if (samePatient(patient, p.patient))
            (chosen_.contains(p.key) ? chosen : other) = true;
    if (chosen && !other)
        return;
    const QString who = describePatient(patient);
    QString why;
    if (other && chosen)
        why = QStringLiteral("matches both a patient chosen for this import and one not chosen");
    else if (other)
        why = QStringLiteral("is a patient not chosen for this import");
    else
        why = QStringLiteral("is not among the patients found on this medium before the import (its DICOMDIR or the "
                             "file says otherwise)");
    throw Error(ImportErrc::PatientNotChosen,
                QStringLiteral("%1 is not sent under the new identity: its header names %2, who %3").arg(path, who, why));
}

void ImportRun::askHoldings()
{
    const AppState& s = appState();
    holdings_.clear();
    alreadyHeld_[0] = alreadyHeld_[1] = 0;
    if (!s.AskHeld || medium_.allStudies().isEmpty())
        return;
    QList<HoldingsDestination> destinations;
    for (const DeliveryDestination& d : delivery_->destinations())
        destinations << HoldingsDestination {d.host.trimmed(), d.port, d.web ? d.name() : d.calledAE, d.callingAE, d.tls, d.web};
    view_.setLabel(tr("Asking the PACS what it already holds..."));
    const CarriedIdentity carried = [this](qsizetype index) {
        DcmPatient p = checkPatients_ ? identity_.patient : medium_.list().value(index).patient;
        return p;
    };
    QElapsedTimer clock;
    clock.start();
    holdings_ = varnelo::askHoldings(medium_, carried, destinations, HoldingsSeconds, [this] {
        yield();
        return !AbortRequested;
    });
    // the audit trail records what was asked of each, answered or not
    QStringList studies;
    for (const auto& [index, study] : medium_.allStudies()) {
        Q_UNUSED(index);
        studies << study->uid;
    }
    DcmDataset identifier;
    DcmAttributeList keys = identifier.Attributes();
    keys.AddAttribute(0x0008, 0x0052, QStringLiteral("STUDY"));
    keys.AddAttribute(0x0010, 0x0010, QString());
    keys.AddAttribute(0x0010, 0x0020, QString());
    keys.AddAttribute(0x0010, 0x0021, QString());
    keys.AddAttribute(0x0020, 0x000D, studies.join(QLatin1Char('\\')));
    keys.AddAttribute(0x0020, 0x1208, QString());
    const QByteArray asked = identifier.Encoded();
    for (qsizetype i = 0; i < holdings_.size() && i < destinations.size(); ++i)
        auditQuery({{destinations[i].calledAE.trimmed(), destinations[i].host}, QStringLiteral("1.2.840.10008.5.1.4.1.2.2.1"),
                    asked, QStringLiteral("1.2.840.10008.1.2.1")},
                   holdings_[i].asked ? audit::Outcome::Success : audit::Outcome::SeriousFailure);
    for (const DestinationHoldings& d : std::as_const(holdings_)) {
        if (!d.asked) {
            debugLine(QStringLiteral("%1 could not be asked what it holds: %2").arg(d.aet, d.why));
            continue;
        }
        int held = 0;
        for (auto it = d.studies.cbegin(); it != d.studies.cend(); ++it) {
            const StudyAtDestination& st = it.value();
            held += st.held;
            if (st.state == HeldState::OtherPatient)
                errorLine(ImportErrc::HeldUnderOtherPatient,
                          QStringLiteral("%1 holds study %2 under another patient: %3").arg(d.aet, it.key(), describePatient(st.atPacs)),
                          QStringLiteral("ImportRun Holdings"));
        }
        debugLine(QStringLiteral("%1 holds %2 of the medium's images (%3 studies asked, %4 ms)")
                      .arg(d.aet)
                      .arg(held)
                      .arg(d.studies.size())
                      .arg(clock.elapsed()));
    }
}

bool ImportRun::heldAt(int d, const QString& study, const QString& instance) const
{
    if (instance.isEmpty() || d < 1 || d > holdings_.size() || sendAgain_.contains(study))
        return false;
    return holdings_[d - 1].instances.contains(instance);
}

bool ImportRun::passOverHeld(const QString& path, const QString& study, const QString& instance)
{
    const int destinations = appState().UseDestination2 ? 2 : 1;
    for (int d = 1; d <= destinations; ++d)
        if (!heldAt(d, study, instance))
            return false;
    ++found_;
    for (int d = 1; d <= destinations; ++d) {
        ++alreadyHeld_[d - 1];
        debugLine(QStringLiteral("Not sent again: %1 (SOP Instance UID %2) is already at %3").arg(path, instance, holdings_[d - 1].aet));
    }
    return true;
}

bool ImportRun::awaitFile(const QString& path)
{
    if (!archive_)
        return true;
    for (;;) {
        switch (archive_->waitFor(path, 50)) {
        case ArchiveMedium::State::Ready:
            return true;
        case ArchiveMedium::State::Missing:
            if (archive_->failure())
                AbortRequested = true;  // nothing more will come
            return false;
        case ArchiveMedium::State::Pending:
            yield();
            if (AbortRequested)
                return false;
            break;
        }
    }
}

void ImportRun::surveyFile(const QString& path)
{
    if (!awaitFile(path))
        return;
    struct stat st {};
    if (::stat(encodeFileName(path).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        const QPair<quint64, quint64> id(st.st_dev, st.st_ino);
        if (taken_.contains(id))
            return;
        taken_.insert(id);
    }
    try {
        const DcmHeader header = DcmUtility::ReadHeader(path);
        if (!header.IsInstance)
            return;
        surveyed_.insert(path, {medium_.addImage(header), header.Study.StudyInstanceUID, header.SOPInstanceUID});
    } catch (const std::exception&) {
        // the send reads the file again and reports it
    }
}

void ImportRun::fillFromFirstImage(DcmPatient& patient, const DcmDatasetList& studies, ReferencedFiles& files)
{
    // A patient record need not carry birth date, sex or issuer (dcmmkdir
    // writes neither): the first image's header says what it leaves out, so
    // that the choice and the comparison with a pick see them. One file per
    // patient; every image is still compared when it is sent.
    QString first;
    try {
        for (std::int32_t st = 1; st <= studies.Count() && first.isEmpty(); ++st) {
            const DcmDatasetList seriesList = studies.ItemAt(st).Children();
            for (std::int32_t se = 1; se <= seriesList.Count() && first.isEmpty(); ++se) {
                const DcmDatasetList images = seriesList.ItemAt(se).Children();
                for (std::int32_t im = 1; im <= images.Count() && first.isEmpty(); ++im) {
                    try {
                        const QVariant id = images.ItemAt(im).Attributes().ByTag(0x0004, 0x1500).Value();
                        if (!id.isNull())
                            first = files.path(id.typeId() == QMetaType::QStringList ? id.toStringList()
                                                                                      : QStringList {id.toString()});
                    } catch (const Error&) {
                        // a record in error: the next one may do
                    }
                }
            }
        }
    } catch (const Error&) {
        return;
    }
    if (first.isEmpty() || !awaitFile(first))
        return;
    try {
        const DcmPatient image = DcmUtility::ReadHeader(first).Patient;
        // a file that names someone else is refused when its turn comes
        if (image.PatientID.trimmed() != patient.PatientID.trimmed() || !samePatient(image, patient))
            return;
        fillUnknown(patient, image);
    } catch (const std::exception&) {
        // the send reads the file again and reports it
    }
}

// A drive designation ("D:") stands for the drive's mount point.
QString ImportRun::resolveFolder(const QString& folder) const
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:$"));
    if (drive.match(folder).hasMatch()) {
        const QString mount = driveTable().startFolder(folder);
        if (mount.isEmpty())
            throw Error(ErrNo::DiskNotReady, QStringLiteral("Disk not ready: %1").arg(folder));
        return mount;
    }
    if (folder.isEmpty())
        throw Error(ErrNo::PathNotFound, QStringLiteral("Path not found: no folder given"));
    return folder;
}

void writeStoppedLaunchReceipt(const QString& source, bool dicomDir, const QString& reason)
{
    Receipt r;
    r.source = source;
    r.dicomDir = dicomDir;
    r.end = QStringLiteral("stopped at launch: ") + reason;
    writeReceipt(r);
}

bool suffixMatches(const QString& fileName, const QString& suffix)
{
    if (suffix.isEmpty())
        return true;
    return fileName.right(suffix.size()).toUpper() == suffix.toUpper();
}

void ImportRun::ReadCdDirectory(const QString& folder, bool withSubDirs)
{
    const bool top = scanRoot_.isEmpty();
    try {
        if (top) {
            beginRun();
            taken_.clear();
            // links may lead anywhere below the start folder, never out of it
            scanRoot_ = realPathOf(resolveFolder(folder));
            if (scanRoot_.isEmpty())
                scanRoot_ = QStringLiteral("/nonexistent");  // the listing reports it
            if (!startIdentity()) {
                scanRoot_.clear();
                finishRun(folder, Mode::Scan);
                return;
            }
            if (checkPatients_ || appState().AskHeld) {
                // what is on the medium, and what the destinations hold of it, before anything is sent
                view_.setLabel(tr("Reading the medium..."));
                surveying_ = true;
                try {
                    readFolder(folder, withSubDirs);
                } catch (...) {
                    surveying_ = false;  // no pass will follow to say it
                    throw;
                }
                surveying_ = false;
                if (!AbortRequested)
                    askHoldings();
                view_.setLabel(tr("Searching for DICOM Files, please wait ..."));
                visited_.clear();
                taken_.clear();
                if (AbortRequested || !choosePatients()) {
                    scanRoot_.clear();
                    finishRun(folder, Mode::Scan);
                    return;
                }
                progress_.total = static_cast<int>(
                    std::count_if(surveyed_.cbegin(), surveyed_.cend(), [&](const SurveyedFile& f) {
                        return chosen_.contains(f.patientKey) && !studiesLeftOut_.contains(f.study);
                    }));
            }
        }
        readFolder(folder, withSubDirs);
    } catch (const Error& e) {
        if (!surveying_)  // said once, by the pass that sends
            errorLine(e.number(), e.description(), kScanFolderSource);
    } catch (const std::exception& e) {
        if (!surveying_)
            WriteErrorLog(ErrNo::PathFileAccess, QString::fromLocal8Bit(e.what()), kScanFolderSource);
    }
    if (top) {
        scanRoot_.clear();
        surveying_ = false;
        finishRun(folder, Mode::Scan);
    }
}

// A symbolic link is followed only when it stays below the start folder.
bool ImportRun::staysInside(const QString& path)
{
    const QString real = realPathOf(path);
    if (real.isEmpty() || isInside(real, scanRoot_))
        return true;  // a dangling link fails to load and says so
    if (!surveying_)  // said once, by the pass that sends
        errorLine(ErrNo::PathFileAccess,
                  QStringLiteral("Path/File access error: %1 is a link that leads outside %2 (to %3); it is not followed")
                      .arg(path, scanRoot_, real),
                  kScanSource);
    return false;
}

void ImportRun::readFolder(const QString& folderIn, bool withSubDirs)
{
    const AppState& s = appState();
    view_.setBarValue(RunView::Bar::Detail, 0);

    const QString folder = resolveFolder(folderIn);
    const QString canonical = realPathOf(folder);
    if (!canonical.isEmpty()) {
        if (visited_.contains(canonical))
            return;  // reached again through a link: walked already
        visited_.insert(canonical);
    }

    Listing listing = listingOf(folder);
    keepAlive();
    if (archive_) {
        // an archive's members come in the order they are extracted; each
        // member's place looked up once, a folder may hold 100,000
        std::vector<std::pair<unsigned, qsizetype>> places;
        places.reserve(static_cast<size_t>(listing.files.size()));
        for (qsizetype i = 0; i < listing.files.size(); ++i) {
            places.emplace_back(static_cast<unsigned>(archive_->orderOf(joinPath(folder, listing.files[i]))), i);
            if (i % 1024 == 0)
                keepAlive();
        }
        std::stable_sort(places.begin(), places.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        QStringList ordered;
        ordered.reserve(listing.files.size());
        for (const auto& p : places)
            ordered << listing.files[p.second];
        listing.files = std::move(ordered);
    }
    const QStringList& files = listing.files;
    if (!files.isEmpty()) {
        view_.setBarMaximum(RunView::Bar::Detail, static_cast<std::int32_t>(files.size()));
        const bool marked = writeLog() && exists(joinPath(folder, kMarker));
        if (!marked && surveying_) {
            // the drive reads the folder in its order while the headers are read:
            // it never waits for this thread, and the sending pass finds the
            // files in the page cache
            QStringList upcoming;
            std::vector<qsizetype> order(static_cast<size_t>(files.size()), -1);
            for (qsizetype i = 0; i < files.size(); ++i)
                if (suffixMatches(files[i], s.FileSuffix) && !listing.links.contains(files[i])) {
                    order[static_cast<size_t>(i)] = upcoming.size();
                    upcoming << joinPath(folder, files[i]);
                }
            const bool ahead = DriveReadAhead::worthwhileFor(folder);
            if (ahead)
                drive_.start(upcoming);
            for (qsizetype i = 0; i < files.size() && !AbortRequested; ++i) {
                if (suffixMatches(files[i], s.FileSuffix) &&
                    (!listing.links.contains(files[i]) || staysInside(joinPath(folder, files[i])))) {
                    if (ahead && order[static_cast<size_t>(i)] >= 0) {
                        drive_.consumed(order[static_cast<size_t>(i)] - 1);
                        if (!awaitDrive(order[static_cast<size_t>(i)]))
                            break;
                    }
                    surveyFile(joinPath(folder, files[i]));
                }
                view_.setBarValue(RunView::Bar::Detail, view_.barValue(RunView::Bar::Detail) + 1);
                keepAlive();
            }
            drive_.stop();
        } else if (!marked) {
            ++progress_.folders;
            Invocation inv;
            inv.folder = folder;
            inv.folderStudyUid = DcmUtility::NewUID();
            auto taken = [&](qsizetype i) {
                return suffixMatches(files[i], s.FileSuffix) &&
                    (!listing.links.contains(files[i]) || staysInside(joinPath(folder, files[i])));
            };
            // the drive reads the folder's files in their order while they are sent
            QStringList upcoming;
            std::vector<qsizetype> order(static_cast<size_t>(files.size()), -1);
            for (qsizetype i = 0; i < files.size(); ++i) {
                if (suffixMatches(files[i], s.FileSuffix) && !listing.links.contains(files[i])) {
                    order[static_cast<size_t>(i)] = upcoming.size();
                    upcoming << joinPath(folder, files[i]);
                }
                if (i % 1024 == 1023)
                    keepAlive();
            }
            if (DriveReadAhead::worthwhileFor(folder))
                drive_.start(upcoming);
            else
                drive_.stop();
            qsizetype ahead = 0;  // no taken file lies between the current one and this index
            for (qsizetype i = 0; i < files.size(); ++i) {
                const QString& file = files[i];
                if (order[static_cast<size_t>(i)] >= 0)
                    drive_.consumed(order[static_cast<size_t>(i)] - 1);
                if (taken(i)) {
                    // the next taken file loads while this one is sent
                    ahead = std::max(ahead, i + 1);
                    while (ahead < files.size() &&
                           (!suffixMatches(files[ahead], s.FileSuffix) || listing.links.contains(files[ahead])))
                        ++ahead;
                    // only what the drive has read already: a load on this
                    // thread must never wait for the drive
                    if (ahead < files.size() && drive_.waitUntilRead(order[static_cast<size_t>(ahead)], 0))
                        inv.images.Prefetch(joinPath(folder, files[ahead]));
                    if (!awaitDrive(order[static_cast<size_t>(i)]))
                        break;
                    TransferImage(joinPath(folder, file), Mode::Scan, inv);
                }
                view_.setBarValue(RunView::Bar::Detail, view_.barValue(RunView::Bar::Detail) + 1);
                inv.images.Clear();
                // files passed over cost no yield of their own: the window still gets its turns
                keepAlive();
                if (AbortRequested)
                    break;
            }
            inv.images.CancelReadAhead();
            delivery_->folderDone();
        }
    }

    if (withSubDirs && !AbortRequested) {
        for (const QString& sub : listing.folders) {
            if (AbortRequested)
                break;
            const QString path = joinPath(folder, sub);
            if (listing.links.contains(sub) && !staysInside(path))
                continue;
            ReadCdDirectory(path, withSubDirs);
            if (AbortRequested)
                break;
        }
    }

    // The marker says the folder is done: not after a walk cut short, and
    // not while an image of it has not reached every destination, so that a
    // later run still sends what is left.
    if (writeLog() && !AbortRequested && !surveying_)
        pendingMarkers_ << folder;
}

void ImportRun::yield()
{
    view_.yield();
    ++yields_;
    sinceYield_.restart();
}

void ImportRun::keepAlive()
{
    // a file that was sent yielded on its way; one passed over did not
    const bool quiet = yields_ == yieldsAtKeepAlive_;
    if (quiet && (!sinceYield_.isValid() || sinceYield_.elapsed() >= 20))
        yield();
    yieldsAtKeepAlive_ = yields_;
}

bool ImportRun::awaitDrive(qsizetype index)
{
    while (!drive_.waitUntilRead(index, 20)) {
        yield();
        if (AbortRequested)
            return false;
    }
    return !AbortRequested;
}

void ImportRun::SearchForDicomDir(const QString& folder)
{
    view_.setLabel(tr("Searching for DICOMDir, please wait ..."));
    taken_.clear();
    beginRun();
    problem_ = tr("No DICOMDIR was found in %1. Nothing was imported.").arg(folder);
    try {
        const QString start = resolveFolder(folder);
        const QStringList files = listingOf(start).files;
        for (const QString& file : files) {
            yield();
            if (file.toUpper().contains(QLatin1String("DICOMDIR"))) {
                problem_.clear();
                appState().DicomDirPath = QFileInfo(joinPath(start, file)).absoluteFilePath();
                view_.setLabel(tr("DICOMDir found ... importing images"));
                view_.stopAnimation();
                view_.setAnimationVisible(false);
                view_.setBarVisible(RunView::Bar::Detail, true);
                view_.setBarVisible(RunView::Bar::Complete, true);
                ReadDicomDir();
                break;
            }
        }
    } catch (const Error& e) {
        // the display stays as it is
        problem_ = tr("%1 could not be searched for a DICOMDIR: %2. Nothing was imported.").arg(folder, e.description());
        finishRun(folder, Mode::DicomDir);
        return;
    } catch (...) {
        problem_ = tr("%1 could not be searched for a DICOMDIR. Nothing was imported.").arg(folder);
        finishRun(folder, Mode::DicomDir);
        return;
    }
    view_.setBarVisible(RunView::Bar::Detail, false);
    view_.setBarVisible(RunView::Bar::Complete, false);
    view_.setAnimationVisible(true);
    view_.startAnimation();
    finishRun(folder, Mode::DicomDir);
}

void ImportRun::ReadDicomDir()
{
    const QString dicomDirPath = appState().DicomDirPath;
    const QString base = QFileInfo(dicomDirPath).path();
    const bool top = !running_;
    if (top)
        beginRun();
    view_.setBusyCursor(true);
    try {
        DcmDatasetList reader;
        const DcmDataset dir = reader.ReadFile(dicomDirPath);
        yield();  // a DICOMDIR of many thousand records takes a while to read, and to count
        ReferencedFiles files(base);
        Invocation inv;
        const DcmDatasetList patients = dir.DirectoryRecords();
        // Who is on the medium, from the records (they cost no image read);
        // with a new identity, the operator may have to choose.
        if (!startIdentity()) {
            view_.setBusyCursor(false);
            if (top)
                finishRun(dicomDirPath, Mode::DicomDir);
            return;
        }
        std::vector<bool> recordChosen(static_cast<size_t>(patients.Count()) + 1, true);
        std::vector<std::int32_t> recordImages(recordChosen.size(), 0);
        std::vector<QString> recordNames(recordChosen.size());
        {
            std::vector<QString> keys(recordChosen.size());
            for (std::int32_t p = 1; p <= patients.Count(); ++p) {
                try {
                    const DcmDataset record = patients.ItemAt(p);
                    const DcmDatasetList studies = record.Children();
                    const QList<MediumStudy> studyList = studiesOfRecords(studies);
                    std::int32_t images = 0;
                    for (const MediumStudy& study : studyList)
                        images += study.images;
                    DcmPatient patient = record.Patient();
                    // one header per patient says what its record leaves out (a seek of the drive)
                    if (appState().AskHeld || (checkPatients_ && (identity_.picked || patients.Count() > 1))) {
                        view_.setLabel(tr("Reading the medium..."));
                        fillFromFirstImage(patient, studies, files);
                        yield();
                    }
                    recordImages[static_cast<size_t>(p)] = images;
                    recordNames[static_cast<size_t>(p)] = patient.PatientName;
                    keys[static_cast<size_t>(p)] = medium_.addRecord(patient, studyList);
                } catch (const Error&) {
                    // the walk reports the record; its images are checked one by one
                }
            }
            view_.setLabel(tr("DICOMDir found ... importing images"));
            yield();
            std::int32_t listed = 0;
            for (const MediumPatient& p : medium_.list())
                listed += p.images;
            listed_ = listed;
            if (listed == 0)
                problem_ = tr("The DICOMDIR %1 lists no images. Nothing was imported.").arg(dicomDirPath);
            if (!AbortRequested && listed > 0)
                askHoldings();
            if (!AbortRequested && !choosePatients()) {
                view_.setBusyCursor(false);
                if (top)
                    finishRun(dicomDirPath, Mode::DicomDir);
                return;
            }
            for (size_t p = 1; p < keys.size(); ++p) {
                recordChosen[p] = keys[p].isNull() || chosen_.contains(keys[p]);
                if (recordChosen[p])
                    progress_.total += recordImages[p];
            }
            for (const QString& uid : std::as_const(studiesLeftOut_))
                if (const MediumStudy* study = medium_.study(uid))
                    progress_.total -= study->images;
        }
        // Each record's file, found once per pass. A series' images go in
        // the order their files lie on the disc, whatever order the records
        // list them in: the drive's head then moves at most once per series.
        // A record in error keeps its place and says so when its turn comes.
        using Resolved = std::variant<QString, Error>;
        auto inDiscOrder = [&](const DcmDatasetList& images) {
            std::vector<std::pair<std::int32_t, Resolved>> out;
            for (std::int32_t im = 1; im <= images.Count(); ++im) {
                if (im % 256 == 0)
                    yield();  // a series of many thousand records takes a while
                try {
                    const QVariant id = images.ItemAt(im).Attributes().ByTag(0x0004, 0x1500).Value();
                    if (id.isNull())
                        throw Error(DicomErrc::InvalidValue, QStringLiteral("Referenced File ID is empty"));
                    out.emplace_back(im, files.path(id.typeId() == QMetaType::QStringList ? id.toStringList()
                                                                                          : QStringList {id.toString()}));
                } catch (const Error& e) {
                    out.emplace_back(im, e);
                }
            }
            // the files change places among themselves; a record in error keeps its own
            std::vector<size_t> places;
            std::vector<std::pair<std::int32_t, Resolved>> found;
            for (size_t i = 0; i < out.size(); ++i)
                if (std::holds_alternative<QString>(out[i].second)) {
                    places.push_back(i);
                    found.push_back(out[i]);
                }
            // each key found once: a series may hold many thousand files
            std::vector<unsigned> extracted;  // an archive's members in the order they are extracted
            std::vector<QStringList> parts;
            for (const auto& f : found) {
                const QString& path = std::get<QString>(f.second);
                if (archive_)
                    extracted.push_back(static_cast<unsigned>(archive_->orderOf(path)));
                else
                    parts.push_back(path.split(QLatin1Char('/')));
            }
            std::vector<size_t> sorted(found.size());
            std::iota(sorted.begin(), sorted.end(), size_t {0});
            std::stable_sort(sorted.begin(), sorted.end(), [&](size_t a, size_t b) {
                return archive_ ? extracted[a] < extracted[b] : discOrderLess(parts[a], parts[b]);
            });
            for (size_t i = 0; i < places.size(); ++i)
                out[places[i]] = std::move(found[sorted[i]]);
            return out;
        };
        // The files to send, in the order they are sent, for the drive to
        // read while the one before is on its way.
        QHash<QString, qsizetype> upcomingIndex;
        // each series' order, found once: by patient, study and series record
        std::map<std::tuple<std::int32_t, std::int32_t, std::int32_t>, std::vector<std::pair<std::int32_t, Resolved>>> orders;
        {
            QStringList upcoming;
            for (std::int32_t p = 1; p <= patients.Count(); ++p) {
                if (!recordChosen[static_cast<size_t>(p)])
                    continue;
                try {
                    const DcmDatasetList studies = patients.ItemAt(p).Children();
                    for (std::int32_t st = 1; st <= studies.Count(); ++st) {
                        if (studiesLeftOut_.contains(studies.ItemAt(st).StudyValues().StudyInstanceUID))
                            continue;
                        const DcmDatasetList seriesList = studies.ItemAt(st).Children();
                        for (std::int32_t se = 1; se <= seriesList.Count() && !AbortRequested; ++se) {
                            auto& order = orders[{p, st, se}] = inDiscOrder(seriesList.ItemAt(se).Children());
                            for (const auto& entry : order)
                                if (const QString* path = std::get_if<QString>(&entry.second); path && !upcomingIndex.contains(*path)) {
                                    upcomingIndex.insert(*path, upcoming.size());
                                    upcoming << *path;
                                }
                        }
                    }
                } catch (const Error&) {
                    // the walk reports it
                }
            }
            if (DriveReadAhead::worthwhileFor(base))
                drive_.start(upcoming);
            else
                drive_.stop();
        }
        for (std::int32_t p = 1; p <= patients.Count() && !AbortRequested; ++p) {
            yield();
            const bool chosen = recordChosen[static_cast<size_t>(p)];
            progress_.patient = recordNames[static_cast<size_t>(p)];
            try {
                const DcmDatasetList studies = patients.ItemAt(p).Children();
                for (std::int32_t st = 1; st <= studies.Count() && !AbortRequested; ++st) {
                    yield();
                    try {
                        const QString studyUid = studies.ItemAt(st).StudyValues().StudyInstanceUID;
                        const bool studyLeftOut = studiesLeftOut_.contains(studyUid);
                        const DcmDatasetList seriesList = studies.ItemAt(st).Children();
                        view_.setBarValue(RunView::Bar::Complete, 0);
                        view_.setBarMaximum(RunView::Bar::Complete, seriesList.Count());
                        for (std::int32_t se = 1; se <= seriesList.Count() && !AbortRequested; ++se) {
                            yield();
                            try {
                                const DcmDatasetList images = seriesList.ItemAt(se).Children();
                                view_.setBarValue(RunView::Bar::Detail, 0);
                                view_.setBarMaximum(RunView::Bar::Detail, images.Count());
                                const auto known = orders.find({p, st, se});
                                const auto order = known != orders.end() ? std::move(known->second) : inDiscOrder(images);
                                for (size_t k = 0; k < order.size(); ++k) {
                                    const Resolved& current = order[k].second;
                                    const QString* following = k + 1 < order.size() ? std::get_if<QString>(&order[k + 1].second) : nullptr;
                                    try {
                                        if (const Error* e = std::get_if<Error>(&current))
                                            throw *e;
                                        if (!chosen || studyLeftOut) {
                                            ++found_;
                                            ++notChosen_;
                                            studyLeftOut_ += chosen ? 1 : 0;
                                            debugLine(QStringLiteral("Not sent: %1: %2 was not chosen for this import")
                                                          .arg(std::get<QString>(current),
                                                               chosen ? QStringLiteral("its study") : QStringLiteral("the patient")));
                                        } else if (passOverHeld(std::get<QString>(current), studyUid,
                                                                images.ItemAt(order[k].first)
                                                                    .Attributes()
                                                                    .ByTag(0x0004, 0x1511)
                                                                    .Value()
                                                                    .toString()
                                                                    .trimmed())) {
                                            // every destination holds it: not read, not sent
                                        } else {
                                            const qsizetype at = upcomingIndex.value(std::get<QString>(current), -1);
                                            if (at >= 0)
                                                drive_.consumed(at - 1);
                                            if (following && drive_.waitUntilRead(upcomingIndex.value(*following, -1), 0))
                                                inv.images.Prefetch(*following);
                                            if (!awaitDrive(at))
                                                break;
                                            TransferImage(std::get<QString>(current), Mode::DicomDir, inv);
                                        }
                                    } catch (const Error& e) {
                                        // this record sends nothing; the walk goes on
                                        errorLine(e.number(), e.description(), kDicomDirSource);
                                    }
                                    view_.setBarValue(RunView::Bar::Detail, view_.barValue(RunView::Bar::Detail) + 1);
                                    inv.images.Clear();
                                    if (AbortRequested)
                                        break;
                                }
                            } catch (const Error& e) {
                                errorLine(e.number(), e.description(), kDicomDirSource);
                            }
                            if (AbortRequested)
                                break;
                            if (view_.barValue(RunView::Bar::Complete) < view_.barMaximum(RunView::Bar::Complete))
                                view_.setBarValue(RunView::Bar::Complete, view_.barValue(RunView::Bar::Complete) + 1);
                        }
                    } catch (const Error& e) {
                        errorLine(e.number(), e.description(), kDicomDirSource);
                    }
                }
            } catch (const Error& e) {
                errorLine(e.number(), e.description(), kDicomDirSource);
            }
        }
        inv.images.CancelReadAhead();
    } catch (const Error& e) {
        errorLine(e.number(), e.description(), kDicomDirSource);
        if (ImportedCount == 0)
            problem_ = tr("The DICOMDIR %1 could not be read: %2. Nothing was imported.").arg(dicomDirPath, e.description());
    }
    view_.setBusyCursor(false);
    if (top)
        finishRun(dicomDirPath, Mode::DicomDir);
}

void ImportRun::showProgress(const QString& patientName)
{
    Progress& p = progress_;
    if (p.done == 0)
        p.sinceFirst.start();
    ++p.done;
    if (!patientName.isNull())
        p.patient = patientName;
    const qint64 at = p.clock.elapsed();
    // a few times a second is all an eye reads; the first at once
    if (p.shownAt >= 0 && at - p.shownAt < 250)
        return;
    p.shownAt = at;
    const QLocale locale;
    QString name;
    for (const char32_t c : p.patient.toUcs4())
        name += isHiddenCharacter(c) ? QStringLiteral("\uFFFD") : QString::fromUcs4(&c, 1);
    QString text = p.total > 0 ? tr("Image %1 of %2").arg(locale.toString(p.done), locale.toString(p.total))
                               : tr("Image %1, folder %2").arg(locale.toString(p.done), locale.toString(std::max(p.folders, 1)));
    if (!name.isEmpty())
        text += QStringLiteral(" - ") + name;
    // the time left once the rate has settled
    const qint64 running = p.sinceFirst.elapsed();
    if (p.total > p.done && running >= 10000) {
        const double left = static_cast<double>(running) / p.done * (p.total - p.done) / 1000.0;
        text += QStringLiteral(", ") + (left < 60 ? tr("less than a minute left")
                                                  : tr("about %1 min left").arg(static_cast<int>(left / 60 + 0.5)));
    }
    view_.setStatus(text);
}

void ImportRun::TransferImage(const QString& path, Mode mode, Invocation& inv)
{
    AppState& s = appState();
    const bool scan = mode == Mode::Scan;
    const QString& source = scan ? kScanSource : kDicomDirSource;
    inv.loadError.reset();
    inv.identityGiven = false;
    inv.identityRefused = false;

    // a member of an archive still being extracted: a broken archive ends the walk
    if (!awaitFile(path) && AbortRequested)
        return;

    if (!scan) {
        yield();
        debugLine(QStringLiteral("Send ") + path);
    }

    // the survey found this file's patient or study, and the operator did not choose it
    if (scan) {
        if (const auto found = surveyed_.constFind(path); found != surveyed_.cend()) {
            const bool patientLeft = !chosen_.contains(found->patientKey);
            if (patientLeft || studiesLeftOut_.contains(found->study)) {
                ++found_;
                ++notChosen_;
                studyLeftOut_ += patientLeft ? 0 : 1;
                undeliveredFolders_.insert(inv.folder);  // its folder is not done: a later run may send it
                debugLine(patientLeft ? QStringLiteral("Not sent: %1: the patient was not chosen for this import").arg(path)
                                      : QStringLiteral("Not sent: %1: its study was not chosen for this import").arg(path));
                return;
            }
        }
    }
    if (!scan)
        showProgress(progress_.patient);

    // One file, one send: a second way to the same file passes it over.
    struct stat st {};
    if (::stat(encodeFileName(path).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        const QPair<quint64, quint64> id(st.st_dev, st.st_ino);
        if (taken_.contains(id)) {
            debugLine(QStringLiteral("Passed over %1: the same file was taken before in this run").arg(path));
            return;
        }
        taken_.insert(id);
    }
    if (scan)
        if (const auto found = surveyed_.constFind(path);
            found != surveyed_.cend() && passOverHeld(path, found->study, found->instance))
            return;

    // Load. A scan meets many files that are no images: each is named up
    // to a bound, the rest counted in one line at the end.
    auto unreadable = [&](const Error& e) {
        if (scan && ++unreadable_ > UnreadableNamed)
            return;
        errorLine(e.number(), e.description(), source);
    };
    try {
        inv.images.LoadFile(path);
    } catch (const Error& e) {
        unreadable(e);
        if (scan)
            return;
        inv.loadError = e;
    } catch (const std::exception& e) {
        // DCMTK throws std exceptions on some damaged files: unreadable too
        const Error err(DicomErrc::FileUnreadable,
                        QStringLiteral("Cannot read %1: damaged (%2)").arg(path, QString::fromLocal8Bit(e.what())));
        unreadable(err);
        if (scan)
            return;
        inv.loadError = err;
    }
    if (scan) {
        // whose images these are, for the line under the bars: read once per patient
        try {
            if (!inv.loadError) {
                DcmImage image = inv.images.ItemAt(1);
                if (const QString id = image.PatientID(); id != progress_.lastId || progress_.patient.isNull()) {
                    progress_.lastId = id;
                    progress_.patient = image.Patient().PatientName;
                }
            }
        } catch (const std::exception&) {
        }
        showProgress(QString());
        yield();
    }

    // whose image this is, as the medium has it, for the audit trail
    auto auditPatient = [](const DcmPatient& p) { return audit::Patient {p.PatientID, p.IssuerOfPatientID, p.PatientName, {}}; };
    DcmPatient onMedium, asSent;
    QString sopClass, instanceUid, studyUid;
    if (!inv.loadError && audit_) {
        try {
            DcmImage image = inv.images.ItemAt(1);
            onMedium = image.Patient();
            sopClass = image.SOPClassUID();
        } catch (const Error&) {
        }
    }

    // Prepares the image up to the send; false when a scan passes it over
    // (`unprepared` then says whether it failed).
    bool unprepared = false;
    auto prepare = [&]() -> bool {
        try {
            if (scan) {
                DcmImage image = inv.images.ItemAt(1);
                if (image.CheckValueA() == 0 && image.CheckValueB() == 0)
                    return false;
            }
            const QString newId = newPatientId_ ? newPatientId_() : QString();
            if (s.ChangeID && !newId.isEmpty() && !inv.loadError) {
                DcmImage image = inv.images.ItemAt(1);
                const QString oldId = image.PatientID();
                const bool whole = identity_.picked && identity_.patient.PatientID == newId;
                DcmPatient to = whole ? identity_.patient : DcmPatient();
                to.PatientID = newId;
                if (!whole)
                    to.IssuerOfPatientID = s.IssuerOfPatientID.trimmed();
                DcmPatient before;
                const bool first = !inv.identityGiven;
                if (first) {
                    if (checkPatients_ || whole)
                        before = image.Patient();
                    if (checkPatients_)
                        checkImagePatient(before, path);
                    try {
                        image.Reconcile(to, whole, s.LocalAET, now());
                    } catch (const Error& e) {
                        if (e.number() == DicomErrc::InvalidValue) {
                            inv.identityRefused = true;
                            if (!identityRefused_.contains(logText(path)))
                                identityRefused_ << logText(path);
                        }
                        throw;
                    }
                    inv.identityGiven = true;
                }
                debugLine(QStringLiteral("Change Patient ID: ") + oldId + QStringLiteral(" -> ") + newId);
                if (whole && first)
                    debugLine(QStringLiteral("Reconciled: ") + describePatient(before) + QStringLiteral(" -> ") +
                              describePatient(to));
            }
        } catch (const Error& e) {
            errorLine(e.number(), e.description(), source);
            if (scan && e.number() != ImportErrc::PatientNotChosen) {
                undeliveredFolders_.insert(inv.folder);
                unprepared = true;
                return false;
            }
            // Never under its old identity: the image fails like one that
            // could not be read, and the operator decides.
            inv.loadError = e;
        }
        return true;
    };

    // an image that failed counts as failed, unless it failed for want of the new identity
    auto countFailed = [&] {
        if (!inv.identityRefused)
            ++failed_;
    };
    if (!prepare()) {
        if (unprepared) {
            ++found_;
            countFailed();
        }
        return;
    }

    // One instance, one object: the PACS keeps one of two files with the same
    // SOP Instance UID, so a second file with other content is not sent.
    if (!inv.loadError) {
        QString uid;
        try {
            uid = inv.images.ItemAt(1).SOPInstanceUID();
            studyUid = inv.images.ItemAt(1).StudyInstanceUID();
        } catch (const Error&) {
        }
        instanceUid = uid;
        if (const auto earlier = sentInstances_.constFind(uid); !uid.isEmpty() && earlier != sentInstances_.cend()) {
            const QString first = *earlier;
            for (;;) {
                if (sameBytes(first, path)) {
                    debugLine(QStringLiteral("Passed over %1: a copy of %2, taken before in this run").arg(path, first));
                    return;
                }
                const QString reason = tr("%1 has the SOP Instance UID of %2, with other content; the PACS would keep only one of them")
                                           .arg(logText(path), logText(first));
                errorLine(ImportErrc::DuplicateInstance, reason, source);
                debugLine(QStringLiteral("FAILED"));
                const std::int16_t answer = s.AlwaysIgnore
                    ? FailurePrompt::Ignore
                    : delivery_->ask(tr("Error #%1: Failed to transfer image to %2").arg(QString::number(ImportErrc::DuplicateInstance), delivery_->destinations().front().where()) +
                                     QStringLiteral("\r\n\r\n") + tr("Reason: %1").arg(reason));
                if (answer == FailurePrompt::Retry)
                    continue;
                ++found_;
                ++failed_;
                undeliveredFolders_.insert(inv.folder);
                if (answer == FailurePrompt::Abort)
                    AbortRequested = true;
                return;
            }
        }
        if (!uid.isEmpty())
            sentInstances_.insert(uid, path);
    }
    ++found_;
    if (audit_ && !inv.loadError) {
        audit_->taken(auditPatient(onMedium), studyUid, sopClass);
        try {
            asSent = inv.images.ItemAt(1).Patient();
        } catch (const Error&) {
        }
    }
    if (scan && !checkPatients_) {
        // who was on the medium, for the receipt, from what the load read anyway
        try {
            const QString id = inv.images.ItemAt(1).PatientID();
            if (!seenPatientIds_.contains(id))
                seenPatientIds_ << id;
        } catch (const Error&) {
        }
    }

    // Validation gives an image without study or series its UIDs before it goes.
    if (scan && s.Validate == 1 && !inv.loadError) {
        try {
            DcmImage image = inv.images.ItemAt(1);
            if (image.StudyInstanceUID().isEmpty())
                image.setStudyInstanceUID(s.ImgDirEqStudy == 1 ? inv.folderStudyUid : DcmUtility::NewUID());
            if (image.SeriesInstanceUID().isEmpty())
                image.setSeriesInstanceUID(DcmUtility::NewUID());
        } catch (const Error& e) {
            inv.loadError = e;
        }
    }
    if (scan)
        debugLine(QStringLiteral("Send ") + path);

    // Handed over to the destinations; what each says comes back to
    // stored(), sent() and undelivered() on this thread.
    auto parcel = std::make_shared<Parcel>();
    parcel->path = path;
    parcel->folder = inv.folder;
    parcel->loadError = inv.loadError;
    parcel->loadErrorNumber = inv.loadError ? inv.loadError->number() : 0;
    parcel->identityRefused = inv.identityRefused;
    parcel->asSent = asSent;
    parcel->onMedium = onMedium;
    if (!inv.loadError) {
        try {
            const DcmImage image = inv.images.ItemAt(1);
            parcel->image = image;
            parcel->instance = {image.SOPClassUID(), image.SOPInstanceUID(), image.StudyInstanceUID()};
        } catch (const Error& e) {
            parcel->loadError = e;
            parcel->loadErrorNumber = e.number();
        }
        parcel->bytes = QFileInfo(path).size();
        parcel->held[0] = heldAt(1, studyUid, instanceUid);
        parcel->held[1] = heldAt(2, studyUid, instanceUid);
    }
    delivery_->submit(parcel, [&inv] { inv.images.ReadAheadOne(); });
}

void ImportRun::stored(int d, const Parcel& parcel)
{
    // What a destination stored, to be confirmed: asked for while the walk
    // goes on, a few hundred at a time (a DICOMweb service is asked at the end).
    const AppState& s = appState();
    if (d == 1 || parcel.held[0])
        ++ImportedCount;  // it went somewhere in this run
    StoredImage stored {parcel.instance, parcel.path, parcel.folder};
    const DeliveryDestination& dest = delivery_->destinations()[static_cast<size_t>(d - 1)];
    if (!dest.web) {
        std::unique_ptr<DcmCommitSession>& session = commits_[d - 1];
        if (!session)
            session = std::make_unique<DcmCommitSession>(dest.host, dest.port, dest.callingAE, dest.calledAE, dest.tls,
                                                         s.CommitPort, ConfirmBatch);
        session->Add(stored.instance);
    }
    stored_[d - 1].push_back(std::move(stored));
}

void ImportRun::sent(int d, const Parcel& parcel, bool success)
{
    if (!audit_)
        return;
    const DeliveryDestination& dest = delivery_->destinations()[static_cast<size_t>(d - 1)];
    const DcmPatient& p = parcel.asSent;
    audit_->sent({dest.name(), dest.where().trimmed()}, audit::Patient {p.PatientID, p.IssuerOfPatientID, p.PatientName, {}},
                 parcel.instance.StudyInstanceUID, parcel.instance.SOPClassUID, success);
}

void ImportRun::undelivered(const Parcel& parcel)
{
    // its folder is not done: a later run may send it
    if (!parcel.folder.isEmpty())
        undeliveredFolders_.insert(parcel.folder);
}

}  // namespace varnelo
