#pragma once

#include "watch_options.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace velmora::watch {

// The sixteen input lines at one moment: D0..D7 (port 0's low byte) in bits 0-7, D8..D15
// (port 1's) in bits 8-15.
using Lines = std::uint16_t;

struct Sample {
    std::chrono::system_clock::time_point time;
    std::chrono::steady_clock::duration sinceStart{};
    Lines lines = 0;
};

// ISO 8601 local time with milliseconds and the offset: 2026-12-09T09:15:02.123+01:00.
std::string isoTime(std::chrono::system_clock::time_point time);

// Turns samples into log lines: one for the first sample, then one for each sample whose lines
// differ from the sample before.
class SampleLog final {
public:
    explicit SampleLog(Format format)
        : m_format(format)
    {}

    // What goes before the first line (CSV's header), or nothing.
    std::string header() const;
    // The line for `sample`, newline included, or nothing when its lines have not changed.
    std::optional<std::string> record(const Sample &sample);

    std::optional<Lines> last() const noexcept { return m_previous; }

private:
    std::string format(const Sample &sample, Lines rose, Lines fell, bool first) const;

    Format m_format;
    std::optional<Lines> m_previous;
};

} // namespace velmora::watch
