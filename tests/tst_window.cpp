#include "cards/card_control.h"
#include "device_control_widget.h"
#include "fakes.h"
#include "indicator_box.h"
#include "monitor_window.h"
#include "window_description.h"

#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace velmora;
using velmora::testing::FakeCard;

class tst_Window final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void clientAreaIsFixed();
    void controlsStandWhereTheDescriptionPutsThem_data();
    void controlsStandWhereTheDescriptionPutsThem();
    void overlapsResolveByStacking_data();
    void overlapsResolveByStacking();
    void captionsRunD0ToD15InTheGrid();
    void initialState();
    void focusStartsOnD0AndTabCycles();
    void labelFontAndCaption();
    void indicatorCaptionsAreWholeAndUncovered();
    void indicatorsAreRealCheckBoxes();
    void deviceControlStaysClearOfLabelAndIndicators();
    void deviceControlCaptionSaysWhyThisCard_data();
    void deviceControlCaptionSaysWhyThisCard();
    void enablingARunningTimerKeepsItsCount();
    void eventsAreMatchedWithoutRegardToCase();

private:
    FakeCard::Log m_log;
    std::unique_ptr<MonitorWindow> m_window;

    QRect windowRect(const QString &name) const
    {
        QWidget *widget = m_window->control(name);
        if (!widget)
            return {};
        return QRect(widget->mapTo(m_window.get(), QPoint(0, 0)), widget->size());
    }
};

void tst_Window::init()
{
    m_log = {};
    m_window = std::make_unique<MonitorWindow>(
        velmoraWindow(),
        std::make_unique<CardControl>(std::make_unique<FakeCard>("Fake card", m_log)));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Window::cleanup()
{
    m_window.reset();
}

void tst_Window::clientAreaIsFixed()
{
    QCOMPARE(m_window->size(), QSize(304, 191));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    QCOMPARE(m_window->windowTitle(), QString("Velmora"));
}

void tst_Window::controlsStandWhereTheDescriptionPutsThem_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips"); // window coordinates

    // Children of Frame1 are offset by the frame's 120, 120.
    QTest::newRow("Frame1") << "Frame1" << QRect(120, 120, 4335, 2655);
    QTest::newRow("Exit") << "Exit" << QRect(360, 2160, 1215, 495);
    QTest::newRow("Initcmd") << "Initcmd" << QRect(1560, 2160, 1215, 495);
    QTest::newRow("Selectcmd") << "Selectcmd" << QRect(2760, 2160, 1215, 495);
    for (int k = 0; k < 8; ++k) {
        QTest::addRow("D%d", k) << QString("btnInput(%1)").arg(k)
                                << QRect(360 + 480 * k, 840, 495, 375);
        QTest::addRow("D%d", k + 8)
            << QString("btnInput(%1)").arg(k + 8) << QRect(360 + 480 * k, 1440, 495, 375);
    }
}

void tst_Window::controlsStandWhereTheDescriptionPutsThem()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    const QRect pixels(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15);
    QCOMPARE(windowRect(name), pixels);
}

void tst_Window::overlapsResolveByStacking_data()
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

void tst_Window::overlapsResolveByStacking()
{
    QFETCH(QPoint, point);
    QFETCH(QString, front);
    QWidget *hit = m_window->childAt(point);
    QVERIFY(hit);
    QCOMPARE(hit->objectName(), front);
}

void tst_Window::captionsRunD0ToD15InTheGrid()
{
    for (int i = 0; i < 16; ++i) {
        QCOMPARE(m_window->btnInput(i).text(), QString("D%1").arg(i));
        QCOMPARE(m_window->btnInput(i).accessibleName(), QString("D%1").arg(i));
        if (i % 8 != 0) // left to right within a row
            QVERIFY(windowRect(QString("btnInput(%1)").arg(i)).x() >
                    windowRect(QString("btnInput(%1)").arg(i - 1)).x());
    }
    QVERIFY(windowRect("btnInput(8)").y() > windowRect("btnInput(7)").y());
    QCOMPARE(qobject_cast<QPushButton *>(m_window->control("Initcmd"))->text(), QString("Initial"));
    QCOMPARE(qobject_cast<QPushButton *>(m_window->control("Exit"))->text(), QString("Exit"));
    QCOMPARE(qobject_cast<QPushButton *>(m_window->control("Selectcmd"))->text(),
             QString("Select Device"));
    QCOMPARE(qobject_cast<QGroupBox *>(m_window->control("Frame1"))->title(), QString());
}

void tst_Window::initialState()
{
    for (int i = 0; i < 16; ++i)
        QCOMPARE(m_window->btnInput(i).value(), 0);
    QVERIFY(!m_window->timerEnabled());
    QCOMPARE(m_window->timer().interval(), 100);
    QTest::qWait(250);
    QVERIFY(m_log.reads.empty()); // nothing touches the card at start
    QVERIFY(m_log.configures.empty());
}

void tst_Window::focusStartsOnD0AndTabCycles()
{
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QCOMPARE(QApplication::focusWidget(), &m_window->btnInput(0));

    QStringList expected;
    for (int i = 1; i < 16; ++i)
        expected << QString("btnInput(%1)").arg(i);
    expected << "Exit"
             << "Initcmd"
             << "Selectcmd"
             << "btnInput(0)"
             << "btnInput(1)";
    QStringList seen;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, expected);
    for (const char *name : {"Frame1", "Label1", "TarvoOcx1"})
        QCOMPARE(m_window->control(name)->focusPolicy(), Qt::NoFocus);
}

void tst_Window::labelFontAndCaption()
{
    auto *label = qobject_cast<QLabel *>(m_window->control("Label1"));
    QVERIFY(label);
    QCOMPARE(label->text(), QString("Input:"));
    QCOMPARE(label->font().family(), QString("MS Sans Serif"));
    QCOMPARE(label->font().pointSizeF(), 9.75);
    QCOMPARE(label->font().weight(), QFont::Normal);
    QVERIFY(!label->font().italic() && !label->font().underline() && !label->font().strikeOut());
    QVERIFY(!QFontInfo(label->font()).family().isEmpty()); // some face stands in
    QCOMPARE(windowRect("Label1").topLeft(), QPoint(32, 24));
    QVERIFY(label->width() >= 31);
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
}

void tst_Window::indicatorCaptionsAreWholeAndUncovered()
{
    for (int i = 0; i < 16; ++i) {
        IndicatorBox &box = m_window->btnInput(i);
        const IndicatorBox::Layout layout = box.layoutFor(box.rect());
        // The neighbour to the right covers the last pixel column: keep clear of it.
        const QRect uncovered = box.rect().adjusted(0, 0, -1, 0);
        QVERIFY2(uncovered.contains(layout.caption), qPrintable(box.text()));
        QVERIFY2(uncovered.contains(layout.indicator), qPrintable(box.text()));
        QVERIFY(!layout.caption.intersects(layout.indicator));
        QVERIFY2(layout.font.pointSizeF() >= 7.0, qPrintable(box.text()));
        QVERIFY(QFontMetrics(layout.font).horizontalAdvance(box.text()) <= uncovered.width());
    }
}

void tst_Window::indicatorsAreRealCheckBoxes()
{
    IndicatorBox &d10 = m_window->btnInput(10);
    QTest::mouseClick(&d10, Qt::LeftButton, {}, QPoint(d10.width() / 2, d10.height() - 4));
    QCOMPARE(d10.value(), 1);
    d10.setFocus();
    QTest::keyClick(&d10, Qt::Key_Space);
    QCOMPARE(d10.value(), 0);
    QVERIFY(!d10.isTristate());
    QVERIFY(m_log.reads.empty()); // a click stays on screen
}

void tst_Window::deviceControlStaysClearOfLabelAndIndicators()
{
    const QRect ocx = windowRect("TarvoOcx1");
    QCOMPARE(ocx.topLeft(), QPoint(96, 16));
    QVERIFY(!ocx.intersects(windowRect("Label1")));
    for (int i = 0; i < 16; ++i)
        QVERIFY(!ocx.intersects(windowRect(QString("btnInput(%1)").arg(i))));
    QVERIFY(windowRect("Frame1").contains(ocx));
    QCOMPARE(m_window->deviceControlHost().cardName(), QString("Fake card"));
    auto *widget = qobject_cast<DeviceControlWidget *>(&m_window->deviceControlHost());
    QVERIFY(widget);
    QVERIFY(widget->caption().startsWith("Fake"));
}

void tst_Window::deviceControlCaptionSaysWhyThisCard_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("tag");

    QTest::newRow("no note") << "Simulated card"
                             << "";
    QTest::newRow("remembered") << "gpiochip0"
                                << "last used";
    QTest::newRow("standing in") << "Simulated card"
                                 << "last card gone";
    QTest::newRow("long name: the note stays whole")
        << "PCI-DIO24 (8255_pci) /dev/comedi0, subdevice 0"
        << "last used";
}

void tst_Window::deviceControlCaptionSaysWhyThisCard()
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

void tst_Window::enablingARunningTimerKeepsItsCount()
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

void tst_Window::eventsAreMatchedWithoutRegardToCase()
{
    int clicks = 0;
    QVERIFY(m_window->connectEvent("exit", "click", [&] { ++clicks; }));
    QVERIFY(m_window->connectEvent("TIMER", "timer", [] {}));
    QVERIFY(!m_window->connectEvent("Exit", "DblClick", [] {}));
    QVERIFY(!m_window->connectEvent("Nowhere", "Click", [] {}));
    QTest::mouseClick(m_window->control("Exit"), Qt::LeftButton);
    QCOMPARE(clicks, 1);
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
