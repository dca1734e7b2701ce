#include "sample_log.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace velmora::watch {

namespace {

constexpr int LineCount = 16;

std::string hexByte(unsigned value)
{
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%02X", value & 0xFFu);
    return text.data();
}

// "D3 D9": the lines set in `mask`, in ascending order, joined by `separator`.
std::string lineNames(Lines mask, std::string_view separator, std::string_view quote = {})
{
    std::string names;
    for (int line = 0; line < LineCount; ++line) {
        if ((mask & (1u << line)) == 0)
            continue;
        if (!names.empty())
            names += separator;
        names += quote;
        names += 'D' + std::to_string(line);
        names += quote;
    }
    return names;
}

std::string seconds(std::chrono::steady_clock::duration elapsed)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text.data();
}

} // namespace

std::string isoTime(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    // Whole seconds rounded down, so that times before 1970 keep a positive remainder.
    const long long wholeSeconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const auto fraction = static_cast<int>(ms - wholeSeconds * 1000);
    const std::time_t t = static_cast<std::time_t>(wholeSeconds);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    std::array<char, 32> date{};
    std::strftime(date.data(), date.size(), "%Y-%m-%dT%H:%M:%S", &local);
    std::array<char, 8> zone{};
    std::strftime(zone.data(), zone.size(), "%z", &local); // +0100
    std::string offset = zone.data();
    if (offset.size() == 5)
        offset.insert(3, ":"); // ISO 8601's extended form, as the date and time are
    std::array<char, 8> millis{};
    std::snprintf(millis.data(), millis.size(), ".%03d", fraction);
    return std::string(date.data()) + millis.data() + offset;
}

std::string SampleLog::header() const
{
    return m_format == Format::Csv ? "time,elapsed_s,event,port0,port1,rose,fell\n" : "";
}

std::optional<std::string> SampleLog::record(const Sample &sample)
{
    const bool first = !m_previous;
    if (!first && *m_previous == sample.lines)
        return std::nullopt;
    const Lines before = first ? sample.lines : *m_previous;
    m_previous = sample.lines;
    const auto rose = static_cast<Lines>(sample.lines & ~before);
    const auto fell = static_cast<Lines>(before & ~sample.lines);
    return format(sample, rose, fell, first);
}

std::string SampleLog::format(const Sample &sample, Lines rose, Lines fell, bool first) const
{
    const std::string time = isoTime(sample.time);
    const std::string elapsed = seconds(sample.sinceStart);
    const std::string port0 = hexByte(sample.lines);
    const std::string port1 = hexByte(sample.lines >> 8u);
    const char *event = first ? "start" : "change";

    switch (m_format) {
    case Format::Text: {
        std::string line = time + "  +" + elapsed + "s  port0 " + port0 + "  port1 " + port1;
        if (first)
            line += "  start";
        if (rose != 0)
            line += "  rose " + lineNames(rose, " ");
        if (fell != 0)
            line += "  fell " + lineNames(fell, " ");
        return line + '\n';
    }
    case Format::Csv:
        return time + ',' + elapsed + ',' + event + ',' + port0 + ',' + port1 + ',' +
               lineNames(rose, " ") + ',' + lineNames(fell, " ") + '\n';
    case Format::Json:
        return "{\"time\":\"" + time + "\",\"elapsed\":" + elapsed + ",\"event\":\"" + event +
               "\",\"port0\":\"" + port0 + "\",\"port1\":\"" + port1 + "\",\"rose\":[" +
               lineNames(rose, ",", "\"") + "],\"fell\":[" + lineNames(fell, ",", "\"") + "]}\n";
    }
    return {};
}

} // namespace velmora::watch
