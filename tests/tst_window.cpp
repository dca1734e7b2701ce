#include "caption_button.h"
#include "caption_fit.h"
#include "cards/card_control.h"
#include "device_control_widget.h"
#include "fakes.h"
#include "indicator_box.h"
#include "monitor_window.h"
#include "window_description.h"

#include <QFontInfo>
#include <QLabel>
#include <QPointer>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QTimer>
#include <QtTest>

using namespace velmora;
using velmora::testing::FakeCard;

namespace {

// Where anything is drawn in `widget`: the pixels that differ from its top-left one.
QRect inkOf(QWidget &widget)
{
    const QImage image = widget.grab().toImage();
    QRect ink;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != image.pixel(0, 0))
                ink |= QRect(x, y, 1, 1);
    return ink;
}

std::unique_ptr<MonitorWindow> newWindow(FakeCard::Log &log)
{
    return std::make_unique<MonitorWindow>(
        velmoraWindow(),
        std::make_unique<CardControl>(std::make_unique<FakeCard>("Fake card", log)));
}

} // namespace

class tst_Window final : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_window.reset();
        m_log = {};
        m_window = newWindow(m_log);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void controlsStandWhereTheDescriptionPutsThemWithTheirCaptions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("twips"); // window coordinates
        QTest::addColumn<QString>("caption");

        // Children of Frame1 are offset by the frame's 120, 120.
        QTest::newRow("Frame1") << "Frame1" << QRect(120, 120, 4335, 2655) << "";
        QTest::newRow("Exit") << "Exit" << QRect(360, 2160, 1215, 495) << "Exit";
        QTest::newRow("Initcmd") << "Initcmd" << QRect(1560, 2160, 1215, 495) << "Initial";
        QTest::newRow("Selectcmd")
            << "Selectcmd" << QRect(2760, 2160, 1215, 495) << "Select Device";
        for (int i = 0; i < 16; ++i) // two rows of eight
            QTest::addRow("D%d", i) << QString("btnInput(%1)").arg(i)
                                    << QRect(360 + 480 * (i % 8), i < 8 ? 840 : 1440, 495, 375)
                                    << QString("D%1").arg(i);
    }

    void controlsStandWhereTheDescriptionPutsThemWithTheirCaptions()
    {
        QFETCH(QString, name);
        QFETCH(QRect, twips);
        QFETCH(QString, caption);
        const QRect pixels(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15);
        QCOMPARE(windowRect(name), pixels);
        QCOMPARE(m_window->control(name)->property(name == "Frame1" ? "title" : "text").toString(),
                 caption);
    }

    void overlapsResolveByStacking_data()
    {
        QTest::addColumn<QPoint>("point"); // a pixel two controls share, window coordinates
        QTest::addColumn<QString>("front");

        QTest::newRow("Exit | Initial") << QPoint(104, 160) << "Initcmd";
        QTest::newRow("Initial | Select Device") << QPoint(184, 160) << "Initcmd";
        QTest::newRow("D0 | D1 (window child in front)") << QPoint(56, 68) << "btnInput(1)";
        QTest::newRow("D1 | D2") << QPoint(88, 68) << "btnInput(2)";
        QTest::newRow("D3 | D4 (window child in front)") << QPoint(152, 68) << "btnInput(3)";
        QTest::newRow("D4 | D5") << QPoint(184, 68) << "btnInput(5)";
        QTest::newRow("D8 | D9") << QPoint(56, 108) << "btnInput(9)";
        QTest::newRow("D14 | D15") << QPoint(248, 108) << "btnInput(15)";
        QTest::newRow("D2 over Frame1") << QPoint(100, 60) << "btnInput(2)";
    }

    void overlapsResolveByStacking()
    {
        QFETCH(QPoint, point);
        QFETCH(QString, front);
        const QWidget *hit = m_window->childAt(point);
        QCOMPARE(hit ? hit->objectName() : QString(), front);
    }

    void startsFixedInSizeIdleAndWithTheCardUntouched()
    {
        QCOMPARE(m_window->size(), QSize(304, 191));
        QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
        QCOMPARE(m_window->windowTitle(), QString("Velmora"));
        for (int i = 0; i < 16; ++i) { // where each stands and its caption, the geometry rows say
            QCOMPARE(m_window->btnInput(i).accessibleName(), QString("D%1").arg(i));
            QCOMPARE(m_window->btnInput(i).value(), 0);
        }
        QVERIFY(!m_window->timerEnabled());
        QCOMPARE(m_window->timer().interval(), 100);
        QCOMPARE(m_window->timer().timerType(), Qt::PreciseTimer);
        QTest::qWait(250); // and nothing touches the card at start
        QVERIFY(m_log.reads.empty() && m_log.configures.empty());
    }

    void focusStartsOnD0AndTabCycles()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        QCOMPARE(QApplication::focusWidget(), &m_window->btnInput(0));

        const QStringList afterD15{"Exit", "Initcmd", "Selectcmd", "btnInput(0)", "btnInput(1)"};
        for (int i = 1; i < 16 + afterD15.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(),
                     i < 16 ? QString("btnInput(%1)").arg(i) : afterD15[i - 16]);
        }
        for (const char *name : {"Frame1", "Label1", "TarvoOcx1"})
            QCOMPARE(m_window->control(name)->focusPolicy(), Qt::NoFocus);
    }

    void labelFontAndCaption()
    {
        auto *label = qobject_cast<QLabel *>(m_window->control("Label1"));
        QVERIFY(label);
        QCOMPARE(windowRect("Label1").topLeft(), QPoint(32, 24));
        // What is drawn must be "Input:" in regular 9.75-point MS Sans Serif (or the face standing
        // in for it), whole: as a label with that font and room to spare draws it.
        QFont described("MS Sans Serif");
        described.setStyleHint(QFont::SansSerif);
        described.setPointSizeF(9.75);
        QLabel reference("Input:");
        reference.setFont(described);
        reference.resize(label->width() + 40, label->height());
        const QRect ink = inkOf(*label);
        QVERIFY(!ink.isEmpty());
        QCOMPARE(ink, inkOf(reference));
        QCOMPARE(QFontInfo(label->font()).pointSizeF(), 9.75);
    }

    void captionsFitTheirRoom_data()
    {
        QTest::addColumn<QString>("style"); // empty: the platform's own
        QTest::addColumn<qreal>("points");  // 0: the platform's default font

        QTest::newRow("default style and font") << QString() << 0.0;
        // The styles Debian users meet (Adwaita from adwaita-qt6) at the sizes desktops default to.
        for (const char *style : {"Fusion", "Windows", "Adwaita", "Adwaita-Dark"})
            for (const qreal points : {9.0, 10.0, 11.0, 12.0})
                QTest::addRow("%s, %g pt", style, points) << QString(style) << points;
    }

    void captionsFitTheirRoom()
    {
        QFETCH(QString, style);
        QFETCH(qreal, points);

        const auto restore =
            qScopeGuard([font = QApplication::font(), name = qApp->style()->name()] {
                QApplication::setFont(font);
                QApplication::setStyle(name);
            });
        if (!style.isEmpty()) {
            if (!QStyleFactory::keys().contains(style, Qt::CaseInsensitive))
                QSKIP(qPrintable(style + " is not installed (Debian: adwaita-qt6)"));
            QApplication::setStyle(style);
        }
        if (points > 0) {
            QFont font = QApplication::font();
            font.setPointSizeF(points);
            QApplication::setFont(font);
        }
        init();

        // The described geometry stands whatever the font: captions give way, not controls.
        QCOMPARE(m_window->size(), QSize(304, 191));

        // Each button's caption inside its bevel and clear of the style's margin, all in one size.
        QList<qreal> buttonPoints;
        for (const char *name : {"Exit", "Initcmd", "Selectcmd"}) {
            auto *button = qobject_cast<CaptionButton *>(m_window->control(name));
            QVERIFY(button);
            QCOMPARE(button->size(), QSize(81, 33));
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            const QStyle *look = button->style();
            const int margin = look->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
            const QSize room =
                look->subElementRect(QStyle::SE_PushButtonContents, &option, button).size() -
                QSize(margin, margin);
            const QSize text =
                QFontMetrics(button->captionFont()).size(Qt::TextShowMnemonic, button->text());
            QVERIFY2(text.boundedTo(room) == text, name);
            QVERIFY(button->captionFont().pointSizeF() >= LegiblePoints);
            // The user's font wherever it fits.
            if (QFontMetrics(button->font()).size(Qt::TextShowMnemonic, "Select Device").width() <=
                room.width())
                QCOMPARE(button->captionFont().pointSizeF(), button->font().pointSizeF());
            buttonPoints << button->captionFont().pointSizeF();
        }
        QCOMPARE(buttonPoints.count(buttonPoints.front()), buttonPoints.size());

        for (int i = 0; i < 16; ++i) {
            IndicatorBox &box = m_window->btnInput(i);
            const IndicatorBox::Layout layout = box.layoutFor(box.rect());
            // The neighbour to the right covers the last pixel column: keep clear of it.
            const QRect uncovered = box.rect().adjusted(0, 0, -1, 0);
            QVERIFY2(uncovered.contains(layout.caption | layout.indicator), qPrintable(box.text()));
            QVERIFY(!layout.caption.intersects(layout.indicator));
            QVERIFY2(layout.font.pointSizeF() >= LegiblePoints, qPrintable(box.text()));
            QVERIFY(QFontMetrics(layout.font).horizontalAdvance(box.text()) <= uncovered.width());
            QVERIFY2(layout.indicator.height() >= 8, "the box shrank out of sight");
            // Box over caption, centred in the cell; the box no larger than the style draws it,
            // and whole where the cell has the room, as Fusion's has at 9 points.
            const QRect block = layout.indicator | layout.caption;
            QVERIFY(qAbs(block.top() - (box.height() - 1 - block.bottom())) <= 1);
            const QRect &shown = layout.indicator;
            QVERIFY(qAbs(shown.left() - (box.width() - 1 - shown.right())) <= 1);
            QStyleOptionButton option;
            option.initFrom(&box);
            const QSize styled(box.style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, &box),
                               box.style()->pixelMetric(QStyle::PM_IndicatorHeight, &option, &box));
            QVERIFY(layout.indicator.size().boundedTo(styled) == layout.indicator.size());
            if (style == "Fusion" && points == 9.0)
                QCOMPARE(layout.indicator.size(), styled);
        }
        // A cell one pixel taller than caption, gap and focus ring need: the box gives way, and the
        // caption is drawn whole, above the focus ring's bottom row.
        IndicatorBox squeezed("D8");
        squeezed.resize(33, squeezed.layoutFor(QRect(0, 0, 33, 1)).caption.height() + 5);
        const QRect squeezedInk = inkOf(squeezed);
        QVERIFY(!squeezedInk.isEmpty() && squeezedInk.bottom() < squeezed.grab().height() - 1);

        auto *label = qobject_cast<QLabel *>(m_window->control("Label1"));
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
    }

    void fontChangeRedrawsAsAWindowMadeWithThatFont()
    {
        const auto fresh = newWindow(m_log);
        for (const char *name : {"Selectcmd", "btnInput(5)"}) {
            QWidget *control = m_window->control(name);
            const QImage before = control->grab().toImage(); // caption fitted to the old font
            QFont font = control->font();
            font.setPointSizeF(LegiblePoints); // smaller than the caption stood at
            control->setFont(font);
            fresh->control(name)->setFont(font);
            const QImage changed = control->grab().toImage();
            QVERIFY(changed != before);
            QCOMPARE(changed, fresh->control(name)->grab().toImage());
        }
    }

    void enterAndSpacePressTheFocusedButton_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("key");

        for (const char *button : {"Exit", "Initcmd", "Selectcmd"})
            for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space})
                QTest::addRow("%s, %s", button, qPrintable(QKeySequence(key).toString()))
                    << QString(button) << int(key);
    }

    void enterAndSpacePressTheFocusedButton()
    {
        QFETCH(QString, button);
        QFETCH(int, key);

        int clicks = 0;
        QVERIFY(m_window->connectEvent(button.toStdString(), "Click", [&] { ++clicks; }));
        QWidget *widget = m_window->control(button);
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        widget->setFocus();
        QTest::keyClick(widget, Qt::Key(key));
        QCOMPARE(clicks, 1);
        QCOMPARE(QApplication::focusWidget(), widget); // the focus stays where it was

        // Held down, a key presses once, not once per repeat.
        QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(widget, &repeat);
        QCOMPARE(clicks, 1);
    }

    void indicatorsAreRealCheckBoxes()
    {
        IndicatorBox &d10 = m_window->btnInput(10);
        d10.setFocus();
        QTest::keyClick(&d10, Qt::Key_Return); // an indicator is no button: Enter leaves it be
        QCOMPARE(d10.value(), 0);
        QTest::mouseClick(&d10, Qt::LeftButton, {}, QPoint(d10.width() / 2, d10.height() - 4));
        QCOMPARE(d10.value(), 1);
        QTest::keyClick(&d10, Qt::Key_Space);
        QCOMPARE(d10.value(), 0);
        QVERIFY(!d10.isTristate());
        QVERIFY(m_log.reads.empty()); // a click stays on screen
    }

    void deviceControlStaysClearOfLabelAndIndicators()
    {
        const QRect ocx = windowRect("TarvoOcx1");
        QCOMPARE(ocx.topLeft(), QPoint(96, 16));
        for (int i = -1; i < 16; ++i)
            QVERIFY(!ocx.intersects(windowRect(i < 0 ? "Label1" : QString("btnInput(%1)").arg(i))));
        QVERIFY(windowRect("Frame1").contains(ocx));
        QCOMPARE(m_window->deviceControlHost().cardName(), QString("Fake card"));
        const auto *widget = qobject_cast<DeviceControlWidget *>(&m_window->deviceControlHost());
        QVERIFY(widget && widget->caption().startsWith("Fake"));
    }

    void deviceControlCaptionSaysWhyThisCard_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("tag");

        QTest::newRow("no note") << QString("Simulated card") << "";
        QTest::newRow("remembered") << QString("gpiochip0") << "last used";
        QTest::newRow("standing in") << QString("Simulated card") << "last card gone";
        QTest::newRow("long name: the note stays whole")
            << QString("PCI-DIO24 (8255_pci) /dev/comedi0, subdevice 0") << "last used";
    }

    void deviceControlCaptionSaysWhyThisCard()
    {
        QFETCH(QString, name);
        QFETCH(QString, tag);

        FakeCard::Log log;
        auto control =
            std::make_unique<CardControl>(std::make_unique<FakeCard>(name.toStdString(), log));
        control->setMemory(nullptr,
                           {tag.toStdString(), tag.isEmpty() ? "" : "Why: " + tag.toStdString()});
        DeviceControlWidget widget(std::move(control));
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));

        const QString note = tag.isEmpty() ? QString() : " (" + tag + ")";
        QVERIFY2(widget.caption().endsWith(note), qPrintable(widget.caption()));
        const QString shownName = widget.caption().chopped(note.size());
        QVERIFY(shownName == name || shownName.endsWith(QChar(0x2026)));
        QVERIFY(name.startsWith(shownName.chopped(shownName == name ? 0 : 1)));
        QCOMPARE(widget.cardName(), name);
        QCOMPARE(widget.toolTip().contains("Why: "), !tag.isEmpty());
    }

    void enablingARunningTimerKeepsItsCount()
    {
        m_window->setTimerEnabled(true);
        QTest::qWait(60);
        const int remaining = m_window->timer().remainingTime();
        m_window->setTimerEnabled(true);
        QVERIFY(m_window->timer().remainingTime() <= remaining);
        QCOMPARE(m_window->timer().interval(), 100);
        m_window->unload();
        QVERIFY(!m_window->timerEnabled());
        QVERIFY(!m_window->isVisible());
    }

    void eventsAreMatchedWithoutRegardToCase_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("event");
        QTest::addColumn<bool>("connected");

        QTest::newRow("exit click") << QString("exit") << "click" << true;
        QTest::newRow("EXIT CLICK") << QString("EXIT") << "CLICK" << true;
        QTest::newRow("TIMER timer") << QString("TIMER") << "timer" << true;
        QTest::newRow("a prefix") << QString("Exi") << "Click" << false;
        QTest::newRow("a longer name") << QString("Exits") << "Click" << false;
        QTest::newRow("no such event") << QString("Exit") << "DblClick" << false;
        QTest::newRow("the timer has no Click") << QString("Timer") << "Click" << false;
        QTest::newRow("no such control") << QString("Nowhere") << "Click" << false;
    }

    void eventsAreMatchedWithoutRegardToCase()
    {
        QFETCH(QString, control);
        QFETCH(QString, event);
        QFETCH(bool, connected);
        int calls = 0;
        QCOMPARE(
            m_window->connectEvent(control.toStdString(), event.toStdString(), [&] { ++calls; }),
            connected);
        if (!connected)
            return;
        if (control.compare("exit", Qt::CaseInsensitive) == 0)
            QTest::mouseClick(m_window->control("Exit"), Qt::LeftButton);
        else
            m_window->setTimerEnabled(true);
        QTRY_VERIFY(calls >= 1);
    }

    void namesFoldOnlyLetters()
    {
        QVERIFY(sameName("AZaz_09", "azAZ_09"));
        // '@' and '[' stand next to 'A' and 'Z', as '`' and '{' stand next to 'a' and 'z'.
        QVERIFY(!sameName("@", "`"));
        QVERIFY(!sameName("[", "{"));
    }

    void eachWindowGetsAFreshHostAndOwnsIt_data()
    {
        QTest::addColumn<bool>("madeInContainer");
        QTest::newRow("made in its container") << true;
        QTest::newRow("made without a parent") << false;
    }

    void eachWindowGetsAFreshHostAndOwnsIt()
    {
        QFETCH(bool, madeInContainer);
        FakeCard::Log log;
        int made = 0;
        const MonitorWindow::HostFactory makeHost =
            [&](QWidget *container) -> std::unique_ptr<DeviceControlHost> {
            auto card = std::make_unique<FakeCard>("card " + std::to_string(++made), log);
            return std::make_unique<DeviceControlWidget>(
                std::make_unique<CardControl>(std::move(card)),
                madeInContainer ? container : nullptr);
        };
        for (int i = 1; i <= 2; ++i) {
            auto window = std::make_unique<MonitorWindow>(velmoraWindow(), makeHost);
            QPointer<DeviceControlHost> host = &window->deviceControlHost();
            QCOMPARE(host->cardName(), QString("card %1").arg(i));
            QCOMPARE(host->window(), window.get());
            QCOMPARE(host->mapTo(window.get(), QPoint()), windowRect("TarvoOcx1").topLeft());
            QVERIFY(host->isVisibleTo(window.get()));
            window.reset();
            QVERIFY(host.isNull()); // it went with its window
        }
    }

private:
    FakeCard::Log m_log;
    std::unique_ptr<MonitorWindow> m_window;

    QRect windowRect(const QString &name) const
    {
        const QWidget *widget = m_window->control(name);
        return widget ? QRect(widget->mapTo(m_window.get(), QPoint()), widget->size()) : QRect();
    }
};

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
