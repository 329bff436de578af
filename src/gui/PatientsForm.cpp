#include "gui/PatientsForm.h"

#include "base/Logs.h"
#include "gui/CheckTree.h"
#include "gui/WindowLook.h"
#include "import/IdentityValues.h"

#include <QDate>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace varnelo {

namespace {

constexpr int MarkedRole = Qt::UserRole + 1;    // a patient's cell that differs
constexpr int UidRole = Qt::UserRole + 2;       // a study's Study Instance UID
constexpr int KeptTickRole = Qt::UserRole + 3;  // a study's tick while its patient is unticked

// What differs from the new identity, and a study held under another patient.
const QColor WarningColour(176, 0, 0);

// Studies stay open when the whole tree fits about one screen of rows.
constexpr int OpenStudiesUpTo = 20;

// A DICOM date in the operator's short date format; as stored when it is none.
QString dicomDate(const QString& da)
{
    const QDate date = QDate::fromString(da, QStringLiteral("yyyyMMdd"));
    return date.isValid() ? shownDate(date) : da;
}

QString count(std::int32_t n)
{
    return QLocale().toString(n);
}

// Whether the images get an identity other than their own.
bool changesIdentity(const NewIdentity& identity)
{
    return identity.picked || !identity.patient.PatientID.isEmpty();
}

int levelOf(const QTreeWidgetItem* item)
{
    int d = 0;
    for (; item->parent(); item = item->parent())
        ++d;
    return d;
}

// A study row the operator can tick: one with a UID the import can tell apart.
bool tickable(const QTreeWidgetItem* study)
{
    return !study->data(PatientsForm::Name, UidRole).toString().isEmpty();
}

std::optional<PatientsForm::Answerer>& answerer()
{
    static std::optional<PatientsForm::Answerer> a;
    return a;
}

}  // namespace

QString PatientsForm::shownValue(const QString& value)
{
    QString out(QChar(0x2068));  // FIRST STRONG ISOLATE
    for (const char32_t c : value.toUcs4()) {
        if (isHiddenCharacter(c))
            out += QStringLiteral("<U+%1>").arg(QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, QLatin1Char('0')));
        else
            out += QString::fromUcs4(&c, 1);
    }
    return out + QChar(0x2069);  // POP DIRECTIONAL ISOLATE
}

// An empty value matches any other: the operator must see that it is unknown.
QString PatientsForm::orUnknown(const QString& value) const
{
    return value.isEmpty() ? tr("(unknown)") : shownValue(value);
}

QString PatientsForm::identityText(const NewIdentity& identity) const
{
    const DcmPatient& p = identity.patient;
    if (!changesIdentity(identity))
        return tr("The images keep the patient's values they have on the medium.");
    if (!identity.picked)
        return tr("The images will get the Patient ID \"%1\"; name, birth date and sex stay as on the medium.")
            .arg(shownValue(p.PatientID));
    const QString name = p.PatientName.isEmpty() ? tr("(no name)") : shownValue(p.PatientName);
    const QString id = p.IssuerOfPatientID.isEmpty()
        ? tr("ID %1").arg(shownValue(p.PatientID))
        : tr("ID %1 (%2)").arg(shownValue(p.PatientID), shownValue(p.IssuerOfPatientID));
    const QString born = p.BirthDate.isEmpty() ? tr("born unknown") : tr("born %1").arg(shownValue(dicomDate(p.BirthDate)));
    const QString sex = p.Sex.isEmpty() ? tr("sex unknown") : tr("sex %1").arg(shownValue(p.Sex));
    return tr("The images will get the identity picked in the worklist: %1, %2, %3, %4.").arg(name, id, born, sex);
}

QString PatientsForm::heldText(const DestinationHoldings& destination, const QString& studyUid) const
{
    const auto found = destination.studies.constFind(studyUid);
    if (!destination.asked || studyUid.isEmpty() || found == destination.studies.cend())
        return tr("could not be asked");
    const StudyAtDestination& s = *found;
    switch (s.state) {
    case HeldState::New:
        return tr("new");
    case HeldState::Held:
        return tr("held");
    case HeldState::Partly:
        return tr("%1 of %2 held").arg(count(s.held), count(s.total));
    case HeldState::OtherPatient: {
        const DcmPatient& p = s.atPacs;
        const QString id = p.IssuerOfPatientID.isEmpty()
            ? tr("ID %1").arg(shownValue(p.PatientID))
            : tr("ID %1 of %2").arg(shownValue(p.PatientID), shownValue(p.IssuerOfPatientID));
        if (p.PatientName.isEmpty())
            return tr("held under another patient (%1)").arg(id);
        return tr("held under %1 (%2)").arg(shownValue(p.PatientName), id);
    }
    case HeldState::NotAsked:
        break;
    }
    return tr("could not be asked");
}

QString PatientsForm::explanation(const MediumPatients& patients, const NewIdentity& identity) const
{
    QStringList sentences;
    if (changesIdentity(identity) && patients.size() > 1)
        sentences << tr("This medium holds images of %1 patients. Tick the patients whose images are to be imported "
                        "under the new identity; the others are not sent.")
                         .arg(count(static_cast<std::int32_t>(patients.size())));
    else if (changesIdentity(identity) && identity.picked)
        sentences << tr("The patient on this medium differs from the patient picked in the worklist. Tick the patient "
                        "to import the images under the picked identity.");
    else
        sentences << tr("Tick the patients and studies to import; the others are not sent.");
    if (anyHeld_)
        sentences << tr("Studies marked \"held\" are already at the PACS: their images are not sent again unless you "
                        "tick \"Send again\"; of a study partly held, only the images it lacks are sent.");
    if (anyOther_)
        sentences << tr("A study marked with a warning is held at the PACS under another patient: it is left out "
                        "unless you tick it.");
    for (const DestinationHoldings& d : holdings_)
        if (!d.asked)
            sentences << tr("%1 could not be asked what it holds: it gets every image of the ticked studies.").arg(d.aet);
    return sentences.join(QLatin1Char(' '));
}

PatientsForm::PatientsForm(QWidget* owner, const MediumPatients& patients, const NewIdentity& identity,
                           const QList<DestinationHoldings>& holdings)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint)
    , holdings_(holdings)
    , destinations_(static_cast<int>(holdings.size()))
{
    setObjectName(QStringLiteral("PatientsForm"));
    setWindowTitle(tr("What is on this medium"));
    setModal(true);
    setSizeGripEnabled(true);
    if (owner)
        setWindowIcon(owner->windowIcon());
    applyWindowLook(this, 8.25);

    // where the window starts: as defaultChoice, but several patients under
    // one new identity are chosen one by one, never all at once
    MediumChoice start = defaultChoice(patients, holdings);
    if (changesIdentity(identity) && patients.size() > 1)
        start.patients.fill(false);
    for (const auto& [index, study] : patients.allStudies()) {
        Q_UNUSED(index);
        const HeldState worst = worstState(holdings, study->uid);
        anyOther_ = anyOther_ || worst == HeldState::OtherPatient;
        for (const DestinationHoldings& d : holdings) {
            const auto found = d.studies.constFind(study->uid);
            anyHeld_ = anyHeld_ ||
                (d.asked && found != d.studies.cend() && (found->state == HeldState::Held || found->state == HeldState::Partly));
        }
    }

    lblText_ = new QLabel(this);
    lblText_->setObjectName(QStringLiteral("lblText"));
    lblText_->setWordWrap(true);
    lblText_->setText(explanation(patients, identity));

    list_ = new CheckTree(this);
    list_->setObjectName(QStringLiteral("lvPatients"));
    list_->setAccessibleName(tr("What is on this medium"));
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    QStringList headers {tr("Patient's Name"), tr("Patient ID"), tr("Issuer of ID"), tr("Birth Date"), tr("Sex"),
                         tr("Studies"), tr("Images")};
    for (const DestinationHoldings& d : holdings)
        headers << d.aet;
    if (anyHeld_)
        headers << tr("Already held");
    list_->setHeaderLabels(headers);
    for (int d = 0; d < destinations_; ++d)
        list_->headerItem()->setToolTip(destinationColumn(d), tr("What %1 already holds of each study").arg(holdings[d].aet));
    addPatients(patients, identity, start);
    connect(list_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (updating_)
            return;
        if (levelOf(item) == 0 && column == Name)
            patientTicked(item);
        else if (levelOf(item) == 1)
            studyTicked(item, column);
        updateImport();
    });

    lblIdentity_ = new QLabel(this);
    lblIdentity_->setObjectName(QStringLiteral("lblIdentity"));
    lblIdentity_->setWordWrap(true);
    QFont bold = font();
    bold.setBold(true);
    lblIdentity_->setFont(bold);
    lblIdentity_->setText(identityText(identity));

    cmdImport_ = new QPushButton(tr("Import"), this);
    cmdImport_->setObjectName(QStringLiteral("cmdImport"));
    cmdCancel_ = new QPushButton(tr("Cancel"), this);
    cmdCancel_->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel_->setDefault(true);
    for (QPushButton* b : {cmdImport_, cmdCancel_})
        b->setMinimumSize(std::max(twips(1215), b->sizeHint().width()), twips(375));
    connect(cmdImport_, &QPushButton::clicked, this, [this] {
        result_ = answer();
        accept();
    });
    connect(cmdCancel_, &QPushButton::clicked, this, [this] {
        result_.reset();
        reject();
    });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdImport_);
    buttons->addWidget(cmdCancel_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(twips(120), twips(120), twips(120), twips(120));
    layout->addWidget(lblText_);
    layout->addWidget(list_, 1);
    layout->addWidget(lblIdentity_);
    layout->addLayout(buttons);

    // Columns as wide as what they show; the window as large as the tree
    // wants, within the screen.
    for (int c = 0; c < list_->columnCount(); ++c)
        list_->resizeColumnToContents(c);
    int wanted = list_->frameWidth() * 2 + list_->verticalScrollBar()->sizeHint().width() + twips(240);
    for (int c = 0; c < list_->columnCount(); ++c)
        wanted += list_->columnWidth(c);
    const int rows = static_cast<int>(list_->shownItems().size());
    const int rowHeight = std::max(list_->sizeHintForRow(0), fontMetrics().height() + 4);
    const int treeHeight = list_->header()->sizeHint().height() + (std::max(rows, 4) + 1) * rowHeight;
    const QRect screen = (owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen())->availableGeometry();
    const int width = std::clamp(wanted, twips(9600), std::max(twips(9600), screen.width() * 9 / 10));
    const int textWidth = width - twips(240);
    const int height = twips(120) * 2 + lblText_->heightForWidth(textWidth) + treeHeight +
        lblIdentity_->heightForWidth(textWidth) + twips(375) + layout->spacing() * 3;
    resize(width, std::clamp(height, twips(4800), std::max(twips(4800), screen.height() * 85 / 100)));
    updateImport();
}

void PatientsForm::addPatients(const MediumPatients& patients, const NewIdentity& identity, const MediumChoice& start)
{
    const QList<MediumPatient>& rows = patients.list();
    // What differs: with a picked identity, what the import replaces; with a
    // typed ID, what the patients do not share.
    const DcmPatient& to = identity.patient;
    auto uniform = [&](auto value) {
        for (const MediumPatient& p : rows)
            if (value(p.patient) != value(rows.front().patient))
                return false;
        return true;
    };
    const bool sameIds = uniform([](const DcmPatient& p) { return p.PatientID.trimmed(); });
    const bool sameNames = uniform([](const DcmPatient& p) { return comparableName(p.PatientName); });
    const bool sameDates = uniform([](const DcmPatient& p) { return comparableText(p.BirthDate); });
    const bool sameSexes = uniform([](const DcmPatient& p) { return comparableText(p.Sex); });
    const bool sameIssuers = uniform([](const DcmPatient& p) { return comparableText(p.IssuerOfPatientID); });
    QFont markFont = font();
    markFont.setBold(true);
    int shown = 0;
    for (const MediumPatient& p : rows) {
        shown += 1 + static_cast<int>(p.studyList.size());
        for (const MediumStudy& s : p.studyList)
            shown += static_cast<int>(s.series.size());
    }

    updating_ = true;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const MediumPatient& p = rows[i];
        auto* item = new QTreeWidgetItem(list_);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setText(Name, orUnknown(p.patient.PatientName));
        item->setText(Id, shownValue(p.patient.PatientID));
        item->setText(Issuer, orUnknown(p.patient.IssuerOfPatientID));
        item->setText(BirthDate, orUnknown(dicomDate(p.patient.BirthDate)));
        item->setText(Sex, orUnknown(p.patient.Sex));
        item->setText(Studies, count(p.studyCount));
        item->setText(Images, count(p.images));
        item->setTextAlignment(Studies, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(Images, Qt::AlignRight | Qt::AlignVCenter);
        item->setCheckState(Name, i < start.patients.size() && start.patients[i] ? Qt::Checked : Qt::Unchecked);
        bool marks[Count] = {};
        if (!changesIdentity(identity)) {
            // nothing is replaced: nothing to point out
        } else if (identity.picked) {
            DcmPatient nameOnly, dateOnly, sexOnly;
            nameOnly.PatientName = p.patient.PatientName;
            dateOnly.BirthDate = p.patient.BirthDate;
            sexOnly.Sex = p.patient.Sex;
            marks[Name] = differsFromPicked(nameOnly, to);
            marks[BirthDate] = differsFromPicked(dateOnly, to);
            marks[Sex] = differsFromPicked(sexOnly, to);
            marks[Issuer] = !p.patient.IssuerOfPatientID.isEmpty() &&
                comparableText(p.patient.IssuerOfPatientID) != comparableText(to.IssuerOfPatientID);
            marks[Id] = !sameIds;
        } else {
            marks[Issuer] = !sameIssuers;
            marks[Name] = !sameNames;
            marks[BirthDate] = !sameDates;
            marks[Sex] = !sameSexes;
            marks[Id] = !sameIds;  // every row's ID is replaced: what matters is whether they agree
        }
        for (int c = 0; c < Count; ++c) {
            if (!marks[c])
                continue;
            item->setData(c, MarkedRole, true);
            item->setForeground(c, WarningColour);
            item->setFont(c, markFont);
            item->setToolTip(c, identity.picked && c != Id ? tr("Replaced by the picked patient's value") : tr("Not the same for all patients on the medium"));
        }
        for (const MediumStudy& study : p.studyList) {
            QTreeWidgetItem* row = addStudy(item, study, start);
            row->setExpanded(shown <= OpenStudiesUpTo);
        }
        item->setExpanded(true);
    }
    updating_ = false;
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
        patientTicked(list_->topLevelItem(i));
}

QTreeWidgetItem* PatientsForm::addStudy(QTreeWidgetItem* patient, const MediumStudy& study, const MediumChoice& start)
{
    auto* row = new QTreeWidgetItem(patient);
    row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | (study.uid.isEmpty() ? Qt::NoItemFlags : Qt::ItemIsUserCheckable));
    row->setData(Name, UidRole, study.uid);
    const QString date = study.date.isEmpty() ? tr("(no date)") : shownValue(dicomDate(study.date));
    const QString description = study.description.isEmpty() ? tr("(no description)") : shownValue(study.description);
    row->setText(Name, study.modalities.isEmpty() ? tr("%1, %2", "a study: date, description").arg(date, description) : tr("%1, %2 (%3)", "a study: date, description, modalities").arg(date, description, shownValue(study.modalities.join(QStringLiteral(", ")))));
    row->setText(Images, count(study.images));
    row->setTextAlignment(Images, Qt::AlignRight | Qt::AlignVCenter);
    if (!study.uid.isEmpty())
        row->setCheckState(Name, start.studiesLeftOut.contains(study.uid) ? Qt::Unchecked : Qt::Checked);
    else
        row->setToolTip(Name, tr("This study has no Study Instance UID: it goes with its patient."));

    bool heldSomewhere = false;
    const DestinationHoldings* otherAt = nullptr;
    for (int d = 0; d < destinations_; ++d) {
        const DestinationHoldings& at = holdings_[d];
        const QString said = heldText(at, study.uid);
        row->setText(destinationColumn(d), said);
        row->setData(destinationColumn(d), Qt::AccessibleTextRole, tr("%1: %2").arg(at.aet, said));
        if (!at.asked && !at.why.isEmpty())
            row->setToolTip(destinationColumn(d), at.why);
        const auto found = at.studies.constFind(study.uid);
        if (!at.asked || found == at.studies.cend())
            continue;
        heldSomewhere = heldSomewhere || found->state == HeldState::Held || found->state == HeldState::Partly;
        if (found->state == HeldState::OtherPatient && !otherAt)
            otherAt = &at;
    }
    if (heldSomewhere && !study.uid.isEmpty()) {
        row->setText(sendAgainColumn(), tr("Send again"));
        row->setCheckState(sendAgainColumn(), start.sendAgain.contains(study.uid) ? Qt::Checked : Qt::Unchecked);
        row->setToolTip(sendAgainColumn(), tr("Sends this study's images also where they are held already"));
    }
    if (otherAt) {
        row->setIcon(Name, style()->standardIcon(QStyle::SP_MessageBoxWarning));
        for (int c = 0; c < list_->columnCount(); ++c)
            row->setForeground(c, WarningColour);
        row->setToolTip(Name, tr("%1 holds this study under another patient. It is left out unless you tick it.").arg(otherAt->aet));
    }

    for (const MediumSeries& series : study.series) {
        auto* line = new QTreeWidgetItem(row);
        line->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        QString text = series.number.isEmpty() ? tr("Series") : tr("Series %1").arg(shownValue(series.number));
        if (!series.modality.isEmpty())
            text = tr("%1 (%2)", "a series: number, modality").arg(text, shownValue(series.modality));
        if (!series.description.isEmpty())
            text = tr("%1: %2", "a series: number, description").arg(text, shownValue(series.description));
        line->setText(Name, text);
        line->setText(Images, count(series.images));
        line->setTextAlignment(Images, Qt::AlignRight | Qt::AlignVCenter);
    }
    return row;
}

// An unticked patient's studies are unticked and cannot be ticked; ticked
// again, they get back the ticks they had.
void PatientsForm::patientTicked(QTreeWidgetItem* patient)
{
    const bool on = patient->checkState(Name) == Qt::Checked;
    updating_ = true;
    for (int i = 0; i < patient->childCount(); ++i) {
        QTreeWidgetItem* study = patient->child(i);
        const bool wasDisabled = study->isDisabled();
        study->setDisabled(!on);
        if (!tickable(study))
            continue;
        if (!on && !wasDisabled) {
            study->setData(Name, KeptTickRole, study->checkState(Name));
            study->setCheckState(Name, Qt::Unchecked);
        } else if (on && wasDisabled && study->data(Name, KeptTickRole).isValid()) {
            study->setCheckState(Name, study->data(Name, KeptTickRole).value<Qt::CheckState>());
        }
    }
    updating_ = false;
}

// "Send again" means the study goes: ticking it ticks the study, and
// unticking the study unticks it.
void PatientsForm::studyTicked(QTreeWidgetItem* study, int column)
{
    if (!tickable(study) || !anyHeld_ || !study->data(sendAgainColumn(), Qt::CheckStateRole).isValid())
        return;
    updating_ = true;
    if (column == Name && study->checkState(Name) != Qt::Checked)
        study->setCheckState(sendAgainColumn(), Qt::Unchecked);
    else if (column == sendAgainColumn() && study->checkState(sendAgainColumn()) == Qt::Checked)
        study->setCheckState(Name, Qt::Checked);
    updating_ = false;
}

void PatientsForm::updateImport()
{
    // something to send: a ticked patient with a ticked study, or whose
    // studies the import cannot tell apart
    bool any = false;
    for (int i = 0; i < list_->topLevelItemCount() && !any; ++i) {
        const QTreeWidgetItem* patient = list_->topLevelItem(i);
        if (patient->checkState(Name) != Qt::Checked)
            continue;
        bool anyStudy = false, anyTicked = false, anyUntickable = false;
        for (int s = 0; s < patient->childCount(); ++s) {
            const QTreeWidgetItem* study = patient->child(s);
            anyStudy = true;
            anyUntickable = anyUntickable || !tickable(study);
            anyTicked = anyTicked || (tickable(study) && study->checkState(Name) == Qt::Checked);
        }
        any = !anyStudy || anyTicked || anyUntickable;
    }
    cmdImport_->setEnabled(any);
}

MediumChoice PatientsForm::answer() const
{
    MediumChoice choice;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* patient = list_->topLevelItem(i);
        choice.patients << (patient->checkState(Name) == Qt::Checked);
        for (int s = 0; s < patient->childCount(); ++s) {
            const QTreeWidgetItem* study = patient->child(s);
            if (!tickable(study))
                continue;
            const QString uid = study->data(Name, UidRole).toString();
            if (study->checkState(Name) != Qt::Checked)
                choice.studiesLeftOut.insert(uid);
            else if (anyHeld_ && study->checkState(sendAgainColumn()) == Qt::Checked)
                choice.sendAgain.insert(uid);
        }
    }
    return choice;
}

QTreeWidget* PatientsForm::list() const
{
    return list_;
}

QTreeWidgetItem* PatientsForm::studyItem(const QString& uid) const
{
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* patient = list_->topLevelItem(i);
        for (int s = 0; s < patient->childCount(); ++s)
            if (!uid.isEmpty() && patient->child(s)->data(Name, UidRole).toString() == uid)
                return patient->child(s);
    }
    return nullptr;
}

bool PatientsForm::isMarked(int row, int column) const
{
    const QTreeWidgetItem* item = list_->topLevelItem(row);
    return item && item->data(column, MarkedRole).toBool();
}

void PatientsForm::setAnswererForTesting(Answerer a)
{
    if (a)
        answerer() = std::move(a);
    else
        answerer().reset();
}

std::optional<MediumChoice> PatientsForm::choose(QWidget* owner, const MediumPatients& patients, const NewIdentity& identity,
                                                 const QList<DestinationHoldings>& holdings)
{
    PatientsForm form(owner, patients, identity, holdings);
    if (answerer()) {
        form.show();
        (*answerer())(form);
        if (form.isVisible())
            form.reject();
    } else {
        form.exec();
    }
    return form.result();
}

}  // namespace varnelo
