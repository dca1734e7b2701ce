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
    return {DispatchOutcome::success(AutomationValue::boolean(true)), std::int16_t(value)};
}

Answer reportsFalse()
{
    return {DispatchOutcome::success(AutomationValue::boolean(false)), std::nullopt};
}

} // namespace

Q_DECLARE_METATYPE(Answer)

class tst_Monitor final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void tickMapsLowBytesOntoIndicators_data();
    void tickMapsLowBytesOntoIndicators();
    void tickReadsPort0ThenWritesD0ToD7ThenPort1();
    void failingSecondReadKeepsWhatTheTickWrote_data();
    void failingSecondReadKeepsWhatTheTickWrote();
    void errorIsReportedOnceAndStopsFurtherHandlers();
    void timerIsRoutedToTheTick();
    void indicatorsFollowVelmoraSim();

    void initialConfiguresThenPollsWhateverItReports_data();
    void initialConfiguresThenPollsWhateverItReports();
    void selectDevice_data();
    void selectDevice();
    void exitEndsAtOnceWithoutDeviceCalls_data();
    void exitEndsAtOnceWithoutDeviceCalls();
    void everyButtonReachesItsHandler();

private:
    QList<int> shown() const;
    void showPattern(quint16 bits);

    RecordingControl m_control;
    std::unique_ptr<MonitorWindow> m_window;
    std::unique_ptr<Monitor> m_monitor;
    QList<std::pair<int, std::string>> m_reports;
};

void tst_Monitor::init()
{
    m_control = {};
    m_reports.clear();
    m_window = std::make_unique<MonitorWindow>(velmoraWindow(), [this](QWidget *container) {
        return std::unique_ptr<DeviceControlHost>(new RecordingHost(m_control, container));
    });
    m_monitor = std::make_unique<Monitor>(*m_window, [this](const AutomationError &e) {
        m_reports.append({e.code(), e.description()});
    });
}

void tst_Monitor::cleanup()
{
    m_monitor.reset();
    m_window.reset();
}

QList<int> tst_Monitor::shown() const
{
    QList<int> checked;
    for (int i = 0; i < 16; ++i)
        if (m_window->btnInput(i).value() == 1)
            checked << i;
    return checked;
}

void tst_Monitor::showPattern(quint16 bits)
{
    for (int i = 0; i < 16; ++i)
        m_window->btnInput(i).setValue((bits >> i) & 1);
}

void tst_Monitor::tickMapsLowBytesOntoIndicators_data()
{
    QTest::addColumn<int>("port0");
    QTest::addColumn<int>("port1");
    QTest::addColumn<QList<int>>("checked");

    QTest::newRow("0x00A5 / 0x003C") << 0x00A5 << 0x003C << QList<int>{0, 2, 5, 7, 10, 11, 12, 13};
    QTest::newRow("high byte never counts") << int(std::int16_t(0xFF00)) << 0x0000 << QList<int>{};
    QTest::newRow("0x0080 checks D7 alone") << 0x0080 << 0x0000 << QList<int>{7};
    QTest::newRow("negative: low byte only") << -255 << -128 << QList<int>{0, 15}; // 0xFF01, 0xFF80
    QTest::newRow("all lines") << 0x00FF << 0x7FFF
                               << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
}

void tst_Monitor::tickMapsLowBytesOntoIndicators()
{
    QFETCH(int, port0);
    QFETCH(int, port1);
    QFETCH(QList<int>, checked);

    showPattern(0x5AA5); // a user's clicks; the tick overwrites every indicator
    m_control.script = {delivers(port0), delivers(port1)};
    m_monitor->dispatch(&Monitor::Timer_Timer);
    QCOMPARE(shown(), checked);
    QVERIFY(m_reports.isEmpty());
}

void tst_Monitor::tickReadsPort0ThenWritesD0ToD7ThenPort1()
{
    QList<QList<int>> seenAtRead;
    m_control.onInvoke = [&] {
        seenAtRead << shown();
    };
    m_control.script = {delivers(0x00FF), delivers(0x00FF)};
    m_monitor->dispatch(&Monitor::Timer_Timer);

    QCOMPARE(m_control.calls.size(), 2u);
    QCOMPARE(m_control.calls[0].id, 16); // ReadPort
    QCOMPARE(m_control.calls[1].id, 16);
    QCOMPARE(m_control.calls[0].args[0], AutomationValue::longInteger(0));
    QCOMPARE(m_control.calls[1].args[0], AutomationValue::longInteger(1));
    // The same variable, set to 0 before each read.
    QCOMPARE(m_control.calls[0].args[1].asIntegerByRef(),
             m_control.calls[1].args[1].asIntegerByRef());
    QCOMPARE(seenAtRead, (QList<QList<int>>{{}, {0, 1, 2, 3, 4, 5, 6, 7}}));
}

void tst_Monitor::failingSecondReadKeepsWhatTheTickWrote_data()
{
    QTest::addColumn<int>("firstKind");  // 0 delivers 0x00A5, 1 reports False
    QTest::addColumn<int>("secondKind"); // 0 reports False, 1 fails, 2 no Boolean reading
    QTest::addColumn<QList<int>>("checked");
    QTest::addColumn<int>("errorCode");

    const QList<int> before{8, 10, 12, 14}; // D8..D15 as they stood before the tick
    // A read that reports False without writing shows its eight lines as 0, not the other
    // port's lines left in the variable.
    QTest::newRow("second reports False") << 0 << 0 << QList<int>{0, 2, 5, 7} << 0;
    QTest::newRow("first reports False") << 1 << 0 << QList<int>{} << 0;
    QTest::newRow("second fails") << 0 << 1 << QList<int>{0, 2, 5, 7} + before << 57;
    QTest::newRow("second has no Boolean reading")
        << 0 << 2 << QList<int>{0, 2, 5, 7} + before << 13;
}

void tst_Monitor::failingSecondReadKeepsWhatTheTickWrote()
{
    QFETCH(int, firstKind);
    QFETCH(int, secondKind);
    QFETCH(QList<int>, checked);
    QFETCH(int, errorCode);

    showPattern(0x5500);
    m_control.script.push_back(firstKind == 0 ? delivers(0x00A5) : reportsFalse());
    if (secondKind == 0)
        m_control.script.push_back(reportsFalse());
    else if (secondKind == 1)
        m_control.script.push_back({DispatchOutcome::failure(57, "card gone"), std::int16_t(0xFF)});
    else
        m_control.script.push_back(
            {DispatchOutcome::success(AutomationValue::string("yes")), std::int16_t(0xFF)});
    m_monitor->dispatch(&Monitor::Timer_Timer);

    QCOMPARE(shown(), checked);
    QCOMPARE(m_reports.size(), errorCode ? 1 : 0);
    if (errorCode)
        QCOMPARE(m_reports.front().first, errorCode);
}

void tst_Monitor::errorIsReportedOnceAndStopsFurtherHandlers()
{
    m_control.script.push_back({DispatchOutcome::failure(57, "card gone"), std::nullopt});
    m_monitor->dispatch(&Monitor::Timer_Timer);
    QCOMPARE(m_reports.size(), 1);
    QCOMPARE(m_reports.front(), (std::pair<int, std::string>{57, "card gone"}));
    QVERIFY(m_monitor->stopped());

    m_monitor->dispatch(&Monitor::Timer_Timer);
    QCOMPARE(m_control.calls.size(), 1u); // the second tick never reached the card
    QCOMPARE(m_reports.size(), 1);
}

void tst_Monitor::timerIsRoutedToTheTick()
{
    const std::vector<EventRoute> unrouted = m_monitor->route(velmoraWindow());
    for (const EventRoute &route : unrouted)
        QVERIFY(route.handler != std::string_view("Timer_Timer"));
    for (int tick = 0; tick < 100; ++tick)
        m_control.script.insert(m_control.script.end(), {delivers(0x0001), delivers(0x0080)});
    m_window->setTimerEnabled(true);
    QTRY_COMPARE_WITH_TIMEOUT(shown(), (QList<int>{0, 15}), 5000);
    m_window->setTimerEnabled(false);
    QCOMPARE(m_control.calls.front().id, 16);
}

void tst_Monitor::indicatorsFollowVelmoraSim()
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
    QVERIFY2(QFileInfo::exists(sim), "VELMORA_SIM_BINARY names no program");
    const auto runSim = [&sim](const QStringList &args) { // bounded, unlike QProcess::execute
        QProcess process;
        process.start(sim, args);
        return process.waitForFinished(10000) ? process.exitCode() : -1;
    };
    QCOMPARE(runSim({"set", "0x00A5", "0x3C"}), 0);
    window.setTimerEnabled(true);
    const auto lit = [&] {
        QList<int> on;
        for (int i = 0; i < 16; ++i)
            if (window.btnInput(i).value())
                on << i;
        return on;
    };
    QTRY_COMPARE_WITH_TIMEOUT(lit(), (QList<int>{0, 2, 5, 7, 10, 11, 12, 13}), 2000);
    QCOMPARE(runSim({"set", "-1", "0"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(lit(), (QList<int>{0, 1, 2, 3, 4, 5, 6, 7}), 2000);
    QVERIFY(reports.isEmpty());
    qunsetenv("XDG_RUNTIME_DIR");
}

void tst_Monitor::initialConfiguresThenPollsWhateverItReports_data()
{
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<bool>("polling");
    QTest::addColumn<int>("errorCode");

    QTest::newRow("True") << delivers(0) << true << 0;
    QTest::newRow("False is not an error") << reportsFalse() << true << 0;
    QTest::newRow("a number") << Answer{DispatchOutcome::success(AutomationValue::integer(7)), {}}
                              << true << 0;
    QTest::newRow("fails") << Answer{DispatchOutcome::failure(57, "no card"), {}} << false << 57;
    QTest::newRow("no Boolean reading")
        << Answer{DispatchOutcome::success(AutomationValue::string("ok")), {}} << false << 13;
}

void tst_Monitor::initialConfiguresThenPollsWhateverItReports()
{
    QFETCH(Answer, answer);
    QFETCH(bool, polling);
    QFETCH(int, errorCode);

    // Pressed before "Select Device" was ever pressed.
    m_control.script = {answer};
    m_monitor->dispatch(&Monitor::Initcmd_Click);
    QCOMPARE(m_control.calls.size(), 1u);
    const auto &call = m_control.calls.front();
    QCOMPARE(call.id, 17);
    QCOMPARE(call.args[0], AutomationValue::longInteger(0));
    QCOMPARE(call.args[1], AutomationValue::integer(155));
    QCOMPARE(m_window->timerEnabled(), polling);
    QCOMPARE(m_reports.size(), errorCode ? 1 : 0);
    if (errorCode)
        QCOMPARE(m_reports.front().first, errorCode);
}

void tst_Monitor::selectDevice_data()
{
    QTest::addColumn<bool>("polling");
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<bool>("unloaded");
    QTest::addColumn<int>("errorCode");

    const Answer yes = delivers(0);
    const Answer five{DispatchOutcome::success(AutomationValue::integer(5)), {}};
    const Answer error{DispatchOutcome::failure(57, "dialog failed"), {}};
    const Answer text{DispatchOutcome::success(AutomationValue::string("maybe")), {}};

    QTest::newRow("True twice, idle") << false << QList<Answer>{yes, yes} << false << 0;
    QTest::newRow("True twice, polling") << true << QList<Answer>{yes, yes} << false << 0;
    QTest::newRow("a number other than -1") << false << QList<Answer>{five} << false << 0;
    QTest::newRow("False while polling") << true << QList<Answer>{reportsFalse()} << true << 0;
    QTest::newRow("False while idle") << false << QList<Answer>{reportsFalse()} << true << 0;
    QTest::newRow("fails") << true << QList<Answer>{error} << false << 57;
    QTest::newRow("no Boolean reading") << false << QList<Answer>{text} << false << 13;
    // Every result is read as a Boolean the same way (tst_automationvalue has the full table).
    const auto result = [](AutomationValue value) {
        return QList<Answer>{{DispatchOutcome::success(std::move(value)), {}}};
    };
    QTest::newRow("Empty reads as False") << false << result({}) << true << 0;
    QTest::newRow("the string true")
        << false << result(AutomationValue::string("true")) << false << 0;
    QTest::newRow("Null") << false << result(AutomationValue::null()) << false << 94;
    QTest::newRow("an error value") << false << result(AutomationValue::error(0)) << false << 13;
}

void tst_Monitor::selectDevice()
{
    QFETCH(bool, polling);
    QFETCH(QList<Answer>, answers);
    QFETCH(bool, unloaded);
    QFETCH(int, errorCode);

    m_window->show();
    m_window->setTimerEnabled(polling);
    showPattern(0x0F0F);
    m_control.calls.clear();
    for (const Answer &answer : answers) {
        m_control.script = {answer};
        m_monitor->dispatch(&Monitor::Selectcmd_Click);
    }
    QCOMPARE(m_control.calls.size(), qsizetype(answers.size()));
    QCOMPARE(m_control.calls.back().id, 25); // SelectDevice
    QCOMPARE(m_window->isVisible(), !unloaded);
    QCOMPARE(m_window->timerEnabled(), polling && !unloaded);
    QCOMPARE(shown(), (QList<int>{0, 1, 2, 3, 8, 9, 10, 11})); // nothing else changed
    QCOMPARE(m_reports.size(), errorCode ? 1 : 0);
    if (errorCode)
        QCOMPARE(m_reports.front().first, errorCode);
}

void tst_Monitor::exitEndsAtOnceWithoutDeviceCalls_data()
{
    QTest::addColumn<bool>("polling");
    QTest::newRow("idle") << false;
    QTest::newRow("polling") << true;
}

void tst_Monitor::exitEndsAtOnceWithoutDeviceCalls()
{
    QFETCH(bool, polling);
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

void tst_Monitor::everyButtonReachesItsHandler()
{
    QVERIFY(m_monitor->route(velmoraWindow()).empty());
    m_window->show();
    QTest::mouseClick(m_window->control("Initcmd"), Qt::LeftButton);
    QCOMPARE(m_control.calls.size(), 1u);
    QCOMPARE(m_control.calls.back().id, 17);
    m_control.script = {reportsFalse()};
    QTest::mouseClick(m_window->control("Selectcmd"), Qt::LeftButton);
    QCOMPARE(m_control.calls.back().id, 25);
    QVERIFY(!m_window->isVisible());
    m_window->show();
    QTest::mouseClick(m_window->control("Exit"), Qt::LeftButton); // served by exit_Click
    QVERIFY(m_window->isEnding());
    QCOMPARE(m_control.calls.size(), 2u);
}

QTEST_MAIN(tst_Monitor)
#include "tst_monitor.moc"
