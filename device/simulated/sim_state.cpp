#include "simulated/sim_state.h"

#include "simulated/sim_state_detail.h"

#include <algorithm>

namespace velmora {

namespace {

constexpr std::string_view Magic = "velmora-simcard";
constexpr std::string_view Version = "1";
using sim_state_detail::MaxFileSize;

// Indexed by the enums' values.
constexpr std::array<std::string_view, 4> PatternNames{"off", "count", "walk", "random"};
constexpr std::array<std::string_view, 4> FaultModeNames{"none", "false", "error", "nobool"};
constexpr std::array<std::string_view, SimOperationCount> OperationNames{"read0", "read1",
                                                                         "configure", "select"};

template<typename Enum, std::size_t N>
std::string_view nameOf(const std::array<std::string_view, N> &names, Enum value)
{
    const auto index = static_cast<std::size_t>(value);
    return index < N ? names[index] : std::string_view("invalid");
}

template<typename Enum, std::size_t N>
std::optional<Enum> fromName(const std::array<std::string_view, N> &names, std::string_view text)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i] == text)
            return static_cast<Enum>(i);
    }
    return std::nullopt;
}

std::uint64_t splitmix64(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

std::string hex4(std::uint16_t value)
{
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4)
        text += Digits[(value >> shift) & 0xf];
    return text;
}

[[noreturn]] void refuseLine(std::size_t line, const std::string &reason)
{
    throw SimStateError("line " + std::to_string(line) + ": " + reason);
}

void checkBytes(std::string_view line, std::size_t lineNo)
{
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0)
            refuseLine(lineNo, "contains a NUL byte");
        if (byte == '\r')
            refuseLine(lineNo, "contains a carriage return (Windows line ending)");
        if (byte < 0x20 || byte > 0x7e) {
            static constexpr char Digits[] = "0123456789abcdef";
            refuseLine(lineNo, std::string("contains byte 0x") + Digits[byte >> 4] +
                                   Digits[byte & 0xf] + ", which has no place in a state file");
        }
    }
}

// A register value: decimal, or 0x followed by hex digits; nothing else, no sign, no spaces.
std::uint16_t parsePortField(std::string_view key, std::string_view text, std::size_t lineNo)
{
    const auto prefix = std::string(key) + " value " + quotedValue(text);
    const std::optional<std::uint32_t> value = parseRegisterNumber(text);
    if (!value)
        refuseLine(lineNo, prefix + " is not a number");
    if (*value > 0xffff)
        refuseLine(lineNo, prefix + " is out of range (0x0000 to 0xffff)");
    return static_cast<std::uint16_t>(*value);
}

// Each line after the first sets one of these keys, each exactly once.
constexpr std::size_t PatternKey = SimPortCount;
constexpr std::size_t FirstFaultKey = SimPortCount + 1;
constexpr std::size_t TraceKey = FirstFaultKey + SimOperationCount;
constexpr std::size_t KeyCount = TraceKey + 1;

std::string keyName(std::size_t key)
{
    if (key < SimPortCount)
        return "port" + std::to_string(key);
    if (key == PatternKey)
        return "pattern";
    if (key == TraceKey)
        return "trace";
    return "fault " + std::string(OperationNames[key - FirstFaultKey]);
}

// The program and velmora-sim run in different working folders, so a trace file must be named
// absolutely.
bool isAbsoluteTracePath(std::string_view text)
{
#ifdef _WIN32
    // C:\... or \\server\share\...; "\x" and "C:x" still depend on the current drive or folder.
    const auto separator = [](char c) {
        return c == '\\' || c == '/';
    };
    const auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    };
    if (text.size() >= 3 && letter(text[0]) && text[1] == ':' && separator(text[2]))
        return true;
    return text.size() >= 3 && separator(text[0]) && separator(text[1]);
#else
    return text.starts_with('/');
#endif
}

// A trace file's name is any path a user can give, spaces and all, but the state file holds
// printable ASCII alone: every other byte, and '%' itself, is written as %XX.
std::string encodeTracePath(std::string_view path)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7f && byte != '%') {
            text += c;
        } else {
            text += '%';
            text += Digits[byte >> 4];
            text += Digits[byte & 0xf];
        }
    }
    return text;
}

std::string decodeTracePath(std::string_view text, std::size_t lineNo)
{
    const auto hexDigit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            path += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hexDigit(text[i + 1]) < 0 || hexDigit(text[i + 2]) < 0) {
            refuseLine(lineNo, "trace file " + quotedValue(text) +
                                   " has a '%' that is not followed by two hex digits");
        }
        const char byte = static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
        if (byte == '\0')
            refuseLine(lineNo, "trace file " + quotedValue(text) + " holds a NUL byte (%00)");
        path += byte;
        i += 2;
    }
    return path;
}

} // namespace

std::optional<std::uint32_t> parseRegisterNumber(std::string_view text)
{
    std::string_view digits = text;
    unsigned base = 10;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty())
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        // Saturate rather than wrap, so that a long number still reads as out of range.
        value = std::min<std::uint32_t>(value * base + digit, 0x10000);
    }
    return value;
}

std::string_view toString(SimPattern pattern)
{
    return nameOf(PatternNames, pattern);
}

std::string_view toString(SimFaultMode mode)
{
    return nameOf(FaultModeNames, mode);
}

std::string_view toString(SimOperation op)
{
    return nameOf(OperationNames, op);
}

std::optional<SimPattern> patternFromString(std::string_view text)
{
    return fromName<SimPattern>(PatternNames, text);
}

std::optional<SimFaultMode> faultModeFromString(std::string_view text)
{
    return fromName<SimFaultMode>(FaultModeNames, text);
}

std::optional<SimOperation> operationFromString(std::string_view text)
{
    return fromName<SimOperation>(OperationNames, text);
}

std::string printable(std::string_view text)
{
    static constexpr char Digits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    const auto escape = [&](unsigned char byte) {
        shown += "\\x";
        shown += Digits[byte >> 4];
        shown += Digits[byte & 0xf];
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7f)
                escape(byte);
            else
                shown += static_cast<char>(byte);
            ++i;
            continue;
        }
        // A whole, shortest-form UTF-8 sequence passes, unless it is a C1 control (U+0080 to
        // U+009F), which terminals obey as they do ESC.
        const std::size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 0;
        bool whole = length != 0 && byte <= 0xf4 && i + length <= text.size();
        std::uint32_t code = byte & (0x7f >> length);
        for (std::size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            whole = (next & 0xc0) == 0x80;
            code = code << 6 | (next & 0x3f);
        }
        constexpr std::uint32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
        whole = whole && code >= Least[length] && code <= 0x10ffff &&
                !(code >= 0xd800 && code <= 0xdfff) && code >= 0xa0;
        if (whole) {
            shown.append(text.substr(i, length));
            i += length;
        } else {
            escape(byte);
            ++i;
        }
    }
    return shown;
}

std::string quotedValue(std::string_view text, std::size_t limit)
{
    // Cut at a character boundary, counting a UTF-8 sequence as one character.
    std::size_t cut = 0;
    for (std::size_t characters = 0; cut < text.size() && characters < limit; ++characters) {
        ++cut;
        while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
            ++cut;
    }
    std::string result = "'" + printable(text.substr(0, cut));
    if (cut < text.size())
        result += "...";
    return result + "'";
}

std::array<std::uint16_t, SimPortCount>
SimState::portValuesAt(std::chrono::system_clock::time_point now) const
{
    using namespace std::chrono;
    using Quarters = duration<std::int64_t, std::ratio<1, 4>>;
    using Tenths = duration<std::int64_t, std::ratio<1, 10>>;

    // floor, not duration_cast: a step must last its full period on both sides of the epoch.
    const auto sinceEpoch = now.time_since_epoch();
    std::uint16_t lines = 0;
    switch (pattern) {
    case SimPattern::Count:
        lines = static_cast<std::uint16_t>(floor<seconds>(sinceEpoch).count());
        break;
    case SimPattern::Walk:
        lines = static_cast<std::uint16_t>(
            1u << (static_cast<std::uint64_t>(floor<Quarters>(sinceEpoch).count()) % 16));
        break;
    case SimPattern::Random:
        lines = static_cast<std::uint16_t>(
            splitmix64(static_cast<std::uint64_t>(floor<Tenths>(sinceEpoch).count())) >> 48);
        break;
    case SimPattern::Off:
    default:
        return ports;
    }
    auto values = ports;
    values[0] = lines & 0xff;
    values[1] = static_cast<std::uint16_t>(lines >> 8);
    return values;
}

std::string SimState::format() const
{
    std::string text = std::string(Magic) + ' ' + std::string(Version) + '\n';
    for (std::size_t i = 0; i < SimPortCount; ++i)
        text += "port" + std::to_string(i) + ' ' + hex4(ports[i]) + '\n';
    text += "pattern " + std::string(toString(pattern)) + '\n';
    for (std::size_t i = 0; i < SimOperationCount; ++i) {
        text += "fault " + std::string(OperationNames[i]) + ' ' + std::string(toString(faults[i])) +
                '\n';
    }
    if (!trace.empty())
        text += "trace " + encodeTracePath(trace) + '\n';
    return text;
}

SimState SimState::parse(std::string_view text)
{
    if (text.empty())
        throw SimStateError("empty");
    if (text.size() > MaxFileSize) {
        throw SimStateError(std::to_string(text.size()) + " bytes, more than the " +
                            std::to_string(MaxFileSize) + " a state file may hold");
    }

    SimState state;
    std::array<std::size_t, KeyCount> seenOnLine{};
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        ++lineNo;
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        checkBytes(line, lineNo);

        if (lineNo == 1) {
            const std::string expected = std::string(Magic) + ' ' + std::string(Version);
            if (line == expected)
                continue;
            const std::string magicPrefix = std::string(Magic) + ' ';
            if (line.starts_with(magicPrefix)) {
                refuseLine(1, "unsupported version " +
                                  quotedValue(line.substr(magicPrefix.size())) +
                                  " (this program reads version " + std::string(Version) + ")");
            }
            refuseLine(1, "not a simulated-card state file (expected '" + expected + "')");
        }
        if (line.empty())
            refuseLine(lineNo, "empty line");

        // Exactly one space between fields, none at either end.
        std::array<std::string_view, 3> fields;
        std::size_t fieldCount = 0;
        for (std::size_t start = 0;;) {
            const std::size_t space = std::min(line.find(' ', start), line.size());
            if (space == start)
                refuseLine(lineNo, "fields must be separated by single spaces");
            if (fieldCount == fields.size())
                refuseLine(lineNo, "too many fields");
            fields[fieldCount++] = line.substr(start, space - start);
            if (space == line.size())
                break;
            start = space + 1;
        }

        const std::string_view name = fields[0];
        std::size_t key = KeyCount;
        std::size_t wantedFields = 2;
        if (name.size() == 5 && name.starts_with("port") && name[4] >= '0' &&
            static_cast<std::size_t>(name[4] - '0') < SimPortCount) {
            key = static_cast<std::size_t>(name[4] - '0');
        } else if (name == "pattern") {
            key = PatternKey;
        } else if (name == "trace") {
            key = TraceKey;
        } else if (name == "fault") {
            wantedFields = 3;
            if (fieldCount >= 2) {
                const auto op = operationFromString(fields[1]);
                if (!op) {
                    refuseLine(lineNo, "unknown operation " + quotedValue(fields[1]) +
                                           " (read0, read1, configure or select)");
                }
                key = FirstFaultKey + static_cast<std::size_t>(*op);
            }
        } else {
            refuseLine(lineNo, "unknown key " + quotedValue(name));
        }
        if (fieldCount != wantedFields) {
            refuseLine(lineNo, std::string(name) + " takes " +
                                   (wantedFields == 2 ? "one value" : "an operation and a mode"));
        }
        if (seenOnLine[key] != 0) {
            refuseLine(lineNo, "duplicate " + keyName(key) + " (first on line " +
                                   std::to_string(seenOnLine[key]) + ")");
        }
        seenOnLine[key] = lineNo;

        if (key < SimPortCount) {
            state.ports[key] = parsePortField(name, fields[1], lineNo);
        } else if (key == TraceKey) {
            state.trace = decodeTracePath(fields[1], lineNo);
            if (!isAbsoluteTracePath(state.trace))
                refuseLine(lineNo,
                           "trace file " + quotedValue(state.trace) + " is not an absolute path");
        } else if (key == PatternKey) {
            const auto pattern = patternFromString(fields[1]);
            if (!pattern) {
                refuseLine(lineNo, "unknown pattern " + quotedValue(fields[1]) +
                                       " (off, count, walk or random)");
            }
            state.pattern = *pattern;
        } else {
            const auto mode = faultModeFromString(fields[2]);
            if (!mode) {
                refuseLine(lineNo, "unknown fault mode " + quotedValue(fields[2]) +
                                       " (none, false, error or nobool)");
            }
            state.faults[key - FirstFaultKey] = *mode;
        }
    }
    for (std::size_t key = 0; key < KeyCount; ++key) {
        if (seenOnLine[key] == 0 && key != TraceKey) // a trace is optional
            throw SimStateError("no " + keyName(key) + " line");
    }
    return state;
}

} // namespace velmora
