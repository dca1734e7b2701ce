#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::watch {

// How each line of the log is written: for people, for a spreadsheet, for a program.
enum class Format { Text, Csv, Json };

// One condition of --until: input line `line` (0 for D0 .. 15 for D15) at `high`.
struct LineCondition {
    int line = 0;
    bool high = false;
    friend bool operator==(const LineCondition &, const LineCondition &) = default;
};

// What the command line asks for.
struct Options {
    enum class Action { Watch, List, Help, Version };

    static constexpr std::chrono::milliseconds DefaultInterval{100};
    static constexpr std::chrono::milliseconds ShortestInterval{10};

    Action action = Action::Watch;
    std::chrono::milliseconds interval = DefaultInterval;
    Format format = Format::Text;
    std::string card; // a card's name or device node; empty: the one the device control offers
    std::vector<LineCondition> until;   // all must hold at once
    std::optional<std::uint64_t> count; // changes after the first line
    std::optional<std::chrono::milliseconds> timeout;
};

// How the program ends, as its exit status.
namespace exit_status {
inline constexpr int Done = 0;   // condition or count reached, or stopped by a signal
inline constexpr int Failed = 1; // the card failed, or the log could not be written
inline constexpr int BadUsage = 2;
inline constexpr int TimedOut = 3;
} // namespace exit_status

class UsageError final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the arguments after the program's name; throws UsageError naming what is wrong.
Options parseOptions(std::span<const std::string_view> args);

std::string usageText();
inline constexpr std::string_view Version = "1.00";

} // namespace velmora::watch
