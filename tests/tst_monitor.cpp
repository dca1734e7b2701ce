#include "automation/automation_error.h"
#include "cards/card_control.h"
#include "device_control_host.h"
#include "fakes.h"
#include "indicator_box.h"
#include "monitor.h"
#include "monitor_window.h"
#include "simulated/simulated_card.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace velmora;
using velmora::testing::RecordingControl;

namespace {

// Stands at the device control's place and records each call as the window's view of the
// control makes it, dispatch identifier and arguments as they cross the seam.
class RecordingHost final : public DeviceControlHost {
public:
    RecordingHost(RecordingControl &control, QWidget *parent)
        : DeviceControlHost(parent)
        , m_control(control)
    {}
    Dispatch &dispatch() override { return m_control; }
    QString cardName() const override { return QStringLiteral("Recording"); }

private:
    RecordingControl &m_control;
};

using Answer = RecordingControl::Answer;

Answer delivers(int value)
{
    return {DispatchOutcome::boolean(true), std::int16_t(value)};
}

Answer result(AutomationValue value)
{
    return {DispatchOutcome::success(std::move(value)), std::nullopt};
}

const Answer False = result(AutomationValue::boolean(false));

Answer fails(int code)
{
    return {DispatchOutcome::failure(code, "card gone"), std::int16_t(0xFF)};
}

// The indicators that are checked, D0 as bit 0.
int lit(MonitorWindow &window)
{
    int on = 0;
    for (int i = 0; i < 16; ++i)
        on |= (window.btnInput(i).value() == 1) << i;
    return on;
}

} // namespace

Q_DECLARE_METATYPE(Answer)

class tst_Monitor final : public QObject {
    Q_OBJECT

private:
    int shown() const { return lit(*m_window); }
    void showPattern(quint16 bits)
    {
        for (int i = 0; i < 16; ++i)
            m_window->btnInput(i).setValue((bits >> i) & 1);
    }

    RecordingControl m_control;
    std::unique_ptr<MonitorWindow> m_window;
    std::unique_ptr<Monitor> m_monitor;
    QStringList m_reports; // "code: description"

private slots:
    void init()
    {
        m_monitor.reset(); // before the window it serves
        m_control = {};
        m_reports.clear();
        m_window = std::make_unique<MonitorWindow>(velmoraWindow(), [this](QWidget *container) {
            return std::unique_ptr<DeviceControlHost>(new RecordingHost(m_control, container));
        });
        m_monitor = std::make_unique<Monitor>(*m_window, [this](const AutomationError &e) {
            m_reports << QString("%1: %2").arg(e.code()).arg(
                QString::fromStdString(e.description()));
        });
    }

    void tickReadsPort0ThenPort1IntoTheLowBytes_data()
    {
        QTest::addColumn<Answer>("first");
        QTest::addColumn<Answer>("second");
        QTest::addColumn<int>("throwAt");    // the call that throws instead of answering; 0: none
        QTest::addColumn<int>("checked");    // from 0x5A5A as clicked; no port delivers 0x5A
        QTest::addColumn<QString>("report"); // "code: description"; empty: none

        const Answer a5 = delivers(0x00A5);
        QTest::newRow("0x00A5 / 0x003C") << a5 << delivers(0x003C) << 0 << 0x3CA5 << "";
        QTest::newRow("high byte never counts") << delivers(0xFF00) << delivers(0) << 0 << 0 << "";
        QTest::newRow("0x0080 checks D7 alone") << delivers(0x80) << delivers(0) << 0 << 0x80 << "";
        QTest::newRow("negative: low byte only") // 0xFF01, 0xFF80
            << delivers(-255) << delivers(-128) << 0 << 0x8001 << "";
        QTest::newRow("all lines") << delivers(0xFF) << delivers(0x7FFF) << 0 << 0xFFFF << "";
        // A read that reports False without writing shows its eight lines as 0, not the other
        // port's lines left in the variable.
        QTest::newRow("second reports False") << a5 << False << 0 << 0x00A5 << "";
        QTest::newRow("first reports False") << False << delivers(0) << 0 << 0 << "";
        // A failing tick keeps what it drew and stops.
        QTest::newRow("first fails") << fails(57) << a5 << 0 << 0x5A5A << "57: card gone";
        QTest::newRow("second fails") << a5 << fails(57) << 0 << 0x5AA5 << "57: card gone";
        QTest::newRow("second has no Boolean reading")
            << a5 << result(AutomationValue::string("yes")) << 0 << 0x5AA5 << "13: Type mismatch";
        QTest::newRow("second throws")
            << a5 << a5 << 2 << 0x5AA5 << "51: Internal error: the card's driver crashed";
        QTest::newRow("first throws what is no exception")
            << a5 << a5 << -1 << 0x5A5A << "51: Internal error";
    }

    void tickReadsPort0ThenPort1IntoTheLowBytes()
    {
        QFETCH(Answer, first);
        QFETCH(Answer, second);
        QFETCH(int, throwAt);
        QFETCH(int, checked);
        QFETCH(QString, report);

        showPattern(0x5A5A);
        QList<int> seenAtRead;
        m_control.script = {first, second, delivers(0xFF), delivers(0xFF)};
        m_control.onInvoke = [&] {
            seenAtRead << shown();
            if (throwAt == -1 && m_control.calls.size() == 1)
                throw 42;
            if (int(m_control.calls.size()) == throwAt)
                throw std::runtime_error("the card's driver crashed");
        };
        m_monitor->dispatch(&Monitor::Timer_Timer);
        QCOMPARE(shown(), checked);
        QCOMPARE(m_reports.join('\n'), report);
        QCOMPARE(m_monitor->stopped(), !report.isEmpty());

        // ReadPort port 0, then D0-D7 drawn, then port 1, into the same variable.
        const bool port0Drawn = (checked & 0xFF) != 0x5A;
        QCOMPARE(seenAtRead,
                 (port0Drawn ? QList{0x5A5A, 0x5A00 | (checked & 0xFF)} : QList{0x5A5A}));
        for (std::size_t port = 0; port < m_control.calls.size(); ++port) {
            QCOMPARE(m_control.calls[port].id, 16);
            QCOMPARE(m_control.calls[port].args[0], AutomationValue::longInteger(int(port)));
        }
        if (port0Drawn)
            QCOMPARE(m_control.calls[0].args[1].asIntegerByRef(),
                     m_control.calls[1].args[1].asIntegerByRef());

        // Once an error is reported, the next tick never reaches the card.
        const std::size_t calls = m_control.calls.size();
        m_monitor->dispatch(&Monitor::Timer_Timer);
        QCOMPARE(m_control.calls.size(), report.isEmpty() ? calls + 2 : calls);
        QCOMPARE(m_reports.join('\n'), report);
    }

    void timerIsRoutedToTheTick()
    {
        QVERIFY(m_monitor->route(velmoraWindow()).empty());
        // What names no handler, or no control, is handed back.
        WindowDescription odd = velmoraWindow();
        const std::array routes{EventRoute{"Initcmd", "Click", "Nowhere_Click"},
                                EventRoute{"Nothing", "Click", "exit_Click"}};
        odd.routes = routes;
        QCOMPARE(m_monitor->route(odd).size(), 2u);
        for (int tick = 0; tick < 100; ++tick)
            m_control.script.insert(m_control.script.end(), {delivers(0x0001), delivers(0x0080)});
        m_window->setTimerEnabled(true);
        QTRY_COMPARE_WITH_TIMEOUT(shown(), 0x8001, 5000);
        m_window->setTimerEnabled(false);
        QCOMPARE(m_control.calls.front().id, 16);
    }

    void indicatorsFollowVelmoraSim()
    {
        // The real simulated card, driven by the real companion command.
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        MonitorWindow window(velmoraWindow(),
                             std::make_unique<CardControl>(std::make_unique<SimulatedCard>()));
        QList<int> reports;
        Monitor monitor(window, [&](const AutomationError &e) { reports << e.code(); });
        monitor.route(velmoraWindow());

        const QString sim = qEnvironmentVariable("VELMORA_SIM_BINARY");
        const auto runSim = [&sim](const QStringList &args) { // bounded, unlike QProcess::execute
            QProcess process;
            process.start(sim, args);
            return process.waitForFinished(10000) ? process.exitCode() : -1;
        };
        QCOMPARE(runSim({"set", "0x00A5", "0x3C"}), 0);
        window.setTimerEnabled(true);
        QTRY_COMPARE_WITH_TIMEOUT(lit(window), 0x3CA5, 2000);
        QCOMPARE(runSim({"set", "-1", "0"}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(lit(window), 0x00FF, 2000);
        QVERIFY(reports.isEmpty());
        qunsetenv("XDG_RUNTIME_DIR");
    }

    void buttons_data()
    {
        QTest::addColumn<bool>("polling");          // the button is named before the row's colon
        QTest::addColumn<QList<Answer>>("answers"); // one a click
        QTest::addColumn<bool>("pollingAfter");
        QTest::addColumn<bool>("unloaded");
        QTest::addColumn<QString>("report");

        using V = AutomationValue;
        using A = QList<Answer>;
        const Answer yes = delivers(0);
        // "Initial" pressed before "Select Device" ever was: it polls unless the call raised.
        const auto initial = [](const char *name, const Answer &answer, const char *report) {
            QTest::addRow("Initial: %s", name)
                << false << A{answer} << !*report << false << QString(report);
        };
        const auto select = [](const char *name, bool polling, const A &answers, bool unloaded,
                               const char *report) {
            QTest::addRow("Select: %s", name)
                << polling << answers << (polling && !unloaded) << unloaded << QString(report);
        };
        initial("True", yes, "");
        initial("False is not an error", False, "");
        initial("a number", result(V::integer(7)), "");
        initial("fails", fails(57), "57: card gone");
        initial("no Boolean reading", result(V::string("ok")), "13: Type mismatch");
        select("True twice, idle", false, {yes, yes}, false, "");
        select("True twice, polling", true, {yes, yes}, false, "");
        select("a number other than -1", false, {result(V::integer(5))}, false, "");
        select("False while polling", true, {False}, true, "");
        select("False while idle", false, {False}, true, "");
        select("fails", true, {fails(57)}, false, "57: card gone");
        // Every result is read as a Boolean the same way (tst_automationvalue has the full table).
        select("no Boolean reading", false, {result(V::string("maybe"))}, false,
               "13: Type mismatch");
        select("Empty reads as False", false, {result({})}, true, "");
        select("the string true", false, {result(V::string("true"))}, false, "");
        select("Null", false, {result(V::null())}, false, "94: Invalid use of Null");
        select("an error value", false, {result(V::error(0))}, false, "13: Type mismatch");
    }

    void buttons()
    {
        QFETCH(bool, polling);
        QFETCH(QList<Answer>, answers);
        QFETCH(bool, pollingAfter);
        QFETCH(bool, unloaded);
        QFETCH(QString, report);

        m_window->show();
        m_window->setTimerEnabled(polling);
        showPattern(0x0F0F);
        const bool initial = QByteArray(QTest::currentDataTag()).startsWith("Initial");
        for (const Answer &answer : answers) {
            m_control.script = {answer};
            m_monitor->dispatch(initial ? &Monitor::Initcmd_Click : &Monitor::Selectcmd_Click);
        }
        // ConfigurePorts(0, 155) or SelectDevice(), once a click.
        QCOMPARE(m_control.calls.size(), qsizetype(answers.size()));
        const auto args =
            initial ? std::vector{AutomationValue::longInteger(0), AutomationValue::integer(155)}
                    : std::vector<AutomationValue>{};
        for (const auto &call : m_control.calls) {
            QCOMPARE(call.id, initial ? 17 : 25);
            QCOMPARE(call.args, args);
        }
        QCOMPARE(m_window->timerEnabled(), pollingAfter);
        QCOMPARE(m_window->isVisible(), !unloaded);
        QCOMPARE(shown(), 0x0F0F); // nothing else changed
        QCOMPARE(m_reports.join('\n'), report);
    }

    void exitEndsAtOnceWithoutDeviceCalls()
    {
        for (bool polling : {false, true}) {
            init();
            m_window->show();
            m_window->setTimerEnabled(polling);
            m_monitor->dispatch(&Monitor::exit_Click);
            QVERIFY(m_window->isEnding());
            QVERIFY(!m_window->timerEnabled());
            // Events already queued behind "Exit" find the program gone.
            m_monitor->dispatch(&Monitor::Timer_Timer);
            m_monitor->dispatch(&Monitor::Initcmd_Click);
            m_window->unload();
            QVERIFY(m_control.calls.empty());
            QVERIFY(m_window->isVisible());
        }
    }

    void everyButtonReachesItsHandler()
    {
        QVERIFY(m_monitor->route(velmoraWindow()).empty());
        m_window->show();
        QTest::mouseClick(m_window->control("Initcmd"), Qt::LeftButton);
        QCOMPARE(m_control.calls.size(), 1u);
        QCOMPARE(m_control.calls.back().id, 17);
        m_control.script = {False};
        QTest::mouseClick(m_window->control("Selectcmd"), Qt::LeftButton);
        QCOMPARE(m_control.calls.back().id, 25);
        QVERIFY(!m_window->isVisible());
        m_window->show();
        QTest::mouseClick(m_window->control("Exit"), Qt::LeftButton); // served by exit_Click
        QVERIFY(m_window->isEnding());
        QCOMPARE(m_control.calls.size(), 2u);
    }
};

QTEST_MAIN(tst_Monitor)
#include "tst_monitor.moc"
