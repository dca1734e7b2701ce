#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "fakes.h"

#include <QtTest>

using namespace velmora;
using velmora::testing::RecordingControl;
using Kind = AutomationValue::Kind;

Q_DECLARE_METATYPE(velmora::AutomationValue)

class tst_DeviceControl final : public QObject {
    Q_OBJECT

private slots:
    void callsByIdentifierWithTypedArguments_data();
    void callsByIdentifierWithTypedArguments();
    void readPortWritesTheCallersOwnVariable();
    void failedStatusRaisesItsCodeAndDescription();
    void resultIsReadAsBoolean_data();
    void resultIsReadAsBoolean();
};

void tst_DeviceControl::callsByIdentifierWithTypedArguments_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("id");
    QTest::addColumn<QList<int>>("kinds");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("second");

    QTest::newRow("SelectDevice") << "select" << 25 << QList<int>{} << 0LL << 0LL;
    QTest::newRow("ConfigurePorts 0, 155")
        << "configure" << 17 << QList<int>{int(Kind::Long), int(Kind::Integer)} << 0LL << 155LL;
    QTest::newRow("ReadPort 0") << "read0" << 16
                                << QList<int>{int(Kind::Long), int(Kind::IntegerByRef)} << 0LL
                                << 0LL;
    QTest::newRow("ReadPort 1") << "read1" << 16
                                << QList<int>{int(Kind::Long), int(Kind::IntegerByRef)} << 1LL
                                << 0LL;
}

void tst_DeviceControl::callsByIdentifierWithTypedArguments()
{
    QFETCH(QString, operation);
    QFETCH(int, id);
    QFETCH(QList<int>, kinds);
    QFETCH(qint64, first);
    QFETCH(qint64, second);

    RecordingControl control;
    DeviceControl device(control);
    std::int16_t sample = 0;
    if (operation == "select")
        device.SelectDevice();
    else if (operation == "configure")
        device.ConfigurePorts(0, 155);
    else
        device.ReadPort(operation == "read0" ? 0 : 1, sample);

    QCOMPARE(control.calls.size(), 1u);
    const auto &call = control.calls.front();
    QCOMPARE(call.id, id);
    QList<int> seen;
    for (const auto &arg : call.args)
        seen << int(arg.kind());
    QCOMPARE(seen, kinds);
    if (!kinds.isEmpty()) {
        QCOMPARE(qint64(call.args[0].asLong()), first);
        if (call.args[1].kind() == Kind::Integer)
            QCOMPARE(qint64(call.args[1].asInteger()), second);
        else
            QCOMPARE(call.args[1].asIntegerByRef(), &sample);
    }
}

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

void tst_DeviceControl::failedStatusRaisesItsCodeAndDescription()
{
    RecordingControl control;
    DeviceControl device(control);
    control.script.push_back({DispatchOutcome::failure(57, "Device I/O error: card gone"), {}});
    std::int16_t sample = 0;
    try {
        device.ReadPort(0, sample);
        QFAIL("a failed status must raise");
    } catch (const AutomationError &error) {
        QCOMPARE(error.code(), 57);
        QCOMPARE(error.description(), std::string("Device I/O error: card gone"));
    }
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
