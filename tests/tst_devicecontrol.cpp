#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "fakes.h"

#include <QtTest>

using namespace velmora;
using velmora::testing::RecordingControl;

Q_DECLARE_METATYPE(velmora::AutomationValue)

class tst_DeviceControl final : public QObject {
    Q_OBJECT

private slots:
    void readPortWritesTheCallersOwnVariable();
    void resultIsReadAsBoolean_data();
    void resultIsReadAsBoolean();
};

void tst_DeviceControl::readPortWritesTheCallersOwnVariable()
{
    RecordingControl control;
    control.script.push_back(
        {DispatchOutcome::success(AutomationValue::boolean(true)), std::int16_t(-2)});
    DeviceControl device(control);
    std::int16_t sample = 7;
    QVERIFY(device.ReadPort(0, sample));
    QCOMPARE(sample, std::int16_t(-2));

    // A read that reports False without writing leaves the variable as it was.
    control.script.push_back({DispatchOutcome::success(AutomationValue::boolean(false)), {}});
    QVERIFY(!device.ReadPort(1, sample));
    QCOMPARE(sample, std::int16_t(-2));
}

void tst_DeviceControl::resultIsReadAsBoolean_data()
{
    QTest::addColumn<AutomationValue>("result");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<int>("errorCode"); // 0: no error

    QTest::newRow("True") << AutomationValue::boolean(true) << true << 0;
    QTest::newRow("False") << AutomationValue::boolean(false) << false << 0;
    QTest::newRow("-1") << AutomationValue::integer(-1) << true << 0;
    QTest::newRow("non-zero other than -1") << AutomationValue::longInteger(2) << true << 0;
    QTest::newRow("zero") << AutomationValue::integer(0) << false << 0;
    QTest::newRow("empty") << AutomationValue() << false << 0;
    QTest::newRow("string True") << AutomationValue::string("true") << true << 0;
    QTest::newRow("string not a number") << AutomationValue::string("ok") << false << 13;
    QTest::newRow("null") << AutomationValue::null() << false << 94;
    QTest::newRow("an error value") << AutomationValue::error(0) << false << 13;
}

void tst_DeviceControl::resultIsReadAsBoolean()
{
    QFETCH(AutomationValue, result);
    QFETCH(bool, expected);
    QFETCH(int, errorCode);

    // Each operation reads its result the same way, so the ones whose value callers drop can
    // still stop the program.
    for (int op = 0; op < 3; ++op) {
        RecordingControl control;
        control.script.push_back({DispatchOutcome::success(result), {}});
        DeviceControl device(control);
        std::int16_t sample = 0;
        try {
            const bool read = op == 0   ? device.SelectDevice()
                              : op == 1 ? device.ConfigurePorts(0, 155)
                                        : device.ReadPort(0, sample);
            QCOMPARE(errorCode, 0);
            QCOMPARE(read, expected);
        } catch (const AutomationError &error) {
            QCOMPARE(error.code(), errorCode);
        }
    }
}

QTEST_GUILESS_MAIN(tst_DeviceControl)
#include "tst_devicecontrol.moc"
