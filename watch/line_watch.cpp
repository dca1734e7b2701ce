#include "line_watch.h"

#include "automation/device_control.h"

#include <algorithm>
#include <optional>

namespace velmora::watch {

LineWatch::LineWatch(DeviceControl &control, const Options &options, Output output, Pause &pause,
                     SteadyClock steady, WallClock wall)
    : m_control(control)
    , m_options(options)
    , m_output(std::move(output))
    , m_pause(pause)
    , m_steady(std::move(steady))
    , m_wall(std::move(wall))
    , m_log(options.format)
{}

int LineWatch::run()
{
    const auto start = m_steady();
    // Its result is dropped, as "Initial" drops it: a False does not stop the sampling.
    m_control.ConfigurePorts(FirstChip, AllInputsControlWord);
    if (const std::string header = m_log.header(); !header.empty() && !m_output(header))
        return exit_status::Done;

    auto due = start;
    for (;;) {
        const Lines lines = readLines();
        const std::optional<Lines> before = m_log.last();
        // The wall clock is read only for a line that will be written.
        if (!before || *before != lines) {
            if (before)
                ++m_changes;
            if (!m_output(*m_log.record({m_wall(), m_steady() - start, lines})))
                return exit_status::Done;
        }
        if (!m_options.until.empty() && conditionHolds(lines))
            return exit_status::Done;
        if (m_options.count && m_changes >= *m_options.count)
            return exit_status::Done;

        // Samples keep to the interval's grid; one that a slow card made late is not made up
        // for with a burst.
        due += m_options.interval;
        due = std::max(due, m_steady());
        if (m_options.timeout && due >= start + *m_options.timeout) {
            if (!m_pause.until(start + *m_options.timeout))
                return exit_status::Done;
            return exit_status::TimedOut;
        }
        if (!m_pause.until(due))
            return exit_status::Done;
    }
}

Lines LineWatch::readLines()
{
    // Each read into a cleared variable, as the window's tick does: a read that reports False
    // without writing shows its lines as 0.
    std::int16_t InputSample = 0;
    m_control.ReadPort(0, InputSample);
    const unsigned low = static_cast<std::uint16_t>(InputSample) & 0xFFu;
    InputSample = 0;
    m_control.ReadPort(1, InputSample);
    const unsigned high = static_cast<std::uint16_t>(InputSample) & 0xFFu;
    return static_cast<Lines>(low | high << 8u);
}

bool LineWatch::conditionHolds(Lines lines) const
{
    return std::ranges::all_of(m_options.until, [lines](const LineCondition &condition) {
        return ((lines >> condition.line) & 1u) == (condition.high ? 1u : 0u);
    });
}

} // namespace velmora::watch
