// The simulated card on Windows: the ports it reads from the state file, its trace, and the
// catalog that offers it beside the maker's control.

#include "automation/automation_value.h"
#include "simulated/simulated_card.h"
#include "system_card_catalog.h"

#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>

using velmora::AutomationValue;
using velmora::DispatchOutcome;
using velmora::SimPattern;
using velmora::SimState;
using velmora::SimStateFile;
using velmora::SimulatedCard;

namespace wt = velmora::wintest;
namespace fs = std::filesystem;

namespace {

bool isTrue(const DispatchOutcome &outcome)
{
    return !outcome.status.failed && outcome.result == AutomationValue::boolean(true);
}

// A simulated card over a state file of its own, with the pattern off and known inputs.
struct Bench {
    wt::TempFolder temp;
    SimStateFile file{temp.path() / "Velmora" / "simcard"};
    SimulatedCard card{file};

    explicit Bench(std::array<std::uint16_t, 3> inputs)
    {
        SimState state = file.load();
        state.pattern = SimPattern::Off;
        state.ports = inputs;
        file.store(state);
    }

    void change(const std::function<void(SimState &)> &how)
    {
        SimState state = file.load();
        how(state);
        file.store(state);
    }

    // Port values as read now, or -100000 where the read does not answer True.
    std::array<int, 3> readAll()
    {
        std::array<int, 3> values{};
        for (int port = 0; port < 3; ++port) {
            std::int16_t v = 0;
            values[port] = isTrue(card.readPort(port, v)) ? v : -100000;
        }
        return values;
    }
};

TEST(SimulatedCard, ReadsThePortsTheStateFileHolds)
{
    Bench bench({0x12A5, 0x003C, 0xF0C3});
    ASSERT_FALSE(bench.card.open().failed);
    // The whole 16-bit register travels.
    EXPECT_EQ(bench.readAll(), (std::array<int, 3>{0x12A5, 0x003C, std::int16_t(0xF0C3)}));
    for (std::uint16_t v = 1; v <= 20; ++v) {
        bench.change([v](SimState &state) { state.ports[1] = v; });
        ASSERT_EQ(bench.readAll()[1], v);
    }
}

TEST(SimulatedCard, ACorruptStateFileIsAnErrorNamingThePath)
{
    Bench bench({1, 2, 3});
    wt::writeFile(bench.file.path(), "velmora-simcard 1\nport0 banana\n");
    std::int16_t value = 5;
    const DispatchOutcome outcome = bench.card.readPort(0, value);
    EXPECT_TRUE(outcome.status.failed);
    EXPECT_EQ(outcome.status.description.rfind(
                  "Simulated card: " + velmora::displayPath(bench.file.path()) + ": corrupt: ", 0),
              0u)
        << outcome.status.description;
    EXPECT_EQ(value, 5);
}

TEST(SimulatedCard, TracesALinePerRead)
{
    Bench bench({0x00A5, 0xFF3C, 0});
    const fs::path tracePath = bench.temp.path() / "ticks.log";
    bench.change([&](SimState &state) { state.trace = velmora::displayPath(tracePath); });

    std::int16_t value = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(isTrue(bench.card.readPort(0, value)));
        EXPECT_TRUE(isTrue(bench.card.readPort(1, value)));
    }
    EXPECT_FALSE(isTrue(bench.card.readPort(7, value))); // delivers nothing, traces nothing

    const auto checkLines = [&](int expected) {
        std::ifstream in(tracePath, std::ios::binary);
        long long previous = 0, ns = 0;
        int port = 0, delivered = 0, lines = 0;
        while (in >> ns >> port >> delivered) {
            EXPECT_GT(ns, 0);
            EXPECT_GE(ns, previous); // monotonic
            previous = ns;
            EXPECT_EQ(port, lines % 2);
            EXPECT_EQ(delivered, port == 0 ? 0x00A5 : int(std::int16_t(0xFF3C)));
            ++lines;
        }
        EXPECT_EQ(lines, expected);
    };
    checkLines(6);
    EXPECT_EQ(wt::readAll(tracePath).find('\r'), std::string::npos);

    const auto size = fs::file_size(tracePath);
    bench.change([](SimState &state) { state.trace.clear(); }); // off: the file stays as it was
    EXPECT_TRUE(isTrue(bench.card.readPort(0, value)));
    EXPECT_EQ(fs::file_size(tracePath), size);

    // On again: appended to, not started afresh.
    bench.change([&](SimState &state) { state.trace = velmora::displayPath(tracePath); });
    EXPECT_TRUE(isTrue(bench.card.readPort(0, value)));
    EXPECT_TRUE(isTrue(bench.card.readPort(1, value)));
    checkLines(8);
}

TEST(SimulatedCard, ATraceFileThatCannotBeOpenedFailsTheRead)
{
    Bench bench({1, 2, 3});
    const std::string missing = velmora::displayPath(bench.temp.path() / "missing" / "ticks.log");
    bench.change([&](SimState &state) { state.trace = missing; });
    std::int16_t value = 0;
    const DispatchOutcome outcome = bench.card.readPort(0, value);
    EXPECT_TRUE(outcome.status.failed);
    EXPECT_EQ(outcome.status.description.rfind(
                  "Simulated card: cannot open the trace file " + missing + ": ", 0),
              0u)
        << outcome.status.description;
}

TEST(SimulatedCard, RefusesToTraceThroughASymbolicLink)
{
    Bench bench({1, 2, 3});
    const fs::path target = bench.temp.path() / "elsewhere.log";
    wt::writeFile(target, "");
    const fs::path link = bench.temp.path() / "ticks.log";
    if (const std::string why = wt::makeSymbolicLink(link, target, false); !why.empty())
        GTEST_SKIP() << why;
    bench.change([&](SimState &state) { state.trace = velmora::displayPath(link); });
    std::int16_t value = 0;
    const DispatchOutcome outcome = bench.card.readPort(0, value);
    EXPECT_TRUE(outcome.status.failed);
    EXPECT_NE(outcome.status.description.find("refusing to follow it"), std::string::npos);
    EXPECT_EQ(wt::readAll(target), "");
}

// ---- the catalog ----

TEST(SystemCardCatalog, OffersTheMakersControlThenTheSimulatedCard)
{
    const wt::TempFolder temp;
    const wt::ScopedEnvironment environment(L"LOCALAPPDATA", temp.path().wstring());
    velmora::SystemCardCatalog catalog;
    std::vector<velmora::CardOffer> offers = catalog.offers();
    ASSERT_EQ(offers.size(), 2u);

    // Wine has no maker's software: the row says so and what to do.
    const velmora::CardOffer &maker = offers[0];
    EXPECT_EQ(maker.info.name, "Card maker's device control");
    EXPECT_EQ(maker.info.location, "TARVOOCXLib.TarvoOcx");
    EXPECT_FALSE(maker.usable);
    EXPECT_EQ(maker.status, "not installed (ActiveX component can't create object)");
    EXPECT_NE(maker.fix.find("choose the simulated card"), std::string::npos);
    EXPECT_FALSE(maker.make);

    velmora::CardOffer &simulated = offers[1];
    EXPECT_EQ(simulated.info.name, "Simulated card");
    EXPECT_EQ(simulated.info.location, "built in");
    EXPECT_TRUE(simulated.usable);
    EXPECT_EQ(simulated.status, "Ready");
    // Listing made the fresh state file where LOCALAPPDATA points.
    EXPECT_EQ(SimStateFile(temp.path() / "Velmora" / "simcard").load(), SimState{});
    ASSERT_TRUE(simulated.make);
    const std::unique_ptr<velmora::Card> card = simulated.make();
    ASSERT_NE(card, nullptr);
    EXPECT_FALSE(card->open().failed);
    card->close();
}

TEST(SystemCardCatalog, SaysWhyTheSimulatedCardCannotBeUsed)
{
    const wt::TempFolder temp;
    const wt::ScopedEnvironment environment(L"LOCALAPPDATA", temp.path().wstring());
    fs::create_directory(temp.path() / "Velmora");
    const fs::path state = temp.path() / "Velmora" / "simcard";
    wt::writeFile(state, "not a state file\n");

    const std::vector<velmora::CardOffer> offers = velmora::SystemCardCatalog().offers();
    ASSERT_EQ(offers.size(), 2u);
    const velmora::CardOffer &simulated = offers[1];
    EXPECT_FALSE(simulated.usable);
    EXPECT_EQ(simulated.status.rfind("Simulated card: " + velmora::displayPath(state) +
                                         ": corrupt: line 1: not a simulated-card state file",
                                     0),
              0u)
        << simulated.status;
    EXPECT_EQ(simulated.fix, "run 'velmora-sim reset' to give it a fresh state file");
}

} // namespace
