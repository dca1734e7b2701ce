#include "card_catalog.h"
#include "fakes.h"
#include "monitor_window.h"
#include "velmora_app.h"

#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <functional>

using namespace velmora;
using velmora::testing::FakeCard;

namespace {

class NoCards final : public CardCatalog {
public:
    std::vector<CardOffer> offers() override { return {}; }
};

MonitorWindow *velmoraWindowShown()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *window = qobject_cast<MonitorWindow *>(widget); window && window->isVisible())
            return window;
    return nullptr;
}

QList<QMessageBox *> reportsShown()
{
    QList<QMessageBox *> boxes;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            boxes << box;
    return boxes;
}

// Runs the program's event loop with `card`, acting as the user once the window is up.
int runWith(std::unique_ptr<FakeCard> card, std::function<void(MonitorWindow &)> user)
{
    QTimer::singleShot(0, [user] {
        MonitorWindow *window = velmoraWindowShown();
        QVERIFY(window);
        user(*window);
    });
    // Should the user's steps fail half-way, end the loop rather than hang the suite.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(10000);
    NoCards catalog;
    return runMonitor(std::move(card), catalog);
}

void click(MonitorWindow &window, const char *button)
{
    QTest::mouseClick(window.control(button), Qt::LeftButton);
}

} // namespace

class tst_App final : public QObject {
    Q_OBJECT

private slots:
    void reportText_data();
    void reportText();
    void waysOutEndWithStatus0AndReleaseTheCard_data();
    void waysOutEndWithStatus0AndReleaseTheCard();
    void errorIsReportedOnceThenEndsWithStatus1_data();
    void errorIsReportedOnceThenEndsWithStatus1();
    void noDisplayIsOneLineAndStatus2();
};

void tst_App::reportText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");

    QTest::newRow("type mismatch") << 13 << "Type mismatch"
                                   << "Run-time error '13':\n\nType mismatch"
                                   << "Velmora: Run-time error '13': Type mismatch";
    QTest::newRow("multi-line description")
        << 57 << "Device I/O error\n/dev/comedi0 gone"
        << "Run-time error '57':\n\nDevice I/O error\n/dev/comedi0 gone"
        << "Velmora: Run-time error '57': Device I/O error /dev/comedi0 gone";
}

void tst_App::reportText()
{
    QFETCH(int, code);
    QFETCH(QString, description);
    QFETCH(QString, text);
    QFETCH(QString, line);
    const AutomationError error(code, description.toStdString());
    QCOMPARE(runtimeErrorText(error), text);
    QCOMPARE(QString::fromStdString(runtimeErrorLine(error)), line);
}

void tst_App::waysOutEndWithStatus0AndReleaseTheCard_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("polling");

    for (const char *way : {"Exit", "close", "False selection"}) {
        QTest::addRow("%s, idle", way) << way << false;
        QTest::addRow("%s, polling", way) << way << true;
    }
}

void tst_App::waysOutEndWithStatus0AndReleaseTheCard()
{
    QFETCH(QString, way);
    QFETCH(bool, polling);

    FakeCard::Log log;
    auto card = std::make_unique<FakeCard>("card", log);
    card->selectAnswer = DispatchOutcome::success(AutomationValue::boolean(false));
    std::size_t readsBefore = 0;
    const int status = runWith(std::move(card), [&](MonitorWindow &window) {
        if (polling) {
            click(window, "Initcmd");
            QTRY_VERIFY(log.reads.size() >= 2);
        }
        readsBefore = log.reads.size();
        if (way == "Exit")
            click(window, "Exit");
        else if (way == "close")
            window.close();
        else
            click(window, "Selectcmd");
    });
    QCOMPARE(status, 0);
    QCOMPARE(log.opens, 1);
    QCOMPARE(log.closes, 1);
    QCOMPARE(log.reads.size(), readsBefore); // nothing reached the card on the way out
    QVERIFY(reportsShown().isEmpty());
}

void tst_App::errorIsReportedOnceThenEndsWithStatus1_data()
{
    QTest::addColumn<QString>("failing");
    QTest::newRow("ConfigurePorts") << "configure";
    QTest::newRow("ReadPort while polling") << "read";
}

void tst_App::errorIsReportedOnceThenEndsWithStatus1()
{
    QFETCH(QString, failing);

    FakeCard::Log log;
    auto card = std::make_unique<FakeCard>("card", log);
    const auto failure = DispatchOutcome::failure(57, "card gone");
    if (failing == "configure")
        card->configureAnswer = failure;
    else
        card->readAnswer = failure;
    QString text;
    int boxesAtOnce = 0;
    const int status = runWith(std::move(card), [&](MonitorWindow &window) {
        // The report is modal and waits inside the click: look at it from a timer.
        QTimer::singleShot(350, [&] {
            const QList<QMessageBox *> boxes = reportsShown();
            boxesAtOnce = int(boxes.size());
            if (boxes.isEmpty())
                return;
            text = boxes.front()->text();
            QCOMPARE(boxes.front()->windowTitle(), QString("Velmora"));
            boxes.front()->button(QMessageBox::Ok)->click();
        });
        click(window, "Initcmd");
    });
    QCOMPARE(status, 1);
    QCOMPARE(boxesAtOnce, 1); // ticks went on while the box waited, but stacked none behind it
    QCOMPARE(text, QString("Run-time error '57':\n\ncard gone"));
    // A failing ConfigurePorts never started polling; a failing tick was the last read.
    QCOMPARE(log.reads.size(), failing == "read" ? 1u : 0u);
    QCOMPARE(log.closes, 1);
}

void tst_App::noDisplayIsOneLineAndStatus2()
{
    const QString program = qEnvironmentVariable("VELMORA_BINARY");
    QVERIFY2(QFileInfo::exists(program), "VELMORA_BINARY names no program");
    QProcess velmora;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    velmora.setProcessEnvironment(environment);
    velmora.start(program, {});
    QVERIFY(velmora.waitForFinished(20000));
    QCOMPARE(velmora.exitStatus(), QProcess::NormalExit); // no abort, no core
    QCOMPARE(velmora.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(velmora.readAllStandardError());
    QCOMPARE(err.count('\n'), 1);
    QVERIFY2(err.contains("display"), qPrintable(err));
}

QTEST_MAIN(tst_App)
#include "tst_app.moc"
