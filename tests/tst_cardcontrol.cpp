#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "cards/card_control.h"
#include "fakes.h"

#include <QtTest>

#include <array>

using namespace velmora;
using velmora::testing::FakeCard;

Q_DECLARE_METATYPE(velmora::AutomationValue)

namespace {

// A selection dialog stand-in: answers with a prepared choice.
class ScriptedSelector final : public CardSelector {
public:
    CardChoice::Outcome outcome = CardChoice::Outcome::Cancelled;
    std::unique_ptr<Card> next;
    int asked = 0;

    CardChoice chooseCard(const Card &) override
    {
        ++asked;
        return {outcome, std::move(next)};
    }
};

} // namespace

class tst_CardControl final : public QObject {
    Q_OBJECT

private slots:
    void rejectsCallsAsAnAutomationServerWould_data();
    void rejectsCallsAsAnAutomationServerWould();
    void passesPortOperationsToTheCard();
    void selectDeviceAnswers_data();
    void selectDeviceAnswers();
    void cardsOwnAnswerToSelectDeviceComesFirst();
    void cardThatFailedToOpenReportsItOnEveryOperation();
    void cardThatFailedToOpenIsOpenedAfreshWhenActedOn_data();
    void cardThatFailedToOpenIsOpenedAfreshWhenActedOn();
    void releaseClosesOnceAndLaterCallsFail();
};

void tst_CardControl::rejectsCallsAsAnAutomationServerWould_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QList<AutomationValue>>("args");
    QTest::addColumn<int>("code");

    std::int16_t target = 0;
    const auto ref = AutomationValue::integerByRef(&target); // never written: every call fails
    const auto i4 = AutomationValue::longInteger(0);
    const auto i2 = AutomationValue::integer(155);

    QTest::newRow("unknown identifier") << 99 << QList<AutomationValue>{} << 438;
    QTest::newRow("identifier 0") << 0 << QList<AutomationValue>{} << 438;
    QTest::newRow("SelectDevice with an argument") << 25 << QList<AutomationValue>{i4} << 450;
    QTest::newRow("ConfigurePorts one argument") << 17 << QList<AutomationValue>{i4} << 450;
    QTest::newRow("ConfigurePorts three arguments")
        << 17 << QList<AutomationValue>{i4, i2, i2} << 450;
    QTest::newRow("ReadPort no arguments") << 16 << QList<AutomationValue>{} << 450;
    QTest::newRow("ConfigurePorts string chip")
        << 17 << QList<AutomationValue>{AutomationValue::string("0"), i2} << 13;
    QTest::newRow("ConfigurePorts null word")
        << 17 << QList<AutomationValue>{i4, AutomationValue::null()} << 13;
    QTest::newRow("ConfigurePorts word overflows 16 bits")
        << 17 << QList<AutomationValue>{i4, AutomationValue::longInteger(32768)} << 6;
    QTest::newRow("ConfigurePorts word below 16 bits")
        << 17 << QList<AutomationValue>{i4, AutomationValue::longInteger(-32769)} << 6;
    QTest::newRow("ReadPort value by value") << 16 << QList<AutomationValue>{i4, i2} << 13;
    QTest::newRow("ReadPort double port")
        << 16 << QList<AutomationValue>{AutomationValue::real(0), ref} << 13;
    QTest::newRow("ReadPort null reference")
        << 16 << QList<AutomationValue>{i4, AutomationValue::integerByRef(nullptr)} << 13;
}

void tst_CardControl::rejectsCallsAsAnAutomationServerWould()
{
    QFETCH(int, id);
    QFETCH(QList<AutomationValue>, args);
    QFETCH(int, code);

    FakeCard::Log log;
    CardControl control(std::make_unique<FakeCard>("card", log));
    const std::vector<AutomationValue> argv(args.begin(), args.end());
    const DispatchOutcome outcome = control.invoke(id, argv);
    QVERIFY(outcome.status.failed);
    QCOMPARE(outcome.status.code, code);
    QVERIFY(!outcome.status.description.empty());
    QVERIFY(log.configures.empty());
    QVERIFY(log.reads.empty());
}

void tst_CardControl::passesPortOperationsToTheCard()
{
    FakeCard::Log log;
    auto card = std::make_unique<FakeCard>("card", log);
    card->portValue = -300;
    CardControl control(std::move(card));
    DeviceControl device(control);

    QVERIFY(device.ConfigurePorts(0, 155));
    // Either integer kind, up to the edges of the parameter's range.
    const std::array low{AutomationValue::integer(-1), AutomationValue::longInteger(-32768)};
    const std::array high{AutomationValue::longInteger(7), AutomationValue::longInteger(32767)};
    QVERIFY(!control.invoke(dispatch_id::ConfigurePorts, low).status.failed);
    QVERIFY(!control.invoke(dispatch_id::ConfigurePorts, high).status.failed);
    std::int16_t sample = 0;
    QVERIFY(device.ReadPort(1, sample));
    QCOMPARE(sample, std::int16_t(-300));
    QCOMPARE(log.configures, (std::vector<std::pair<std::int32_t, std::int16_t>>{
                                 {0, 155}, {-1, -32768}, {7, 32767}}));
    QCOMPARE(log.reads, std::vector<std::int32_t>{1});
    QCOMPARE(log.opens, 1);
}

void tst_CardControl::selectDeviceAnswers_data()
{
    QTest::addColumn<bool>("withSelector");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("offered"); // the selector hands over a new card
    QTest::addColumn<bool>("firstOpens");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<bool>("replaced");

    const int cancelled = int(CardChoice::Outcome::Cancelled);
    const int keep = int(CardChoice::Outcome::KeepCurrent);
    const int replace = int(CardChoice::Outcome::Replace);
    QTest::newRow("no dialog: keeps the card") << false << replace << true << true << true << false;
    QTest::newRow("cancelled") << true << cancelled << false << true << false << false;
    QTest::newRow("current card again") << true << keep << false << true << true << false;
    QTest::newRow("replaced") << true << replace << true << true << true << true;
    QTest::newRow("replaced, no card handed over")
        << true << replace << false << true << false << false;
    QTest::newRow("replacing a card that failed to open")
        << true << replace << true << false << true << true;
}

void tst_CardControl::selectDeviceAnswers()
{
    QFETCH(bool, withSelector);
    QFETCH(int, outcome);
    QFETCH(bool, offered);
    QFETCH(bool, firstOpens);
    QFETCH(bool, answer);
    QFETCH(bool, replaced);

    FakeCard::Log oldLog, newLog;
    auto first = std::make_unique<FakeCard>("first", oldLog);
    if (!firstOpens)
        first->openStatus = DispatchStatus::failure(16, "busy");
    CardControl control(std::move(first));
    ScriptedSelector selector;
    selector.outcome = CardChoice::Outcome(outcome);
    if (offered)
        selector.next = std::make_unique<FakeCard>("new", newLog);
    if (withSelector)
        control.setSelector(&selector);
    std::string shown;
    control.setCardChangedCallback([&](const CardInfo &info) { shown = info.name; });

    DeviceControl device(control);
    QCOMPARE(device.SelectDevice(), answer);
    QCOMPARE(selector.asked, withSelector ? 1 : 0);
    QCOMPARE(control.card().info().name, std::string(replaced ? "new" : "first"));
    QCOMPARE(shown, std::string(replaced ? "new" : ""));
    // The old card is closed only once replaced, and only if it was ever opened.
    QCOMPARE(oldLog.closes, replaced && firstOpens ? 1 : 0);
    if (replaced || firstOpens) {
        std::int16_t sample = 0;
        QVERIFY(device.ReadPort(0, sample));
        QCOMPARE(newLog.reads.size(), replaced ? 1u : 0u);
        QCOMPARE(oldLog.reads.size(), replaced ? 0u : 1u);
    }
}

void tst_CardControl::cardsOwnAnswerToSelectDeviceComesFirst()
{
    FakeCard::Log log;
    auto faulty = std::make_unique<FakeCard>("faulty", log);
    faulty->selectAnswer = DispatchOutcome::failure(57, "select failed");
    CardControl control(std::move(faulty));
    ScriptedSelector selector;
    control.setSelector(&selector);
    QCOMPARE(control.invoke(dispatch_id::SelectDevice, {}).status.code, 57);
    QCOMPARE(selector.asked, 0);
}

void tst_CardControl::cardThatFailedToOpenReportsItOnEveryOperation()
{
    FakeCard::Log log;
    auto card = std::make_unique<FakeCard>("busy", log);
    card->openStatus = DispatchStatus::failure(16, "/dev/x: Device or resource busy");
    {
        CardControl control(std::move(card));
        DeviceControl device(control);
        std::int16_t sample = 3;
        try {
            device.ReadPort(0, sample);
            QFAIL("reading a card that could not be opened must raise");
        } catch (const AutomationError &error) {
            QCOMPARE(error.code(), 16);
            QCOMPARE(error.description(), std::string("/dev/x: Device or resource busy"));
        }
        QCOMPARE(sample, std::int16_t(3));
        QVERIFY(log.reads.empty());
    }
    QCOMPARE(log.closes, 0); // nothing was opened, so nothing is closed
}

void tst_CardControl::cardThatFailedToOpenIsOpenedAfreshWhenActedOn_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("fixed"); // the user applied the fix before acting

    for (const char *action : {"Initial", "ReadPort", "chosen again"}) {
        QTest::addRow("%s, fixed", action) << QString(action) << true;
        QTest::addRow("%s, still broken", action) << QString(action) << false;
    }
}

void tst_CardControl::cardThatFailedToOpenIsOpenedAfreshWhenActedOn()
{
    QFETCH(QString, action);
    QFETCH(bool, fixed);

    FakeCard::Log log;
    auto owned = std::make_unique<FakeCard>("sim", log);
    FakeCard *card = owned.get();
    card->openStatus = DispatchStatus::failure(57, "sim: corrupt; run 'velmora-sim reset'");
    // A card that is not open never answers SelectDevice for itself: the list opens.
    card->selectAnswer = DispatchOutcome::failure(57, "would keep the user from the list");
    CardControl control(std::move(owned));
    ScriptedSelector selector;
    selector.outcome = CardChoice::Outcome::KeepCurrent;
    control.setSelector(&selector);
    DeviceControl device(control);
    QCOMPARE(log.opens, 1);

    if (fixed)
        card->openStatus = DispatchStatus::success();
    try {
        std::int16_t sample = 0;
        if (action == "Initial")
            QVERIFY(device.ConfigurePorts(0, 155));
        else if (action == "ReadPort")
            QVERIFY(device.ReadPort(0, sample));
        else
            QVERIFY(device.SelectDevice());
        QVERIFY2(fixed, "a card that still fails to open must raise");
    } catch (const AutomationError &error) {
        QVERIFY(!fixed);
        QCOMPARE(error.code(), 57);
        QCOMPARE(error.description(), std::string("sim: corrupt; run 'velmora-sim reset'"));
    }
    QCOMPARE(log.opens, 2); // opened afresh, not the first failure replayed
    QCOMPARE(selector.asked, action == "chosen again" ? 1 : 0);

    // Once open it stays open: acting again opens nothing.
    if (fixed) {
        QVERIFY(device.ConfigurePorts(0, 155));
        QCOMPARE(log.opens, 2);
        card->selectAnswer.reset();
        QVERIFY(device.SelectDevice());
        QCOMPARE(log.opens, 2);
    }
}

void tst_CardControl::releaseClosesOnceAndLaterCallsFail()
{
    FakeCard::Log log;
    {
        CardControl control(std::make_unique<FakeCard>("card", log));
        control.release();
        control.release();
        QCOMPARE(log.closes, 1);
        std::int16_t sample = 0;
        const std::array args{AutomationValue::longInteger(0),
                              AutomationValue::integerByRef(&sample)};
        const DispatchOutcome outcome = control.invoke(dispatch_id::ReadPort, args);
        QVERIFY(outcome.status.failed);
        QVERIFY(outcome.status.description.find("card") != std::string::npos);
    }
    QCOMPARE(log.closes, 1); // not again on destruction
    {
        CardControl control(std::make_unique<FakeCard>("card", log));
    }
    QCOMPARE(log.closes, 2); // destruction releases
}

QTEST_GUILESS_MAIN(tst_CardControl)
#include "tst_cardcontrol.moc"
