#pragma once

// What the import run talks to in the benchmark: a view that draws nothing
// but still lets pending events run at every yield, as the progress window
// does, and a prompt that should never be needed.

#include "base/AppState.h"
#include "import/RunView.h"

#include <QCoreApplication>

#include <map>

namespace varnelo::bench {

class SilentView : public RunView {
public:
    long yields = 0;

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
        QCoreApplication::processEvents();
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
