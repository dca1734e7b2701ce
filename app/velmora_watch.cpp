// velmora-watch: the card's sixteen input lines from a terminal, one line with the time for
// every change, through the same device control as the window. Exit statuses: see --help.

#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "card_pick.h"
#include "cards/card_control.h"
#include "line_watch.h"
#include "remembered_card.h"
#include "simulated/simulated_card.h"
#include "system_card_catalog.h"
#include "watch_options.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

using namespace velmora;
using namespace velmora::watch;

namespace {

// SIGINT, SIGTERM and SIGHUP end the watch between two samples, so that the card is released
// in order: the handler only writes a byte to a pipe, which the pause between samples polls.
class SignalPause final : public Pause {
public:
    SignalPause()
    {
        if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
        struct sigaction action {};
        action.sa_handler = &SignalPause::onSignal;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(signal, &action, nullptr);
    }

    bool until(std::chrono::steady_clock::time_point due) override
    {
        using namespace std::chrono;
        for (;;) {
            const auto left = due - steady_clock::now();
            // Rounded up, so that a sample is never taken early.
            const auto ms = left <= steady_clock::duration::zero()
                                ? 0
                                : duration_cast<milliseconds>(left + milliseconds(1) -
                                                              steady_clock::duration(1))
                                      .count();
            pollfd stop{s_pipe[0], POLLIN, 0};
            const int ready = ::poll(&stop, 1, static_cast<int>(ms));
            if (ready > 0)
                return false;
            if (ready < 0 && errno != EINTR)
                throw std::runtime_error(std::string("cannot wait: ") + std::strerror(errno));
            if (ready == 0 && steady_clock::now() >= due)
                return true;
        }
    }

private:
    static void onSignal(int)
    {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(s_pipe[1], &byte, 1);
        errno = saved;
    }

    static inline int s_pipe[2] = {-1, -1};
};

// Writes and flushes each line at once. A reader that has gone (a closed pipe) ends the watch
// quietly; any other failure to write is an error.
bool writeLine(std::string_view line)
{
    if (std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0)
        return true;
    if (errno == EPIPE)
        return false;
    throw std::runtime_error(std::string("cannot write the log: ") + std::strerror(errno));
}

std::unique_ptr<Card> simulatedCard()
{
    return std::make_unique<SimulatedCard>();
}

int runWatch(const Options &options)
{
    SystemCardCatalog catalog;
    RememberedCardFile memory;

    if (options.action == Options::Action::List) {
        std::optional<CardInfo> remembered;
        try {
            remembered = memory.recall();
        } catch (const std::exception &) {
            // Listing does not depend on it; watching says why it is not used.
        }
        const std::string text = listCards(catalog.offers(), remembered ? &*remembered : nullptr);
        writeLine(text);
        return exit_status::Done;
    }

    // Before any card is opened, so that a signal from now on still lets it be released.
    SignalPause pause;
    std::unique_ptr<Card> card;
    if (!options.card.empty()) {
        card = pickCard(catalog.offers(), options.card);
    } else {
        StartingCard start = startingCard(catalog, &memory, simulatedCard);
        if (!start.origin.detail.empty() && start.origin.tag != "last used")
            std::fprintf(stderr, "velmora-watch: %s\n", start.origin.detail.c_str());
        card = std::move(start.card);
    }

    CardControl control(std::move(card));
    DeviceControl device(control);
    try {
        const int status = LineWatch(device, options, writeLine, pause).run();
        control.release();
        return status;
    } catch (const AutomationError &error) {
        control.release();
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", runtimeErrorLine(error).c_str());
        return exit_status::Failed;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // A closed pipe is noticed as a failed write, and ends the watch in order.
    ::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    Options options;
    try {
        options = parseOptions(args);
    } catch (const UsageError &error) {
        std::fprintf(stderr, "velmora-watch: %s\nTry 'velmora-watch --help'.\n", error.what());
        return exit_status::BadUsage;
    }
    if (options.action == Options::Action::Help) {
        std::fputs(usageText().c_str(), stdout);
        return exit_status::Done;
    }
    if (options.action == Options::Action::Version) {
        std::printf("velmora-watch %.*s\n", int(Version.size()), Version.data());
        return exit_status::Done;
    }
    try {
        return runWatch(options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "velmora-watch: %s\n", error.what());
        return exit_status::Failed;
    }
}
