#include "base/MessageBox.h"

#include <QCoreApplication>
#include <QStringList>

#include <utility>

namespace varnelo::MessageBox {

namespace {
Handler& current()
{
    static Handler handler;
    return handler;
}
}  // namespace

Handler setHandler(Handler handler)
{
    return std::exchange(current(), std::move(handler));
}

QString boundedList(const QStringList& items, qsizetype shown)
{
    if (items.size() <= shown)
        return items.join(QLatin1Char('\n'));
    return (items.mid(0, shown) +
            QStringList {QCoreApplication::translate("MessageBox", "and %1 more; the error log lists them all")
                             .arg(items.size() - shown)})
        .join(QLatin1Char('\n'));
}

Answer show(const QString& text, Icon icon, Buttons buttons, Answer defaultAnswer)
{
    if (current())
        return current()(Request {text, icon, buttons, defaultAnswer});
    return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
}

}  // namespace varnelo::MessageBox
