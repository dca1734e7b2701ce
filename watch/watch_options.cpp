#include "watch_options.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace velmora::watch {

namespace {

template<typename Number> std::optional<Number> parseNumber(std::string_view text)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// "D9=1", "d9=0", "9=high": a line of D0..D15 and the level it must reach.
LineCondition parseCondition(std::string_view text)
{
    const auto bad = [&text]() -> UsageError {
        return UsageError("--until takes LINE=LEVEL, such as D9=1 (lines D0..D15, levels 0 or 1), "
                          "not '" +
                          std::string(text) + "'");
    };
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        throw bad();
    std::string_view line = text.substr(0, equals);
    const std::string_view level = text.substr(equals + 1);
    if (!line.empty() && (line.front() == 'D' || line.front() == 'd'))
        line.remove_prefix(1);
    const auto index = parseNumber<int>(line);
    if (!index || *index < 0 || *index > 15)
        throw bad();
    if (level == "1" || level == "high")
        return {*index, true};
    if (level == "0" || level == "low")
        return {*index, false};
    throw bad();
}

Format parseFormat(std::string_view text)
{
    if (text == "text")
        return Format::Text;
    if (text == "csv")
        return Format::Csv;
    if (text == "json")
        return Format::Json;
    throw UsageError("--format takes text, csv or json, not '" + std::string(text) + "'");
}

std::chrono::milliseconds parseSeconds(std::string_view text)
{
    const auto seconds = parseNumber<double>(text);
    // A day at most: enough for any bench, and far from overflowing the clock.
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0 || *seconds > 86400) {
        throw UsageError("--timeout takes seconds from 0 to 86400 (such as 5 or 0.5), not '" +
                         std::string(text) + "'");
    }
    return std::chrono::milliseconds(std::llround(*seconds * 1000));
}

} // namespace

Options parseOptions(std::span<const std::string_view> args)
{
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> inlineValue;
        if (name.starts_with("--")) {
            if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
                inlineValue = name.substr(equals + 1);
                name = name.substr(0, equals);
            }
        }
        const auto value = [&]() -> std::string_view {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= args.size())
                throw UsageError(std::string(name) + " needs a value");
            return args[++i];
        };
        const auto noValue = [&] {
            if (inlineValue)
                throw UsageError(std::string(name) + " takes no value");
        };

        if (name == "--help" || name == "-h") {
            noValue();
            options.action = Options::Action::Help;
        } else if (name == "--version") {
            noValue();
            options.action = Options::Action::Version;
        } else if (name == "--list") {
            noValue();
            options.action = Options::Action::List;
        } else if (name == "--card") {
            options.card = value();
            if (options.card.empty())
                throw UsageError("--card needs a card's name or device node (see --list)");
        } else if (name == "--interval") {
            const std::string_view text = value();
            const auto ms = parseNumber<std::int64_t>(text);
            if (!ms || *ms < Options::ShortestInterval.count() || *ms > 3'600'000) {
                throw UsageError("--interval takes milliseconds from 10 to 3600000, not '" +
                                 std::string(text) + "'");
            }
            options.interval = std::chrono::milliseconds(*ms);
        } else if (name == "--format") {
            options.format = parseFormat(value());
        } else if (name == "--until") {
            options.until.push_back(parseCondition(value()));
        } else if (name == "--count") {
            const std::string_view text = value();
            const auto count = parseNumber<std::uint64_t>(text);
            if (!count)
                throw UsageError("--count takes a number of changes, not '" + std::string(text) +
                                 "'");
            options.count = *count;
        } else if (name == "--timeout") {
            options.timeout = parseSeconds(value());
        } else {
            throw UsageError("unknown option '" + std::string(args[i]) + "'");
        }
    }
    return options;
}

std::string usageText()
{
    return "usage: velmora-watch [OPTIONS]\n"
           "Watches the card's sixteen input lines D0..D15 and prints a line with the time for\n"
           "the state at start and for every sample that differs from the one before.\n"
           "\n"
           "  --card NAME|NODE   the card to watch, by its name or device node as --list shows\n"
           "                     them; without it, the card last chosen in Velmora's \"Select\n"
           "                     Device\" where it is still there, else the simulated card\n"
           "  --list             list the cards with kind, place and status, and exit\n"
           "  --interval MS      milliseconds between samples, 10 or more (default 100)\n"
           "  --format FORMAT    text (default), csv (with a header) or json (an object a line)\n"
           "  --until LINE=LEVEL end once the line is at the level, such as D9=1; repeat it to\n"
           "                     wait until all hold at once\n"
           "  --count N          end after N changes\n"
           "  --timeout SECONDS  give up after this long (such as 5 or 0.5)\n"
           "  -h, --help         show this text\n"
           "  --version          show the version\n"
           "\n"
           "Each line: the wall-clock time (ISO 8601, milliseconds, local offset), the seconds\n"
           "since start, port 0 (D0..D7) and port 1 (D8..D15) in hex, and the lines that rose\n"
           "and fell. Every line is flushed at once, so a pipe sees each change as it happens.\n"
           "\n"
           "Exit status:\n"
           "  0  the --until condition or the --count was reached, or SIGINT/SIGTERM/SIGHUP\n"
           "     ended the watch (the card is released first), or the reader of the output left\n"
           "  1  the card failed (\"Run-time error 'N':\" on standard error), could not be\n"
           "     opened or found, or the output could not be written\n"
           "  2  bad usage\n"
           "  3  the --timeout passed first\n";
}

} // namespace velmora::watch
