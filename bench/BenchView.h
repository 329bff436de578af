#pragma once

// What the import run talks to in the benchmark: a view that draws nothing
// but still lets pending events run at every yield, as the progress window
// does, and a prompt that should never be needed.

#include "base/AppState.h"
#include "import/RunView.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <map>

namespace varnelo::bench {

class SilentView : public RunView {
public:
    long yields = 0;
    // The longest time the window would not have repainted nor seen a press
    // of "Abort": between the start, the yields and the end.
    qint64 longestGapNs = 0;
    QElapsedTimer sinceYield;

    void endOfRun() { longestGapNs = std::max(longestGapNs, sinceYield.nsecsElapsed()); }

    void setLabel(const QString&) override {}
    void setBarValue(Bar b, std::int32_t v) override { value_[b] = v; }
    std::int32_t barValue(Bar b) const override { return value_.count(b) ? value_.at(b) : 0; }
    void setBarMaximum(Bar b, std::int32_t m) override { maximum_[b] = m; }
    std::int32_t barMaximum(Bar b) const override { return maximum_.count(b) ? maximum_.at(b) : 0; }
    void setBarVisible(Bar, bool) override {}
    void setAnimationVisible(bool) override {}
    void startAnimation() override {}
    void stopAnimation() override {}
    void setBusyCursor(bool) override {}
    void yield() override
    {
        ++yields;
        longestGapNs = std::max(longestGapNs, sinceYield.nsecsElapsed());
        QCoreApplication::processEvents();
        sinceYield.start();
    }

private:
    std::map<Bar, std::int32_t> value_, maximum_;
};

// A prompt in the benchmark means a failed send: count it and stop the run,
// so that a broken case shows as a failure rather than as a fast time.
class AbortingPrompt : public FailurePrompt {
public:
    int shown = 0;
    QString first;

    std::int16_t ShowMessage(const QString& text) override
    {
        if (shown++ == 0)
            first = text;
        appState().AlwaysIgnore = false;
        return Abort;
    }
};

}  // namespace varnelo::bench
