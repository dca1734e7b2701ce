// What one tick costs through the whole path, against the floor the same work has without it:
// the same two reads straight from the same card object and sixteen setChecked calls on stock
// check boxes. Printed as ratios, ours / floor, measured in the same run. With `count`, it runs
// a fixed number of ticks for callgrind to count their instructions instead.

#include "automation/device_control.h"
#include "cards/card_control.h"
#include "device_control_widget.h"
#include "indicator_box.h"
#include "line_watch.h"
#include "monitor.h"
#include "monitor_window.h"
#include "simulated/simulated_card.h"
#include "window_description.h"

#include <QApplication>
#include <QCheckBox>
#include <QTemporaryDir>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

using namespace velmora;

namespace {

// The window, its simulated card on a private state file, and a bare floor beside it.
struct Setup {
    QTemporaryDir dir;
    SimStateFile file{std::filesystem::path(dir.path().toStdString()) / "velmora" / "simcard"};
    MonitorWindow window{velmoraWindow(),
                         std::make_unique<CardControl>(std::make_unique<SimulatedCard>(file))};
    Monitor monitor{window, [](const AutomationError &e) {
                        std::fprintf(stderr, "tick failed: %s\n", e.what());
                        std::abort();
                    }};
    QWidget floorWindow;
    std::array<QCheckBox *, 16> floorBoxes{};
    std::array<SimState, 2> states;

    Setup()
    {
        for (int i = 0; i < 16; ++i) {
            floorBoxes[std::size_t(i)] = new QCheckBox(QStringLiteral("D%1").arg(i), &floorWindow);
            floorBoxes[std::size_t(i)]->setGeometry(24 + 32 * (i % 8), 56 + 40 * (i / 8), 33, 25);
        }
        window.show();
        floorWindow.show();
        for (std::size_t i = 0; i < states.size(); ++i) {
            states[i].pattern = SimPattern::Off;
            states[i].ports = i == 0 ? std::array<std::uint16_t, 3>{0x00FF, 0x00FF, 0}
                                     : std::array<std::uint16_t, 3>{0, 0, 0};
        }
        file.store(states[0]);
    }

    Card &card() { return window.deviceControlHost().cardControl()->card(); }

    void floorTick()
    {
        std::int16_t value = 0;
        card().readPort(0, value);
        for (int bit = 0; bit < 8; ++bit)
            floorBoxes[std::size_t(bit)]->setChecked((value >> bit) & 1);
        card().readPort(1, value);
        for (int bit = 0; bit < 8; ++bit)
            floorBoxes[std::size_t(8 + bit)]->setChecked((value >> bit) & 1);
    }
};

Setup *setup = nullptr;

// One tick of ours or of the floor; painted, the repaints its writes scheduled happen before it
// returns (offscreen, into the window's backing store: no display server is involved).
void tickOnce(bool floor, bool paint)
{
    if (floor)
        setup->floorTick();
    else
        setup->monitor.dispatch(&Monitor::Timer_Timer);
    if (paint)
        QCoreApplication::processEvents();
}

// Toggling: the state file changes between ticks (outside the timing), so every tick reads a
// new file and flips all sixteen indicators. Steady: nothing changes. Painted: toggling, with
// the repaints inside the timing.
template<bool Toggle, bool Floor, bool Paint = false> void tick(benchmark::State &state)
{
    std::size_t n = 0;
    setup->file.store(setup->states[0]);
    for (auto _ : state) {
        if (Toggle) {
            state.PauseTiming();
            setup->file.store(setup->states[++n % 2]);
            state.ResumeTiming();
        }
        tickOnce(Floor, Paint);
    }
    QCoreApplication::processEvents(); // let the repaints the writes scheduled happen
}

// velmora-watch's sample with nothing changed: the same two reads through the same device control
// and card, the comparison with the sample before, its end conditions and the clock it keeps.
// Each pause between samples is one iteration; ConfigurePorts and the first sample's line come
// before the first.
void watchSteady(benchmark::State &state)
{
    struct Iterations final : watch::Pause {
        benchmark::State &state;
        explicit Iterations(benchmark::State &s)
            : state(s)
        {}
        bool until(std::chrono::steady_clock::time_point) override { return state.KeepRunning(); }
    } pause(state);
    setup->file.store(setup->states[0]);
    DeviceControl control(*setup->window.deviceControlHost().cardControl());
    watch::Options options;
    options.until = {{15, false}}; // never holds: every line stays high
    std::size_t lines = 0;
    watch::LineWatch(
        control, options, [&lines](std::string_view) { return ++lines < 2; }, pause)
        .run();
    if (lines != 1) {
        std::fprintf(stderr, "the steady watch logged %zu lines\n", lines);
        std::abort();
    }
}

// What callgrind counts, entered once a tick (valgrind --toggle-collect='*countedTick*').
Q_NEVER_INLINE void countedTick(bool floor, bool paint)
{
    tickOnce(floor, paint);
}

// `velmora_bench count ours|floor painted|bare TICKS`: toggling ticks for an instruction count,
// after as many uncounted ones to warm caches and lazily made resources up.
int countTicks(const std::string &side, const std::string &painting, int ticks)
{
    if ((side != "ours" && side != "floor") || (painting != "painted" && painting != "bare") ||
        ticks <= 0) {
        std::fprintf(stderr, "usage: velmora_bench count ours|floor painted|bare TICKS\n");
        return 2;
    }
    const bool floor = side == "floor";
    const bool paint = painting == "painted";
    std::size_t n = 0;
    for (int i = 0; i < 2 * ticks; ++i) {
        setup->file.store(setup->states[++n % 2]);
        if (i < ticks)
            tickOnce(floor, paint);
        else
            countedTick(floor, paint);
    }
    QCoreApplication::processEvents();
    std::printf("%d ticks counted\n", ticks);
    return 0;
}

void booleanOf(benchmark::State &state, AutomationValue value)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(toBoolean(value));
}

BENCHMARK(tick<true, false>)->Name("tick/toggling/ours");
BENCHMARK(tick<true, true>)->Name("tick/toggling/floor");
BENCHMARK(tick<false, false>)->Name("tick/steady/ours");
BENCHMARK(tick<false, true>)->Name("tick/steady/floor");
BENCHMARK(watchSteady)->Name("watch/steady");
BENCHMARK(tick<true, false, true>)->Name("tick/painted/ours");
BENCHMARK(tick<true, true, true>)->Name("tick/painted/floor");
BENCHMARK_CAPTURE(booleanOf, number, AutomationValue::integer(-1))->Name("boolean/number");
BENCHMARK_CAPTURE(booleanOf, boolean, AutomationValue::boolean(true))->Name("boolean/boolean");
BENCHMARK_CAPTURE(booleanOf, string_true, AutomationValue::string("True"))
    ->Name("boolean/string True");
BENCHMARK_CAPTURE(booleanOf, string_number, AutomationValue::string(" -1.5e3 "))
    ->Name("boolean/string number");

// Keeps each run's time per iteration so that the ratios can be printed at the end.
class RatioReporter final : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> nsPerIteration;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration)
                nsPerIteration[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    if (argc == 5 && std::string(argv[1]) == "count") {
        Setup here;
        setup = &here;
        return countTicks(argv[2], argv[3], std::atoi(argv[4]));
    }
    benchmark::Initialize(&argc, argv);
    Setup here;
    setup = &here;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char *kind : {"toggling", "steady", "painted"}) {
        const std::string base = std::string("tick/") + kind;
        const auto ours = reporter.nsPerIteration.find(base + "/ours");
        const auto floor = reporter.nsPerIteration.find(base + "/floor");
        if (ours != reporter.nsPerIteration.end() && floor != reporter.nsPerIteration.end())
            std::printf("ratio %s ours/floor: %.3f\n", kind, ours->second / floor->second);
    }
    const auto &ns = reporter.nsPerIteration;
    if (ns.contains("watch/steady") && ns.contains("tick/steady/ours") &&
        ns.contains("tick/steady/floor")) {
        std::printf("ratio watch/tick steady: %.3f\nratio watch/floor steady: %.3f\n",
                    ns.at("watch/steady") / ns.at("tick/steady/ours"),
                    ns.at("watch/steady") / ns.at("tick/steady/floor"));
    }
    benchmark::Shutdown();
    return 0;
}
