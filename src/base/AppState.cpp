#include "base/AppState.h"

namespace varnelo {

AppState& appState()
{
    static AppState state;
    return state;
}

}  // namespace varnelo
