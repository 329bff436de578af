#pragma once

#include <QString>

#include <functional>

namespace varnelo {

// Every message box of the program goes through here, so that tests answer
// them without a person. Titles are always "Varnelo".
namespace MessageBox {

enum class Icon { None,
                  Warning,
                  Error,
                  Question,
                  Information };
enum class Buttons { Ok,
                     YesNo };
enum class Answer { Ok,
                    Yes,
                    No };

struct Request {
    QString text;
    Icon icon = Icon::None;
    Buttons buttons = Buttons::Ok;
    // Yes/No: what Enter answers. No where a hasty Enter must not go ahead.
    Answer defaultAnswer = Answer::Yes;
};

using Handler = std::function<Answer(const Request&)>;

// Installs the handler that shows boxes (the windows install a real one; a
// test installs its own). Returns the previous handler.
Handler setHandler(Handler handler);

// Shows a modal box. Without a handler the answer is Ok (or No for Yes/No).
Answer show(const QString& text, Icon icon = Icon::None, Buttons buttons = Buttons::Ok,
            Answer defaultAnswer = Answer::Yes);

inline constexpr const char* Title = "Varnelo";

// A list for a box that must fit the screen: at most `shown` entries, then
// "and N more; the error log lists them all" (the caller logs them all).
QString boundedList(const QStringList& items, qsizetype shown = 20);

}  // namespace MessageBox
}  // namespace varnelo
