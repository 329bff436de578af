#pragma once

#include "base/AppState.h"
#include "import/RunView.h"

#include <QStringList>

#include <deque>
#include <functional>
#include <map>

namespace varnelo::testing {

// Records what a run shows; yields run a hook so a test can press "Abort".
class RecordingView : public RunView {
public:
    QStringList labels;
    std::map<Bar, std::int32_t> value, maximum;
    std::map<Bar, bool> visible;
    std::vector<std::int32_t> completeValues;  // every value pbComplete took
    bool animationVisible = true;
    bool animationPlaying = true;
    bool busy = false;
    int yields = 0;
    std::function<void()> onYield;
    QStringList statuses;  // every line under the bars, in order
    bool finished = false;

    void setLabel(const QString& t) override { labels << t; }
    void setBarValue(Bar b, std::int32_t v) override
    {
        value[b] = v;
        if (b == Bar::Complete)
            completeValues.push_back(v);
    }
    std::int32_t barValue(Bar b) const override { return value.count(b) ? value.at(b) : 0; }
    void setBarMaximum(Bar b, std::int32_t m) override { maximum[b] = m; }
    std::int32_t barMaximum(Bar b) const override { return maximum.count(b) ? maximum.at(b) : 0; }
    void setBarVisible(Bar b, bool v) override { visible[b] = v; }
    void setAnimationVisible(bool v) override { animationVisible = v; }
    void startAnimation() override { animationPlaying = true; }
    void stopAnimation() override { animationPlaying = false; }
    void setBusyCursor(bool b) override { busy = b; }
    void setStatus(const QString& t) override { statuses << t; }
    void runFinished() override { finished = true; }
    void yield() override
    {
        ++yields;
        if (onYield)
            onYield();
    }
};

// Answers prompts from a script; an empty script answers Ignore.
class ScriptedPrompt : public FailurePrompt {
public:
    std::deque<std::int16_t> answers;
    std::deque<bool> tickAlwaysIgnore;
    QStringList messages;

    std::int16_t ShowMessage(const QString& text) override
    {
        messages << text;
        appState().AlwaysIgnore = false;
        if (!tickAlwaysIgnore.empty()) {
            appState().AlwaysIgnore = tickAlwaysIgnore.front();
            tickAlwaysIgnore.pop_front();
        }
        if (answers.empty())
            return Ignore;
        const std::int16_t a = answers.front();
        answers.pop_front();
        return a;
    }
};

// Answers "Patients on this medium": the scripted ticks (all when unset), or
// "Cancel"; keeps what it was shown.
class ScriptedPatients : public PatientsPrompt {
public:
    bool cancel = false;
    std::optional<QList<bool>> ticks;
    QList<MediumPatients> shown;
    QList<NewIdentity> identities;
    QList<QList<DestinationHoldings>> holdingsShown;
    QSet<QString> sendAgain;  // studies to send again

    std::optional<MediumChoice> chooseContents(const MediumPatients& patients, const NewIdentity& identity,
                                               const QList<DestinationHoldings>& holdings) override
    {
        shown << patients;
        identities << identity;
        holdingsShown << holdings;
        if (cancel)
            return std::nullopt;
        MediumChoice choice = defaultChoice(patients, holdings);
        if (ticks)
            choice.patients = *ticks;
        choice.sendAgain = sendAgain;
        return choice;
    }
};

}  // namespace varnelo::testing
