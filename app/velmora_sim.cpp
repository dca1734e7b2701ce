// velmora-sim: drives the simulated card's input lines from outside the program by editing its
// state file. Exit status: 0 done, 1 the state file could not be used, 2 bad usage. The
// manual page docs/velmora-sim.1 says the same for users; change both together.

#include "simulated/sim_state.h"
#include "simulated/trace_file.h"

#ifdef _WIN32
#include "win32/win32_text.h"

#include <windows.h>

#include <shellapi.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
           "  get               show the stored port values, the pattern and the faults; while\n"
           "                    a pattern runs, the lines show the pattern, not these values\n"
           "  pattern NAME      drive ports 0 and 1 with a pattern: off, count, walk or random\n"
           "  fault OP MODE     make an operation fail; OP: read0, read1, configure, select;\n"
           "                    MODE: none, false, error, nobool\n"
           "  trace FILE|off    append a line per port read to FILE (monotonic ns, port, value),\n"
           "                    for measuring the program's cadence; off stops it\n"
           "  reset             every port 0, pattern off, every fault none, no trace\n"
           "  help, -h, --help  show this text\n"
           "  --version         show the version\n"
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
        throw UsageError("port value " + quotedValue(text) +
                         " is not a number (decimal, 0x-hex, or negative decimal)");
    }
    const std::uint32_t value = *parsed;
    if (negative ? value > 0x8000 : value > 0xffff) {
        throw UsageError("port value " + quotedValue(text) + " is out of range (-32768..65535)");
    }
    return static_cast<std::uint16_t>(negative ? 0x10000 - value : value);
}

// The path a user named, in the system's terms; on Windows the arguments arrive as UTF-8.
std::filesystem::path pathFromArgument(std::string_view text)
{
#ifdef _WIN32
    return std::filesystem::path(toUtf16(text));
#else
    return std::filesystem::path(std::string(text));
#endif
}

// How a change waits for another velmora-sim: saying so once, and giving up after a while.
SimUpdateOptions updateOptions(const SimStateFile &file)
{
    SimUpdateOptions options;
    options.waiting = [&file](std::optional<std::int64_t> holder) {
        std::cerr << "velmora-sim: waiting for another velmora-sim"
                  << (holder ? " (process " + std::to_string(*holder) + ")" : std::string())
                  << " to finish with " << printable(displayPath(file.path())) << std::endl;
    };
    // For the test suite: a change that stops, lock held, until its standard input says go on,
    // and a shorter patience, so that races are played out in a fixed order.
    if (const char *pause = std::getenv("VELMORA_SIM_TEST_PAUSE"); pause && *pause) {
        options.beforeReplace = [] {
            std::cerr << "velmora-sim: paused" << std::endl;
            std::cin.get();
        };
    }
    if (const char *patience = std::getenv("VELMORA_SIM_TEST_PATIENCE_MS"); patience && *patience)
        options.patience = std::chrono::milliseconds(std::atoi(patience));
    return options;
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
    if (command == "--version") {
        expectArguments(command, args, 0, 0);
        std::cout << "velmora-sim " VELMORA_VERSION "\n";
        return 0;
    }

    const SimStateFile file(SimStateFile::defaultPath());
    const SimUpdateOptions options = updateOptions(file);
    if (command == "reset") {
        expectArguments(command, args, 0, 0);
        // Never reads the old file, so that reset also mends a corrupt one.
        SimState state;
        state.pattern = SimPattern::Off;
        file.store(state, options);
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
        text +=
            "trace " + (state.trace.empty() ? std::string("off") : printable(state.trace)) + '\n';
        std::cout << text;
        return 0;
    }
    if (command == "set") {
        expectArguments(command, args, 2, 3);
        std::array<std::uint16_t, SimPortCount> values{};
        for (std::size_t i = 0; i < args.size(); ++i)
            values[i] = parsePortValue(args[i]);
        file.update(
            [&](SimState &state) {
                for (std::size_t i = 0; i < args.size(); ++i)
                    state.ports[i] = values[i];
                state.pattern = SimPattern::Off;
            },
            options);
        return 0;
    }
    if (command == "pattern") {
        expectArguments(command, args, 1, 1);
        const auto pattern = patternFromString(args[0]);
        if (!pattern) {
            throw UsageError("unknown pattern " + quotedValue(args[0]) +
                             " (off, count, walk or random)");
        }
        file.update([&](SimState &state) { state.pattern = *pattern; }, options);
        return 0;
    }
    if (command == "fault") {
        expectArguments(command, args, 2, 2);
        const auto op = operationFromString(args[0]);
        if (!op) {
            throw UsageError("unknown operation " + quotedValue(args[0]) +
                             " (read0, read1, configure or select)");
        }
        const auto mode = faultModeFromString(args[1]);
        if (!mode) {
            throw UsageError("unknown fault mode " + quotedValue(args[1]) +
                             " (none, false, error or nobool)");
        }
        file.update([&](SimState &state) { state.faults[static_cast<std::size_t>(*op)] = *mode; },
                    options);
        return 0;
    }
    if (command == "trace") {
        expectArguments(command, args, 1, 1);
        if (args[0].empty())
            throw UsageError("'trace' takes a file name or 'off', not an empty one");
        std::string target;
        if (args[0] != "off") {
            // Absolute, from here: the program runs in another working folder.
            const std::filesystem::path path =
                std::filesystem::absolute(pathFromArgument(args[0])).lexically_normal();
            target = displayPath(path);
            // Tried now, as the card will open it, so that a trace that cannot work is refused
            // here rather than at the program's first read.
            TraceFile trace;
            if (auto failure = trace.open(target))
                throw std::runtime_error("cannot trace to " + printable(target) + ": " + *failure);
        }
        file.update([&](SimState &state) { state.trace = target; }, options);
        return 0;
    }
    throw UsageError("unknown command " + quotedValue(command));
}

// The arguments as UTF-8: on Windows from the wide command line, so that any name a user can
// type arrives whole, whatever the code page.
std::vector<std::string> arguments(int argc, char **argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; wide != nullptr && i < count; ++i)
        args.push_back(toUtf8(wide[i]));
    LocalFree(wide);
    return args;
#else
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
#endif
}

// Whatever was said, a failure to say it makes the command fail.
int withOutputChecked(int status)
{
    std::cout.flush();
    if (!std::cout || !std::cerr)
        return status != 0 ? status : 1;
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> owned = arguments(argc, argv);
    const std::vector<std::string_view> args(owned.begin(), owned.end());
    try {
        return withOutputChecked(run(args));
    } catch (const UsageError &error) {
        std::cerr << "velmora-sim: " << error.what() << "\n\n" << usage();
        return withOutputChecked(2);
    } catch (const std::exception &error) {
        // SimStateError messages already name the file and the fix.
        std::cerr << "velmora-sim: " << error.what() << '\n';
        return withOutputChecked(1);
    }
}
