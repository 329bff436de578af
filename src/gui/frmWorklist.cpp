#include "gui/frmWorklist.h"

#include "base/AppState.h"
#include "base/MessageBox.h"
#include "gui/WindowLook.h"
#include "import/IdentityValues.h"

#include <QBoxLayout>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFontDatabase>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>

#include <algorithm>

namespace varnelo {

namespace {

// How long filled rows wait before they join the list. Each batch costs the
// list one layout of all its rows; adding rows one by one made a long list
// quadratic (8,000 rows took 19 s).
constexpr int HoldRowsMs = 50;

}  // namespace

QString frmWorklist::listFontFamily()
{
    static const QString family = [] {
        const QString tahoma = QStringLiteral("Tahoma");
        if (QFontDatabase::families().contains(tahoma))
            return tahoma;
        // Wine's Tahoma has the metrics of the original, so the columns hold
        // what they were laid out for.
        for (const QString& path : {QStringLiteral(VARNELO_TAHOMA_FILE), QStringLiteral("/usr/share/wine/fonts/tahoma.ttf")}) {
            if (path.isEmpty() || !QFile::exists(path))
                continue;
            const int id = QFontDatabase::addApplicationFont(path);
            QFontDatabase::addApplicationFont(QString(path).replace(QLatin1String("tahoma.ttf"), QLatin1String("tahomabd.ttf")));
            if (id >= 0 && QFontDatabase::applicationFontFamilies(id).contains(tahoma))
                return tahoma;
        }
        return tahoma;  // fontconfig's nearest face
    }();
    return family;
}

frmWorklist::frmWorklist(QWidget* owner)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("frmWorklist"));
    setWindowTitle(tr("Worklist"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);
    if (owner)
        setWindowIcon(owner->windowIcon());
    applyWindowLook(this, 12);
    resize(twips(11640), twips(5775));

    // The filter over the list, the list taking whatever room the window has.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(twips(90), twips(90), twips(90), twips(90));
    auto* filterRow = new QHBoxLayout();
    auto* lblFilter = new QLabel(tr("&Filter:"), this);
    lblFilter->setObjectName(QStringLiteral("lblFilter"));
    txtFilter_ = new QLineEdit(this);
    txtFilter_->setObjectName(QStringLiteral("txtFilter"));
    txtFilter_->setAccessibleName(tr("Filter"));
    txtFilter_->setToolTip(tr("Shows the entries whose name or Patient ID holds this text. Typing in the list "
                              "types here."));
    txtFilter_->installEventFilter(this);
    lblFilter->setBuddy(txtFilter_);
    filterRow->addWidget(lblFilter);
    filterRow->addWidget(txtFilter_, 1);
    layout->addLayout(filterRow);
    connect(txtFilter_, &QLineEdit::textChanged, this, &frmWorklist::applyFilter);

    lvWorklist_ = new QTreeWidget(this);
    lvWorklist_->setObjectName(QStringLiteral("lvWorklist"));
    lvWorklist_->setAccessibleName(tr("Worklist"));
    QFont listFont(listFontFamily());
    listFont.setPointSizeF(15.75);
    lvWorklist_->setFont(listFont);
    layout->addWidget(lvWorklist_, 1);
    lvWorklist_->installEventFilter(this);
    lvWorklist_->setRootIsDecorated(false);
    lvWorklist_->setItemsExpandable(false);
    lvWorklist_->setUniformRowHeights(true);
    lvWorklist_->setSortingEnabled(false);
    lvWorklist_->setHeaderLabels(worklistHeaders());
    lvWorklist_->header()->setStretchLastSection(false);
    lvWorklist_->header()->setSectionsMovable(false);
    fitColumns();
    connect(lvWorklist_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { pickPatient(item); });
    // the rows first: arrows and Enter act on them, typing goes to the filter
    lvWorklist_->setFocus();
}

frmWorklist::~frmWorklist()
{
    qDeleteAll(held_);
}

std::optional<DcmPatient> frmWorklist::showModal(QWidget* owner)
{
    auto* window = new frmWorklist(owner);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowModality(Qt::ApplicationModal);
    std::optional<DcmPatient> picked;
    connect(window, &frmWorklist::patientPicked, [&picked](const DcmPatient& patient) { picked = patient; });
    window->exec();
    return picked;
}

void frmWorklist::pickPatient(QTreeWidgetItem* item)
{
    // Only for an operator who is about to give the images a new identity;
    // a row the filter hides is not the one meant.
    if (!appState().ChangeID || !item || item->isHidden())
        return;
    const int row = lvWorklist_->indexOfTopLevelItem(item);
    DcmPatient patient = row >= 0 && row < patients_.size() ? patients_[row] : DcmPatient();
    // The entry's own values where the row has them: a cell shows marks in
    // place of control characters.
    const bool fromCell = patient.PatientID.isEmpty();
    if (fromCell)
        patient.PatientID = item->text(WorklistColumn::PatientId).trimmed();
    if (patient.PatientID.isEmpty())
        return;
    QList<IdentityProblem> problems = identityProblems(patient);
    if (fromCell && patient.PatientID.contains(QChar(kControlShown)))
        problems.append({tr("Patient ID"), tr("holds an invisible or control character")});
    if (!problems.isEmpty()) {
        // Refused here, where the operator can still pick another entry.
        MessageBox::show(tr("This worklist entry cannot be given to the images:\n%1\n\nCorrect it at the worklist, or "
                            "type the ID instead.")
                             .arg(describeProblems(problems)),
                         MessageBox::Icon::Warning);
        return;
    }
    emit patientPicked(patient);
    close();
}

void frmWorklist::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Form_Activate();
}

void frmWorklist::keyPressEvent(QKeyEvent* event)
{
    // Escape closes it as the close box does (a dialog would only hide it).
    if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Cancel)) {
        event->accept();
        close();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter on a row, passed on by the list, picks it like a double-click
        event->accept();
        pickPatient(lvWorklist_->currentItem());
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmWorklist::Form_Activate()
{
    // The window becomes active again after a message box or another
    // application; only the first activation of an opening queries.
    if (queried_)
        return;
    queried_ = true;
    WLQuery(*this);
}

int frmWorklist::appendRow()
{
    auto* item = new QTreeWidgetItem();
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    held_.append(item);
    return lvWorklist_->topLevelItemCount() + static_cast<int>(held_.size()) - 1;
}

QTreeWidgetItem* frmWorklist::rowItem(int row) const
{
    const int shown = lvWorklist_->topLevelItemCount();
    if (row < shown)
        return lvWorklist_->topLevelItem(row);
    row -= shown;
    return row < held_.size() ? held_.at(row) : nullptr;
}

void frmWorklist::setCell(int row, int column, const QString& text)
{
    if (QTreeWidgetItem* item = rowItem(row))
        item->setText(column, text);
}

void frmWorklist::setCellToolTip(int row, int column, const QString& text)
{
    if (QTreeWidgetItem* item = rowItem(row))
        item->setToolTip(column, text);
}

void frmWorklist::setRowPatient(int row, const DcmPatient& patient)
{
    while (patients_.size() <= row)
        patients_.append(DcmPatient());
    patients_[row] = patient;
}

void frmWorklist::showHeldRows()
{
    if (!held_.isEmpty()) {
        if (!txtFilter_->text().isEmpty())
            for (QTreeWidgetItem* item : std::as_const(held_))
                item->setHidden(!matchesFilter(item));
        lvWorklist_->addTopLevelItems(held_);
        fitColumns();
    }
    held_.clear();
    sinceShown_.restart();
}

void frmWorklist::fitColumns(bool everyRow)
{
    // Each column as wide as its widest cell or its header. While rows come,
    // the rows near the top are measured; once all are in, every one.
    QHeaderView* header = lvWorklist_->header();
    const int precision = header->resizeContentsPrecision();
    if (everyRow)
        header->setResizeContentsPrecision(-1);
    for (int c = 0; c < WorklistColumn::Count; ++c)
        lvWorklist_->resizeColumnToContents(c);
    header->setResizeContentsPrecision(precision);
}

bool frmWorklist::matchesFilter(const QTreeWidgetItem* item) const
{
    const QString wanted = txtFilter_->text().trimmed();
    if (wanted.isEmpty())
        return true;
    for (int c : {WorklistColumn::LastName, WorklistColumn::FirstName, WorklistColumn::MiddleName, WorklistColumn::PatientId})
        if (item->text(c).contains(wanted, Qt::CaseInsensitive))
            return true;
    // the whole name as written, and its other writings
    const QString name = item->text(WorklistColumn::LastName) + QLatin1Char(' ') + item->text(WorklistColumn::FirstName);
    return name.contains(wanted, Qt::CaseInsensitive) ||
        item->toolTip(WorklistColumn::LastName).contains(wanted, Qt::CaseInsensitive);
}

void frmWorklist::applyFilter()
{
    lvWorklist_->setUpdatesEnabled(false);
    for (int i = 0; i < lvWorklist_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvWorklist_->topLevelItem(i);
        item->setHidden(!matchesFilter(item));
    }
    lvWorklist_->setUpdatesEnabled(true);
}

void frmWorklist::enterList()
{
    QTreeWidgetItem* current = lvWorklist_->currentItem();
    if (!current || current->isHidden()) {
        current = nullptr;
        for (int i = 0; i < lvWorklist_->topLevelItemCount() && !current; ++i)
            if (!lvWorklist_->topLevelItem(i)->isHidden())
                current = lvWorklist_->topLevelItem(i);
        if (current)
            lvWorklist_->setCurrentItem(current);
    }
    lvWorklist_->setFocus(Qt::TabFocusReason);
}

bool frmWorklist::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    // from the filter, on to the rows it left
    if (watched == txtFilter_ && (key->key() == Qt::Key_Down || key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
        enterList();
        return true;
    }
    // Typing in the list goes to the filter, which finds the name among
    // hundreds; the list's own search only jumps to a first letter.
    if (watched == lvWorklist_ && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        const QString typed = key->text();
        const bool printable = !typed.isEmpty() && std::all_of(typed.begin(), typed.end(), [](QChar c) { return c.isPrint(); });
        // a blank starts nothing, but goes on a name already begun
        if (printable && (!typed.trimmed().isEmpty() || !txtFilter_->text().isEmpty())) {
            txtFilter_->setFocus(Qt::OtherFocusReason);
            txtFilter_->end(false);
            txtFilter_->insert(typed);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmWorklist::processEvents()
{
    // The first row shows at once, the others in batches; a yield between
    // batches finds no layout to redo and costs next to nothing.
    if (!held_.isEmpty() && (lvWorklist_->topLevelItemCount() == 0 || sinceShown_.elapsed() >= HoldRowsMs))
        showHeldRows();
    QCoreApplication::processEvents();
}

void frmWorklist::finishRows()
{
    showHeldRows();
    fitColumns(true);
}

void frmWorklist::close()
{
    QDialog::close();
}

void frmWorklist::SaveData(const DcmDatasetList& results)
{
    varnelo::SaveData(*this, results);
}

}  // namespace varnelo
