#include "gui/ProgressForm.h"

#include "base/AppState.h"
#include "base/ProgramFolder.h"
#include "gui/MsgBoxForm.h"
#include "gui/PatientsForm.h"
#include "gui/WindowLook.h"
#include "gui/cAnimControl.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace varnelo {

namespace {

int index(RunView::Bar bar)
{
    return bar == RunView::Bar::Detail ? 0 : 1;
}

}  // namespace

ProgressForm::ProgressForm(QWidget* owner, std::function<QString()> newPatientId, FailurePrompt* prompt)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ProgressForm"));
    setWindowTitle(tr("Import progress"));
    setModal(true);
    // taller than the bars need: the status line sits between them and "Abort"
    setFixedSize(twips(6255), twips(3120));
    applyWindowLook(this, 8.25);

    label1_ = new QLabel(this);
    label1_->setObjectName(QStringLiteral("Label1"));
    QFont bold(QStringLiteral("Arial"));
    bold.setPointSizeF(8.25);
    bold.setBold(true);
    label1_->setFont(bold);
    label1_->setGeometry(twips(120), twips(120), twips(6015), twips(255));

    picAni_ = new QWidget(this);
    picAni_->setObjectName(QStringLiteral("picAni"));
    picAni_->setGeometry(twips(2280), twips(840), twips(1695), twips(735));

    auto bar = [this](const char* name, int top) {
        auto* b = new QProgressBar(this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(twips(120), twips(top), twips(6015), twips(495));
        b->setTextVisible(false);
        b->setRange(0, 100);
        b->setValue(0);
        b->hide();
        return b;
    };
    pbDetail_ = bar("pbDetail", 840);
    pbComplete_ = bar("pbComplete", 1440);
    pbDetail_->setAccessibleName(tr("Progress of this folder"));
    pbComplete_->setAccessibleName(tr("Progress of the whole import"));

    // room for two lines: where the run stands, and the time left
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("lblStatus"));
    status_->setAccessibleName(tr("Import status"));
    status_->setGeometry(twips(120), twips(2040), twips(6015), twips(480));
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    status_->setWordWrap(true);
    status_->setTextFormat(Qt::PlainText);  // a patient's name is shown as it is
    status_->hide();

    cmdAbort_ = new QPushButton(tr("Abort"), this);
    cmdAbort_->setObjectName(QStringLiteral("cmdAbort"));
    cmdAbort_->setGeometry(twips(4920), twips(2610), twips(1215), twips(375));
    cmdAbort_->setAutoDefault(false);
    connect(cmdAbort_, &QPushButton::clicked, this, &ProgressForm::cmdAbort_Click);

    if (!prompt) {
        ownPrompt_ = std::make_unique<MsgBoxPrompt>(this);
        prompt = ownPrompt_.get();
    }
    run_ = std::make_unique<ImportRun>(*this, *prompt, std::move(newPatientId));
    patientsPrompt_ = std::make_unique<PatientsFormPrompt>(this);
    run_->patientsPrompt = patientsPrompt_.get();

    timer1_.setInterval(100);
    timer1_.setSingleShot(false);
    connect(&timer1_, &QTimer::timeout, this, &ProgressForm::Timer1_Timer);
}

ProgressForm::~ProgressForm() = default;

void ProgressForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!loaded_) {
        loaded_ = true;
        Form_Load();
    }
}

void ProgressForm::Form_Load()
{
    if (QWidget* main = parentWidget() ? parentWidget()->window() : nullptr) {
        setWindowIcon(main->windowIcon());
        // lower right corner of the main window, 20 pixels inside it
        const QRect m = main->frameGeometry();
        const QRect me = frameGeometry();
        move(m.left() + m.width() - me.width() - twips(300), m.top() + m.height() - me.height() - twips(300));
    }

    anim_ = std::make_unique<cAnimControl>();
    try {
        anim_->setAutoPlay(true);
        anim_->setCentre(true);
        anim_->setTransparent(true);
        anim_->setResourceFileName(programFolder() + QStringLiteral("/Varnelo"));
        anim_->setResourceId(2);
        anim_->setOwner(picAni_);
    } catch (...) {
        // no animation: the area stays empty
    }

    if (!launching_)
        beginRun();
}

void ProgressForm::showLaunchStatus(const QString& text)
{
    launching_ = true;
    setLabel(text);
    if (!isVisible())
        show();  // modal, without a loop of its own: the launch goes on
}

int ProgressForm::execRun()
{
    launching_ = false;
    launchAborted_ = false;
    if (loaded_)
        beginRun();  // else Form_Load starts it when the window appears
    return exec();
}

void ProgressForm::beginRun()
{
    run_->AbortRequested = false;
    const std::int16_t searchBy = appState().SearchBy;
    if (searchBy == 1) {
        setLabel(tr("Searching for DICOMDir, please wait ..."));
        timer1_.start();
    } else if (searchBy == 2) {
        setLabel(tr("Searching for DICOM Files, please wait ..."));
        timer1_.start();
    } else {
        QMetaObject::invokeMethod(this, &QDialog::accept, Qt::QueuedConnection);
    }
}

void ProgressForm::Timer1_Timer()
{
    timer1_.stop();
    running_ = true;
    run_->Run();
    running_ = false;
    accept();
}

void ProgressForm::cmdAbort_Click()
{
    if (launching_)
        launchAborted_ = true;
    run_->AbortRequested = true;
}

// Closing during a run ends it after the current image, as "Abort" does; the
// walk unwinds and the window closes when the run is over.
void ProgressForm::closeEvent(QCloseEvent* event)
{
    if (launching_) {
        launchAborted_ = true;  // the launch closes the window when it has stopped
        event->ignore();
        return;
    }
    appState().AlwaysIgnore = false;
    if (running_) {
        run_->AbortRequested = true;
        closeRequested_ = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

// Only "Abort" (and the close box) end a run: a stray Escape must not cut a
// long import short.
void ProgressForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ProgressForm::reject()
{
    if (launching_) {
        launchAborted_ = true;
        return;
    }
    if (running_) {
        run_->AbortRequested = true;
        closeRequested_ = true;
        return;
    }
    QDialog::reject();
}

void ProgressForm::done(int result)
{
    if (running_)
        return;
    timer1_.stop();
    appState().AlwaysIgnore = false;
    if (anim_)
        anim_->StopPlay();
    QDialog::done(result);
}

void ProgressForm::setLabel(const QString& text)
{
    label1_->setText(text);
}

void ProgressForm::setStatus(const QString& text)
{
    status_->setText(text);
    status_->setVisible(!text.isEmpty());
}

// The summary box comes next: the window behind it must not look as if the
// run were still going, nor offer to stop it.
void ProgressForm::runFinished()
{
    cmdAbort_->setEnabled(false);
    setLabel(tr("Finished."));
}

void ProgressForm::showBar(Bar bar)
{
    QProgressBar* b = bar == Bar::Detail ? pbDetail_ : pbComplete_;
    const int i = index(bar);
    const int max = std::max(maximum_[i], 0);
    b->setRange(0, max);
    b->setValue(std::clamp(value_[i], 0, max));
}

void ProgressForm::setBarValue(Bar bar, std::int32_t value)
{
    value_[index(bar)] = value;
    showBar(bar);
}

std::int32_t ProgressForm::barValue(Bar bar) const
{
    return value_[index(bar)];
}

void ProgressForm::setBarMaximum(Bar bar, std::int32_t maximum)
{
    maximum_[index(bar)] = maximum;
    showBar(bar);
}

std::int32_t ProgressForm::barMaximum(Bar bar) const
{
    return maximum_[index(bar)];
}

void ProgressForm::setBarVisible(Bar bar, bool visible)
{
    (bar == Bar::Detail ? pbDetail_ : pbComplete_)->setVisible(visible);
}

void ProgressForm::setAnimationVisible(bool visible)
{
    picAni_->setVisible(visible);
}

void ProgressForm::startAnimation()
{
    if (anim_)
        anim_->StartPlay(0, -1, -1);
}

void ProgressForm::stopAnimation()
{
    if (anim_)
        anim_->StopPlay();
}

void ProgressForm::setBusyCursor(bool busy)
{
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void ProgressForm::yield()
{
    QCoreApplication::processEvents();
}

}  // namespace varnelo
