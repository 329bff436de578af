#include "base/MessageBox.h"

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

Answer show(const QString& text, Icon icon, Buttons buttons, Answer defaultAnswer)
{
    if (current())
        return current()(Request {text, icon, buttons, defaultAnswer});
    return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
}

}  // namespace varnelo::MessageBox
