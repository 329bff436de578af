#pragma once

#include "import/ImportRun.h"
#include "import/RunView.h"

#include <QDialog>
#include <QTimer>

#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;

namespace varnelo {

class cAnimControl;

// The import run's window: animation while it searches, two bars while it
// sends, a status line under them, "Abort", and the summary at the end. The
// run itself starts 100 ms after the window appears and lives inside that
// one timer tick. The launch may open it earlier, for its connection checks.
class ProgressForm : public QDialog, public RunView {
    Q_OBJECT
public:
    // newPatientId gives the main window's "New Patient ID:" text; prompt
    // defaults to the real failure prompt.
    ProgressForm(QWidget* owner, std::function<QString()> newPatientId, FailurePrompt* prompt = nullptr);
    ~ProgressForm() override;

    ImportRun& run() { return *run_; }
    bool isRunning() const { return running_; }
    cAnimControl* animation() const { return anim_.get(); }

    // RunView
    void setLabel(const QString& text) override;
    void setBarValue(Bar bar, std::int32_t value) override;
    std::int32_t barValue(Bar bar) const override;
    void setBarMaximum(Bar bar, std::int32_t maximum) override;
    std::int32_t barMaximum(Bar bar) const override;
    void setBarVisible(Bar bar, bool visible) override;
    void setAnimationVisible(bool visible) override;
    void startAnimation() override;
    void stopAnimation() override;
    void setBusyCursor(bool busy) override;
    void yield() override;
    void setStatus(const QString& text) override;
    void runFinished() override;

    // The launch's wait before the run (its connection checks): the window
    // opens at once showing `text`; "Abort" and the close box end the wait.
    void showLaunchStatus(const QString& text);
    bool launchAborted() const { return launchAborted_; }
    // Runs the import here, whether the launch opened the window already or
    // not; returns when the window has closed.
    int execRun();

    QLabel* Label1() const { return label1_; }
    QLabel* lblStatus() const { return status_; }
    QProgressBar* pbDetail() const { return pbDetail_; }
    QProgressBar* pbComplete() const { return pbComplete_; }
    QWidget* picAni() const { return picAni_; }
    QPushButton* cmdAbort() const { return cmdAbort_; }

public slots:
    void cmdAbort_Click();
    void reject() override;
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private slots:
    void Timer1_Timer();

private:
    void Form_Load();
    void beginRun();
    void showBar(Bar bar);

    std::unique_ptr<FailurePrompt> ownPrompt_;
    std::unique_ptr<PatientsPrompt> patientsPrompt_;
    std::unique_ptr<ImportRun> run_;
    std::unique_ptr<cAnimControl> anim_;
    QTimer timer1_;
    bool loaded_ = false;
    bool running_ = false;
    bool closeRequested_ = false;
    bool launching_ = false;  // the launch's checks, before the run
    bool launchAborted_ = false;

    QLabel* label1_;
    QWidget* picAni_;
    QProgressBar* pbDetail_;
    QProgressBar* pbComplete_;
    QLabel* status_;
    QPushButton* cmdAbort_;
    std::int32_t value_[2] = {0, 0};
    std::int32_t maximum_[2] = {100, 100};
};

}  // namespace varnelo
