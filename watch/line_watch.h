#pragma once

#include "sample_log.h"
#include "watch_options.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

namespace velmora {
class DeviceControl;
}

namespace velmora::watch {

// Waits between samples. Returns false when the watch is asked to stop (a signal) first.
class Pause {
public:
    virtual ~Pause() = default;
    virtual bool until(std::chrono::steady_clock::time_point due) = 0;

protected:
    Pause() = default;
};

// The window's work without the window: configure the ports as inputs, then sample both input
// ports at the interval, through the same device control, and log what changed.
class LineWatch final {
public:
    // Takes one log line; false when its reader has gone, which ends the watch.
    using Output = std::function<bool(std::string_view)>;
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    // ConfigurePorts' arguments, as "Initial" passes them: the first chip, and the 8255 mode set
    // with every port an input.
    static constexpr std::int32_t FirstChip = 0;
    static constexpr std::int16_t AllInputsControlWord = 0x9B;

    LineWatch(DeviceControl &control, const Options &options, Output output, Pause &pause,
              SteadyClock steady = &std::chrono::steady_clock::now,
              WallClock wall = &std::chrono::system_clock::now);

    // Runs until the --until condition or --count is reached (Done), the --timeout passes
    // (TimedOut), or the pause or the output says stop (Done). A card failure raises
    // AutomationError, as it does in the window.
    int run();

    std::uint64_t changes() const noexcept { return m_changes; }

private:
    Lines readLines();
    bool conditionHolds(Lines lines) const;

    DeviceControl &m_control;
    const Options &m_options;
    Output m_output;
    Pause &m_pause;
    SteadyClock m_steady;
    WallClock m_wall;
    SampleLog m_log;
    std::uint64_t m_changes = 0;
};

} // namespace velmora::watch
