// velmora-sim: drives the simulated card's input lines from outside the program by editing its
// state file. Exit status: 0 done, 1 the state file could not be used, 2 bad usage.

#include "simulated/sim_state.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using namespace velmora;

namespace {

class UsageError final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where neither LOCALAPPDATA nor the system names a folder for it (Windows), the usage text
// says so rather than failing itself.
std::string stateFileText()
{
    try {
        return displayPath(SimStateFile::defaultPath());
    } catch (const SimStateError &error) {
        return std::string("unknown: ") + error.what();
    }
}

std::string usage()
{
    return "usage: velmora-sim COMMAND [ARGUMENTS]\n"
           "Sets what the simulated card's input ports deliver.\n"
           "\n"
           "  set P0 P1 [P2]    the values ports 0, 1 (and 2) deliver; turns any pattern off.\n"
           "                    Each is decimal, 0x-hex or negative, -32768..65535 (negative\n"
           "                    values are stored as 16-bit two's complement: -1 is 0xffff).\n"
           "                    Without P2, port 2 keeps its value.\n"
           "  get               show the port values, the pattern and the faults\n"
           "  pattern NAME      drive ports 0 and 1 with a pattern: off, count, walk or random\n"
           "  fault OP MODE     make an operation fail; OP: read0, read1, configure, select;\n"
           "                    MODE: none, false, error, nobool\n"
           "  trace FILE|off    append a line per port read to FILE (monotonic ns, port, value),\n"
           "                    for measuring the program's cadence; off stops it\n"
           "  reset             every port 0, pattern off, every fault none, no trace\n"
           "  help, -h, --help  show this text\n"
           "\n"
           "State file: " +
           stateFileText() +
           "\n"
#ifdef _WIN32
           "(in %LOCALAPPDATA%\\Velmora)\n";
#else
           "(in $XDG_RUNTIME_DIR/velmora, else in /tmp/velmora-UID)\n";
#endif
}

void expectArguments(std::string_view command, std::span<const std::string_view> args,
                     std::size_t least, std::size_t most)
{
    if (args.size() >= least && args.size() <= most)
        return;
    const std::string wanted = least == most
                                   ? std::to_string(least)
                                   : std::to_string(least) + " or " + std::to_string(most);
    throw UsageError("'" + std::string(command) + "' takes " + wanted + " argument" +
                     (most == 1 ? "" : "s") + ", not " + std::to_string(args.size()));
}

// Decimal or 0x-hex, optionally negative, within -32768..65535.
std::uint16_t parsePortValue(std::string_view text)
{
    std::string_view digits = text;
    const bool negative = digits.starts_with('-');
    if (negative)
        digits.remove_prefix(1);
    const std::optional<std::uint32_t> parsed = parseRegisterNumber(digits);
    if (!parsed) {
        throw UsageError("port value '" + std::string(text) +
                         "' is not a number (decimal, 0x-hex, or negative decimal)");
    }
    const std::uint32_t value = *parsed;
    if (negative ? value > 0x8000 : value > 0xffff) {
        throw UsageError("port value '" + std::string(text) + "' is out of range (-32768..65535)");
    }
    return static_cast<std::uint16_t>(negative ? 0x10000 - value : value);
}

int run(std::span<const std::string_view> argv)
{
    if (argv.empty())
        throw UsageError("no command given");
    const std::string_view command = argv.front();
    const auto args = argv.subspan(1);

    if (command == "help" || command == "-h" || command == "--help") {
        expectArguments(command, args, 0, 0);
        std::cout << usage();
        return 0;
    }

    const SimStateFile file(SimStateFile::defaultPath());
    if (command == "reset") {
        expectArguments(command, args, 0, 0);
        // Never reads the old file, so that reset also mends a corrupt one.
        SimState state;
        state.pattern = SimPattern::Off;
        file.store(state);
        return 0;
    }
    if (command == "get") {
        expectArguments(command, args, 0, 0);
        const SimState state = file.load();
        std::string text;
        for (std::size_t i = 0; i < SimPortCount; ++i) {
            char line[32];
            std::snprintf(line, sizeof line, "port%zu 0x%04x %u\n", i, unsigned{state.ports[i]},
                          unsigned{state.ports[i]});
            text += line;
        }
        text += "pattern " + std::string(toString(state.pattern)) + '\n';
        for (std::size_t i = 0; i < SimOperationCount; ++i) {
            const auto op = static_cast<SimOperation>(i);
            text += "fault " + std::string(toString(op)) + ' ' +
                    std::string(toString(state.fault(op))) + '\n';
        }
        text += "trace " + (state.trace.empty() ? std::string("off") : state.trace) + '\n';
        std::cout << text << std::flush;
        if (!std::cout)
            throw std::runtime_error("cannot write to standard output");
        return 0;
    }
    if (command == "set") {
        expectArguments(command, args, 2, 3);
        std::array<std::uint16_t, SimPortCount> values{};
        for (std::size_t i = 0; i < args.size(); ++i)
            values[i] = parsePortValue(args[i]);
        file.update([&](SimState &state) {
            for (std::size_t i = 0; i < args.size(); ++i)
                state.ports[i] = values[i];
            state.pattern = SimPattern::Off;
        });
        return 0;
    }
    if (command == "pattern") {
        expectArguments(command, args, 1, 1);
        const auto pattern = patternFromString(args[0]);
        if (!pattern) {
            throw UsageError("unknown pattern '" + std::string(args[0]) +
                             "' (off, count, walk or random)");
        }
        file.update([&](SimState &state) { state.pattern = *pattern; });
        return 0;
    }
    if (command == "fault") {
        expectArguments(command, args, 2, 2);
        const auto op = operationFromString(args[0]);
        if (!op) {
            throw UsageError("unknown operation '" + std::string(args[0]) +
                             "' (read0, read1, configure or select)");
        }
        const auto mode = faultModeFromString(args[1]);
        if (!mode) {
            throw UsageError("unknown fault mode '" + std::string(args[1]) +
                             "' (none, false, error or nobool)");
        }
        file.update([&](SimState &state) { state.faults[static_cast<std::size_t>(*op)] = *mode; });
        return 0;
    }
    if (command == "trace") {
        expectArguments(command, args, 1, 1);
        std::string target;
        if (args[0] != "off") {
            target = displayPath(
                std::filesystem::absolute(std::filesystem::path(args[0])).lexically_normal());
            // The state file holds it as one field of printable characters.
            const bool printable =
                std::ranges::all_of(target, [](char c) { return c > ' ' && c < 0x7f; });
            if (args[0].empty() || !printable)
                throw UsageError("a trace file name must not be empty or hold spaces");
        }
        file.update([&](SimState &state) { state.trace = target; });
        return 0;
    }
    throw UsageError("unknown command '" + std::string(command) + "'");
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    try {
        return run(args);
    } catch (const UsageError &error) {
        std::cerr << "velmora-sim: " << error.what() << "\n\n" << usage();
        return 2;
    } catch (const std::exception &error) {
        // SimStateError messages already name the file and the fix.
        std::cerr << "velmora-sim: " << error.what() << '\n';
        return 1;
    }
}
