#include "gui/MsgBoxForm.h"

#include "base/AppState.h"
#include "gui/WindowLook.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

namespace varnelo {

namespace {

QPixmap questionIcon()
{
    QPixmap pm(32, 32);
    pm.fill(QColor(0, 0, 170));
    QPainter p(&pm);
    p.setPen(Qt::white);
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(26);
    f.setBold(true);
    p.setFont(f);
    p.drawText(pm.rect(), Qt::AlignCenter, QStringLiteral("?"));
    return pm;
}

QWidget* mainWindowOf(QWidget* w)
{
    QWidget* top = w ? w->window() : nullptr;
    while (top && top->parentWidget())
        top = top->parentWidget()->window();
    return top;
}

}  // namespace

MsgBoxForm::MsgBoxForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("MsgBoxForm"));
    setWindowTitle(QStringLiteral("Message"));
    setModal(true);
    setFixedSize(twips(4335), twips(2430));
    applyWindowLook(this, 8.25);
    if (QWidget* main = mainWindowOf(owner))
        setWindowIcon(main->windowIcon());

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Picture1"));
    picture->setGeometry(twips(120), twips(240), twips(615), twips(615));
    picture->setPixmap(questionIcon());
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lblMessage_ = new QLabel(this);
    lblMessage_->setObjectName(QStringLiteral("lblMessage"));
    lblMessage_->setGeometry(twips(960), twips(240), twips(3135), twips(1095));
    lblMessage_->setWordWrap(true);
    lblMessage_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto button = [this](const char* name, const QString& text, int left) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(twips(left), twips(1560), twips(1215), twips(375));
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };
    cmdAbort_ = button("cmdAbort", QStringLiteral("Abort"), 120);
    cmdRetry_ = button("cmdRetry", QStringLiteral("Retry"), 1560);
    cmdIgnore_ = button("cmdIgnore", QStringLiteral("Ignore"), 3000);

    chkAlwaysIgnore_ = new QCheckBox(QStringLiteral("Always ignore further messages"), this);
    chkAlwaysIgnore_->setObjectName(QStringLiteral("chkAlwaysIgnore"));
    chkAlwaysIgnore_->setGeometry(twips(120), twips(2040), twips(3135), twips(255));

    setTabOrder(cmdAbort_, cmdRetry_);
    setTabOrder(cmdRetry_, cmdIgnore_);
    setTabOrder(cmdIgnore_, chkAlwaysIgnore_);

    connect(cmdAbort_, &QPushButton::clicked, this, [this] { answerWith(FailurePrompt::Abort); });
    connect(cmdRetry_, &QPushButton::clicked, this, [this] { answerWith(FailurePrompt::Retry); });
    connect(cmdIgnore_, &QPushButton::clicked, this, [this] { answerWith(FailurePrompt::Ignore); });
}

void MsgBoxForm::setMessage(const QString& text)
{
    lblMessage_->setText(text);
    // the label is small: a long reason stays readable in full here
    lblMessage_->setToolTip(text);
}

void MsgBoxForm::answerWith(std::int16_t code)
{
    answer_ = code;
    closedByButton_ = true;
    hide();
    done(code);
}

void MsgBoxForm::takeAlwaysIgnore()
{
    // the close box counts as "Ignore" and does not take the check box over
    appState().AlwaysIgnore = closedByButton_ && chkAlwaysIgnore_->isChecked();
}

void MsgBoxForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();  // Escape does nothing here
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* b = qobject_cast<QPushButton*>(focusWidget())) {
            b->click();
            event->accept();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void MsgBoxForm::closeEvent(QCloseEvent* event)
{
    if (!closedByButton_)
        answer_ = FailurePrompt::Ignore;
    QDialog::closeEvent(event);
}

void MsgBoxForm::showEvent(QShowEvent* event)
{
    // centred on the main window
    if (QWidget* main = mainWindowOf(parentWidget())) {
        const QRect g = main->frameGeometry();
        move(g.center().x() - width() / 2, g.center().y() - height() / 2);
    }
    cmdAbort_->setFocus();
    QDialog::showEvent(event);
}

namespace {
MsgBoxForm::Answerer& answerer()
{
    static MsgBoxForm::Answerer a;
    return a;
}
}  // namespace

void MsgBoxForm::setAnswererForTesting(Answerer a)
{
    answerer() = std::move(a);
}

std::int16_t MsgBoxForm::ShowMessage(QWidget* owner, const QString& text)
{
    MsgBoxForm form(owner);
    form.setMessage(text);
    if (answerer()) {
        form.show();
        answerer()(form);
        if (form.isVisible())
            form.close();
    } else {
        form.exec();
    }
    form.takeAlwaysIgnore();
    return form.answer();
}

}  // namespace varnelo
