#include "monitor.h"

#include "indicator_box.h"
#include "monitor_window.h"

#include <algorithm>
#include <array>
#include <exception>
#include <string_view>

namespace velmora {

namespace {

struct HandlerEntry {
    std::string_view name;
    void (Monitor::*handler)();
};

constexpr std::array Handlers{
    HandlerEntry{"exit_Click", &Monitor::exit_Click},
    HandlerEntry{"Initcmd_Click", &Monitor::Initcmd_Click},
    HandlerEntry{"Selectcmd_Click", &Monitor::Selectcmd_Click},
    HandlerEntry{"Timer_Timer", &Monitor::Timer_Timer},
};

constexpr int LinesPerPort = 8;

} // namespace

Monitor::Monitor(MonitorWindow &window, ErrorReport report)
    : m_window(window)
    , m_report(std::move(report))
{}

std::vector<EventRoute> Monitor::route(const WindowDescription &description)
{
    std::vector<EventRoute> unrouted;
    for (const EventRoute &route : description.routes) {
        const auto entry = std::ranges::find_if(
            Handlers, [&](const HandlerEntry &h) { return sameName(h.name, route.handler); });
        const bool wired =
            entry != Handlers.end() &&
            m_window.connectEvent(route.control, route.event,
                                  [this, handler = entry->handler] { dispatch(handler); });
        if (!wired)
            unrouted.push_back(route);
    }
    return unrouted;
}

void Monitor::dispatch(void (Monitor::*handler)())
{
    // Once an error is being reported, or the program is ending, events queued behind it (a
    // tick, a click) find nothing left to do.
    if (m_stopped || m_window.isEnding())
        return;
    const auto stopWith = [this](const AutomationError &error) {
        m_stopped = true;
        m_report(error);
    };
    // Everything is caught here, before it could unwind through Qt's own frames, which do not
    // clean up behind an exception: whatever is not an automation error is an internal one.
    try {
        (this->*handler)();
    } catch (const AutomationError &error) {
        stopWith(error);
    } catch (const std::exception &error) {
        stopWith(AutomationError::internal(error.what()));
    } catch (...) {
        stopWith(AutomationError::internal());
    }
}

void Monitor::Timer_Timer()
{
    std::int16_t InputSample = 0;
    m_window.deviceControl().ReadPort(0, InputSample);
    showLines(0, InputSample);

    // Cleared again so that a second read that reports False without writing shows its lines
    // as 0, instead of repeating port 0's.
    InputSample = 0;
    m_window.deviceControl().ReadPort(1, InputSample);
    showLines(LinesPerPort, InputSample);
}

void Monitor::Selectcmd_Click()
{
    if (!m_window.deviceControl().SelectDevice())
        m_window.unload();
}

void Monitor::Initcmd_Click()
{
    m_window.deviceControl().ConfigurePorts(FirstChip, AllInputsControlWord);
    m_window.setTimerEnabled(true);
}

void Monitor::exit_Click()
{
    m_window.end();
}

void Monitor::showLines(int firstIndicator, std::int16_t sample)
{
    const unsigned lines = static_cast<std::uint16_t>(sample) & 0xFFu;
    for (int bit = 0; bit < LinesPerPort; ++bit) {
        const unsigned mask = 1u << bit;
        m_window.btnInput(firstIndicator + bit).setValue((lines & mask) == mask ? 1 : 0);
    }
}

} // namespace velmora
