// Hours of polling, driven in-process without waiting on the timer: the card changes every
// tick and the process must not grow.

#include "cards/card_control.h"
#include "indicator_box.h"
#include "monitor.h"
#include "monitor_window.h"
#include "simulated/simulated_card.h"
#include "window_description.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fstream>

using namespace velmora;

#if defined(__SANITIZE_ADDRESS__) // GCC
#define VELMORA_UNDER_ASAN 1
#elif defined(__has_feature) // Clang
#if __has_feature(address_sanitizer)
#define VELMORA_UNDER_ASAN 1
#endif
#endif
#ifndef VELMORA_UNDER_ASAN
#define VELMORA_UNDER_ASAN 0
#endif

namespace {

long residentBytes()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

} // namespace

class tst_Soak final : public QObject {
    Q_OBJECT

private slots:
    void anHourOfTicksDoesNotGrow();
};

void tst_Soak::anHourOfTicksDoesNotGrow()
{
#if VELMORA_UNDER_ASAN
    QSKIP("AddressSanitizer keeps freed memory in quarantine, so the resident size says nothing "
          "here; LeakSanitizer checks for leaks in this build instead");
#endif
    constexpr int TicksPerHour = 36'000;
    QTemporaryDir dir;
    SimStateFile file(std::filesystem::path(dir.path().toStdString()) / "velmora" / "simcard");
    SimState state = file.load();
    state.pattern = SimPattern::Random; // a new value on every 100 ms of the card's clock
    file.store(state);

    using namespace std::chrono;
    system_clock::time_point now{};
    auto card = std::make_unique<SimulatedCard>(file, [&] { return now; });
    MonitorWindow window(velmoraWindow(), std::make_unique<CardControl>(std::move(card)));
    int errors = 0;
    Monitor monitor(window, [&](const AutomationError &) { ++errors; });
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    int changes = 0;
    QObject::connect(&window.btnInput(0), &QCheckBox::toggled, [&] { ++changes; });
    const auto run = [&](int ticks) {
        for (int i = 0; i < ticks; ++i) {
            now += milliseconds(100);
            monitor.dispatch(&Monitor::Timer_Timer);
            if (i % 100 == 0)
                QCoreApplication::processEvents(); // the repaints a user would see
        }
        QCoreApplication::processEvents();
    };

    // The first hour brings the allocator, Qt's caches and the backing store to the high-water
    // marks this work needs; the second must not move them by more than a page.
    run(TicksPerHour);
    const long before = residentBytes();
    run(TicksPerHour);
    const long growth = residentBytes() - before;

    QCOMPARE(errors, 0);
    QVERIFY2(changes > TicksPerHour / 4, "the card did not change from tick to tick");
    QVERIFY2(
        growth <= sysconf(_SC_PAGESIZE),
        qPrintable(QStringLiteral("grew by %1 bytes over %2 ticks").arg(growth).arg(TicksPerHour)));
}

QTEST_MAIN(tst_Soak)
#include "tst_soak.moc"
