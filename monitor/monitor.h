#pragma once

#include "automation/automation_error.h"
#include "window_description.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace velmora {

class MonitorWindow;

// The program's own logic: the tick and the command handlers, run on the window's events.
// Handlers raise AutomationError and catch nothing; the top level of the event dispatch here
// hands the error to the report and runs no further handler.
class Monitor final {
public:
    using ErrorReport = std::function<void(const AutomationError &)>;

    Monitor(MonitorWindow &window, ErrorReport report);

    // Wires each routed event to the handler of the same name, matched without regard to case.
    // Returns the routes for which no handler exists.
    std::vector<EventRoute> route(const WindowDescription &description);

    // Runs a handler as an event would: an error ends handling for good and is reported.
    void dispatch(void (Monitor::*handler)());
    bool stopped() const noexcept { return m_stopped; }

    // One sample of the card's sixteen input lines onto the sixteen indicators.
    void Timer_Timer();
    // "Select Device": the device control picks the card; without one the program ends.
    void Selectcmd_Click();
    // "Initial": every port an input, then sampling starts.
    void Initcmd_Click();
    // "Exit": the program ends at once.
    void exit_Click();

    // ConfigurePorts' arguments: the card's first chip, and the 8255 mode-set word with groups
    // A and B in mode 0 and ports A, B, C upper and C lower all inputs.
    static constexpr std::int32_t FirstChip = 0;
    static constexpr std::int16_t AllInputsControlWord = 0x9B;

private:
    void showLines(int firstIndicator, std::int16_t sample);

    MonitorWindow &m_window;
    ErrorReport m_report;
    bool m_stopped = false;
};

} // namespace velmora
