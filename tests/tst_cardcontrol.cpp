#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "cards/card_control.h"
#include "fakes.h"

#include <QtTest>

#include <array>
#include <limits>

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

// True, False, or the error code a call fails with.
int answer(const DispatchOutcome &outcome)
{
    return outcome.status.failed ? outcome.status.code : int(toBoolean(outcome.result));
}

} // namespace

class tst_CardControl final : public QObject {
    Q_OBJECT

private:
    std::int16_t m_sample = 0; // the caller's variable for ReadPort

private slots:
    void callsAsAnAutomationServerWould_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QList<AutomationValue>>("args");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("card"); // what reaches the card

        using V = AutomationValue;
        using Args = QList<AutomationValue>;
        const auto ref = V::integerByRef(&m_sample);
        const auto i4 = V::longInteger(0);
        const auto i2 = V::integer(155);
        const auto lowestI4 = V::longInteger(std::numeric_limits<std::int32_t>::lowest());

        // Either integer kind by value, up to the edges of the parameter's range.
        QTest::newRow("ConfigurePorts") << 17 << Args{i4, i2} << 1 << "configure 0 155";
        QTest::newRow("ConfigurePorts lowest word")
            << 17 << Args{V::integer(-1), V::longInteger(-32768)} << 1 << "configure -1 -32768";
        QTest::newRow("ConfigurePorts lowest chip, highest word")
            << 17 << Args{lowestI4, V::integer(32767)} << 1 << "configure -2147483648 32767";
        QTest::newRow("ReadPort") << 16 << Args{V::longInteger(1), ref} << 1 << "read 1 = -300";
        QTest::newRow("ReadPort Integer port")
            << 16 << Args{V::integer(0), ref} << 1 << "read 0 = -300";

        for (int id : {0, 15, 18, 24, 26, 99})
            QTest::addRow("identifier %d", id) << id << Args{} << 438 << "";
        QTest::newRow("SelectDevice with an argument") << 25 << Args{i4} << 450 << "";
        QTest::newRow("ConfigurePorts one argument") << 17 << Args{i4} << 450 << "";
        QTest::newRow("ConfigurePorts three arguments") << 17 << Args{i4, i2, i2} << 450 << "";
        QTest::newRow("ReadPort no arguments") << 16 << Args{} << 450 << "";
        QTest::newRow("ReadPort three arguments") << 16 << Args{i4, ref, ref} << 450 << "";
        QTest::newRow("ConfigurePorts string chip") << 17 << Args{V::string("0"), i2} << 13 << "";
        QTest::newRow("ConfigurePorts Boolean chip")
            << 17 << Args{V::boolean(false), i2} << 13 << "";
        QTest::newRow("ConfigurePorts null word") << 17 << Args{i4, V::null()} << 13 << "";
        QTest::newRow("ConfigurePorts word overflows 16 bits")
            << 17 << Args{i4, V::longInteger(32768)} << 6 << "";
        QTest::newRow("ConfigurePorts word below 16 bits")
            << 17 << Args{i4, V::longInteger(-32769)} << 6 << "";
        QTest::newRow("ReadPort value by value") << 16 << Args{i4, i2} << 13 << "";
        QTest::newRow("ReadPort double port") << 16 << Args{V::real(0), ref} << 13 << "";
        QTest::newRow("ReadPort null reference")
            << 16 << Args{i4, V::integerByRef(nullptr)} << 13 << "";
    }

    void callsAsAnAutomationServerWould()
    {
        QFETCH(int, id);
        QFETCH(QList<AutomationValue>, args);
        QFETCH(int, answer);
        QFETCH(QString, card);

        FakeCard::Log log;
        auto fake = std::make_unique<FakeCard>("card", log);
        fake->portValue = -300;
        CardControl control(std::move(fake));
        m_sample = 0;
        const std::vector<AutomationValue> argv(args.begin(), args.end());
        const DispatchOutcome outcome = control.invoke(id, argv);
        QCOMPARE(::answer(outcome), answer);
        QCOMPARE(outcome.status.description.empty(), !outcome.status.failed);
        QStringList reached;
        for (const auto &[chip, word] : log.configures)
            reached << QString("configure %1 %2").arg(chip).arg(word);
        for (std::int32_t port : log.reads)
            reached << QString("read %1 = %2").arg(port).arg(m_sample);
        QCOMPARE(reached.join(", "), card);
        QCOMPARE(log.opens, 1);
    }

    void selectDeviceAnswers_data()
    {
        // "no dialog", "none offered", "unopened", "card answers"
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("replaced");

        using O = CardChoice::Outcome;
        const int replace = int(O::Replace);
        QTest::newRow("no dialog: keeps the card") << "no dialog" << replace << 1 << false;
        QTest::newRow("cancelled") << "" << int(O::Cancelled) << 0 << false;
        QTest::newRow("current card again") << "" << int(O::KeepCurrent) << 1 << false;
        QTest::newRow("replaced") << "" << replace << 1 << true;
        QTest::newRow("replaced, no card handed over") << "none offered" << replace << 0 << false;
        QTest::newRow("replacing a card that failed to open") << "unopened" << replace << 1 << true;
        // The card answers with 57 for itself, but only once it is open.
        QTest::newRow("the card's own answer comes first")
            << "card answers" << replace << 57 << false;
        QTest::newRow("one that failed to open never answers")
            << "unopened, card answers" << replace << 1 << true;
    }

    void selectDeviceAnswers()
    {
        QFETCH(QString, setup);
        QFETCH(int, outcome);
        QFETCH(int, answer);
        QFETCH(bool, replaced);
        const bool withSelector = !setup.contains("no dialog");
        const bool firstOpens = !setup.contains("unopened");

        FakeCard::Log oldLog, newLog;
        auto first = std::make_unique<FakeCard>("first", oldLog);
        if (!firstOpens)
            first->openStatus = DispatchStatus::failure(16, "busy");
        if (setup.contains("card answers"))
            first->selectAnswer = DispatchOutcome::failure(57, "select failed");
        CardControl control(std::move(first));
        ScriptedSelector selector;
        selector.outcome = CardChoice::Outcome(outcome);
        if (!setup.contains("none offered"))
            selector.next = std::make_unique<FakeCard>("new", newLog);
        if (withSelector)
            control.setSelector(&selector);
        std::string shown;
        control.setCardChangedCallback([&](const CardInfo &info) { shown = info.name; });

        QCOMPARE(::answer(control.invoke(dispatch_id::SelectDevice, {})), answer);
        QCOMPARE(selector.asked, withSelector && answer != 57 ? 1 : 0);
        QCOMPARE(control.card().info().name, std::string(replaced ? "new" : "first"));
        QCOMPARE(shown, std::string(replaced ? "new" : ""));
        // The old card is closed only once replaced, and only if it was ever opened.
        QCOMPARE(oldLog.closes, replaced && firstOpens ? 1 : 0);
        if (replaced || firstOpens) {
            std::int16_t sample = 0;
            QVERIFY(DeviceControl(control).ReadPort(0, sample));
            QCOMPARE(newLog.reads.size(), replaced ? 1u : 0u);
            QCOMPARE(oldLog.reads.size(), replaced ? 0u : 1u);
        }
    }

    void cardThatFailedToOpenIsOpenedAfreshWhenActedOn_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("fixed"); // the user applied the fix before acting

        for (const char *action : {"Initial", "ReadPort", "chosen again"}) {
            QTest::addRow("%s, fixed", action) << QString(action) << true;
            QTest::addRow("%s, still broken", action) << QString(action) << false;
        }
    }

    void cardThatFailedToOpenIsOpenedAfreshWhenActedOn()
    {
        QFETCH(QString, action);
        QFETCH(bool, fixed);

        FakeCard::Log log;
        {
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
            std::int16_t sample = 3;
            try {
                const bool done = action == "Initial"    ? device.ConfigurePorts(0, 155)
                                  : action == "ReadPort" ? device.ReadPort(0, sample)
                                                         : device.SelectDevice();
                QVERIFY2(done && fixed, "succeeds once the card opens, raises while it fails");
            } catch (const AutomationError &error) {
                QVERIFY(!fixed);
                QCOMPARE(std::to_string(error.code()) + " " + error.description(),
                         "57 sim: corrupt; run 'velmora-sim reset'");
                QCOMPARE(sample, std::int16_t(3));
                QCOMPARE(log.reads.size() + log.configures.size(), 0u);
            }
            QCOMPARE(log.opens, 2); // opened afresh, not the first failure replayed
            QCOMPARE(selector.asked, action == "chosen again" ? 1 : 0);

            // Once open it stays open: acting again opens nothing.
            if (fixed) {
                QVERIFY(device.ConfigurePorts(0, 155));
                card->selectAnswer.reset();
                QVERIFY(device.SelectDevice());
                QCOMPARE(log.opens, 2);
            }
        }
        QCOMPARE(log.closes, fixed ? 1 : 0); // what never opened is never closed
    }

    void releaseClosesOnceAndLaterCallsFail()
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
            QCOMPARE(answer(outcome), 57);
            QVERIFY(outcome.status.description.find("card: ") == 0);
            QVERIFY(log.reads.empty());
        }
        QCOMPARE(log.closes, 1); // not again on destruction
        CardControl(std::make_unique<FakeCard>("card", log));
        QCOMPARE(log.closes, 2); // destruction releases
    }
};

QTEST_GUILESS_MAIN(tst_CardControl)
#include "tst_cardcontrol.moc"
