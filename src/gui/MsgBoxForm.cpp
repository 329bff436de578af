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
#include <QScrollArea>

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
    setWindowTitle(tr("Message"));
    setModal(true);
    // wide enough for a reason of a few lines, and a line on what each button does
    setFixedSize(twips(6300), twips(3540));
    applyWindowLook(this, 8.25);
    if (QWidget* main = mainWindowOf(owner))
        setWindowIcon(main->windowIcon());

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Picture1"));
    picture->setGeometry(twips(120), twips(240), twips(615), twips(615));
    picture->setPixmap(questionIcon());
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    // The whole reason stays readable: a long one scrolls.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("scrMessage"));
    scroll->setGeometry(twips(960), twips(240), twips(5220), twips(1620));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    scroll->viewport()->setAutoFillBackground(false);
    lblMessage_ = new QLabel;
    lblMessage_->setObjectName(QStringLiteral("lblMessage"));
    lblMessage_->setWordWrap(true);
    lblMessage_->setTextFormat(Qt::PlainText);
    lblMessage_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblMessage_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    scroll->setWidget(lblMessage_);

    auto* help = new QLabel(tr("Abort stops the import. Retry sends this image again. Ignore skips this image and "
                               "goes on with the next."),
                            this);
    help->setObjectName(QStringLiteral("lblHelp"));
    help->setGeometry(twips(120), twips(1950), twips(6060), twips(480));
    help->setWordWrap(true);
    help->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto button = [this](const char* name, const QString& text, int left) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(twips(left), twips(2520), twips(1500), twips(375));
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };
    cmdAbort_ = button("cmdAbort", tr("Abort"), 120);
    cmdRetry_ = button("cmdRetry", tr("Retry"), 2400);
    cmdIgnore_ = button("cmdIgnore", tr("Ignore"), 4680);

    chkAlwaysIgnore_ = new QCheckBox(tr("Always ignore further messages"), this);
    chkAlwaysIgnore_->setObjectName(QStringLiteral("chkAlwaysIgnore"));
    chkAlwaysIgnore_->setGeometry(twips(120), twips(3030), twips(6060), twips(300));

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
