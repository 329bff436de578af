#pragma once

#include "import/RunView.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;

namespace varnelo {

// The transfer-failure prompt: Abort, Retry or Ignore, and "Always ignore
// further messages", which it leaves in AppState.AlwaysIgnore.
class MsgBoxForm : public QDialog {
    Q_OBJECT
public:
    explicit MsgBoxForm(QWidget* owner);

    void setMessage(const QString& text);
    // The answer: 3 Abort, 4 Retry, 5 Ignore (also for the close box).
    std::int16_t answer() const { return answer_; }
    // Takes the check box into AppState.AlwaysIgnore, as the prompt closes.
    void takeAlwaysIgnore();

    // Shows a fresh prompt modally over owner and returns the answer.
    static std::int16_t ShowMessage(QWidget* owner, const QString& text);

    // Tests answer the prompt through this: the answerer gets the prepared
    // form instead of a modal loop and presses its buttons.
    using Answerer = std::function<void(MsgBoxForm&)>;
    static void setAnswererForTesting(Answerer answerer);

    QPushButton* cmdAbort() const { return cmdAbort_; }
    QPushButton* cmdRetry() const { return cmdRetry_; }
    QPushButton* cmdIgnore() const { return cmdIgnore_; }
    QCheckBox* chkAlwaysIgnore() const { return chkAlwaysIgnore_; }
    QLabel* lblMessage() const { return lblMessage_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void answerWith(std::int16_t code);

    std::int16_t answer_ = FailurePrompt::Ignore;
    bool closedByButton_ = false;
    QLabel* lblMessage_;
    QPushButton* cmdAbort_;
    QPushButton* cmdRetry_;
    QPushButton* cmdIgnore_;
    QCheckBox* chkAlwaysIgnore_;
};

// The failure prompt of the progress window, through MsgBoxForm.
class MsgBoxPrompt : public FailurePrompt {
public:
    explicit MsgBoxPrompt(QWidget* owner)
        : owner_(owner)
    {
    }
    std::int16_t ShowMessage(const QString& text) override { return MsgBoxForm::ShowMessage(owner_, text); }

private:
    QWidget* owner_;
};

}  // namespace varnelo
