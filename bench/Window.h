#pragma once

// The real program on an X display, driven as an operator drives it: its
// main window appears, "IMPORT" is pressed, and the run is over when the
// summary box appears. The display is watched through X events (windows
// being mapped and unmapped), which costs the program nothing; the presses
// go through xdotool (the XTEST extension), like a real mouse.

#include "Process.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>

namespace varnelo::bench {

// Top-level windows appearing and disappearing on one X display. Pop-ups
// (tool tips, menus) are left out.
class DisplayWatch {
public:
    struct Event {
        enum Kind { Map,
                    Unmap } kind;
        std::uint32_t window = 0;
        QString title;  // for Map
        double at = 0;  // CLOCK_MONOTONIC seconds when it was seen
    };

    explicit DisplayWatch(const QString& display);  // throws when it cannot connect
    ~DisplayWatch();
    DisplayWatch(const DisplayWatch&) = delete;
    DisplayWatch& operator=(const DisplayWatch&) = delete;

    // The next event, or nothing when none came within timeoutSeconds.
    std::optional<Event> next(double timeoutSeconds);
    // Drops the events seen so far.
    void drain();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

struct WindowRunOptions {
    QString display;         // ":99"
    QString program;         // the Varnelo executable, linked into a folder of its own
    QString settings;        // the text of Varnelo.ini for this run
    double abortAfter = -1;  // >= 0: press "Abort" this long after the progress window appeared
    double timeoutSeconds = 600;
};

struct WindowRunResult {
    ChildResult process;      // wall time from IMPORT to the summary (confirmation excluded), peak RSS
    double abortAnswer = -1;  // seconds from the press of "Abort" to the end of the run
    QString summary;          // title of the last box, for the log
    QString problem;          // empty when the run went as an operator would see it
};

// One run: starts the program, presses IMPORT, answers "Yes" to the question
// about a scan without suffix (the time the question stands is left out),
// waits for the summary box and ends the program.
WindowRunResult runInWindow(const WindowRunOptions& options);

double monotonicNow();

}  // namespace varnelo::bench
