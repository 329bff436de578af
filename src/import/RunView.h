#pragma once

#include "import/MediumPatients.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace varnelo {

// What an import run shows while it goes: the progress window implements it.
class RunView {
public:
    enum class Bar { Detail,
                     Complete };

    virtual ~RunView() = default;

    virtual void setLabel(const QString& text) = 0;
    virtual void setBarValue(Bar bar, std::int32_t value) = 0;
    virtual std::int32_t barValue(Bar bar) const = 0;
    virtual void setBarMaximum(Bar bar, std::int32_t maximum) = 0;
    virtual std::int32_t barMaximum(Bar bar) const = 0;
    virtual void setBarVisible(Bar bar, bool visible) = 0;
    virtual void setAnimationVisible(bool visible) = 0;
    virtual void startAnimation() = 0;  // plays the whole clip in a loop
    virtual void stopAnimation() = 0;
    virtual void setBusyCursor(bool busy) = 0;
    // Lets pending window events run once: repaints and the "Abort" button.
    virtual void yield() = 0;
    // The line under the bars: where the run stands ("Image 674 of 3,000 -
    // Smith^Max", "about 1 min left"); empty hides it.
    virtual void setStatus(const QString& text) { (void)text; }
    // The run is over: its summary comes next, and nothing may offer "Abort".
    virtual void runFinished() {}
};

// Asks the operator what to do about a failed send: 3 Abort, 4 Retry,
// 5 Ignore. Leaves the "Always ignore further messages" choice in
// AppState.AlwaysIgnore.
class FailurePrompt {
public:
    static constexpr std::int16_t Abort = 3;
    static constexpr std::int16_t Retry = 4;
    static constexpr std::int16_t Ignore = 5;

    virtual ~FailurePrompt() = default;
    virtual std::int16_t ShowMessage(const QString& text) = 0;
};

// Shows the operator, before anything is sent, what is on the medium and what
// each destination holds of it ("What is on this medium"), and asks which
// patients and studies go, and which studies already held go again.
class PatientsPrompt {
public:
    virtual ~PatientsPrompt() = default;
    // What to send of the medium; nullopt: nothing (the operator cancelled).
    // holdings: one entry per destination, in order (empty when none was asked).
    virtual std::optional<MediumChoice> chooseContents(const MediumPatients& patients, const NewIdentity& identity,
                                                       const QList<DestinationHoldings>& holdings) = 0;
};

}  // namespace varnelo
