#include "gui/QtMessageBox.h"

#include "base/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QStyle>

namespace varnelo {

namespace {

QMessageBox::Icon qtIcon(MessageBox::Icon icon)
{
    switch (icon) {
    case MessageBox::Icon::Warning:
        return QMessageBox::Warning;
    case MessageBox::Icon::Error:
        return QMessageBox::Critical;
    case MessageBox::Icon::Question:
        return QMessageBox::Question;
    case MessageBox::Icon::Information:
        return QMessageBox::Information;
    case MessageBox::Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

MessageBox::Answer showQt(const MessageBox::Request& request)
{
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner)
        owner = QApplication::activeWindow();
    const bool yesNo = request.buttons == MessageBox::Buttons::YesNo;
    QMessageBox box(qtIcon(request.icon), QString::fromLatin1(MessageBox::Title), request.text,
                    yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, owner);
    if (owner)
        box.setWindowIcon(owner->window()->windowIcon());
    if (yesNo)
        box.setDefaultButton(request.defaultAnswer == MessageBox::Answer::No ? QMessageBox::No : QMessageBox::Yes);
    const int answer = box.exec();
    if (!yesNo)
        return MessageBox::Answer::Ok;
    return answer == QMessageBox::Yes ? MessageBox::Answer::Yes : MessageBox::Answer::No;
}

}  // namespace

void installQtMessageBox()
{
    MessageBox::setHandler(showQt);
}

void prepareQtMessageBoxes()
{
    QStyle* style = QApplication::style();
    for (QStyle::StandardPixmap icon :
         {QStyle::SP_MessageBoxInformation, QStyle::SP_MessageBoxWarning, QStyle::SP_MessageBoxCritical,
          QStyle::SP_MessageBoxQuestion, QStyle::SP_DialogOkButton, QStyle::SP_DialogYesButton, QStyle::SP_DialogNoButton})
        (void)style->standardIcon(icon).isNull();  // the look-up happens here and is kept
}

}  // namespace varnelo
