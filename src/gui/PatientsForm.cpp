#include "gui/PatientsForm.h"

#include "base/Logs.h"
#include "gui/WindowLook.h"
#include "import/IdentityValues.h"

#include <QCoreApplication>
#include <QDate>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

namespace varnelo {

namespace {

constexpr int MarkedRole = Qt::UserRole + 1;

QString tr(const char* text)
{
    return QCoreApplication::translate("varnelo::PatientsForm", text);
}

// A DICOM date in the system's short date format; as stored when it is none.
QString shownDate(const QString& da)
{
    const QDate date = QDate::fromString(da, QStringLiteral("yyyyMMdd"));
    return date.isValid() ? shortDate(date) : da;
}

// An empty value matches any other: the operator must see that it is unknown.
QString orUnknown(const QString& value)
{
    return value.isEmpty() ? tr("(unknown)") : PatientsForm::shownValue(value);
}

QString identityText(const NewIdentity& identity)
{
    const DcmPatient& p = identity.patient;
    const auto shown = &PatientsForm::shownValue;
    if (!identity.picked)
        return QStringLiteral("The images will get the Patient ID \"%1\"; name, birth date and sex stay as on the "
                              "medium.")
            .arg(shown(p.PatientID));
    QStringList parts;
    parts << (p.PatientName.isEmpty() ? QStringLiteral("(no name)") : shown(p.PatientName));
    parts << QStringLiteral("ID ") + shown(p.PatientID) +
            (p.IssuerOfPatientID.isEmpty() ? QString() : QStringLiteral(" (") + shown(p.IssuerOfPatientID) + QLatin1Char(')'));
    parts << QStringLiteral("born ") + (p.BirthDate.isEmpty() ? QStringLiteral("unknown") : shown(shownDate(p.BirthDate)));
    parts << QStringLiteral("sex ") + (p.Sex.isEmpty() ? QStringLiteral("unknown") : shown(p.Sex));
    return QStringLiteral("The images will get the identity picked in the worklist: ") + parts.join(QStringLiteral(", ")) +
        QLatin1Char('.');
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

PatientsForm::PatientsForm(QWidget* owner, const MediumPatients& patients, const NewIdentity& identity)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("PatientsForm"));
    setWindowTitle(QStringLiteral("Patients on this medium"));
    setModal(true);
    if (owner)
        setWindowIcon(owner->windowIcon());
    applyWindowLook(this, 8.25);
    setFixedSize(twips(9600), twips(4800));

    const QList<MediumPatient>& rows = patients.list();
    lblText_ = new QLabel(this);
    lblText_->setObjectName(QStringLiteral("lblText"));
    lblText_->setWordWrap(true);
    lblText_->setGeometry(twips(120), twips(120), twips(9360), twips(600));
    if (rows.size() > 1)
        lblText_->setText(QStringLiteral("This medium holds images of %1 patients. Tick the patients whose images are "
                                         "to be imported under the new identity; the others are not sent.")
                              .arg(rows.size()));
    else
        lblText_->setText(QStringLiteral("The patient on this medium differs from the patient picked in the worklist. "
                                         "Tick the patient to import the images under the picked identity."));

    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("lvPatients"));
    list_->setGeometry(twips(120), twips(780), twips(9360), twips(2400));
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setHeaderLabels({QStringLiteral("Patient's Name"), QStringLiteral("Patient ID"), tr("Issuer of ID"),
                            QStringLiteral("Birth Date"), QStringLiteral("Sex"), QStringLiteral("Studies"),
                            QStringLiteral("Images")});
    // two patients may differ by the issuer of their ID alone
    const int widths[Count] = {2580, 1680, 1320, 1320, 780, 780, 900};
    for (int c = 0; c < Count; ++c)
        list_->setColumnWidth(c, twips(widths[c]));
    list_->header()->setStretchLastSection(true);

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
    for (const MediumPatient& p : rows) {
        auto* item = new QTreeWidgetItem(list_);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setText(Name, orUnknown(p.patient.PatientName));
        item->setText(Id, shownValue(p.patient.PatientID));
        item->setText(Issuer, orUnknown(p.patient.IssuerOfPatientID));
        item->setText(BirthDate, orUnknown(shownDate(p.patient.BirthDate)));
        item->setText(Sex, orUnknown(p.patient.Sex));
        item->setText(Studies, QString::number(p.studyCount));
        item->setText(Images, QString::number(p.images));
        item->setTextAlignment(Studies, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(Images, Qt::AlignRight | Qt::AlignVCenter);
        item->setCheckState(Name, rows.size() == 1 ? Qt::Checked : Qt::Unchecked);
        bool marks[Count] = {};
        if (identity.picked) {
            DcmPatient nameOnly, dateOnly, sexOnly;
            nameOnly.PatientName = p.patient.PatientName;
            dateOnly.BirthDate = p.patient.BirthDate;
            sexOnly.Sex = p.patient.Sex;
            marks[Name] = differsFromPicked(nameOnly, to);
            marks[BirthDate] = differsFromPicked(dateOnly, to);
            marks[Sex] = differsFromPicked(sexOnly, to);
            marks[Issuer] = !p.patient.IssuerOfPatientID.isEmpty() &&
                comparableText(p.patient.IssuerOfPatientID) != comparableText(to.IssuerOfPatientID);
        } else {
            marks[Issuer] = !sameIssuers;
            marks[Name] = !sameNames;
            marks[BirthDate] = !sameDates;
            marks[Sex] = !sameSexes;
        }
        marks[Id] = !sameIds;  // every row's ID is replaced: what matters is whether they agree
        for (int c = 0; c < Count; ++c) {
            if (!marks[c])
                continue;
            item->setData(c, MarkedRole, true);
            item->setForeground(c, QColor(176, 0, 0));
            item->setFont(c, markFont);
            item->setToolTip(c, identity.picked && c != Id ? QStringLiteral("Replaced by the picked patient's value")
                                                           : QStringLiteral("Not the same for all patients on the medium"));
        }
    }
    connect(list_, &QTreeWidget::itemChanged, this, [this] { updateImport(); });

    lblIdentity_ = new QLabel(this);
    lblIdentity_->setObjectName(QStringLiteral("lblIdentity"));
    lblIdentity_->setWordWrap(true);
    QFont bold = font();
    bold.setBold(true);
    lblIdentity_->setFont(bold);
    lblIdentity_->setGeometry(twips(120), twips(3300), twips(9360), twips(600));
    lblIdentity_->setText(identityText(identity));

    cmdImport_ = new QPushButton(QStringLiteral("Import"), this);
    cmdImport_->setObjectName(QStringLiteral("cmdImport"));
    cmdImport_->setGeometry(twips(6900), twips(4080), twips(1215), twips(375));
    cmdCancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel_->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel_->setGeometry(twips(8265), twips(4080), twips(1215), twips(375));
    cmdCancel_->setDefault(true);
    connect(cmdImport_, &QPushButton::clicked, this, [this] {
        QList<bool> ticks;
        for (int i = 0; i < list_->topLevelItemCount(); ++i)
            ticks << (list_->topLevelItem(i)->checkState(Name) == Qt::Checked);
        result_ = ticks;
        accept();
    });
    connect(cmdCancel_, &QPushButton::clicked, this, [this] {
        result_.reset();
        reject();
    });
    updateImport();
}

bool PatientsForm::isMarked(int row, int column) const
{
    const QTreeWidgetItem* item = list_->topLevelItem(row);
    return item && item->data(column, MarkedRole).toBool();
}

void PatientsForm::updateImport()
{
    bool any = false;
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
        any = any || list_->topLevelItem(i)->checkState(Name) == Qt::Checked;
    cmdImport_->setEnabled(any);
}

void PatientsForm::setAnswererForTesting(Answerer a)
{
    if (a)
        answerer() = std::move(a);
    else
        answerer().reset();
}

std::optional<QList<bool>> PatientsForm::choose(QWidget* owner, const MediumPatients& patients,
                                                const NewIdentity& identity)
{
    PatientsForm form(owner, patients, identity);
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
