#include "gui/ConnectionTestForm.h"

#include "gui/WindowLook.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace varnelo {

ConnectionTestForm::ConnectionTestForm(QWidget* owner, const ConnectionSettings& settings)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("ConnectionTestForm"));
    setWindowTitle(tr("Test connections"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    applyWindowLook(this, 9.75);
    if (owner)
        setWindowIcon(owner->windowIcon());

    txtResults = new QPlainTextEdit(this);
    txtResults->setObjectName(QStringLiteral("txtResults"));
    txtResults->setReadOnly(true);
    txtResults->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    txtResults->setAccessibleName(tr("Results of the connection test"));
    cmdClose = new QPushButton(tr("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(txtResults);
    layout->addLayout(buttons);
    resize(620, 230);

    connect(&test_, &ConnectionTest::linesChanged, this, &ConnectionTestForm::showLines);
    test_.start(settings);
    cmdClose->setFocus(Qt::OtherFocusReason);
}

void ConnectionTestForm::showLines()
{
    txtResults->setPlainText(test_.lines().join(QLatin1Char('\n')));
}

}  // namespace varnelo
