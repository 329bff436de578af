#include "gui/frmWorklist.h"

#include "base/AppState.h"
#include "base/MessageBox.h"
#include "gui/WindowLook.h"
#include "import/IdentityValues.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFontDatabase>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTreeWidget>

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

    // No layout: the list keeps its place and size when the window is resized.
    lvWorklist_ = new QTreeWidget(this);
    lvWorklist_->setObjectName(QStringLiteral("lvWorklist"));
    QFont listFont(listFontFamily());
    listFont.setPointSizeF(15.75);
    lvWorklist_->setFont(listFont);
    lvWorklist_->setGeometry(twips(90), twips(90), twips(10335), twips(5415));
    lvWorklist_->setRootIsDecorated(false);
    lvWorklist_->setItemsExpandable(false);
    lvWorklist_->setUniformRowHeights(true);
    lvWorklist_->setSortingEnabled(false);
    lvWorklist_->setHeaderLabels(worklistHeaders());
    lvWorklist_->header()->setStretchLastSection(false);
    lvWorklist_->header()->setSectionsMovable(false);
    for (int c = 0; c < WorklistColumn::Count; ++c)
        lvWorklist_->setColumnWidth(c, twips(1440));
    connect(lvWorklist_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { pickPatient(item); });
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
    // Only for an operator who is about to give the images a new identity.
    if (!appState().ChangeID || !item)
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
    // The close box is the only way out; a dialog would take Escape as one.
    if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    // Enter on a row, passed on by the list, picks it like a double-click.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
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

void frmWorklist::setRowPatient(int row, const DcmPatient& patient)
{
    while (patients_.size() <= row)
        patients_.append(DcmPatient());
    patients_[row] = patient;
}

void frmWorklist::showHeldRows()
{
    if (!held_.isEmpty())
        lvWorklist_->addTopLevelItems(held_);
    held_.clear();
    sinceShown_.restart();
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
